#include "drivers/Orlix.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "protocols/MakerMessage.h"
#include "protocols/ModBusProtocol.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace orlix {

std::string ConfigName(std::span<const uint8_t> entry, bool english) {
  if (entry[1] == 0 || entry[1] == 0xFF) return {};
  std::string name(1, static_cast<char>(entry[1]));
  for (uint8_t byte : {entry[0], entry[3], entry[2]}) {
    switch (byte) {
      case 0:
        break;
      case '/':
        name += english ? "in" : "под";
        break;
      case '\\':
        name += english ? "out" : "обр";
        break;
      case '^':
        name += english ? "max" : "лим";
        break;
      default:
        name += static_cast<char>(byte < 0x80 ? std::tolower(byte) : byte);
    }
  }
  return name;
}

int ParameterStatus(uint32_t word, int position, bool archive) {
  static constexpr int kCurrentShift[kPositions] = {24, 24, 20, 16, 12, 8, 4, 0};
  static constexpr int kArchiveShift[kPositions] = {24, 20, 16, 12, 8, 4, 0, 16};
  int shift = (archive ? kArchiveShift : kCurrentShift)[position];
  return static_cast<int>((word >> shift) & 0x0F);
}

std::optional<TDateTime> RecordTime(std::span<const uint8_t> date, uint8_t archiveCode) {
  int month = date[0], year = 2000 + date[1], hour = date[2], day = date[3];
  if (!IsValidDate(year, month, day) || hour > 23) return std::nullopt;
  if (archiveCode == kIdHourly) return EncodeDateTime(year, month, day, hour);
  if (archiveCode == kIdDaily || archiveCode == kIdMonthly) return EncodeDateTime(year, month, day);
  return std::nullopt;
}

}  // namespace orlix

namespace {

using namespace orlix;

constexpr uint16_t kSerialStart = 834;
constexpr uint16_t kSerialRegisters = 21;
constexpr uint16_t kVersionStart = 1024;
constexpr uint16_t kConfigDateStart = 847;
constexpr uint16_t kClockStart = 0;
constexpr uint16_t kClockRegisters = 3;
constexpr uint8_t kIntegratorBit = 0x04;
constexpr uint16_t kCurrentBlock = 9;
constexpr uint16_t kConfigMark = 0x0010;
constexpr uint16_t kArchiveMark = 0x0062;
constexpr uint16_t kArchiveWhole = 960;
constexpr int kBlockAttempts = 3;
constexpr int kConfigAttempts = 5;
constexpr int64_t kConfigPauseMs = 500;
constexpr int kEqualDatesEnd = 3;
// Reads of one archive search at most: a meter that never says "no more" must not keep the line.
constexpr int kMaxRecordReads = 2000;
constexpr double kHour = 1.0 / 24;
// VARIANT types of the nodes.
constexpr int32_t kTypeDate = 7, kTypeSingle = 4, kTypeInt = 3, kTypeStatusWord = 19;

const TDateTime kOldestFirmware = EncodeDateTime(2007, 3, 1);

std::array<uint16_t, 7> CurrentBlock() {
  return {0, 0, 0, kCurrentBlock, 0, 0, 0};
}

std::span<const uint8_t> Four(const std::vector<uint8_t>& bytes, size_t at) {
  return std::span(bytes).subspan(at, 4);
}

// One subsystem's current values: [0] status word, [1] empty, [2 + k] value and status of position k.
TPrbArray CurrentSubsystem(std::span<const uint8_t> block) {
  TPrbArray sub;
  sub.Count = 2 + kPositions;
  sub.Items.resize(sub.Count);
  std::vector<uint8_t> bytes(block.begin(), block.end());
  uint32_t word = DecodeStatusWord(Four(bytes, 0));
  sub.Items[0] = TPrbArray::MakeValue(TVariant::Int(word, VT_UI4));
  for (int k = 0; k < kPositions; ++k) {
    TPrbArray& param = sub.Items[kFirstParameterId + k];
    param.Items = {DecodeValue(Four(bytes, 8 + 4 * k)),
                   TPrbArray::MakeValue(TVariant::Int(ParameterStatus(word, k, false)))};
    param.Count = 2;
    param.ValueQuality = param.Items[0].ValueQuality;
  }
  sub.ValueQuality = kQualityGood;
  return sub;
}

}  // namespace

