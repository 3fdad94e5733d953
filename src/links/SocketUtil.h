#pragma once
// Small helpers shared by the socket links: host look-up, socket options and waits in the clock's time.
#include <netinet/in.h>

#include <optional>
#include <string>

#include "platform/Clock.h"

namespace orvela::socketutil {

struct TResolved {
  in_addr address{};
  bool byName = false;  // found by name resolution rather than read as a numeric address
};
// A numeric IPv4 address first, then name resolution (first IPv4 address found); nullopt on failure.
std::optional<TResolved> ResolveIpv4(const std::string& host);
std::string DottedAddress(const in_addr& address);

// The Windows Sockets error number for an errno, for log lines people compare with older logs.
int WsaErrorCode(int err);

// Receive and send buffers and time-outs the links set on every new socket.
void SetLinkOptions(int fd, int bufferBytes, int timeoutMs, const Clock& clock);

// Waits up to ms of the clock's time for the socket to become readable (data, end of stream or error).
bool WaitReadable(int fd, Clock& clock, int64_t ms);
// Waits up to ms of the clock's time for a non-blocking connect to finish; 0 or the errno.
int WaitConnected(int fd, Clock& clock, int64_t ms);

void CloseSocket(int& fd, bool shutdownFirst);

// A stream socket whose peer has closed (or reset) is readable with nothing to read.
bool PeerGone(int fd);

}  // namespace orvela::socketutil
