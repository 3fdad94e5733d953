// orvelactl against a simulated Tarvel M: the scan finds it over XModem and behind a ModBus converter,
// autoconfig builds its tree in either request mode and layout, and da and hda read give the values of the
// simulator's value functions.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "drivers/TarvelMDecode.h"
#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "metersim/TarvelMDevice.h"
#include "metersim/Values.h"
#include "orvelactl/Commands.h"
#include "orvelactl/ServerClient.h"
#include "platform/Clock.h"
#include "support/CtlRunner.h"
#include "support/DemoRecords.h"
#include "support/ServerFolder.h"
#include "support/TempDir.h"
#include "tree/ConfigFiles.h"
#include "tree/ConnectionList.h"

namespace orvela {
namespace {

using Json = nlohmann::json;
const TDateTime kStart = EncodeDateTime(2024, 3, 2, 10, 20);
constexpr const char* kSerial = "M0000007";
constexpr const char* kDevice = "Устройства.ТАРВЕЛ М  (M0000007).";
constexpr uint8_t kHeat = 0x00;
constexpr uint8_t kTemperature = 0x03;

class TarvelMCommands : public ::testing::Test {
 protected:
  TarvelMCommands() : clock(20, kStart) {
    SetSystemClock(&clock);
    line = std::make_unique<sim::TLine>(sim::TLineOptions{.clock = &clock});
    line->AddDevice(sim::MakeDevice("tarvelm", 7, kSerial));
    line->ListenTcp();
    test::WriteServerFolder(dir, line->Port(), false);
  }
  ~TarvelMCommands() override {
    line.reset();
    SetSystemClock(nullptr);
  }

  int Run(std::vector<std::string> args, std::string& out) {
    const test::TCtlRun run = test::RunCtl(
        [](CLI::App& app, int& exitCode) {
          ctl::AddScanCommands(app, exitCode);
          ctl::AddDeviceCommands(app, exitCode);
          ctl::AddDaCommands(app, exitCode);
          ctl::AddHdaCommands(app, exitCode);
        },
        std::move(args));
    out = run.out + run.err;
    if (run.exitCode == 0) out = run.out;
    return run.exitCode;
  }

  // The hourly records of subsystem 1's parameter over six whole hours ending two hours ago.
  void ExpectHourlyArchive(const std::string& item, uint8_t param) {
    const TDateTime end =
        sim::PeriodStart(sim::EPeriod::Hour, sim::PeriodIndex(sim::EPeriod::Hour, kStart) - 2);
    const TDateTime start = end - 6.0 / 24;
    std::string out;
    ASSERT_EQ(Run({"hda", "read", "--dir", dir.string(), "--json", "--start", test::IsoLocal(start), "--end",
                   test::IsoLocal(end), item},
                  out),
              0)
        << out;
    const Json items = Json::parse(out);
    ASSERT_EQ(items.size(), 1u);
    const Json& records = items[0]["records"];
    ASSERT_EQ(records.size(), 6u) << records.dump();
    const std::string key = sim::TarvelMValueKey(kSerial, sim::tarvelm::kSubsystem1);
    const int64_t first = sim::PeriodIndex(sim::EPeriod::Hour, start);
    for (size_t k = 0; k < records.size(); ++k) {
      SCOPED_TRACE(k);
      const int64_t index = first + static_cast<int64_t>(k);
      EXPECT_EQ(records[k]["time"],
                ctl::UtcText(LocalDateTimeToFileTime(sim::PeriodStart(sim::EPeriod::Hour, index))));
      EXPECT_EQ(records[k]["quality"], "0x000400C0");
      EXPECT_EQ(records[k]["value"].get<float>(),
                sim::ArchiveValue(key, param, sim::EPeriod::Hour, index, false));
    }
  }

