#include "platform/com/ComObject.h"

#include <algorithm>
#include <cstring>

#include "platform/com/ComMemory.h"
#include "platform/com/ComText.h"

namespace orvela {
namespace {
std::atomic<int64_t> gLiveObjects{0};
std::atomic<int64_t> gServerLocks{0};
}  // namespace

int64_t ComLiveObjects() {
  return gLiveObjects.load();
}
void com_detail::CountLiveObject(int delta) {
  gLiveObjects.fetch_add(delta);
}
int64_t ComServerLocks() {
  return gServerLocks.load();
}

HRESULT TClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  *ppvObject = nullptr;
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  try {
    return create_(riid, ppvObject);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT TClassFactory::LockServer(BOOL fLock) {
  gServerLocks.fetch_add(fLock ? 1 : -1);
  return S_OK;
}

// ---- Enumerator items
// --------------------------------------------------------------------------------------

HRESULT com_detail::TStringItems::Copy(const Stored& s, Elem& out) {
  out = TaskMemString(std::u16string_view(s));
  return out ? S_OK : E_OUTOFMEMORY;
}

void com_detail::TStringItems::Free(Elem& e) {
  CoTaskMemFree(e);
  e = nullptr;
}

HRESULT com_detail::TConnectionItems::Copy(const Stored& s, Elem& out) {
  s.first.CopyTo(&out.pUnk);
  out.dwCookie = s.second;
  return S_OK;
}

void com_detail::TConnectionItems::Free(Elem& e) {
  if (e.pUnk) e.pUnk->Release();
  e = {nullptr, 0};
}

HRESULT MakeStringEnumerator(std::vector<std::u16string> items, IEnumString** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  auto list = std::make_shared<const TStringEnumerator::TList>(std::move(items));
  return QueryOut(Make<TStringEnumerator>(std::move(list)), IID_IEnumString, reinterpret_cast<void**>(out));
}

HRESULT MakeUnknownEnumerator(std::vector<TComPtr<IUnknown>> items, IEnumUnknown** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  auto list = std::make_shared<const TUnknownEnumerator::TList>(std::move(items));
  return QueryOut(Make<TUnknownEnumerator>(std::move(list)), IID_IEnumUnknown, reinterpret_cast<void**>(out));
}

// ---- Connection points
// -------------------------------------------------------------------------------------

TConnectionPoint::TConnectionPoint(IConnectionPointContainer* container, REFIID iid, size_t maxSinks)
    : container_(container), iid_(iid), maxSinks_(maxSinks) {}

TConnectionPoint::~TConnectionPoint() {
  for (auto& s : sinks_) static_cast<IUnknown*>(s.sink)->Release();
}

HRESULT TConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IConnectionPoint)) return E_NOINTERFACE;
  *ppv = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

ULONG TConnectionPoint::AddRef() {
  return container_->AddRef();
}
ULONG TConnectionPoint::Release() {
  return container_->Release();
}

HRESULT TConnectionPoint::GetConnectionInterface(IID* pIID) {
  if (!pIID) return E_POINTER;
  *pIID = iid_;
  return S_OK;
}

HRESULT TConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  if (!ppCPC) return E_POINTER;
  *ppCPC = container_;
  container_->AddRef();
  return S_OK;
}

HRESULT TConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  if (!pdwCookie) return E_POINTER;
  *pdwCookie = 0;
  if (!pUnkSink) return E_POINTER;
  void* sink = nullptr;
  if (FAILED(pUnkSink->QueryInterface(iid_, &sink)) || !sink) return CONNECT_E_CANNOTCONNECT;
  DWORD cookie;
  THandler handler;
  {
    std::unique_lock lock(mutex_);
    if (maxSinks_ != kManySinks && sinks_.size() >= maxSinks_) {
      lock.unlock();
      static_cast<IUnknown*>(sink)->Release();
      return CONNECT_E_ADVISELIMIT;
    }
    cookie = nextCookie_++;
    sinks_.push_back({cookie, sink});
    handler = handler_;
  }
  *pdwCookie = cookie;
  if (handler) handler(cookie, static_cast<IUnknown*>(sink));
  return S_OK;
}

HRESULT TConnectionPoint::Unadvise(DWORD dwCookie) {
  void* sink = nullptr;
  THandler handler;
  {
    std::lock_guard lock(mutex_);
    auto it =
        std::find_if(sinks_.begin(), sinks_.end(), [&](const TSink& s) { return s.cookie == dwCookie; });
    if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
    sink = it->sink;
    sinks_.erase(it);
    handler = handler_;
  }
  if (handler) handler(dwCookie, nullptr);
  static_cast<IUnknown*>(sink)->Release();
  return S_OK;
}

HRESULT TConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = nullptr;
  auto list = std::make_shared<TConnectionEnumerator::TList>();
  for (auto& item : Snapshot()) list->push_back(std::move(item));
  return QueryOut(Make<TConnectionEnumerator>(std::move(list)), IID_IEnumConnections,
                  reinterpret_cast<void**>(ppEnum));
}

void TConnectionPoint::SetHandler(THandler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

size_t TConnectionPoint::SinkCount() const {
  std::lock_guard lock(mutex_);
  return sinks_.size();
}

std::vector<std::pair<TComPtr<IUnknown>, DWORD>> TConnectionPoint::Snapshot() const {
  // References are taken under the lock, so a concurrent Unadvise cannot free a sink being handed out.
  std::lock_guard lock(mutex_);
  std::vector<std::pair<TComPtr<IUnknown>, DWORD>> out;
  for (auto& s : sinks_) out.emplace_back(TComPtr<IUnknown>(static_cast<IUnknown*>(s.sink)), s.cookie);
  return out;
}

}  // namespace orvela
