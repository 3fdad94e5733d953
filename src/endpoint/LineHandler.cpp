#include "endpoint/LineHandler.h"

#include <set>

#include "endpoint/EndpointClient.h"
#include "platform/MainThread.h"

namespace orvela::endpoint {

void TLineHandler::Handle(uint64_t connId, TConn& conn, std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return;
  Json request = Json::parse(line.begin(), line.end(), nullptr, false);
  if (request.is_discarded() || !request.is_object()) return Reply(conn, nullptr, kInvalidData, "line is not JSON");
  const auto idKey = request.find("id");
  const bool idOk = idKey != request.end() && (idKey->is_number_integer() || idKey->is_number_unsigned()) &&
                    idKey->get<int64_t>() >= 1 && idKey->get<int64_t>() <= kMaxId &&
                    !(idKey->is_number_unsigned() && idKey->get<uint64_t>() > static_cast<uint64_t>(kMaxId));
  if (!idOk) return Reply(conn, nullptr, kInvalidArg, "id missing or invalid");
  const int64_t id = idKey->get<int64_t>();
  const auto opKey = request.find("op");
  if (opKey == request.end() || !opKey->is_string()) return Reply(conn, id, kInvalidArg, "op is not a string");
  const std::string op = opKey->get<std::string>();
  if (conn.requests.count(id)) return Reply(conn, id, kInvalidArg, "id already in use");
  if (!conn.hello && op != "hello") return Reply(conn, id, kUnexpected, "hello first");
  if (conn.requests.size() >= kMaxRequests) return Reply(conn, id, kBusy, "too many requests in progress");
  try {
    if (op == "hello") return Hello(connId, conn, id, request);
    if (op == "ping") return Ok(conn, id, Json{{"now", NowMicros()}});
    if (op == "status") return Ok(conn, id, Status(conn));
    if (op == "cancel") return Cancel(connId, conn, id, request);
  } catch (const ERequest& e) {
    return Reply(conn, id, e.hr, e.text);
  }
  static const std::set<std::string> kMainOps = {"browse", "read",     "sub",       "sub.mod",
                                                 "unsub",  "hist.raw", "da.browse", "hda.browse"};
  if (!kMainOps.count(op)) return Reply(conn, id, kNotImpl, "unknown op");
  Post(connId, conn, id, std::move(request));
}

void TLineHandler::Reply(TConn& conn, const Json& id, HRESULT hr, const std::string& text) {
  TEndpoint::TConnections::Queue(conn, ErrorReply(id, hr, text));
}

void TLineHandler::Ok(TConn& conn, int64_t id, Json reply) {
  TEndpoint::TConnections::Queue(conn, OkReply(id, std::move(reply)));
}

void TLineHandler::Hello(uint64_t connId, TConn& conn, int64_t id, Json request) {
  if (conn.hello) return Reply(conn, id, kUnexpected, "second hello");
  const int64_t proto = Integer(request, "proto", 0, INT64_MAX, std::nullopt);
  const Json* client = Optional(request, "client");
  if (client && (!client->is_string() || client->get<std::string>().size() > 256))
    throw ERequest{kInvalidArg, "client is not a string of at most 256 bytes"};
  if (proto != 1) {
    conn.closeAfterFlush = true;
    return Reply(conn, id, kNotSupported, "protocol version not spoken");
  }
  conn.gateway = client && IsGateway(client->get<std::string>());
  if (!conn.gateway && OrdinaryClients() >= kMaxConnections) {
    conn.closeAfterFlush = true;
    return Reply(conn, id, kBusy, "too many connections");
  }
  conn.hello = true;
  Post(connId, conn, id, std::move(request));
}

bool TLineHandler::IsGateway(const std::string& client) {
  constexpr std::string_view kGateway = "orvela-ua-gateway";
  return client.rfind(kGateway, 0) == 0 &&
         (client.size() == kGateway.size() || client[kGateway.size()] == '/');
}

size_t TLineHandler::OrdinaryClients() const {
  size_t count = 0;
  for (const auto& [id, conn] : conns_.conns_) count += conn.hello && !conn.gateway;
  return count;
}

Json TLineHandler::Status(const TConn& conn) {
  return Json{{"state", conns_.stopping ? "stopping" : "running"},
              {"start", conns_.start},
              {"now", NowMicros()},
              {"generation", conns_.generation.load()},
              {"connections", conns_.conns_.size()},
              {"subs", conn.subs},
              {"requests", conn.requests.size() + 1}};
}

// Marks the request; a device read in flight is also withdrawn on the main thread, the other requests see
// the mark when they next look.
void TLineHandler::Cancel(uint64_t connId, TConn& conn, int64_t id, const Json& request) {
  const int64_t req = Integer(request, "req", 1, kMaxId, std::nullopt);
  const bool found = conn.requests.count(req) != 0;
  if (found) {
    conn.cancelled.insert(req);
    MainThread::Post([client = client_, connId, req] {
      if (auto alive = client.lock()) alive->Cancel(connId, req);
    });
  }
  Ok(conn, id, Json{{"found", found}});
}

void TLineHandler::Post(uint64_t connId, TConn& conn, int64_t id, Json request) {
  conn.requests.insert(id);
  const bool queued = MainThread::Post([client = client_, connId, request = std::move(request)] {
    if (auto alive = client.lock()) alive->Serve(connId, request);
  });
  if (!queued) {
    conn.requests.erase(id);
    Reply(conn, id, kDisconnected, "the server is stopping");
  }
}

}  // namespace orvela::endpoint
