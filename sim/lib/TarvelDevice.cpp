#include "metersim/TarvelDevice.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace orvela::sim {
namespace {

using namespace tarvel;

const std::vector<uint8_t> k2001Columns = {0x00, 0x01, 0x03, 0x04, 0x11, 0x13, 0x0D};
const std::vector<uint8_t> k2001ErrorColumns = {0x00, 0x01, 0x11};
const std::vector<uint8_t> kFColumns = {0x00, 0x01, 0x03, 0x13};
const std::vector<uint8_t> kFErrorColumns = {0x00, 0x01};

bool Contains(const std::vector<uint8_t>& list, uint8_t id) {
  return std::find(list.begin(), list.end(), id) != list.end();
}

bool IdsEqual(std::span<const uint8_t> ids, std::span<const uint8_t> expected) {
  return std::equal(ids.begin(), ids.end(), expected.begin(), expected.end());
}

}  // namespace

void SetLength(std::vector<uint8_t>& message) {
  size_t length = message.size() - 4;
  message[2] = static_cast<uint8_t>(length & 0xFF);
  message[3] = static_cast<uint8_t>(length >> 8);
}

std::vector<uint8_t> ListAnswer(const TTarvelRequest& request,
                                const std::vector<std::pair<uint8_t, uint8_t>>& entries) {
  std::vector<uint8_t> m = {0,
                            kAnswerList,
                            0,
                            0,
                            static_cast<uint8_t>(request.path.size()),
                            static_cast<uint8_t>(std::min<size_t>(entries.size(), 255))};
  for (size_t i = 0; i < entries.size() && i < 255; ++i) {
    m.push_back(entries[i].first);
    m.push_back(entries[i].second);
  }
  SetLength(m);
  return m;
}

// Header, echoed path and room up to the body at byte 12.
std::vector<uint8_t> DataHead(uint8_t code, const TTarvelRequest& request) {
  // Room for a first block's answer from the start (g++ 12 at -O2 misreads the growth of a 12-byte one).
  std::vector<uint8_t> m;
  m.reserve(kFirstBlock);
  m.resize(kBodyOffset, 0);
  m[1] = code;
  m[4] = static_cast<uint8_t>(request.path.size());
  for (size_t i = 0; i < request.path.size() && 5 + i < kBodyOffset; ++i) m[5 + i] = request.path[i];
  return m;
}

std::vector<uint8_t> Refusal(const TTarvelRequest& request) {
  std::vector<uint8_t> m = {0, kAnswerRefused, 0, 0, static_cast<uint8_t>(request.path.size()), 0};
  SetLength(m);
  return m;
}

namespace {

// What a lying meter answers instead of a code: list and data swapped, a refusal passed off as data.
uint8_t OtherCode(uint8_t code) {
  static constexpr std::pair<uint8_t, uint8_t> kOther[] = {
      {kAnswerList, kAnswerData}, {kAnswerData, kAnswerList}, {kAnswerRefused, kAnswerData}};
  for (auto [from, to] : kOther) {
    if (from == code) return to;
  }
  return kAnswerData;
}

}  // namespace

void PutFloat(std::vector<uint8_t>& m, float value) {
  auto bits = std::bit_cast<uint32_t>(value);
  for (int shift = 24; shift >= 0; shift -= 8) m.push_back(static_cast<uint8_t>(bits >> shift));
}

namespace {

// Calendar fields of a time; an impossible month and day when the dates are to be wrong.
SYSTEMTIME Fields(TDateTime t, bool bad) {
  SYSTEMTIME st = DateTimeToSystemTime(t);
  if (bad) {
    st.wMonth = 13;
    st.wDay = 32;
  }
  return st;
}

}  // namespace

// Year, month, day, hour, minute, second; the year as two digits.
void PutDateTime(std::vector<uint8_t>& m, TDateTime t, bool bad) {
  SYSTEMTIME st = Fields(t, bad);
  for (int v :
       {st.wYear % 100, int(st.wMonth), int(st.wDay), int(st.wHour), int(st.wMinute), int(st.wSecond)}) {
    m.push_back(static_cast<uint8_t>(v));
  }
}

