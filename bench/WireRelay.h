#pragma once
// A loopback relay between a link and a simulated line that times the XModem exchanges it carries: an
// exchange runs from the first byte of the host's request block to the device's EOT after its answer,
// as seen at the relay's sockets. One peer at a time; a peer that hangs up frees it for the next.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <thread>

namespace orvela::bench {

class TWireRelay {
 public:
  explicit TWireRelay(uint16_t upstreamPort) : upstreamPort_(upstreamPort) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t len = sizeof addr;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 4) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      throw std::runtime_error("relay: cannot listen");
    port_ = ntohs(addr.sin_port);
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  }
  ~TWireRelay() {
    thread_.request_stop();
    thread_.join();
    ::close(listenFd_);
  }
  TWireRelay(const TWireRelay&) = delete;
  TWireRelay& operator=(const TWireRelay&) = delete;

  uint16_t Port() const { return port_; }
  int64_t WireNs() const { return wireNs_; }
  int64_t Exchanges() const { return exchanges_; }
  void Reset() {
    wireNs_ = 0;
    exchanges_ = 0;
  }

 private:
  using TSteady = std::chrono::steady_clock;
  static constexpr uint8_t kSoh = 0x01, kEot = 0x04;
  static constexpr int kBlockTail = 132;  // number, its complement, 128 data bytes, CRC
  static constexpr int kPollMs = 20;

  static sockaddr_in Loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
  }

  // Walks each direction block by block, so data bytes that happen to equal SOH or EOT are skipped.
  struct TTracker {
    int hostSkip = 0, deviceSkip = 0;
    bool inExchange = false, answered = false;
    TSteady::time_point start;
  };

  void FromHost(TTracker& t, const uint8_t* bytes, ssize_t n, TSteady::time_point now) {
    for (ssize_t i = 0; i < n; ++i) {
      if (t.hostSkip > 0) {
        --t.hostSkip;
      } else if (bytes[i] == kSoh) {
        t.hostSkip = kBlockTail;
        if (!t.inExchange) {
          t.inExchange = true;
          t.answered = false;
          t.start = now;
        }
      }
    }
  }

  void FromDevice(TTracker& t, const uint8_t* bytes, ssize_t n, TSteady::time_point now) {
    for (ssize_t i = 0; i < n; ++i) {
      if (t.deviceSkip > 0) {
        --t.deviceSkip;
      } else if (bytes[i] == kSoh) {
        t.deviceSkip = kBlockTail;
        t.answered = t.inExchange;
      } else if (bytes[i] == kEot && t.answered) {
        wireNs_ += std::chrono::duration_cast<std::chrono::nanoseconds>(now - t.start).count();
        ++exchanges_;
        t.inExchange = t.answered = false;
      }
    }
  }

  static bool SendAll(int fd, const uint8_t* bytes, ssize_t n) {
    while (n > 0) {
      ssize_t sent = ::send(fd, bytes, static_cast<size_t>(n), MSG_NOSIGNAL);
      if (sent <= 0) return false;
      bytes += sent;
      n -= sent;
    }
    return true;
  }

  void Run(std::stop_token stop) {
    while (!stop.stop_requested()) {
      pollfd waiting{listenFd_, POLLIN, 0};
      if (::poll(&waiting, 1, kPollMs) <= 0) continue;
      int host = ::accept(listenFd_, nullptr, nullptr);
      if (host < 0) continue;
      int device = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in addr = Loopback(upstreamPort_);
      if (device >= 0 && ::connect(device, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
        Pump(host, device, stop);
      if (device >= 0) ::close(device);
      ::close(host);
    }
  }

  void Pump(int host, int device, std::stop_token stop) {
    TTracker tracker;
    uint8_t buffer[4096];
    pollfd fds[2] = {{host, POLLIN, 0}, {device, POLLIN, 0}};
    while (!stop.stop_requested()) {
      if (::poll(fds, 2, kPollMs) <= 0) continue;
      for (int side = 0; side < 2; ++side) {
        if (fds[side].revents == 0) continue;
        ssize_t n = ::recv(fds[side].fd, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        const auto now = TSteady::now();
        if (side == 0)
          FromHost(tracker, buffer, n, now);
        else
          FromDevice(tracker, buffer, n, now);
        if (!SendAll(fds[1 - side].fd, buffer, n)) return;
      }
    }
  }

  uint16_t upstreamPort_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<int64_t> wireNs_{0}, exchanges_{0};
  std::jthread thread_;
};

}  // namespace orvela::bench
