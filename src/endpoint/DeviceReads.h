#pragma once
// The `read` request. Items are read from their devices by an asynchronous DA read on a group of the
// read's own, and the reply goes out when every item has answered or the read's deadline has passed, so
// the main thread keeps serving (and the service its signals) while a slow or silent device is waited
// for. A positive maxAge answers an item from what its device gave lately, through a read or a
// subscription. Main thread only, except the cache.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "endpoint/EndpointConnections.h"
#include "endpoint/ReadsInFlight.h"
#include "platform/com/opc/OpcDa.h"
#include "tree/TreeItem.h"

namespace orvela::endpoint {

// What the devices last gave per identifier (reads that succeeded with a quality better than bad), with when it came in the clock's
// milliseconds. Written from data callbacks, so it locks.
class TValueCache {
 public:
  void Put(const std::string& nid, const Json& item);
  std::optional<Json> Fresh(const std::string& nid, int64_t maxAgeMs) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::pair<Json, int64_t>> items_;
};

struct TDeviceRead;
extern template class TReadsInFlight<TDeviceRead>;

class TDeviceReads final : public TReadsInFlight<TDeviceRead> {
 public:
  TDeviceReads(IOPCServer& da, TTree& tree, TEndpoint::TConnections& conns, TValueCache& cache);
  ~TDeviceReads() override;

  // Starts read id of connection conn; its reply is sent when it is done, which may be at once. Throws
  // ERequest when the read cannot be started.
  void Start(uint64_t conn, int64_t id, const std::vector<std::string>& ids, int64_t maxAgeMs);

 private:
  void Complete(uint64_t number, std::vector<std::pair<OPCHANDLE, Json>> results);
  void Reply(TDeviceRead& read) override;
  void Withdraw(TDeviceRead& read) override;

  IOPCServer& da_;
  TTree& tree_;
  TValueCache& cache_;
  uint64_t next_ = 1;  // read numbers, which are also the DA transaction ids
  // Completions come back through the main thread's queue; a destroyed reader lets them fall.
  std::shared_ptr<TDeviceReads*> anchor_ = std::make_shared<TDeviceReads*>(this);
};

}  // namespace orvela::endpoint
