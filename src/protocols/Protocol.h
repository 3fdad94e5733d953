#pragma once
// Base of all framings: turns one request of a driver into bytes on a link and one reply back, with
// the device protocol's frame format, check sum, hand-shake, retries and time-outs. A framing is used
// by one reader thread only.
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "links/ConnectionDevice.h"
#include "platform/DateTime.h"

namespace orvela {

// The framing's result code when the port failed before the link delivered a byte.
constexpr int kResultPortFailure = -2;

// Store of exchange entries (the journal database's channel-trace table). Installed process-wide by
// the engine when the exchange journal is switched on; nullptr (the default) keeps no entries.
class IExchangeJournal {
 public:
  virtual ~IExchangeJournal() = default;
  // direction 0 = request sent, 1 = reply received.
  virtual void DebugTrace(const std::string& connection, const std::string& device, const TBytes& bytes,
                          int direction, const std::string& result, TDateTime start, TDateTime end) = 0;
};
IExchangeJournal* CurrentExchangeJournal();
void SetExchangeJournal(IExchangeJournal* journal);

// The global request number shown in the framings' log lines; the reader thread advances it.
int64_t CurrentRequestNumber();
int64_t NextRequestNumber();

// Per-framing tallies of exchanges and of failures by class.
struct TExchangeCounters {
  int64_t requests = 0;
  int64_t successes = 0;
  int64_t writeFailures = 0;     // EWriteExcept
  int64_t readFailures = 0;      // EReadExcept
  int64_t connectionLosses = 0;  // EConnectExcept
  int64_t portFailures = 0;      // EPortExcept
  int64_t noAnswers = 0;         // EPriborReadExcept
};

// The exchange skeleton is written once here (Exchange): purges, counters, the request's log line, status
// texts, time stamps, failure recording, the exchange journal, shutdown and the overall deadline. A framing
// supplies SendFrame, ReceiveFrame and CheckReply, and says how long an exchange may take.
class TProtocol {
 public:
  // name starts the request's log line ("XModem. Запрос № …").
  explicit TProtocol(std::string name = {}) : name_(std::move(name)) {}
  virtual ~TProtocol() = default;
  TProtocol(const TProtocol&) = delete;
  TProtocol& operator=(const TProtocol&) = delete;

  // --- Framing operations (the base answers false / -1 / nothing where a framing has none). ---

  virtual void SetLink(TConnectionDevice* link) { link_ = link; }
  // One request, reply into buffer. XModem and the closed-library framing.
  virtual bool Request(std::span<const uint8_t> request, TBytes& buffer);
  // One transaction with a transaction code; 0 on success, negative on failure. Register framings.
  virtual int Transact(int code, std::span<const uint8_t> request, TBytes& buffer);
  // Bytes straight onto the link.
  virtual void SendRaw(std::span<const uint8_t> bytes);
  // One byte from the link as a one-character text, empty when none came.
  virtual std::string ReadRawByte();
  // One request frame out and the reply frames back; both raise the link exceptions on failure and end
  // every wait through Poll.
  virtual void SendFrame(std::span<const uint8_t> request);
  virtual void ReceiveFrame(TBytes& reply);

  // --- State of the last exchange. ---

  TConnectionDevice* Link() const { return link_; }
  // 0 after a normal exchange; kResultPortFailure when the port failed before the link delivered a byte.
  int ResultCode() const { return resultCode_; }
  // True when the last Request brought a whole reply into its buffer, even one too short to count as a
  // successful exchange (a meter's short refusal or empty list).
  bool ReplyArrived() const { return replyArrived_; }
  // Appended to the request's log line.
  void SetDescription(const std::string& text) { description_ = text; }
  const std::string& Description() const { return description_; }
  // The device's identity (serial) for the exchange journal; set by the reader thread.
  void SetDeviceIdentity(const std::string& text) { deviceIdentity_ = text; }
  const std::string& DeviceIdentity() const { return deviceIdentity_; }
  const std::string& SendStatus() const { return sendStatus_; }
  const std::string& ReceiveStatus() const { return receiveStatus_; }
  TDateTime SendStart() const { return sendStart_; }
  TDateTime SendEnd() const { return sendEnd_; }
  TDateTime ReceiveStart() const { return receiveStart_; }
  TDateTime ReceiveEnd() const { return receiveEnd_; }
  TDateTime FirstByteTime() const { return firstByteTime_; }
  const TExchangeCounters& Counters() const { return counters_; }
  // The reply of the last exchange as the frames brought it (header and data, fill included).
  const TBytes& LastReply() const { return reply_; }

