#pragma once
// A data model is the driver object of one device for one task: it turns the server's abstract operations
// (current values, archives, clock, serial number, tree discovery, line scan) into exchanges through its
// framing over a link. The plain TDataModel scans a line for the maker's devices.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "drivers/DriverRecords.h"
#include "drivers/Pribor.h"
#include "drivers/TarvelDecode.h"
#include "drivers/WorkItem.h"
#include "links/ChannelLog.h"
#include "links/ConnectionDevice.h"
#include "protocols/Protocol.h"
#include "tree/Settings.h"

namespace orvela {

struct TNTreeData;
struct TDateArrayCell;

// Task classes the reader thread sets.
constexpr uint8_t kTaskArchive = 0;
constexpr uint8_t kTaskCurrent = 1;

// Size of the answer buffers of the maker's protocol.
constexpr size_t kAnswerBufferSize = 65536;

// How a driver that builds its device's tree itself (BuildTree) reaches the tree: nodes live in the tree's
// arena and their standard leaves and the duplicate rules belong to the tree controllers.
class ITreeBuilder {
 public:
  virtual TNTreeData* CreateNode() = 0;
  virtual void AttachChild(TNTreeData* parent, TNTreeData* child) = 0;
  virtual void DetachChild(TNTreeData* parent, TNTreeData* child) = 0;
  // The standard leaves below a parameter (the tree controller's leaf sets).
  virtual void AddParameterLeaves(TNTreeData* node, int set) = 0;
  // True when the serial belongs to another device that stays (the operator may have it removed).
  virtual bool SerialTaken(const std::string& serial, const TNTreeData* device) = 0;
  // The operator's message box (error icon).
  virtual void ErrorMessage(const std::string& text) = 0;

 protected:
  ~ITreeBuilder() = default;
};

// What the process gives every data model; the factory wires it in, so no caller can forget a part.
struct TModelEnvironment {
  TSettings Settings{};
  bool English = false;                         // the file "english" next to the program
  const std::atomic<bool>* Shutdown = nullptr;  // the program's terminate flag (not owned)
  ITreeBuilder* TreeBuilder = nullptr;          // the tree controller adding a device (not owned)
};

// One request of the maker's protocol as a driver asks it, and how it is retried.
struct TDeviceRequest {
  uint8_t Function = 0;
  std::vector<uint8_t> Payload{};  // names the node: TIdPath::RequestPath
  int Attempts = 3;
  // Ends the retries: true when the answer is the one wanted (decode it here). Unset: any whole answer.
  std::function<bool(const TAnswer&)> Accept{};
  // Called with each whole answer of this request that Accept refused (the drivers' error lines).
  std::function<void(int attempt, const TAnswer&)> OnRefused{};
  // A reply too short to count as an exchange (a refusal, an empty list) is offered to Accept as well.
  bool AcceptShort = false;
  // A link that does not connect ends the request; otherwise it counts as a failed attempt.
  bool StopWhenNotConnected = true;
  // A failed Connect is tried once more after this pause (negative: not).
  int64_t ReconnectPauseMs = -1;
  // Pause after an attempt that brought no whole answer, before the next.
  int64_t RetryPauseMs = 0;
  // A port that failed (framing result -2) ends the request after this many attempts (0: never early).
  int PortFailureAttempts = 0;
  // Channel-log line before each attempt (empty: none).
  std::string AttemptTrace{};
  // Reader status texts around each exchange (empty: none).
  std::string StatusBefore{};
  std::string StatusAfter{};
};

// How the last attempt of a request ended.
enum class TAskState : uint8_t {
  NotConnected,  // the link did not connect
  NoReply,       // the exchange failed: nothing came
  Foreign,       // an answer came, but not to this request
  Short,         // a whole reply too short to count as an exchange
  Whole,         // a successful exchange
};

struct TDeviceReply {
  TAskState State = TAskState::NotConnected;
  bool Accepted = false;  // the last answer passed Accept
  bool Connected() const { return State != TAskState::NotConnected; }
  // An answer of this device came (whole or short).
  bool Arrived() const { return State == TAskState::Short || State == TAskState::Whole; }
};

class TDataModel {
 public:
  // The link is connected for one operation (or a run of them) and released once when the session ends,
  // on every path. Sessions nest: only the outermost releases, and only when it connected the link.
  class TLinkSession {
   public:
    explicit TLinkSession(TDataModel& model);
    ~TLinkSession();
    TLinkSession(const TLinkSession&) = delete;
    TLinkSession& operator=(const TLinkSession&) = delete;
    // Connects the link (an open link stays open); a failure is retried once after pauseMs when it is
    // not negative.
    bool Connect(int64_t pauseMs = -1);

   private:
    TDataModel& model_;
  };

  // Gives the framing its link (not owned unless adopted). The owner thread (may be null) runs the journal
  // hand-over on the main thread.
  TDataModel(std::unique_ptr<TProtocol> framing, ILinkOwner* owner, TConnectionDevice* link);
  // The model keeps the link it runs on and destroys it after its framing (the tree controllers' models).
  void AdoptLink(std::unique_ptr<TConnectionDevice> link);
  bool OwnsLink() const { return ownedLink_ != nullptr; }
  virtual ~TDataModel();
  TDataModel(const TDataModel&) = delete;
  TDataModel& operator=(const TDataModel&) = delete;

  // --- Operations. Those a family does not provide answer false (or an empty name); no caller reaches
  // them for such a family. ---

