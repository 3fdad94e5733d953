#include "platform/com/ComRuntime.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/MainThread.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComText.h"
#include "platform/com/OpcProxies.h"
#include "platform/com/Registry.h"

namespace orvela::com_detail {
namespace {

// ---- Apartments
// --------------------------------------------------------------------------------------------

constexpr uint64_t kMta = 1;

struct TApartment {
  int inits = 0;
  bool sta = false;
  uint64_t id = 0;
};
thread_local TApartment tApartment;
std::atomic<uint64_t> gNextSta{2};
std::mutex gMtaMutex;
int gMtaThreads = 0;

uint64_t CurrentApartment() {
  return tApartment.inits > 0 ? tApartment.id : 0;
}

// Runs fn in the apartment of an object: on the main thread for the main apartment, else right here.
// Exceptions never cross: they become RPC_E_SERVERFAULT, as a stub reports them.
HRESULT RunInApartment(bool mainSta, const std::function<HRESULT()>& fn) {
  const auto guarded = [&]() -> HRESULT {
    try {
      return fn();
    } catch (...) {
      return RPC_E_SERVERFAULT;
    }
  };
  if (mainSta && !MainThread::IsMainThread()) {
    HRESULT hr = RPC_E_DISCONNECTED;
    // Invoke refuses once the main thread's queue has stopped: the apartment is gone.
    const bool ran = MainThread::Invoke([&] { hr = guarded(); });
    return ran ? hr : RPC_E_DISCONNECTED;
  }
  return guarded();
}

void ReleaseAll(std::vector<void*>& refs) {
  for (void* p : refs) static_cast<IUnknown*>(p)->Release();
  refs.clear();
}

}  // namespace

// ---- Stubs
// -------------------------------------------------------------------------------------------------

class TStub {
 public:
  TStub(IUnknown* identity, uint64_t apartment, bool mainSta)
      : apartment_(apartment), mainSta_(mainSta), key_(identity), identity_(identity) {}
  ~TStub();
  TStub(const TStub&) = delete;
  TStub& operator=(const TStub&) = delete;

  uint64_t Apartment() const { return apartment_; }
  bool MainSta() const { return mainSta_; }
  IUnknown* Key() const { return key_; }

  // Takes a reference on the object's iid interface (once), run in the object's apartment.
  HRESULT Acquire(REFIID iid) {
    IUnknown* identity = Identity();
    if (!identity) return CO_E_OBJNOTCONNECTED;
    void* p = nullptr;
    HRESULT hr = identity->QueryInterface(iid, &p);
    identity->Release();
    if (FAILED(hr) || !p) return FAILED(hr) ? hr : E_NOINTERFACE;
    std::vector<void*> extra;
    {
      std::lock_guard lock(mutex_);
      if (disconnected_) {
        extra.push_back(p);
        hr = CO_E_OBJNOTCONNECTED;
      } else if (Find(iid)) {
        extra.push_back(p);
      } else {
        interfaces_.emplace_back(iid, p);
      }
    }
    ReleaseAll(extra);
    return hr;
  }

  // The iid interface with a reference added, or null with the reason.
  void* Target(REFIID iid, HRESULT& hr) {
    std::lock_guard lock(mutex_);
    if (disconnected_) {
      hr = RPC_E_DISCONNECTED;
      return nullptr;
    }
    void* p = Find(iid);
    if (!p) {
      hr = E_NOINTERFACE;
      return nullptr;
    }
    static_cast<IUnknown*>(p)->AddRef();
    hr = S_OK;
    return p;
  }

  // The object's identity with a reference added; null once disconnected.
  IUnknown* Identity() {
    std::lock_guard lock(mutex_);
    if (disconnected_) return nullptr;
    identity_->AddRef();
    return identity_;
  }

  bool Disconnected() const {
    std::lock_guard lock(mutex_);
    return disconnected_;
  }

  void Disconnect() {
    std::vector<void*> refs;
    {
      std::lock_guard lock(mutex_);
      if (disconnected_) return;
      disconnected_ = true;
      refs = TakeRefs();
    }
    ReleaseAll(refs);
  }

