#pragma once
// TDateTime: days since 1899-12-30 as a double, local time unless a name says UTC.
#include <cstdint>
#include <string>

#include "platform/com/WinTypes.h"

namespace orvela {

using TDateTime = double;

constexpr double kMsPerDay = 86'400'000.0;
// Unix epoch (1970-01-01) as a day count.
constexpr double kUnixEpochDays = 25569.0;

// Calendar fields of a TDateTime, in whatever zone the TDateTime is in.
SYSTEMTIME DateTimeToSystemTime(TDateTime dt);
TDateTime SystemTimeToDateTime(const SYSTEMTIME& st);
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                         int millisecond = 0);
// False for a calendar date that does not exist.
bool IsValidDate(int year, int month, int day);

// Local <-> UTC through the C library's time zone (TZ respected).
TDateTime LocalToUtc(TDateTime local);
TDateTime UtcToLocal(TDateTime utc);

// FILETIME: 100 ns intervals since 1601-01-01, always UTC here.
FILETIME UtcDateTimeToFileTime(TDateTime utc);
TDateTime FileTimeToUtcDateTime(const FILETIME& ft);
FILETIME LocalDateTimeToFileTime(TDateTime local);
TDateTime FileTimeToLocalDateTime(const FILETIME& ft);
int64_t FileTimeToInt64(const FILETIME& ft);
FILETIME Int64ToFileTime(int64_t v);

// Unix milliseconds (UTC) <-> TDateTime (UTC).
TDateTime UnixMsToDateTime(int64_t unixMs);
int64_t DateTimeToUnixMs(TDateTime dt);

// "dd.mm.yyyy hh:nn:ss" as the logs write it.
std::string FormatDateTime(TDateTime dt);

}  // namespace orvela
