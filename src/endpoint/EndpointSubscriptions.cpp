#include "endpoint/EndpointSubscriptions.h"

#include "endpoint/EndpointGroup.h"
#include "platform/com/ComObject.h"
#include "platform/com/ComTaskMem.h"
#include "platform/com/ComText.h"
#include "platform/com/opc/OpcSinks.h"

namespace orvela::endpoint {
namespace {

// Turns a subscription's data changes into its events, and keeps what came for reads with a maxAge.
class TDataSink final : public TOpcDataSink {
 public:
  TDataSink(TEndpoint::TConnections& conns, TValueCache& cache, uint64_t conn, int64_t sub)
      : conns_(conns), cache_(cache), conn_(conn), sub_(sub) {}
  std::vector<std::string> ids;  // by client handle

  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* handles,
                                         VARIANT* values, WORD* qualities, FILETIME* times,
                                         HRESULT* errors) override {
    if (count == 0 || !handles || !values || !qualities || !times || !errors) return S_OK;
    Json items = Json::array();
    for (DWORD i = 0; i < count; ++i) {
      if (handles[i] >= ids.size()) continue;
      Json item = ItemJson(values[i], times[i], qualities[i], errors[i]);
      cache_.Put(ids[handles[i]], item);
      item["nid"] = ids[handles[i]];
      items.push_back(std::move(item));
    }
    if (!items.empty()) conns_.Send(conn_, Json{{"ev", "data"}, {"sub", sub_}, {"items", items}});
    return S_OK;
  }

 private:
  TEndpoint::TConnections& conns_;
  TValueCache& cache_;
  uint64_t conn_;
  int64_t sub_;
};

Json Codes(const std::vector<HRESULT>& errors) {
  Json out = Json::array();
  for (HRESULT hr : errors) out.push_back(static_cast<uint32_t>(hr));
  return out;
}

}  // namespace

struct TSubscriptions::TSub {
  TComPtr<TDataSink> sink;
  std::unique_ptr<TEndpointGroup> group;
  DWORD cancelId = 0;
  bool refreshing = false;
  DWORD rate = 0;
  std::map<std::string, OPCHANDLE> handles;  // nid -> server handle
};

TSubscriptions::TSubscriptions(IOPCServer& da, TTree& tree, TEndpoint::TConnections& conns, TValueCache& cache)
    : da_(da), tree_(tree), conns_(conns), cache_(cache) {}

TSubscriptions::~TSubscriptions() {
  for (auto& [conn, subs] : subs_)
    for (auto& [id, sub] : subs) Remove(*sub);
}

void TSubscriptions::Drop(uint64_t conn) {
  auto it = subs_.find(conn);
  if (it == subs_.end()) return;
  for (auto& [id, sub] : it->second) Remove(*sub);
  subs_.erase(it);
}

TSubscriptions::TSub& TSubscriptions::Find(uint64_t conn, const Json& request) {
  const int64_t id = Integer(request, "sub", 0, INT64_MAX, std::nullopt);
  auto& subs = subs_[conn];
  auto it = subs.find(id);
  if (it == subs.end()) throw ERequest{kInvalidHandle, "unknown subscription"};
  return *it->second;
}

std::vector<HRESULT> TSubscriptions::Add(TSub& sub, const std::vector<std::string>& ids) {
  if (sub.handles.size() + ids.size() > kMaxSubItems) throw ERequest{kBusy, "too many items in the subscription"};
  std::vector<HRESULT> errors(ids.size(), S_OK);
  std::vector<std::string> fresh;
  std::vector<size_t> positions;
  for (size_t i = 0; i < ids.size(); ++i)
    if (!sub.handles.count(ids[i])) {
      fresh.push_back(ids[i]);
      positions.push_back(i);
    }
  std::vector<OPCHANDLE> server;
  const OPCHANDLE first = static_cast<OPCHANDLE>(sub.sink->ids.size());
  const std::vector<HRESULT> added = sub.group->Add(tree_, fresh, first, server);
  sub.sink->ids.insert(sub.sink->ids.end(), fresh.begin(), fresh.end());
  for (size_t k = 0; k < fresh.size(); ++k) {
    errors[positions[k]] = added[k];
    if (SUCCEEDED(added[k])) sub.handles[fresh[k]] = server[k];
  }
  return errors;
}

