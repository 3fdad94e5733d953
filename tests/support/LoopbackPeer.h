#pragma once
// In-process fake devices on loopback sockets (port 0), for the link and framing tests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace orvela::test {

using Bytes = std::vector<uint8_t>;

// Reads up to n bytes, waiting at most timeoutMs of real time in all; returns what came.
Bytes ReadUpTo(int fd, size_t n, int timeoutMs);
// Reads what arrives within quietMs of silence (at most maxBytes).
Bytes ReadAvailable(int fd, int quietMs, size_t maxBytes = 65536);
void WriteAll(int fd, std::span<const uint8_t> bytes);
inline void WriteAll(int fd, const std::string& text) {
  WriteAll(fd, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}
Bytes ToBytes(const std::string& text);

// A TCP listener on 127.0.0.1:0 that runs `session` for every accepted connection, one after another,
// and closes the connection when the session returns.
class TLoopbackTcpPeer {
 public:
  using Session = std::function<void(int fd, std::stop_token stop)>;
  explicit TLoopbackTcpPeer(Session session, int backlog = 4, bool acceptConnections = true);
  ~TLoopbackTcpPeer();
  uint16_t Port() const { return port_; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  int Accepted() const { return accepted_.load(); }

 private:
  void Run(std::stop_token stop);
  int listenFd_ = -1;
  uint16_t port_ = 0;
  Session session_;
  std::atomic<int> accepted_{0};
  std::jthread thread_;
};

// A UDP socket on 127.0.0.1:0.
class TLoopbackUdpPeer {
 public:
  TLoopbackUdpPeer();
  ~TLoopbackUdpPeer();
  uint16_t Port() const { return port_; }
  int Fd() const { return fd_; }
  // Receives one datagram within timeoutMs; the sender's address goes to `from`.
  Bytes Receive(int timeoutMs, sockaddr_in* from = nullptr);
  void SendTo(const sockaddr_in& to, std::span<const uint8_t> bytes);
  void SendTo(uint16_t port, std::span<const uint8_t> bytes);

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

namespace detail {

inline sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

inline uint16_t BoundPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

inline bool Readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

}  // namespace detail

inline Bytes ToBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

inline Bytes ReadUpTo(int fd, size_t n, int timeoutMs) {
  Bytes out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < n) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !detail::Readable(fd, static_cast<int>(left.count()))) break;
    uint8_t buf[4096];
    ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (got <= 0) break;
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

inline Bytes ReadAvailable(int fd, int quietMs, size_t maxBytes) {
  Bytes out;
  while (out.size() < maxBytes && detail::Readable(fd, quietMs)) {
    uint8_t buf[4096];
    ssize_t got = ::recv(fd, buf, std::min(sizeof buf, maxBytes - out.size()), 0);
    if (got <= 0) break;
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

inline void WriteAll(int fd, std::span<const uint8_t> bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

inline TLoopbackTcpPeer::TLoopbackTcpPeer(Session session, int backlog, bool acceptConnections)
    : session_(std::move(session)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = detail::Loopback(0);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, backlog) != 0)
    throw std::runtime_error("loopback listener");
  port_ = detail::BoundPort(listenFd_);
  if (acceptConnections) thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

inline TLoopbackTcpPeer::~TLoopbackTcpPeer() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  ::close(listenFd_);
}

inline void TLoopbackTcpPeer::Run(std::stop_token stop) {
  while (!stop.stop_requested()) {
    if (!detail::Readable(listenFd_, 20)) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    if (session_) session_(fd, stop);
    ::close(fd);
  }
}

inline TLoopbackUdpPeer::TLoopbackUdpPeer() {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = detail::Loopback(0);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("udp peer");
  port_ = detail::BoundPort(fd_);
}

inline TLoopbackUdpPeer::~TLoopbackUdpPeer() {
  ::close(fd_);
}

inline Bytes TLoopbackUdpPeer::Receive(int timeoutMs, sockaddr_in* from) {
  if (!detail::Readable(fd_, timeoutMs)) return {};
  Bytes buf(65536);
  sockaddr_in src{};
  socklen_t len = sizeof src;
  ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&src), &len);
  if (from) *from = src;
  buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return buf;
}

inline void TLoopbackUdpPeer::SendTo(const sockaddr_in& to, std::span<const uint8_t> bytes) {
  ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

inline void TLoopbackUdpPeer::SendTo(uint16_t port, std::span<const uint8_t> bytes) {
  SendTo(detail::Loopback(port), bytes);
}

}  // namespace orvela::test
