#pragma once
// Family base of the Orlix heat meters read over ModBus RTU: dispatches the server's reads and writes to
// the family's own operations and holds what every Orlix driver shares: the exchange with its retry rule
// and reply checks, the register reads and writes, the value and date codecs, and the nodes it builds.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "drivers/DataModel.h"

namespace orvela {

namespace orlix {
// Node ids of the Orlix trees.
inline constexpr uint8_t kIdCurrent = 9;
inline constexpr uint8_t kIdHourly = 26;
inline constexpr uint8_t kIdDaily = 27;
inline constexpr uint8_t kIdMonthly = 28;
inline constexpr uint8_t kIdTimer = '0';
inline constexpr uint8_t kIdClock = '1';
inline constexpr uint8_t kIdVersion = '2';
inline constexpr uint8_t kIdConfigDate = '3';
// The largest register count one ModBus read carries.
inline constexpr uint16_t kMaxReadRegisters = 125;

// A value of four reply bytes (little-endian IEEE single); invalid (bad quality) when three consecutive
// bytes of the four are 0xFF.
TPrbArray DecodeValue(std::span<const uint8_t> four);
// A status word: the first two bytes as a little-endian number shifted left by 16, plus the next two.
uint32_t DecodeStatusWord(std::span<const uint8_t> four);
// The date of reply bytes year - 2000, month, day (any 255: none).
std::optional<TDateTime> DecodeYmd(uint8_t year, uint8_t month, uint8_t day);
}  // namespace orlix

class TOrlixDataModel : public TDataModel {
 public:
  using TDataModel::TDataModel;

  bool ReadArchive(TPrbArray& result, TNTreeData* node, TDateTime from) override;
  bool ReadCurrent(TPrbArray& result, TNTreeData* node, int mode) override;
  bool WriteCurrent(TPrbArray& result, TNTreeData* node, int mode) override;
  bool IdentifyDevice(uint8_t address, uint8_t& model) override;

  // The family's operations; the requested node is set before each. A driver without one answers false.
  virtual bool ReadNodeValue(TPrbArray& result);
  virtual bool ReadNodeValueSplit(TPrbArray& result);
  virtual bool ReadTimerValue(TPrbArray& result);
  virtual bool WriteClock(TPrbArray& result);
  virtual bool ReadNodeArchive(TPrbArray& result);
  virtual bool ReadNodeArchiveSplit(TPrbArray& result);

 protected:
  // Split reads: on an inbound GPRS link or when "Разбивать пакеты Орликса" is on (never for the MB307).
  bool UseSplitReads() const;
  // Registers of one split piece: what the link's module carries, at most one ModBus read.
  uint16_t PieceRegisters() const;

  // One request through Transact, repeated until a reply passes the checks against the request, at most
  // `attempts` counted tries; a device that does not answer (-2) is not counted (a few times at most), a
  // device given up (-5) ends at once. The reply stays in Reply().
  bool Ask(int code, const std::vector<uint8_t>& request, int attempts, bool countNoAnswer = false);
  const TBytes& Reply() const { return reply_; }
  // Registers read by function 3 or 4: their bytes as the framing keeps them (code 4: low byte first).
  bool ReadRegisters(uint8_t function, uint16_t start, uint16_t count, int attempts,
                     std::vector<uint8_t>& data, int code = 4);
  // Holding registers written by function 16.
  bool WriteRegisters(uint16_t start, std::span<const uint16_t> values, int attempts);

  uint8_t DeviceAddress() const;
  // The clock from the device record while its check period has not passed, else read from the device.
  bool TimerClock(TDateTime& time);
  // Time correction: waits for the start of a minute, then writes the correction block.
  bool CorrectClock(int attempts);

  // A child node of the trees the drivers build (tree set by the controller).
  TNTreeData* AddNode(TNTreeData* parent, const std::string& name, uint8_t id, uint8_t kind, bool da,
                      bool hda, int32_t dataType = 0);
  const char* Pick(const char* ru, const char* en) const { return english_ ? en : ru; }

  TBytes reply_;
};

}  // namespace orvela