struct TKOrlix_MB::TArchiveRequest {
  uint8_t code = 0;
  bool branch = true;  // a whole archive branch; else one subsystem
  TScope scope;        // subsystems decoded (one for a subsystem read)
  uint16_t registers = 0;
  TDateTime start = 0;
  TDateTime end = 0;
  bool split = false;
};

bool TKOrlix_MB::ReadSerialNumber(uint8_t, std::string& text) {
  framing_->SetDescription("Запрос серийного номера");
  std::vector<uint8_t> data;
  if (!ReadRegisters(4, kSerialStart, kSerialRegisters, kBlockAttempts, data)) {
    Trace("Орликс - Серийный номер не получен");
    return false;
  }
  text.clear();
  for (size_t i = 0; i < 8; ++i) text += std::to_string(data[i]);
  integrator_ = (data[2 * kSerialRegisters - 1] & kIntegratorBit) != 0;
  Trace("Орликс - запрос серийного номера прошел. Сер ном: " + text);
  return true;
}

bool TKOrlix_MB::ReadDeviceClock(uint8_t, TDateTime& time) {
  framing_->SetDescription("Запрос времени и даты");
  std::vector<uint8_t> d;
  bool ok = ReadRegisters(4, kClockStart, kClockRegisters, 1, d);
  // Reply byte n is d[n - 1].
  int year = ok ? 2000 + d[1] : 0, month = ok ? d[0] : 0, day = ok ? d[3] : 0, hour = ok ? d[2] : 0;
  int minute = ok ? d[5] : 0, second = ok ? d[4] & 0x3F : 0;
  if (!ok || !IsValidDate(year, month, day) || hour > 23) {
    readyMark_ = 2;
    return false;
  }
  if (minute > 59) minute = 0;
  if (second > 59) second = 0;
  Trace("Разбор времени " + std::to_string(year) + " " + std::to_string(month) + " " + std::to_string(day) +
        " " + std::to_string(hour) + " " + std::to_string(minute));
  time = EncodeDateTime(year, month, day, hour, minute, second);
  return true;
}

bool TKOrlix_MB::ReadDate(uint16_t start, const char* description, TDateTime& date) {
  framing_->SetDescription(description);
  std::vector<uint8_t> d;
  if (!ReadRegisters(4, start, 2, readyMark_ == 2 ? 1 : kBlockAttempts, d)) return false;
  std::optional<TDateTime> decoded = DecodeYmd(d[0], d[1], d[2]);
  if (decoded) date = *decoded;
  return decoded.has_value();
}

bool TKOrlix_MB::ReadConfiguration(int& failure) {
  for (int i = 0; i < kSubsystems; ++i) {
    framing_->SetDescription("Запрос " + std::to_string(i + 1) + " подсистемы");
    const std::array<uint16_t, 7> block{0, 0, 0, kCurrentBlock, 0, 0, kConfigMark};
    if (!WriteRegisters(0, block, kConfigAttempts)) {
      HandOverLogLine("Не удалось записать регистры - опрос " + std::to_string(i + 1) + " подсистемы");
      failure = 1;
      return false;
    }
    GetClock().Sleep(kConfigPauseMs);
    std::vector<uint8_t> d;
    if (!ReadRegisters(4, static_cast<uint16_t>(kCurrentStart + kBlockRegisters * i), kBlockRegisters,
                       kConfigAttempts, d)) {
      HandOverLogLine("Не удалось прочитать регистры - опрос " + std::to_string(i + 1) + " подсистемы");
      failure = 2;
      return false;
    }
    TSubsystemConfig& sub = config_[static_cast<size_t>(i)];
    sub = {};
    for (int k = 0; k < kPositions; ++k) {
      std::string name = ConfigName(Four(d, 8 + 4 * k), english_);
      if (name.empty()) continue;
      // Two parameters of one subsystem with one name would share an item identifier.
      int copies = static_cast<int>(std::count(sub.names.begin(), sub.names.end(), name));
      if (copies > 0) name += " (копия " + std::to_string(copies) + ")";
      sub.positions.push_back(k);
      sub.names.push_back(name);
    }
  }
  failure = 0;
  return true;
}

