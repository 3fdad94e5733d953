#pragma once
// What the socket links (TCP client, UDP) share: the remote address taken from the link address, one
// socket opened with the links' options, the receive buffer and the wait that fills it in the clock's time.
#include <netinet/in.h>

#include <optional>

#include "links/ConnectionDevice.h"
#include "links/records/LinkAddress.h"

namespace orvela {

class TSocketPort : public TConnectionDevice {
 public:
  static constexpr int kSocketBufferBytes = 2048;
  static constexpr int kReceiveTimeoutMs = 2000;

  ~TSocketPort() override;

  bool CheckLink() override { return true; }
  // Closes the socket only with the hold mark set.
  void Release() override;
  int InCount() override { return buffer_.Count(); }
  int OutCount() override { return 0; }
  void PurgeOutput() override {}
  bool SetHold(bool) override { return true; }

  // The remote address in use (network byte order inside).
  const sockaddr_in& Remote() const { return remote_; }
  bool HasSocket() const { return socket_ >= 0; }

 protected:
  // shutdownOnClose: shut both directions down before closing (a stream's peer sees the end at once).
  TSocketPort(TConnSettings* settings, Clock& clock, bool shutdownOnClose);

  // Parses the link address and resolves its host into the remote, and keeps the text as the link's
  // address; nullopt and nothing changed when the text is no link address or the host does not resolve.
  // logLookUp: log a host that does not resolve and the address a name was resolved to.
  std::optional<TIpLinkAddress> TakeRemote(const std::string& address, bool logLookUp);
  // A new socket of the type with the links' buffer sizes and time-outs; false (logged) when none.
  bool OpenSocket(int type);
  // Closes the socket; the link is no longer connected.
  void CloseSocket();

  // Moves what the socket holds behind the unread bytes (at most the buffer's room); returns the number
  // of bytes added.
  virtual int Refill() = 0;
  // Waits up to ms of the clock's time until the buffer holds bytes; what is already buffered or queued
  // counts at once. False at once without a socket.
  bool FillWithin(int64_t ms);

  int socket_ = -1;
  sockaddr_in remote_{};
  QueueBuffer buffer_;

 private:
  bool shutdownOnClose_;
};

}  // namespace orvela
