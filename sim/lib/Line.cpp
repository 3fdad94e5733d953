#include "metersim/Line.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace orvela::sim {

// One connected peer of the line: a TCP socket or the master side of a pseudo-terminal.
class TByteChannel : public IByteSink {
 public:
  TByteChannel(int fd, bool socket, bool ownsFd) : fd_(fd), socket_(socket), ownsFd_(ownsFd) {}
  ~TByteChannel() {
    if (ownsFd_) ::close(fd_);
  }
  TByteChannel(const TByteChannel&) = delete;
  TByteChannel& operator=(const TByteChannel&) = delete;

  // Waits at most realMs for input: the bytes read, 0 when none came, -1 when the peer is gone.
  int Read(uint8_t* buffer, int size, int realMs) {
    if (broken_) return -1;
    pollfd p{fd_, POLLIN, 0};
    int ready = ::poll(&p, 1, realMs);
    if (ready < 0) return errno == EINTR ? 0 : -1;
    if (ready == 0) return 0;
    ssize_t n = socket_ ? ::recv(fd_, buffer, static_cast<size_t>(size), 0)
                        : ::read(fd_, buffer, static_cast<size_t>(size));
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
    // A pseudo-terminal reports a hang-up while nobody has its other side open; the line stays.
    return socket_ ? -1 : 0;
  }

  void Send(std::span<const uint8_t> bytes) override {
    size_t done = 0;
    while (done < bytes.size() && !broken_) {
      ssize_t n = socket_ ? ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)
                          : ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (!socket_) {
        return;  // nobody reads the terminal and its buffer is full: what a line does, the bytes are lost
      } else {
        broken_ = true;
      }
    }
  }

 private:
  int fd_;
  bool socket_;
  bool ownsFd_;
  bool broken_ = false;
};

TLine::TLine(TLineOptions options)
    : options_(options),
      clock_(options.clock ? *options.clock : SystemClock()),
      calendar_(options.calendar ? *options.calendar : clock_) {}

TLine::~TLine() {
  Stop();
}

TSimDevice& TLine::AddDevice(std::unique_ptr<TSimDevice> device) {
  if (!device) throw ESimError("no device");
  if (started_) throw ESimError("devices join a line before it starts serving");
  auto it = std::find_if(responders_.begin(), responders_.end(),
                         [&](const auto& r) { return r->Protocol() == device->Protocol(); });
  if (it == responders_.end()) {
    auto responder = MakeResponder(device->Protocol());
    if (!responder) throw ESimError("no simulator for protocol " + std::string(device->Protocol()));
    responders_.push_back(std::move(responder));
    it = std::prev(responders_.end());
  }
  std::shared_ptr<TSimDevice> shared = std::move(device);
  if (!(*it)->AddDevice(shared)) {
    throw ESimError("address " + std::to_string(shared->Address()) + " is taken on this line");
  }
  return *shared;
}

TSimDevice* TLine::FindDevice(uint8_t address, std::string_view protocol) const {
  for (const auto& r : responders_) {
    if (r->Protocol() != protocol) continue;
    if (auto* found = r->FindDevice(address)) return found;
  }
  return nullptr;
}

void TLine::ListenTcp(const std::string& host, uint16_t port) {
  if (listenFd_ >= 0) throw ESimError("the line already listens on " + TcpAddress());
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints, &found) !=
          0 ||
      !found) {
    throw ESimError("cannot resolve " + host);
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  bool ok = fd >= 0 && ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, 16) == 0;
  ::freeaddrinfo(found);
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (!ok || ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    std::string reason = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    throw ESimError("cannot listen on " + host + ":" + std::to_string(port) + ": " + reason);
  }
  listenFd_ = fd;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &bound.sin_addr, text, sizeof text);
  host_ = text;
  port_ = ntohs(bound.sin_port);
  started_ = true;
  acceptor_ = std::jthread([this](std::stop_token stop) { AcceptLoop(stop); });
}

std::string TLine::TcpAddress() const {
  return host_ + ":" + std::to_string(port_);
}

