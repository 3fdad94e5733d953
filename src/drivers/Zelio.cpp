#include "drivers/Zelio.h"

#include <algorithm>

#include "drivers/Families.h"
#include "drivers/ModBusRequests.h"
#include "protocols/ModBusProtocol.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

using namespace zelio;

constexpr uint8_t kModelAny = 255;
constexpr double kMinute = 1.0 / 1440;
constexpr int kSerialAttempts = 3;
constexpr uint16_t kAccessRead = 1, kAccessReadWrite = 2, kAccessWrite = 3;
// VARIANT types of the nodes.
constexpr int32_t kTypeDate = 7, kTypeBool = 11, kTypeByte = 17, kTypeWord = 18;
constexpr uint8_t kClockBytes = 8;
constexpr uint8_t kClockYearMark = 0x15;  // the controller's century byte

std::vector<uint8_t> ReadRequest(uint8_t address, uint8_t function, uint16_t start, uint16_t count) {
  return modbusreq::Read(address, function, start, count);
}

std::vector<uint8_t> WriteRequest(uint8_t address, uint16_t start, const std::vector<uint8_t>& bytes) {
  return modbusreq::WriteRegisters(address, start, bytes);
}

}  // namespace

bool TZelioDataModel::ReadArchive(TPrbArray&, TNTreeData*, TDateTime) {
  return false;  // the controllers keep no archives
}

bool TZelioDataModel::ReadCurrent(TPrbArray& result, TNTreeData*, int) {
  if (requested_ == nullptr) return false;
  uint8_t id = requested_->Address;
  return id == kClock || id == kStatus ? ReadTimerValue(result) : ReadNodeValue(result);
}

bool TZelioDataModel::WriteCurrent(TPrbArray& result, TNTreeData*, int) {
  if (requested_ == nullptr) return false;
  // What the device took decides, not a fixed answer.
  return requested_->Address == kClock ? WriteClock(result) : WriteNodeValue(result);
}

bool TZelioDataModel::IdentifyDevice(uint8_t, uint8_t& model) {
  model = kModelAny;
  return true;
}

bool TZelioDataModel::ReadDeviceClock(uint8_t, TDateTime& time) {
  time = GetClock().Now();
  return true;
}

bool TZelioDataModel::ReadNodeValue(TPrbArray&) {
  return false;
}
bool TZelioDataModel::ReadTimerValue(TPrbArray&) {
  return false;
}
bool TZelioDataModel::WriteNodeValue(TPrbArray&) {
  return false;
}
bool TZelioDataModel::WriteClock(TPrbArray&) {
  return false;
}

uint8_t TZelioDataModel::DeviceAddress() const {
  return modbusreq::DeviceAddress(device_, requested_);
}

bool TZelioDataModel::Ask(int code, const std::vector<uint8_t>& request, int attempts) {
  return modbusreq::Ask(*framing_, request, {code, attempts, 0}, reply_,
                        [this](const std::string& line) { Trace(line); });
}

TNTreeData* TZelioDataModel::AddParameter(TNTreeData* parent, const std::string& name, uint8_t address,
                                          uint16_t access, int32_t dataType) {
  TNTreeData* node = treeBuilder_->CreateNode();
  node->Name = name;
  node->Address = address;
  node->Kind = nkParameter;
  node->AccessMode = access;
  node->Level = static_cast<uint8_t>(parent->Level + 1);
  node->ModelCode = parent->ModelCode;
  node->ConnKey = parent->ConnKey;
  node->DAVisible = true;
  node->HDAVisible = false;
  SetAttribute(*node, asDataType, TVariant::Int(dataType));
  SetAttribute(*node, asItemId, TVariant::OneByteStr(name));
  treeBuilder_->AttachChild(parent, node);
  return node;
}

TVariant TZelioDataModel::WrittenValue() const {
  return workItem_ != nullptr ? workItem_->Value : TVariant{};
}

uint16_t ZelioNodeAccess(const TNTreeData& node) {
  if (node.Kind != nkParameter || node.Level != 1) return kAccessRead;
  if (node.Address >= 16 && node.Address <= 19) return kAccessWrite;
  return node.Address == kClock ? kAccessReadWrite : kAccessRead;
}

