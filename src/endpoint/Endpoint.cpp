#include "endpoint/Endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "endpoint/EndpointClient.h"
#include "endpoint/EndpointConnections.h"
#include "endpoint/LineHandler.h"
#include "platform/Clock.h"
#include "platform/MainThread.h"

namespace orvela {
namespace {

using namespace endpoint;

// How often, in the clock's milliseconds, the main thread looks at the deadlines of device reads in flight,
// and the I/O thread at connections that idle without hello or do not take what is queued for them.
constexpr int64_t kExpiryStepMs = 250;

using TConn = TEndpoint::TConnections::TConn;

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Splits what came in into lines; an oversized line is answered once and skipped to its LF.
void TakeLines(TLineHandler& handler, uint64_t id, TConn& conn) {
  size_t from = 0;
  for (;;) {
    const size_t lf = conn.in.find('\n', from);
    if (lf == std::string::npos) break;
    if (conn.skipping)
      conn.skipping = false;
    else if (lf - from > kMaxLine)
      TEndpoint::TConnections::Queue(conn, ErrorReply(nullptr, kBadLength, "line longer than 4 MiB"));
    else
      handler.Handle(id, conn, std::string_view(conn.in).substr(from, lf - from));
    from = lf + 1;
  }
  conn.in.erase(0, from);
  if (conn.in.size() > kMaxLine) {
    if (!conn.skipping)
      TEndpoint::TConnections::Queue(conn, ErrorReply(nullptr, kBadLength, "line longer than 4 MiB"));
    conn.skipping = true;
    conn.in.clear();
  }
}

// A connection whose outbox is full is not read from: whatever it sends waits in its socket.
bool Paused(const TConn& conn) {
  return conn.out.size() >= kReadPause;
}

// Reads and writes what the connection is ready for; false when it is to be closed.
bool Exchange(TLineHandler& handler, uint64_t id, TConn& conn, short events) {
  if (conn.cut || (events & (POLLERR | POLLNVAL))) return false;
  if ((events & (POLLIN | POLLHUP)) && !Paused(conn)) {
    char buffer[65536];
    const ssize_t n = ::recv(conn.fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      conn.in.append(buffer, static_cast<size_t>(n));
      TakeLines(handler, id, conn);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      return false;
    }
  }
  if (!conn.out.empty()) {
    const ssize_t n = ::send(conn.fd, conn.out.data(), conn.out.size(), MSG_NOSIGNAL);
    if (n > 0) {
      conn.out.erase(0, static_cast<size_t>(n));
      conn.stalledSince = -1;
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    }
  }
  return !conn.cut && !(conn.closeAfterFlush && conn.out.empty());
}

// A connection that never said hello, or whose full outbox has not moved for a while, is cut: the slots
// stay free for clients that talk, and a client that does not read costs a bounded outbox.
bool Overdue(TConn& conn, int64_t now) {
  if (!conn.hello && now - conn.opened >= kHelloTimeoutMs) return true;
  if (!Paused(conn)) {
    conn.stalledSince = -1;
    return false;
  }
  if (conn.stalledSince < 0) conn.stalledSince = now;
  return now - conn.stalledSince >= kStallTimeoutMs;
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
    if (conn.hello) TConnections::Queue(conn, Json{{"ev", "tree"}, {"generation", generation}});
  connections_->Wake();
}

void TEndpoint::Stop() {
  if (stopped_) return;
  stopped_ = true;
  connections_->stopping = true;
  {
    std::lock_guard lock(connections_->mutex_);
    for (auto& [id, conn] : connections_->conns_) {
      TConnections::Queue(conn, Json{{"ev", "shutdown"}, {"reason", "the server is stopping"}});
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

// A full table makes room by cutting the connection that has waited longest without hello, so that the
// gateway can always come back; with none such the newcomer is refused.
void TEndpoint::Accept(std::vector<uint64_t>& gone) {
  const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || (peer.uid != ::getuid() && peer.uid != 0)) {
    ::close(fd);
    return;
  }
  const std::string busy = Line(ErrorReply(nullptr, kBusy, "too many connections"));
  std::lock_guard lock(connections_->mutex_);
  auto& conns = connections_->conns_;
  if (conns.size() >= kMaxConnections + kReservedSlots) {
    auto silent =
        std::find_if(conns.begin(), conns.end(), [](const auto& entry) { return !entry.second.hello; });
    const int refused = silent == conns.end() ? fd : silent->second.fd;
    [[maybe_unused]] ssize_t n = ::send(refused, busy.data(), busy.size(), MSG_NOSIGNAL);
    ::close(refused);
    if (silent == conns.end()) return;
    gone.push_back(silent->first);
    conns.erase(silent);
  }
  TConnections::TConn& conn = conns[connections_->next_++];
  conn.fd = fd;
  conn.opened = SystemClock().TickMs();
}

// Whatever is still queued is written once, then every connection is closed.
void TEndpoint::CloseAll() {
  std::lock_guard lock(connections_->mutex_);
  for (auto& [id, conn] : connections_->conns_) {
    if (!conn.out.empty()) [[maybe_unused]]
      ssize_t n = ::send(conn.fd, conn.out.data(), conn.out.size(), MSG_NOSIGNAL);
    ::close(conn.fd);
  }
  connections_->conns_.clear();
}

// Work for the main thread, where the server objects are used: the subscriptions and reads of gone
// clients end, and while device reads are out their deadlines are looked at now and then.
void TEndpoint::PostHousekeeping(const std::vector<uint64_t>& gone, int64_t& lastExpiry) {
  std::weak_ptr<TClient> client = client_;
  for (uint64_t id : gone)
    MainThread::Post([client, id] {
      if (auto alive = client.lock()) alive->Drop(id);
    });
  const int64_t now = SystemClock().TickMs();
  if (connections_->deviceReads == 0 || now - lastExpiry < kExpiryStepMs) return;
  lastExpiry = now;
  MainThread::Post([client] {
    if (auto alive = client.lock()) alive->ExpireReads();
  });
}

void TEndpoint::Run(std::stop_token stop) {
  TLineHandler handler(*connections_, client_);
  int64_t lastExpiry = SystemClock().TickMs();
  char drain[256];
  while (true) {
    std::vector<pollfd> fds{{wakeFds_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
    std::vector<uint64_t> ids;
    bool timed = connections_->deviceReads > 0;
    if (stop.stop_requested()) return CloseAll();
    {
      std::lock_guard lock(connections_->mutex_);
      for (auto& [id, conn] : connections_->conns_) {
        const short events =
            static_cast<short>((Paused(conn) ? 0 : POLLIN) | (conn.out.empty() ? 0 : POLLOUT));
        fds.push_back({conn.fd, events, 0});
        ids.push_back(id);
        timed = timed || !conn.hello || Paused(conn);
      }
    }
    const int wait = timed ? SystemClock().RealWaitMs(kExpiryStepMs) : -1;
    if (::poll(fds.data(), fds.size(), wait) < 0 && errno != EINTR) return;
    if (fds[0].revents & POLLIN)
      while (::read(wakeFds_[0], drain, sizeof drain) > 0) {
      }
    std::vector<uint64_t> gone;
    if (fds[1].revents & POLLIN) Accept(gone);
    {
      std::lock_guard lock(connections_->mutex_);
      const int64_t now = SystemClock().TickMs();
      for (size_t k = 0; k < ids.size(); ++k) {
        auto it = connections_->conns_.find(ids[k]);
        if (it == connections_->conns_.end()) continue;
        if (Exchange(handler, ids[k], it->second, fds[k + 2].revents) && !Overdue(it->second, now)) continue;
        ::close(it->second.fd);
        connections_->conns_.erase(it);
        gone.push_back(ids[k]);
      }
    }
    PostHousekeeping(gone, lastExpiry);
  }
}

}  // namespace orvela