 private:
  void* Find(REFIID iid) const {
    for (auto& [id, p] : interfaces_)
      if (IsEqualIID(id, iid)) return p;
    return nullptr;
  }
  std::vector<void*> TakeRefs() {
    std::vector<void*> refs;
    for (auto& entry : interfaces_) refs.push_back(entry.second);
    interfaces_.clear();
    refs.push_back(identity_);
    return refs;
  }

  const uint64_t apartment_;
  const bool mainSta_;
  IUnknown* const key_;
  mutable std::mutex mutex_;
  IUnknown* identity_;  // one reference until disconnected
  std::vector<std::pair<IID, void*>> interfaces_;
  bool disconnected_ = false;
};

namespace {

std::mutex gStubMutex;
std::unordered_map<IUnknown*, std::weak_ptr<TStub>> gStubs;

// The stub of pUnk's object, made on first use in the calling thread's apartment.
HRESULT StubOf(IUnknown* pUnk, std::shared_ptr<TStub>& out) {
  IUnknown* identity = nullptr;
  if (FAILED(pUnk->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity))) || !identity)
    return E_NOINTERFACE;
  {
    std::lock_guard lock(gStubMutex);
    auto& slot = gStubs[identity];
    out = slot.lock();
    if (!out) {
      const bool mainSta = tApartment.sta && MainThread::IsMainThread();
      out = std::make_shared<TStub>(identity, CurrentApartment(), mainSta);
      slot = out;
      return S_OK;  // the stub keeps the reference taken above
    }
  }
  identity->Release();
  return S_OK;
}

// Drops the stub from the registry (when it is still the registered one) and disconnects it.
void DisconnectStub(const std::shared_ptr<TStub>& stub) {
  {
    std::lock_guard lock(gStubMutex);
    auto it = gStubs.find(stub->Key());
    if (it != gStubs.end() && it->second.lock() == stub) gStubs.erase(it);
  }
  stub->Disconnect();
}

}  // namespace

TStub::~TStub() {
  {
    std::lock_guard lock(gStubMutex);
    auto it = gStubs.find(key_);
    if (it != gStubs.end() && it->second.expired()) gStubs.erase(it);
  }
  if (!disconnected_) {
    std::vector<void*> refs = TakeRefs();
    ReleaseAll(refs);
  }
}

// ---- Proxies
// -----------------------------------------------------------------------------------------------