uint16_t KmNodeAccess(const TNTreeData& node) {
  return node.Kind == nkParameter && node.Level == 1 && node.Address == kCoil ? kAccessReadWrite
                                                                              : kAccessRead;
}

// ---- Zelio

bool TKZelio::BuildTree(TNTreeData* device) {
  if (device == nullptr || treeBuilder_ == nullptr) return false;
  // The controller must answer before it is added: its status register.
  TLinkSession session(*this);
  if (!session.Connect() || !Ask(3, ReadRequest(device->Address, 3, kStatus, 1), 3)) {
    HandOverLogLine("Нет связи с прибором - проверьте параметры соединения.");
    return false;
  }
  bool en = english_;
  for (uint8_t n = 1; n <= 4; ++n)
    // Appended: g++ 12 misreports "literal" + temporary at -O3.
    AddParameter(device, std::string("J").append(std::to_string(n)).append("XT1"), static_cast<uint8_t>(15 + n),
                 kAccessWrite, kTypeWord);
  // Every node needs a name of its own: the item identifiers are the names.
  for (uint8_t n = 1; n <= 4; ++n)
    AddParameter(device, std::string(en ? "Register " : "Регистр ").append(std::to_string(19 + n)),
                 static_cast<uint8_t>(19 + n), kAccessRead, kTypeWord);
  AddParameter(device, en ? "Clock" : "Часы", kClock, kAccessReadWrite, kTypeDate);
  AddParameter(device, en ? "Status" : "Статус", kStatus, kAccessRead, kTypeByte);
  return true;
}

bool TKZelio::ReadNodeValue(TPrbArray& result) {
  TLinkSession session(*this);
  if (!session.Connect()) {
    result.ValueQuality = kQualityNotConnected;
    return false;
  }
  // A failed exchange leaves the fill: no value may come of it.
  if (!Ask(3, ReadRequest(DeviceAddress(), 3, requested_->Address, 1)) || reply_[0] == 0) {
    result.ValueQuality = kQualityDeviceFailure;
    return false;
  }
  auto value = static_cast<int16_t>(reply_[1] | (reply_[2] << 8));
  result.SetSingleValue(TVariant::Int(value, VT_I2));
  return true;
}

bool TKZelio::ReadTimerValue(TPrbArray& result) {
  if (requested_->Address == kClock) {
    TDateTime now = GetClock().Now();
    TDateTime time = now;
    bool fresh = device_ != nullptr && device_->LastClockRead > 0 &&
                 (now - device_->LastClockRead) / kMinute <= settings_.ClockCheckMinutes;
    if (fresh)
      time = now - device_->LastClockRead + device_->DeviceTime;
    else
      ReadDeviceClock(DeviceAddress(), time);
    result.SetSingleValue(TVariant::Date(time));
    return true;
  }
  TLinkSession session(*this);
  if (!session.Connect()) {
    result.ValueQuality = kQualityNotConnected;
    return false;
  }
  if (!Ask(3, ReadRequest(DeviceAddress(), 3, kStatus, 1)) || reply_[0] == 0) {
    result.ValueQuality = kQualityDeviceFailure;
    return false;
  }
  // The status is the register's high byte (kept second, low byte first).
  result.SetSingleValue(TVariant::Int(reply_[2], VT_UI1));
  return true;
}

bool TKZelio::WriteNodeValue(TPrbArray& result) {
  auto value = static_cast<uint16_t>(static_cast<int64_t>(WrittenValue().AsDouble()));
  TLinkSession session(*this);
  if (!session.Connect()) {
    result.ValueQuality = kQualityNotConnected;
    return false;
  }
  return Ask(modbus::kCodeWrite,
             WriteRequest(DeviceAddress(), requested_->Address,
                          {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)}));
}

