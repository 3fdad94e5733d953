#include "endpoint/Endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "endpoint/EndpointCodec.h"
#include "opc_da/DaServerClass.h"
#include "opc_hda/HdaServerClass.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/MainThread.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComObject.h"
#include "platform/com/ComTaskMem.h"
#include "platform/com/ComText.h"
#include "platform/com/ComVariant.h"
#include "platform/com/opc/OpcDa.h"
#include "platform/com/opc/OpcHda.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

using endpoint::Json;

constexpr size_t kMaxLine = 4'194'304;
constexpr size_t kMaxConnections = 8;
constexpr size_t kMaxRequests = 64;
constexpr size_t kMaxItems = 10'000;
constexpr size_t kMaxSubs = 256;
constexpr size_t kMaxSubItems = 100'000;
constexpr int64_t kMaxHist = 1'000'000;
constexpr size_t kPartSize = 1000;
constexpr size_t kMaxOutbox = 64 * kMaxLine;
constexpr int64_t kMaxId = 9'007'199'254'740'991;
constexpr int64_t kMaxTime = 9'007'199'254'740'991;
constexpr DWORD kRateFloor = 2000;

constexpr HRESULT kInvalidData = static_cast<HRESULT>(0x8007000D);
constexpr HRESULT kBadLength = static_cast<HRESULT>(0x80070018);
constexpr HRESULT kInvalidArg = static_cast<HRESULT>(0x80070057);
constexpr HRESULT kNotImpl = static_cast<HRESULT>(0x80004001);
constexpr HRESULT kUnexpected = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT kNotSupported = static_cast<HRESULT>(0x80070032);
constexpr HRESULT kBusy = static_cast<HRESULT>(0x800700AA);
constexpr HRESULT kAbort = static_cast<HRESULT>(0x80004004);
constexpr HRESULT kDisconnected = static_cast<HRESULT>(0x80010108);
constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005);
constexpr HRESULT kInvalidHandle = static_cast<HRESULT>(0xC0040001);
constexpr HRESULT kBadRights = static_cast<HRESULT>(0xC0040006);
constexpr HRESULT kUnknownItem = static_cast<HRESULT>(0xC0040007);

std::string Line(const Json& message) {
  return message.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

Json ErrorReply(const Json& id, HRESULT hr, const std::string& text) {
  return Json{{"id", id}, {"ok", false}, {"hr", static_cast<uint32_t>(hr)}, {"error", text}};
}

// A failure of one request, turned into its error reply.
struct ERequest {
  HRESULT hr;
  std::string text;
};

int64_t NowMicros() {
  return endpoint::FileTimeToMicros(UtcDateTimeToFileTime(SystemClock().NowUtc()));
}

// Argument readers: a key of the wrong type or range is the request's error, naming the key.
const Json* Optional(const Json& request, const char* key) {
  auto it = request.find(key);
  return it == request.end() ? nullptr : &*it;
}

int64_t Integer(const Json& request, const char* key, int64_t low, int64_t high,
                std::optional<int64_t> fallback) {
  const Json* value = Optional(request, key);
  if (!value) {
    if (fallback) return *fallback;
    throw ERequest{kInvalidArg, std::string("missing ") + key};
  }
  int64_t n = 0;
  if (value->is_number_unsigned()) {
    const uint64_t u = value->get<uint64_t>();
    if (u > static_cast<uint64_t>(high)) throw ERequest{kInvalidArg, std::string(key) + " out of range"};
    n = static_cast<int64_t>(u);
  } else if (value->is_number_integer()) {
    n = value->get<int64_t>();
  } else {
    throw ERequest{kInvalidArg, std::string(key) + " is not an integer"};
  }
  if (n < low || n > high) throw ERequest{kInvalidArg, std::string(key) + " out of range"};
  return n;
}

bool Bool(const Json& request, const char* key) {
  const Json* value = Optional(request, key);
  if (!value) return false;
  if (!value->is_boolean()) throw ERequest{kInvalidArg, std::string(key) + " is not a bool"};
  return value->get<bool>();
}

std::vector<std::string> Strings(const Json& request, const char* key, size_t low, size_t high,
                                 bool required) {
  const Json* value = Optional(request, key);
  if (!value) {
    if (required) throw ERequest{kInvalidArg, std::string("missing ") + key};
    return {};
  }
  if (!value->is_array() || value->size() < low || value->size() > high)
    throw ERequest{kInvalidArg, std::string(key) + " is not an array of " + std::to_string(low) + " to " +
                                    std::to_string(high) + " strings"};
  std::vector<std::string> out;
  for (const Json& item : *value) {
    if (!item.is_string()) throw ERequest{kInvalidArg, std::string(key) + " holds a non-string"};
    out.push_back(item.get<std::string>());
  }
  return out;
}

// Parameters, and the leaves of a device's branches: a read-out tree keeps an archive's parameters as
// branch leaves, and the HDA server reads them like any parameter.
bool IsVariable(const TNTreeData& node) {
  if (node.Kind == nkParameter || node.Kind == nkGroupedParameter) return true;
  const bool leaf = std::none_of(node.Children.begin(), node.Children.end(), [](const TNTreeData* child) {
    return child && (child->DAVisible || child->HDAVisible);
  });
  return leaf && (node.Kind == nkBranch || node.Kind == nkSubBranch);
}

int32_t DataTypeCode(const TNTreeData& node) {
  const TVariant& type = Attribute(node, asDataType).Value;
  if (type.vt == VT_EMPTY) return 0;
  return static_cast<int32_t>(type.IsInteger() ? type.i : static_cast<int64_t>(type.AsDouble()));
}

const char* AccessText(uint16_t mode) {
  return mode == 2 ? "rw" : mode == 3 ? "w" : "r";
}

// The attribute's text, or its string value when the text is empty.
std::string AttributeText(const TNTreeData& node, TAttributeSlot slot) {
  const TAttribRec& attribute = Attribute(node, slot);
  return attribute.Text.empty() && attribute.Value.vt == VT_BSTR ? attribute.Value.s : attribute.Text;
}

// The nodes a browse lists, in pre-order: visible to DA or HDA below a listed parent, identifiers unique.
std::vector<Json> Snapshot(TTree& tree) {
  std::vector<Json> nodes;
  auto lock = tree.ReadLock();
  TNTreeData* root = tree.Root();
  if (!root) return nodes;
  std::set<std::string> seen;
  auto visit = [&](auto& self, const TNTreeData& node, const Json& parent) -> void {
    if (!seen.insert(node.Path).second) return;
    const int32_t vt = DataTypeCode(node);
    nodes.push_back(Json{{"nid", node.Path},
                         {"parent", parent},
                         {"name", node.Name},
                         {"kind", IsVariable(node) ? "variable" : "folder"},
                         {"da", node.DAVisible},
                         {"hist", node.HDAVisible},
                         {"vt", vt},
                         {"type", endpoint::TypeName(vt)},
                         {"access", AccessText(node.AccessMode)},
                         {"step", static_cast<int64_t>(node.ArchiveStep)},
                         {"units", AttributeText(node, asUnits)},
                         {"desc", AttributeText(node, asDescription)}});
    const Json self_id = node.Path;
    for (const TNTreeData* child : node.Children)
      if (child && (child->DAVisible || child->HDAVisible)) self(self, *child, self_id);
  };
  visit(visit, *root, nullptr);
  return nodes;
}

// Changes whenever the listed nodes or their keys change: a hash of the snapshot.
uint32_t Generation(const std::vector<Json>& nodes) {
  uint32_t hash = 2166136261u;
  for (const Json& node : nodes)
    for (unsigned char c : Line(node)) hash = (hash ^ c) * 16777619u;
  return hash;
}

}  // namespace

