#pragma once
// Reads and checks one line's envelope on the I/O thread and answers what needs no server object (ping,
// status, cancel, a bad line); the rest goes to the main thread's client.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "endpoint/EndpointConnections.h"

namespace orvela::endpoint {

class TLineHandler {
 public:
  using TConn = TEndpoint::TConnections::TConn;
  TLineHandler(TEndpoint::TConnections& conns, std::weak_ptr<TEndpoint::TClient> client)
      : conns_(conns), client_(std::move(client)) {}

  // Under the table's lock.
  void Handle(uint64_t connId, TConn& conn, std::string_view line);

 private:
  static void Reply(TConn& conn, const Json& id, HRESULT hr, const std::string& text);
  static void Ok(TConn& conn, int64_t id, Json reply);
  void Hello(uint64_t connId, TConn& conn, int64_t id, Json request);
  Json Status(const TConn& conn);
  // The gateway names itself "orvela-ua-gateway" (and its version after a slash) in its hello.
  static bool IsGateway(const std::string& client);
  size_t OrdinaryClients() const;
  void Cancel(uint64_t connId, TConn& conn, int64_t id, const Json& request);
  void Post(uint64_t connId, TConn& conn, int64_t id, Json request);

  TEndpoint::TConnections& conns_;
  std::weak_ptr<TEndpoint::TClient> client_;
};

}  // namespace orvela::endpoint