Json TSubscriptions::Subscribe(uint64_t conn, const Json& request) {
  const DWORD rate = static_cast<DWORD>(Integer(request, "rate", 0, INT32_MAX, std::nullopt));
  const std::vector<std::string> ids = Strings(request, "items", 0, kMaxItems, true);
  auto& subs = subs_[conn];
  if (subs.size() >= kMaxSubs) throw ERequest{kBusy, "too many subscriptions"};
  const int64_t number = nextSub_++;
  auto sub = std::make_unique<TSub>();
  sub->sink = Make<TDataSink>(conns_, cache_, conn, number);
  // A name of its own: subscriptions of any rate live side by side.
  const std::u16string name = u"endpoint sub " + Utf8ToUtf16(std::to_string(number));
  sub->group = std::make_unique<TEndpointGroup>(da_, name.c_str(), true, std::max(rate, kRateFloor),
                                                static_cast<OPCHANDLE>(number), *sub->sink.Get());
  sub->rate = std::max(sub->group->RevisedRate(), kRateFloor);
  const std::vector<HRESULT> errors = Add(*sub, ids);
  const DWORD subRate = sub->rate;
  subs.emplace(number, std::move(sub));
  conns_.SetSubs(conn, subs.size());
  pending_ = {conn, number};
  return Json{{"sub", number}, {"rate", subRate}, {"items", Codes(errors)}};
}

Json TSubscriptions::Modify(uint64_t conn, const Json& request) {
  TSub& sub = Find(conn, request);
  const Json* rateKey = Optional(request, "rate");
  const std::vector<std::string> removes = Strings(request, "remove", 0, kMaxItems, false);
  const std::vector<std::string> adds = Strings(request, "add", 0, kMaxItems, false);
  if (rateKey) {
    DWORD rate = std::max(static_cast<DWORD>(Integer(request, "rate", 0, INT32_MAX, std::nullopt)), kRateFloor);
    DWORD revised = rate;
    if (auto state = sub.group->As<IOPCGroupStateMgt>())
      state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr);
    sub.rate = std::max(revised, kRateFloor);
  }
  std::vector<HRESULT> removed(removes.size(), kInvalidHandle);
  for (size_t i = 0; i < removes.size(); ++i) {
    auto it = sub.handles.find(removes[i]);
    if (it == sub.handles.end()) continue;
    OPCHANDLE handle = it->second;
    TTaskMem<HRESULT> errors;
    sub.group->Items().RemoveItems(1, &handle, errors.Put());
    sub.handles.erase(it);
    removed[i] = S_OK;
  }
  const std::vector<HRESULT> added = Add(sub, adds);
  pending_ = {conn, Integer(request, "sub", 0, INT64_MAX, std::nullopt)};
  return Json{{"rate", sub.rate}, {"add", Codes(added)}, {"remove", Codes(removed)}};
}

Json TSubscriptions::Unsubscribe(uint64_t conn, const Json& request) {
  const int64_t id = Integer(request, "sub", 0, INT64_MAX, std::nullopt);
  auto& subs = subs_[conn];
  auto it = subs.find(id);
  if (it == subs.end()) throw ERequest{kInvalidHandle, "unknown subscription"};
  Remove(*it->second);
  subs.erase(it);
  conns_.SetSubs(conn, subs.size());
  return Json::object();
}

void TSubscriptions::RefreshLast() {
  auto [conn, number] = pending_;
  pending_ = {0, 0};
  auto subs = subs_.find(conn);
  if (subs == subs_.end()) return;
  auto it = subs->second.find(number);
  if (it == subs->second.end() || it->second->handles.empty()) return;
  TSub& sub = *it->second;
  auto async = sub.group->As<IOPCAsyncIO2>();
  if (!async) return;
  if (sub.refreshing) async->Cancel2(sub.cancelId);
  sub.refreshing = SUCCEEDED(async->Refresh2(OPC_DS_DEVICE, static_cast<DWORD>(number), &sub.cancelId));
}

void TSubscriptions::Remove(TSub& sub) {
  if (sub.refreshing && sub.group)
    if (auto async = sub.group->As<IOPCAsyncIO2>()) async->Cancel2(sub.cancelId);
  sub.refreshing = false;
  sub.group.reset();
}

}  // namespace orvela::endpoint
