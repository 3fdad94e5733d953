#pragma once
// UDP link (connection kind 2): datagrams to and from one device or converter.
// Address forms as ParseIpLinkAddress reads them; a missing or zero local port takes any free port.
// Release closes the socket only with the hold mark set: the framings release after every exchange, and
// a retried exchange of the same task must find the socket (and the replies queued on it) still there.
#include "links/SocketPort.h"

namespace orvela {

class TUdpConnectionPort : public TSocketPort {
 public:
  static constexpr int kPollMs = 1;

  explicit TUdpConnectionPort(TConnSettings* settings = nullptr, Clock& clock = SystemClock());
  ~TUdpConnectionPort() override;

  // Takes the address and both ports (range-checked); false and nothing changed when the text does not
  // fit. A new address closes the socket, so the next Connect binds the new local port.
  bool SetAddress(const std::string& address) override;
  // Binds a new socket to the local port; an open socket is kept. The socket is not tied to the remote:
  // converters may answer from another source port, so replies are filtered by the remote's address.
  bool Connect() override;
  // Drops the unread bytes and every datagram queued on the socket.
  void PurgeInput() override;
  // Next byte; with an empty buffer waits up to the receive time-out for a datagram and returns its
  // first byte (0 when none came).
  uint8_t ReadByte() override;
  bool WaitData(int polls) override;
  // One datagram to the remote; a failed send raises EWriteExcept.
  void Send(std::span<const uint8_t> bytes) override;

  const sockaddr_in& Local() const { return local_; }
  // The local port the socket is bound to (the one chosen by the system for local port 0); 0 unbound.
  int BoundPort() const;

 private:
  // Takes the waiting datagrams of the remote, dropping those of other senders; a datagram that does
  // not fit stays queued.
  int Refill() override;

  sockaddr_in local_{};
};

}  // namespace orvela
