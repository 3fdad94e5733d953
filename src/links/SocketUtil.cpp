#include "links/SocketUtil.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace orvela::socketutil {
namespace {

// Waits for one of the events, in slices of real time that the clock derives from its own time.
int PollFor(int fd, short events, Clock& clock, int64_t ms, short& revents) {
  int64_t deadline = clock.TickMs() + (ms < 0 ? 0 : ms);
  for (;;) {
    int64_t remaining = deadline - clock.TickMs();
    int realMs = remaining > 0 ? clock.RealWaitMs(remaining) : 0;
    pollfd p{fd, events, 0};
    int rc = ::poll(&p, 1, realMs);
    if (rc > 0) {
      revents = p.revents;
      return rc;
    }
    if (rc < 0 && errno != EINTR) return rc;
    if (remaining <= 0) return 0;
    // A clock that grants no real time (manual) moves only when slept on.
    if (rc == 0 && realMs == 0) clock.Sleep(remaining);
  }
}

}  // namespace

std::optional<TResolved> ResolveIpv4(const std::string& host) {
  TResolved out;
  if (host.empty()) return std::nullopt;
  if (::inet_pton(AF_INET, host.c_str(), &out.address) == 1) return out;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return std::nullopt;
  out.address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  out.byName = true;
  ::freeaddrinfo(found);
  return out;
}

std::string DottedAddress(const in_addr& address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

int WsaErrorCode(int err) {
  static constexpr std::pair<int, int> kCodes[] = {
      {EINTR, 10004},         {EBADF, 10009},     {EACCES, 10013},       {EFAULT, 10014},
      {EINVAL, 10022},        {EMFILE, 10024},    {EWOULDBLOCK, 10035},  {EINPROGRESS, 10036},
      {EALREADY, 10037},      {ENOTSOCK, 10038},  {EMSGSIZE, 10040},     {EADDRINUSE, 10048},
      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},  {ENETUNREACH, 10051},  {ECONNABORTED, 10053},
      {ECONNRESET, 10054},    {ENOBUFS, 10055},   {EISCONN, 10056},      {ENOTCONN, 10057},
      {ESHUTDOWN, 10058},     {ETIMEDOUT, 10060}, {ECONNREFUSED, 10061}, {EHOSTDOWN, 10064},
      {EHOSTUNREACH, 10065},  {EPIPE, 10054},
  };
  for (auto [e, code] : kCodes)
    if (e == err) return code;
  return err;
}

void SetLinkOptions(int fd, int bufferBytes, int timeoutMs, const Clock& clock) {
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
  int realMs = clock.RealWaitMs(timeoutMs);
  if (realMs <= 0) realMs = 1;  // zero would mean "wait for ever"
  timeval tv{realMs / 1000, (realMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool WaitReadable(int fd, Clock& clock, int64_t ms) {
  short revents = 0;
  return PollFor(fd, POLLIN, clock, ms, revents) > 0;
}

int WaitConnected(int fd, Clock& clock, int64_t ms) {
  short revents = 0;
  int rc = PollFor(fd, POLLOUT, clock, ms, revents);
  if (rc < 0) return errno;
  if (rc == 0) return ETIMEDOUT;
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

bool PeerGone(int fd) {
  pollfd p{fd, static_cast<short>(POLLIN | POLLRDHUP), 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  if (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) return true;
  uint8_t probe;
  return ::recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

void CloseSocket(int& fd, bool shutdownFirst) {
  if (fd < 0) return;
  if (shutdownFirst) ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
  fd = -1;
}

}  // namespace orvela::socketutil
