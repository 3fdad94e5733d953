#pragma once
// Family base of the maker's self-describing meters: nodes are named by their id paths, every exchange
// lands in one answer buffer, and archive value columns are time-stamped against the date column kept in
// the archive branch node.
#include <memory>

#include "drivers/DataModel.h"
#include "drivers/TarvelDecode.h"

namespace orvela {

class TTarvelDataModel : public TDataModel {
 public:
  TTarvelDataModel(std::unique_ptr<TProtocol> framing, ILinkOwner* owner, TConnectionDevice* link);

  // Both turn the node into its four-id path: id 0 the node, 1 its parent, 2 the grandparent, 3 the
  // great-grandparent.
  bool ReadArchive(TPrbArray& result, TNTreeData* node, TDateTime from) override;
  // Nodes under the timer (id 1 is 17 or 24) are timer reads, everything else a current-value read.
  bool ReadCurrent(TPrbArray& result, TNTreeData* node, int mode) override;
  // One exchange in a link session; the answer is copied to `answer` when that is not the answer buffer.
  bool SendCommand(uint8_t function, uint16_t length, TBytes& answer,
                   std::span<const uint8_t> payload) override;
  // The serial-number request the family's meters share; false unless eight characters really came.
  bool ReadSerialNumber(uint8_t address, std::string& text) override;
  // A path is known when the family's DescribeNode names it.
  bool IsKnownPath(const TIdPath& path) override;

  // --- Family operations. ---
  virtual bool ReadArchiveAt(uint8_t address, uint8_t archive, TNTreeData* node, TPrbArray& result,
                             TDateTime from, uint8_t parameter, uint8_t branch);
  virtual bool ReadCurrentAt(uint8_t address, uint8_t branch, int dataType, TPrbArray& result, int mode,
                             uint8_t parameter, uint8_t firstLevel);
  virtual bool ReadTimerAt(uint8_t address, uint8_t valueId, int dataType, TPrbArray& result, int mode);
  virtual bool FetchArchive(uint8_t address, uint8_t archive, uint8_t spare, TNTreeData* node,
                            TPrbArray& result, TDateTime from, uint8_t parameter, uint8_t branch);
  virtual bool FetchCurrent(uint8_t address, uint8_t branch, int dataType, TPrbArray& result, int mode,
                            uint8_t parameter, uint8_t firstLevel);
  virtual bool FetchTimer(uint8_t address, uint8_t valueId, int dataType, TPrbArray& result, int mode);
  virtual bool SendArchiveRequest(uint8_t address, uint8_t archive, TBytes& buffer, uint8_t parameter,
                                  uint8_t branch);

 protected:
  // The children of a node: up to three attempts; raises ETarvelException when the third still brings no
  // proper list. trace is the channel-log line before each attempt.
  bool AskBranchList(int length, std::span<const uint8_t> path, TRListData& list, const std::string& trace);
  // Attribute 1 of a node as an integer data type (0 without a node).
  static int DataTypeOf(const TNTreeData* node);
  // The device clock at a timer path: false (and the computer's time) unless a clock really came; a
  // failed Connect is tried once more after a short pause.
  bool AskDeviceClock(const TIdPath& clockPath, TDateTime& time);
  // A timer value (clock 9, status 15, the dates) at its path. The clock and the status are answered
  // from the device record's caches while their periods run; a read fills the caches.
  bool AskTimerValue(const TIdPath& valuePath, uint8_t valueId, TPrbArray& result);
  // Whether a timer value is to be read from the device now (false: the cache answers).
  bool TimerReadDue(uint8_t valueId) const;

  // First id of the serial number's place in the meter's tree (the models differ only there).
  uint8_t serialBranch_ = 0x41;
  TBytes dateAnswer_;
  TBytes valueAnswer_;
  TBytes fourth_;  // used by the Tarvel M driver
  std::shared_ptr<TPrbArray> currentDates_;
};

}  // namespace orvela