  // The program's terminate flag: every wait loop ends quietly once it is set (not owned).
  void SetShutdownFlag(const std::atomic<bool>* flag) { shutdown_ = flag; }
  bool ShuttingDown() const { return shutdown_ != nullptr && shutdown_->load(); }
  void SetOwner(ILinkOwner* owner) { owner_ = owner; }

 protected:
  // Wait loops end by these: the program shuts down (the exchange returns false quietly), or the
  // exchange's deadline passed (recorded as a failure of the side that was running). Kept apart from the
  // link exceptions so that no wait that takes a time-out as an answer can swallow them.
  struct EShutdownStop {};
  struct EDeadlinePassed {};

  // The template method: one request out, its reply into reply_. False on a recorded failure or shutdown.
  bool Exchange(std::span<const uint8_t> request);
  // Exchange, Release, and the reply's maker message into an answer buffer (the framings that carry the
  // maker's messages answer Request with it).
  bool MakerRequest(std::span<const uint8_t> request, TBytes& buffer);
  // A whole reply that cannot be an answer raises EReadExcept. The base accepts everything.
  virtual void CheckReply(const TBytes& reply);
  // Milliseconds one exchange may take as a whole, from its start.
  virtual int64_t ExchangeBudgetMs() const;
  // Moves the deadline to budgetMs after the exchange's start (a framing that learns the reply's length).
  void ArmDeadline(int64_t budgetMs);
  // Every wait loop passes here: raises EShutdownStop or EDeadlinePassed.
  void Poll();
  // Up to `attempts` × (Poll, CheckLink, a waiting byte or WaitData(pollUnits)); none when nothing came.
  std::optional<uint8_t> ReadBytePolled(int attempts, int pollUnits);
  // The connection's line speed in bit/s; 0 when it names none.
  int32_t LineSpeed() const;

  // The clock of the link (the framing waits in the link's time).
  Clock& GetClock() const;
  TDateTime Now() const;
  // Takes the connection order and the link address from the link at the start of a request.
  void BeginExchange();
  // Lines and status text for the connection order taken at the start of the request.
  void Log(const std::string& text);
  void SetStatus(const std::string& text);
  // Sleeps in the link's clock; false when the program shuts down meanwhile.
  bool Sleep(int64_t ms);
  // Counts a failure by its class, sets the matching end time and status text, copies the message to
  // the channel log when it is on, and tells the link the failure kind. Returns the kind.
  int RecordFailure(const ELinkError& error);
  // The two exchange journal entries of one transaction (the reply only when the request was sent).
  void JournalExchange(const TBytes& request, const TBytes& reply, bool sent);

  TConnectionDevice* link_ = nullptr;
  int resultCode_ = 0;
  bool replyArrived_ = false;
  IChannelLog* order_ = nullptr;
  ILinkOwner* owner_ = nullptr;
  std::string linkAddress_;
  std::string deviceIdentity_;
  std::string journalData_;
  std::string sendStatus_;
  std::string receiveStatus_;
  TDateTime sendStart_ = 0, sendEnd_ = 0, receiveStart_ = 0, receiveEnd_ = 0, firstByteTime_ = 0;
  std::string description_;
  TExchangeCounters counters_;
  const std::atomic<bool>* shutdown_ = nullptr;
  TBytes reply_;

 private:
  // The failure of one exchange, recorded against the side that was running.
  void RecordDeadline();

  std::string name_;
  int64_t exchangeStart_ = 0;
  int64_t deadline_ = 0;
  bool sending_ = false;
};

}  // namespace orvela
