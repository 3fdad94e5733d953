#pragma once
// The `hist.raw` request: an item's records of a window from the HDA server, with bounds, streamed in
// parts. Main thread only.
#include <cstdint>
#include <vector>

#include "endpoint/EndpointConnections.h"
#include "platform/com/opc/OpcHda.h"
#include "tree/TreeItem.h"

namespace orvela::endpoint {

class THistory {
 public:
  THistory(IOPCHDA_Server& hda, TTree& tree, TEndpoint::TConnections& conns);
  Json Raw(uint64_t conn, int64_t id, const Json& request);

 private:
  struct TRecord {
    Json v;
    int64_t t = 0;
    DWORD q = 0;
  };

  std::vector<TRecord> Records(OPCHANDLE handle, int64_t from, int64_t to);
  std::vector<Json> WithBounds(OPCHANDLE handle, std::vector<TRecord> records, int64_t start, int64_t end,
                               bool more, int64_t stepMicros);
  static Json RecordJson(const TRecord& record, bool bound);

  IOPCHDA_Server& hda_;
  TTree& tree_;
  TEndpoint::TConnections& conns_;
};

}  // namespace orvela::endpoint