bool TKZelio::WriteClock(TPrbArray& result) {
  TDateTime value = WrittenValue().vt == VT_DATE ? WrittenValue().d : GetClock().Now();
  SYSTEMTIME st = DateTimeToSystemTime(value);
  // Four registers, eight bytes: the frame's count and quantity agree with its data.
  std::vector<uint8_t> bytes{static_cast<uint8_t>(st.wSecond),
                             static_cast<uint8_t>(st.wDayOfWeek),
                             static_cast<uint8_t>(st.wHour),
                             static_cast<uint8_t>(st.wMinute),
                             static_cast<uint8_t>(st.wMonth),
                             static_cast<uint8_t>(st.wDay),
                             kClockYearMark,
                             static_cast<uint8_t>(st.wYear % 100)};
  static_assert(kClockBytes == 8);
  TLinkSession session(*this);
  if (!session.Connect()) {
    result.ValueQuality = kQualityNotConnected;
    return false;
  }
  return Ask(modbus::kCodeWrite, WriteRequest(DeviceAddress(), kClock, bytes));
}

// ---- KM

bool TKM::ReadSerialNumber(uint8_t address, std::string& text) {
  text.clear();
  // Wire order: the serial's characters as the controller stores them, high byte first.
  if (!Ask(modbus::kCodeWireOrder, ReadRequest(address, 3, 1, 3), kSerialAttempts)) return false;
  for (size_t i = 1; i <= 6; ++i) text += static_cast<char>(reply_[i]);
  return true;
}

bool TKM::BuildTree(TNTreeData* device) {
  if (device == nullptr || treeBuilder_ == nullptr) return false;
  std::string serial;
  if (!ReadSerialNumber(device->Address, serial)) {
    link_->SetHoldMark(true);
    link_->Release();
    HandOverLogLine(
        "С данным прибором не поддерживается работа по протоколу ModBus или нет связи с прибором (Невозможно "
        "получить серийный номер). Используйте другой протокол или обратитесь к поставщику");
    return false;
  }
  device->Serial = serial;
  device->Name += "  (" + serial + ")";
  bool en = english_;
  TNTreeData* inputs = treeBuilder_->CreateNode();
  inputs->Name = en ? "Input" : "Входы";
  inputs->Address = kInputs;
  inputs->Kind = nkGroupedParameter;
  inputs->Level = static_cast<uint8_t>(device->Level + 1);
  inputs->ModelCode = device->ModelCode;
  inputs->ConnKey = device->ConnKey;
  inputs->DAVisible = true;
  treeBuilder_->AttachChild(device, inputs);
  for (uint8_t n = 1; n <= 4; ++n)
    AddParameter(inputs, (en ? "Input" : "Вход") + std::to_string(n), static_cast<uint8_t>(n - 1),
                 kAccessRead, kTypeBool);
  // The coil the controller switches; written through DA writes.
  AddParameter(device, en ? "Output" : "Выход", kCoil, kAccessReadWrite, kTypeBool);
  return true;
}

bool TKM::ReadNodeValue(TPrbArray& result) {
  uint8_t address = requested_->Address;
  bool coil = address == kCoil;
  TLinkSession session(*this);
  if (!session.Connect()) {
    result.ValueQuality = kQualityNotConnected;
    return false;
  }
  if (!Ask(3, ReadRequest(DeviceAddress(), coil ? 1 : 2, coil ? 0 : address, 1)) || reply_[0] == 0) {
    result.ValueQuality = kQualityDeviceFailure;
    return false;
  }
  result.SetSingleValue(TVariant::Bool((reply_[1] & 0x01) != 0));
  return true;
}

bool TKM::WriteNodeValue(TPrbArray& result) {
  // Only the coil can be written; the inputs are the controller's to set.
  if (requested_->Address != kCoil) return false;
  bool on = WrittenValue().AsDouble() != 0;
  TLinkSession session(*this);
  if (!session.Connect()) {
    result.ValueQuality = kQualityNotConnected;
    return false;
  }
  // Write single coil 0: 0xFF00 switches it on, 0x0000 off.
  std::vector<uint8_t> request{DeviceAddress(), 5, 0, 0, static_cast<uint8_t>(on ? 0xFF : 0x00), 0};
  return Ask(modbus::kCodeWrite, request);
}

}  // namespace orvela
