#include "endpoint/EndpointHistory.h"

#include "endpoint/EndpointTree.h"
#include "platform/DateTime.h"
#include "platform/com/ComTaskMem.h"
#include "platform/com/ComText.h"

namespace orvela::endpoint {
namespace {

constexpr DWORD kNoBound = 0x00100000;  // OPCHDA_NOBOUND

}  // namespace

THistory::THistory(IOPCHDA_Server& hda, TTree& tree, TEndpoint::TConnections& conns)
    : hda_(hda), tree_(tree), conns_(conns) {}

// The item's records with from <= t < to. The HDA read passes only what lies strictly inside its window
// and compares at millisecond precision, so the window asked for is a millisecond wider at both ends and
// the edges are drawn here.
std::vector<THistory::TRecord> THistory::Records(OPCHANDLE handle, int64_t from, int64_t to) {
  TComPtr<IOPCHDA_SyncRead> sync;
  hda_.QueryInterface(IID_IOPCHDA_SyncRead, sync.PutVoid());
  if (!sync) throw ERequest{kFail, "no IOPCHDA_SyncRead"};
  constexpr int64_t kMsTicks = 10'000;
  OPCHDA_TIME start{};
  start.ftTime = Int64ToFileTime(FileTimeToInt64(MicrosToFileTime(from)) - kMsTicks);
  OPCHDA_TIME end{};
  end.ftTime = Int64ToFileTime(FileTimeToInt64(MicrosToFileTime(to)) + kMsTicks);
  TTaskMem<OPCHDA_ITEM> values;
  TTaskMem<HRESULT> errors;
  const HRESULT hr = sync->ReadRaw(&start, &end, 0, FALSE, 1, &handle, values.Put(), errors.Put());
  std::vector<TRecord> out;
  if (values) {
    OPCHDA_ITEM& item = values[0];
    for (DWORD k = 0; k < item.dwCount && SUCCEEDED(hr); ++k) {
      TRecord record;
      record.t = item.pftTimeStamps ? FileTimeToMicros(item.pftTimeStamps[k]) : 0;
      if (record.t < from || record.t >= to) continue;
      record.q = item.pdwQualities ? item.pdwQualities[k] : 0;
      if (item.pvDataValues) ValueJson(item.pvDataValues[k], record.v);
      out.push_back(std::move(record));
    }
    FreeHdaItem(item);
  }
  return out;
}

Json THistory::RecordJson(const TRecord& record, bool bound) {
  Json out{{"v", record.v}, {"t", record.t}, {"q", record.q}};
  if (bound) out["bound"] = true;
  return out;
}

// The records framed by the last value before the window and the first after it (searched at least two
// archive steps away; a "no bound" entry when there is none). No end bound when more records follow.
std::vector<Json> THistory::WithBounds(OPCHANDLE handle, std::vector<TRecord> records, int64_t start, int64_t end,
                                       bool more, int64_t stepMicros) {
  std::vector<Json> out;
  if (records.empty() || records.front().t != start) {
    std::vector<TRecord> before = Records(handle, start - 2 * stepMicros, start);
    out.push_back(before.empty() ? Json{{"v", nullptr}, {"t", start}, {"q", kNoBound}, {"bound", true}}
                                 : RecordJson(before.back(), true));
  }
  for (const TRecord& record : records) out.push_back(RecordJson(record, false));
  if (!more) {
    std::vector<TRecord> after = Records(handle, end, end + 2 * stepMicros);
    out.push_back(after.empty() ? Json{{"v", nullptr}, {"t", end}, {"q", kNoBound}, {"bound", true}}
                                : RecordJson(after.front(), true));
  }
  return out;
}

Json THistory::Raw(uint64_t conn, int64_t id, const Json& request) {
  const Json* nidKey = Optional(request, "nid");
  if (!nidKey || !nidKey->is_string()) throw ERequest{kInvalidArg, "nid is not a string"};
  const std::string nid = nidKey->get<std::string>();
  const int64_t start = Integer(request, "start", -kMaxTime, kMaxTime, std::nullopt);
  const int64_t end = Integer(request, "end", -kMaxTime, kMaxTime, std::nullopt);
  if (start >= end) throw ERequest{kInvalidArg, "start is not before end"};
  const int64_t max = Integer(request, "max", 0, kMaxHist, 0);
  const bool bounds = Bool(request, "bounds");
  const HRESULT refusal = Refusal(tree_, nid, true);
  if (FAILED(refusal)) throw ERequest{refusal, refusal == kUnknownItem ? "unknown item" : "not visible to HDA"};
  int64_t stepMicros = 3'600'000'000;
  if (const TNTreeData* node = tree_.ResolveIdentifier(nid); node && node->ArchiveStep > 0)
    stepMicros = static_cast<int64_t>(node->ArchiveStep) * 1000;

  std::u16string wide = Utf8ToUtf16(nid);
  LPWSTR name = wide.data();
  OPCHANDLE client = 1;
  TTaskMem<OPCHANDLE> handles;
  TTaskMem<HRESULT> errors;
  if (FAILED(hda_.GetItemHandles(1, &name, &client, handles.Put(), errors.Put())) || !errors || FAILED(errors[0]))
    throw ERequest{kUnknownItem, "unknown item"};
  // Given back however the reads end.
  struct TRelease {
    IOPCHDA_Server& hda;
    OPCHANDLE handle;
    ~TRelease() {
      TTaskMem<HRESULT> released;
      hda.ReleaseItemHandles(1, &handle, released.Put());
    }
  } const release{hda_, handles[0]};
  const OPCHANDLE handle = release.handle;
  std::vector<TRecord> records = Records(handle, start, end);
  const size_t limit = max == 0 ? static_cast<size_t>(kMaxHist) : static_cast<size_t>(max);
  const bool more = records.size() > limit;
  if (more) records.resize(limit);
  std::vector<Json> out;
  if (bounds) {
    out = WithBounds(handle, std::move(records), start, end, more, stepMicros);
  } else {
    for (const TRecord& record : records) out.push_back(RecordJson(record, false));
  }

  for (size_t at = 0, part = 0; at < out.size(); at += kPartSize, ++part) {
    if (conns_.Cancelled(conn, id)) throw ERequest{kAbort, "cancelled"};
    Json chunk = Json::array();
    for (size_t k = at; k < std::min(out.size(), at + kPartSize); ++k) chunk.push_back(std::move(out[k]));
    conns_.Send(conn, Json{{"id", id}, {"part", part}, {"values", chunk}});
  }
  return Json{{"count", out.size()}, {"more", more}};
}

}  // namespace orvela::endpoint
