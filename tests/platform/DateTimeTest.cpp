#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/DateTime.h"
#include "support/TimeZone.h"

namespace orvela {
namespace {

using test::TZoneScope;

struct TCalendarCase {
  int year, month, day, hour, minute, second, ms;
  double days;
  int dayOfWeek;  // 0 Sunday
};

// Day counts checked against Python's date arithmetic from 1899-12-30; negative counts keep the time
// of day counting forwards (-36522.5 is noon of 1800-01-01).
const TCalendarCase kCalendar[] = {
    {1899, 12, 30, 0, 0, 0, 0, 0.0, 6},
    {1899, 12, 29, 6, 0, 0, 0, -1.25, 5},
    {1899, 12, 29, 0, 0, 0, 0, -1.0, 5},
    {1800, 1, 1, 12, 0, 0, 0, -36522.5, 3},
    {1600, 2, 29, 18, 0, 0, 0, -109512.75, 2},
    {1, 1, 1, 0, 0, 0, 0, -693593.0, 1},
    {1900, 1, 1, 0, 0, 0, 0, 2.0, 1},
    {1900, 3, 1, 0, 0, 0, 0, 61.0, 4},
    {2000, 1, 1, 0, 0, 0, 0, 36526.0, 6},
    {2024, 2, 29, 12, 0, 0, 0, 45351.5, 4},
    {2024, 2, 29, 23, 59, 59, 999, 45351.0 + 86'399'999 / kMsPerDay, 4},
    {9999, 12, 31, 0, 0, 0, 0, 2958465.0, 5},
};

TEST(DateTime, CalendarToDayCountAndBack) {
  for (const auto& c : kCalendar) {
    SCOPED_TRACE(testing::Message() << c.year << "-" << c.month << "-" << c.day);
    const TDateTime dt = EncodeDateTime(c.year, c.month, c.day, c.hour, c.minute, c.second, c.ms);
    EXPECT_DOUBLE_EQ(dt, c.days);
    const SYSTEMTIME st = DateTimeToSystemTime(c.days);
    EXPECT_EQ(st.wYear, c.year);
    EXPECT_EQ(st.wMonth, c.month);
    EXPECT_EQ(st.wDay, c.day);
    EXPECT_EQ(st.wHour, c.hour);
    EXPECT_EQ(st.wMinute, c.minute);
    EXPECT_EQ(st.wSecond, c.second);
    EXPECT_EQ(st.wMilliseconds, c.ms);
    EXPECT_EQ(st.wDayOfWeek, c.dayOfWeek);
    EXPECT_DOUBLE_EQ(SystemTimeToDateTime(st), c.days);
  }
}

TEST(DateTime, LeapDaysAndInvalidDates) {
  EXPECT_TRUE(IsValidDate(2024, 2, 29));
  EXPECT_TRUE(IsValidDate(2000, 2, 29));
  EXPECT_FALSE(IsValidDate(1900, 2, 29));
  EXPECT_FALSE(IsValidDate(2100, 2, 29));
  EXPECT_FALSE(IsValidDate(2023, 2, 29));
  EXPECT_FALSE(IsValidDate(2024, 4, 31));
  EXPECT_FALSE(IsValidDate(2024, 13, 1));
  EXPECT_FALSE(IsValidDate(2024, 0, 1));
  EXPECT_FALSE(IsValidDate(0, 1, 1));
  EXPECT_TRUE(IsValidDate(2024, 12, 31));
  // The day after a leap day is the first of March.
  const SYSTEMTIME next = DateTimeToSystemTime(EncodeDateTime(2024, 2, 29) + 1);
  EXPECT_EQ(next.wMonth, 3);
  EXPECT_EQ(next.wDay, 1);
}

TEST(DateTime, MillisecondsSurviveTheDoubleAndTheText) {
  const TDateTime dt = EncodeDateTime(2023, 10, 5, 7, 8, 9, 987);
  EXPECT_EQ(DateTimeToSystemTime(dt).wMilliseconds, 987);
  EXPECT_EQ(DateTimeToUnixMs(UnixMsToDateTime(1'700'000'000'123)), 1'700'000'000'123);
  EXPECT_EQ(DateTimeToUnixMs(UnixMsToDateTime(-86'400'000 - 1)), -86'400'000 - 1);
  EXPECT_EQ(FormatDateTime(dt), "05.10.2023 07:08:09");
  EXPECT_EQ(FormatDateTime(-1.25), "29.12.1899 06:00:00");
}

TEST(DateTime, LocalAndUtcInMoscow) {
  TZoneScope zone("Europe/Moscow");
  struct TCase {
    TDateTime local, utc;
    const char* why;
  };
  const TCase cases[] = {
      {EncodeDateTime(2024, 1, 15, 12, 0, 0, 250), EncodeDateTime(2024, 1, 15, 9, 0, 0, 250),
       "UTC+3 since 2014"},
      {EncodeDateTime(2010, 7, 1, 12), EncodeDateTime(2010, 7, 1, 8), "summer time of 2010, UTC+4"},
      {EncodeDateTime(2010, 1, 1, 12), EncodeDateTime(2010, 1, 1, 9), "winter time of 2010, UTC+3"},
      {EncodeDateTime(2013, 1, 1, 12), EncodeDateTime(2013, 1, 1, 8), "permanent UTC+4 of 2011-2014"},
      {EncodeDateTime(2024, 1, 1, 1, 30), EncodeDateTime(2023, 12, 31, 22, 30),
       "across midnight and the year"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(DateTimeToUnixMs(LocalToUtc(c.local)), DateTimeToUnixMs(c.utc));
    EXPECT_EQ(DateTimeToUnixMs(UtcToLocal(c.utc)), DateTimeToUnixMs(c.local));
  }
}

TEST(DateTime, FileTimeOfKnownInstants) {
  TZoneScope zone("Europe/Moscow");
  // 2024-01-01 00:00:00 UTC: (1704067200 s + 11644473600 s) * 10^7.
  constexpr int64_t kNewYear2024 = 133'485'408'000'000'000;
  constexpr int64_t kUnixEpoch = 116'444'736'000'000'000;
  EXPECT_EQ(FileTimeToInt64(UtcDateTimeToFileTime(EncodeDateTime(2024, 1, 1))), kNewYear2024);
  EXPECT_EQ(FileTimeToInt64(LocalDateTimeToFileTime(EncodeDateTime(2024, 1, 1, 3))), kNewYear2024);
  EXPECT_EQ(FileTimeToInt64(UtcDateTimeToFileTime(kUnixEpochDays)), kUnixEpoch);
  EXPECT_DOUBLE_EQ(FileTimeToUtcDateTime(Int64ToFileTime(kNewYear2024)), EncodeDateTime(2024, 1, 1));
  EXPECT_DOUBLE_EQ(FileTimeToLocalDateTime(Int64ToFileTime(kNewYear2024)), EncodeDateTime(2024, 1, 1, 3));
  // The two 32-bit halves.
  const FILETIME ft = Int64ToFileTime(kNewYear2024);
  EXPECT_EQ(ft.dwHighDateTime, static_cast<DWORD>(kNewYear2024 >> 32));
  EXPECT_EQ(ft.dwLowDateTime, static_cast<DWORD>(kNewYear2024 & 0xFFFFFFFF));
  // Milliseconds are kept to the 100 ns tick.
  EXPECT_EQ(FileTimeToInt64(UtcDateTimeToFileTime(EncodeDateTime(2024, 1, 1, 0, 0, 0, 5))),
            kNewYear2024 + 50'000);
  // Before 1601 there is no file time: the earliest one stands in.
  EXPECT_EQ(FileTimeToInt64(UtcDateTimeToFileTime(EncodeDateTime(1500, 1, 1))), 0);
}

}  // namespace
}  // namespace orvela
