// simvalues prints what the sim:: value functions give, with UTC times converted through TZ (pinned by the
// test main), so that node tests can compare what they read through OPC UA with the simulator.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "metersim/Values.h"
#include "platform/DateTime.h"
#include "support/Process.h"

namespace orvela {
namespace {

using Json = nlohmann::json;

const std::string kSimValues = std::string(ORVELA_BINARY_DIR) + "/sim/simvalues";

Json SimValues(std::vector<std::string> args) {
  args.insert(args.begin(), kSimValues);
  const test::TProcessResult result = test::RunProgram(args);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  return Json::parse(result.out);
}

int64_t UtcMicros(TDateTime local) {
  return DateTimeToUnixMs(LocalToUtc(local)) * 1000;
}

TEST(SimValues, CurrentValueIsTheMetersReadingOfTheWholeMinute) {
  struct Case {
    const char* serial;
    uint8_t param;
    TDateTime local;
  };
  const Case cases[] = {
      {"12345678", 0x00, EncodeDateTime(2024, 3, 10, 14, 25, 59, 999)},  // totalising, end of a minute
      {"12345678", 0x00, EncodeDateTime(2024, 3, 10, 14, 26)},
      {"87654321", 0x13, EncodeDateTime(2023, 12, 31, 23, 59, 30)},
      {"12345678", 0x05, EncodeDateTime(2024, 7, 1, 0, 0, 1)},  // a state quantity
      {"1", 0xF0, EncodeDateTime(2025, 1, 1)},                  // names no quantity
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.serial) + " " + std::to_string(c.param) + " " + FormatDateTime(c.local));
    const int64_t micros = UtcMicros(c.local);
    const Json got =
        SimValues({"--serial", c.serial, "--param", std::to_string(c.param), "--at", std::to_string(micros)});
    EXPECT_EQ(got["value"].get<float>(), sim::CurrentValue(c.serial, c.param, c.local));
    EXPECT_EQ(got["status"], sim::CurrentStatus(c.serial, c.param));
    EXPECT_EQ(got["timeUs"], micros - micros % 60'000'000);
  }
}

TEST(SimValues, IsoAndMicrosecondTimesAgree) {
  const Json iso = SimValues({"--serial", "12345678", "--param", "0", "--at", "2024-03-10T11:25:30.500Z"});
  const Json us = SimValues({"--serial", "12345678", "--param", "0", "--at", "1710069930500000"});
  EXPECT_EQ(iso, us);
  EXPECT_EQ(iso["time"], "2024-03-10T11:25:00.000Z");
}

TEST(SimValues, HoursListTheRecordsStartingInTheWindow) {
  const TDateTime from = EncodeDateTime(2024, 3, 10, 3, 30);
  const TDateTime to = EncodeDateTime(2024, 3, 10, 9);
  const Json got = SimValues({"--serial", "12345678", "--param", "0", "--hours", "--from",
                              std::to_string(UtcMicros(from)), "--to", std::to_string(UtcMicros(to))});
  const Json& records = got["records"];
  ASSERT_EQ(records.size(), 5u) << got.dump();  // 04:00 .. 08:00; 09:00 is the excluded end
  const int64_t first = sim::PeriodIndex(sim::EPeriod::Hour, EncodeDateTime(2024, 3, 10, 4));
  for (size_t k = 0; k < records.size(); ++k) {
    SCOPED_TRACE(k);
    const int64_t index = first + static_cast<int64_t>(k);
    EXPECT_EQ(records[k]["timeUs"], UtcMicros(sim::PeriodStart(sim::EPeriod::Hour, index)));
    EXPECT_EQ(records[k]["value"].get<float>(),
              sim::ArchiveValue("12345678", 0, sim::EPeriod::Hour, index, false));
  }
}

TEST(SimValues, BadArgumentsExitWithTwoAndAMessage) {
  const std::vector<std::vector<std::string>> cases = {
      {"--param", "0", "--at", "0"},                                   // no serial
      {"--serial", "123456789", "--param", "0", "--at", "0"},          // serial too long
      {"--serial", "1", "--param", "256", "--at", "0"},                // param out of range
      {"--serial", "1", "--param", "0"},                               // neither --at nor --hours
      {"--serial", "1", "--param", "0", "--at", "2024-02-30T00:00Z"},  // no such date
      {"--serial", "1", "--param", "0", "--at", "yesterday"},
      {"--serial", "1", "--param", "0", "--hours", "--from", "10", "--to", "5"},
      {"--serial", "1", "--param", "0", "--hours", "--from", "0", "--to", "99999999999999999"},
  };
  for (std::vector<std::string> args : cases) {
    args.insert(args.begin(), kSimValues);
    const test::TProcessResult result = test::RunProgram(args);
    EXPECT_EQ(result.exitCode, 2) << args.back();
    EXPECT_FALSE(result.err.empty());
    EXPECT_TRUE(result.out.empty());
  }
}

}  // namespace
}  // namespace orvela
