#include "endpoint/EndpointHistory.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>

#include "endpoint/EndpointTree.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/MainThread.h"
#include "platform/com/ComTaskMem.h"
#include "platform/com/ComText.h"
#include "platform/com/opc/OpcSinks.h"

namespace orvela::endpoint {
namespace {

constexpr DWORD kNoBound = 0x00100000;   // OPCHDA_NOBOUND
constexpr DWORD kDataLost = 0x00400000;  // OPCHDA_DATALOST
constexpr int64_t kMsTicks = 10'000;
constexpr int64_t kHourMicros = 3'600'000'000;
// How long one history read waits for its devices, in the clock's milliseconds: less than the UA gateway
// waits for it.
constexpr int64_t kHistoryDeadlineMs = 110'000;

// What one history read asks for: the window, and the values just before and after it.
enum TPart { kWindow, kBefore, kAfter, kParts };

// Turns every read's records into plain data and hands them on by transaction; called on any thread.
class THistorySink final : public TOpcHdaDataSink {
 public:
  explicit THistorySink(std::function<void(DWORD, TRecords)> deliver) : deliver_(std::move(deliver)) {}

  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD transaction, HRESULT, DWORD count, OPCHDA_ITEM* items,
                                           HRESULT* errors) override {
    TRecords records;
    for (DWORD i = 0; i < count && items; ++i) {
      const OPCHDA_ITEM& item = items[i];
      if ((errors && FAILED(errors[i])) || !item.pftTimeStamps) continue;
      for (DWORD k = 0; k < item.dwCount; ++k) {
        THistoryRecord record;
        record.t = FileTimeToMicros(item.pftTimeStamps[k]);
        record.q = item.pdwQualities ? item.pdwQualities[k] : 0;
        if (item.pvDataValues) ValueJson(item.pvDataValues[k], record.v);
        records.push_back(std::move(record));
      }
    }
    deliver_(transaction, std::move(records));
    return S_OK;
  }

 private:
  std::function<void(DWORD, TRecords)> deliver_;
};

Json RecordJson(const THistoryRecord& record, bool bound) {
  Json out{{"v", record.v}, {"t", record.t}, {"q", record.q}};
  if (bound) out["bound"] = true;
  return out;
}

Json NoBound(int64_t t) {
  return Json{{"v", nullptr}, {"t", t}, {"q", kNoBound}, {"bound", true}};
}

// A window's edge: any integer or finite number, clamped to the times the wire can carry, so that an
// open end (year 9999) or a start before all data (year 0, 1601) reads what there is.
int64_t WindowTime(const Json& request, const char* key) {
  const Json* value = Optional(request, key);
  if (!value) throw ERequest{kInvalidArg, std::string("missing ") + key};
  if (value->is_number_unsigned())
    return static_cast<int64_t>(std::min(value->get<uint64_t>(), uint64_t(kMaxTime)));
  if (value->is_number_integer()) return std::clamp(value->get<int64_t>(), -kMaxTime, kMaxTime);
  if (value->is_number_float() && std::isfinite(value->get<double>()))
    return static_cast<int64_t>(std::clamp(value->get<double>(), double(-kMaxTime), double(kMaxTime)));
  throw ERequest{kInvalidArg, std::string(key) + " is not an integer"};
}

// The HDA read passes only what lies strictly inside its window and compares at millisecond precision, so
// the window asked for is a millisecond wider at both ends and the edges are drawn when the records come.
OPCHDA_TIME HdaTime(int64_t micros, int64_t shiftTicks) {
  OPCHDA_TIME time{};
  time.ftTime = Int64ToFileTime(FileTimeToInt64(MicrosToFileTime(micros)) + shiftTicks);
  return time;
}

}  // namespace

struct THistoryRead {
  uint64_t conn = 0;
  int64_t id = 0;
  std::string nid;
  OPCHANDLE handle = 0;
  int64_t start = 0;
  int64_t end = 0;
  size_t limit = 0;
  bool bounds = false;
  size_t skip = 0;    // records at start that an earlier page gave (a continuation)
  bool first = true;  // not a continuation: the start bound is due
  std::array<std::pair<int64_t, int64_t>, kParts> windows{};  // from <= t < to, by part
  std::array<TRecords, kParts> records;
  std::array<bool, kParts> out{};  // asked for and not come yet
  std::array<DWORD, kParts> cancelIds{};
  int64_t deadline = 0;  // in the clock's milliseconds

