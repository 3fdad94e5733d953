#pragma once
// The `read` request. Items are read from their devices by asynchronous DA reads, each on a group of its
// own, and the reply goes out when every item has answered or the read's deadline has passed, so the main
// thread keeps serving (and the service its signals) while a slow or silent device is waited for. An item
// already being read for another request joins that device read instead of asking the device again. A
// positive maxAge answers an item from what its device gave lately, through a read or a subscription.
// Main thread only, except the cache.
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
struct TDaRead;
extern template class TReadsInFlight<TDeviceRead>;

class TDeviceReads final : public TReadsInFlight<TDeviceRead> {
 public:
  TDeviceReads(IOPCServer& da, TTree& tree, TEndpoint::TConnections& conns, TValueCache& cache);
  ~TDeviceReads() override;

  // Starts read id of connection conn; its reply is sent when it is done, which may be at once. Throws
  // ERequest when the read cannot be started.
  // A positive timeoutMs shortens the read's deadline.
  void Start(uint64_t conn, int64_t id, const std::vector<std::string>& ids, int64_t maxAgeMs,
             int64_t timeoutMs = 0);

 private:
  void Ask(TDeviceRead& read, const std::vector<size_t>& handles);
  void Complete(uint64_t number, std::vector<std::pair<OPCHANDLE, Json>> results);
  void Deliver(uint64_t number, const std::string& nid, const Json& item);
  void Reply(TDeviceRead& read) override;
  void Withdraw(TDeviceRead& read) override;

  IOPCServer& da_;
  TTree& tree_;
  TValueCache& cache_;
  uint64_t next_ = 1;    // request numbers
  uint64_t nextDa_ = 1;  // DA read numbers, which are also the DA transaction ids
  // The DA reads out, by number, and which of them is reading an identifier now.
  std::map<uint64_t, std::unique_ptr<TDaRead>> daReads_;
  std::map<std::string, uint64_t> reading_;
  // Completions come back through the main thread's queue; a destroyed reader lets them fall.
  std::shared_ptr<TDeviceReads*> anchor_ = std::make_shared<TDeviceReads*>(this);
};

}  // namespace orvela::endpoint
