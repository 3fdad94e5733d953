#pragma once
// What the server host registers for the HDA class: its identity and a factory making server objects
// over the host's shared context.
#include "engine/ServerContext.h"
#include "platform/com/ComObject.h"

namespace orvela {

extern const CLSID CLSID_OrvelaHDA;
constexpr const char16_t* kHdaProgId = u"OrvelaOPC_HDA";

// Each CreateInstance makes a new server object (multi-instance); ctx must outlive every object made.
TComPtr<IClassFactory> MakeHdaServerFactory(TServerContext& ctx);

}  // namespace orvela