const TArchiveDef* TTarvelLayout::FindArchive(uint8_t branch, uint8_t id) const {
  for (const auto& a : archives) {
    if (a.branch == branch && a.id == id) return &a;
  }
  return nullptr;
}

const TTarvelLayout& Tarvel2001Layout() {
  static const TTarvelLayout layout = {
      .family = "tarvel2001",
      .modelCode = 2,
      .rootBranches = {kDataBranch, kTimerBranch},
      .currentParams = {0x00, 0x01, 0x02, 0x03, 0x04, 0x11, 0x13, 0x0D},
      .timerIds = {kTimerClock, kTimerStatus, kTimerVersion, kTimerConfig},
      .archives =
          {
              {kDataBranch, 25, EPeriod::Month, 24, false, true, k2001Columns},
              {kDataBranch, 26, EPeriod::Hour, 72, false, false, k2001Columns},
              {kDataBranch, 27, EPeriod::Day, 45, false, false, k2001Columns},
              {kDataBranch, 28, EPeriod::Month, 24, false, false, k2001Columns},
              {kDataBranch, 90, EPeriod::Hour, 48, true, false, k2001ErrorColumns},
              {kDataBranch, 91, EPeriod::Day, 31, true, false, k2001ErrorColumns},
          },
      .answersModelQuery = true,
      .newestInProgress = false,
  };
  return layout;
}

const TTarvelLayout& TarvelFLayout() {
  static const TTarvelLayout layout = {
      .family = "tarvelf",
      .modelCode = 3,
      .rootBranches = {kDataBranch, kTimerBranch, 81},
      .currentParams = {0x00, 0x01, 0x03, 0x13},
      .timerIds = {kTimerClock, kTimerStatus, kTimerVersion, kTimerConfig},
      .archives =
          {
              {kDataBranch, 25, EPeriod::Month, 24, false, true, kFColumns},
              {kDataBranch, 26, EPeriod::Hour, 72, false, false, kFColumns},
              {kDataBranch, 27, EPeriod::Day, 45, false, false, kFColumns},
              {kDataBranch, 28, EPeriod::Month, 24, false, false, kFColumns},
              {81, 26, EPeriod::Hour, 48, true, false, kFErrorColumns},
              {81, 27, EPeriod::Day, 31, true, false, kFErrorColumns},
          },
      .answersModelQuery = false,
      .newestInProgress = true,
  };
  return layout;
}

std::optional<TTarvelRequest> ParseTarvelRequest(std::span<const uint8_t> message) {
  if (message.size() < 6 || message[0] != 0) return std::nullopt;
  size_t length = message[2] | (message[3] << 8);
  if (length < 2 || length > message.size() - 4) return std::nullopt;
  auto payload = message.subspan(4, length);
  size_t k = payload[0];
  if (k < 1 || k > payload.size() - 1 || payload[1] != kPathMark) return std::nullopt;
  TTarvelRequest request;
  request.function = message[1];
  request.path.assign(payload.begin() + 1, payload.begin() + 1 + k);
  request.tail.assign(payload.begin() + 1 + k, payload.end());
  return request;
}

std::vector<uint8_t> DeviceListAnswer(const TTarvelRequest& request, std::span<const uint8_t> addresses) {
  std::vector<std::pair<uint8_t, uint8_t>> entries;
  for (uint8_t a : addresses) entries.emplace_back(a, 0);
  return ListAnswer(request, entries);
}

size_t RecordSize(const TArchiveDef& archive, bool dates) {
  if (dates) return archive.errors ? 4 : 5;
  return archive.errors ? 3 : 5;
}

int FirstPositionPastFirstBlock(const TArchiveDef& archive) {
  size_t first = 0;
  for (bool dates : {true, false}) {
    size_t size = RecordSize(archive, dates);
    first = std::max(first, (kFirstBlock - kRecordsOffset + size - 1) / size);
  }
  return static_cast<int>(first);
}

