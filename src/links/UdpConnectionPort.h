#pragma once
// UDP link (connection kind 2): datagrams to and from one device or converter.
// Address forms as ParseIpLinkAddress reads them; a missing or zero local port takes any free port.
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
  // Takes the address and both ports (range-checked); false and nothing changed when the text does not
  // fit. A new address closes the socket, so the next Connect binds the new local port.
  bool SetAddress(const std::string& address) override;
  // Closes the socket only with the hold mark set: the framings release after every exchange, and a
  // retried exchange of the same task must find the socket (and the replies queued on it) still there.
  void Release() override;
  int InCount() override { return buffer_.Count(); }
  int OutCount() override { return 0; }
  // Binds a new socket to the local port; an open socket is kept. The socket is not tied to the remote:
  // converters may answer from another source port, so replies are filtered by the remote's address.
  bool Connect() override;
  // Drops the unread bytes and every datagram queued on the socket.
  void PurgeInput() override;
  void PurgeOutput() override {}
  // Next byte; with an empty buffer waits up to the receive time-out for a datagram and returns its
  // first byte (0 when none came).
  uint8_t ReadByte() override;
  bool SetHold(bool) override { return true; }
  bool WaitData(int polls) override;
  // One datagram to the remote; a failed send raises EWriteExcept.
  void Send(std::span<const uint8_t> bytes) override;

  const sockaddr_in& Remote() const { return remote_; }
  const sockaddr_in& Local() const { return local_; }
  // The local port the socket is bound to (the one chosen by the system for local port 0); 0 unbound.
  int BoundPort() const;

 private:
  void CloseSocket();
  // Moves the waiting datagrams of the remote behind the unread bytes, dropping those of other
  // senders; a datagram that does not fit stays queued. Returns the number of bytes added.
  int Refill();
  // Waits up to ms of the clock's time until the buffer holds bytes.
  bool FillWithin(int64_t ms);

  sockaddr_in local_{};
  sockaddr_in remote_{};
  QueueBuffer buffer_;
  int socket_ = -1;
};

}  // namespace orvela
