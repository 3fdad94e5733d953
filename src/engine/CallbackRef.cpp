#include "engine/CallbackRef.h"

namespace orvela {
namespace {

TComPtr<IGlobalInterfaceTable> Table() {
  TComPtr<IGlobalInterfaceTable> git;
  CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                   git.PutVoid());
  return git;
}

// The table wants an apartment; threads that have none (a test's main thread, a stopping engine) enter a
// multithreaded one for the call.
template <class Fn>
auto InApartment(Fn fn) {
  if (ComIsInitialized()) return fn();
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  auto result = fn();
  if (SUCCEEDED(init)) CoUninitialize();
  return result;
}

}  // namespace

std::shared_ptr<TCallbackRef> TCallbackRef::Register(IUnknown* callback, REFIID iid) {
  if (!callback) return nullptr;
  DWORD cookie = 0;
  const HRESULT hr = InApartment([&] {
    auto git = Table();
    return git ? git->RegisterInterfaceInGlobal(callback, iid, &cookie) : E_FAIL;
  });
  if (FAILED(hr)) return nullptr;
  return std::shared_ptr<TCallbackRef>(new TCallbackRef(cookie));
}

TCallbackRef::~TCallbackRef() {
  InApartment([&] {
    auto git = Table();
    return git ? git->RevokeInterfaceFromGlobal(cookie_) : E_FAIL;
  });
}

HRESULT TCallbackRef::GetRaw(REFIID iid, void** ppv) const {
  auto git = Table();
  if (!git) return CO_E_NOTINITIALIZED;
  return git->GetInterfaceFromGlobal(cookie_, iid, ppv);
}

bool IsClientGone(HRESULT hr) {
  // The server died (with and without having run the call) and the RPC server is unavailable: what a
  // vanished out-of-process client gives besides a disconnection.
  constexpr HRESULT kServerDied = ORVELA_HR(0x80010007);
  constexpr HRESULT kServerDiedDne = ORVELA_HR(0x80010012);
  constexpr HRESULT kServerUnavailable = ORVELA_HR(0x800706BA);
  return hr == RPC_E_DISCONNECTED || hr == CO_E_OBJNOTCONNECTED || hr == kServerDied ||
         hr == kServerDiedDne || hr == kServerUnavailable;
}

}  // namespace orvela
