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

class TDeviceReads {
 public:
  TDeviceReads(IOPCServer& da, TTree& tree, TEndpoint::TConnections& conns, TValueCache& cache);
  ~TDeviceReads();
  TDeviceReads(const TDeviceReads&) = delete;
  TDeviceReads& operator=(const TDeviceReads&) = delete;

  // Starts read id of connection conn; its reply is sent when it is done, which may be at once. Throws
  // ERequest when the read cannot be started.
  void Start(uint64_t conn, int64_t id, const std::vector<std::string>& ids, int64_t maxAgeMs);
  // A read in flight is withdrawn and answered "cancelled"; false when conn has no such read.
  bool Cancel(uint64_t conn, int64_t id);
  // A gone connection's reads are withdrawn without a reply.
  void Drop(uint64_t conn);
  // Reads past their deadline are answered: the items still out get a time-out.
  void Expire();

 private:
  struct TRead;
  using TReads = std::map<uint64_t, std::unique_ptr<TRead>>;

  void Complete(uint64_t number, std::vector<std::pair<OPCHANDLE, Json>> results);
  void Reply(const TRead& read);
  void End(TReads::iterator it);
  TReads::iterator Find(uint64_t conn, int64_t id);

  IOPCServer& da_;
  TTree& tree_;
  TEndpoint::TConnections& conns_;
  TValueCache& cache_;
  TReads reads_;  // by read number, which is also the DA transaction id
  uint64_t next_ = 1;
  // Completions come back through the main thread's queue; a destroyed reader lets them fall.
  std::shared_ptr<TDeviceReads*> anchor_ = std::make_shared<TDeviceReads*>(this);
};

}  // namespace orvela::endpoint
