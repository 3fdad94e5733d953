#pragma once
// The DA server class as the host registers it.
#include "engine/ServerContext.h"
#include "opc_da/DaIds.h"
#include "opc_da/DaServerState.h"
#include "platform/com/ComObject.h"

namespace orvela {

// Makes the class factory of the DA server for this context (objects it creates use ctx).
TComPtr<IClassFactory> MakeDaServerFactory(TServerContext& ctx);
constexpr const char16_t* kDaProgId = u"OrvelaOPC_DA";

}  // namespace orvela

// The DA2 coclass (declared with the other ids in DaIds.h).
extern const CLSID CLSID_OrvelaDA;
