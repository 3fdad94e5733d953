#include "metersim/TarvelMDevice.h"

#include <algorithm>

namespace orvela::sim {
namespace {

using namespace tarvel;
using namespace tarvelm;

const std::vector<uint8_t> kRootBranches = {kOperative, kTimer, kSubsystem1, kSubsystem2};
const std::vector<uint8_t> kTimerValues = {3, 9, 15, 41, 46, 57};
constexpr uint8_t kDayOfWeek = 3;

const TTarvelLayout& MLayout() {
  static const TTarvelLayout layout = {.family = "tarvelm",
                                       .modelCode = 1,
                                       .rootBranches = kRootBranches,
                                       .currentParams = {},
                                       .timerIds = {},
                                       .archives = {}};
  return layout;
}

bool Contains(const std::vector<uint8_t>& list, uint8_t id) {
  return std::find(list.begin(), list.end(), id) != list.end();
}

// The second subsystem's error archive lists only the operating hours: a reader shows nothing of it.
const std::vector<TMBranchDef> kBranches = {
    {kOperative, kCurrent, {0x03, 0x13, 0x02}},
    {kOperative, 26, {0x03, 0x13}, EPeriod::Hour, 48},
    {kSubsystem1, kCurrent, {0x00, 0x01, 0x03, 0x13, 0x0D}},
    {kSubsystem1, 26, {0x00, 0x01, 0x03, 0x0D}, EPeriod::Hour, 72},
    {kSubsystem1, 27, {0x00, 0x01, 0x03}, EPeriod::Day, 45},
    {kSubsystem1, 28, {0x00, 0x01}, EPeriod::Month, 24},
    {kSubsystem1, 90, {0x00, 0x01}, EPeriod::Hour, 48, true},
    {kSubsystem2, kCurrent, {0x10, 0x11, 0x14}},
    {kSubsystem2, 26, {0x10, 0x11, 0x14}, EPeriod::Hour, 72},
    {kSubsystem2, 27, {0x10, 0x14}, EPeriod::Day, 45},
    {kSubsystem2, 90, {0x0D}, EPeriod::Hour, 48, true},
};

void PutDate5(std::vector<uint8_t>& m, TDateTime t, bool badMonth) {
  SYSTEMTIME st = DateTimeToSystemTime(t);
  m.insert(m.end(),
           {static_cast<uint8_t>(st.wYear % 100), static_cast<uint8_t>(badMonth ? 13 : st.wMonth),
            static_cast<uint8_t>(st.wDay), static_cast<uint8_t>(st.wHour), static_cast<uint8_t>(st.wMinute)});
}

// One value entry of an archive: single and check byte, or the error archive's seven bytes.
void PutEntry(std::vector<uint8_t>& m, const TMBranchDef& branch, const std::string& key, uint8_t parameter,
              int64_t index, bool running, TDateTime deviceNow) {
  if (branch.errors) {
    TErrorRecord e = ErrorRecord(key, parameter, branch.period, index);
    uint32_t units = e.minutes * 30u;  // 2-second units
    m.insert(m.end(), {static_cast<uint8_t>(units >> 8), static_cast<uint8_t>(units & 0xFF), e.flags});
    PutFloat(m, static_cast<float>(e.minutes));
    return;
  }
  float value = running ? PartialArchiveValue(key, parameter, branch.period, index, deviceNow)
                        : ArchiveValue(key, parameter, branch.period, index, false);
  size_t start = m.size();
  PutFloat(m, value);
  m.push_back(static_cast<uint8_t>(m[start] + m[start + 1] + m[start + 2] + m[start + 3]));
}

size_t EntrySize(const TMBranchDef& branch) {
  return branch.errors ? 7 : 5;
}

}  // namespace

const std::vector<TMBranchDef>& TarvelMBranches() {
  return kBranches;
}

const TMBranchDef* FindTarvelMBranch(uint8_t subsystem, uint8_t branch) {
  for (const TMBranchDef& b : kBranches)
    if (b.subsystem == subsystem && b.branch == branch) return &b;
  return nullptr;
}

std::string TarvelMValueKey(std::string_view serial, uint8_t subsystem) {
  return std::string(serial) + "/" + std::to_string(subsystem);
}

TTarvelMDevice::TTarvelMDevice(uint8_t address, std::string serial, TFaultCell* faults)
    : TTarvelDevice(MLayout(), address, std::move(serial)), faults_(faults != nullptr ? faults : &Faults()) {}

std::vector<uint8_t> TTarvelMDevice::Answer(const TTarvelRequest& request, TDateTime now,
                                            const TFaults& faults) const {
  TDateTime deviceNow = now + faults.clockOffsetMinutes / 1440.0;
  switch (request.function) {
    case kFnList:
      return List(request);
    case kFnRead:
      return Read(request, deviceNow, faults);
    case kFnBlock:
      return Block(request, deviceNow, faults);
    default:
      return Refusal(request);
  }
}

std::vector<uint8_t> TTarvelMDevice::List(const TTarvelRequest& request) const {
  auto ids = request.Ids();
  std::vector<std::pair<uint8_t, uint8_t>> entries;
  if (ids.empty()) {
    for (uint8_t id : kRootBranches) entries.emplace_back(id, 0);
  } else if (ids.size() == 1 && ids[0] == kTimer) {
    for (uint8_t id : kTimerValues) entries.emplace_back(id, kLeafFlag);
  } else if (ids.size() == 1 && Contains(kRootBranches, ids[0])) {
    for (const TMBranchDef& b : kBranches)
      if (b.subsystem == ids[0]) entries.emplace_back(b.branch, 0);
  } else if (const TMBranchDef* b = ids.size() == 2 ? FindTarvelMBranch(ids[0], ids[1]) : nullptr) {
    for (uint8_t p : b->parameters) entries.emplace_back(p, kLeafFlag);
  } else if (!(ids.size() == 2 && ids[0] == kTimer)) {
    return Refusal(request);
  }
  return ListAnswer(request, entries);
}

std::vector<uint8_t> TTarvelMDevice::Read(const TTarvelRequest& request, TDateTime deviceNow,
                                          const TFaults& faults) const {
  auto ids = request.Ids();
  auto m = DataHead(kAnswerData, request);
  if (ids.size() == 3 && ids[0] == kSerialBranch && ids[1] == 0x2F && ids[2] == 0x29) {
    auto field = SerialField(faults.serial.empty() ? Serial() : faults.serial);
    m.push_back(static_cast<uint8_t>(field.size()));
    m.insert(m.end(), field.begin(), field.end());
  } else if (ids.size() == 2 && ids[0] == kTimer && ids[1] == kTimerStatus) {
    uint16_t word = TimerStatusWord(Serial());
    m.insert(m.end(), {2, static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word & 0xFF)});
  } else if (ids.size() == 2 && ids[0] == kTimer &&
             (ids[1] == kTimerClock || ids[1] == kTimerVersion || ids[1] == kTimerConfig || ids[1] == 46)) {
    TDateTime value = ids[1] == kTimerClock     ? deviceNow
                      : ids[1] == kTimerVersion ? FirmwareDate()
                                                : ConfigChangeDate(Serial());
    m.push_back(6);
    PutDateTime(m, value, faults.badDates);
  } else if (ids.size() == 2 && ids[0] == kTimer && Contains(kTimerValues, ids[1])) {
    m.insert(
        m.end(),
        {1, static_cast<uint8_t>(ids[1] == kDayOfWeek ? DateTimeToSystemTime(deviceNow).wDayOfWeek : 0)});
  } else if (ids.size() == 2 && ids[0] == kTimer && ids[1] == 0x11) {
    m.insert(m.end(), {1, 0});  // the operator's poll
  } else {
    return Refusal(request);
  }
  SetLength(m);
  return m;
}

