#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <string>

#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComSystem.h"
#include "platform/com/ComText.h"
#include "support/TimeZone.h"

namespace orvela {
namespace {

TEST(FormatMessage, GivesSystemTextsWithTheirLineEnd) {
  WCHAR buf[256];
  const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  const struct {
    DWORD code;
    const char* text;
  } cases[] = {
      {static_cast<DWORD>(E_ACCESSDENIED), "Access is denied.\r\n"},  // via its Win32 code
      {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
      {static_cast<DWORD>(E_FAIL), "Unspecified error\r\n"},
      {static_cast<DWORD>(RPC_E_DISCONNECTED), "The object invoked has disconnected from its clients.\r\n"},
  };
  for (const auto& c : cases) {
    const DWORD n = FormatMessageW(flags, nullptr, c.code, 0, buf, 256, nullptr);
    EXPECT_EQ(n, std::string(c.text).size());
    EXPECT_EQ(WideToUtf8(buf), c.text);
  }
  EXPECT_EQ(FormatMessageW(flags, nullptr, 0xC0040004, 0, buf, 256, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  EXPECT_EQ(FormatMessageW(flags, nullptr, ERROR_ACCESS_DENIED, 0, buf, 10, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

  LPWSTR allocated = nullptr;
  const int64_t before = ComOutstandingAllocations();
  ASSERT_GT(FormatMessageW(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, static_cast<DWORD>(E_FAIL), 0,
                           reinterpret_cast<LPWSTR>(&allocated), 0, nullptr),
            0u);
  EXPECT_EQ(WideToUtf8(allocated), "Unspecified error\r\n");
  LocalFree(allocated);
  EXPECT_EQ(ComOutstandingAllocations(), before);
}

// Pins the process clock and the zone for one test.
class PinnedTime : public ::testing::Test {
 protected:
  void TearDown() override { SetSystemClock(nullptr); }
  void Zone(const char* tz) {
    zone_.reset();
    zone_.emplace(tz);
  }

 private:
  std::optional<test::TZoneScope> zone_;
};

TEST_F(PinnedTime, SystemTimeAndTicksComeFromTheClock) {
  Zone("Europe/Moscow");
  ManualClock clock(EncodeDateTime(2024, 3, 10, 15, 0, 0));
  SetSystemClock(&clock);
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  SYSTEMTIME st;
  ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
  EXPECT_EQ(st.wYear, 2024);
  EXPECT_EQ(st.wHour, 12);      // UTC
  EXPECT_EQ(st.wDayOfWeek, 0);  // a Sunday
  const DWORD t0 = GetTickCount();
  clock.Advance(1500);
  EXPECT_EQ(GetTickCount() - t0, 1500u);

  // SYSTEMTIME <-> FILETIME is exact to the millisecond and checks its fields.
  SYSTEMTIME in{2023, 12, 0, 31, 23, 59, 59, 999};
  ASSERT_TRUE(SystemTimeToFileTime(&in, &ft));
  ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
  in.wDayOfWeek = 0;  // 2023-12-31 was a Sunday
  EXPECT_EQ(st, in);
  SYSTEMTIME bad{2023, 2, 0, 29, 0, 0, 0, 0};
  EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
}

TEST_F(PinnedTime, LocalFileTimesUseTheOffsetInForceNow) {
  Zone("Europe/Berlin");
  ManualClock clock(EncodeDateTime(2024, 7, 1, 12, 0, 0));  // summer: UTC+2
  SetSystemClock(&clock);
  SYSTEMTIME winter{2024, 1, 0, 15, 10, 0, 0, 0};
  FILETIME local, utc, back;
  ASSERT_TRUE(SystemTimeToFileTime(&winter, &local));
  ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utc));
  SYSTEMTIME st;
  FileTimeToSystemTime(&utc, &st);
  EXPECT_EQ(st.wHour, 8);  // today's offset, though that January day was UTC+1
  ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &back));
  EXPECT_EQ(back, local);

  TIME_ZONE_INFORMATION tzi;
  EXPECT_EQ(GetTimeZoneInformation(&tzi), static_cast<DWORD>(TIME_ZONE_ID_DAYLIGHT));
  EXPECT_EQ(tzi.Bias, -60);
  EXPECT_EQ(tzi.DaylightBias, -60);
  EXPECT_EQ(tzi.StandardBias, 0);
  // Last Sunday of March at 02:00, last Sunday of October at 03:00.
  EXPECT_EQ(tzi.DaylightDate, (SYSTEMTIME{0, 3, 0, 5, 2, 0, 0, 0}));
  EXPECT_EQ(tzi.StandardDate, (SYSTEMTIME{0, 10, 0, 5, 3, 0, 0, 0}));
  EXPECT_EQ(WideToUtf8(tzi.StandardName), "CET");
}

TEST_F(PinnedTime, ZoneWithoutDaylightSaving) {
  Zone("Europe/Moscow");
  TIME_ZONE_INFORMATION tzi;
  EXPECT_EQ(GetTimeZoneInformation(&tzi), static_cast<DWORD>(TIME_ZONE_ID_UNKNOWN));
  EXPECT_EQ(tzi.Bias, -180);
  EXPECT_EQ(tzi.DaylightDate, SYSTEMTIME{});
  EXPECT_EQ(GetTimeZoneInformation(nullptr), static_cast<DWORD>(TIME_ZONE_ID_INVALID));
}

}  // namespace
}  // namespace orvela