bool TKOrlix_MB::BuildTree(TNTreeData* device) {
  if (device == nullptr || treeBuilder_ == nullptr) return false;
  TLinkSession session(*this);
  if (!session.Connect()) {
    HandOverLogLine("Нет связи с прибором - проверьте параметры соединения.");
    return false;
  }
  TDateTime version = 0;
  if (!ReadDate(kVersionStart, "Запрос версии прибора", version) || version < kOldestFirmware) {
    HandOverLogLine(
        "С данным прибором не поддерживается работа по протоколу ModBus или нет связи с прибором. "
        "Используйте "
        "другой протокол или обратитесь к поставщику");
    return false;
  }
  std::string serial;
  if (!ReadSerialNumber(device->Address, serial)) return false;
  device->Name += "(" + serial + ")";
  device->Serial = serial;
  device->Kind = nkDevice;
  int failure = 0;
  if (!ReadConfiguration(failure)) {
    HandOverLogLine(
        failure == 1 ? "Чтение конфигурации закончилось неудачей - Не удалось записать регистры в прибор"
                     : "Чтение конфигурации закончилось неудачей - Не удалось прочитать регистры из прибора");
    return false;
  }
  auto addSubsystems = [&](TNTreeData* branch, bool archive) {
    bool da = !archive, hda = archive;
    for (int i = 0; i < kSubsystems; ++i) {
      const TSubsystemConfig& config = config_[static_cast<size_t>(i)];
      if (config.positions.empty()) continue;
      std::string name =
          english_ ? "SubSystem " + std::to_string(i + 1) : std::to_string(i + 1) + "-я  Подсистема";
      TNTreeData* sub = AddNode(branch, name, static_cast<uint8_t>(i), nkGroupedParameter, da, hda);
      AddNode(sub, Pick("Причина ненаработки", "Error"), 0, nkGroupedParameter, da, hda, kTypeStatusWord);
      if (archive) AddNode(sub, Pick("Наработка", "Hours"), 1, nkGroupedParameter, da, hda, kTypeSingle);
      for (size_t k = 0; k < config.positions.size(); ++k) {
        TNTreeData* param =
            AddNode(sub, config.names[k], static_cast<uint8_t>(kFirstParameterId + config.positions[k]),
                    nkGroupedParameter, da, hda);
        AddNode(param, Pick("Значение", "Value"), 0, nkGroupedParameter, da, hda, kTypeSingle);
        AddNode(param, Pick("Статус", "Status"), 1, nkGroupedParameter, da, hda, kTypeInt);
      }
    }
  };
  addSubsystems(AddNode(device, Pick("Почасовой архив", "Hour"), kIdHourly, nkBranch, false, true), true);
  addSubsystems(AddNode(device, Pick("Посуточный архив", "Day"), kIdDaily, nkBranch, false, true), true);
  const char* monthly =
      integrator_ ? Pick("Помесячный интегратор", "Integrator") : Pick("Помесячный архив", "Month");
  addSubsystems(AddNode(device, monthly, kIdMonthly, nkBranch, false, true), true);
  addSubsystems(AddNode(device, Pick("Мгновенные значения", "Current"), kIdCurrent, nkBranch, true, false),
                false);
  TNTreeData* timer = AddNode(device, Pick("Таймер", "Timer"), kIdTimer, nkBranch, true, false);
  AddNode(timer, Pick("Астрономическое дата и время", "Date"), kIdClock, nkParameter, true, false, kTypeDate);
  AddNode(timer, Pick("Версия ПО прибора", "Version"), kIdVersion, nkParameter, true, false, kTypeDate);
  AddNode(timer, Pick("Дата и время изменения конфигурации прибора", "Date Config"), kIdConfigDate,
          nkParameter, true, false, kTypeDate);
  return true;
}

TKOrlix_MB::TScope TKOrlix_MB::ScopeOf(const TNTreeData* branch) const {
  TScope scope;
  auto note = [&](int subsystem) {
    if (subsystem < 0 || subsystem >= kSubsystems) return;
    scope.lowest = scope.lowest < 0 ? subsystem : std::min(scope.lowest, subsystem);
    scope.highest = std::max(scope.highest, subsystem);
  };
  // The subsystem of a node: the ancestor hanging directly below the branch.
  auto subsystemOf = [&](const TNTreeData* node) {
    while (node != nullptr && node->Parent != branch) node = node->Parent;
    return node != nullptr ? static_cast<int>(node->Address) : -1;
  };
  bool fromItem = false;
  if (workItem_ != nullptr)
    for (const auto& sub : workItem_->SubItems) {
      note(subsystemOf(sub->Node));
      fromItem = true;
    }
  if (!fromItem && branch != nullptr)
    for (const TNTreeData* child : branch->Children) note(child->Address);
  return scope;
}

