#include "endpoint/DeviceReads.h"

#include <algorithm>
#include <functional>
#include <set>

#include "endpoint/EndpointGroup.h"
#include "endpoint/EndpointTree.h"
#include "platform/Clock.h"
#include "platform/MainThread.h"
#include "platform/com/ComTaskMem.h"
#include "platform/com/ComText.h"
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

// One request in flight. Its device items are numbered by handle.
struct TDeviceRead {
  uint64_t conn = 0;
  int64_t id = 0;
  Json items = Json::array();     // the reply's, in request order
  std::vector<std::string> nids;  // by handle, each identifier once
  std::map<std::string, size_t> handleOf;
  std::vector<std::vector<size_t>> positions;  // by handle: the identifier's places in items
  std::vector<bool> answered;                  // by handle
  size_t left = 0;
  int64_t deadline = 0;        // in the clock's milliseconds
  std::set<uint64_t> daReads;  // the DA reads it waits for

  void Answer(size_t handle, const Json& item) {
    for (size_t at : positions[handle]) items[at] = item;
    answered[handle] = true;
  }
};

// One asynchronous DA read on a group of its own, shared by the requests that wait for its items; its
// items are numbered by client handle.
struct TDaRead {
  TComPtr<TReadSink> sink;
  std::unique_ptr<TEndpointGroup> group;
  DWORD cancelId = 0;
  std::vector<std::string> nids;
  std::vector<bool> answered;
  size_t users = 0;
};

template class TReadsInFlight<TDeviceRead>;

TDeviceReads::TDeviceReads(IOPCServer& da, TTree& tree, TEndpoint::TConnections& conns, TValueCache& cache)
    : TReadsInFlight(conns), da_(da), tree_(tree), cache_(cache) {}

TDeviceReads::~TDeviceReads() {
  anchor_.reset();
  EndAll();
}

void TDeviceReads::Start(uint64_t conn, int64_t id, const std::vector<std::string>& ids, int64_t maxAgeMs,
                         int64_t timeoutMs) {
  auto read = std::make_unique<TDeviceRead>();
  read->conn = conn;
  read->id = id;
  // An identifier is read once and answered in each of its places.
  for (size_t i = 0; i < ids.size(); ++i) {
    const HRESULT refusal = Refusal(tree_, ids[i], false);
    const std::optional<Json> cached =
        SUCCEEDED(refusal) && maxAgeMs > 0 ? cache_.Fresh(ids[i], maxAgeMs) : std::nullopt;
    // A device item not answered by the deadline keeps this time-out.
    read->items.push_back(FAILED(refusal) ? FailedItem(refusal) : cached ? *cached : FailedItem(kTimeout));
    if (SUCCEEDED(refusal) && !cached) {
      auto [at, fresh] = read->handleOf.emplace(ids[i], read->nids.size());
      if (fresh) {
        read->nids.push_back(ids[i]);
        read->positions.emplace_back();
      }
      read->positions[at->second].push_back(i);
    }
  }
  if (read->nids.empty()) return Reply(*read);
  read->answered.assign(read->nids.size(), false);
  // What another request is reading already is waited for with it.
  std::vector<size_t> ask;
  for (size_t handle = 0; handle < read->nids.size(); ++handle) {
    auto reading = reading_.find(read->nids[handle]);
    if (reading == reading_.end()) {
      ask.push_back(handle);
    } else if (read->daReads.insert(reading->second).second) {
      ++daReads_.at(reading->second)->users;
    }
    if (reading != reading_.end()) ++read->left;
  }
  Ask(*read, ask);
  if (read->left == 0) return Reply(*read);
  const int64_t deadline = timeoutMs > 0 ? std::min(timeoutMs, kReadDeadlineMs) : kReadDeadlineMs;
  Add(next_++, std::move(read), deadline);
}