  // Fills a fresh node for the path; an empty name means the driver has no such node. kind: 2 for a
  // current-data or error-archive parameter, 0 otherwise.
  virtual void DescribeNode(const TIdPath& path, TNTreeData& node, std::string& name, int& kind);
  // Network addresses of the maker's devices on the line.
  virtual bool ReadDeviceList(TRListData& list);
  // Which model answers at an address (1 Tarvel M, 2 Tarvel 2001, 3 Tarvel F); model is left alone when
  // the answer names none.
  virtual bool IdentifyDevice(uint8_t address, uint8_t& model);
  // One raw exchange: header 0, function, payload length, then the first `length` payload bytes.
  virtual bool SendCommand(uint8_t function, uint16_t length, TBytes& answer,
                           std::span<const uint8_t> payload);
  // Children of a node as the device reports them; path is the request payload naming the node.
  virtual bool ReadBranchList(int length, std::span<const uint8_t> path, TRListData& list);
  virtual bool ReadSerialNumber(uint8_t address, std::string& text);
  virtual bool ReadArchive(TPrbArray& result, TNTreeData* node, TDateTime from);
  virtual bool ReadCurrent(TPrbArray& result, TNTreeData* node, int mode);
  virtual bool WriteCurrent(TPrbArray& result, TNTreeData* node, int mode);
  virtual bool IsKnownPath(const TIdPath& path);
  virtual bool ReadDeviceClock(uint8_t address, TDateTime& time);
  virtual bool BuildTree(TNTreeData* device);
  virtual void PollDevice(uint8_t address);

  // --- What the caller sets before the operations. ---

  TProtocol* Framing() const { return framing_.get(); }
  TConnectionDevice* Link() const { return link_; }
  ILinkOwner* Owner() const { return owner_; }
  TPribor* Device() const { return device_; }
  void SetDevice(TPribor* device) { device_ = device; }
  IChannelLog* Order() const { return order_; }
  void SetOrder(IChannelLog* order) { order_ = order; }
  TNTreeData* RequestedNode() const { return requested_; }
  void SetRequestedNode(TNTreeData* node) { requested_ = node; }
  // The work item being carried out (not owned); some drivers set its read result themselves.
  TDescThread* WorkItem() const { return workItem_; }
  void SetWorkItem(TDescThread* item) { workItem_ = item; }
  uint8_t TaskClass() const { return taskClass_; }
  void SetTaskClass(uint8_t taskClass) { taskClass_ = taskClass; }
  // The reader thread's list of date-array cells filled during this task.
  void SetArchiveDates(std::vector<TDateArrayCell*>* cells) { archiveDates_ = cells; }
  // Settings, naming and the terminate flag at once (the factory does it).
  void SetEnvironment(const TModelEnvironment& environment);
  // The server settings the drivers consult (periods, "Вести журнал"); a copy is kept.
  void SetSettings(const TSettings& settings) { settings_ = settings; }
  const TSettings& Settings() const { return settings_; }
  // English naming of the nodes (the file "english" next to the program).
  void SetEnglish(bool english) { english_ = english; }
  bool English() const { return english_; }
  int32_t ReadyMark() const { return readyMark_; }
  void SetReadyMark(int32_t mark) { readyMark_ = mark; }
  const std::string& LogText() const { return logLine_; }

 protected:
  // Writes the line and hands it to the journal (second column: the device's serial number), on the main
  // thread through the owner when there is one.
  void HandOverLogLine(const std::string& text);
  // A line in the connection order's channel log, and its reader status text.
  void Trace(const std::string& text);
  void SetStatusText(const std::string& text);
  bool ShuttingDown() const { return framing_->ShuttingDown(); }
  Clock& GetClock() const { return link_->GetClock(); }
  // The device name the log lines carry.
  std::string DeviceName() const;
  // The one exchange of every driver: a link session around up to request.Attempts exchanges of the
  // maker's protocol, until one brings an answer Accept takes. The answer lands in answer_ (Answer()).
  TDeviceReply AskDevice(const TDeviceRequest& request);
  // The answer of the last exchange (cut to its length); empty unless it was whole or short.
  TAnswer Answer() const { return answerArrived_ ? TAnswer::InBuffer(answer_) : TAnswer(); }
  // The answer buffer as the drivers' error lines show it.
  std::string DumpAnswer() const;
  // Sets the work item's read result (the drivers that report success through it).
  void ReportReadDone();
  // Remembers a date-array cell filled during this task.
  void NoteArchiveDates(TDateArrayCell* cell);

  std::vector<uint8_t> scratch_;  // used by the Tarvel M driver
  TBytes answer_;                 // every exchange lands here
  bool answerArrived_ = false;
  int32_t readyMark_ = 1;
  std::string logLine_;
  TPribor* device_ = nullptr;
  std::unique_ptr<TConnectionDevice> ownedLink_;  // declared before the framing: destroyed after it
  std::unique_ptr<TProtocol> framing_;
  TConnectionDevice* link_ = nullptr;
  ILinkOwner* owner_ = nullptr;
  IChannelLog* order_ = nullptr;
  TNTreeData* requested_ = nullptr;
  TDescThread* workItem_ = nullptr;
  uint8_t taskClass_ = kTaskCurrent;
  uint8_t spare_ = 0;  // the Tarvel M driver's dates-owned mark
  std::vector<TDateArrayCell*>* archiveDates_ = nullptr;
  TSettings settings_{};
  bool english_ = false;
  ITreeBuilder* treeBuilder_ = nullptr;

 private:
  // One attempt: connect, exchange, and what came.
  TAskState AskOnce(TLinkSession& session, const TDeviceRequest& request, std::span<const uint8_t> message);

  int sessionDepth_ = 0;
  bool sessionConnected_ = false;
};

}  // namespace orvela
