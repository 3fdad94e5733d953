#include "drivers/OrlixDataModel.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "drivers/ModBusRequests.h"
#include "protocols/ModBusProtocol.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace orlix {

TPrbArray DecodeValue(std::span<const uint8_t> four) {
  bool invalid = (four[0] == 0xFF && four[1] == 0xFF && four[2] == 0xFF) ||
                 (four[1] == 0xFF && four[2] == 0xFF && four[3] == 0xFF);
  // An unwritten value is no measurement: it keeps its place, with bad quality, never a good 0.
  if (invalid) return TPrbArray::MakeValue(TVariant::Single(0), kQualityBad);
  uint32_t bits = four[0] | (four[1] << 8) | (four[2] << 16) | (static_cast<uint32_t>(four[3]) << 24);
  return TPrbArray::MakeValue(TVariant::Single(std::bit_cast<float>(bits)));
}

uint32_t DecodeStatusWord(std::span<const uint8_t> four) {
  return (static_cast<uint32_t>(four[0] | (four[1] << 8)) << 16) |
         static_cast<uint32_t>(four[2] | (four[3] << 8));
}

std::optional<TDateTime> DecodeYmd(uint8_t year, uint8_t month, uint8_t day) {
  if (year == 0xFF || month == 0xFF || day == 0xFF || !IsValidDate(2000 + year, month, day))
    return std::nullopt;
  return EncodeDateTime(2000 + year, month, day);
}

}  // namespace orlix

namespace {

using namespace orlix;

constexpr uint8_t kModelAny = 255;
// A device that keeps not answering (-2) is asked again this often at most before the attempt counts.
constexpr int kUncountedNoAnswers = 5;
// Pieces of the link modules: kind 1 carries 36 registers, kind 2 would carry 512 (more than a read can).
constexpr uint16_t kPieceModule1 = 36;
constexpr int32_t kModuleLarge = 2;
constexpr double kMinute = 1.0 / 1440;
constexpr int64_t kSecondsPollMs = 500;
constexpr int kLatestSecond = 2;

}  // namespace

bool TOrlixDataModel::IdentifyDevice(uint8_t, uint8_t& model) {
  model = kModelAny;  // not found by the maker's scan: the operator names the model
  return true;
}

bool TOrlixDataModel::UseSplitReads() const {
  if (device_ != nullptr && device_->ModelCode == mcTarvel307) return false;
  bool inbound = link_ != nullptr && link_->Settings() != nullptr &&
                 link_->Settings()->Key.ConnType == static_cast<uint8_t>(TConnKind::InboundGprs);
  return inbound || settings_.SplitOrlixPackets;
}

uint16_t TOrlixDataModel::PieceRegisters() const {
  bool large = link_ != nullptr && link_->ModuleKind() == kModuleLarge;
  return large ? kMaxReadRegisters : kPieceModule1;
}

bool TOrlixDataModel::ReadArchive(TPrbArray& result, TNTreeData*, TDateTime) {
  return UseSplitReads() ? ReadNodeArchiveSplit(result) : ReadNodeArchive(result);
}

bool TOrlixDataModel::ReadCurrent(TPrbArray& result, TNTreeData*, int) {
  if (requested_ == nullptr) return false;
  uint8_t id = requested_->Address;
  if (id == kIdCurrent) return UseSplitReads() ? ReadNodeValueSplit(result) : ReadNodeValue(result);
  if (id == kIdClock || id == kIdVersion || id == kIdConfigDate) return ReadTimerValue(result);
  return false;
}

bool TOrlixDataModel::WriteCurrent(TPrbArray& result, TNTreeData*, int) {
  return requested_ != nullptr && requested_->Address == kIdClock && WriteClock(result);
}

bool TOrlixDataModel::ReadNodeValue(TPrbArray&) {
  return false;
}
bool TOrlixDataModel::ReadNodeValueSplit(TPrbArray&) {
  return false;
}
bool TOrlixDataModel::ReadTimerValue(TPrbArray&) {
  return false;
}
bool TOrlixDataModel::WriteClock(TPrbArray&) {
  return false;
}
bool TOrlixDataModel::ReadNodeArchive(TPrbArray&) {
  return false;
}
bool TOrlixDataModel::ReadNodeArchiveSplit(TPrbArray&) {
  return false;
}