// The connection table: owned by the I/O thread, written to by the main thread through Send.
class TEndpoint::TConnections {
 public:
  struct TConn {
    int fd = -1;
    std::string in;
    bool skipping = false;  // past an oversized line, up to its LF
    std::string out;
    bool hello = false;
    bool closeAfterFlush = false;
    std::set<int64_t> requests;
    std::set<int64_t> cancelled;
    size_t subs = 0;
  };

  explicit TConnections(int wakeFd) : wakeFd_(wakeFd) {}

  // Queues a message; a reply (final) ends its request. Unknown connections (gone) drop it.
  void Send(uint64_t conn, const Json& message, bool final = false) {
    std::lock_guard lock(mutex_);
    auto it = conns_.find(conn);
    if (it == conns_.end()) return;
    it->second.out += Line(message);
    // A client that stops reading while its subscriptions keep delivering is cut off, not buffered for.
    if (it->second.out.size() > kMaxOutbox) ::shutdown(it->second.fd, SHUT_RDWR);
    if (final && message.contains("id") && message["id"].is_number_integer()) {
      const int64_t id = message["id"].get<int64_t>();
      it->second.requests.erase(id);
      it->second.cancelled.erase(id);
    }
    Wake();
  }
  bool Cancelled(uint64_t conn, int64_t id) {
    std::lock_guard lock(mutex_);
    auto it = conns_.find(conn);
    return it == conns_.end() || it->second.cancelled.count(id) != 0;
  }
  void SetSubs(uint64_t conn, size_t subs) {
    std::lock_guard lock(mutex_);
    if (auto it = conns_.find(conn); it != conns_.end()) it->second.subs = subs;
  }
  void Wake() {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &byte, 1);
  }

  std::mutex mutex_;
  std::map<uint64_t, TConn> conns_;
  uint64_t next_ = 1;
  std::atomic<uint32_t> generation{0};
  int64_t start = NowMicros();
  std::atomic<bool> stopping{false};

 private:
  int wakeFd_;
};

// Per subscription: the DA group and the sink that turns its data changes into events.
class TDataSink final : public TComObject<IOPCDataCallback> {
 public:
  TDataSink(TEndpoint::TConnections& conns, uint64_t conn, int64_t sub)
      : conns_(conns), conn_(conn), sub_(sub) {}
  std::vector<std::string> ids;  // by client handle

  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* handles,
                                         VARIANT* values, WORD* qualities, FILETIME* times,
                                         HRESULT* errors) override {
    Json items = Json::array();
    for (DWORD i = 0; i < count; ++i) {
      if (handles[i] >= ids.size()) continue;
      Json v;
      HRESULT hr = errors[i];
      if (SUCCEEDED(hr) && !endpoint::ValueJson(values[i], v)) hr = endpoint::kBadType;
      items.push_back(Json{{"nid", ids[handles[i]]},
                           {"v", SUCCEEDED(hr) ? v : Json(nullptr)},
                           {"t", endpoint::TimeJson(times[i])},
                           {"q", qualities[i]},
                           {"hr", static_cast<uint32_t>(hr)}});
    }
    if (!items.empty()) conns_.Send(conn_, Json{{"ev", "data"}, {"sub", sub_}, {"items", items}});
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*,
                                           WORD*, FILETIME*, HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

 private:
  TEndpoint::TConnections& conns_;
  uint64_t conn_;
  int64_t sub_;
};

