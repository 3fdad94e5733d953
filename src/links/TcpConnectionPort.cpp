#include "links/TcpConnectionPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "links/SocketUtil.h"

namespace orvela {
namespace su = socketutil;
namespace {

constexpr size_t kScratchBytes = 65536;
constexpr int kSendPauseMs = 50;

bool SetNonBlocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  return ::fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}

}  // namespace

TTCPConnectionPort::TTCPConnectionPort(TConnSettings* settings, Clock& clock)
    : TSocketPort(settings, clock, true) {}

TTCPConnectionPort::~TTCPConnectionPort() = default;

bool TTCPConnectionPort::SetAddress(const std::string& address) {
  return TakeRemote(address, true).has_value();
}

bool TTCPConnectionPort::ReuseSocket() {
  if (socket_ < 0) return false;
  if (!su::PeerGone(socket_)) {
    int rc = ::connect(socket_, reinterpret_cast<const sockaddr*>(&remote_), sizeof remote_);
    if (rc == 0 || errno == EISCONN) return true;
  }
  CloseSocket();
  return false;
}

bool TTCPConnectionPort::OpenConnection() {
  if (!OpenSocket(SOCK_STREAM)) return false;
  // Non-blocking connect so an unreachable host costs the link's own bound, not the system's minutes.
  int err = 0;
  if (!SetNonBlocking(socket_, true)) {
    err = errno;
  } else if (::connect(socket_, reinterpret_cast<const sockaddr*>(&remote_), sizeof remote_) != 0) {
    err = errno == EINPROGRESS ? su::WaitConnected(socket_, clock_, connectTimeoutMs_) : errno;
  }
  if (err == 0 && !SetNonBlocking(socket_, false)) err = errno;
  if (err != 0) {
    LogLine("Ошибка сокета: " + std::to_string(su::WsaErrorCode(err)));
    CloseSocket();
    return false;
  }
  buffer_.Reset();
  return true;
}

bool TTCPConnectionPort::Connect() {
  bool connected = ReuseSocket();
  if (!connected) {
    connected = OpenConnection();
    if (!connected) clock_.Sleep(100);
    clock_.Sleep(1000);
  }
  if (connected) {
    try {
      EchoTest();
    } catch (const std::exception& e) {
      LogLine(std::string("Эхо-тест: ") + e.what());
      connected = false;
    }
  }
  connected_ = connected;
  return connected;
}

void TTCPConnectionPort::PurgeInput() {
  if (socket_ >= 0) {
    int waiting = 0;
    if (::ioctl(socket_, FIONREAD, &waiting) == 0 && waiting > 0) {
      std::vector<uint8_t> scratch(std::min<size_t>(static_cast<size_t>(waiting), kScratchBytes));
      while (::recv(socket_, scratch.data(), scratch.size(), MSG_DONTWAIT) > 0) {
      }
    }
  }
  buffer_.Reset();
}

int TTCPConnectionPort::Refill() {
  if (buffer_.Count() == 0) buffer_.Reset();
  int room = buffer_.Room();
  if (room <= 0) return 0;  // the rest stays in the socket until the unread bytes are taken
  std::vector<uint8_t> scratch(std::min<size_t>(static_cast<size_t>(room), kScratchBytes));
  ssize_t n = ::recv(socket_, scratch.data(), scratch.size(), MSG_DONTWAIT);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    CloseSocket();
    throw EConnectExcept(kConnectionLostText);
  }
  if (n < 0) return 0;
  for (ssize_t i = 0; i < n; ++i) buffer_.Put(scratch[static_cast<size_t>(i)]);
  ++readCounter_;
  return static_cast<int>(n);
}

bool TTCPConnectionPort::WaitData(int polls) {
  if (socket_ < 0) throw EConnectExcept(kConnectionLostText);
  return FillWithin(static_cast<int64_t>(std::max(polls, 0)) * kPollMs);
}

uint8_t TTCPConnectionPort::ReadByte() {
  if (buffer_.Count() == 0) {
    if (socket_ < 0) throw EConnectExcept(kConnectionLostText);
    if (!FillWithin(kReceiveTimeoutMs)) return 0;
  }
  uint8_t byte = buffer_.Take();
  TraceReceived(byte);
  return byte;
}

void TTCPConnectionPort::Send(std::span<const uint8_t> bytes) {
  clock_.Sleep(kSendPauseMs);
  scratchCount_ = 0;
  size_t sent = 0;
  while (socket_ >= 0 && sent < bytes.size()) {
    ssize_t n = ::send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  if (socket_ < 0 || sent < bytes.size()) {
    CloseSocket();
    throw EConnectExcept(kConnectionLostText);
  }
  clock_.Sleep(kSendPauseMs);
  if (EchoFlag() != 0) DropEcho(bytes.size());
  TraceSent(bytes);
}

}  // namespace orvela
