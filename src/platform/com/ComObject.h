#pragma once
// What every COM object of the servers shares, written once: reference counting, QueryInterface over the
// implemented interfaces (and the interfaces they extend), a smart pointer, class factories, enumerators
// and connection points with one or many sinks.
//
//   class TMyObject : public orvela::TComObject<IFoo, IBar> { ... };   // IFoo, IBar declared with
//   auto obj = orvela::Make<TMyObject>(args...);                         // ORVELA_COM_INTERFACE
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/com/ComInterfaces.h"
#include "platform/com/ComTypes.h"

namespace orvela {

// COM objects (TComObject and proxies) alive in the process: tests compare it with zero to find leaks.
int64_t ComLiveObjects();
namespace com_detail {
void CountLiveObject(int delta);
}

// Holds one reference.
template <class I>
class TComPtr {
 public:
  TComPtr() = default;
  TComPtr(std::nullptr_t) {}
  TComPtr(I* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  TComPtr(const TComPtr& o) : TComPtr(o.p_) {}
  TComPtr(TComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class J, class = std::enable_if_t<std::is_convertible_v<J*, I*>>>
  TComPtr(const TComPtr<J>& o) : TComPtr(static_cast<I*>(o.Get())) {}
  ~TComPtr() { Reset(); }
  TComPtr& operator=(TComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  I* Get() const { return p_; }
  I* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void Reset() {
    if (I* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Takes over a reference the caller owns.
  void Attach(I* p) {
    Reset();
    p_ = p;
  }
  I* Detach() { return std::exchange(p_, nullptr); }
  // For out-parameters: releases what is held and returns the slot.
  I** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  // Hands a new reference to an out-parameter (null-checked by the caller).
  void CopyTo(I** out) const {
    *out = p_;
    if (p_) p_->AddRef();
  }
  template <class J>
  HRESULT As(TComPtr<J>& out) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(IidOf<J>(), out.PutVoid());
  }

 private:
  I* p_ = nullptr;
};

namespace com_detail {
// p as the interface riid names when I is that interface or extends it; null otherwise.
template <class I>
void* CastIfMatches(I* p, REFIID riid) {
  if (IsEqualIID(riid, IidOf<I>())) return p;
  using Base = typename TInterfaceInfo<I>::Base;
  if constexpr (!std::is_same_v<Base, IUnknown> && !std::is_void_v<Base>) {
    return CastIfMatches<Base>(static_cast<Base*>(p), riid);
  } else {
    return nullptr;
  }
}
template <class First, class...>
struct TFirst {
  using Type = First;
};
}  // namespace com_detail

// Reference counting and QueryInterface for an object implementing Interfaces. Objects start with no
// reference; Make hands out the first one. The last Release deletes the object.
template <class... Interfaces>
class TComObject : public Interfaces... {
 public:
  TComObject() { com_detail::CountLiveObject(1); }
  TComObject(const TComObject&) = delete;
  TComObject& operator=(const TComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    void* p = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
      p = Identity();
    } else {
      ((p = p ? p : com_detail::CastIfMatches<Interfaces>(static_cast<Interfaces*>(this), riid)), ...);
    }
    if (!p) return QueryDelegate(riid, ppv);
    AddRef();
    *ppv = p;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  // The object's COM identity (no reference added).
  IUnknown* Identity() { return static_cast<typename com_detail::TFirst<Interfaces...>::Type*>(this); }
  ULONG RefCount() const { return refs_.load(); }

 protected:
  virtual ~TComObject() { com_detail::CountLiveObject(-1); }
  // Interfaces served by another object (a delegate); it adds the reference itself.
  virtual HRESULT QueryDelegate(REFIID riid, void** ppv) {
    (void)riid;
    (void)ppv;
    return E_NOINTERFACE;
  }

 private:
  std::atomic<ULONG> refs_{0};
};

// A new object with one reference; null when memory runs out.
template <class T, class... Args>
TComPtr<T> Make(Args&&... args) {
  TComPtr<T> out;
  if (T* p = new (std::nothrow) T(std::forward<Args>(args)...)) out = TComPtr<T>(p);
  return out;
}

// Clears *ppv, then hands out obj's riid interface.
template <class T>
HRESULT QueryOut(const TComPtr<T>& obj, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!obj) return E_OUTOFMEMORY;
  return obj->QueryInterface(riid, ppv);
}

// ---- Class factories
// ---------------------------------------------------------------------------------------

// Class objects holding a server lock (LockServer) keep the process serving; the count is here.
int64_t ComServerLocks();

class TClassFactory final : public TComObject<IClassFactory> {
 public:
  using TCreator = std::function<HRESULT(REFIID riid, void** ppv)>;
  explicit TClassFactory(TCreator create) : create_(std::move(create)) {}
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

 private:
  TCreator create_;
};

// A factory that makes T with its default constructor.
template <class T>
TComPtr<TClassFactory> MakeClassFactory() {
  return Make<TClassFactory>([](REFIID riid, void** ppv) { return QueryOut(Make<T>(), riid, ppv); });
}

// ---- Enumerators
// -------------------------------------------------------------------------------------------

namespace com_detail {
struct TStringItems {
  using Stored = std::u16string;
  using Elem = LPOLESTR;
  static HRESULT Copy(const Stored& s, Elem& out);
  static void Free(Elem& e);
};
template <class I>
struct TInterfaceItems {
  using Stored = TComPtr<I>;
  using Elem = I*;
  static HRESULT Copy(const Stored& s, Elem& out) {
    s.CopyTo(&out);
    return S_OK;
  }
  static void Free(Elem& e) {
    if (e) e->Release();
    e = nullptr;
  }
};
struct TConnectionItems {
  using Stored = std::pair<TComPtr<IUnknown>, DWORD>;
  using Elem = CONNECTDATA;
  static HRESULT Copy(const Stored& s, Elem& out);
  static void Free(Elem& e);
};
}  // namespace com_detail

// Next/Skip/Reset/Clone over a snapshot taken at creation; clones share the snapshot. Next hands out
// min(requested, remaining) elements and allocates for those only.
template <class IEnum, class Items>
class TEnumerator final : public TComObject<IEnum> {
 public:
  using TList = std::vector<typename Items::Stored>;
  explicit TEnumerator(std::shared_ptr<const TList> items, size_t pos = 0)
      : items_(std::move(items)), pos_(pos) {}

  HRESULT STDMETHODCALLTYPE Next(ULONG celt, typename Items::Elem* rgelt, ULONG* pceltFetched) override {
    if (pceltFetched) *pceltFetched = 0;
    if (!rgelt || (celt > 1 && !pceltFetched)) return E_POINTER;
    const size_t n = std::min<size_t>(celt, items_->size() - pos_);
    for (size_t i = 0; i < n; ++i) {
      if (HRESULT hr = Items::Copy((*items_)[pos_ + i], rgelt[i]); FAILED(hr)) {
        for (size_t k = 0; k < i; ++k) Items::Free(rgelt[k]);
        return hr;
      }
    }
    pos_ += n;
    if (pceltFetched) *pceltFetched = static_cast<ULONG>(n);
    return n == celt ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
    const size_t n = std::min<size_t>(celt, items_->size() - pos_);
    pos_ += n;
    return n == celt ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    pos_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnum** ppenum) override {
    if (!ppenum) return E_POINTER;
    *ppenum = nullptr;
    return QueryOut(Make<TEnumerator>(items_, pos_), IidOf<IEnum>(), reinterpret_cast<void**>(ppenum));
  }

 private:
  std::shared_ptr<const TList> items_;
  size_t pos_;
};

using TStringEnumerator = TEnumerator<IEnumString, com_detail::TStringItems>;
using TUnknownEnumerator = TEnumerator<IEnumUnknown, com_detail::TInterfaceItems<IUnknown>>;
using TConnectionEnumerator = TEnumerator<IEnumConnections, com_detail::TConnectionItems>;
using TConnectionPointEnumerator =
    TEnumerator<IEnumConnectionPoints, com_detail::TInterfaceItems<IConnectionPoint>>;

// Enumerators over a list, handed out as their interface (E_OUTOFMEMORY when they cannot be made).
HRESULT MakeStringEnumerator(std::vector<std::u16string> items, IEnumString** out);
HRESULT MakeUnknownEnumerator(std::vector<TComPtr<IUnknown>> items, IEnumUnknown** out);

// ---- Connection points
// -------------------------------------------------------------------------------------

// One outgoing interface of a container. It lives inside its container and counts its references there.
// maxSinks 1 makes a single-connection point (a second Advise fails with CONNECT_E_ADVISELIMIT).
class TConnectionPoint final : public IConnectionPoint {
 public:
  // Called on Advise with the sink (as the point's interface) and on Unadvise with null.
  using THandler = std::function<void(DWORD cookie, IUnknown* sink)>;
  static constexpr size_t kManySinks = 0;

  TConnectionPoint(IConnectionPointContainer* container, REFIID iid, size_t maxSinks);
  ~TConnectionPoint();
  TConnectionPoint(const TConnectionPoint&) = delete;
  TConnectionPoint& operator=(const TConnectionPoint&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override;

  const IID& Iid() const { return iid_; }
  void SetHandler(THandler handler);
  // The advised sinks, as the point's interface I, in the order they were advised.
  template <class I>
  std::vector<TComPtr<I>> Sinks() const {
    std::vector<TComPtr<I>> out;
    for (auto& s : Snapshot()) out.emplace_back(static_cast<I*>(s.first.Get()));
    return out;
  }
  size_t SinkCount() const;

 private:
  struct TSink {
    DWORD cookie;
    void* sink;  // the sink's iid_ interface, one reference held
  };
  std::vector<std::pair<TComPtr<IUnknown>, DWORD>> Snapshot() const;

  IConnectionPointContainer* container_;
  IID iid_;
  size_t maxSinks_;
  mutable std::mutex mutex_;
  std::vector<TSink> sinks_;
  DWORD nextCookie_ = 1;
  THandler handler_;
};

// A COM object with connection points: Interfaces must include IConnectionPointContainer.
template <class... Interfaces>
class TConnectionPointContainer : public TComObject<Interfaces...> {
 public:
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    auto list = std::make_shared<TConnectionPointEnumerator::TList>();
    for (auto& p : points_) list->emplace_back(p.get());
    return QueryOut(Make<TConnectionPointEnumerator>(std::move(list)), IID_IEnumConnectionPoints,
                    reinterpret_cast<void**>(ppEnum));
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    for (auto& p : points_) {
      if (IsEqualIID(p->Iid(), riid)) {
        *ppCP = p.get();
        p->AddRef();
        return S_OK;
      }
    }
    return CONNECT_E_NOCONNECTION;
  }

 protected:
  TConnectionPoint& AddConnectionPoint(REFIID iid, size_t maxSinks) {
    points_.push_back(
        std::make_unique<TConnectionPoint>(static_cast<IConnectionPointContainer*>(this), iid, maxSinks));
    return *points_.back();
  }

 private:
  std::vector<std::unique_ptr<TConnectionPoint>> points_;
};

}  // namespace orvela
