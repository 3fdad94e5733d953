#pragma once
// A TCP relay in front of a simulated line that notes which process opened each connection through it, so
// that a test can tell who polled the line (the server, or a command that should have asked the server).
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace orvela::test {

class TLineRelay {
 public:
  // Relays every connection to 127.0.0.1:target, each in both directions until either side closes.
  explicit TLineRelay(uint16_t target);
  ~TLineRelay();
  TLineRelay(const TLineRelay&) = delete;
  TLineRelay& operator=(const TLineRelay&) = delete;

  uint16_t Port() const { return port_; }
  // The process that opened each connection so far, in order; 0 where it could not be found.
  std::vector<pid_t> Openers() const;

 private:
  void Accept(std::stop_token stop);

  uint16_t target_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::vector<pid_t> openers_;
  std::list<std::jthread> pumps_;
  std::jthread acceptor_;
};

}  // namespace orvela::test
