#pragma once
// The Orlix heat meter over ModBus RTU: a seven-register request block written to holding registers 0 to 6
// prepares the answer the driver then reads from the input registers (current values, configuration, one
// archive record at a time). Up to six subsystems, each with a status word, an operating time and up to
// eight parameters named by the meter itself. TKOrlix_XM is the same meter configured on XModem: no data.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "drivers/OrlixDataModel.h"

namespace orvela {

namespace orlix {
inline constexpr int kSubsystems = 6;
inline constexpr int kPositions = 8;
// Registers of one subsystem block: status word, operating time, eight values.
inline constexpr uint16_t kBlockRegisters = 20;
// Registers of an archive record's date, before the subsystem blocks.
inline constexpr uint16_t kRecordDateRegisters = 2;
inline constexpr uint16_t kCurrentStart = 258;
inline constexpr uint16_t kRecordStart = 256;
// Node id of a parameter: its position after the status word (0) and the operating time (1).
inline constexpr uint8_t kFirstParameterId = 2;

// A name from a configuration entry b0 b1 b2 b3: b1, then b0, b3, b2 lower-cased with the direction
// marks spelled out; empty for an empty entry (b1 0 or 0xFF).
std::string ConfigName(std::span<const uint8_t> entry, bool english);
// Four-bit status of parameter position k in a status word (current and archive reads differ).
int ParameterStatus(uint32_t word, int position, bool archive);
// The time of an archive record from its first four reply bytes; none for an undecodable date or a code
// without record times.
std::optional<TDateTime> RecordTime(std::span<const uint8_t> date, uint8_t archiveCode);
}  // namespace orlix

class TKOrlix_MB : public TOrlixDataModel {
 public:
  using TOrlixDataModel::TOrlixDataModel;

  bool ReadSerialNumber(uint8_t address, std::string& text) override;
  bool ReadDeviceClock(uint8_t address, TDateTime& time) override;
  bool BuildTree(TNTreeData* device) override;
  bool ReadNodeValue(TPrbArray& result) override;
  bool ReadNodeValueSplit(TPrbArray& result) override;
  bool ReadTimerValue(TPrbArray& result) override;
  bool WriteClock(TPrbArray& result) override;
  bool ReadNodeArchive(TPrbArray& result) override;
  bool ReadNodeArchiveSplit(TPrbArray& result) override;

  // What BuildTree learnt from the meter.
  struct TSubsystemConfig {
    std::vector<int> positions;      // non-empty entries, in order
    std::vector<std::string> names;  // their names
  };
  const std::array<TSubsystemConfig, orlix::kSubsystems>& Configuration() const { return config_; }
  bool Integrator() const { return integrator_; }

 private:
  // Subsystems a read covers: from the work item's parameters, else every subsystem below the node.
  struct TScope {
    int lowest = -1;
    int highest = -1;
  };
  TScope ScopeOf(const TNTreeData* branch) const;
  bool ReadDate(uint16_t start, const char* description, TDateTime& date);
  bool ReadConfiguration(int& failure);
  // Current values of subsystems [lowest, highest] from their blocks (subsystem `first` first).
  void DecodeCurrent(const std::vector<uint8_t>& blocks, int first, TScope scope, TPrbArray& result) const;
  bool ReadCurrentBlocks(TScope scope, bool split, std::vector<uint8_t>& blocks);
  bool ReadCurrentValues(bool split, TPrbArray& result);

  struct TArchiveRequest;
  struct TRecord {
    TDateTime time = 0;
    std::vector<uint8_t> bytes;  // date registers, then the subsystem blocks
  };
  bool ReadArchiveRecords(bool split, TPrbArray& result);
  bool WriteArchiveBlock(const TArchiveRequest& request, TDateTime date);
  bool SearchRecords(const TArchiveRequest& request, std::vector<TRecord>& records);
  bool CompleteRecords(const TArchiveRequest& request, std::vector<TRecord>& records);
  void DecodeArchive(const TArchiveRequest& request, const std::vector<TRecord>& records, TPrbArray& result);

  std::array<TSubsystemConfig, orlix::kSubsystems> config_{};
  bool integrator_ = false;
};

class TKOrlix_XM : public TOrlixDataModel {
 public:
  using TOrlixDataModel::TOrlixDataModel;
  // One XModem request; the meter tells nothing on this framing, so the text stays empty.
  bool ReadSerialNumber(uint8_t address, std::string& text) override;
  bool BuildTree(TNTreeData* device) override;
};

}  // namespace orvela
