// HDA time texts: the relative keyword forms clients send and the ISO forms the command line takes.
#include <gtest/gtest.h>

#include "opc_hda/HdaTime.h"

namespace orvela::test {
namespace {

// A Wednesday, local time.
const TDateTime kNow = EncodeDateTime(2024, 3, 6, 10, 20, 30, 500);

struct TRelativeCase {
  const char* text;
  TDateTime expected;  // 0: malformed
};

TEST(HdaTime, RelativeTextsTable) {
  const TRelativeCase cases[] = {
      {"NOW", kNow},
      {"now", kNow},
      {"NOW-1D", kNow - 1},
      {" DAY - 1 D ", EncodeDateTime(2024, 3, 5)},
      {"DAY-1D+2H", EncodeDateTime(2024, 3, 5, 2)},
      {"SECOND", EncodeDateTime(2024, 3, 6, 10, 20, 30)},
      {"MINUTE+30S", EncodeDateTime(2024, 3, 6, 10, 20, 30)},
      {"HOUR-90M", EncodeDateTime(2024, 3, 6, 8, 30)},
      {"WEEK", EncodeDateTime(2024, 3, 4)},  // weeks start on Monday
      {"WEEK-1W", EncodeDateTime(2024, 2, 26)},
      {"MONTH-1MO", EncodeDateTime(2024, 2, 1)},
      {"YEAR+1Y", EncodeDateTime(2025, 1, 1)},
      {"DAY+25D-1MO", EncodeDateTime(2024, 2, 29)},  // March 31st less a month: the month's last day
      {"YEAR-1Y+1MO-2D", EncodeDateTime(2023, 1, 30)},
      {"", 0},
      {"YESTERDAY", 0},
      {"NOW-", 0},
      {"NOW-1", 0},
      {"NOW-1X", 0},
      {"NOW1D", 0},
      {"DAY+-1D", 0},
      {"NOW-1.5D", 0},
      {"NOW-99999999999D", 0},
      {"NOW-9000Y", 0},
      {"NOWNOW", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto t = ParseHdaRelativeTime(c.text, kNow);
    if (c.expected == 0) {
      EXPECT_FALSE(t.has_value());
    } else {
      ASSERT_TRUE(t.has_value());
      EXPECT_NEAR(*t, c.expected, 1e-9);
    }
  }
  EXPECT_FALSE(ParseHdaRelativeTime(std::string(kMaxHdaTimeText + 1, ' ') + "NOW", kNow));
}

TEST(HdaTime, IsoTextsLocalAndUtc) {
  const FILETIME local = LocalDateTimeToFileTime(EncodeDateTime(2024, 3, 2, 10, 0));
  struct TCase {
    const char* text;
    int64_t expected;  // 0: malformed
  };
  const TCase cases[] = {
      {"2024-03-02T10:00", FileTimeToInt64(local)},
      {"2024-03-02 10:00:00", FileTimeToInt64(local)},
      {"2024-03-02T07:00:00Z", FileTimeToInt64(local)},  // the test zone is three hours east
      {"2024-03-02T10:00:00.250", FileTimeToInt64(local) + 2'500'000},
      {"2024-03-02", FileTimeToInt64(LocalDateTimeToFileTime(EncodeDateTime(2024, 3, 2)))},
      {"2024-02-30T10:00", 0},
      {"2024-3-2", 0},
      {"2024-03-02T25:00", 0},
      {"2024-03-02T10", 0},
      {"2024-03-02T10:00:00.5", 0},
      {"2024-03-02T10:00Zjunk", 0},
      {"", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto t = ParseIsoTime(c.text);
    if (c.expected == 0) {
      EXPECT_FALSE(t.has_value());
    } else {
      ASSERT_TRUE(t.has_value());
      EXPECT_EQ(FileTimeToInt64(*t), c.expected);
    }
  }
  // The command line takes either form.
  ASSERT_TRUE(ParseTimeText("NOW-1D", kNow));
  EXPECT_EQ(FileTimeToInt64(*ParseTimeText("NOW-1D", kNow)),
            FileTimeToInt64(LocalDateTimeToFileTime(kNow - 1)));
  EXPECT_EQ(FileTimeToInt64(*ParseTimeText("2024-03-02T10:00", kNow)), FileTimeToInt64(local));
}

TEST(HdaTime, ClientRecordIsCopiedAndResolved) {
  ManualClock clock(kNow);
  std::u16string text = u"DAY-1D";
  OPCHDA_TIME record{TRUE, text.data(), {}};
  auto resolved = ResolveHdaTime(&record, clock);
  text.assign(text.size(), u'X');  // the client's buffer is gone after the call
  ASSERT_TRUE(resolved.has_value());
  EXPECT_TRUE(resolved->IsText);
  EXPECT_EQ(resolved->Text, u"DAY-1D");
  EXPECT_EQ(FileTimeToInt64(resolved->Time),
            FileTimeToInt64(LocalDateTimeToFileTime(EncodeDateTime(2024, 3, 5))));

  OPCHDA_TIME absolute{FALSE, nullptr, Int64ToFileTime(123456789)};
  ASSERT_TRUE(ResolveHdaTime(&absolute, clock).has_value());
  EXPECT_EQ(FileTimeToInt64(ResolveHdaTime(&absolute, clock)->Time), 123456789);

  OPCHDA_TIME noText{TRUE, nullptr, {}};
  EXPECT_FALSE(ResolveHdaTime(&noText, clock).has_value());
  EXPECT_FALSE(ResolveHdaTime(nullptr, clock).has_value());
}

}  // namespace
}  // namespace orvela::test
