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
constexpr size_t kMaxDatagram = 65536;
}

TUdpConnectionPort::TUdpConnectionPort(TConnSettings* settings, Clock& clock)
    : TConnectionDevice(settings, clock) {}

TUdpConnectionPort::~TUdpConnectionPort() {
  CloseSocket();
}

void TUdpConnectionPort::CloseSocket() {
  su::CloseSocket(socket_, false);
}

bool TUdpConnectionPort::SetAddress(const std::string& address) {
  auto first = address.find(':');
  if (first == std::string::npos) return false;
  auto second = address.find(':', first + 1);
  if (second == std::string::npos) return false;
  std::string_view text(address);
  auto remotePort = su::ParsePort(text.substr(first + 1, second - first - 1), 1);
  auto localPort = su::ParsePort(text.substr(second + 1), 0);
  if (!remotePort || !localPort) return false;
  auto resolved = su::ResolveIpv4(address.substr(0, first));
  if (!resolved) return false;
  address_ = address;
  local_ = {};
  local_.sin_family = AF_INET;
  local_.sin_port = htons(*localPort);
  local_.sin_addr.s_addr = htonl(INADDR_ANY);
  remote_ = {};
  remote_.sin_family = AF_INET;
  remote_.sin_port = htons(*remotePort);
  remote_.sin_addr = resolved->address;
  return true;
}

bool TUdpConnectionPort::Connect() {
  CloseSocket();
  buffer_.Reset();
  socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) return connected_ = false;
  su::SetLinkOptions(socket_, kSocketBufferBytes, kReceiveTimeoutMs, clock_);
  // Tying the socket to the remote makes the system drop datagrams from anyone else.
  bool ok = ::bind(socket_, reinterpret_cast<const sockaddr*>(&local_), sizeof local_) == 0 &&
            ::connect(socket_, reinterpret_cast<const sockaddr*>(&remote_), sizeof remote_) == 0;
  if (!ok) {
    LogLine("Ошибка сокета: " + std::to_string(su::WsaErrorCode(errno)));
    CloseSocket();
  }
  return connected_ = ok;
}

void TUdpConnectionPort::Release() {
  CloseSocket();
  connected_ = false;
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
}

int TUdpConnectionPort::Refill() {
  // MSG_TRUNC makes the peek report the datagram's real length.
  ssize_t length = ::recv(socket_, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
  if (length < 0) {
    // A pending error (an ICMP "port unreachable" for an earlier datagram) is cleared by one receive.
    if (errno != EAGAIN && errno != EWOULDBLOCK) ::recv(socket_, nullptr, 0, MSG_DONTWAIT);
    return 0;
  }
  std::vector<uint8_t> datagram(std::clamp<size_t>(static_cast<size_t>(length), 1, kMaxDatagram));
  ssize_t n = ::recv(socket_, datagram.data(), datagram.size(), MSG_DONTWAIT);
  if (n <= 0) return 0;
  if (buffer_.Count() == 0 || buffer_.Room() < n) buffer_.Reset();
  for (ssize_t i = 0; i < n; ++i) buffer_.Put(datagram[static_cast<size_t>(i)]);
  ++readCounter_;
  return static_cast<int>(n);
}

bool TUdpConnectionPort::WaitData(int polls) {
  if (socket_ < 0) return false;
  int64_t deadline = clock_.TickMs() + static_cast<int64_t>(std::max(polls, 0)) * kPollMs;
  for (;;) {
    int64_t remaining = deadline - clock_.TickMs();
    if (su::WaitReadable(socket_, clock_, std::max<int64_t>(remaining, 0)) && Refill() > 0) return true;
    if (deadline - clock_.TickMs() <= 0) return false;
  }
}

uint8_t TUdpConnectionPort::ReadByte() {
  if (buffer_.Count() == 0) {
    if (socket_ < 0) return 0;
    if (su::WaitReadable(socket_, clock_, kReceiveTimeoutMs)) Refill();
    if (buffer_.Count() == 0) return 0;
  }
  lastByte_ = buffer_.Take();
  return lastByte_;
}

void TUdpConnectionPort::Send(std::span<const uint8_t> bytes) {
  if (socket_ < 0) throw EWriteExcept("Ошибка передачи датаграммы");
  for (int attempt = 0; attempt < 2; ++attempt) {
    ssize_t n = ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(bytes.size())) return;
    // An earlier ICMP "port unreachable" is reported once by the next call; the send itself may still go.
    if (n < 0 && errno != ECONNREFUSED) break;
  }
  throw EWriteExcept("Ошибка передачи датаграммы");
}

}  // namespace orvela