std::vector<uint8_t> TTarvelMDevice::Block(const TTarvelRequest& request, TDateTime deviceNow,
                                           const TFaults& faults) const {
  auto ids = request.Ids();
  if (ids.size() < 2 || request.tail.empty()) return Refusal(request);
  const TMBranchDef* branch = FindTarvelMBranch(ids[0], ids[1]);
  if (branch == nullptr) return Refusal(request);
  if (ids.size() == 3) {
    if (branch->ringSize == 0 || (ids[2] != kDateColumn && !Contains(branch->parameters, ids[2])))
      return Refusal(request);
    return Archive(request, *branch, ids[2], deviceNow, faults);
  }
  if (request.tail[0] == kWholeRecord) {
    if (branch->ringSize == 0) return Refusal(request);
    return Archive(request, *branch, kWholeRecord, deviceNow, faults);
  }
  if (branch->ringSize != 0) return Refusal(request);
  auto m = DataHead(kAnswerBlock, request);
  std::string key = TarvelMValueKey(Serial(), branch->subsystem);
  m.push_back(static_cast<uint8_t>(branch->parameters.size()));
  for (uint8_t p : branch->parameters) {
    m.push_back(CurrentStatus(key, p));
    PutFloat(m, CurrentValue(key, p, deviceNow));
  }
  SetLength(m);
  return m;
}

