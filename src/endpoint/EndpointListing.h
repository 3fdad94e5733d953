#pragma once
// One level of the address space as an OPC client browses it, as JSON: the endpoint's da.browse and
// hda.browse answer with it, and orvelactl prints it when it hosts the server objects itself.
//
//   {"position": PATH, "branches": [{"name", "id"}, …], "items": [{"name", "id", "props": [PROP, …]}, …],
//    "truncated": bool}
//   PROP = {"pid", "desc", "vt", "v", "hr"}
#include <string>

#include "endpoint/EndpointCodec.h"
#include "platform/com/opc/OpcDa.h"
#include "platform/com/opc/OpcHda.h"

namespace orvela::endpoint {

// At most this many branches and this many items are listed; truncated says when more were there.
constexpr size_t kMaxListed = 2000;

// Through IOPCBrowseServerAddressSpace: the position moves to path (empty: the root) and its branches and
// leaves are listed; with properties, each leaf's properties but those read from the device (value,
// quality, time stamp). Throws ERequest with the server's code when path names no branch.
Json DaListing(IOPCServer& da, const std::string& path, bool properties);
// Through a browser of IOPCHDA_Server::CreateBrowse: branches and items of path.
Json HdaListing(IOPCHDA_Server& hda, const std::string& path);

}  // namespace orvela::endpoint
