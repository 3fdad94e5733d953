// orvelactl with the ModBus meters that the maker's line scan does not find: device add reads them by
// model and address, autoconfig leaves them alone, and da and hda read them through the hosted server.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "metersim/ModBusControllers.h"
#include "metersim/OrlixMeter.h"
#include "metersim/Values.h"
#include "orvelactl/Commands.h"
#include "orvelactl/ServerClient.h"
#include "platform/Clock.h"
#include "support/CtlRunner.h"
#include "support/DemoRecords.h"
#include "support/TempDir.h"
#include "tree/ConfigController.h"

namespace orvela {
namespace {

using Json = nlohmann::json;
const TDateTime kStart = EncodeDateTime(2024, 3, 2, 10, 20);
constexpr const char* kOrlixSerial = "40420017";
constexpr uint8_t kOrlixAddress = 3;
constexpr const char* kKmSerial = "KM0042";
constexpr uint8_t kKmAddress = 6;

class ModBusDeviceCommands : public ::testing::Test {
 protected:
  ModBusDeviceCommands() : clock(20, kStart) {
    SetSystemClock(&clock);
    line = std::make_unique<sim::TLine>(sim::TLineOptions{.clock = &clock});
    line->AddDevice(sim::MakeDevice("orlix", kOrlixAddress, kOrlixSerial));
    line->AddDevice(sim::MakeDevice("km", kKmAddress, kKmSerial));
    line->ListenTcp();
    // A program folder with one TCP connection to the line on the ModBus framing and no devices yet.
    TTree tree;
    TConfigController controller(dir, tree);
    TSettings& settings = controller.Settings();
    settings.QueuePauseMs = 50;
    settings.StartPauseMs = 50;
    settings.ChannelLog = false;
    settings.JournalEveryRequest = false;
    TConnKey key;
    key.ConnName = "Котельная";
    key.ConnType = static_cast<uint8_t>(TConnKind::TcpClient);
    key.ProtType = static_cast<uint8_t>(TProtKind::ModBus);
    key.IP_Addr = "127.0.0.1";
    key.IP_Port = line->Port();
    TConnSettings connection = TConnSettings::Defaults();
    connection.Key = key;
    connection.Key.LinkAddress = BuildLinkAddress(key);
    connection.EchoTested = 1;  // the line does not echo
    TConnRow row;
    row.Enabled = true;
    row.Columns = {key.ConnName, "ModBus", "", "", key.IP_Addr, std::to_string(key.IP_Port), "", "3"};
    row.Settings = connection;
    controller.Connections().Rows = {row};
    tree.SetRoot(tree.CreateRoot());
    EXPECT_TRUE(controller.Save().empty());
  }
  ~ModBusDeviceCommands() override {
    line.reset();
    SetSystemClock(nullptr);
  }

  test::TCtlRun Run(std::vector<std::string> args) {
    return test::RunCtl(
        [](CLI::App& app, int& exitCode) {
          ctl::AddDeviceCommands(app, exitCode);
          ctl::AddDaCommands(app, exitCode);
          ctl::AddHdaCommands(app, exitCode);
        },
        std::move(args));
  }

