#pragma once
// The `hist.raw` request: an item's records of a window, with the values just outside it as bounds, read by
// asynchronous HDA reads (the window and each bound at once) and streamed in parts when all have come or
// the deadline has passed, so the main thread keeps serving while an archive is read. A read cut short by
// its max hands out a continuation token, and a later page of a window read lately is cut from what that
// read gave. Main thread only.
#include <cstdint>
#include <memory>
#include <vector>

#include "endpoint/EndpointConnections.h"
#include "endpoint/HistoryKept.h"
#include "endpoint/ReadsInFlight.h"
#include "platform/com/ComObject.h"
#include "platform/com/opc/OpcHda.h"
#include "tree/TreeItem.h"

namespace orvela::endpoint {

struct THistoryRead;
extern template class TReadsInFlight<THistoryRead>;

class THistoryReads final : public TReadsInFlight<THistoryRead> {
 public:
  // Throws EEndpoint when the HDA server takes no data callback.
  THistoryReads(IOPCHDA_Server& hda, TTree& tree, TEndpoint::TConnections& conns);
  ~THistoryReads() override;

  // Checks the request and starts its reads; throws ERequest for a request that cannot be read.
  void Start(uint64_t conn, int64_t id, const Json& request);

 private:
  void Complete(DWORD transaction, std::vector<THistoryRecord> records);
  // Answers from kept records when a recent read covered the window; false when none did.
  bool FromKept(THistoryRead& read);
  void Reply(THistoryRead& read) override;
  void Withdraw(THistoryRead& read) override;

  IOPCHDA_Server& hda_;
  TTree& tree_;
  TComPtr<IOPCHDA_AsyncRead> async_;
  TComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
  THistoryKept kept_;
  uint64_t next_ = 1;  // read numbers; a part's transaction id is number * kHistoryParts + part
  std::shared_ptr<THistoryReads*> anchor_ = std::make_shared<THistoryReads*>(this);
};

}  // namespace orvela::endpoint