  ScaledClock clock;
  std::unique_ptr<sim::TLine> line;
  test::TTempDir temp{"orvela-ctl-tarvelm"};
  const std::filesystem::path dir = temp.Path();
};

TEST_F(TarvelMCommands, ScanAutoconfigAndReadsByRecords) {
  std::string out;
  ASSERT_EQ(Run({"scan", "--dir", dir.string(), "--conn", "Котельная", "--json"}, out), 0) << out;
  EXPECT_EQ(Json::parse(out), Json::parse(R"([{"address": 7, "model": 1, "serial": "M0000007"}])"));

  ASSERT_EQ(Run({"autoconfig", "--dir", dir.string(), "--conn", "Котельная", "--json", "--tarvelm-request",
                 "records"},
                out),
            0)
      << out;
  Json added = Json::parse(out);
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(added[0]["name"], "ТАРВЕЛ М  (M0000007)");

  // Two parameters of one branch: one exchange reads both.
  const std::string branch = std::string(kDevice) + "Мгновенные значения.1-я  Подсистема.";
  const std::string heat = branch + "Количество теплоты - канал 1";
  const std::string temperature = branch + "Температура - канал 1";
  const TDateTime before = clock.Now();
  ASSERT_EQ(Run({"da", "read", "--dir", dir.string(), "--json", heat, temperature}, out), 0) << out;
  const TDateTime after = clock.Now();
  const Json items = Json::parse(out);
  ASSERT_EQ(items.size(), 2u);
  const std::string key = sim::TarvelMValueKey(kSerial, sim::tarvelm::kSubsystem1);
  for (auto [i, param] : {std::pair{0, kHeat}, std::pair{1, kTemperature}}) {
    EXPECT_EQ(items[i]["quality"], 192) << i;
    const float value = items[i]["value"].get<float>();
    EXPECT_TRUE(value == sim::CurrentValue(key, param, before) ||
                value == sim::CurrentValue(key, param, after))
        << i << ": " << value;
  }

  // The value and status leaves below a current parameter answer that parameter's value and status.
  ASSERT_EQ(
      Run({"da", "read", "--dir", dir.string(), "--json", temperature + ".Статус", temperature + ".Значение"},
          out),
      0)
      << out;
  const TDateTime last = clock.Now();
  const Json leaves = Json::parse(out);
  ASSERT_EQ(leaves.size(), 2u);
  EXPECT_EQ(leaves[0]["value"], RemapStatusM(sim::CurrentStatus(key, kTemperature)));
  const float value = leaves[1]["value"].get<float>();
  EXPECT_TRUE(value == sim::CurrentValue(key, kTemperature, after) ||
              value == sim::CurrentValue(key, kTemperature, last))
      << value;

  ExpectHourlyArchive(std::string(kDevice) + "Почасовой архив.1-я  Подсистема.Количество теплоты - канал 1",
                      kHeat);
}

TEST_F(TarvelMCommands, AutoconfigAndReadByParametersWithSystemsAtTheTop) {
  std::string out;
  ASSERT_EQ(Run({"autoconfig", "--dir", dir.string(), "--conn", "Котельная", "--tarvelm-request",
                 "parameters", "--tarvelm-layout", "systems"},
                out),
            0)
      << out;
  ExpectHourlyArchive(std::string(kDevice) + "1-я  Подсистема.Почасовой архив.Температура - канал 1",
                      kTemperature);
}

TEST_F(TarvelMCommands, DeviceAddBuildsTheTreeAndRefusesTheSameSerialTwice) {
  std::string out;
  ASSERT_EQ(Run({"device", "add", "--dir", dir.string(), "--conn", "Котельная", "--family", "tarvelm",
                 "--address", "7", "--json"},
                out),
            0)
      << out;
  ASSERT_EQ(Run({"tree", "--dir", dir.string(), "--json"}, out), 0) << out;
  bool sawArchive = false;
  for (const Json& node : Json::parse(out))
    sawArchive = sawArchive ||
                 node["path"] == std::string(kDevice) + "Почасовой архив.2-я  Подсистема.Объём - канал 2";
  EXPECT_TRUE(sawArchive);
  // The same meter again: its serial is configured and the question is answered no.
  EXPECT_EQ(Run({"device", "add", "--dir", dir.string(), "--conn", "Котельная", "--family", "tarvelm",
                 "--address", "7"},
                out),
            1);
}

TEST_F(TarvelMCommands, ScanFindsTheMeterBehindAModBusConverter) {
  line = std::make_unique<sim::TLine>(sim::TLineOptions{.clock = &clock});
  line->AddDevice(sim::MakeDevice("tarvelm_mb", 7, kSerial));
  line->ListenTcp();
  TConnectionList list;
  TConnRow row;
  row.Enabled = true;
  row.Columns = {"Насосная", "ModBus", "", "", "127.0.0.1", std::to_string(line->Port()), "", "3"};
  TConnSettings settings = TConnSettings::Defaults();
  settings.EchoTested = 1;
  row.Settings = settings;
  list.Rows.push_back(row);
  WriteConfigFile(dir / kConnectionFileName, EncodeConnectionList(list));
  std::string out;
  ASSERT_EQ(Run({"scan", "--dir", dir.string(), "--conn", "Насосная", "--json"}, out), 0) << out;
  EXPECT_EQ(Json::parse(out), Json::parse(R"([{"address": 7, "model": 1, "serial": "M0000007"}])"));
  ASSERT_EQ(Run({"autoconfig", "--dir", dir.string(), "--conn", "Насосная", "--json"}, out), 0) << out;
  ASSERT_EQ(Json::parse(out).size(), 1u);
}

}  // namespace
}  // namespace orvela
