#pragma once
// The byte pipe between a reader thread and one field device (or one bus of devices). Every kind of
// link offers the same operations, so framings and drivers never know which link they run on.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "links/ChannelLog.h"
#include "links/LinkExceptions.h"
#include "links/QueueBuffer.h"
#include "links/records/ConnRecords.h"
#include "platform/Clock.h"

namespace orvela {

using TBytes = std::vector<uint8_t>;

// The thread that owns a link; traces and window changes are run through its Synchronize.
class ILinkOwner {
 public:
  virtual ~ILinkOwner() = default;
  virtual void Synchronize(const std::function<void()>& fn) = 0;
};

// "Synchronise with the main thread or run here": through the owner's Synchronize when there is an
// owner, else at once on the calling thread (tools and tests run without one).
void RunInOwner(ILinkOwner* owner, const std::function<void()>& fn);

// Kinds of SetLineParam.
constexpr int kLineParamStopBits = 1;

// Failure kinds a framing reports through ReportFailure. The inbound GPRS link keeps its socket only for
// kFailNoAnswer, so a read that timed out (EReadExcept, EPriborReadExcept) must be reported as that kind:
// anything else costs a new wake-up call.
enum TFailureKind : int {
  kFailRead = 1,      // the connection was lost or the line failed (EConnectExcept, EPortExcept)
  kFailNoAnswer = 2,  // the device did not answer in time
  kFailWrite = 3,     // write failed (EWriteExcept)
  kFailPort = 4,  // the serial component failed, as the M-Bus framing says it; links treat it as kFailRead
};

class TConnectionDevice {
 public:
  // The settings record is shared by every link of the connection and is not owned.
  explicit TConnectionDevice(TConnSettings* settings = nullptr, Clock& clock = SystemClock());
  virtual ~TConnectionDevice();
  TConnectionDevice(const TConnectionDevice&) = delete;
  TConnectionDevice& operator=(const TConnectionDevice&) = delete;

  // --- The link operations. The base does nothing and answers false, 0 or "НЕТ". ---

  // True while the link is usable; a link that knows the line dropped raises EConnectExcept.
  virtual bool CheckLink();
  // Takes the link address; false when it cannot be used.
  virtual bool SetAddress(const std::string& address);
  // End of use; closes only while the hold mark is set (each link says otherwise where it differs).
  virtual void Release();
  // Bytes that can be read now without waiting.
  virtual int InCount();
  // Bytes not yet sent.
  virtual int OutCount();
  // Opens the port, socket or call; an already open one is success.
  virtual bool Connect();
  // Inbound server only: forget the calling modem's socket.
  virtual void DropClient();
  // Discards everything received and not read.
  virtual void PurgeInput();
  // Discards everything queued for sending.
  virtual void PurgeOutput();
  // Next received byte.
  virtual uint8_t ReadByte();
  // true: set the hold mark and open now; false: close now and clear it.
  virtual bool SetHold(bool hold);
  // Waits up to `polls` of the link's poll unit for received data; true when data is available.
  virtual bool WaitData(int polls);
  // Sends all bytes; with the connection's echo flag set, reads back and drops the echo.
  virtual void Send(std::span<const uint8_t> bytes);
  // Modem only: the owner thread for the dialling panel.
  virtual void AttachThread(ILinkOwner* thread);
  // Told by the framings when an exchange failed (TFailureKind).
  virtual int ReportFailure(int kind);
  // Serial links only.
  virtual int SetLineParam(int kind, int value);
  // Text for logs about the last failure.
  virtual std::string LastErrorText();

  // --- Marks and shared state. ---

