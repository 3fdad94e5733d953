#include "opc_da/DaServerClass.h"

#include "opc_da/DaServer.h"

namespace orvela {
namespace {

// All slots of the server table are taken: the class refuses to make another server object.
constexpr HRESULT kServerTableFull = ORVELA_HR(0x80080005);  // CO_E_SERVER_EXEC_FAILURE

}  // namespace

TComPtr<IClassFactory> MakeDaServerFactory(TServerContext& ctx) {
  std::shared_ptr<TDaServerState> state = TDaServerState::For(ctx);
  auto factory = Make<TClassFactory>([state](REFIID riid, void** ppv) -> HRESULT {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!state->HasFreeSlot()) return kServerTableFull;
    return QueryOut(Make<TDA2>(state), riid, ppv);
  });
  return TComPtr<IClassFactory>(factory.Get());
}

}  // namespace orvela
