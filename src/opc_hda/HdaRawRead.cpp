#include "opc_hda/HdaRawRead.h"

#include <algorithm>

#include "opc_hda/HdaTime.h"
#include "platform/com/opc/OpcError.h"

namespace orvela {
namespace {

constexpr int64_t kMsTicks = 10'000;
constexpr int64_t kHourTicks = 3'600 * 1000 * kMsTicks;
// An open end reads what the device holds up to now; a meter's clock may run somewhat ahead of ours.
constexpr int64_t kOpenEndAheadTicks = 366 * 24 * kHourTicks;

int64_t Ticks(const THdaRecord& r) {
  return FileTimeToInt64(r.Time);
}

TTaskTime AtTicks(int64_t ticks) {
  TTaskTime t;
  t.Time = Int64ToFileTime(ticks);
  return t;
}

THdaRecord NoBound(int64_t at) {
  THdaRecord r;
  r.Time = Int64ToFileTime(at);
  r.Quality = OPCHDA_NOBOUND;
  return r;
}

bool IsEmpty(const OPCHDA_TIME& t) {
  return t.bString ? !t.szTime || !*t.szTime : FileTimeToInt64(t.ftTime) == 0;
}

// The client's time resolved, the time a text stood for written back as the interface asks.
std::optional<int64_t> Resolve(OPCHDA_TIME* time, const Clock& clock) {
  const auto resolved = ResolveHdaTime(time, clock);
  if (!resolved) return std::nullopt;
  if (time->bString) time->ftTime = resolved->Time;
  return FileTimeToInt64(resolved->Time);
}

}  // namespace

HRESULT MakeRawRead(OPCHDA_TIME* start, OPCHDA_TIME* end, DWORD maxValues, BOOL bounds, const Clock& clock,
                    THdaRawRead& out) {
  if (!start || !end || IsEmpty(*start)) return E_INVALIDARG;
  const auto from = Resolve(start, clock);
  if (!from) return E_INVALIDARG;
  out = THdaRawRead{};
  out.start = *from;
  out.maxValues = maxValues;
  out.bounds = bounds != FALSE;
  if (IsEmpty(*end)) {
    // Without an end only a count says where the read stops.
    if (maxValues == 0) return E_INVALIDARG;
    return S_OK;
  }
  out.end = Resolve(end, clock);
  return out.end ? S_OK : E_INVALIDARG;
}

int64_t BoundReachOf(const TNTreeData* node) {
  const int64_t step = node ? node->ArchiveStep : 0;
  return step > 0 ? 2 * step * kMsTicks : 2 * kHourTicks;
}

std::pair<TTaskTime, TTaskTime> THdaRawRead::EngineWindow(const Clock& clock) const {
  const int64_t reach = bounds ? boundReach : 0;
  if (Reverse()) return {AtTicks(*end - reach - kMsTicks), AtTicks(start + reach + kMsTicks)};
  const int64_t last =
      end ? *end + reach : FileTimeToInt64(UtcDateTimeToFileTime(clock.NowUtc())) + kOpenEndAheadTicks;
  return {AtTicks(start - reach - kMsTicks), AtTicks(last + kMsTicks)};
}

HRESULT THdaRawRead::Shape(std::vector<THdaRecord>& records) const {
  std::stable_sort(records.begin(), records.end(),
                   [](const THdaRecord& a, const THdaRecord& b) { return Ticks(a) < Ticks(b); });
  const bool reverse = Reverse();
  // In the read's direction: "before" the start and "after" the end.
  const auto before = [&](int64_t a, int64_t b) { return reverse ? a > b : a < b; };
  const auto inRange = [&](int64_t t) {
    if (end && *end == start) return t == start;
    return !before(t, start) && (!end || before(t, *end));
  };
  if (reverse) std::reverse(records.begin(), records.end());

  std::vector<THdaRecord> out;
  bool any = false;
  if (bounds) {
    // The value at the start is the start's bound itself; otherwise the nearest one before it.
    const bool atStart =
        std::any_of(records.begin(), records.end(), [&](const THdaRecord& r) { return Ticks(r) == start; });
    if (!atStart) {
      const THdaRecord* nearest = nullptr;
      for (const THdaRecord& r : records)
        if (before(Ticks(r), start)) nearest = &r;
      out.push_back(nearest ? *nearest : NoBound(start));
    }
  }
  for (THdaRecord& r : records)
    if (inRange(Ticks(r))) {
      out.push_back(std::move(r));
      any = true;
    }
  if (bounds && end && *end != start) {
    // The value at the end, or the nearest one after it.
    auto it = std::find_if(records.begin(), records.end(),
                           [&](const THdaRecord& r) { return !before(Ticks(r), *end); });
    out.push_back(it != records.end() ? std::move(*it) : NoBound(*end));
  }
  HRESULT error = any ? S_OK : OPC_S_NODATA;
  if (maxValues != 0 && out.size() > maxValues) {
    out.resize(maxValues);
    error = OPC_S_MOREDATA;
  }
  records = std::move(out);
  return error;
}

}  // namespace orvela