// Starts one DA read of the read's items at handles; what cannot be asked for is answered at once.
void TDeviceReads::Ask(TDeviceRead& read, const std::vector<size_t>& handles) {
  if (handles.empty()) return;
  const uint64_t number = nextDa_++;
  auto daRead = std::make_unique<TDaRead>();
  for (size_t handle : handles) daRead->nids.push_back(read.nids[handle]);
  daRead->answered.assign(handles.size(), false);
  daRead->sink = Make<TReadSink>([anchor = std::weak_ptr(anchor_), number](TResults results) {
    MainThread::Post([anchor, number, results = std::move(results)]() mutable {
      if (auto self = anchor.lock()) (*self)->Complete(number, std::move(results));
    });
  });
  try {
    // Names of the endpoint's own, so that reads at the same time never meet on one.
    const std::u16string name = u"endpoint read " + Utf8ToUtf16(std::to_string(number));
    daRead->group = std::make_unique<TEndpointGroup>(da_, name.c_str(), false, 0, 0, *daRead->sink.Get());
  } catch (const ERequest& e) {
    for (size_t handle : handles) read.Answer(handle, FailedItem(e.hr));
    return;
  }
  std::vector<OPCHANDLE> server;
  const std::vector<HRESULT> added = daRead->group->Add(tree_, daRead->nids, 0, server);
  std::vector<OPCHANDLE> queuedServer;
  std::vector<size_t> queued;
  for (size_t k = 0; k < added.size(); ++k) {
    if (FAILED(added[k])) {
      read.Answer(handles[k], FailedItem(added[k]));
      continue;
    }
    queuedServer.push_back(server[k]);
    queued.push_back(k);
  }
  if (queued.empty()) return;
  auto async = daRead->group->As<IOPCAsyncIO2>();
  TTaskMem<HRESULT> errors;
  const HRESULT hr = async ? async->Read(static_cast<DWORD>(queued.size()), queuedServer.data(),
                                         static_cast<DWORD>(number), &daRead->cancelId, errors.Put())
                           : kFail;
  size_t out = 0;
  for (size_t j = 0; j < queued.size(); ++j) {
    const HRESULT error = errors ? errors[j] : (FAILED(hr) ? hr : kFail);
    if (FAILED(error)) {
      read.Answer(handles[queued[j]], FailedItem(error));
      daRead->answered[queued[j]] = true;
      continue;
    }
    reading_[daRead->nids[queued[j]]] = number;
    ++read.left;
    ++out;
  }
  if (out == 0) return;
  daRead->users = 1;
  read.daReads.insert(number);
  daReads_.emplace(number, std::move(daRead));
}

void TDeviceReads::Complete(uint64_t number, std::vector<std::pair<OPCHANDLE, Json>> results) {
  auto it = daReads_.find(number);
  if (it == daReads_.end()) return;  // withdrawn: its requests were answered already
  TDaRead& daRead = *it->second;
  for (auto& [handle, item] : results) {
    // A handle the read did not give out, or a second answer for one, is not counted.
    if (handle >= daRead.answered.size() || daRead.answered[handle]) continue;
    daRead.answered[handle] = true;
    const std::string& nid = daRead.nids[handle];
    if (auto reading = reading_.find(nid); reading != reading_.end() && reading->second == number)
      reading_.erase(reading);
    cache_.Put(nid, item);
    Deliver(number, nid, item);
  }
  std::vector<uint64_t> done;
  for (auto& [request, read] : Reads())
    if (read->left == 0) done.push_back(request);
  for (uint64_t request : done)
    if (auto at = Find(request); Known(at)) Finish(at);
}

// Every request waiting for the identifier from that DA read gets the item.
void TDeviceReads::Deliver(uint64_t number, const std::string& nid, const Json& item) {
  for (auto& [request, read] : Reads()) {
    auto at = read->handleOf.find(nid);
    if (at == read->handleOf.end() || read->answered[at->second] || !read->daReads.count(number)) continue;
    read->Answer(at->second, item);
    --read->left;
  }
}

void TDeviceReads::Reply(TDeviceRead& read) {
  conns_.Send(read.conn, OkReply(read.id, Json{{"items", read.items}}), true);
}

// A DA read no other request waits for is cancelled as far as it is still queued, and goes with its group.
void TDeviceReads::Withdraw(TDeviceRead& read) {
  for (uint64_t number : read.daReads) {
    auto it = daReads_.find(number);
    if (it == daReads_.end() || --it->second->users > 0) continue;
    TDaRead& daRead = *it->second;
    if (std::find(daRead.answered.begin(), daRead.answered.end(), false) != daRead.answered.end())
      if (auto async = daRead.group->As<IOPCAsyncIO2>()) async->Cancel2(daRead.cancelId);
    std::erase_if(reading_, [number](const auto& entry) { return entry.second == number; });
    daReads_.erase(it);
  }
  read.daReads.clear();
}

}  // namespace orvela::endpoint
