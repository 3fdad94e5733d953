// orvelactl da and hda: the server hosted in the command's process, reached through the ProgIDs, reading
// the demo meter of a simulated line; and the errors of bad usage.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "drivers/TarvelDecode.h"
#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "metersim/Values.h"
#include "orvelactl/Commands.h"
#include "orvelactl/ServerClient.h"
#include "platform/Clock.h"
#include "support/CtlRunner.h"
#include "support/DemoRecords.h"
#include "support/Process.h"
#include "support/ServerFolder.h"
#include "support/TempDir.h"
#include "tree/DemoConfig.h"

namespace orvela {
namespace {

using Json = nlohmann::json;
const TDateTime kStart = EncodeDateTime(2024, 3, 2, 10, 20);
constexpr uint8_t kHeat = 0x00;
constexpr uint8_t kTemperature = 0x03;

class ServerCommands : public ::testing::Test {
 protected:
  ServerCommands() : clock(20, kStart) {
    // The engine, the links and the server's waits run on the process clock; the meter's calendar too.
    SetSystemClock(&clock);
    line = std::make_unique<sim::TLine>(sim::TLineOptions{.clock = &clock});
    line->AddDevice(sim::MakeDevice("tarvel2001", kDemoMeterAddress, kDemoMeterSerial));
    line->ListenTcp();
    test::WriteServerFolder(dir, line->Port());
  }
  ~ServerCommands() override {
    line.reset();
    SetSystemClock(nullptr);
  }

  // Runs the command in this process; returns the exit code, standard output in out.
  int Run(std::vector<std::string> args, std::string& out) {
    const test::TCtlRun run = test::RunCtl(
        [](CLI::App& app, int& exitCode) {
          ctl::AddDeviceCommands(app, exitCode);
          ctl::AddDaCommands(app, exitCode);
          ctl::AddHdaCommands(app, exitCode);
        },
        std::move(args));
    out = run.out;
    return run.exitCode;
  }