bool TKOrlix_MB::ReadCurrentBlocks(TScope scope, bool split, std::vector<uint8_t>& blocks) {
  uint16_t start = static_cast<uint16_t>(kCurrentStart + kBlockRegisters * (split ? scope.lowest : 0));
  uint16_t total = static_cast<uint16_t>(kBlockRegisters * (scope.highest + 1 - (split ? scope.lowest : 0)));
  uint16_t piece = split ? PieceRegisters() : kMaxReadRegisters;
  blocks.clear();
  for (uint16_t done = 0; done < total;) {
    if (done > 0 || split) {
      if (!WriteRegisters(0, CurrentBlock(), kBlockAttempts)) return false;
    }
    uint16_t count = std::min<uint16_t>(piece, static_cast<uint16_t>(total - done));
    std::vector<uint8_t> d;
    if (!ReadRegisters(4, static_cast<uint16_t>(start + done), count, split ? kBlockAttempts : 4, d))
      return false;
    blocks.insert(blocks.end(), d.begin(), d.end());
    done = static_cast<uint16_t>(done + count);
  }
  return true;
}

void TKOrlix_MB::DecodeCurrent(const std::vector<uint8_t>& blocks, int first, TScope scope,
                               TPrbArray& result) const {
  result.Count = scope.highest + 1;
  result.Items.assign(static_cast<size_t>(result.Count), TPrbArray{});
  for (int k = scope.lowest; k <= scope.highest; ++k) {
    size_t at = 2 * kBlockRegisters * static_cast<size_t>(k - first);
    result.Items[static_cast<size_t>(k)] =
        CurrentSubsystem(std::span(blocks).subspan(at, 2 * kBlockRegisters));
  }
  result.ValueQuality = kQualityGood;
}

bool TKOrlix_MB::ReadNodeValue(TPrbArray& result) {
  return ReadCurrentValues(false, result);
}

bool TKOrlix_MB::ReadNodeValueSplit(TPrbArray& result) {
  return ReadCurrentValues(true, result);
}

bool TKOrlix_MB::ReadCurrentValues(bool split, TPrbArray& result) {
  framing_->SetDescription("Запрос текущих данных");
  SetStatusText("Орликс - чтение текущих данных (1)");
  TScope scope = ScopeOf(requested_);
  if (scope.highest < 0) return false;
  TLinkSession session(*this);
  if (!session.Connect()) {
    result.ValueQuality = kQualityNotConnected;
    return false;
  }
  if (!split && !WriteRegisters(0, CurrentBlock(), kBlockAttempts)) {
    result.ValueQuality = kQualityDeviceFailure;
    return false;
  }
  SetStatusText("Орликс - чтение текущих данных (2)");
  std::vector<uint8_t> blocks;
  if (!ReadCurrentBlocks(scope, split, blocks)) {
    result.ValueQuality = kQualityDeviceFailure;
    SetStatusText("Орликс - чтение текущих данных (10)");
    return false;
  }
  DecodeCurrent(blocks, split ? scope.lowest : 0, scope, result);
  SetStatusText("Орликс - чтение текущих данных (10)");
  return true;
}

bool TKOrlix_MB::ReadTimerValue(TPrbArray& result) {
  TDateTime value = 0;
  bool ok = false;
  switch (requested_->Address) {
    case kIdClock:
      ok = TimerClock(value);
      break;
    case kIdVersion:
      ok = ReadDate(kVersionStart, "Запрос версии прибора", value);
      break;
    case kIdConfigDate:
      ok = ReadDate(kConfigDateStart, "Запрос даты конфигурирования", value);
      break;
    default:
      return false;
  }
  if (!ok) {
    result.ValueQuality = kQualityDeviceFailure;
    return false;
  }
  result.SetSingleValue(TVariant::Date(value));
  return true;
}

bool TKOrlix_MB::WriteClock(TPrbArray&) {
  return CorrectClock(kBlockAttempts);
}

bool TKOrlix_MB::ReadNodeArchive(TPrbArray& result) {
  return ReadArchiveRecords(false, result);
}

