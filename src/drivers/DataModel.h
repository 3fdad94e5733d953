#pragma once
// A data model is the driver object of one device for one task: it turns the server's abstract operations
// (current values, archives, clock, serial number, tree discovery, line scan) into exchanges through its
// framing over a link. The plain TDataModel scans a line for the maker's devices.
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "drivers/DriverRecords.h"
#include "drivers/Pribor.h"
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

class TDataModel {
 public:
  // Gives the framing its link; the link is destroyed with the model only while its owned-by-model mark is
  // set. The owner thread (may be null) runs the journal hand-over on the main thread.
  TDataModel(std::unique_ptr<TProtocol> framing, ILinkOwner* owner, TConnectionDevice* link);
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
  uint8_t TaskClass() const { return taskClass_; }
  void SetTaskClass(uint8_t taskClass) { taskClass_ = taskClass; }
  // The reader thread's list of date-array cells filled during this task.
  void SetArchiveDates(std::vector<TDateArrayCell*>* cells) { archiveDates_ = cells; }
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
  // One exchange of the maker's protocol: header 0, function, payload length, payload; the reply lands in
  // answer.
  bool Exchange(uint8_t function, std::span<const uint8_t> payload, TBytes& answer);
  // Remembers a date-array cell filled during this task.
  void NoteArchiveDates(TDateArrayCell* cell);

  std::vector<uint8_t> scratch_;  // used by the Tarvel M driver
  int32_t readyMark_ = 1;
  std::string logLine_;
  TPribor* device_ = nullptr;
  std::unique_ptr<TProtocol> framing_;
  TConnectionDevice* link_ = nullptr;
  ILinkOwner* owner_ = nullptr;
  IChannelLog* order_ = nullptr;
  TNTreeData* requested_ = nullptr;
  uint8_t taskClass_ = kTaskCurrent;
  uint8_t spare_ = 0;  // the Tarvel M driver's dates-owned mark
  std::vector<TDateArrayCell*>* archiveDates_ = nullptr;
  TSettings settings_{};
  bool english_ = false;
};

}  // namespace orvela