std::string TLine::OpenPty() {
  if (ptyMaster_ >= 0) throw ESimError("the line already has a pseudo-terminal");
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128] = {};
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
      ::ptsname_r(master, name, sizeof name) != 0) {
    std::string reason = std::strerror(errno);
    if (master >= 0) ::close(master);
    throw ESimError("cannot open a pseudo-terminal: " + reason);
  }
  int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios mode{};
  if (slave < 0 || ::tcgetattr(slave, &mode) != 0) {
    std::string reason = std::strerror(errno);
    if (slave >= 0) ::close(slave);
    ::close(master);
    throw ESimError("cannot open " + std::string(name) + ": " + reason);
  }
  ::cfmakeraw(&mode);
  ::tcsetattr(slave, TCSANOW, &mode);
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  ptyMaster_ = master;
  ptySlave_ = slave;
  ptyPath_ = name;
  started_ = true;
  StartSession(std::make_unique<TByteChannel>(master, false, false), false);
  return ptyPath_;
}

void TLine::AcceptLoop(std::stop_token stop) {
  while (!stop.stop_requested()) {
    // The time-out only bounds how soon a stop request is seen.
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A peer that stops reading must not hold a session (and Stop) in send for ever.
    timeval sendLimit{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    StartSession(std::make_unique<TByteChannel>(fd, true, true), true);
  }
}

void TLine::StartSession(std::unique_ptr<TByteChannel> channel, bool endOnDrop) {
  std::lock_guard lock(sessionsMutex_);
  // Finished sessions are joined here, outside their own threads.
  sessions_.remove_if([](const auto& s) { return s->done.load(); });
  auto slot = std::make_unique<TSessionThread>();
  TSessionThread* raw = slot.get();
  slot->thread = std::jthread([this, raw, endOnDrop, ch = std::move(channel)](std::stop_token stop) {
    Serve(*ch, stop, endOnDrop);
    raw->done = true;
  });
  sessions_.push_back(std::move(slot));
}

void TLine::Serve(TByteChannel& channel, std::stop_token stop, bool endOnDrop) {
  TSessionContext context{
      clock_, calendar_, faults_, log_, channel, options_.promptIntervalMs, options_.firstPromptDelayMs};
  std::vector<std::unique_ptr<TResponderSession>> sessions;
  auto open = [&] {
    sessions.clear();
    for (const auto& r : responders_) sessions.push_back(r->OpenSession(context));
  };
  open();
  uint64_t generation = generation_.load();
  uint8_t buffer[512];
  while (!stop.stop_requested()) {
    if (generation_.load() != generation) {
      if (endOnDrop) return;
      generation = generation_.load();
      open();
    }
    TFaults faults = faults_.Get();
    int64_t next = clock_.TickMs() + 50;
    if (!faults.silent) {
      for (auto& s : sessions) next = std::min(next, s->OnTick());
    }
    int wait = std::clamp(clock_.RealWaitMs(next - clock_.TickMs()), 1, 50);
    int n = channel.Read(buffer, sizeof buffer, wait);
    if (n < 0) return;
    if (n == 0 || faults.silent) continue;
    if (faults.echo) channel.Send(std::span(buffer, static_cast<size_t>(n)));
    for (int i = 0; i < n; ++i) {
      for (auto& s : sessions) s->OnByte(buffer[i]);
    }
  }
}

void TLine::DropClients() {
  ++generation_;
}

void TLine::Stop() {
  if (acceptor_.joinable()) {
    acceptor_.request_stop();
    acceptor_.join();
  }
  {
    std::lock_guard lock(sessionsMutex_);
    for (auto& s : sessions_) s->thread.request_stop();
    sessions_.clear();  // joins
  }
  if (listenFd_ >= 0) ::close(listenFd_);
  if (ptyMaster_ >= 0) ::close(ptyMaster_);
  if (ptySlave_ >= 0) ::close(ptySlave_);
  listenFd_ = ptyMaster_ = ptySlave_ = -1;
}

}  // namespace orvela::sim