uint8_t TOrlixDataModel::DeviceAddress() const {
  return modbusreq::DeviceAddress(device_, requested_);
}

bool TOrlixDataModel::Ask(int code, const std::vector<uint8_t>& request, int attempts, bool countNoAnswer) {
  return modbusreq::Ask(*framing_, request, {code, attempts, countNoAnswer ? 0 : kUncountedNoAnswers}, reply_,
                        [this](const std::string& line) { Trace(line); });
}

bool TOrlixDataModel::ReadRegisters(uint8_t function, uint16_t start, uint16_t count, int attempts,
                                    std::vector<uint8_t>& data, int code) {
  data.clear();
  if (count == 0 || count > kMaxReadRegisters) return false;
  if (!Ask(code, modbusreq::Read(DeviceAddress(), function, start, count), attempts)) return false;
  data.assign(reply_.begin() + 1, reply_.begin() + 1 + 2 * count);
  return true;
}

bool TOrlixDataModel::WriteRegisters(uint16_t start, std::span<const uint16_t> values, int attempts) {
  std::vector<uint8_t> bytes;
  for (uint16_t v : values)
    bytes.insert(bytes.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)});
  return Ask(modbus::kCodeWrite, modbusreq::WriteRegisters(DeviceAddress(), start, bytes), attempts);
}

bool TOrlixDataModel::TimerClock(TDateTime& time) {
  TDateTime now = GetClock().Now();
  bool fresh = device_ != nullptr && device_->LastClockRead > 0 &&
               (now - device_->LastClockRead) / kMinute <= settings_.ClockCheckMinutes;
  if (fresh) {
    time = now - device_->LastClockRead + device_->DeviceTime;
    return true;
  }
  if (!ReadDeviceClock(DeviceAddress(), time)) return false;
  if (device_ != nullptr) {
    device_->LastClockRead = now;
    device_->DeviceTime = time;
  }
  return true;
}

bool TOrlixDataModel::CorrectClock(int attempts) {
  Trace("Корректировка времени");
  for (int attempt = 0; attempt < attempts && !ShuttingDown(); ++attempt) {
    SYSTEMTIME st = DateTimeToSystemTime(GetClock().Now());
    Trace("Секунды: " + std::to_string(st.wSecond));
    while (st.wSecond > kLatestSecond && !ShuttingDown()) {
      GetClock().Sleep(kSecondsPollMs);
      st = DateTimeToSystemTime(GetClock().Now());
    }
    Trace("Секунды: " + std::to_string(st.wSecond));
    const std::array<uint16_t, 7> block{0, 0, static_cast<uint16_t>(st.wMinute << 8), 0, 0, 1, 4};
    // The correction counts only when the meter took the block: a refused one is no success.
    if (!WriteRegisters(0, block, 1)) continue;
    std::vector<uint8_t> check;
    ReadRegisters(3, 6, 1, 1, check);
    return true;
  }
  return false;
}

TNTreeData* TOrlixDataModel::AddNode(TNTreeData* parent, const std::string& name, uint8_t id, uint8_t kind,
                                     bool da, bool hda, int32_t dataType) {
  TNTreeData* node = treeBuilder_->CreateNode();
  node->Name = name;
  node->Address = id;
  node->Kind = kind;
  node->Level = static_cast<uint8_t>(parent->Level + 1);
  node->ModelCode = parent->ModelCode;
  node->ConnKey = parent->ConnKey;
  node->DAVisible = da;
  node->HDAVisible = hda;
  if (dataType != 0) {
    SetAttribute(*node, asDataType, TVariant::Int(dataType));
    SetAttribute(*node, asItemId, TVariant::OneByteStr(name));
  }
  treeBuilder_->AttachChild(parent, node);
  return node;
}

}  // namespace orvela
