#include "links/SocketPort.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "links/SocketUtil.h"

namespace orvela {
namespace su = socketutil;

TSocketPort::TSocketPort(TConnSettings* settings, Clock& clock, bool shutdownOnClose)
    : TConnectionDevice(settings, clock), shutdownOnClose_(shutdownOnClose) {}

TSocketPort::~TSocketPort() {
  su::CloseSocket(socket_, shutdownOnClose_);
}

void TSocketPort::CloseSocket() {
  su::CloseSocket(socket_, shutdownOnClose_);
  connected_ = false;
}

void TSocketPort::Release() {
  if (hold_) CloseSocket();
}

std::optional<TIpLinkAddress> TSocketPort::TakeRemote(const std::string& address, bool logLookUp) {
  std::optional<TIpLinkAddress> parsed = ParseIpLinkAddress(address);
  if (!parsed) return std::nullopt;
  auto resolved = su::ResolveIpv4(parsed->host);
  if (!resolved) {
    if (logLookUp) LogLine("Узел не найден: " + parsed->host);
    return std::nullopt;
  }
  if (logLookUp && resolved->byName) LogLine("Найден узел:" + su::DottedAddress(resolved->address));
  address_ = address;
  remote_ = {};
  remote_.sin_family = AF_INET;
  remote_.sin_port = htons(parsed->remotePort);
  remote_.sin_addr = resolved->address;
  return parsed;
}

bool TSocketPort::OpenSocket(int type) {
  socket_ = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (socket_ < 0) {
    LogLine("Ошибка сокета: " + std::to_string(su::WsaErrorCode(errno)));
    connected_ = false;
    return false;
  }
  su::SetLinkOptions(socket_, kSocketBufferBytes, kReceiveTimeoutMs, clock_);
  return true;
}

bool TSocketPort::FillWithin(int64_t ms) {
  if (socket_ < 0) return false;
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

}  // namespace orvela
