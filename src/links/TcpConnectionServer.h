#pragma once
// Inbound GPRS link (connection kind 5): wakes the field modem with a voice call from the local GSM modem
// (or, for a wait-only connection, places no call), waits for the modem in the listener's table and then
// exchanges over the socket the modem connected with. Address: GSM modem port ":" telephone number; an
// empty port is a wait-only connection.
#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "links/ActiveCalls.h"
#include "links/AsyncTCP.h"
#include "links/GsmWakeUp.h"

namespace orvela {

class TTCPConnectionServer : public TConnectionDevice {
 public:
  static constexpr int kPollMs = 50;
  static constexpr int kLookMs = 500;
  static constexpr int64_t kReceiveTimeoutMs = 60'000;
  static constexpr int64_t kSendTimeoutMs = 20'000;
  // The longest wait for another wake-up call on the same GSM modem to end.
  static constexpr int64_t kBusyWaitMaxMs = 10 * 60'000;
  static constexpr int32_t kWaitOnlyMode = -2;
  static constexpr int kNoAnswerKept = 3;

  // The listener is the process's current one unless given.
  explicit TTCPConnectionServer(TConnSettings* settings = nullptr, Clock& clock = SystemClock(),
                                TCommBackend& backend = SystemCommBackend(),
                                std::shared_ptr<TAsyncTCP> listener = TAsyncTCP::Current(),
                                TActiveCalls& calls = ProcessActiveCalls());
  ~TTCPConnectionServer() override;

  // "PORT:NUMBER" or ":NUMBER"; false for a port no key can hold or a number that cannot be dialled.
  bool SetAddress(const std::string& address) override;
  bool Connect() override;
  // True while the modem's socket is held and its peer has not gone.
  bool CheckLink() override;
  // With the hold mark set: ends the modem's connection.
  void Release() override;
  // Ends the connection and forgets every free table entry of the number.
  void DropClient() override;
  int InCount() override { return buffer_.Count(); }
  int OutCount() override { return 0; }
  void PurgeInput() override;
  void PurgeOutput() override {}
  uint8_t ReadByte() override;
  bool SetHold(bool) override { return false; }
  // Raises EConnectExcept "Обрыв соединения" without a socket or when the modem went.
  bool WaitData(int polls) override;
  void Send(std::span<const uint8_t> bytes) override;
  // Keeps the socket only for a new module whose device did not answer, up to four reports in a row.
  int ReportFailure(int kind) override;
  std::string LastErrorText() override { return std::to_string(lastError_); }
  int SetLineParam(int, int) override { return 0; }

  // From another thread: ends a call or wait in progress.
  void RequestCancel() { cancelRequest_ = true; }
  bool WaitOnly() const;
  const std::string& Number() const { return number_; }
  const std::string& GsmPortName() const { return gsm_.PortName(); }
  bool HasSocket() const { return client_.has_value(); }

 private:
  enum class TLook { Found, NotFound, Cancelled, CallFailed };
  TLook WaitForModem(int64_t limitMs, bool showStatus);
  bool PlaceCall();
  // The event of a connect that found no modem; false.
  bool EndWithout(TLook look);
  bool WaitForFreeModem();
  bool Take();
  bool Stopping() const;
  void Event(const std::string& text);
  // Moves what the socket holds into the buffer; EConnectExcept when the modem went.
  int Refill();
  // The socket is no longer this link's (the table entry goes with it when forget is set).
  void LoseSocket(bool forget);
  [[noreturn]] void ConnectionLost();

  TGsmPort gsm_;
  std::shared_ptr<TAsyncTCP> listener_;
  TActiveCalls& calls_;
  std::optional<TMyClient> client_;
  QueueBuffer buffer_;
  std::string number_;
  std::string dialPrefix_;
  int lastError_ = 0;
  std::atomic<bool> cancelRequest_{false};
};

}  // namespace orvela