namespace {

struct TIunknownProxy final : TComProxy<IUnknown> {
  using TComProxy::TComProxy;
};

struct TDispatchProxy final : TComProxy<IDispatch> {
  using TComProxy::TComProxy;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {
    return Forward(&IDispatch::GetTypeInfoCount, pctinfo);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override {
    return Forward(&IDispatch::GetTypeInfo, iTInfo, lcid, ppTInfo);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                          DISPID* rgDispId) override {
    return Forward(&IDispatch::GetIDsOfNames, riid, rgszNames, cNames, lcid, rgDispId);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                   UINT* puArgErr) override {
    return Forward(&IDispatch::Invoke, dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult, pExcepInfo,
                   puArgErr);
  }
};

struct TProxyRegistry {
  std::mutex mutex;
  std::vector<std::pair<IID, TProxyFactory>> factories;
};

TProxyRegistry& Proxies() {
  static TProxyRegistry* registry = [] {
    auto* r = new TProxyRegistry;
    r->factories.emplace_back(IID_IUnknown, [](TProxyLink l) -> void* {
      return static_cast<IUnknown*>(new (std::nothrow) TIunknownProxy(std::move(l)));
    });
    r->factories.emplace_back(IID_IDispatch, [](TProxyLink l) -> void* {
      return static_cast<IDispatch*>(new (std::nothrow) TDispatchProxy(std::move(l)));
    });
    for (auto& entry : OpcProxyFactories()) r->factories.push_back(entry);
    return r;
  }();
  return *registry;
}

TProxyFactory FindProxyFactory(REFIID iid) {
  auto& r = Proxies();
  std::lock_guard lock(r.mutex);
  for (auto& [id, f] : r.factories)
    if (IsEqualIID(id, iid)) return f;
  return nullptr;
}

// A new proxy for iid with one reference.
HRESULT MakeProxy(const std::shared_ptr<TStub>& stub, REFIID iid, void** ppv) {
  TProxyFactory factory = FindProxyFactory(iid);
  if (!factory) return E_NOINTERFACE;
  void* p = factory(TProxyLink{stub, CurrentApartment()});
  if (!p) return E_OUTOFMEMORY;
  static_cast<IUnknown*>(p)->AddRef();
  *ppv = p;
  return S_OK;
}

}  // namespace

void RegisterProxyFactory(REFIID iid, TProxyFactory factory) {
  auto& r = Proxies();
  std::lock_guard lock(r.mutex);
  for (auto& entry : r.factories) {
    if (IsEqualIID(entry.first, iid)) {
      entry.second = factory;
      return;
    }
  }
  r.factories.emplace_back(iid, factory);
}

HRESULT ProxyCall(const TProxyLink& link, REFIID iid, const std::function<HRESULT(void*)>& call) {
  // A proxy belongs to the apartment that unmarshalled it; using it elsewhere is a caller's bug.
  if (CurrentApartment() != link.apartment) return RPC_E_WRONG_THREAD;
  HRESULT hr;
  void* target = link.stub->Target(iid, hr);
  if (!target) return hr;
  hr = RunInApartment(link.stub->MainSta(), [&] { return call(target); });
  static_cast<IUnknown*>(target)->Release();
  return hr;
}

HRESULT ProxyQuery(const TProxyLink& link, REFIID riid, void** ppv) {
  if (CurrentApartment() != link.apartment) return RPC_E_WRONG_THREAD;
  if (!FindProxyFactory(riid)) return E_NOINTERFACE;
  if (link.stub->Disconnected()) return RPC_E_DISCONNECTED;
  HRESULT hr = RunInApartment(link.stub->MainSta(), [&] { return link.stub->Acquire(riid); });
  if (FAILED(hr)) return hr == CO_E_OBJNOTCONNECTED ? RPC_E_DISCONNECTED : hr;
  return MakeProxy(link.stub, riid, ppv);
}

// ---- Marshalled data
// ---------------------------------------------------------------------------------------

namespace {

struct TMarshalEntry {
  std::shared_ptr<TStub> stub;
  IID iid;
  DWORD flags;
};

std::mutex gTableMutex;
std::unordered_map<uint64_t, TMarshalEntry> gTable;
uint64_t gNextToken = 1;

constexpr uint32_t kMarshalMagic = 0x48534D4F;  // "OMSH"
constexpr size_t kMarshalSize = 4 + 8 + sizeof(IID);

HRESULT MarshalToken(IUnknown* pUnk, REFIID riid, DWORD flags, uint64_t& token) {
  if (!CurrentApartment()) return CO_E_NOTINITIALIZED;
  if (!pUnk) return E_INVALIDARG;
  if (!FindProxyFactory(riid)) return REGDB_E_IIDNOTREG;
  std::shared_ptr<TStub> stub;
  if (HRESULT hr = StubOf(pUnk, stub); FAILED(hr)) return hr;
  if (HRESULT hr = stub->Acquire(riid); FAILED(hr)) return hr;
  std::lock_guard lock(gTableMutex);
  token = gNextToken++;
  gTable.emplace(token, TMarshalEntry{std::move(stub), riid, flags});
  return S_OK;
}

HRESULT UnmarshalToken(uint64_t token, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!CurrentApartment()) return CO_E_NOTINITIALIZED;
  TMarshalEntry entry;
  {
    std::lock_guard lock(gTableMutex);
    auto it = gTable.find(token);
    // Normal marshalled data is used up by its first unmarshal, as on Windows.
    if (it == gTable.end()) return CO_E_OBJNOTCONNECTED;
    entry = it->second;
    if ((entry.flags & (MSHLFLAGS_TABLESTRONG | MSHLFLAGS_TABLEWEAK)) == 0) gTable.erase(it);
  }
  if (entry.stub->Disconnected()) return CO_E_OBJNOTCONNECTED;
  const IID& wanted = IsEqualIID(riid, IID_NULL) ? entry.iid : riid;
  if (CurrentApartment() == entry.stub->Apartment()) {
    IUnknown* identity = entry.stub->Identity();
    if (!identity) return CO_E_OBJNOTCONNECTED;
    HRESULT hr = identity->QueryInterface(wanted, ppv);
    identity->Release();
    return hr;
  }
  void* proxy = nullptr;
  if (HRESULT hr = MakeProxy(entry.stub, entry.iid, &proxy); FAILED(hr)) return hr;
  if (IsEqualIID(wanted, entry.iid)) {
    *ppv = proxy;
    return S_OK;
  }
  HRESULT hr = static_cast<IUnknown*>(proxy)->QueryInterface(wanted, ppv);
  static_cast<IUnknown*>(proxy)->Release();
  return hr;
}

HRESULT ReleaseToken(uint64_t token) {
  TMarshalEntry entry;
  {
    std::lock_guard lock(gTableMutex);
    auto it = gTable.find(token);
    if (it == gTable.end()) return CO_E_OBJNOTCONNECTED;
    entry = std::move(it->second);
    gTable.erase(it);
  }
  return S_OK;  // the entry's stub reference goes here, outside the lock
}

HRESULT WriteToken(IStream* stm, uint64_t token, REFIID iid) {
  uint8_t data[kMarshalSize];
  std::memcpy(data, &kMarshalMagic, 4);
  std::memcpy(data + 4, &token, 8);
  std::memcpy(data + 12, &iid, sizeof(IID));
  ULONG written = 0;
  HRESULT hr = stm->Write(data, sizeof data, &written);
  if (SUCCEEDED(hr) && written != sizeof data) hr = STG_E_MEDIUMFULL;
  return hr;
}

HRESULT ReadToken(IStream* stm, uint64_t& token) {
  if (!stm) return E_INVALIDARG;
  uint8_t data[kMarshalSize];
  ULONG read = 0;
  HRESULT hr = stm->Read(data, sizeof data, &read);
  if (FAILED(hr)) return hr;
  uint32_t magic;
  std::memcpy(&magic, data, 4);
  if (read != sizeof data || magic != kMarshalMagic) return STG_E_READFAULT;
  std::memcpy(&token, data + 4, 8);
  return S_OK;
}

// ---- Memory stream
// -----------------------------------------------------------------------------------------

class TMemoryStream final : public TComObject<IStream> {
 public:
  TMemoryStream() = default;
  TMemoryStream(std::shared_ptr<std::vector<uint8_t>> data, size_t pos) : data_(std::move(data)), pos_(pos) {}

  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    const size_t n = pos_ < data_->size() ? std::min<size_t>(cb, data_->size() - pos_) : 0;
    if (n) std::memcpy(pv, data_->data() + pos_, n);
    pos_ += n;
    if (pcbRead) *pcbRead = static_cast<ULONG>(n);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (pcbWritten) *pcbWritten = 0;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    if (pos_ + cb > kMaxSize) return STG_E_MEDIUMFULL;
    if (pos_ + cb > data_->size()) data_->resize(pos_ + cb);
    if (cb) std::memcpy(data_->data() + pos_, pv, cb);
    pos_ += cb;
    if (pcbWritten) *pcbWritten = cb;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPos) override {
    int64_t base;
    switch (origin) {
      case STREAM_SEEK_SET:
        base = 0;
        break;
      case STREAM_SEEK_CUR:
        base = static_cast<int64_t>(pos_);
        break;
      case STREAM_SEEK_END:
        base = static_cast<int64_t>(data_->size());
        break;
      default:
        return STG_E_INVALIDFUNCTION;
    }
    if (move.QuadPart < -base || move.QuadPart > static_cast<int64_t>(kMaxSize) - base)
      return STG_E_INVALIDFUNCTION;
    pos_ = static_cast<size_t>(base + move.QuadPart);
    if (newPos) newPos->QuadPart = pos_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override {
    if (size.QuadPart > kMaxSize) return STG_E_MEDIUMFULL;
    data_->resize(static_cast<size_t>(size.QuadPart));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                   ULARGE_INTEGER* pcbWritten) override {
    if (!pstm) return STG_E_INVALIDPOINTER;
    const size_t n = pos_ < data_->size() ? std::min<uint64_t>(cb.QuadPart, data_->size() - pos_) : 0;
    ULONG written = 0;
    HRESULT hr = pstm->Write(data_->data() + pos_, static_cast<ULONG>(n), &written);
    pos_ += n;
    if (pcbRead) pcbRead->QuadPart = n;
    if (pcbWritten) pcbWritten->QuadPart = written;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* st, DWORD) override {
    if (!st) return STG_E_INVALIDPOINTER;
    *st = STATSTG{};
    st->type = STGTY_STREAM;
    st->cbSize.QuadPart = data_->size();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) override {
    if (!ppstm) return STG_E_INVALIDPOINTER;
    *ppstm = nullptr;
    return QueryOut(Make<TMemoryStream>(data_, pos_), IID_IStream, reinterpret_cast<void**>(ppstm));
  }

 private:
  static constexpr size_t kMaxSize = size_t{1} << 28;
  std::shared_ptr<std::vector<uint8_t>> data_ = std::make_shared<std::vector<uint8_t>>();
  size_t pos_ = 0;
};

// ---- Global interface table
// --------------------------------------------------------------------------------

// One table for the process; like the system's, its reference count does not govern its life.
class TGlobalInterfaceTable final : public IGlobalInterfaceTable {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IGlobalInterfaceTable)) return E_NOINTERFACE;
    *ppv = static_cast<IGlobalInterfaceTable*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid,
                                                      DWORD* pdwCookie) override {
    if (!pdwCookie) return E_INVALIDARG;
    *pdwCookie = 0;
    uint64_t token;
    if (HRESULT hr = MarshalToken(pUnk, riid, MSHLFLAGS_TABLESTRONG, token); FAILED(hr)) return hr;
    std::lock_guard lock(mutex_);
    const DWORD cookie = next_++;
    cookies_.emplace(cookie, token);
    *pdwCookie = cookie;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RevokeInterfaceFromGlobal(DWORD dwCookie) override {
    if (!CurrentApartment()) return CO_E_NOTINITIALIZED;
    uint64_t token;
    {
      std::lock_guard lock(mutex_);
      auto it = cookies_.find(dwCookie);
      if (it == cookies_.end()) return E_INVALIDARG;
      token = it->second;
      cookies_.erase(it);
    }
    ReleaseToken(token);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid, void** ppv) override {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    uint64_t token;
    {
      std::lock_guard lock(mutex_);
      auto it = cookies_.find(dwCookie);
      if (it == cookies_.end()) return E_INVALIDARG;
      token = it->second;
    }
    return UnmarshalToken(token, riid, ppv);
  }

 private:
  std::mutex mutex_;
  std::unordered_map<DWORD, uint64_t> cookies_;
  DWORD next_ = 0x100;
};

