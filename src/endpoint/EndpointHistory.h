#pragma once
// The `hist.raw` request: an item's records of a window, with the values just outside it as bounds, read by
// asynchronous HDA reads (the window and each bound at once) and streamed in parts when all have come or
// the deadline has passed, so the main thread keeps serving while an archive is read. Main thread only.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "endpoint/EndpointConnections.h"
#include "platform/com/ComObject.h"
#include "platform/com/opc/OpcHda.h"
#include "tree/TreeItem.h"

namespace orvela::endpoint {

class THistoryReads {
 public:
  // Throws EEndpoint when the HDA server takes no data callback.
  THistoryReads(IOPCHDA_Server& hda, TTree& tree, TEndpoint::TConnections& conns);
  ~THistoryReads();
  THistoryReads(const THistoryReads&) = delete;
  THistoryReads& operator=(const THistoryReads&) = delete;

  // Checks the request and starts its reads; throws ERequest for a request that cannot be read.
  void Start(uint64_t conn, int64_t id, const Json& request);
  // A read in flight is withdrawn and answered "cancelled"; false when conn has no such read.
  bool Cancel(uint64_t conn, int64_t id);
  void Drop(uint64_t conn);
  // Reads past their deadline are answered with what has come.
  void Expire();

  struct TRecord {
    Json v;
    int64_t t = 0;
    DWORD q = 0;
  };

 private:
  enum TPart { kWindow, kBefore, kAfter, kParts };
  struct TRead;
  using TReads = std::map<uint64_t, std::unique_ptr<TRead>>;

  void Complete(DWORD transaction, std::vector<TRecord> records);
  void Reply(TRead& read);
  void End(TReads::iterator it);

  IOPCHDA_Server& hda_;
  TTree& tree_;
  TEndpoint::TConnections& conns_;
  TComPtr<IOPCHDA_AsyncRead> async_;
  TComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
  TReads reads_;  // by read number; a part's transaction id is number * kParts + part
  uint64_t next_ = 1;
  std::shared_ptr<THistoryReads*> anchor_ = std::make_shared<THistoryReads*>(this);
};

}  // namespace orvela::endpoint
