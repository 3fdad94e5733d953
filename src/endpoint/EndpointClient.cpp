#include "endpoint/EndpointClient.h"

#include "endpoint/EndpointListing.h"
#include "endpoint/EndpointTree.h"
#include "opc_da/DaServerClass.h"
#include "opc_hda/HdaServerClass.h"

namespace orvela {

using namespace endpoint;

namespace {

// The branch a da.browse or hda.browse lists: an item identifier, the root when absent or empty.
std::string ListingPath(const Json& request) {
  constexpr size_t kMaxPath = 4096;
  const Json* path = Optional(request, "path");
  if (!path) return {};
  if (!path->is_string() || path->get<std::string>().size() > kMaxPath)
    throw ERequest{kInvalidArg, "path is not a string of at most 4096 bytes"};
  return path->get<std::string>();
}

}  // namespace

TEndpoint::TClient::TClient(TTree& tree, TConnections& conns) : tree_(tree), conns_(conns) {
  CLSID da{}, hda{};
  if (FAILED(CLSIDFromProgID(kDaProgId, &da)) || FAILED(CLSIDFromProgID(kHdaProgId, &hda)))
    throw EEndpoint("the DA and HDA server classes are not registered");
  if (FAILED(CoCreateInstance(da, nullptr, CLSCTX_ALL, IidOf<IOPCServer>(), da_.PutVoid())) ||
      FAILED(CoCreateInstance(hda, nullptr, CLSCTX_ALL, IidOf<IOPCHDA_Server>(), hda_.PutVoid())))
    throw EEndpoint("the DA and HDA server objects could not be created");
  reads_ = std::make_unique<TDeviceReads>(*da_.Get(), tree_, conns_, cache_);
  subs_ = std::make_unique<TSubscriptions>(*da_.Get(), tree_, conns_, cache_);
  history_ = std::make_unique<THistoryReads>(*hda_.Get(), tree_, conns_);
  conns_.generation = Generation(Snapshot(tree_));
}

// The groups go before the server objects that hold them.
TEndpoint::TClient::~TClient() {
  reads_.reset();
  history_.reset();
  subs_.reset();
}

void TEndpoint::TClient::Serve(uint64_t conn, const Json& request) {
  const int64_t id = request["id"].get<int64_t>();
  try {
    if (conns_.Cancelled(conn, id)) throw ERequest{kAbort, "cancelled"};
    const std::string op = request["op"].get<std::string>();
    // Device and archive reads are answered when the devices have.
    if (op == "read")
      return reads_->Start(conn, id, Strings(request, "items", 1, kMaxItems, true),
                           Integer(request, "maxAge", 0, INT64_MAX, 0),
                           Integer(request, "timeoutMs", 0, INT32_MAX, 0));
    if (op == "hist.raw") return history_->Start(conn, id, request);
    Json reply;
    if (op == "hello")
      reply = Hello();
    else if (op == "browse")
      reply = Browse(conn, id);
    else if (op == "sub")
      reply = subs_->Subscribe(conn, request);
    else if (op == "sub.mod")
      reply = subs_->Modify(conn, request);
    else if (op == "unsub")
      reply = subs_->Unsubscribe(conn, request);
    else if (op == "da.browse")
      reply = DaListing(*da_.Get(), ListingPath(request), Bool(request, "props"));
    else if (op == "hda.browse")
      reply = HdaListing(*hda_.Get(), ListingPath(request));
    conns_.Send(conn, OkReply(id, std::move(reply)), true);
    if (op == "sub" || op == "sub.mod") subs_->RefreshLast();
  } catch (const ERequest& e) {
    conns_.Send(conn, ErrorReply(id, e.hr, e.text), true);
  } catch (const std::exception& e) {
    conns_.Send(conn, ErrorReply(id, kFail, e.what()), true);
  }
}

void TEndpoint::TClient::Cancel(uint64_t conn, int64_t id) {
  if (!reads_->Cancel(conn, id)) history_->Cancel(conn, id);
}

void TEndpoint::TClient::ExpireReads() {
  reads_->Expire();
  history_->Expire();
}

uint32_t TEndpoint::TClient::CurrentGeneration() {
  return Generation(Snapshot(tree_));
}

void TEndpoint::TClient::Drop(uint64_t conn) {
  reads_->Drop(conn);
  history_->Drop(conn);
  subs_->Drop(conn);
}

Json TEndpoint::TClient::Hello() {
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
Json TEndpoint::TClient::Browse(uint64_t conn, int64_t id) {
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

}  // namespace orvela