TRing ServedRing(const TTarvelLayout& layout, const TArchiveDef& archive, TDateTime deviceNow, int ringFill) {
  TRing full = ArchiveRing(archive.period, archive.ringSize, deviceNow, layout.newestInProgress);
  if (ringFill < 0) return full;
  return PartlyWrittenRing(full, ringFill, FirstPositionPastFirstBlock(archive));
}

void MisreportAnswer(std::vector<uint8_t>& answer, TFaultScope faults) {
  if (answer.size() < 4) return;
  // Only data answers echo the path: [5] the path mark, [6] the address.
  constexpr size_t kAddressEcho = 6;
  bool echoesAddress = answer[1] == kAnswerData && answer.size() > kBodyOffset;
  if (faults.Take(&TFaults::wrongCode)) answer[1] = OtherCode(answer[1]);
  if (echoesAddress && faults.Take(&TFaults::wrongAddress)) {
    uint8_t address = answer[kAddressEcho];
    answer[kAddressEcho] = static_cast<uint8_t>(address == 255 ? 1 : address + 1);
  }
}

std::array<uint8_t, 8> SerialField(std::string_view serial) {
  std::array<uint8_t, 8> field;
  field.fill(' ');
  std::copy_n(serial.begin(), std::min<size_t>(serial.size(), 8), field.begin());
  return field;
}

TTarvelDevice::TTarvelDevice(const TTarvelLayout& layout, uint8_t address, std::string serial)
    : TSimDevice(std::string(layout.family), address, std::move(serial)), layout_(&layout) {}

std::vector<uint8_t> TTarvelDevice::Answer(const TTarvelRequest& request, TDateTime now,
                                           const TFaults& faults) const {
  switch (request.function) {
    case kFnList:
      return BranchList(request);
    case kFnRead:
      return Read(request, now, faults);
    default:
      return Refusal(request);
  }
}

std::vector<uint8_t> TTarvelDevice::BranchList(const TTarvelRequest& request) const {
  auto ids = request.Ids();
  std::vector<std::pair<uint8_t, uint8_t>> entries;
  auto add = [&](const std::vector<uint8_t>& list, uint8_t flags) {
    for (uint8_t id : list) entries.emplace_back(id, flags);
  };
  if (ids.empty()) {
    add(layout_->rootBranches, 0);
  } else if (ids.size() == 1 && ids[0] == kTimerBranch) {
    add(layout_->timerIds, kLeafFlag);
  } else if (ids.size() == 1 && Contains(layout_->rootBranches, ids[0])) {
    if (ids[0] == kDataBranch) entries.emplace_back(kCurrentId, 0);
    for (const auto& a : layout_->archives) {
      if (a.branch == ids[0]) entries.emplace_back(a.id, 0);
    }
  } else if (ids.size() == 2 && ids[0] == kDataBranch && ids[1] == kCurrentId) {
    add(layout_->currentParams, kLeafFlag);
  } else if (const TArchiveDef* a = ids.size() == 2 ? layout_->FindArchive(ids[0], ids[1]) : nullptr) {
    add(a->columns, kLeafFlag);
    entries.emplace_back(kDateColumn, kLeafFlag);
  } else if (!IsLeaf(ids)) {
    return Refusal(request);
  }
  // A leaf has no children: its list is empty.
  return ListAnswer(request, entries);
}

bool TTarvelDevice::IsLeaf(std::span<const uint8_t> ids) const {
  if (ids.size() == 2) return ids[0] == kTimerBranch && Contains(layout_->timerIds, ids[1]);
  if (ids.size() != 3) return false;
  if (ids[0] == kDataBranch && ids[1] == kCurrentId) return Contains(layout_->currentParams, ids[2]);
  const TArchiveDef* a = layout_->FindArchive(ids[0], ids[1]);
  return a && (ids[2] == kDateColumn || Contains(a->columns, ids[2]));
}

