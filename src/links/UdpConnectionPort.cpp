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
    : TSocketPort(settings, clock, false) {}

TUdpConnectionPort::~TUdpConnectionPort() = default;

bool TUdpConnectionPort::SetAddress(const std::string& address) {
  std::optional<TIpLinkAddress> parsed = TakeRemote(address, false);
  if (!parsed) return false;
  CloseSocket();
  local_ = {};
  local_.sin_family = AF_INET;
  local_.sin_port = htons(parsed->localPort.value_or(0));
  local_.sin_addr.s_addr = htonl(INADDR_ANY);
  return true;
}

bool TUdpConnectionPort::Connect() {
  if (socket_ >= 0) return connected_ = true;
  buffer_.Reset();
  if (!OpenSocket(SOCK_DGRAM)) return false;
  if (::bind(socket_, reinterpret_cast<const sockaddr*>(&local_), sizeof local_) != 0) {
    LogLine("Ошибка сокета: " + std::to_string(su::WsaErrorCode(errno)));
    CloseSocket();
    return false;
  }
  return connected_ = true;
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
