#include "endpoint/EndpointConnections.h"

#include <unistd.h>

namespace orvela {

void TEndpoint::TConnections::Send(uint64_t conn, const endpoint::Json& message, bool final) {
  std::lock_guard lock(mutex_);
  auto it = conns_.find(conn);
  if (it == conns_.end()) return;
  Queue(it->second, message);
  if (final && message.contains("id") && message["id"].is_number_integer()) {
    const int64_t id = message["id"].get<int64_t>();
    it->second.requests.erase(id);
    it->second.cancelled.erase(id);
  }
  Wake();
}

void TEndpoint::TConnections::Queue(TConn& conn, const endpoint::Json& message) {
  if (conn.cut) return;
  conn.out += endpoint::Line(message);
  if (conn.out.size() <= endpoint::kMaxOutbox) return;
  conn.cut = true;
  conn.out.clear();
  ::shutdown(conn.fd, SHUT_RDWR);
}

bool TEndpoint::TConnections::Cancelled(uint64_t conn, int64_t id) {
  std::lock_guard lock(mutex_);
  auto it = conns_.find(conn);
  return it == conns_.end() || it->second.cancelled.count(id) != 0;
}

void TEndpoint::TConnections::SetSubs(uint64_t conn, size_t subs) {
  std::lock_guard lock(mutex_);
  if (auto it = conns_.find(conn); it != conns_.end()) it->second.subs = subs;
}

void TEndpoint::TConnections::Wake() {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeFd_, &byte, 1);
}

}  // namespace orvela
