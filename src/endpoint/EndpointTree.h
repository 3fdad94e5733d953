#pragma once
// The tree as the endpoint lists it: which nodes are variables, the browse snapshot and its generation,
// and why an identifier cannot be read.
#include <cstdint>
#include <string>
#include <vector>

#include "endpoint/EndpointCodec.h"
#include "tree/TreeItem.h"

namespace orvela::endpoint {

// Parameters, and the leaves of a device's branches: a read-out tree keeps an archive's parameters as
// branch leaves, and the HDA server reads them like any parameter.
bool IsVariable(const TNTreeData& node);

// The nodes a browse lists, in pre-order: visible to DA or HDA below a listed parent, identifiers unique.
std::vector<Json> Snapshot(TTree& tree);

// Changes whenever the listed nodes or their keys change: a hash of the snapshot.
uint32_t Generation(const std::vector<Json>& nodes);

// Why an identifier cannot be read or subscribed (hist: read for its archive), before a server is asked;
// S_OK when it can.
HRESULT Refusal(TTree& tree, const std::string& nid, bool hist);

}  // namespace orvela::endpoint