TGlobalInterfaceTable& GlobalInterfaceTable() {
  static TGlobalInterfaceTable* table = new TGlobalInterfaceTable;
  return *table;
}

// ---- Class store
// -------------------------------------------------------------------------------------------

struct TClassEntry {
  DWORD cookie;
  CLSID clsid;
  TComPtr<IUnknown> object;
  DWORD context;
  DWORD flags;
  uint64_t apartment;
  bool suspended;
  bool used;
};

std::mutex gClassMutex;
std::vector<TClassEntry> gClasses;
DWORD gNextClassCookie = 1;

}  // namespace

// Closes the calling thread's apartment: its stubs are disconnected and its class objects revoked.
void CloseApartment(uint64_t id) {
  std::vector<std::shared_ptr<TStub>> stubs;
  {
    std::lock_guard lock(gStubMutex);
    for (auto& [key, weak] : gStubs)
      if (auto stub = weak.lock(); stub && stub->Apartment() == id) stubs.push_back(std::move(stub));
  }
  for (auto& stub : stubs) DisconnectStub(stub);
  std::vector<TClassEntry> revoked;
  {
    std::lock_guard lock(gClassMutex);
    auto it = std::stable_partition(gClasses.begin(), gClasses.end(),
                                    [&](const TClassEntry& e) { return e.apartment != id; });
    std::move(it, gClasses.end(), std::back_inserter(revoked));
    gClasses.erase(it, gClasses.end());
  }
}