// The one in-process client of the server objects; lives and works on the main thread only.
class TEndpoint::TClient {
 public:
  TClient(TTree& tree, TConnections& conns) : tree_(tree), conns_(conns) {
    CLSID da{}, hda{};
    if (FAILED(CLSIDFromProgID(kDaProgId, &da)) || FAILED(CLSIDFromProgID(kHdaProgId, &hda)))
      throw EEndpoint("the DA and HDA server classes are not registered");
    if (FAILED(CoCreateInstance(da, nullptr, CLSCTX_ALL, IidOf<IOPCServer>(), da_.PutVoid())) ||
        FAILED(CoCreateInstance(hda, nullptr, CLSCTX_ALL, IidOf<IOPCHDA_Server>(), hda_.PutVoid())))
      throw EEndpoint("the DA and HDA server objects could not be created");
    conns_.generation = Generation(Snapshot(tree_));
  }
  ~TClient() {
    for (auto& [conn, subs] : subs_)
      for (auto& [id, sub] : subs) Remove(sub);
  }

  void Serve(uint64_t conn, const Json& request) {
    const int64_t id = request["id"].get<int64_t>();
    try {
      if (conns_.Cancelled(conn, id)) throw ERequest{kAbort, "cancelled"};
      const std::string op = request["op"].get<std::string>();
      Json reply;
      if (op == "hello")
        reply = Hello();
      else if (op == "browse")
        reply = Browse(conn, id);
      else if (op == "read")
        reply = Read(request);
      else if (op == "sub")
        reply = Subscribe(conn, request);
      else if (op == "sub.mod")
        reply = Modify(conn, request);
      else if (op == "unsub")
        reply = Unsubscribe(conn, request);
      else if (op == "hist.raw")
        reply = HistRaw(conn, id, request);
      reply["id"] = id;
      reply["ok"] = true;
      conns_.Send(conn, reply, true);
      if (op == "sub" || op == "sub.mod") RefreshLast();
    } catch (const ERequest& e) {
      conns_.Send(conn, ErrorReply(id, e.hr, e.text), true);
    } catch (const std::exception& e) {
      conns_.Send(conn, ErrorReply(id, kFail, e.what()), true);
    }
  }

  // The generation of the tree as a browse would list it now.
  uint32_t CurrentGeneration() { return Generation(Snapshot(tree_)); }

  // A gone connection's subscriptions end with it.
  void Drop(uint64_t conn) {
    auto it = subs_.find(conn);
    if (it == subs_.end()) return;
    for (auto& [id, sub] : it->second) Remove(sub);
    subs_.erase(it);
  }

 private:
  struct TSub {
    OPCHANDLE group = 0;
    TComPtr<IOPCItemMgt> items;
    TComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    DWORD cancelId = 0;
    bool refreshing = false;
    DWORD rate = 0;
    TComPtr<TDataSink> sink;
    std::map<std::string, OPCHANDLE> handles;  // nid -> server handle
  };

  Json Hello() {
    auto nodes = Snapshot(tree_);
    conns_.generation = Generation(nodes);
    return Json{{"proto", 1},
                {"server", "OrvelaOPC"},
                {"version", "1.0.0"},
                {"generation", conns_.generation.load()},
                {"root", nodes.empty() ? Json("") : nodes[0]["nid"]},
                {"now", NowMicros()},
                {"limits",
                 {{"line", kMaxLine},
                  {"items", kMaxItems},
                  {"requests", kMaxRequests},
                  {"subs", kMaxSubs},
                  {"subItems", kMaxSubItems},
                  {"histMax", kMaxHist}}}};
  }

  // The server objects have no browse interface yet, so the snapshot is read from the tree here, on the
  // main thread, where the tree is changed.
  Json Browse(uint64_t conn, int64_t id) {
    const std::vector<Json> nodes = Snapshot(tree_);
    conns_.generation = Generation(nodes);
    for (size_t at = 0, part = 0; at < nodes.size(); at += kPartSize, ++part) {
      if (conns_.Cancelled(conn, id)) throw ERequest{kAbort, "cancelled"};
      Json chunk = Json::array();
      for (size_t k = at; k < std::min(nodes.size(), at + kPartSize); ++k) chunk.push_back(nodes[k]);
      conns_.Send(conn, Json{{"id", id}, {"part", part}, {"nodes", chunk}});
    }
    return Json{{"generation", conns_.generation.load()}, {"count", nodes.size()}};
  }

  // Why an identifier cannot be read or subscribed, before the DA server is asked.
  HRESULT Refusal(const std::string& nid, bool hist) {
    const TNTreeData* node = tree_.ResolveIdentifier(nid);
    if (!node) return kUnknownItem;
    if (!IsVariable(*node) || !(hist ? node->HDAVisible : node->DAVisible)) return kBadRights;
    return S_OK;
  }

