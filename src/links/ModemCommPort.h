#pragma once
// Dial-up modem link (connection kind 1): a Hayes-compatible modem on a local serial port, set up with AT
// commands in numeric-answer mode, dialling the device's number, watching the carrier for the whole call
// and hanging up with the escape sequence and the hang-up command.
#include <atomic>
#include <optional>
#include <string>

#include "links/CommPort.h"

namespace orvela {

// Dialling parameters of one call.
struct TPreambule {
  uint8_t Kind = 0;
  uint8_t Flags = 0;  // bit 0: the number must be dialled
  std::string PortName;
  std::string Number;
  std::string Spare;
  int32_t BaudRate = 0;
  int32_t Spare2 = 0;
  std::string Init;
  std::string DialPrefix;
};

// The code of one answer line of a modem: digits (numeric answers) or a verbose answer such as "NO CARRIER";
// nullopt for the echo of a command line, -1 for anything else.
std::optional<int> AnswerCode(std::string_view line);

// Reads one answer of a modem on the port (numeric or verbose, command echoes skipped); nullopt when the
// modem stays silent for polls.
std::optional<int> ReadModemAnswer(TCommPort& port, int polls);

// What one dial attempt ended with.
enum TDialOutcome : int { kDialFailed = 0, kDialConnected = 1, kDialCancelled = 2 };

class TModemCommPort : public TCommPort {
 public:
  // The escape sequence's guard: silence before and after "+++".
  static constexpr int kEscapeGuardMs = 1000;
  static constexpr int kDialAttempts = 5, kHangupAttempts = 5, kEscapeTries = 3;
  static constexpr int kAnswerPolls = 300;
  static constexpr int kDialIdleTurns = 101;
  static constexpr int kCarrierCheckMs = 3000;

  explicit TModemCommPort(TConnSettings* settings = nullptr, Clock& clock = SystemClock(),
                          TCommBackend& backend = SystemCommBackend());
  ~TModemCommPort() override;

  // "PORT:NUMBER". Opens the port as a test; false (old port kept) when it cannot be opened.
  bool SetAddress(const std::string& address) override;
  bool Connect() override;
  // Raises EConnectExcept "Обрыв соединения" once the carrier of this link's call dropped.
  bool CheckLink() override;
  void Release() override;
  int ReportFailure(int) override { return 0; }
  void AttachThread(ILinkOwner* thread) override { owner_ = thread; }

  // From another thread (the dialling panel, a shutdown): stops a dial in progress.
  void RequestCancel() { cancelRequest_ = true; }
  // The panel's buttons: 1 redial, 2 cancel.
  void SetDialRequest(int request) { dialRequest_ = request; }

  // 1 connected, -1 every attempt failed, -2 cancelled.
  int Dial();
  // Ends this link's call (escape, hang-up command, DTR off).
  void Hangup();

  const std::string& ConnectedNumber() const { return connectedNumber_; }
  bool Online() const { return online_; }
  bool Cancelled() const { return cancelled_; }
  // The carrier as the port reports it, or as the modem's answers and the port's state say where the
  // port has no carrier-detect line.
  bool CarrierUp();

  // As the line link, and an answer that reports the carrier lost ends the call.
  uint8_t ReadByte() override;

 private:
  int DialOnce();
  // The first answer to dialling: a result code, a carrier seen on the line, or the idle end.
  int AwaitDialAnswer();
  int SettleAnswer(int code);
  // Sends an AT command with CR LF.
  void Command(const std::string& text);
  // Reads the modem's answer (numeric or verbose, command echoes skipped); nullopt when the modem stays
  // silent for polls.
  std::optional<int> ReadAnswerCode(int polls);
  // 1 on OK (the event goes to the log and journal), 0 on another answer or silence. amidData: the far
  // end's bytes may come before the answer.
  int ExpectOk(const std::string& text, bool amidData = false);
  std::optional<int> AnswerAmidData(int polls);
  void ModemEchoOff();
  void ReadExtendedError();
  bool Escape();
  void HangupAndClose();
  void Event(const std::string& text, bool timeStamped = true);
  void LoseCarrier();
  void CancelDial();
  // Clears every mark of a call.
  void ForgetCall();
  // Drops the modem's NO CARRIER answer that ends a call on a port without carrier detect.
  bool AcceptChunk(std::span<const uint8_t> bytes) override;

  TPreambule preambule_;
  std::string connectedNumber_;
  std::string init_;
  bool online_ = false;
  bool cancelled_ = false;
  bool called_ = false;
  bool carrier_ = false;
  bool dialling_ = false;
  // Ports without carrier detect: the carrier as the modem's answers left it.
  bool answerCarrier_ = false;
  std::atomic<bool> cancelRequest_{false};
  std::atomic<int> dialRequest_{0};
};

}  // namespace orvela
