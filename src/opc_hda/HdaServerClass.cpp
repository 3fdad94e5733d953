#include "opc_hda/HdaServerClass.h"

#include "opc_hda/HdaIds.h"
#include "opc_hda/MainHDA.h"

namespace orvela {

const CLSID CLSID_OrvelaHDA = kOrvelaHdaClsid;

TComPtr<IClassFactory> MakeHdaServerFactory(TServerContext& ctx) {
  auto late = std::make_shared<THdaLateResults>(ctx.engine);
  return Make<TClassFactory>(
      [&ctx, late](REFIID riid, void** ppv) { return QueryOut(Make<TOrvelaOPC_HDA>(ctx, late), riid, ppv); });
}

}  // namespace orvela
