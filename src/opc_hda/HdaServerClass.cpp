#include "opc_hda/HdaServerClass.h"

#include "opc_hda/HdaIds.h"
#include "opc_hda/MainHDA.h"

namespace orvela {

const CLSID CLSID_OrvelaHDA = kOrvelaHdaClsid;

TComPtr<IClassFactory> MakeHdaServerFactory(TServerContext& ctx) {
  return Make<TClassFactory>(
      [&ctx](REFIID riid, void** ppv) { return QueryOut(Make<TOrvelaOPC_HDA>(ctx), riid, ppv); });
}

}  // namespace orvela
