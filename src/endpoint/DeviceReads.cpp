#include "endpoint/DeviceReads.h"

#include <functional>

#include "endpoint/EndpointGroup.h"
#include "endpoint/EndpointTree.h"
#include "platform/Clock.h"
#include "platform/MainThread.h"
#include "platform/com/ComTaskMem.h"
#include "platform/com/opc/OpcSinks.h"

namespace orvela::endpoint {
namespace {

using TResults = std::vector<std::pair<OPCHANDLE, Json>>;

// Turns a read's completions into items by client handle and hands them on; called on any thread.
class TReadSink final : public TOpcDataSink {
 public:
  explicit TReadSink(std::function<void(TResults)> deliver) : deliver_(std::move(deliver)) {}

  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* handles,
                                           VARIANT* values, WORD* qualities, FILETIME* times,
                                           HRESULT* errors) override {
    if (count == 0 || !handles || !values || !qualities || !times || !errors) return S_OK;
    TResults results;
    for (DWORD i = 0; i < count; ++i)
      results.emplace_back(handles[i], ItemJson(values[i], times[i], qualities[i], errors[i]));
    deliver_(std::move(results));
    return S_OK;
  }

 private:
  std::function<void(TResults)> deliver_;
};

}  // namespace

void TValueCache::Put(const std::string& nid, const Json& item) {
  // A failure or a bad quality (not connected, device failure, …) is no value from the device.
  constexpr unsigned kQualityMask = 0xC0;
  if (item.value("hr", 1u) != 0 || (item.value("q", 0u) & kQualityMask) == 0) return;
  std::lock_guard lock(mutex_);
  items_[nid] = {item, SystemClock().TickMs()};
}

std::optional<Json> TValueCache::Fresh(const std::string& nid, int64_t maxAgeMs) const {
  std::lock_guard lock(mutex_);
  auto it = items_.find(nid);
  if (it == items_.end() || SystemClock().TickMs() - it->second.second > maxAgeMs) return std::nullopt;
  return it->second.first;
}

// One read in flight. Its device items are numbered by client handle.
struct TDeviceRead {
  uint64_t conn = 0;
  int64_t id = 0;
  Json items = Json::array();     // the reply's, in request order
  std::vector<std::string> nids;                // by client handle, each identifier once
  std::vector<std::vector<size_t>> positions;   // by client handle: the identifier's places in items
  std::vector<bool> answered;     // by client handle
  size_t left = 0;
  int64_t deadline = 0;  // in the clock's milliseconds
  DWORD cancelId = 0;
  TComPtr<TReadSink> sink;
  std::unique_ptr<TEndpointGroup> group;

  void Answer(size_t handle, const Json& item) {
    for (size_t at : positions[handle]) items[at] = item;
    answered[handle] = true;
  }
};

template class TReadsInFlight<TDeviceRead>;

TDeviceReads::TDeviceReads(IOPCServer& da, TTree& tree, TEndpoint::TConnections& conns, TValueCache& cache)
    : TReadsInFlight(conns), da_(da), tree_(tree), cache_(cache) {}

TDeviceReads::~TDeviceReads() {
  anchor_.reset();
  EndAll();
}

void TDeviceReads::Start(uint64_t conn, int64_t id, const std::vector<std::string>& ids, int64_t maxAgeMs) {
  auto read = std::make_unique<TDeviceRead>();
  read->conn = conn;
  read->id = id;
  // A group holds an identifier once: a repeated one is read once and answered in each of its places.
  std::map<std::string, size_t> handleOf;
  for (size_t i = 0; i < ids.size(); ++i) {
    const HRESULT refusal = Refusal(tree_, ids[i], false);
    const std::optional<Json> cached =
        SUCCEEDED(refusal) && maxAgeMs > 0 ? cache_.Fresh(ids[i], maxAgeMs) : std::nullopt;
    // A device item not answered by the deadline keeps this time-out.
    read->items.push_back(FAILED(refusal) ? FailedItem(refusal) : cached ? *cached : FailedItem(kTimeout));
    if (SUCCEEDED(refusal) && !cached) {
      auto [at, fresh] = handleOf.emplace(ids[i], read->nids.size());
      if (fresh) {
        read->nids.push_back(ids[i]);
        read->positions.emplace_back();
      }
      read->positions[at->second].push_back(i);
    }
  }
  if (read->nids.empty()) return Reply(*read);
  read->answered.assign(read->nids.size(), false);

  const uint64_t number = next_++;
  read->sink = Make<TReadSink>([anchor = std::weak_ptr(anchor_), number](TResults results) {
    MainThread::Post([anchor, number, results = std::move(results)]() mutable {
      if (auto self = anchor.lock()) (*self)->Complete(number, std::move(results));
    });
  });
  read->group = std::make_unique<TEndpointGroup>(da_, u"endpoint read", false, 0, 0, *read->sink.Get());
  std::vector<OPCHANDLE> server;
  const std::vector<HRESULT> added = read->group->Add(tree_, read->nids, 0, server);
  std::vector<OPCHANDLE> handles;
  std::vector<size_t> queued;
  for (size_t k = 0; k < added.size(); ++k) {
    if (FAILED(added[k])) {
      read->Answer(k, FailedItem(added[k]));
      continue;
    }
    handles.push_back(server[k]);
    queued.push_back(k);
  }
  if (!handles.empty()) {
    auto async = read->group->As<IOPCAsyncIO2>();
    TTaskMem<HRESULT> errors;
    const HRESULT hr = async ? async->Read(static_cast<DWORD>(handles.size()), handles.data(),
                                           static_cast<DWORD>(number), &read->cancelId, errors.Put())
                             : kFail;
    for (size_t j = 0; j < handles.size(); ++j) {
      const HRESULT error = errors ? errors[j] : (FAILED(hr) ? hr : kFail);
      if (FAILED(error))
        read->Answer(queued[j], FailedItem(error));
      else
        ++read->left;
    }
  }
  if (read->left == 0) return Reply(*read);
  Add(number, std::move(read), kReadDeadlineMs);
}

void TDeviceReads::Complete(uint64_t number, std::vector<std::pair<OPCHANDLE, Json>> results) {
  auto it = Find(number);
  if (!Known(it)) return;  // answered already: cancelled, expired or its client gone
  TDeviceRead& read = *it->second;
  for (auto& [handle, item] : results) {
    // A handle the read did not give out, or a second answer for one, is not counted.
    if (handle >= read.answered.size() || read.answered[handle]) continue;
    cache_.Put(read.nids[handle], item);
    read.Answer(handle, item);
    --read.left;
  }
  if (read.left == 0) Finish(it);
}

void TDeviceReads::Reply(TDeviceRead& read) {
  conns_.Send(read.conn, OkReply(read.id, Json{{"items", read.items}}), true);
}

// What is still queued is cancelled; the group goes with the read.
void TDeviceReads::Withdraw(TDeviceRead& read) {
  if (read.left > 0 && read.group)
    if (auto async = read.group->As<IOPCAsyncIO2>()) async->Cancel2(read.cancelId);
}

}  // namespace orvela::endpoint