  bool Waiting() const { return out[kWindow] || out[kBefore] || out[kAfter]; }
};

template class TReadsInFlight<THistoryRead>;

THistoryReads::THistoryReads(IOPCHDA_Server& hda, TTree& tree, TEndpoint::TConnections& conns)
    : TReadsInFlight(conns), hda_(hda), tree_(tree) {
  hda_.QueryInterface(IID_IOPCHDA_AsyncRead, async_.PutVoid());
  TComPtr<IConnectionPointContainer> container;
  hda_.QueryInterface(IID_IConnectionPointContainer, container.PutVoid());
  auto sink = Make<THistorySink>([anchor = std::weak_ptr(anchor_)](DWORD transaction, TRecords records) {
    MainThread::Post([anchor, transaction, records = std::move(records)]() mutable {
      if (auto self = anchor.lock()) (*self)->Complete(transaction, std::move(records));
    });
  });
  if (!async_ || !container || FAILED(container->FindConnectionPoint(IID_IOPCHDA_DataCallback, point_.Put())) ||
      FAILED(point_->Advise(sink->Identity(), &cookie_)))
    throw EEndpoint("the HDA server object takes no data callback");
}

THistoryReads::~THistoryReads() {
  anchor_.reset();
  EndAll();
  if (point_ && cookie_) point_->Unadvise(cookie_);
}

void THistoryReads::Start(uint64_t conn, int64_t id, const Json& request) {
  const Json* nidKey = Optional(request, "nid");
  if (!nidKey || !nidKey->is_string()) throw ERequest{kInvalidArg, "nid is not a string"};
  auto read = std::make_unique<THistoryRead>();
  read->conn = conn;
  read->id = id;
  read->nid = nidKey->get<std::string>();
  const std::string& nid = read->nid;
  const Json* cont = Optional(request, "cont");
  if (cont && !cont->is_string()) throw ERequest{kInvalidArg, "cont is not a string"};
  if (cont) {
    const std::optional<TContinuation> next = kept_.Find(cont->get<std::string>());
    if (!next || next->nid != nid) throw ERequest{kInvalidHandle, "unknown continuation"};
    read->start = next->start;
    read->end = next->end;
    read->bounds = next->bounds;
    read->skip = next->skip;
    read->first = false;
  } else {
    read->start = WindowTime(request, "start");
    read->end = WindowTime(request, "end");
    read->bounds = Bool(request, "bounds");
  }
  if (read->start >= read->end) throw ERequest{kInvalidArg, "start is not before end"};
  const int64_t max = Integer(request, "max", 0, kMaxHist, 0);
  read->limit = static_cast<size_t>(max == 0 ? kMaxHist : max);
  const HRESULT refusal = Refusal(tree_, nid, true);
  if (FAILED(refusal)) throw ERequest{refusal, refusal == kUnknownItem ? "unknown item" : "not visible to HDA"};
  if (FromKept(*read)) return;
  // The bounds are searched two archive steps away from the window.
  int64_t reach = 2 * kHourMicros;
  if (const TNTreeData* node = tree_.ResolveIdentifier(nid); node && node->ArchiveStep > 0)
    reach = 2 * static_cast<int64_t>(node->ArchiveStep) * 1000;
  read->windows[kWindow] = {read->start, read->end};
  read->windows[kBefore] = {read->start - reach, read->start};
  read->windows[kAfter] = {read->end, read->end + reach};

  std::u16string wide = Utf8ToUtf16(nid);
  LPWSTR name = wide.data();
  OPCHANDLE client = 1;
  TTaskMem<OPCHANDLE> handles;
  TTaskMem<HRESULT> errors;
  if (FAILED(hda_.GetItemHandles(1, &name, &client, handles.Put(), errors.Put())) || !errors || FAILED(errors[0]))
    throw ERequest{kUnknownItem, "unknown item"};
  read->handle = handles[0];

  const uint64_t number = next_++;
  for (int part = kWindow; part < (read->bounds ? kParts : kWindow + 1); ++part) {
    OPCHDA_TIME from = HdaTime(read->windows[part].first, -kMsTicks);
    OPCHDA_TIME to = HdaTime(read->windows[part].second, kMsTicks);
    TTaskMem<HRESULT> queued;
    const auto transaction = static_cast<DWORD>(number * kParts + part);
    read->out[part] = SUCCEEDED(async_->ReadRaw(transaction, &from, &to, 0, FALSE, 1, &read->handle,
                                                &read->cancelIds[part], queued.Put())) &&
                      queued && SUCCEEDED(queued[0]);
  }
  auto it = Add(number, std::move(read), kHistoryDeadlineMs);
  if (!it->second->Waiting()) Finish(it);
}

