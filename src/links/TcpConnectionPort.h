#pragma once
// TCP client link (connection kind 3): one TCP connection to a device server or a terminal server in
// front of a serial bus. Address forms as ParseIpLinkAddress reads them; only the remote port is used.
#include "links/SocketPort.h"

namespace orvela {

class TTCPConnectionPort : public TSocketPort {
 public:
  static constexpr int kPollMs = 20;
  static constexpr int kDefaultConnectTimeoutMs = 5000;

  explicit TTCPConnectionPort(TConnSettings* settings = nullptr, Clock& clock = SystemClock());
  ~TTCPConnectionPort() override;

  // A numeric IPv4 address is taken as it is, anything else is resolved by name; false (and nothing
  // changed) when the text is no link address, has a bad port, or names a host that does not resolve.
  bool SetAddress(const std::string& address) override;
  bool Connect() override;
  void PurgeInput() override;
  // Next byte; with an empty buffer waits up to the receive time-out for data and returns the first
  // byte received (0 when none came). A closed peer raises EConnectExcept.
  uint8_t ReadByte() override;
  // A closed peer raises EConnectExcept "Обрыв соединения" instead of looking like silence.
  bool WaitData(int polls) override;
  void Send(std::span<const uint8_t> bytes) override;

  // Bound on one connect attempt, in the clock's milliseconds.
  void SetConnectTimeoutMs(int ms) { connectTimeoutMs_ = ms; }

 private:
  bool ReuseSocket();
  // A new socket connected within the connect time-out; false (logged) otherwise.
  bool OpenConnection();
  // Raises EConnectExcept when the peer closed.
  int Refill() override;

  int connectTimeoutMs_ = kDefaultConnectTimeoutMs;
};

}  // namespace orvela
