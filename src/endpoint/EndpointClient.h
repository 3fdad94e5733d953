#pragma once
// The one in-process client of the DA and HDA server objects, serving every connection's requests that
// need them; lives and works on the main thread only.
#include <cstdint>
#include <memory>

#include "endpoint/DeviceReads.h"
#include "endpoint/EndpointConnections.h"
#include "endpoint/EndpointHistory.h"
#include "endpoint/EndpointSubscriptions.h"
#include "platform/com/opc/OpcDa.h"
#include "platform/com/opc/OpcHda.h"
#include "tree/TreeItem.h"

namespace orvela {

class TEndpoint::TClient {
 public:
  // Creates the server objects by ProgID; throws EEndpoint when they are not there.
  TClient(TTree& tree, TConnections& conns);
  ~TClient();
  TClient(const TClient&) = delete;
  TClient& operator=(const TClient&) = delete;

  // Serves one request that passed the I/O thread's checks; its reply is queued now or, for a device
  // read, when the devices have answered.
  void Serve(uint64_t conn, const endpoint::Json& request);
  // A cancel reached a request of conn: a device read in flight is withdrawn and answered now; the other
  // requests look for the mark themselves.
  void Cancel(uint64_t conn, int64_t id);
  // Device reads past their deadline are answered.
  void ExpireReads();
  // The generation of the tree as a browse would list it now.
  uint32_t CurrentGeneration();
  // A gone connection's subscriptions and reads end with it.
  void Drop(uint64_t conn);

 private:
  endpoint::Json Hello();
  endpoint::Json Browse(uint64_t conn, int64_t id);

  TTree& tree_;
  TConnections& conns_;
  TComPtr<IOPCServer> da_;
  TComPtr<IOPCHDA_Server> hda_;
  endpoint::TValueCache cache_;
  std::unique_ptr<endpoint::TDeviceReads> reads_;
  std::unique_ptr<endpoint::TSubscriptions> subs_;
  std::unique_ptr<endpoint::THistoryReads> history_;
};

}  // namespace orvela