void THistoryReads::Complete(DWORD transaction, std::vector<THistoryRecord> records) {
  auto it = Find(transaction / kParts);
  if (!Known(it)) return;  // answered already: cancelled, expired or its client gone
  THistoryRead& read = *it->second;
  const auto part = static_cast<size_t>(transaction % kParts);
  if (!read.out[part]) return;
  read.out[part] = false;
  const auto [from, to] = read.windows[part];
  std::erase_if(records, [from, to](const THistoryRecord& r) { return r.t < from || r.t >= to; });
  read.records[part] = std::move(records);
  if (read.Waiting()) return;
  // Only a read whose every part came with records and none lost is kept: a meter that did not answer
  // is asked again by the next request.
  const TRecords& window = read.records[kWindow];
  if (!window.empty() && std::none_of(window.begin(), window.end(), [](const THistoryRecord& r) {
        return (r.q & kDataLost) != 0;
      }))
    kept_.Keep(THistoryWindow{read.nid, read.start, read.end, read.bounds, window, read.records[kBefore],
                              read.records[kAfter]});
  Finish(it);
}

bool THistoryReads::FromKept(THistoryRead& read) {
  std::optional<THistoryWindow> kept = kept_.Covering(read.nid, read.start, read.end, read.bounds);
  if (!kept) return false;
  read.records[kWindow] = std::move(kept->window);
  read.records[kBefore] = std::move(kept->before);
  read.records[kAfter] = std::move(kept->after);
  Reply(read);
  return true;
}

// The window's records framed by the last value before it and the first after it ("no bound" entries
// when there are none); no end bound when more records follow than were asked for, but a continuation.
void THistoryReads::Reply(THistoryRead& read) {
  TRecords& records = read.records[kWindow];
  // A continuation leaves out the records at its start that the page before gave.
  size_t skip = 0;
  while (skip < read.skip && skip < records.size() && records[skip].t == read.start) ++skip;
  records.erase(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(skip));
  const bool more = records.size() > read.limit;
  if (more) records.resize(read.limit);
  std::vector<Json> out;
  if (read.bounds && read.first && (records.empty() || records.front().t != read.start)) {
    const TRecords& before = read.records[kBefore];
    out.push_back(before.empty() ? NoBound(read.start) : RecordJson(before.back(), true));
  }
  for (const THistoryRecord& record : records) out.push_back(RecordJson(record, false));
  if (read.bounds && !more) {
    const TRecords& after = read.records[kAfter];
    out.push_back(after.empty() ? NoBound(read.end) : RecordJson(after.front(), true));
  }
  for (size_t at = 0, part = 0; at < out.size(); at += kPartSize, ++part) {
    Json chunk = Json::array();
    for (size_t k = at; k < std::min(out.size(), at + kPartSize); ++k) chunk.push_back(std::move(out[k]));
    conns_.Send(read.conn, Json{{"id", read.id}, {"part", part}, {"values", chunk}});
  }
  Json reply{{"count", out.size()}, {"more", more}};
  if (more && !records.empty()) {
    // The next page starts at the last time given, past the records at that time given already.
    const int64_t last = records.back().t;
    const size_t given = static_cast<size_t>(std::count_if(
        records.begin(), records.end(), [last](const THistoryRecord& r) { return r.t == last; }));
    reply["cont"] = kept_.Hand(
        TContinuation{read.nid, last, read.end, read.bounds, given + (last == read.start ? read.skip : 0)});
  }
  conns_.Send(read.conn, OkReply(read.id, std::move(reply)), true);
}

// Withdraws the parts still out and gives the item handle back.
void THistoryReads::Withdraw(THistoryRead& read) {
  for (int part = kWindow; part < kParts; ++part)
    if (read.out[part]) async_->Cancel(read.cancelIds[part]);
  TTaskMem<HRESULT> released;
  hda_.ReleaseItemHandles(1, &read.handle, released.Put());
}

}  // namespace orvela::endpoint