  ScaledClock clock;
  std::unique_ptr<sim::TLine> line;
  test::TTempDir temp{"orvela-ctl-server"};
  const std::filesystem::path dir = temp.Path();
};

TEST_F(ServerCommands, DaReadGivesTheMetersCurrentValuesAndRefusedItemsInOrder) {
  const std::string heat = std::string(test::kDemoCurrent) + "Количество теплоты - канал 1.Значение";
  const std::string temperature = std::string(test::kDemoCurrent) + "Температура - канал 1.Значение";
  const std::string status = std::string(test::kDemoCurrent) + "Температура - канал 1.Статус";
  const std::string unknown = "Устройства.Тарвел-1.Нет такого";
  std::string out;
  const TDateTime before = clock.Now();
  // One refused item makes the exit code 1; the others are read all the same.
  ASSERT_EQ(Run({"da", "read", "--dir", dir.string(), "--json", heat, unknown, temperature, status}, out), 1)
      << out;
  const TDateTime after = clock.Now();
  const Json items = Json::parse(out);
  ASSERT_EQ(items.size(), 4u);
  const std::regex utc(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
  // The meter shows whole minutes; the read may have crossed one.
  auto expectValue = [&](const Json& item, const std::string& id, uint8_t param) {
    SCOPED_TRACE(id);
    EXPECT_EQ(item["item"], id);
    EXPECT_EQ(item["quality"], 192);
    EXPECT_EQ(item["error"], "0x00000000");
    EXPECT_TRUE(std::regex_match(item["timestamp"].get<std::string>(), utc)) << item["timestamp"];
    const float value = item["value"].get<float>();
    EXPECT_TRUE(value == sim::CurrentValue(kDemoMeterSerial, param, before) ||
                value == sim::CurrentValue(kDemoMeterSerial, param, after))
        << value;
  };
  expectValue(items[0], heat, kHeat);
  expectValue(items[2], temperature, kTemperature);
  EXPECT_EQ(items[3]["item"], status);
  EXPECT_EQ(items[3]["quality"], 192);
  EXPECT_EQ(items[3]["value"], RemapStatus(sim::CurrentStatus(kDemoMeterSerial, kTemperature)));
  EXPECT_EQ(items[1]["item"], unknown);
  EXPECT_EQ(items[1]["error"], "0xC0040007");
  EXPECT_TRUE(items[1]["value"].is_null());
}

// The way a user configures a server: the meter's tree is read from the line, saved, and its items are
// then served to DA clients with the meter's values.
TEST_F(ServerCommands, AutoconfiguredMeterIsReadThroughDa) {
  test::WriteServerFolder(dir, line->Port(), false);
  std::string out;
  ASSERT_EQ(Run({"autoconfig", "--dir", dir.string(), "--conn", "Котельная"}, out), 0) << out;
  const std::string heat = "Устройства.ТАРВЕЛ мод.2001  (" + std::string(kDemoMeterSerial) +
                           ").Пользовательские данные.Текущие данные.Количество теплоты - канал 1.Значение";
  const TDateTime before = clock.Now();
  ASSERT_EQ(Run({"da", "read", "--dir", dir.string(), "--json", heat}, out), 0) << out;
  const TDateTime after = clock.Now();
  const Json items = Json::parse(out);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0]["quality"], 192);
  const float value = items[0]["value"].get<float>();
  EXPECT_TRUE(value == sim::CurrentValue(kDemoMeterSerial, kHeat, before) ||
              value == sim::CurrentValue(kDemoMeterSerial, kHeat, after))
      << value;
}

TEST_F(ServerCommands, HdaReadGivesTheHourlyRecordsFromTheStartUpToTheEnd) {
  const std::string heat = std::string(test::kDemoHours) + "Количество теплоты - канал 1";
  // Edges on whole hours: the record at the start is given, the one at the end is not.
  const TDateTime end =
      sim::PeriodStart(sim::EPeriod::Hour, sim::PeriodIndex(sim::EPeriod::Hour, kStart) - 2);
  const TDateTime start = end - 6.0 / 24;
  std::string out;
  ASSERT_EQ(Run({"hda", "read", "--dir", dir.string(), "--json", "--start", test::IsoLocal(start), "--end",
                 test::IsoLocal(end), heat},
                out),
            0)
      << out;
  const Json items = Json::parse(out);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0]["item"], heat);
  EXPECT_EQ(items[0]["error"], "0x00000000");
  const Json& records = items[0]["records"];
  const int64_t first = sim::PeriodIndex(sim::EPeriod::Hour, start);
  ASSERT_EQ(records.size(), 6u) << records.dump();
  test::ExpectHourRecords(records, first, kHeat);
}

// One JSON object per line.
std::vector<Json> JsonLines(const std::string& out) {
  std::vector<Json> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(Json::parse(line));
  return lines;
}

TEST_F(ServerCommands, DaWatchPrintsEachDataChangeUntilTheCount) {
  const std::string heat = std::string(test::kDemoCurrent) + "Количество теплоты - канал 1.Значение";
  std::string out;
  ASSERT_EQ(
      Run({"da", "watch", "--dir", dir.string(), "--json", "--rate", "1000", "--count", "3", heat}, out), 0)
      << out;
  const std::vector<Json> changes = JsonLines(out);
  ASSERT_EQ(changes.size(), 3u) << out;
  for (const Json& change : changes) {
    EXPECT_EQ(change["item"], heat);
    EXPECT_EQ(change["quality"], 192);
    EXPECT_TRUE(change["value"].is_number());
  }
}

