#pragma once
// TCP client link (connection kind 3): one TCP connection to a device server or a terminal server in
// front of a serial bus. Address forms as ParseIpLinkAddress reads them; only the remote port is used.
#include <netinet/in.h>

#include "links/ConnectionDevice.h"

namespace orvela {

class TTCPConnectionPort : public TConnectionDevice {
 public:
  static constexpr int kPollMs = 20;
  static constexpr int kSocketBufferBytes = 2048;
  static constexpr int kReceiveTimeoutMs = 2000;
  static constexpr int kDefaultConnectTimeoutMs = 5000;

  explicit TTCPConnectionPort(TConnSettings* settings = nullptr, Clock& clock = SystemClock());
  ~TTCPConnectionPort() override;

  bool CheckLink() override { return true; }
  // A numeric IPv4 address is taken as it is, anything else is resolved by name; false (and nothing
  // changed) when the text is no link address, has a bad port, or names a host that does not resolve.
  bool SetAddress(const std::string& address) override;
  void Release() override;
  int InCount() override { return buffer_.Count(); }
  int OutCount() override { return 0; }
  bool Connect() override;
  void PurgeInput() override;
  void PurgeOutput() override {}
  // Next byte; with an empty buffer waits up to the receive time-out for data and returns the first
  // byte received (0 when none came). A closed peer raises EConnectExcept.
  uint8_t ReadByte() override;
  bool SetHold(bool) override { return true; }
  // A closed peer raises EConnectExcept "Обрыв соединения" instead of looking like silence.
  bool WaitData(int polls) override;
  void Send(std::span<const uint8_t> bytes) override;

  // Bound on one connect attempt, in the clock's milliseconds.
  void SetConnectTimeoutMs(int ms) { connectTimeoutMs_ = ms; }
  // The remote address in use (network byte order inside).
  const sockaddr_in& Remote() const { return remote_; }
  bool HasSocket() const { return socket_ >= 0; }

 private:
  bool ReuseSocket();
  bool OpenSocket();
  void CloseSocket();
  // Moves what the socket holds (at most the buffer's room) behind the unread bytes; returns the
  // number of bytes received. Raises EConnectExcept when the peer closed.
  int Refill();

  int socket_ = -1;
  sockaddr_in remote_{};
  QueueBuffer buffer_;
  int connectTimeoutMs_ = kDefaultConnectTimeoutMs;
};

}  // namespace orvela