  bool HoldMark() const { return hold_; }
  void SetHoldMark(bool hold) { hold_ = hold; }
  // When set, the data model that uses the link destroys it with itself.
  bool OwnedByModel() const { return ownedByModel_; }
  void SetOwnedByModel(bool owned) { ownedByModel_ = owned; }
  bool Connected() const { return connected_; }
  void SetConnected(bool connected) { connected_ = connected; }
  // Refills and bytes read from the port since the last clear.
  int32_t ReadCounter() const { return readCounter_; }
  void ClearReadCounter() { readCounter_ = 0; }
  // Failures reported while an inbound socket was kept; a framing clears it after a good exchange.
  int32_t NoAnswerCount() const { return noAnswerCount_; }
  void ClearNoAnswerCount() { noAnswerCount_ = 0; }
  // 1 old module, 2 new (set by the inbound server from the calling modem).
  int32_t ModuleKind() const { return moduleKind_; }
  void SetModuleKind(int32_t kind) { moduleKind_ = kind; }
  bool DataArrived() const { return dataArrived_ != 0; }

  TConnSettings* Settings() const { return settings_; }
  void SetSettings(TConnSettings* settings) { settings_ = settings; }
  // The connection order's channel log (not owned); nullptr writes nothing.
  IChannelLog* Order() const { return order_; }
  void SetOrder(IChannelLog* order) { order_ = order; }
  ILinkOwner* Owner() const { return owner_; }
  void SetOwner(ILinkOwner* owner) { owner_ = owner; }
  // The last address given to SetAddress.
  const std::string& Address() const { return address_; }
  Clock& GetClock() const { return clock_; }
  // The engine's shutdown flag (not owned): links that wait long end their waits when it rises.
  void SetShutdownFlag(const std::atomic<bool>* flag) { shutdownFlag_ = flag; }
  bool ShuttingDown() const { return shutdownFlag_ != nullptr && shutdownFlag_->load(); }

  // The connection's echo fields (shared by all links of the connection, written atomically).
  int32_t EchoFlag() const;
  int32_t EchoTested() const;

  // Writes a time-stamped line to the connection order's channel log, if there is one.
  void LogLine(const std::string& text);

 protected:
  // Finds once per connection whether the line returns every byte sent (half-duplex converters,
  // radio modems): sends FF FF FF and looks for it among what comes back, the meter's idle prompts
  // aside. Waits through the clock.
  void EchoTest();
  // Socket links: reads and drops n echoed bytes (up to 300 × WaitData(100), draining each time).
  // Returns the number of bytes dropped; a short echo is logged.
  size_t DropEcho(size_t n);
  // Byte traces into the channel log, run in the owner thread.
  void TraceReceived(uint8_t byte);
  void TraceSent(std::span<const uint8_t> bytes);
  void SetEchoFields(int32_t flag, int32_t tested);
  struct TEchoAnswer {
    size_t probeBytes = 0;    // probe bytes returned in order
    size_t prompts = 0;       // the meter's "C" prompts, ignored
    size_t foreignBytes = 0;  // anything else
  };
  TEchoAnswer CollectEchoAnswer();
  // WaitData(1), but always letting the clock move.
  bool WaitOnePoll();

  bool hold_ = false;
  bool ownedByModel_ = false;
  TBytes lastSent_;
  int32_t scratchCount_ = 0;
  int32_t dataArrived_ = 0;
  uint8_t lastByte_ = 0;
  TConnKey* ownKey_ = nullptr;
  TConnKey keyCopy_;
  int32_t moduleKind_ = 1;
  bool connected_ = false;
  TConnSettings* settings_ = nullptr;
  int32_t readCounter_ = 0;
  int32_t noAnswerCount_ = 0;
  ILinkOwner* owner_ = nullptr;
  std::string address_;
  std::string eventText_;
  std::string eventNumber_;
  std::string hangupCommand_;
  IChannelLog* order_ = nullptr;
  Clock& clock_;
  const std::atomic<bool>* shutdownFlag_ = nullptr;
};

// Hexadecimal trace texts: "0A" for a byte, "[ 01 02](2)" for sent data.
std::string HexByte(uint8_t byte);
std::string SentTraceText(std::span<const uint8_t> bytes);

}  // namespace orvela