  // Adds the items that pass Refusal to a group; returns the HRESULT per item, handles of the good ones.
  std::vector<HRESULT> AddItems(IOPCItemMgt& group, const std::vector<std::string>& ids,
                                OPCHANDLE firstClient, std::vector<OPCHANDLE>& server) {
    std::vector<HRESULT> errors(ids.size());
    server.assign(ids.size(), 0);
    std::vector<std::u16string> wide;
    std::vector<size_t> positions;
    for (size_t i = 0; i < ids.size(); ++i) {
      errors[i] = Refusal(ids[i], false);
      if (FAILED(errors[i])) continue;
      wide.push_back(Utf8ToUtf16(ids[i]));
      positions.push_back(i);
    }
    if (positions.empty()) return errors;
    std::vector<OPCITEMDEF> defs(positions.size());
    for (size_t k = 0; k < positions.size(); ++k) {
      defs[k] = OPCITEMDEF{};
      defs[k].szAccessPath = const_cast<LPWSTR>(u"");
      defs[k].szItemID = wide[k].data();
      defs[k].bActive = TRUE;
      defs[k].hClient = firstClient + static_cast<OPCHANDLE>(positions[k]);
      defs[k].vtRequestedDataType = VT_EMPTY;
    }
    TTaskMem<OPCITEMRESULT> results;
    TTaskMem<HRESULT> added;
    const HRESULT hr =
        group.AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.Put(), added.Put());
    for (size_t k = 0; k < positions.size(); ++k) {
      errors[positions[k]] = added ? added[k] : (FAILED(hr) ? hr : kFail);
      if (results && results[k].pBlob) CoTaskMemFree(results[k].pBlob);
      if (results && SUCCEEDED(errors[positions[k]])) server[positions[k]] = results[k].hServer;
    }
    return errors;
  }

  // Every read goes to the devices: a positive maxAge allows a cached value but does not require one.
  Json Read(const Json& request) {
    const std::vector<std::string> ids = Strings(request, "items", 1, kMaxItems, true);
    Integer(request, "maxAge", 0, INT64_MAX, 0);
    OPCHANDLE groupHandle = 0;
    DWORD revised = 0;
    TComPtr<IUnknown> unknown;
    TComPtr<IOPCItemMgt> group;
    if (FAILED(da_->AddGroup(u"endpoint read", FALSE, 0, 0, nullptr, nullptr, 0, &groupHandle, &revised,
                             IID_IOPCItemMgt, unknown.Put())) ||
        FAILED(unknown.As(group))) {
      if (groupHandle) da_->RemoveGroup(groupHandle, TRUE);
      throw ERequest{kFail, "the read group could not be made"};
    }
    unknown.Reset();
    std::vector<OPCHANDLE> server;
    std::vector<HRESULT> errors = AddItems(*group.Get(), ids, 0, server);
    Json items = Json::array();
    for (HRESULT hr : errors)
      items.push_back(Json{{"v", nullptr}, {"t", nullptr}, {"q", 0}, {"hr", static_cast<uint32_t>(hr)}});
    std::vector<OPCHANDLE> handles;
    std::vector<size_t> positions;
    for (size_t i = 0; i < ids.size(); ++i)
      if (SUCCEEDED(errors[i])) {
        handles.push_back(server[i]);
        positions.push_back(i);
      }
    if (!handles.empty()) {
      TComPtr<IOPCSyncIO> sync;
      group->QueryInterface(IID_IOPCSyncIO, sync.PutVoid());
      TTaskMem<OPCITEMSTATE> states;
      TTaskMem<HRESULT> readErrors;
      const HRESULT hr = sync ? sync->Read(OPC_DS_DEVICE, static_cast<DWORD>(handles.size()), handles.data(),
                                           states.Put(), readErrors.Put())
                              : kFail;
      for (size_t k = 0; k < handles.size(); ++k) {
        Json& item = items[positions[k]];
        HRESULT itemHr = readErrors ? readErrors[k] : (FAILED(hr) ? hr : kFail);
        if (states) {
          Json v;
          if (SUCCEEDED(itemHr) && !endpoint::ValueJson(states[k].vDataValue, v)) itemHr = endpoint::kBadType;
          if (SUCCEEDED(itemHr)) item["v"] = v;
          item["t"] = endpoint::TimeJson(states[k].ftTimeStamp);
          item["q"] = states[k].wQuality;
          VariantClear(&states[k].vDataValue);
        }
        item["hr"] = static_cast<uint32_t>(itemHr);
      }
    }
    group.Reset();
    da_->RemoveGroup(groupHandle, TRUE);
    return Json{{"items", items}};
  }

  TSub& FindSub(uint64_t conn, const Json& request) {
    const int64_t id = Integer(request, "sub", 0, INT64_MAX, std::nullopt);
    auto& subs = subs_[conn];
    auto it = subs.find(id);
    if (it == subs.end()) throw ERequest{kInvalidHandle, "unknown subscription"};
    return it->second;
  }

  std::vector<HRESULT> AddToSub(TSub& sub, const std::vector<std::string>& ids) {
    if (sub.handles.size() + ids.size() > kMaxSubItems)
      throw ERequest{kBusy, "too many items in the subscription"};
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
    const std::vector<HRESULT> added = AddItems(*sub.items.Get(), fresh, first, server);
    sub.sink->ids.insert(sub.sink->ids.end(), fresh.begin(), fresh.end());
    for (size_t k = 0; k < fresh.size(); ++k) {
      errors[positions[k]] = added[k];
      if (SUCCEEDED(added[k])) sub.handles[fresh[k]] = server[k];
    }
    return errors;
  }

  static Json Codes(const std::vector<HRESULT>& errors) {
    Json out = Json::array();
    for (HRESULT hr : errors) out.push_back(static_cast<uint32_t>(hr));
    return out;
  }

  Json Subscribe(uint64_t conn, const Json& request) {
    const DWORD rate = static_cast<DWORD>(Integer(request, "rate", 0, INT32_MAX, std::nullopt));
    const std::vector<std::string> ids = Strings(request, "items", 0, kMaxItems, true);
    auto& subs = subs_[conn];
    if (subs.size() >= kMaxSubs) throw ERequest{kBusy, "too many subscriptions"};
    const int64_t number = nextSub_++;
    TSub sub;
    TComPtr<IUnknown> unknown;
    DWORD revised = 0;
    if (FAILED(da_->AddGroup(u"endpoint sub", TRUE, std::max(rate, kRateFloor),
                             static_cast<OPCHANDLE>(number), nullptr, nullptr, 0, &sub.group, &revised,
                             IID_IOPCItemMgt, unknown.Put())) ||
        FAILED(unknown.As(sub.items))) {
      Remove(sub);
      throw ERequest{kFail, "the subscription's group could not be made"};
    }
    sub.rate = std::max(revised, kRateFloor);
    sub.sink = Make<TDataSink>(conns_, conn, number);
    TComPtr<IConnectionPointContainer> container;
    sub.items->QueryInterface(IID_IConnectionPointContainer, container.PutVoid());
    if (!container || FAILED(container->FindConnectionPoint(IID_IOPCDataCallback, sub.point.Put())) ||
        FAILED(sub.point->Advise(sub.sink->Identity(), &sub.cookie))) {
      Remove(sub);
      throw ERequest{kFail, "the subscription's callback could not be set"};
    }
    const std::vector<HRESULT> errors = AddToSub(sub, ids);
    const DWORD subRate = sub.rate;
    subs.emplace(number, std::move(sub));
    conns_.SetSubs(conn, subs.size());
    pending_ = {conn, number};
    return Json{{"sub", number}, {"rate", subRate}, {"items", Codes(errors)}};
  }

  Json Modify(uint64_t conn, const Json& request) {
    TSub& sub = FindSub(conn, request);
    const Json* rateKey = Optional(request, "rate");
    const std::vector<std::string> removes = Strings(request, "remove", 0, kMaxItems, false);
    const std::vector<std::string> adds = Strings(request, "add", 0, kMaxItems, false);
    if (rateKey) {
      DWORD rate = static_cast<DWORD>(Integer(request, "rate", 0, INT32_MAX, std::nullopt));
      rate = std::max(rate, kRateFloor);
      DWORD revised = rate;
      TComPtr<IOPCGroupStateMgt> state;
      sub.items->QueryInterface(IID_IOPCGroupStateMgt, state.PutVoid());
      if (state) state->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr);
      sub.rate = std::max(revised, kRateFloor);
    }
    std::vector<HRESULT> removed(removes.size(), kInvalidHandle);
    for (size_t i = 0; i < removes.size(); ++i) {
      auto it = sub.handles.find(removes[i]);
      if (it == sub.handles.end()) continue;
      OPCHANDLE handle = it->second;
      TTaskMem<HRESULT> errors;
      sub.items->RemoveItems(1, &handle, errors.Put());
      sub.handles.erase(it);
      removed[i] = S_OK;
    }
    const std::vector<HRESULT> added = AddToSub(sub, adds);
    pending_ = {conn, Integer(request, "sub", 0, INT64_MAX, std::nullopt)};
    return Json{{"rate", sub.rate}, {"add", Codes(added)}, {"remove", Codes(removed)}};
  }

  Json Unsubscribe(uint64_t conn, const Json& request) {
    const int64_t id = Integer(request, "sub", 0, INT64_MAX, std::nullopt);
    auto& subs = subs_[conn];
    auto it = subs.find(id);
    if (it == subs.end()) throw ERequest{kInvalidHandle, "unknown subscription"};
    Remove(it->second);
    subs.erase(it);
    conns_.SetSubs(conn, subs.size());
    return Json::object();
  }

  // After the reply is queued: the group's standing refresh delivers the items at the rate.
  void RefreshLast() {
    auto [conn, number] = pending_;
    pending_ = {0, 0};
    auto subs = subs_.find(conn);
    if (subs == subs_.end()) return;
    auto it = subs->second.find(number);
    if (it == subs->second.end() || it->second.handles.empty()) return;
    TSub& sub = it->second;
    TComPtr<IOPCAsyncIO2> async;
    sub.items->QueryInterface(IID_IOPCAsyncIO2, async.PutVoid());
    if (!async) return;
    if (sub.refreshing) async->Cancel2(sub.cancelId);
    sub.refreshing = SUCCEEDED(async->Refresh2(OPC_DS_DEVICE, static_cast<DWORD>(number), &sub.cancelId));
  }

  void Remove(TSub& sub) {
    if (sub.refreshing && sub.items) {
      TComPtr<IOPCAsyncIO2> async;
      sub.items->QueryInterface(IID_IOPCAsyncIO2, async.PutVoid());
      if (async) async->Cancel2(sub.cancelId);
      sub.refreshing = false;
    }
    if (sub.point && sub.cookie) sub.point->Unadvise(sub.cookie);
    sub.point.Reset();
    sub.items.Reset();
    if (sub.group) da_->RemoveGroup(sub.group, TRUE);
    sub.group = 0;
  }

  struct TRecord {
    Json v;
    int64_t t = 0;
    DWORD q = 0;
  };

  // The item's records with from <= t < to. The HDA read passes only what lies strictly inside its window
  // and compares at millisecond precision, so the window asked for is a millisecond wider at both ends and
  // the edges are drawn here.
  std::vector<TRecord> Records(OPCHANDLE handle, int64_t from, int64_t to) {
    TComPtr<IOPCHDA_SyncRead> sync;
    hda_->QueryInterface(IID_IOPCHDA_SyncRead, sync.PutVoid());
    if (!sync) throw ERequest{kFail, "no IOPCHDA_SyncRead"};
    constexpr int64_t kMsTicks = 10'000;
    OPCHDA_TIME start{};
    start.ftTime = Int64ToFileTime(FileTimeToInt64(endpoint::MicrosToFileTime(from)) - kMsTicks);
    OPCHDA_TIME end{};
    end.ftTime = Int64ToFileTime(FileTimeToInt64(endpoint::MicrosToFileTime(to)) + kMsTicks);
    TTaskMem<OPCHDA_ITEM> values;
    TTaskMem<HRESULT> errors;
    const HRESULT hr = sync->ReadRaw(&start, &end, 0, FALSE, 1, &handle, values.Put(), errors.Put());
    std::vector<TRecord> out;
    if (values) {
      OPCHDA_ITEM& item = values[0];
      for (DWORD k = 0; k < item.dwCount && SUCCEEDED(hr); ++k) {
        TRecord record;
        record.t = item.pftTimeStamps ? endpoint::FileTimeToMicros(item.pftTimeStamps[k]) : 0;
        if (record.t < from || record.t >= to) continue;
        record.q = item.pdwQualities ? item.pdwQualities[k] : 0;
        if (item.pvDataValues) endpoint::ValueJson(item.pvDataValues[k], record.v);
        out.push_back(std::move(record));
      }
      FreeHdaItem(item);
    }
    return out;
  }

  static Json RecordJson(const TRecord& record, bool bound) {
    Json out{{"v", record.v}, {"t", record.t}, {"q", record.q}};
    if (bound) out["bound"] = true;
    return out;
  }

  Json HistRaw(uint64_t conn, int64_t id, const Json& request) {
    const Json* nidKey = Optional(request, "nid");
    if (!nidKey || !nidKey->is_string()) throw ERequest{kInvalidArg, "nid is not a string"};
    const std::string nid = nidKey->get<std::string>();
    const int64_t start = Integer(request, "start", -kMaxTime, kMaxTime, std::nullopt);
    const int64_t end = Integer(request, "end", -kMaxTime, kMaxTime, std::nullopt);
    if (start >= end) throw ERequest{kInvalidArg, "start is not before end"};
    const int64_t max = Integer(request, "max", 0, kMaxHist, 0);
    const bool bounds = Bool(request, "bounds");
    const HRESULT refusal = Refusal(nid, true);
    if (FAILED(refusal))
      throw ERequest{refusal, refusal == kUnknownItem ? "unknown item" : "not visible to HDA"};
    int64_t stepMicros = 3'600'000'000;
    if (const TNTreeData* node = tree_.ResolveIdentifier(nid); node && node->ArchiveStep > 0)
      stepMicros = static_cast<int64_t>(node->ArchiveStep) * 1000;

    std::u16string wide = Utf8ToUtf16(nid);
    LPWSTR name = wide.data();
    OPCHANDLE client = 1;
    TTaskMem<OPCHANDLE> handles;
    TTaskMem<HRESULT> errors;
    if (FAILED(hda_->GetItemHandles(1, &name, &client, handles.Put(), errors.Put())) || !errors ||
        FAILED(errors[0]))
      throw ERequest{kUnknownItem, "unknown item"};
    OPCHANDLE handle = handles[0];
    std::vector<TRecord> records = Records(handle, start, end);
    const size_t limit = max == 0 ? static_cast<size_t>(kMaxHist) : static_cast<size_t>(max);
    const bool more = records.size() > limit;
    if (more) records.resize(limit);

    std::vector<Json> out;
    if (bounds && (records.empty() || records.front().t != start)) {
      // The last value before the window, searched back at least one archive step.
      std::vector<TRecord> before = Records(handle, start - 2 * stepMicros, start);
      out.push_back(before.empty() ? Json{{"v", nullptr}, {"t", start}, {"q", 0x00100000}, {"bound", true}}
                                   : RecordJson(before.back(), true));
    }
    for (const TRecord& record : records) out.push_back(RecordJson(record, false));
    if (bounds && !more) {
      std::vector<TRecord> after = Records(handle, end, end + 2 * stepMicros);
      out.push_back(after.empty() ? Json{{"v", nullptr}, {"t", end}, {"q", 0x00100000}, {"bound", true}}
                                  : RecordJson(after.front(), true));
    }
    TTaskMem<HRESULT> released;
    hda_->ReleaseItemHandles(1, &handle, released.Put());

    for (size_t at = 0, part = 0; at < out.size(); at += kPartSize, ++part) {
      if (conns_.Cancelled(conn, id)) throw ERequest{kAbort, "cancelled"};
      Json chunk = Json::array();
      for (size_t k = at; k < std::min(out.size(), at + kPartSize); ++k) chunk.push_back(std::move(out[k]));
      conns_.Send(conn, Json{{"id", id}, {"part", part}, {"values", chunk}});
    }
    return Json{{"count", out.size()}, {"more", more}};
  }

  TTree& tree_;
  TConnections& conns_;
  TComPtr<IOPCServer> da_;
  TComPtr<IOPCHDA_Server> hda_;
  std::map<uint64_t, std::map<int64_t, TSub>> subs_;
  int64_t nextSub_ = 1;
  std::pair<uint64_t, int64_t> pending_{0, 0};
};