TEST_F(ServerCommands, HdaAdviseDeliversTheRecordsAfterItsStartThenCancels) {
  const std::string heat = std::string(test::kDemoHours) + "Количество теплоты - канал 1";
  const TDateTime start = kStart - 3.0 / 24;
  std::string out;
  ASSERT_EQ(Run({"hda", "advise", "--dir", dir.string(), "--json", "--start", test::IsoLocal(start),
                 "--interval", "1", "--count", "2", heat},
                out),
            0)
      << out;
  const std::vector<Json> deliveries = JsonLines(out);
  ASSERT_EQ(deliveries.size(), 2u) << out;
  const Json& records = deliveries[0]["records"];
  ASSERT_FALSE(records.empty());
  // The first delivery starts with the first hour after the start.
  const int64_t first = sim::PeriodIndex(sim::EPeriod::Hour, start) + 1;
  EXPECT_EQ(records[0]["time"],
            ctl::UtcText(LocalDateTimeToFileTime(sim::PeriodStart(sim::EPeriod::Hour, first))));
  EXPECT_EQ(records[0]["value"].get<float>(),
            sim::ArchiveValue(kDemoMeterSerial, kHeat, sim::EPeriod::Hour, first, false));
}

TEST_F(ServerCommands, HdaAttributesAnswerFromTheItemsNode) {
  const std::string heat = std::string(test::kDemoHours) + "Количество теплоты - канал 1";
  std::string out;
  ASSERT_EQ(Run({"hda", "attributes", "--dir", dir.string(), "--json", heat}, out), 0) << out;
  const Json answer = Json::parse(out);
  EXPECT_EQ(answer["item"], heat);
  std::map<int, Json> byId;
  for (const Json& a : answer["attributes"]) byId[a["id"].get<int>()] = a;
  EXPECT_EQ(byId[1]["values"], Json::array({VT_R4}));
  EXPECT_EQ(byId[2]["values"], Json::array({"Количество теплоты - канал 1"}));
  EXPECT_EQ(byId[3]["values"], Json::array({"Гкал"}));
  // One the node does not hold.
  EXPECT_EQ(byId[11]["error"], "0xC004100C");
  EXPECT_TRUE(byId[11]["values"].empty());

  // An item the server does not know.
  EXPECT_EQ(Run({"hda", "attributes", "--dir", dir.string(), "--json", "Устройства.Нет"}, out), 1);
  EXPECT_EQ(Json::parse(out)["error"], "0xC0040007");
}

// The program itself: what a script sees for a malformed command line or a folder that cannot serve.
TEST(ServerCommandUsage, BadUsageIsAClearErrorAndANonZeroExit) {
  test::TTempDir broken{"orvela-ctl-broken"};
  test::WriteBytes(broken / "Config.kopc", {0x01, 0x02, 0x03});
  const std::string folder = broken.Path().string();
  struct TCase {
    std::vector<std::string> args;
    const char* message;
  };
  const TCase cases[] = {
      {{"da", "read", "--dir", folder}, "items"},
      {{"da", "watch", "--dir", folder, "--count", "1", "X"}, "--rate"},
      {{"da", "watch", "--dir", folder, "--rate", "0", "--count", "1", "X"}, "--rate"},
      {{"hda", "read", "--dir", folder, "--start", "вчера", "--end", "NOW", "X"}, "--start: not a time"},
      {{"hda", "read", "--dir", folder, "--start", "NOW-1D", "X"}, "--end"},
      {{"hda", "attributes", "--dir", folder}, "item"},
      {{"da", "read", "--dir", folder, "X"}, "the configuration did not load"},
      {{"da", "status", "--dir", folder}, "the configuration did not load"},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> argv = {std::string(ORVELA_BINARY_DIR) + "/tools/orvelactl"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.args[0] + " " + c.args[1] + ": " + c.message);
    test::TProcess program(argv);
    const test::TProcessResult result = program.Finish(60'000);
    EXPECT_NE(result.exitCode, 0);
    EXPECT_NE(result.exitCode, -1) << "did not exit by itself";
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_TRUE(result.out.empty()) << result.out;
  }
}

}  // namespace
}  // namespace orvela