bool TKOrlix_MB::ReadNodeArchiveSplit(TPrbArray& result) {
  return ReadArchiveRecords(true, result);
}

bool TKOrlix_MB::WriteArchiveBlock(const TArchiveRequest& request, TDateTime date) {
  SYSTEMTIME st = DateTimeToSystemTime(date);
  int year = std::max<int>(st.wYear, 2000) % 100;
  const std::array<uint16_t, 7> block{static_cast<uint16_t>((year << 8) | st.wMonth),
                                      static_cast<uint16_t>((st.wDay << 8) | st.wHour),
                                      0,
                                      request.code,
                                      request.split ? uint16_t{0} : kArchiveWhole,
                                      0,
                                      kArchiveMark};
  return WriteRegisters(0, block, kBlockAttempts);
}

bool TKOrlix_MB::ReadArchiveRecords(bool split, TPrbArray& result) {
  const TNTreeData* node = requested_;
  if (node == nullptr || node->Parent == nullptr) return false;
  TArchiveRequest request;
  request.split = split;
  request.branch = node->Parent->Kind == nkDevice;
  if (request.branch) {
    request.code = node->Address;
    request.scope = ScopeOf(node);
  } else {
    // One subsystem: its own block, not the first one's.
    request.code = node->Parent->Address;
    request.scope = {node->Address, node->Address};
  }
  if (request.scope.highest < 0 || request.scope.highest >= kSubsystems) return false;
  request.registers =
      static_cast<uint16_t>(kRecordDateRegisters + kBlockRegisters * (request.scope.highest + 1));
  request.start = workItem_ != nullptr ? workItem_->WindowStart : GetClock().Now() - 1;
  request.end = workItem_ != nullptr ? workItem_->End : GetClock().Now() + 1;
  framing_->SetDescription("Запрос архивных данных: " + std::to_string(request.code));
  TLinkSession session(*this);
  if (!session.Connect()) return false;
  std::vector<TRecord> records;
  if (!SearchRecords(request, records)) return false;
  if (split && !CompleteRecords(request, records)) return false;
  Trace("Обработка полученного архива. Записей: " + std::to_string(records.size()));
  DecodeArchive(request, records, result);
  ReportReadDone();
  return true;
}

bool TKOrlix_MB::SearchRecords(const TArchiveRequest& request, std::vector<TRecord>& records) {
  if (!WriteArchiveBlock(request, request.start)) return false;
  uint16_t first = request.split ? std::min(PieceRegisters(), request.registers) : request.registers;
  TDateTime previous = request.start - 1;
  TDateTime today = std::floor(GetClock().Now());
  int equal = 0;
  for (int reads = 0; reads < kMaxRecordReads && !ShuttingDown(); ++reads) {
    SetStatusText("Орликс(" + std::to_string(DeviceAddress()) + ") - чтение архива (1) (" +
                  std::to_string(request.code) + ") Запись:" + std::to_string(records.size()));
    std::vector<uint8_t> d;
    bool read = ReadRegisters(4, kRecordStart, first, 1, d);
    // A lost read: ask again for the record after the last one kept.
    TDateTime again = records.empty() ? request.start : records.back().time + kHour;
    for (int attempt = 1; !read && attempt < kBlockAttempts && !ShuttingDown(); ++attempt)
      read = WriteArchiveBlock(request, again) && ReadRegisters(4, kRecordStart, first, 1, d);
    if (!read || d[1] == 0xFF) break;
    std::optional<TDateTime> time = RecordTime(d, request.code);
    if (!time) {
      // One damaged date loses that record only.
      Trace("Запись с неверной датой пропущена: " + HexDump(std::span(d).first(4)));
      continue;
    }
    if (*time > request.end) break;
    if (request.code == kIdDaily && std::floor(*time) == today) break;
    if (*time > previous) {
      records.push_back({*time, std::move(d)});
      previous = *time;
      equal = 0;
    } else if (*time == previous && ++equal >= kEqualDatesEnd - 1) {
      break;
    }
    Trace(FormatDateTime(GetClock().Now()) + " ModBus. Конец обработки записи");
  }
  return true;
}