namespace {

// Reads and checks one line's envelope on the I/O thread; what needs the server objects goes to the
// main thread. Returns false when the connection is to be closed after its replies are written.
class TLineHandler {
 public:
  using TConn = TEndpoint::TConnections::TConn;
  TLineHandler(TEndpoint::TConnections& conns, std::weak_ptr<TEndpoint::TClient> client)
      : conns_(conns), client_(std::move(client)) {}

  // Under the table's lock.
  void Handle(uint64_t connId, TConn& conn, std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return;
    Json request = Json::parse(line.begin(), line.end(), nullptr, false);
    if (request.is_discarded() || !request.is_object())
      return Reply(conn, nullptr, kInvalidData, "line is not JSON");
    const auto idKey = request.find("id");
    const bool idOk =
        idKey != request.end() && (idKey->is_number_integer() || idKey->is_number_unsigned()) &&
        idKey->get<int64_t>() >= 1 && idKey->get<int64_t>() <= kMaxId &&
        !(idKey->is_number_unsigned() && idKey->get<uint64_t>() > static_cast<uint64_t>(kMaxId));
    if (!idOk) return Reply(conn, nullptr, kInvalidArg, "id missing or invalid");
    const int64_t id = idKey->get<int64_t>();
    const auto opKey = request.find("op");
    if (opKey == request.end() || !opKey->is_string())
      return Reply(conn, id, kInvalidArg, "op is not a string");
    const std::string op = opKey->get<std::string>();
    if (conn.requests.count(id)) return Reply(conn, id, kInvalidArg, "id already in use");
    if (!conn.hello && op != "hello") return Reply(conn, id, kUnexpected, "hello first");
    if (conn.requests.size() >= kMaxRequests) return Reply(conn, id, kBusy, "too many requests in progress");
    try {
      if (op == "hello") return Hello(connId, conn, id, request);
      if (op == "ping") return Ok(conn, id, Json{{"now", NowMicros()}});
      if (op == "status") return Ok(conn, id, Status(conn));
      if (op == "cancel") return Cancel(conn, id, request);
    } catch (const ERequest& e) {
      return Reply(conn, id, e.hr, e.text);
    }
    static const std::set<std::string> kMainOps = {"browse", "read", "sub", "sub.mod", "unsub", "hist.raw"};
    if (!kMainOps.count(op)) return Reply(conn, id, kNotImpl, "unknown op");
    Post(connId, conn, id, std::move(request));
  }

