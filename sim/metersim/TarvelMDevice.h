#pragma once
// The Tarvel M heat meter: an operative branch (8), a timer (24) and subsystems (200, 216) each with
// current values and archives. Besides the family's list and read messages (0x48, 0x4A) it answers the
// block read 0x42 (answer code 6):
//   current values of a branch  04 03 a s b 00 FF FF FF FF 00 01 -> [12] count, then per parameter: status,
//                                single (most significant byte first)
//   archive, one parameter      05 03 a s b p FF 00 FF hh 00 F0 -> [12] count, then per record: the date
//                                column (p = 14: yy mm dd hh mi, two more zero bytes in error archives) or
//                                the values (single and a check byte; error archives: duration in 2 s
//                                units, flags, single)
//   archive, whole records      04 03 a s b FF FF 00 FF hh 00 F0 -> [12] count, then per record a header
//                                (yy mm dd hh mi) and one value entry per parameter of the branch (error
//                                archives: 7-byte entries and nine zero bytes)
// s is the subsystem (or 8), b the branch: the other order is refused. Archive records are sent in ring
// order (the oldest is not first), the newest record is the period still running, and positions not
// written are 0xFF. Values of parameter p of subsystem s come from the value functions under the key
// TarvelMValueKey(serial, s).
#include <string>

#include "metersim/ModBusSlave.h"
#include "metersim/TarvelDevice.h"

namespace orvela::sim {

namespace tarvelm {
inline constexpr uint8_t kFnBlock = 0x42;
inline constexpr uint8_t kAnswerBlock = 6;
inline constexpr uint8_t kOperative = 8;
inline constexpr uint8_t kTimer = 24;
inline constexpr uint8_t kSubsystem1 = 200;
inline constexpr uint8_t kSubsystem2 = 216;
inline constexpr uint8_t kCurrent = 9;
inline constexpr uint8_t kSerialBranch = 0x48;
inline constexpr uint8_t kWholeRecord = 0xFF;
}  // namespace tarvelm

// One branch of the meter with the parameters it lists.
struct TMBranchDef {
  uint8_t subsystem = 0;
  uint8_t branch = 0;
  std::vector<uint8_t> parameters;
  EPeriod period = EPeriod::Hour;  // archives
  uint8_t ringSize = 0;            // 0: current values
  bool errors = false;
};
const std::vector<TMBranchDef>& TarvelMBranches();
const TMBranchDef* FindTarvelMBranch(uint8_t subsystem, uint8_t branch);

// The serial the value functions take for a subsystem's parameters.
std::string TarvelMValueKey(std::string_view serial, uint8_t subsystem);

class TTarvelMDevice : public TTarvelDevice {
 public:
  // faults: the cell the device's own faults are taken from (a converter in front keeps them); its own
  // when none.
  TTarvelMDevice(uint8_t address, std::string serial, TFaultCell* faults = nullptr);
  std::vector<uint8_t> Answer(const TTarvelRequest& request, TDateTime now,
                              const TFaults& faults) const override;

 private:
  std::vector<uint8_t> List(const TTarvelRequest& request) const;
  std::vector<uint8_t> Read(const TTarvelRequest& request, TDateTime deviceNow, const TFaults& faults) const;
  std::vector<uint8_t> Block(const TTarvelRequest& request, TDateTime deviceNow, const TFaults& faults) const;
  std::vector<uint8_t> Archive(const TTarvelRequest& request, const TMBranchDef& branch, uint8_t parameter,
                               TDateTime deviceNow, const TFaults& faults) const;

  TFaultCell* faults_;
};

// The same meter behind a ModBus converter's tunnel.
class TTunnelledTarvelM : public TModBusDevice {
 public:
  TTunnelledTarvelM(uint8_t address, std::string serial);
  const TTarvelDevice* MakerDevice() const override { return &meter_; }

 private:
  TTarvelMDevice meter_;
};

}  // namespace orvela::sim
