#pragma once
// The maker's heat meters (Tarvel 2001, Tarvel F): their message set, independent of the framing that
// carries it, so that the XModem line and a ModBus tunnel can share it.
//
// Request message: 0, function, payload length (16-bit, least significant byte first), payload. The
// payload is a path: k (the number of path bytes that follow), 3, the device address, then the node ids
// from the meter's root down. k = 1 (no address) asks the line for its devices.
//
// Answer message: 0, answer code, length of what follows the 4-byte header (16-bit, LSB first), then
//   list answer (code 12):  [4] k, [5] count n, pairs (id, flags) from [6]; flags bit 0: no children;
//   data answer (code 8):   [4] k, [5..11] the path bytes echoed (zero-filled), body from [12];
//   refusal (code 3):       six bytes: the header, [4] k, [5] reason 0 (no such node).
// A list without entries is six bytes as well: the header, k and the count 0.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "metersim/Device.h"
#include "metersim/Faults.h"
#include "metersim/Values.h"

namespace orvela::sim {

namespace tarvel {
inline constexpr uint8_t kFnList = 0x48;
inline constexpr uint8_t kFnRead = 0x4A;
inline constexpr uint8_t kAnswerList = 12;
inline constexpr uint8_t kAnswerData = 8;
inline constexpr uint8_t kAnswerRefused = 3;
inline constexpr uint8_t kPathMark = 3;
inline constexpr uint8_t kDataBranch = 1;
inline constexpr uint8_t kCurrentId = 9;
inline constexpr uint8_t kTimerBranch = 17;
inline constexpr uint8_t kTimerClock = 9;
inline constexpr uint8_t kTimerStatus = 15;
inline constexpr uint8_t kTimerVersion = 41;
inline constexpr uint8_t kTimerConfig = 57;
inline constexpr uint8_t kDateColumn = 14;
inline constexpr std::array<uint8_t, 3> kSerialPath{0x41, 0x2F, 0x29};
inline constexpr std::array<uint8_t, 3> kModelPath{0x81, 0x00, 0x00};
inline constexpr size_t kBodyOffset = 12;
inline constexpr size_t kRecordsOffset = 13;  // archive records follow the count at [12]
inline constexpr size_t kFirstBlock = 128;    // the data of the first XModem reply block
inline constexpr uint8_t kLeafFlag = 0x01;
}  // namespace tarvel

// One archive of a meter: where it hangs, its period, its ring and its value columns (the date column
// 14 is listed after them).
struct TArchiveDef {
  uint8_t branch = 0;
  uint8_t id = 0;
  EPeriod period = EPeriod::Hour;
  uint8_t ringSize = 0;
  bool errors = false;      // error archive: 4-byte dates, 3-byte records (minutes, flags)
  bool integrator = false;  // counter readings at the period's start instead of increments
  std::vector<uint8_t> columns;
};

// The self-described tree of a meter model.
struct TTarvelLayout {
  std::string_view family;
  uint8_t modelCode = 0;
  std::vector<uint8_t> rootBranches;
  std::vector<uint8_t> currentParams;  // under 1 / 9
  std::vector<uint8_t> timerIds;       // under 17
  std::vector<TArchiveDef> archives;
  bool answersModelQuery = false;  // a read of 0x81/0/0 gets data (2001) or a refusal (F)
  bool newestInProgress = false;   // the newest ring position holds the period still running (F)

  const TArchiveDef* FindArchive(uint8_t branch, uint8_t id) const;
};

const TTarvelLayout& Tarvel2001Layout();
const TTarvelLayout& TarvelFLayout();

// A request message taken apart; every length is checked against the bytes received.
struct TTarvelRequest {
  uint8_t function = 0;
  std::vector<uint8_t> path;  // the k bytes after k: 3, address, ids
  std::vector<uint8_t> tail;  // payload bytes after the path (the Tarvel M's block reads)
  bool HasAddress() const { return path.size() >= 2; }
  uint8_t Address() const { return path[1]; }
  std::span<const uint8_t> Ids() const {
    return path.size() > 2 ? std::span(path).subspan(2) : std::span<const uint8_t>{};
  }
};
std::optional<TTarvelRequest> ParseTarvelRequest(std::span<const uint8_t> message);

// The line's answer to the scan (k = 1): the addresses of its meters, flags 0.
std::vector<uint8_t> DeviceListAnswer(const TTarvelRequest& request, std::span<const uint8_t> addresses);

// Pieces of the answers the maker's meters share.
void SetLength(std::vector<uint8_t>& message);  // the header's length field from the message's size
std::vector<uint8_t> ListAnswer(const TTarvelRequest& request,
                                const std::vector<std::pair<uint8_t, uint8_t>>& entries);
std::vector<uint8_t> DataHead(uint8_t code, const TTarvelRequest& request);  // up to the body at byte 12
std::vector<uint8_t> Refusal(const TTarvelRequest& request);
void PutFloat(std::vector<uint8_t>& m, float value);  // most significant byte first
// Year (two digits), month, day, hour, minute, second; impossible fields when bad.
void PutDateTime(std::vector<uint8_t>& m, TDateTime t, bool bad);

// Serial number as the meter sends it: eight characters, blank-filled or cut.
std::array<uint8_t, 8> SerialField(std::string_view serial);

// Bytes of one record of an archive column.
size_t RecordSize(const TArchiveDef& archive, bool dates);
// The first ring position whose records lie wholly past the first reply block in every column of the
// archive: where a partly written ring keeps its records.
int FirstPositionPastFirstBlock(const TArchiveDef& archive);
// The ring an archive column is served from at the device's time, full or partly written (ringFill >= 0).
TRing ServedRing(const TTarvelLayout& layout, const TArchiveDef& archive, TDateTime deviceNow, int ringFill);

// Lying answers: another answer code (list and data swapped, a refusal made data), another device
// address in the echoed path. Each takes one occasion of its counted fault.
void MisreportAnswer(std::vector<uint8_t>& answer, TFaultScope faults);

class TTarvelDevice : public TSimDevice {
 public:
  TTarvelDevice(const TTarvelLayout& layout, uint8_t address, std::string serial);
  std::string_view Protocol() const override { return kMakerProtocol; }
  const TTarvelLayout& Layout() const { return *layout_; }

  // The answer message to a request addressed to this meter, at calendar time now.
  virtual std::vector<uint8_t> Answer(const TTarvelRequest& request, TDateTime now,
                                      const TFaults& faults) const;

 private:
  std::vector<uint8_t> BranchList(const TTarvelRequest& request) const;
  bool IsLeaf(std::span<const uint8_t> ids) const;
  std::vector<uint8_t> Read(const TTarvelRequest& request, TDateTime now, const TFaults& faults) const;
  std::vector<uint8_t> ArchiveColumn(const TTarvelRequest& request, const TArchiveDef& archive, uint8_t param,
                                     TDateTime deviceNow, const TFaults& faults) const;

  const TTarvelLayout* layout_;
};

}  // namespace orvela::sim