 private:
  static void Reply(TConn& conn, const Json& id, HRESULT hr, const std::string& text) {
    conn.out += Line(ErrorReply(id, hr, text));
  }
  static void Ok(TConn& conn, int64_t id, Json reply) {
    reply["id"] = id;
    reply["ok"] = true;
    conn.out += Line(reply);
  }
  void Hello(uint64_t connId, TConn& conn, int64_t id, Json request) {
    if (conn.hello) return Reply(conn, id, kUnexpected, "second hello");
    const int64_t proto = Integer(request, "proto", 0, INT64_MAX, std::nullopt);
    if (const Json* client = Optional(request, "client");
        client && (!client->is_string() || client->get<std::string>().size() > 256))
      throw ERequest{kInvalidArg, "client is not a string of at most 256 bytes"};
    if (proto != 1) {
      conn.closeAfterFlush = true;
      return Reply(conn, id, kNotSupported, "protocol version not spoken");
    }
    conn.hello = true;
    Post(connId, conn, id, std::move(request));
  }
  Json Status(const TConn& conn) {
    return Json{{"state", conns_.stopping ? "stopping" : "running"},
                {"start", conns_.start},
                {"now", NowMicros()},
                {"generation", conns_.generation.load()},
                {"connections", conns_.conns_.size()},
                {"subs", conn.subs},
                {"requests", conn.requests.size() + 1}};
  }
  void Cancel(TConn& conn, int64_t id, const Json& request) {
    const int64_t req = Integer(request, "req", 1, kMaxId, std::nullopt);
    const bool found = conn.requests.count(req) != 0;
    if (found) conn.cancelled.insert(req);
    Ok(conn, id, Json{{"found", found}});
  }
  void Post(uint64_t connId, TConn& conn, int64_t id, Json request) {
    conn.requests.insert(id);
    auto client = client_;
    const bool queued = MainThread::Post([client, connId, request = std::move(request)] {
      if (auto alive = client.lock()) alive->Serve(connId, request);
    });
    if (!queued) {
      conn.requests.erase(id);
      Reply(conn, id, kDisconnected, "the server is stopping");
    }
  }

