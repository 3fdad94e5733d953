// orvelactl over serial lines and dial-up modems: the demo meter of a simulated line reached through a
// pseudo-terminal (a direct line found through the port map) and through the emulated modem, scanned and
// read through DA; and the ports command that edits the map.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "links/PortMap.h"
#include "metersim/DeviceFactory.h"
#include "metersim/HayesModem.h"
#include "metersim/Line.h"
#include "metersim/Values.h"
#include "orvelactl/Commands.h"
#include "platform/Clock.h"
#include "support/CtlRunner.h"
#include "support/ServerFolder.h"
#include "support/TempDir.h"
#include "tree/ConnectionList.h"
#include "tree/DemoConfig.h"

namespace orvela {
namespace {

using Json = nlohmann::json;
constexpr const char* kNumber = "5551234";
constexpr const char* kConn = "Котельная";

// The demo meter's connection becomes a serial line or a modem on port.
void MoveDemoMeter(const std::filesystem::path& folder, TConnKind kind, const std::string& port,
                   const std::string& telephone) {
  TTree tree;
  TConfigController controller(folder, tree);
  ASSERT_FALSE(controller.LoadSettings());
  ASSERT_FALSE(controller.LoadConnections());
  ASSERT_FALSE(controller.LoadTree());
  TConnRow& row = controller.Connections().Rows.at(0);
  row.Columns[ccPort] = port;
  row.Columns[ccTelephone] = telephone;
  row.Columns[ccIpAddress] = row.Columns[ccRemotePort] = row.Columns[ccLocalPort] = "";
  row.Columns[ccKind] = std::to_string(static_cast<int>(kind));
  std::optional<TConnKey> key = ConnKeyFromRow(row);
  ASSERT_TRUE(key);
  row.Settings->Key = *key;
  row.Settings->ModemMode = 1;
  for (TNTreeData* device : tree.Root()->Children)
    if (device->Name == kDemoMeterName) TTree::SetConnectionKey(device, *key);
  ASSERT_TRUE(controller.Save().empty());
}

class SerialCommands : public ::testing::Test {
 protected:
  // Slower than other command tests: a serial line waits in 5 ms polls, which a loaded machine can miss.
  SerialCommands() : clock(8) {
    SetSystemClock(&clock);
    line = std::make_unique<sim::TLine>(sim::TLineOptions{.clock = &clock});
    line->AddDevice(sim::MakeDevice("tarvel2001", kDemoMeterAddress, kDemoMeterSerial));
    line->ListenTcp();
    test::WriteServerFolder(dir, line->Port());
  }
  ~SerialCommands() override {
    ::unsetenv(kPortsEnvironment);
    modem.reset();
    line.reset();
    SetSystemClock(nullptr);
  }

  void StartModem() {
    modem = std::make_unique<sim::THayesModem>(sim::TModemOptions{.clock = &clock});
    modem->AddNumber(kNumber, {sim::TPhoneKind::Line, "127.0.0.1", line->Port(), -1});
    modem->OpenPty();
  }

  test::TCtlRun Run(std::vector<std::string> args) {
    return test::RunCtl(
        [](CLI::App& app, int& exitCode) {
          ctl::AddScanCommands(app, exitCode);
          ctl::AddDaCommands(app, exitCode);
          ctl::AddPortCommands(app, exitCode);
        },
        std::move(args));
  }

  // Scans the connection and reads the meter's heat through DA.
  void ScanAndRead() {
    test::TCtlRun scan = Run({"scan", "--dir", dir.string(), "--conn", kConn, "--json"});
    ASSERT_EQ(scan.exitCode, 0) << scan.out << scan.err;
    EXPECT_EQ(Json::parse(scan.out, nullptr, false),
              Json::parse(R"([{"address": 1, "model": 2, "serial": "12345678"}])"))
        << scan.out;

    const std::string heat = std::string(test::kDemoCurrent) + "Количество теплоты - канал 1.Значение";
    const TDateTime before = clock.Now();
    test::TCtlRun read = Run({"da", "read", "--dir", dir.string(), "--json", heat});
    const TDateTime after = clock.Now();
    ASSERT_EQ(read.exitCode, 0) << read.out << read.err;
    const Json items = Json::parse(read.out);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]["quality"], 192);
    const float value = items[0]["value"].get<float>();
    EXPECT_TRUE(value == sim::CurrentValue(kDemoMeterSerial, 0, before) ||
                value == sim::CurrentValue(kDemoMeterSerial, 0, after))
        << value;
  }

  ScaledClock clock;
  std::unique_ptr<sim::TLine> line;
  std::unique_ptr<sim::THayesModem> modem;
  test::TTempDir temp{"orvela-ctl-serial"};
  const std::filesystem::path dir = temp.Path();
};

TEST_F(SerialCommands, MeterOnAPseudoTerminalFoundThroughThePortMapIsScannedAndRead) {
  const std::string pty = line->OpenPty();
  MoveDemoMeter(dir, TConnKind::SerialLine, "COM7", "");
  test::TCtlRun mapped = Run({"ports", "map", "--dir", dir.string(), "COM7", pty});
  ASSERT_EQ(mapped.exitCode, 0) << mapped.err;
  ScanAndRead();
}

TEST_F(SerialCommands, MeterBehindTheModemIsDialledScannedReadAndHungUp) {
  StartModem();
  MoveDemoMeter(dir, TConnKind::DialUpModem, "COM8", kNumber);
  ::setenv(kPortsEnvironment, ("COM8=" + modem->PtyPath()).c_str(), 1);
  ScanAndRead();
  EXPECT_FALSE(modem->Online()) << "every call is hung up when its link ends";
  int dials = 0, hangups = 0;
  for (const std::string& e : modem->Events()) {
    dials += e.starts_with("dial ");
    hangups += e == "hangup";
  }
  EXPECT_GE(dials, 2);
  EXPECT_EQ(hangups, dials);
}

TEST_F(SerialCommands, PortsListShowsTheMapWithWhereEachEntryComesFrom) {
  ASSERT_EQ(Run({"ports", "map", "--dir", dir.string(), "COM3", "/dev/ttyUSB0"}).exitCode, 0);
  ASSERT_EQ(Run({"ports", "map", "--dir", dir.string(), "COM4", "/dev/ttyUSB1"}).exitCode, 0);
  ASSERT_EQ(Run({"ports", "unmap", "--dir", dir.string(), "com4"}).exitCode, 0);
  EXPECT_EQ(Run({"ports", "unmap", "--dir", dir.string(), "COM4"}).exitCode, 1);
  EXPECT_EQ(Run({"ports", "map", "--dir", dir.string(), "COM1234", "/dev/ttyUSB1"}).exitCode, 1);
  ::setenv(kPortsEnvironment, "COM9=/dev/pts/7", 1);
  test::TCtlRun list = Run({"ports", "list", "--dir", dir.string(), "--json"});
  ASSERT_EQ(list.exitCode, 0) << list.err;
  const Json out = Json::parse(list.out);
  EXPECT_EQ(out["map"], Json::parse(R"([{"name": "COM3", "path": "/dev/ttyUSB0", "from": "file"},
                                        {"name": "COM9", "path": "/dev/pts/7", "from": "environment"}])"));
  EXPECT_TRUE(out["ports"].is_array());
}

}  // namespace
}  // namespace orvela
