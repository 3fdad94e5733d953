#pragma once
// Tarvel M heat meter (and its Tarvel 011 variant) over the XModem framing or the closed-library framing;
// behind a ModBus converter the framing carries the same messages through its tunnel. The meter keeps up
// to four subsystems with their own current values and archives, an operative branch and a timer. The
// driver builds the device's tree itself, reads current values a whole branch at a time, and reads
// archives a whole record at a time or one parameter at a time (the server setting "ТАРВЕЛ-М").
#include "drivers/TarvelDataModel.h"
#include "drivers/TarvelMDecode.h"

namespace orvela {

class TMTreeWalk;

class TTarvelM : public TTarvelDataModel {
 public:
  TTarvelM(std::unique_ptr<TProtocol> framing, ILinkOwner* owner, TConnectionDevice* link);

  void DescribeNode(const TIdPath& path, TNTreeData& node, std::string& name, int& kind) override;
  // An answer holding the pair (26, 26) is no list of this meter.
  bool ReadBranchList(int length, std::span<const uint8_t> path, TRListData& list) override;
  bool ReadDeviceClock(uint8_t address, TDateTime& time) override;
  // Walks the meter and builds its tree under the device node through the tree builder, archives at the
  // top (default) or subsystems at the top ("Системы на верхнем уровне").
  bool BuildTree(TNTreeData* device) override;
  void PollDevice(uint8_t address) override;

  // Timer values, or the current values of a branch (a parameter node reads its branch and answers its
  // own entry).
  bool ReadCurrent(TPrbArray& result, TNTreeData* node, int mode) override;
  // A branch node (depth 2) is read a whole record at a time, a parameter node (depth 3) by its parameter
  // with the date column first: the tree built in either request mode reads the way it was built.
  bool ReadArchiveAt(uint8_t address, uint8_t archive, TNTreeData* node, TPrbArray& result, TDateTime from,
                     uint8_t parameter, uint8_t branch) override;
  bool ReadCurrentAt(uint8_t address, uint8_t branch, int dataType, TPrbArray& result, int mode,
                     uint8_t parameter, uint8_t firstLevel) override;
  bool ReadTimerAt(uint8_t address, uint8_t valueId, int dataType, TPrbArray& result, int mode) override;
  // One archive read with its repeat passes on bad dates: address, then the branch (archive) and the
  // subsystem in the meter's order; parameter 14 the date column, 255 whole records.
  bool FetchArchive(uint8_t address, uint8_t archive, uint8_t spare, TNTreeData* node, TPrbArray& result,
                    TDateTime from, uint8_t parameter, uint8_t subsystem) override;
  bool FetchTimer(uint8_t address, uint8_t valueId, int dataType, TPrbArray& result, int mode) override;

 private:
  // The archive message, up to three attempts a second apart; false when no archive answer came.
  bool SendArchiveRequestFrom(uint8_t address, uint8_t subsystem, uint8_t branch, uint8_t parameter,
                              TDateTime from);
  // Current values of the branch node's children in one exchange.
  bool FetchBranchCurrent(TNTreeData* branchNode, TPrbArray& result);
  // What decides which records are still being filled.
  TMArchiveContext ArchiveContext(uint8_t archive, bool operative) const;
  // The children of the branch the work item names (all of them without a work item).
  std::vector<size_t> WantedChildren(const TNTreeData* branchNode) const;
  bool RecordMode() const { return settings_.TarvelMRequestMode == 0; }

  friend class TMTreeWalk;

  // Bad-date state of the last decode.
  TMDateReport dates_;
};

}  // namespace orvela