  TEndpoint::TConnections& conns_;
  std::weak_ptr<TEndpoint::TClient> client_;
};

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

TEndpoint::TEndpoint(const std::filesystem::path& programFolder, TTree& tree)
    : socketPath_(programFolder / kSocketName) {
  if (::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0)
    throw EEndpoint("pipe: " + std::string(std::strerror(errno)));
  connections_ = std::make_unique<TConnections>(wakeFds_[1]);
  client_ = std::make_shared<TClient>(tree, *connections_);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = socketPath_.string();
  if (path.size() >= sizeof address.sun_path) throw EEndpoint("socket path too long: " + path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) throw EEndpoint("socket: " + std::string(std::strerror(errno)));
  // A socket file left by a server that died; the folder lock keeps a live one from being taken over.
  ::unlink(path.c_str());
  // Made private before it exists, so no other user can connect in between.
  const mode_t old = ::umask(0177);
  const int bound = ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::umask(old);
  if (bound != 0 || ::chmod(path.c_str(), 0600) != 0 || ::listen(listenFd_, 16) != 0) {
    const std::string why = std::strerror(errno);
    CloseFd(listenFd_);
    throw EEndpoint("cannot listen on " + path + ": " + why);
  }
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

TEndpoint::~TEndpoint() {
  Stop();
  CloseFd(wakeFds_[0]);
  CloseFd(wakeFds_[1]);
}

void TEndpoint::CheckTree() {
  if (!client_) return;
  const uint32_t generation = client_->CurrentGeneration();
  if (connections_->generation.exchange(generation) == generation) return;
  std::lock_guard lock(connections_->mutex_);
  for (auto& [id, conn] : connections_->conns_)
    if (conn.hello) conn.out += Line(Json{{"ev", "tree"}, {"generation", generation}});
  connections_->Wake();
}

void TEndpoint::Stop() {
  if (stopped_) return;
  stopped_ = true;
  connections_->stopping = true;
  {
    std::lock_guard lock(connections_->mutex_);
    for (auto& [id, conn] : connections_->conns_) {
      conn.out += Line(Json{{"ev", "shutdown"}, {"reason", "the server is stopping"}});
      conn.closeAfterFlush = true;
    }
  }
  if (thread_.joinable()) {
    thread_.request_stop();
    connections_->Wake();
    thread_.join();
  }
  CloseFd(listenFd_);
  ::unlink(socketPath_.c_str());
  client_.reset();  // groups removed, server objects released
}

void TEndpoint::Run(std::stop_token stop) {
  TLineHandler handler(*connections_, client_);
  std::vector<uint64_t> gone;
  auto accept = [&] {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        (peer.uid != ::getuid() && peer.uid != 0)) {
      ::close(fd);
      return;
    }
    std::lock_guard lock(connections_->mutex_);
    if (connections_->conns_.size() >= kMaxConnections) {
      const std::string line = Line(ErrorReply(nullptr, kBusy, "too many connections"));
      [[maybe_unused]] ssize_t n = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
      ::close(fd);
      return;
    }
    connections_->conns_[connections_->next_++].fd = fd;
  };
  // Splits what came in into lines; an oversized line is answered once and skipped to its LF.
  auto take = [&](uint64_t id, TConnections::TConn& conn) {
    size_t from = 0;
    for (;;) {
      const size_t lf = conn.in.find('\n', from);
      if (lf == std::string::npos) break;
      if (conn.skipping)
        conn.skipping = false;
      else if (lf - from > kMaxLine)
        conn.out += Line(ErrorReply(nullptr, kBadLength, "line longer than 4 MiB"));
      else
        handler.Handle(id, conn, std::string_view(conn.in).substr(from, lf - from));
      from = lf + 1;
    }
    conn.in.erase(0, from);
    if (conn.in.size() > kMaxLine) {
      if (!conn.skipping) conn.out += Line(ErrorReply(nullptr, kBadLength, "line longer than 4 MiB"));
      conn.skipping = true;
      conn.in.clear();
    }
  };
  char buffer[65536];
  while (true) {
    std::vector<pollfd> fds{{wakeFds_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
    std::vector<uint64_t> ids;
    const bool stopping = stop.stop_requested();
    {
      std::lock_guard lock(connections_->mutex_);
      for (auto& [id, conn] : connections_->conns_) {
        fds.push_back(
            {conn.fd, static_cast<short>((stopping ? 0 : POLLIN) | (conn.out.empty() ? 0 : POLLOUT)), 0});
        ids.push_back(id);
      }
      if (stopping) {
        // Whatever is still queued is written once, then every connection is closed.
        for (auto& [id, conn] : connections_->conns_) {
          if (!conn.out.empty()) [[maybe_unused]]
            ssize_t n = ::send(conn.fd, conn.out.data(), conn.out.size(), MSG_NOSIGNAL);
          ::close(conn.fd);
        }
        connections_->conns_.clear();
        return;
      }
    }
    if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
    if (fds[0].revents & POLLIN)
      while (::read(wakeFds_[0], buffer, sizeof buffer) > 0) {
      }
    if (fds[1].revents & POLLIN) accept();
    std::lock_guard lock(connections_->mutex_);
    for (size_t k = 0; k < ids.size(); ++k) {
      auto it = connections_->conns_.find(ids[k]);
      if (it == connections_->conns_.end()) continue;
      TConnections::TConn& conn = it->second;
      const short events = fds[k + 2].revents;
      bool close = (events & (POLLERR | POLLNVAL)) != 0;
      if (!close && (events & (POLLIN | POLLHUP))) {
        const ssize_t n = ::recv(conn.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
          conn.in.append(buffer, static_cast<size_t>(n));
          take(ids[k], conn);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          close = true;
        }
      }
      if (!close && !conn.out.empty()) {
        const ssize_t n = ::send(conn.fd, conn.out.data(), conn.out.size(), MSG_NOSIGNAL);
        if (n > 0)
          conn.out.erase(0, static_cast<size_t>(n));
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
          close = true;
      }
      if (!close && conn.closeAfterFlush && conn.out.empty()) close = true;
      if (close) {
        ::close(conn.fd);
        connections_->conns_.erase(it);
        gone.push_back(ids[k]);
      }
    }
    // Subscriptions of gone clients end on the main thread, where the server objects are used.
    for (uint64_t id : gone) {
      std::weak_ptr<TClient> client = client_;
      MainThread::Post([client, id] {
        if (auto alive = client.lock()) alive->Drop(id);
      });
    }
    gone.clear();
  }
}

TFolderLock::TFolderLock(const std::filesystem::path& folder) {
  const std::filesystem::path path = folder / "orvela.lock";
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) throw EEndpoint("cannot open " + path.string() + ": " + std::strerror(errno));
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd_);
    fd_ = -1;
    throw EEndpoint("another OrvelaOPC already serves the program folder " + folder.string());
  }
}

TFolderLock::~TFolderLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace orvela
