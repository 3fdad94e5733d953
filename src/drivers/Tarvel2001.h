#pragma once
// Tarvel 2001 heat and gas meter over the XModem framing (or the closed-library framing, same messages).
// The meter reports its own tree; the tree controllers discover it through ReadBranchList, IsKnownPath and
// DescribeNode.
#include "drivers/TarvelDataModel.h"

namespace orvela {

class TTarvel2001 : public TTarvelDataModel {
 public:
  using TTarvelDataModel::TTarvelDataModel;

  void DescribeNode(const TIdPath& path, TNTreeData& node, std::string& name, int& kind) override;
  // Up to three attempts; raises ETarvelException when the third still brings no proper list.
  bool ReadBranchList(int length, std::span<const uint8_t> path, TRListData& list) override;
  // False (and the computer's time) unless a clock really came.
  bool ReadDeviceClock(uint8_t address, TDateTime& time) override;
  bool BuildTree(TNTreeData*) override { return false; }

  bool ReadArchiveAt(uint8_t address, uint8_t archive, TNTreeData* node, TPrbArray& result, TDateTime from,
                     uint8_t parameter, uint8_t branch) override;
  bool ReadCurrentAt(uint8_t address, uint8_t branch, int dataType, TPrbArray& result, int mode,
                     uint8_t parameter, uint8_t firstLevel) override;
  bool ReadTimerAt(uint8_t address, uint8_t valueId, int dataType, TPrbArray& result, int mode) override;
  // The whole ring of one archive column; value columns are matched against the date column kept in the
  // archive branch node and the dates are read again when the ring moved.
  bool FetchArchive(uint8_t address, uint8_t archive, uint8_t spare, TNTreeData* node, TPrbArray& result,
                    TDateTime from, uint8_t parameter, uint8_t branch) override;
  bool FetchCurrent(uint8_t address, uint8_t branch, int dataType, TPrbArray& result, int mode,
                    uint8_t parameter, uint8_t firstLevel) override;
  // Clock (9) and status (15) are answered from the device record's caches while their periods run.
  bool FetchTimer(uint8_t address, uint8_t valueId, int dataType, TPrbArray& result, int mode) override;
  bool SendArchiveRequest(uint8_t address, uint8_t archive, TBytes& buffer, uint8_t parameter,
                          uint8_t branch) override;

 private:
  // The date column in the answer buffer into a new date array, kept in the archive branch node.
  bool ReadDateColumn(const TArchiveBlock& block, TNTreeData* node, TPrbArray& result);
  // Decodes the value column held in the value-answer copy against a date array.
  bool DecodeValueColumn(const TArchiveBlock& block, const TPrbArray& dates, TNTreeData* node,
                         TPrbArray& result);
  // The answer's error line handed to the journal.
  void LogWrongAnswer(const std::string& prefix);
};

}  // namespace orvela