bool TKOrlix_MB::CompleteRecords(const TArchiveRequest& request, std::vector<TRecord>& records) {
  uint16_t piece = PieceRegisters();
  for (size_t r = 0; r < records.size(); ++r) {
    TRecord& record = records[r];
    SetStatusText("Орликс(" + std::to_string(DeviceAddress()) + ") - дочитывание архива (1) (" +
                  std::to_string(request.code) + ") Запись:" + std::to_string(r));
    while (record.bytes.size() < 2u * request.registers && !ShuttingDown()) {
      uint16_t done = static_cast<uint16_t>(record.bytes.size() / 2);
      uint16_t count = std::min<uint16_t>(piece, static_cast<uint16_t>(request.registers - done));
      Trace("Считывание архива. Буфер: " + std::to_string(piece) +
            " Надо прочитать: " + std::to_string(request.registers) +
            " осталось: " + std::to_string(request.registers - done) + " Прочитано: " + std::to_string(done));
      std::vector<uint8_t> d;
      bool read = false;
      for (int attempt = 0; !read && attempt < kBlockAttempts && !ShuttingDown(); ++attempt)
        read = WriteArchiveBlock(request, record.time) &&
               ReadRegisters(4, static_cast<uint16_t>(kRecordStart + done), count, 1, d);
      if (!read) {
        // A record read only in part is no record: keep those read whole before it.
        records.resize(r);
        return !records.empty() || r == 0;
      }
      record.bytes.insert(record.bytes.end(), d.begin(), d.end());
    }
  }
  return true;
}

void TKOrlix_MB::DecodeArchive(const TArchiveRequest& request, const std::vector<TRecord>& records,
                               TPrbArray& result) {
  auto subsystem = [&](int k) {
    TPrbArray sub;
    sub.Count = 2 + kPositions;
    sub.Items.resize(sub.Count);
    for (int j = 0; j < kPositions; ++j) sub.Items[kFirstParameterId + j].Items.resize(2);
    for (size_t r = 0; r < records.size(); ++r) {
      const TRecord& record = records[r];
      size_t at = 2 * kRecordDateRegisters + 2 * kBlockRegisters * static_cast<size_t>(k);
      auto stamp = [&](TPrbArray item) {
        item.TimeStamp = record.time;
        item.TimeQuality = kQualityGood;
        return item;
      };
      uint32_t word = DecodeStatusWord(Four(record.bytes, at));
      sub.Items[0].Items.push_back(stamp(TPrbArray::MakeValue(TVariant::Int(word, VT_UI4))));
      sub.Items[1].Items.push_back(stamp(DecodeValue(Four(record.bytes, at + 4))));
      for (int j = 0; j < kPositions; ++j) {
        TPrbArray value = stamp(DecodeValue(Four(record.bytes, at + 8 + 4 * static_cast<size_t>(j))));
        Trace("Запись: " + std::to_string(r) + " Параметр: " + std::to_string(j) + " Значение: " +
              std::to_string(value.Value.AsDouble()) + " Дата: " + FormatDateTime(record.time));
        auto& param = sub.Items[kFirstParameterId + j].Items;
        param[0].Items.push_back(value);
        param[1].Items.push_back(stamp(TPrbArray::MakeValue(TVariant::Int(ParameterStatus(word, j, true)))));
      }
    }
    for (TPrbArray& item : sub.Items) {
      item.Count = static_cast<int32_t>(item.Items.size());
      for (TPrbArray& list : item.Items)
        if (list.Count == 0) list.Count = static_cast<int32_t>(list.Items.size());
    }
    return sub;
  };
  if (!request.branch) {
    // A subsystem read answers the subsystem's own lists at the top.
    result = subsystem(request.scope.highest);
  } else {
    result.Count = request.scope.highest + 1;
    result.Items.assign(static_cast<size_t>(result.Count), TPrbArray{});
    for (int k = request.scope.lowest; k <= request.scope.highest; ++k)
      result.Items[static_cast<size_t>(k)] = subsystem(k);
  }
  result.ValueQuality = kQualityGood;
}

bool TKOrlix_XM::ReadSerialNumber(uint8_t address, std::string& text) {
  text.clear();
  std::vector<uint8_t> message =
      maker::BuildMessage(0x02, std::vector<uint8_t>{0x05, 0x05, address, 0x45, 0x4F, 0x29});
  return framing_->Request(message, answer_);
}

bool TKOrlix_XM::BuildTree(TNTreeData* device) {
  std::string serial;
  if (device != nullptr) ReadSerialNumber(device->Address, serial);
  return false;
}

}  // namespace orvela
