// orvelactl scan against a simulated line named in a program folder's connection list.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "orvelactl/Commands.h"
#include "platform/Clock.h"
#include "support/CtlRunner.h"
#include "support/TempDir.h"
#include "tree/ConfigFiles.h"
#include "tree/ConnectionList.h"

namespace orvela {
namespace {

class ScanCommand : public ::testing::Test {
 protected:
  ScanCommand() : clock(40) {
    // The command's links wait on the process clock.
    SetSystemClock(&clock);
    line = std::make_unique<sim::TLine>(sim::TLineOptions{.clock = &clock});
    line->AddDevice(sim::MakeDevice("tarvel2001", 1, "12345678"));
    line->AddDevice(sim::MakeDevice("tarvelf", 2, "87654321"));
    line->ListenTcp();
    WriteConnections(line->Port());
  }
  ~ScanCommand() override {
    line.reset();
    SetSystemClock(nullptr);
  }

  void WriteConnections(uint16_t port, const std::string& protocol = "XModem") {
    TConnectionList list;
    TConnRow row;
    row.Enabled = true;
    row.Columns = {"Котельная", protocol, "", "", "127.0.0.1", std::to_string(port), "", "3"};
    TConnSettings settings = TConnSettings::Defaults();
    settings.EchoTested = 1;
    row.Settings = settings;
    list.Rows.push_back(row);
    WriteConfigFile(dir / kConnectionFileName, EncodeConnectionList(list));
  }

  // Runs orvelactl with the arguments; returns the exit code, standard output in out and error in err.
  int Run(std::vector<std::string> args, std::string& out, std::string* err = nullptr) {
    const test::TCtlRun run = test::RunCtl(ctl::AddScanCommands, std::move(args));
    out = run.out;
    if (err) *err = run.err;
    return run.exitCode;
  }

  ScaledClock clock;
  std::unique_ptr<sim::TLine> line;
  test::TTempDir temp{"orvela-scan"};
  const std::filesystem::path dir = temp.Path();
};

TEST_F(ScanCommand, ListsEveryMeterWithModelAndSerial) {
  std::string out;
  ASSERT_EQ(Run({"scan", "--dir", dir.string(), "--conn", "Котельная", "--json"}, out), 0) << out;
  auto expected = nlohmann::json::parse(R"([{"address": 1, "model": 2, "serial": "12345678"},
                                            {"address": 2, "model": 3, "serial": "87654321"}])");
  EXPECT_EQ(nlohmann::json::parse(out), expected);

  ASSERT_EQ(Run({"scan", "--dir", dir.string(), "--conn", "Котельная"}, out), 0);
  EXPECT_NE(out.find("address 1: model 2 ТАРВЕЛ мод.2001, serial 12345678"), std::string::npos) << out;
  EXPECT_NE(out.find("address 2: model 3 ТАРВЕЛ, serial 87654321"), std::string::npos) << out;
}

TEST_F(ScanCommand, UnknownConnectionAndSilentLineAreErrors) {
  std::string out, err;
  EXPECT_EQ(Run({"scan", "--dir", dir.string(), "--conn", "Нет такого"}, out, &err), 1);
  EXPECT_NE(err.find("no connection \"Нет такого\""), std::string::npos) << err;
  EXPECT_TRUE(out.empty());

  // Nobody listens on the port any more.
  uint16_t port = line->Port();
  line.reset();
  WriteConnections(port);
  EXPECT_EQ(Run({"scan", "--dir", dir.string(), "--conn", "Котельная"}, out, &err), 1);
  EXPECT_NE(err.find("no device list"), std::string::npos) << err;
}

TEST_F(ScanCommand, FindsTheMetersBehindAModBusConverter) {
  line = std::make_unique<sim::TLine>(sim::TLineOptions{.clock = &clock});
  line->AddDevice(sim::MakeDevice("tarvel2001_mb", 1, "12345678"));
  line->AddDevice(sim::MakeDevice("tarvelf_mb", 2, "87654321"));
  line->ListenTcp();
  WriteConnections(line->Port(), "ModBus");
  std::string out;
  ASSERT_EQ(Run({"scan", "--dir", dir.string(), "--conn", "Котельная", "--json"}, out), 0) << out;
  auto expected = nlohmann::json::parse(R"([{"address": 1, "model": 2, "serial": "12345678"},
                                            {"address": 2, "model": 3, "serial": "87654321"}])");
  EXPECT_EQ(nlohmann::json::parse(out), expected);
  for (const sim::TExchangeRecord& r : line->Exchanges()) EXPECT_EQ(r.protocol, "modbus");
}

}  // namespace
}  // namespace orvela
