#include "drivers/TarvelMDecode.h"

#include <algorithm>
#include <cmath>

namespace orvela {
namespace {

constexpr size_t kCurrentBlock = 12;
constexpr size_t kCurrentEntry = 5;
constexpr size_t kHeaderSize = 5;
constexpr size_t kValueEntry = 5;
constexpr size_t kErrorEntry = 7;
constexpr size_t kErrorRecordTail = 9;
constexpr size_t kErrorDateSize = 7;
constexpr double kFutureDays = 2;
constexpr double kTwoSecondUnitsPerHour = 1800;

bool AllFilled(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

std::span<const uint8_t> BytesAt(const TAnswer& answer, size_t at, size_t count) {
  return answer.Bytes().subspan(at, count);
}

float FloatAt(const TAnswer& answer, size_t at) {
  return DecodeFloatBE(answer.Bytes().subspan(at).first<4>());
}

int64_t HourOf(TDateTime t) {
  return static_cast<int64_t>(std::floor(t * 24 + 1e-7));
}
int64_t DayOf(TDateTime t) {
  return static_cast<int64_t>(std::floor(t + 1e-9));
}

// One month and one day before the day of t.
TDateTime MonthAndDayBefore(TDateTime t) {
  SYSTEMTIME st = DateTimeToSystemTime(t);
  int year = st.wYear, month = st.wMonth - 1;
  if (month < 1) {
    month = 12;
    --year;
  }
  int day = st.wDay;
  while (day > 28 && !IsValidDate(year, month, day)) --day;
  return EncodeDateTime(year, month, day) - 1;
}

// A record the meter is still filling: its values are not final yet. The error archives fill their
// running hour and day as the others do.
bool InProgress(TDateTime t, const TMArchiveContext& c) {
  bool hourly = c.archive == 26 || c.archive == 90, daily = c.archive == 27 || c.archive == 91;
  if (hourly && HourOf(t) == HourOf(c.now)) return true;
  if (daily && DayOf(t) == DayOf(c.now)) return true;
  if (!c.clockKnown) return false;
  if (c.archive == 28 && t > MonthAndDayBefore(c.now)) return true;
  return hourly && !c.operative && HourOf(t) == HourOf(c.deviceTime);
}

// The time stamp of one record from its five date fields (yy mm dd hh mi); the item's count 0 for an
// unwritten record, value quality bad for a date that cannot be right.
TPrbArray DateItem(const TAnswer& answer, size_t at, const TMArchiveContext& context, size_t blockOffset,
                   TMDateReport& report) {
  TPrbArray item;
  std::span<const uint8_t> fields = BytesAt(answer, at, kHeaderSize);
  if (AllFilled(fields)) return item;
  item.Count = 1;
  std::optional<TDateTime> date =
      DeviceDate(TwoDigitYear(fields[0]), fields[1], fields[2], fields[3], fields[4], 0);
  if (!date || *date > context.now + kFutureDays) {
    report.Note(at - blockOffset, fields);
    item.ValueQuality = kQualityBad;
    return item;
  }
  item.ValueQuality = kQualityGood;
  if (InProgress(*date, context)) return item;
  item.TimeStamp = *date;
  item.TimeQuality = kQualityGood;
  return item;
}

TPrbArray Stamped(const TVariant& value, const TPrbArray& date) {
  TPrbArray item = TPrbArray::MakeValue(value, date.ValueQuality);
  item.TimeStamp = date.TimeStamp;
  item.TimeQuality = date.TimeQuality;
  return item;
}

void CloseColumn(TPrbArray& column) {
  column.Count = static_cast<int32_t>(column.Items.size());
  column.ValueQuality = kQualityGood;
}

// Items of a value column in time order (a ring read in stored order may wrap).
void SortByTime(TPrbArray& column) {
  std::stable_sort(column.Items.begin(), column.Items.end(),
                   [](const TPrbArray& a, const TPrbArray& b) { return a.TimeStamp < b.TimeStamp; });
}

// An error-archive entry (duration in 2 s units MSB first, flags, single MSB first: seven bytes) into the
// three columns values, durations in hours and remapped flags.
void AddErrorEntry(const TAnswer& answer, size_t at, const TPrbArray& date, TPrbArray& columns) {
  if (AllFilled(BytesAt(answer, at, kErrorEntry))) return;
  double units = (answer.At(at) << 8) | answer.At(at + 1);
  columns.Items[0].Items.push_back(Stamped(TVariant::Single(FloatAt(answer, at + 3)), date));
  columns.Items[1].Items.push_back(
      Stamped(TVariant::Single(static_cast<float>(units / kTwoSecondUnitsPerHour)), date));
  columns.Items[2].Items.push_back(Stamped(TVariant::Int(RemapStatusM(answer.At(at + 2))), date));
}

TPrbArray ErrorColumns() {
  TPrbArray columns;
  columns.Items.resize(3);
  return columns;
}

void CloseErrorColumns(TPrbArray& columns) {
  for (TPrbArray& column : columns.Items) CloseColumn(column);
  columns.Count = 3;
  columns.ValueQuality = kQualityGood;
}

}  // namespace

void TMDateReport::Note(size_t at, std::span<const uint8_t> fields) {
  bad = true;
  position = at;
  text += HexDump(fields);
}

int32_t RemapStatusM(uint8_t flags) {
  int32_t out = 0;
  if (flags & 0x08) out |= 0x04;
  if (flags & 0x10) out |= 0x08;
  if (flags & 0xE0) out |= 0x01;
  return out;
}

TMBranchIds OrderBranchIds(uint8_t id0, uint8_t id1) {
  if ((id0 & 0x0F) != 0x08) return {id1, id0};
  return {id0, id1};
}

size_t MBlockOffset(const TAnswer& answer) {
  switch (answer.At(4)) {
    case 4:
    case 5:
      return 12;
    case 3:
      return 10;
    default:
      return 13;
  }
}

bool DecodeMCurrent(const TAnswer& answer, size_t children, std::span<const size_t> wanted,
                    TPrbArray& result) {
  if (!answer.Has(kCurrentBlock)) return false;
  // Entries the answer really holds: its count, bounded by its bytes.
  size_t entries =
      std::min<size_t>(answer.At(kCurrentBlock), (answer.Size() - kCurrentBlock - 1) / kCurrentEntry);
  result.Items.assign(children, TPrbArray{});
  for (size_t child : wanted) {
    if (child >= children || child >= entries) continue;
    size_t at = kCurrentBlock + 1 + kCurrentEntry * child;
    TPrbArray& item = result.Items[child];
    item.Count = 1;
    if (AllFilled(BytesAt(answer, at, kCurrentEntry))) {
      item.ValueQuality = kQualityBad;
      item.Items = {TPrbArray::MakeValue(TVariant(), kQualityBad),
                    TPrbArray::MakeValue(TVariant(), kQualityBad)};
      continue;
    }
    item.ValueQuality = kQualityGood;
    item.Items = {TPrbArray::MakeValue(TVariant::Single(FloatAt(answer, at + 1))),
                  TPrbArray::MakeValue(TVariant::Int(RemapStatusM(answer.At(at))))};
  }
  result.Count = 1;
  result.ValueQuality = kQualityGood;
  return true;
}

bool DecodeMDates(const TAnswer& answer, size_t offset, bool errorArchive, const TMArchiveContext& context,
                  TPrbArray& dates, TMDateReport& report) {
  if (!answer.Has(offset)) return false;
  size_t n = answer.At(offset);
  size_t size = errorArchive ? kErrorDateSize : kHeaderSize;
  if (!answer.Has(offset + 1, n * size)) return false;
  dates = {};
  for (size_t i = 0; i < n; ++i)
    dates.Items.push_back(DateItem(answer, offset + 1 + i * size, context, offset, report));
  dates.Count = static_cast<int32_t>(n);
  return true;
}

bool DecodeMParameter(const TAnswer& answer, size_t offset, const TPrbArray& dates, bool errorArchive,
                      TPrbArray& result) {
  if (!answer.Has(offset)) return false;
  size_t n = answer.At(offset);
  size_t size = errorArchive ? kErrorEntry : kValueEntry;
  if (static_cast<int32_t>(n) != dates.Count || dates.Items.size() < n || !answer.Has(offset + 1, n * size))
    return false;
  if (errorArchive) {
    result = ErrorColumns();
    for (size_t i = 0; i < n; ++i)
      if (dates.Items[i].Count == 1) AddErrorEntry(answer, offset + 1 + i * size, dates.Items[i], result);
    CloseErrorColumns(result);
    return true;
  }
  result = {};
  for (size_t i = 0; i < n; ++i) {
    size_t at = offset + 1 + i * size;
    if (dates.Items[i].Count != 1 || AllFilled(BytesAt(answer, at, 4))) continue;
    result.Items.push_back(Stamped(TVariant::Single(FloatAt(answer, at)), dates.Items[i]));
  }
  SortByTime(result);
  CloseColumn(result);
  return true;
}

bool DecodeMRecords(const TAnswer& answer, size_t offset, size_t children, bool errorArchive,
                    const TMArchiveContext& context, TPrbArray& result, TMDateReport& report) {
  if (!answer.Has(offset)) return false;
  size_t n = answer.At(offset);
  size_t block = answer.Size() - offset - 1;
  result = {};
  result.Items.assign(children, errorArchive ? ErrorColumns() : TPrbArray{});
  size_t entries = 0, entrySize = errorArchive ? kErrorEntry : kValueEntry;
  size_t recordSize = 0;
  if (n > 0) {
    // The entries per record follow from the answer's length; a block that does not divide evenly is no
    // archive of this layout.
    size_t fixed = kHeaderSize + (errorArchive ? kErrorRecordTail : 0);
    if (block % n != 0 || block / n < fixed + entrySize || (block / n - fixed) % entrySize != 0) return false;
    recordSize = block / n;
    entries = (recordSize - fixed) / entrySize;
  }
  for (size_t r = 0; r < n; ++r) {
    size_t at = offset + 1 + r * recordSize;
    TPrbArray date = DateItem(answer, at, context, offset, report);
    if (date.Count != 1) continue;
    for (size_t child = 0; child < std::min(children, entries); ++child) {
      size_t entry = at + kHeaderSize + child * entrySize;
      if (errorArchive) {
        AddErrorEntry(answer, entry, date, result.Items[child]);
      } else if (!AllFilled(BytesAt(answer, entry, 4))) {
        result.Items[child].Items.push_back(Stamped(TVariant::Single(FloatAt(answer, entry)), date));
      }
    }
  }
  for (TPrbArray& column : result.Items) {
    if (errorArchive) {
      CloseErrorColumns(column);
    } else {
      SortByTime(column);
      CloseColumn(column);
    }
  }
  result.Count = static_cast<int32_t>(children);
  result.ValueQuality = kQualityGood;
  return true;
}

}  // namespace orvela
