#include "metersim/Line.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "metersim/Pty.h"

namespace orvela::sim {

// One channel of the line as its sessions see it: bytes come in, the devices' bytes go out.
class TByteChannel : public IByteSink {
 public:
  TByteChannel() = default;
  virtual ~TByteChannel() = default;
  TByteChannel(const TByteChannel&) = delete;
  TByteChannel& operator=(const TByteChannel&) = delete;

  // Waits at most realMs for input: the bytes read, 0 when none came, -1 when the peer is gone.
  virtual int Read(uint8_t* buffer, int size, int realMs) = 0;
};

namespace {

// One connected peer of the line: a TCP socket or the master side of a pseudo-terminal.
class TStreamChannel : public TByteChannel {
 public:
  TStreamChannel(int fd, bool socket, bool ownsFd) : fd_(fd), socket_(socket), ownsFd_(ownsFd) {}
  ~TStreamChannel() override {
    if (ownsFd_) ::close(fd_);
  }

  int Read(uint8_t* buffer, int size, int realMs) override {
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

// The line's UDP port: datagrams from anyone are one byte stream to the devices, and what the devices send
// goes back in datagrams to the last sender heard, from the listening socket or from a second one.
class TDatagramChannel : public TByteChannel {
 public:
  static constexpr size_t kMaxDatagram = 65'536;

  TDatagramChannel(int fd, int replyFd, std::atomic<uint16_t>& peerPort)
      : fd_(fd), replyFd_(replyFd), peerPort_(peerPort) {}
  ~TDatagramChannel() override {
    if (replyFd_ != fd_) ::close(replyFd_);
    ::close(fd_);
  }

  int Read(uint8_t* buffer, int size, int realMs) override {
    if (taken_ == filled_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, realMs) <= 0) return 0;
      sockaddr_in from{};
      socklen_t length = sizeof from;
      ssize_t n = ::recvfrom(fd_, datagram_.data(), datagram_.size(), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &length);
      taken_ = filled_ = 0;
      // A socket error on UDP is no reason to stop serving.
      if (n < 0 || from.sin_family != AF_INET) return 0;
      filled_ = static_cast<size_t>(n);
      peer_ = from;
      peerPort_ = ntohs(from.sin_port);
    }
    size_t n = std::min(filled_ - taken_, static_cast<size_t>(size));
    std::copy_n(datagram_.begin() + static_cast<std::ptrdiff_t>(taken_), n, buffer);
    taken_ += n;
    return static_cast<int>(n);
  }

  void Send(std::span<const uint8_t> bytes) override {
    // Before anyone is heard the bytes have nowhere to go; a datagram that cannot leave is lost, as on a
    // network.
    if (peer_.sin_family != AF_INET || bytes.empty()) return;
    ::sendto(replyFd_, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&peer_),
             sizeof peer_);
  }

 private:
  int fd_;
  int replyFd_;
  std::atomic<uint16_t>& peerPort_;
  sockaddr_in peer_{};
  std::vector<uint8_t> datagram_ = std::vector<uint8_t>(kMaxDatagram);  // being fed to the devices
  size_t filled_ = 0;
  size_t taken_ = 0;
};

sockaddr_in ResolveIpv4(const std::string& host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.empty() ? nullptr : host.c_str(), nullptr, &hints, &found) != 0 || !found) {
    throw ESimError("cannot resolve " + host);
  }
  sockaddr_in address{};
  std::memcpy(&address, found->ai_addr, std::min<size_t>(sizeof address, found->ai_addrlen));
  ::freeaddrinfo(found);
  address.sin_port = htons(port);
  return address;
}

std::string HostText(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return text;
}

// A socket of the type bound to the address (and listening, for a stream); `bound` gets the address taken.
int BindSocket(int type, const sockaddr_in& address, sockaddr_in& bound) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  int one = 1;
  if (fd >= 0 && type == SOCK_STREAM) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            (type != SOCK_STREAM || ::listen(fd, 16) == 0);
  socklen_t length = sizeof bound;
  if (!ok || ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    std::string reason = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    throw ESimError("cannot listen on " + HostText(address) + ":" + std::to_string(ntohs(address.sin_port)) +
                    ": " + reason);
  }
  return fd;
}

}  // namespace

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
  sockaddr_in bound{};
  listenFd_ = BindSocket(SOCK_STREAM, ResolveIpv4(host, port), bound);
  host_ = HostText(bound);
  port_ = ntohs(bound.sin_port);
  started_ = true;
  acceptor_ = std::jthread([this](std::stop_token stop) { AcceptLoop(stop); });
}

void TLine::ListenUdp(const std::string& host, uint16_t port) {
  if (udpPort_ != 0) throw ESimError("the line already listens on UDP " + UdpAddress());
  sockaddr_in bound{};
  int fd = BindSocket(SOCK_DGRAM, ResolveIpv4(host, port), bound);
  int replyFd = fd;
  sockaddr_in replyBound = bound;
  if (options_.udpReplyPortShift) {
    sockaddr_in other = bound;
    other.sin_port = 0;
    try {
      replyFd = BindSocket(SOCK_DGRAM, other, replyBound);
    } catch (const ESimError&) {
      ::close(fd);
      throw;
    }
  }
  udpHost_ = HostText(bound);
  udpPort_ = ntohs(bound.sin_port);
  udpReplyPort_ = ntohs(replyBound.sin_port);
  started_ = true;
  StartSession(std::make_unique<TDatagramChannel>(fd, replyFd, udpPeerPort_), false);
}

std::string TLine::UdpAddress() const {
  return udpHost_ + ":" + std::to_string(udpPort_);
}

std::string TLine::TcpAddress() const {
  return host_ + ":" + std::to_string(port_);
}

std::string TLine::OpenPty() {
  if (ptyMaster_ >= 0) throw ESimError("the line already has a pseudo-terminal");
  TPty pty = OpenRawPty();
  ptyMaster_ = pty.master;
  ptySlave_ = pty.slave;
  ptyPath_ = pty.path;
  started_ = true;
  StartSession(std::make_unique<TStreamChannel>(ptyMaster_, false, false), false);
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
    StartSession(std::make_unique<TStreamChannel>(fd, true, true), true);
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