HRESULT GetClassObjectFromStore(REFCLSID rclsid, DWORD context, REFIID riid, void** ppv) {
  TComPtr<IUnknown> object;
  {
    std::lock_guard lock(gClassMutex);
    for (auto& e : gClasses) {
      if (!IsEqualCLSID(e.clsid, rclsid) || (e.context & context) == 0 || e.suspended) continue;
      if (e.flags == REGCLS_SINGLEUSE && e.used) continue;
      e.used = true;
      object = e.object;
      break;
    }
  }
  if (!object) return REGDB_E_CLASSNOTREG;
  return object->QueryInterface(riid, ppv);
}

}  // namespace orvela::com_detail

using namespace orvela;
using namespace orvela::com_detail;

bool orvela::ComIsInitialized() {
  return CurrentApartment() != 0;
}

HRESULT CoInitialize(LPVOID pvReserved) {
  return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

HRESULT CoInitializeEx(LPVOID, DWORD dwCoInit) {
  const bool sta = (dwCoInit & COINIT_APARTMENTTHREADED) != 0;
  TApartment& a = tApartment;
  if (a.inits > 0) {
    if (a.sta != sta) return RPC_E_CHANGED_MODE;
    ++a.inits;
    return S_FALSE;
  }
  a.inits = 1;
  a.sta = sta;
  if (sta) {
    a.id = gNextSta.fetch_add(1);
  } else {
    a.id = kMta;
    std::lock_guard lock(gMtaMutex);
    ++gMtaThreads;
  }
  return S_OK;
}

void CoUninitialize() {
  TApartment& a = tApartment;
  if (a.inits == 0 || --a.inits > 0) return;
  bool close = a.sta;
  if (!a.sta) {
    std::lock_guard lock(gMtaMutex);
    close = --gMtaThreads == 0;
  }
  const uint64_t id = a.id;
  a = TApartment{};
  if (close) CloseApartment(id);
}

HRESULT CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags,
                              LPDWORD lpdwRegister) {
  if (!lpdwRegister) return E_INVALIDARG;
  *lpdwRegister = 0;
  if (!pUnk) return E_INVALIDARG;
  if (!CurrentApartment()) return CO_E_NOTINITIALIZED;
  std::lock_guard lock(gClassMutex);
  const DWORD cookie = gNextClassCookie++;
  gClasses.push_back(TClassEntry{cookie, rclsid, TComPtr<IUnknown>(pUnk), dwClsContext,
                                 flags & ~DWORD{REGCLS_SUSPENDED}, CurrentApartment(),
                                 (flags & REGCLS_SUSPENDED) != 0, false});
  *lpdwRegister = cookie;
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD dwRegister) {
  TComPtr<IUnknown> object;  // released after the lock
  std::lock_guard lock(gClassMutex);
  auto it = std::find_if(gClasses.begin(), gClasses.end(),
                         [&](const TClassEntry& e) { return e.cookie == dwRegister; });
  if (it == gClasses.end()) return CO_E_OBJNOTREG;
  object = std::move(it->object);
  gClasses.erase(it);
  return S_OK;
}

