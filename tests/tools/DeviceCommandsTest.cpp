// orvelactl device add / refresh / remove, autoconfig, import and tree on a program folder whose
// connection list names a simulated line.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "orvelactl/Commands.h"
#include "platform/Clock.h"
#include "support/CtlRunner.h"
#include "support/Peers.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "tree/ConfigFiles.h"
#include "tree/ConnectionList.h"

namespace orvela {
namespace {

using Json = nlohmann::json;

using TRun = test::TCtlRun;

class DeviceCommands : public ::testing::Test {
 protected:
  DeviceCommands() : clock(40) {
    SetSystemClock(&clock);
    line = std::make_unique<sim::TLine>(sim::TLineOptions{.clock = &clock});
    line->AddDevice(sim::MakeDevice("tarvel2001", 1, "12345678"));
    line->AddDevice(sim::MakeDevice("tarvelf", 2, "87654321"));
    line->ListenTcp();
    TConnectionList list;
    TConnRow row;
    row.Enabled = true;
    // The protocol as the connection list spells it, in another case.
    row.Columns = {"Котельная", "xmodem", "", "", "127.0.0.1", std::to_string(line->Port()), "", "3"};
    TConnSettings settings = TConnSettings::Defaults();
    settings.EchoTested = 1;
    row.Settings = settings;
    list.Rows.push_back(row);
    WriteConfigFile(dir / kConnectionFileName, EncodeConnectionList(list));
  }
  ~DeviceCommands() override {
    line.reset();
    SetSystemClock(nullptr);
  }

  TRun Run(std::vector<std::string> args) { return test::RunCtl(ctl::AddDeviceCommands, std::move(args)); }
  Json Tree() {
    TRun run = Run({"tree", "--dir", dir.string(), "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return Json::parse(run.out);
  }
  std::vector<std::string> DevicePaths() {
    std::vector<std::string> paths;
    for (const Json& node : Tree())
      if (node["kind"] == 1) paths.push_back(node["path"]);
    return paths;
  }

  ScaledClock clock;
  std::unique_ptr<sim::TLine> line;
  test::TTempDir temp{"orvela-device"};
  const std::filesystem::path dir = temp.Path();
};

TEST_F(DeviceCommands, AutoconfigSavesTheTreeAndRemoveTakesADeviceOut) {
  TRun run = Run({"autoconfig", "--dir", dir.string(), "--conn", "Котельная", "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  Json added = Json::parse(run.out);
  ASSERT_EQ(added.size(), 2u);
  EXPECT_EQ(added[0]["name"], "ТАРВЕЛ мод.2001  (12345678)");
  EXPECT_EQ(added[1]["serial"], "87654321");
  ASSERT_TRUE(std::filesystem::exists(dir / kTreeFileName));

  // What was saved reads back: every node with its handle, kind, model code and attributes.
  const Json tree = Tree();
  EXPECT_EQ(DevicePaths(), (std::vector<std::string>{"Устройства.ТАРВЕЛ мод.2001  (12345678)",
                                                     "Устройства.ТАРВЕЛ  (87654321)"}));
  EXPECT_EQ(tree[0]["handle"], 1 << 24);
  bool sawUnits = false;
  for (const Json& node : tree) {
    if (node["path"] !=
        "Устройства.ТАРВЕЛ  (87654321).Пользовательские данные.Текущие данные.Масса - канал 1.Значение")
      continue;
    EXPECT_EQ(node["kind"], 5);
    EXPECT_EQ(node["model"], 3);
    for (const Json& a : node["attributes"])
      if (a["id"] == 3) sawUnits = a["value"] == "т";
  }
  EXPECT_TRUE(sawUnits);

  // Again: nothing new on the line, nothing added.
  run = Run({"autoconfig", "--dir", dir.string(), "--conn", "Котельная", "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(Json::parse(run.out).empty());

  run = Run({"device", "remove", "--dir", dir.string(), "--device", "12345678"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(DevicePaths(), (std::vector<std::string>{"Устройства.ТАРВЕЛ  (87654321)"}));

  run = Run({"device", "refresh", "--dir", dir.string(), "--device", "нет такого"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("no single device"), std::string::npos) << run.err;
}

TEST_F(DeviceCommands, AddReadsEachAddressAndKeepsOnlyWholeDevices) {
  TRun run = Run({"device", "add", "--dir", dir.string(), "--conn", "котельная", "--family", "tarvel2001",
                  "--address", "1-3", "--json"});
  EXPECT_EQ(run.exitCode, 1);  // addresses 2 (another family) and 3 (nobody) were not read
  EXPECT_NE(run.err.find("Ошибка! Обнаружен прибор другого типа (ТАРВЕЛ  )."), std::string::npos) << run.err;
  Json added = Json::parse(run.out);
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(added[0]["address"], 1);
  EXPECT_EQ(DevicePaths(), (std::vector<std::string>{"Устройства.ТАРВЕЛ мод.2001  (12345678)"}));

  // The same meter again is a duplicate unless replaced; a failed refresh leaves the file alone.
  run =
      Run({"device", "add", "--dir", dir.string(), "--conn", "Котельная", "--family", "2", "--address", "1"});
  EXPECT_EQ(run.exitCode, 1);  // the serial is configured and the question is answered no
  run = Run({"device", "add", "--dir", dir.string(), "--conn", "Котельная", "--family", "2", "--address", "1",
             "--yes"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(DevicePaths().size(), 1u);

  const std::vector<uint8_t> saved = ReadConfigFile(dir / kTreeFileName);
  line->FindDevice(1)->Faults().Update([](sim::TFaults& f) { f.silent = true; });
  run = Run({"device", "refresh", "--dir", dir.string(), "--device", "12345678"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(ReadConfigFile(dir / kTreeFileName), saved);

  for (std::vector<std::string> bad : {std::vector<std::string>{"--address", "300"},
                                       {"--address", "5-2"},
                                       {"--address", ""},
                                       {"--family", "99"}}) {
    std::vector<std::string> args{"device",    "add",      "--dir", dir.string(), "--conn",
                                  "Котельная", "--family", "2",     "--address",  "1"};
    for (size_t i = 0; i + 1 < args.size(); ++i)
      if (args[i] == bad[0]) args[i + 1] = bad[1];
    run = Run(args);
    EXPECT_EQ(run.exitCode, 1) << bad[0] << " " << bad[1];
  }
}

TEST_F(DeviceCommands, ImportNamesTheDamagedFileAndOffset) {
  ORVELA_REQUIRE_PEER("python3");
  test::TTempDir old{"orvela-old"};
  test::TProcessResult writer =
      test::RunProgram({test::FindPeer("python3"), ORVELA_TEST_DATA "/write_old_config.py", "--truncate",
                        old.Path().string()});
  ASSERT_EQ(writer.exitCode, 0) << writer.err;
  const size_t offset = Json::parse(writer.out)["error_offset"];
  TRun run = Run({"import", "--dir", dir.string(), "--from", old.Path().string()});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("tttarvel.ftd at offset " + std::to_string(offset)), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(dir / kTreeFileName));

  writer = test::RunProgram(
      {test::FindPeer("python3"), ORVELA_TEST_DATA "/write_old_config.py", old.Path().string()});
  ASSERT_EQ(writer.exitCode, 0);
  run = Run({"import", "--dir", dir.string(), "--from", old.Path().string()});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(DevicePaths(), (std::vector<std::string>{"Устройства.Тарвел-1", "Устройства.Контроллер"}));
}

}  // namespace
}  // namespace orvela
