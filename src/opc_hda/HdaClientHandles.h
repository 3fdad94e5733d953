#pragma once
// The client handles one HDA server object's client gave its items. Server handles are the nodes' own
// handles, but the client handle belongs to the client: two clients naming the same item each get their
// own back with the data. Main thread only, like the server object's calls.
#include <cstdint>
#include <unordered_map>

#include "platform/com/WinTypes.h"

namespace orvela {

class THdaClientHandles {
 public:
  // The client's handle for the node from now on (the latest GetItemHandles wins); each call counts as a
  // handle the client may release.
  void Set(int32_t node, OPCHANDLE client) {
    TEntry& e = entries_[node];
    e.client = client;
    ++e.held;
  }
  // One handle of the node given back; the client handle goes with the last.
  void Release(int32_t node) {
    auto it = entries_.find(node);
    if (it != entries_.end() && --it->second.held == 0) entries_.erase(it);
  }
  // 0 when the client holds no handle of the node.
  OPCHANDLE Of(int32_t node) const {
    auto it = entries_.find(node);
    return it == entries_.end() ? 0 : it->second.client;
  }

 private:
  struct TEntry {
    OPCHANDLE client = 0;
    uint32_t held = 0;
  };
  std::unordered_map<int32_t, TEntry> entries_;
};

}  // namespace orvela
