#pragma once
// UDP link (connection kind 2): datagrams to and from one device or converter.
// Address form "IPv4:remote port:local port"; local port 0 takes any free port.
#include <netinet/in.h>

#include "links/ConnectionDevice.h"

namespace orvela {

class TUdpConnectionPort : public TConnectionDevice {
 public:
  static constexpr int kPollMs = 1;
  static constexpr int kSocketBufferBytes = 2048;
  static constexpr int kReceiveTimeoutMs = 2000;

  explicit TUdpConnectionPort(TConnSettings* settings = nullptr, Clock& clock = SystemClock());
  ~TUdpConnectionPort() override;

  bool CheckLink() override { return true; }
  // Both ports are parsed and range-checked; false and nothing changed when the text does not fit.
  bool SetAddress(const std::string& address) override;
  // Closes the socket whatever the hold mark.
  void Release() override;
  int InCount() override { return buffer_.Count(); }
  int OutCount() override { return 0; }
  // New socket bound to the local port and tied to the remote, so only its datagrams are received.
  bool Connect() override;
  void PurgeInput() override;
  void PurgeOutput() override {}
  // Next byte; with an empty buffer waits up to the receive time-out for a datagram and returns its
  // first byte (0 when none came).
  uint8_t ReadByte() override;
  bool SetHold(bool) override { return true; }
  bool WaitData(int polls) override;
  // One datagram; a failed send raises EWriteExcept.
  void Send(std::span<const uint8_t> bytes) override;

  const sockaddr_in& Remote() const { return remote_; }
  const sockaddr_in& Local() const { return local_; }
  // The local port the socket is bound to (the one chosen by the system for local port 0).
  int BoundPort() const;

 private:
  void CloseSocket();
  // Receives one waiting datagram behind the unread bytes; returns its length (0 when none).
  int Refill();

  sockaddr_in local_{};
  sockaddr_in remote_{};
  QueueBuffer buffer_;
  int socket_ = -1;
};

}  // namespace orvela