std::vector<uint8_t> TTarvelDevice::Read(const TTarvelRequest& request, TDateTime now,
                                         const TFaults& faults) const {
  auto ids = request.Ids();
  TDateTime deviceNow = now + faults.clockOffsetMinutes / 1440.0;
  auto m = DataHead(kAnswerData, request);
  if (IdsEqual(ids, kSerialPath)) {
    auto field = SerialField(faults.serial.empty() ? Serial() : faults.serial);
    m.push_back(static_cast<uint8_t>(field.size()));
    m.insert(m.end(), field.begin(), field.end());
  } else if (IdsEqual(ids, kModelPath)) {
    if (!layout_->answersModelQuery) return Refusal(request);
    m.insert(m.end(), {2, 0x20, 0x01});
  } else if (ids.size() == 2 && ids[0] == kTimerBranch && Contains(layout_->timerIds, ids[1])) {
    if (ids[1] == kTimerStatus) {
      uint16_t word = TimerStatusWord(Serial());
      m.insert(m.end(), {2, static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word & 0xFF)});
    } else {
      TDateTime value = ids[1] == kTimerClock     ? deviceNow
                        : ids[1] == kTimerVersion ? FirmwareDate()
                                                  : ConfigChangeDate(Serial());
      m.push_back(6);
      PutDateTime(m, value, faults.badDates);
    }
  } else if (ids.size() == 3 && ids[0] == kDataBranch && ids[1] == kCurrentId &&
             Contains(layout_->currentParams, ids[2])) {
    m.push_back(1);
    m.push_back(CurrentStatus(Serial(), ids[2]));
    PutFloat(m, CurrentValue(Serial(), ids[2], deviceNow));
  } else if (const TArchiveDef* a = ids.size() == 3 ? layout_->FindArchive(ids[0], ids[1]) : nullptr;
             a && (ids[2] == kDateColumn || Contains(a->columns, ids[2]))) {
    return ArchiveColumn(request, *a, ids[2], deviceNow, faults);
  } else {
    return Refusal(request);
  }
  SetLength(m);
  return m;
}

// Data block: [10] record size, [11] ring position of the newest record, [12] record count, then the
// records by ring position; positions never written are 0xFF.
std::vector<uint8_t> TTarvelDevice::ArchiveColumn(const TTarvelRequest& request, const TArchiveDef& archive,
                                                  uint8_t param, TDateTime deviceNow,
                                                  const TFaults& faults) const {
  bool dates = param == kDateColumn;
  TRing ring = ServedRing(*layout_, archive, deviceNow, faults.emptyArchives ? 0 : faults.ringFill);
  int count = dates ? ring.Size() : std::clamp(ring.Size() + faults.valueCountDelta, 0, 255);
  size_t recordSize = RecordSize(archive, dates);

  auto m = DataHead(kAnswerData, request);
  m[10] = static_cast<uint8_t>(recordSize);
  m[11] = static_cast<uint8_t>(ring.newest);
  m.push_back(static_cast<uint8_t>(count));
  for (int r = 0; r < count; ++r) {
    int pos = r % ring.Size();
    int64_t index = ring.index[static_cast<size_t>(pos)];
    if (!ring.Written(pos)) {
      m.insert(m.end(), recordSize, 0xFF);  // never written
      continue;
    }
    size_t start = m.size();
    if (dates) {
      SYSTEMTIME st = Fields(PeriodStart(archive.period, index), faults.badDates);
      m.insert(m.end(), {static_cast<uint8_t>(st.wYear % 100), static_cast<uint8_t>(st.wMonth),
                         static_cast<uint8_t>(st.wDay), static_cast<uint8_t>(st.wHour)});
      if (!archive.errors) m.push_back(static_cast<uint8_t>(st.wMinute));
    } else if (archive.errors) {
      TErrorRecord e = ErrorRecord(Serial(), param, archive.period, index);
      m.insert(m.end(),
               {static_cast<uint8_t>(e.minutes >> 8), static_cast<uint8_t>(e.minutes & 0xFF), e.flags});
    } else {
      bool running = layout_->newestInProgress && pos == ring.newest;
      float value = running ? PartialArchiveValue(Serial(), param, archive.period, index, deviceNow)
                            : ArchiveValue(Serial(), param, archive.period, index, archive.integrator);
      PutFloat(m, value);
      m.push_back(static_cast<uint8_t>(m[start] + m[start + 1] + m[start + 2] + m[start + 3]));
    }
  }
  SetLength(m);
  return m;
}

}  // namespace orvela::sim