std::vector<uint8_t> TTarvelMDevice::Archive(const TTarvelRequest& request, const TMBranchDef& branch,
                                             uint8_t parameter, TDateTime deviceNow,
                                             const TFaults& faults) const {
  TRing ring = ArchiveRing(branch.period, branch.ringSize, deviceNow, true);
  int fill = faults.emptyArchives ? 0 : faults.ringFill;
  if (fill >= 0) ring = PartlyWrittenRing(ring, fill, 0);
  std::string key = TarvelMValueKey(Serial(), branch.subsystem);
  // The oldest written record of this answer gets month 13 while the fault lasts.
  int badPosition = -1;
  if (faults_->Take(&TFaults::badArchiveDate)) {
    std::vector<int> order = ring.TimeOrder();
    auto written = std::find_if(order.begin(), order.end(), [&](int pos) { return ring.Written(pos); });
    if (written != order.end()) badPosition = *written;
  }

  bool dates = parameter == kDateColumn, whole = parameter == kWholeRecord;
  auto m = DataHead(kAnswerBlock, request);
  m.push_back(static_cast<uint8_t>(ring.Size()));
  for (int pos = 0; pos < ring.Size(); ++pos) {
    size_t entries = whole ? branch.parameters.size() : 1;
    size_t size =
        dates ? (branch.errors ? 7 : 5)
              : (whole ? 5 + entries * EntrySize(branch) + (branch.errors ? 9 : 0) : EntrySize(branch));
    if (!ring.Written(pos)) {
      m.insert(m.end(), size, 0xFF);
      continue;
    }
    int64_t index = ring.index[static_cast<size_t>(pos)];
    bool running = pos == ring.newest;
    if (dates || whole) PutDate5(m, PeriodStart(branch.period, index), pos == badPosition);
    if (dates) {
      if (branch.errors) m.insert(m.end(), 2, 0);
      continue;
    }
    if (!whole) {
      PutEntry(m, branch, key, parameter, index, running, deviceNow);
      continue;
    }
    for (uint8_t p : branch.parameters) PutEntry(m, branch, key, p, index, running, deviceNow);
    if (branch.errors) m.insert(m.end(), 9, 0);
  }
  SetLength(m);
  return m;
}

TTunnelledTarvelM::TTunnelledTarvelM(uint8_t address, std::string serial)
    : TModBusDevice("tarvelm_mb", address, serial), meter_(address, serial, &Faults()) {}

}  // namespace orvela::sim
