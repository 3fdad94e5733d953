#pragma once
// The `sub`, `sub.mod` and `unsub` requests: one DA group per subscription, its data changes sent to the
// connection as events. Main thread only.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "endpoint/DeviceReads.h"
#include "endpoint/EndpointConnections.h"
#include "platform/com/opc/OpcDa.h"
#include "tree/TreeItem.h"

namespace orvela::endpoint {

class TSubscriptions {
 public:
  TSubscriptions(IOPCServer& da, TTree& tree, TEndpoint::TConnections& conns, TValueCache& cache);
  ~TSubscriptions();
  TSubscriptions(const TSubscriptions&) = delete;
  TSubscriptions& operator=(const TSubscriptions&) = delete;

  Json Subscribe(uint64_t conn, const Json& request);
  Json Modify(uint64_t conn, const Json& request);
  Json Unsubscribe(uint64_t conn, const Json& request);
  // After the reply to sub or sub.mod is queued: the group's standing refresh delivers its items.
  void RefreshLast();
  // A gone connection's subscriptions end with it.
  void Drop(uint64_t conn);

 private:
  struct TSub;
  using TSubs = std::map<int64_t, std::unique_ptr<TSub>>;

  TSub& Find(uint64_t conn, const Json& request);
  std::vector<HRESULT> Add(TSub& sub, const std::vector<std::string>& ids);
  static void Remove(TSub& sub);

  IOPCServer& da_;
  TTree& tree_;
  TEndpoint::TConnections& conns_;
  TValueCache& cache_;
  std::map<uint64_t, TSubs> subs_;
  int64_t nextSub_ = 1;
  std::pair<uint64_t, int64_t> pending_{0, 0};
};

}  // namespace orvela::endpoint