  ScaledClock clock;
  std::unique_ptr<sim::TLine> line;
  test::TTempDir temp{"orvela-ctl-modbus"};
  const std::filesystem::path dir = temp.Path();
};

TEST_F(ModBusDeviceCommands, OrlixIsAddedByModelAndReadThroughDaAndHda) {
  // The maker's scan finds no meter of its own on the line: autoconfig ends cleanly with nothing added.
  test::TCtlRun run = Run({"autoconfig", "--dir", dir.string(), "--conn", "Котельная", "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(Json::parse(run.out).empty()) << run.out;

  run = Run({"device", "add", "--dir", dir.string(), "--conn", "Котельная", "--model", "4", "--address",
             std::to_string(kOrlixAddress), "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  Json added = Json::parse(run.out);
  ASSERT_EQ(added.size(), 1u);
  const std::string device = "Орликс  (" + std::string(kOrlixSerial) + ")";
  EXPECT_EQ(added[0]["name"], device);
  EXPECT_EQ(added[0]["serial"], kOrlixSerial);

  const std::string root = "Устройства." + device;
  const std::string m2 = root + ".Мгновенные значения.2-я  Подсистема.M2.Значение";
  const std::string q1 = root + ".Мгновенные значения.1-я  Подсистема.Q1.Значение";
  const std::string version = root + ".Таймер.Версия ПО прибора";
  const TDateTime before = clock.Now();
  run = Run({"da", "read", "--dir", dir.string(), "--json", m2, q1, version});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  const TDateTime after = clock.Now();
  const Json items = Json::parse(run.out);
  ASSERT_EQ(items.size(), 3u);
  auto expectCurrent = [&](const Json& item, uint8_t param) {
    SCOPED_TRACE(item.dump());
    EXPECT_EQ(item["quality"], 192);
    const float value = item["value"].get<float>();
    EXPECT_TRUE(value == sim::CurrentValue(kOrlixSerial, param, before) ||
                value == sim::CurrentValue(kOrlixSerial, param, after));
  };
  expectCurrent(items[0], 0x11);
  expectCurrent(items[1], 0x00);
  EXPECT_EQ(items[2]["quality"], 192);

  const std::string hourly = root + ".Почасовой архив.2-я  Подсистема.M2.Значение";
  const TDateTime end =
      sim::PeriodStart(sim::EPeriod::Hour, sim::PeriodIndex(sim::EPeriod::Hour, kStart) - 1);
  const TDateTime start = end - 5.0 / 24;
  run = Run({"hda", "read", "--dir", dir.string(), "--json", "--start", test::IsoLocal(start), "--end",
             test::IsoLocal(end), hourly});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  const Json read = Json::parse(run.out);
  const Json& records = read[0]["records"];
  ASSERT_GE(records.size(), 4u) << records.dump();
  const int64_t first = sim::PeriodIndex(sim::EPeriod::Hour, start);
  for (const Json& record : records) {
    SCOPED_TRACE(record.dump());
    EXPECT_EQ(record["quality"], "0x000400C0");
    int64_t index = first;
    while (record["time"] !=
               ctl::UtcText(LocalDateTimeToFileTime(sim::PeriodStart(sim::EPeriod::Hour, index))) &&
           index < first + 6)
      ++index;
    ASSERT_LT(index, first + 6);
    EXPECT_EQ(record["value"].get<float>(),
              sim::ArchiveValue(kOrlixSerial, 0x11, sim::EPeriod::Hour, index, false));
  }
}

TEST_F(ModBusDeviceCommands, KmCoilIsWrittenThroughDaAndReadBack) {
  test::TCtlRun run = Run({"device", "add", "--dir", dir.string(), "--conn", "Котельная", "--model", "km",
                           "--address", std::to_string(kKmAddress), "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ASSERT_EQ(Json::parse(run.out).size(), 1u);
  const std::string root = "Устройства.КМ  (" + std::string(kKmSerial) + ")";
  const std::string input = root + ".Входы.Вход3";
  const std::string coil = root + ".Выход";
  auto* controller = dynamic_cast<sim::TKmController*>(line->FindDevice(kKmAddress, "modbus"));
  ASSERT_NE(controller, nullptr);

  for (bool on : {true, false}) {
    SCOPED_TRACE(on);
    run = Run({"da", "write", "--dir", dir.string(), "--json", coil, on ? "true" : "false"});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(controller->Coil(), on);
    const TDateTime before = clock.Now();
    run = Run({"da", "read", "--dir", dir.string(), "--json", coil, input});
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const Json items = Json::parse(run.out);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]["value"], on);
    const bool value = items[1]["value"].get<bool>();
    EXPECT_TRUE(value == sim::KmInput(kKmSerial, 2, before) ||
                value == sim::KmInput(kKmSerial, 2, clock.Now()));
  }
  // An input is the controller's own: the write is refused as a failure.
  run = Run({"da", "write", "--dir", dir.string(), "--json", input, "true"});
  EXPECT_EQ(run.exitCode, 1) << run.out;
}

}  // namespace
}  // namespace orvela