HRESULT CoResumeClassObjects() {
  std::lock_guard lock(gClassMutex);
  for (auto& e : gClasses) e.suspended = false;
  return S_OK;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  if (!CurrentApartment()) return CO_E_NOTINITIALIZED;
  return GetClassObjectFromStore(rclsid, dwClsContext, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!CurrentApartment()) return CO_E_NOTINITIALIZED;
  if (IsEqualCLSID(rclsid, CLSID_StdGlobalInterfaceTable)) {
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    return GlobalInterfaceTable().QueryInterface(riid, ppv);
  }
  if (IsEqualCLSID(rclsid, CLSID_StdComponentCategoriesMgr)) {
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    return CreateComponentCategoriesManager(riid, ppv);
  }
  TComPtr<IClassFactory> factory;
  if (HRESULT hr = GetClassObjectFromStore(rclsid, dwClsContext, IID_IClassFactory, factory.PutVoid());
      FAILED(hr))
    return hr;
  return factory->CreateInstance(pUnkOuter, riid, ppv);
}

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
  if (!lpszProgID || !lpclsid) return E_INVALIDARG;
  const std::string progId = WideToUtf8(lpszProgID);
  if (progId.empty() || progId.size() > 39) return CO_E_CLASSSTRING;
  const auto text = RegistryDefaultText(HKEY_CLASSES_ROOT, progId + "\\CLSID");
  const auto clsid = text ? ParseGuid(*text) : std::nullopt;
  if (!clsid) return CO_E_CLASSSTRING;
  *lpclsid = *clsid;
  return S_OK;
}

HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
  if (!lplpszProgID) return E_INVALIDARG;
  *lplpszProgID = nullptr;
  const auto text = RegistryDefaultText(HKEY_CLASSES_ROOT, "CLSID\\" + GuidToString(clsid) + "\\ProgID");
  if (!text) return REGDB_E_CLASSNOTREG;
  *lplpszProgID = TaskMemString(*text);
  return *lplpszProgID ? S_OK : E_OUTOFMEMORY;
}

HRESULT CreateStreamOnHGlobal(HANDLE hGlobal, BOOL, LPSTREAM* ppstm) {
  if (!ppstm) return E_INVALIDARG;
  *ppstm = nullptr;
  if (hGlobal) return E_INVALIDARG;
  return QueryOut(Make<TMemoryStream>(), IID_IStream, reinterpret_cast<void**>(ppstm));
}

HRESULT CoMarshalInterface(LPSTREAM pStm, REFIID riid, LPUNKNOWN pUnk, DWORD, LPVOID, DWORD mshlflags) {
  if (!pStm) return E_INVALIDARG;
  uint64_t token;
  if (HRESULT hr = MarshalToken(pUnk, riid, mshlflags, token); FAILED(hr)) return hr;
  HRESULT hr = WriteToken(pStm, token, riid);
  if (FAILED(hr)) ReleaseToken(token);
  return hr;
}

HRESULT CoUnmarshalInterface(LPSTREAM pStm, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  uint64_t token;
  if (HRESULT hr = ReadToken(pStm, token); FAILED(hr)) return hr;
  return UnmarshalToken(token, riid, ppv);
}

HRESULT CoReleaseMarshalData(LPSTREAM pStm) {
  uint64_t token;
  if (HRESULT hr = ReadToken(pStm, token); FAILED(hr)) return hr;
  return ReleaseToken(token);
}

HRESULT CoMarshalInterThreadInterfaceInStream(REFIID riid, LPUNKNOWN pUnk, LPSTREAM* ppStm) {
  if (!ppStm) return E_INVALIDARG;
  *ppStm = nullptr;
  TComPtr<IStream> stream;
  if (HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()); FAILED(hr)) return hr;
  if (HRESULT hr = CoMarshalInterface(stream.Get(), riid, pUnk, MSHCTX_INPROC, nullptr, MSHLFLAGS_NORMAL);
      FAILED(hr))
    return hr;
  stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
  *ppStm = stream.Detach();
  return S_OK;
}

HRESULT CoGetInterfaceAndReleaseStream(LPSTREAM pStm, REFIID iid, LPVOID* ppv) {
  if (!pStm) return E_INVALIDARG;
  HRESULT hr = CoUnmarshalInterface(pStm, iid, ppv);
  pStm->Release();
  return hr;
}

HRESULT CoDisconnectObject(LPUNKNOWN pUnk, DWORD) {
  if (!pUnk) return E_INVALIDARG;
  if (!CurrentApartment()) return CO_E_NOTINITIALIZED;
  IUnknown* identity = nullptr;
  if (FAILED(pUnk->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity))) || !identity)
    return E_INVALIDARG;
  std::shared_ptr<TStub> stub;
  {
    std::lock_guard lock(gStubMutex);
    if (auto it = gStubs.find(identity); it != gStubs.end()) stub = it->second.lock();
  }
  identity->Release();
  if (stub) DisconnectStub(stub);
  return S_OK;
}
