#include "links/UdpConnectionPort.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "links/SocketUtil.h"

namespace orvela {
namespace su = socketutil;
namespace {

// A refill or purge takes at most this many datagrams, so a flooding sender cannot hold the link.
constexpr int kMaxDatagramsPerStep = 256;

}  // namespace

TUdpConnectionPort::TUdpConnectionPort(TConnSettings* settings, Clock& clock)
    : TConnectionDevice(settings, clock) {}

TUdpConnectionPort::~TUdpConnectionPort() {
  CloseSocket();
}

void TUdpConnectionPort::CloseSocket() {
  su::CloseSocket(socket_, false);
  connected_ = false;
}

bool TUdpConnectionPort::SetAddress(const std::string& address) {
  auto parsed = ParseIpLinkAddress(address);
  if (!parsed) return false;
  auto resolved = su::ResolveIpv4(parsed->host);
  if (!resolved) return false;
  CloseSocket();
  address_ = address;
  local_ = {};
  local_.sin_family = AF_INET;
  local_.sin_port = htons(parsed->localPort.value_or(0));
  local_.sin_addr.s_addr = htonl(INADDR_ANY);
  remote_ = {};
  remote_.sin_family = AF_INET;
  remote_.sin_port = htons(parsed->remotePort);
  remote_.sin_addr = resolved->address;
  return true;
}

bool TUdpConnectionPort::Connect() {
  if (socket_ >= 0) return connected_ = true;
  buffer_.Reset();
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) return connected_ = false;
  su::SetLinkOptions(socket_, kSocketBufferBytes, kReceiveTimeoutMs, clock_);
  if (::bind(socket_, reinterpret_cast<const sockaddr*>(&local_), sizeof local_) != 0) {
    LogLine("Ошибка сокета: " + std::to_string(su::WsaErrorCode(errno)));
    CloseSocket();
    return false;
  }
  return connected_ = true;
}

void TUdpConnectionPort::Release() {
  if (hold_) CloseSocket();
}

int TUdpConnectionPort::BoundPort() const {
  if (socket_ < 0) return 0;
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&bound), &len) != 0) return 0;
  return ntohs(bound.sin_port);
}

void TUdpConnectionPort::PurgeInput() {
  buffer_.Reset();
  if (socket_ < 0) return;
  for (int i = 0; i < kMaxDatagramsPerStep; ++i)
    if (::recv(socket_, nullptr, 0, MSG_DONTWAIT | MSG_TRUNC) < 0) break;
}

int TUdpConnectionPort::Refill() {
  int added = 0;
  for (int i = 0; i < kMaxDatagramsPerStep; ++i) {
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    // MSG_TRUNC makes the peek report the datagram's real length.
    ssize_t length = ::recvfrom(socket_, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT,
                                reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (length < 0) {
      // A pending socket error is reported (and cleared) by one receive; it must not keep poll waking.
      if (errno != EAGAIN && errno != EWOULDBLOCK) ::recv(socket_, nullptr, 0, MSG_DONTWAIT);
      break;
    }
    bool fromRemote = from.sin_family == AF_INET && from.sin_addr.s_addr == remote_.sin_addr.s_addr;
    if (fromRemote && length > 0) {
      if (buffer_.Count() == 0) buffer_.Reset();
      if (length > buffer_.Room()) break;  // stays queued until the unread bytes are taken
      std::vector<uint8_t> datagram(static_cast<size_t>(length));
      ssize_t n = ::recv(socket_, datagram.data(), datagram.size(), MSG_DONTWAIT);
      if (n <= 0) break;
      for (ssize_t k = 0; k < n; ++k) buffer_.Put(datagram[static_cast<size_t>(k)]);
      ++readCounter_;
      added += static_cast<int>(n);
      continue;
    }
    // Another sender, or an empty datagram: taken off the queue and dropped.
    ::recv(socket_, nullptr, 0, MSG_DONTWAIT | MSG_TRUNC);
  }
  return added;
}

bool TUdpConnectionPort::FillWithin(int64_t ms) {
  if (socket_ < 0) return false;
  // What is already queued counts at once; unread bytes need no wait.
  if (su::WaitReadable(socket_, clock_, 0)) Refill();
  if (buffer_.Count() > 0) return true;
  int64_t deadline = clock_.TickMs() + std::max<int64_t>(ms, 0);
  for (;;) {
    int64_t remaining = deadline - clock_.TickMs();
    if (su::WaitReadable(socket_, clock_, std::max<int64_t>(remaining, 0))) Refill();
    if (buffer_.Count() > 0) return true;
    if (deadline - clock_.TickMs() <= 0) return false;
  }
}

bool TUdpConnectionPort::WaitData(int polls) {
  return FillWithin(static_cast<int64_t>(std::max(polls, 0)) * kPollMs);
}

uint8_t TUdpConnectionPort::ReadByte() {
  if (buffer_.Count() == 0 && !FillWithin(kReceiveTimeoutMs)) return 0;
  lastByte_ = buffer_.Take();
  return lastByte_;
}

void TUdpConnectionPort::Send(std::span<const uint8_t> bytes) {
  if (socket_ < 0) throw EWriteExcept("Ошибка передачи датаграммы");
  ssize_t n = ::sendto(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr*>(&remote_), sizeof remote_);
  if (n != static_cast<ssize_t>(bytes.size())) throw EWriteExcept("Ошибка передачи датаграммы");
}

}  // namespace orvela
