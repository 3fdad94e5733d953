#pragma once
// Apartments, the class store, marshalling between threads, disconnection and the global interface table.
//
// Apartments: CoInitializeEx keeps a per-thread record. A single-threaded apartment opened on the thread
// that MainThread dispatches for is the main apartment: calls that reach its objects from other threads
// run there through MainThread::Invoke, so a main thread waiting for workers must pump
// (MainThread::PumpUntil), exactly as a window thread pumps messages on Windows. Objects of other
// apartments are called on the caller's thread.
//
// Marshalling: the first marshal of an object makes its stub, which holds the object's references (one per
// interface asked for) and knows its apartment. The marshalled data names the stub and the interface.
// Unmarshalled in the object's own apartment it gives the object itself; in another apartment it gives a
// proxy: a small COM object of the interface's proxy class (TComProxy<I> with one Forward line per
// method, registered with RegisterProxy) that checks the caller's apartment, then the stub, and calls
// the object in its apartment. CoDisconnectObject marks the stub disconnected and drops its references:
// every later call through a proxy gets RPC_E_DISCONNECTED and every later unmarshal CO_E_OBJNOTCONNECTED.
// An interface without a registered proxy class cannot be marshalled (REGDB_E_IIDNOTREG), so one that
// slipped through unproxied shows up at once. Normally marshalled data can be unmarshalled once;
// table-marshalled data (the global interface table) until it is released.
//
// Deliberate simplifications: a proxy's IUnknown is the proxy itself (not one identity per object), weak
// table marshalling holds its object like strong marshalling, and the last reference a proxy drops is
// released on the dropping thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <new>

#include "platform/com/ComInterfaces.h"
#include "platform/com/ComObject.h"

enum : DWORD {
  COINIT_MULTITHREADED = 0x0,
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8,
};
enum : DWORD {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
  CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
  CLSCTX_ALL = CLSCTX_SERVER | CLSCTX_INPROC_HANDLER,
};
enum : DWORD {
  REGCLS_SINGLEUSE = 0,
  REGCLS_MULTIPLEUSE = 1,
  REGCLS_MULTI_SEPARATE = 2,
  REGCLS_SUSPENDED = 4
};
enum : DWORD {
  MSHLFLAGS_NORMAL = 0,
  MSHLFLAGS_TABLESTRONG = 1,
  MSHLFLAGS_TABLEWEAK = 2,
  MSHLFLAGS_NOPING = 4
};
enum : DWORD { MSHCTX_LOCAL = 0, MSHCTX_NOSHAREDMEM = 1, MSHCTX_DIFFERENTMACHINE = 2, MSHCTX_INPROC = 3 };

HRESULT CoInitialize(LPVOID pvReserved);
// S_OK the first time on a thread, S_FALSE again in the same mode, RPC_E_CHANGED_MODE in the other.
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
// The last call of a thread closes its apartment: the apartment's objects are disconnected and its class
// objects revoked.
void CoUninitialize();

HRESULT CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags,
                              LPDWORD lpdwRegister);
HRESULT CoRevokeClassObject(DWORD dwRegister);
HRESULT CoResumeClassObjects();
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv);
HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
// ProgIDs are read from the registry stand-in: HKEY_CLASSES_ROOT\<ProgID>\CLSID and
// HKEY_CLASSES_ROOT\CLSID\{clsid}\ProgID.
HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);

// A stream over memory; hGlobal must be null (the stream owns its memory).
HRESULT CreateStreamOnHGlobal(HANDLE hGlobal, BOOL fDeleteOnRelease, LPSTREAM* ppstm);
HRESULT CoMarshalInterface(LPSTREAM pStm, REFIID riid, LPUNKNOWN pUnk, DWORD dwDestContext,
                           LPVOID pvDestContext, DWORD mshlflags);
HRESULT CoUnmarshalInterface(LPSTREAM pStm, REFIID riid, LPVOID* ppv);
HRESULT CoReleaseMarshalData(LPSTREAM pStm);
HRESULT CoMarshalInterThreadInterfaceInStream(REFIID riid, LPUNKNOWN pUnk, LPSTREAM* ppStm);
HRESULT CoGetInterfaceAndReleaseStream(LPSTREAM pStm, REFIID iid, LPVOID* ppv);
HRESULT CoDisconnectObject(LPUNKNOWN pUnk, DWORD dwReserved);

namespace orvela {

namespace com_detail {
class TStub;
// What a proxy knows: the object's stub and the apartment the proxy belongs to.
struct TProxyLink {
  std::shared_ptr<TStub> stub;
  uint64_t apartment = 0;
};
// Calls call(target) with the object's iid interface in the object's apartment.
HRESULT ProxyCall(const TProxyLink& link, REFIID iid, const std::function<HRESULT(void*)>& call);
// A proxy for another interface of the same object.
HRESULT ProxyQuery(const TProxyLink& link, REFIID riid, void** ppv);
using TProxyFactory = void* (*)(TProxyLink link);
void RegisterProxyFactory(REFIID iid, TProxyFactory factory);
}  // namespace com_detail

// Base of a proxy class: IUnknown and the forwarding. A proxy for IFoo is
//   struct TFooProxy : TComProxy<IFoo> {
//     using TComProxy::TComProxy;
//     HRESULT Bar(LONG x) override { return Forward(&IFoo::Bar, x); }
//   };
// registered once with RegisterProxy<IFoo, TFooProxy>().
template <class I>
class TComProxy : public I {
 public:
  explicit TComProxy(com_detail::TProxyLink link) : link_(std::move(link)) { com_detail::CountLiveObject(1); }
  TComProxy(const TComProxy&) = delete;
  TComProxy& operator=(const TComProxy&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    void* p = IsEqualIID(riid, IID_IUnknown) ? static_cast<IUnknown*>(this) : nullptr;
    if constexpr (!std::is_same_v<I, IUnknown>) {
      if (!p) p = com_detail::CastIfMatches<I>(this, riid);
    }
    if (!p) return com_detail::ProxyQuery(link_, riid, ppv);
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

 protected:
  virtual ~TComProxy() { com_detail::CountLiveObject(-1); }
  // Calls method on the object; the arguments are passed through as they are (in-process, no copying).
  template <class M, class... A>
  HRESULT Forward(M method, A&&... args) {
    return com_detail::ProxyCall(link_, IidOf<I>(), [&](void* target) -> HRESULT {
      return (static_cast<I*>(target)->*method)(std::forward<A>(args)...);
    });
  }

 private:
  com_detail::TProxyLink link_;
  std::atomic<ULONG> refs_{0};
};

template <class I, class Proxy>
void RegisterProxy() {
  com_detail::RegisterProxyFactory(IidOf<I>(), [](com_detail::TProxyLink link) -> void* {
    I* p = new (std::nothrow) Proxy(std::move(link));
    return p;
  });
}

// True while the calling thread is in an apartment.
bool ComIsInitialized();

}  // namespace orvela
