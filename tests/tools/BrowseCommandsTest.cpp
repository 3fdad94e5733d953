// orvelactl da browse and hda browse on the demo folder: hosted in the command's own process, and through
// the endpoint of a running server, which must list the same.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>

#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "orvelactl/Commands.h"
#include "platform/Clock.h"
#include "support/CtlRunner.h"
#include "support/DemoRecords.h"
#include "support/Process.h"
#include "support/ServerFolder.h"
#include "support/ServingProcess.h"
#include "support/TempDir.h"

namespace orvela {
namespace {

using Json = nlohmann::json;

const std::string kCurrent =
    std::string(test::kDemoCurrent).substr(0, std::string(test::kDemoCurrent).size() - 1);
const std::string kHours = std::string(test::kDemoHours).substr(0, std::string(test::kDemoHours).size() - 1);
const std::string kHeat = "Количество теплоты - канал 1";

test::TCtlRun Ctl(std::vector<std::string> args) {
  return test::RunCtl(
      [](CLI::App& app, int& exitCode) {
        ctl::AddDaCommands(app, exitCode);
        ctl::AddHdaCommands(app, exitCode);
      },
      std::move(args));
}

const Json* Find(const Json& list, const std::string& name) {
  for (const Json& entry : list)
    if (entry.value("name", std::string()) == name) return &entry;
  return nullptr;
}

class BrowseCommands : public ::testing::Test {
 protected:
  BrowseCommands() : clock(20, EncodeDateTime(2024, 3, 2, 10, 20)) {
    line = std::make_unique<sim::TLine>(sim::TLineOptions{.clock = &clock});
    line->AddDevice(sim::MakeDevice("tarvel2001", kDemoMeterAddress, kDemoMeterSerial));
    line->ListenTcp();
    test::WriteServerFolder(dir, line->Port());
  }
  ~BrowseCommands() override {
    if (server) {
      ::kill(server->Pid(), SIGTERM);
      EXPECT_EQ(server->Finish(60'000).exitCode, 0);
    }
  }

  ::testing::AssertionResult StartServer() { return test::StartServing(dir, server); }

  // The listings every form of the command gives, as JSON, with the text form checked along.
  struct TRuns {
    Json daRoot, daCurrent, daHeat, hdaHours;
    test::TCtlRun missing, textHeat;
  };
  TRuns RunAll() {
    TRuns r;
    auto json = [&](std::vector<std::string> args) {
      args.insert(args.end(), {"--dir", dir.string(), "--json"});
      test::TCtlRun run = Ctl(args);
      EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
      return run.exitCode == 0 ? Json::parse(run.out) : Json();
    };
    r.daRoot = json({"da", "browse"});
    r.daCurrent = json({"da", "browse", kCurrent});
    r.daHeat = json({"da", "browse", kCurrent + "." + kHeat, "--properties"});
    r.hdaHours = json({"hda", "browse", kHours});
    r.missing = Ctl({"da", "browse", kCurrent + ".Нет такого", "--dir", dir.string()});
    r.textHeat = Ctl({"da", "browse", kCurrent + "." + kHeat, "--properties", "--dir", dir.string()});
    return r;
  }

  ScaledClock clock;
  std::unique_ptr<sim::TLine> line;
  test::TTempDir temp{"orvela-ctl-browse"};
  const std::filesystem::path dir = temp.Path();
  std::unique_ptr<test::TProcess> server;
};

TEST_F(BrowseCommands, ListBranchesItemsAndPropertiesHostedAndThroughTheServerAlike) {
  const TRuns hosted = RunAll();
  EXPECT_EQ(hosted.daRoot["position"], "Устройства");
  ASSERT_TRUE(Find(hosted.daRoot["branches"], "Тарвел-1")) << hosted.daRoot.dump();
  EXPECT_EQ((*Find(hosted.daRoot["branches"], "Тарвел-1"))["id"], "Устройства.Тарвел-1");

  EXPECT_EQ(hosted.daCurrent["position"], kCurrent);
  const Json* heat = Find(hosted.daCurrent["branches"], kHeat);
  ASSERT_TRUE(heat) << hosted.daCurrent.dump();
  EXPECT_EQ((*heat)["id"], kCurrent + "." + kHeat);

  const Json* value = Find(hosted.daHeat["items"], "Значение");
  ASSERT_TRUE(value) << hosted.daHeat.dump();
  EXPECT_EQ((*value)["id"], kCurrent + "." + kHeat + ".Значение");
  std::map<int, Json> props;
  for (const Json& p : (*value)["props"]) {
    EXPECT_EQ(p["hr"], 0) << p.dump();
    props[p["pid"].get<int>()] = p;
  }
  // The device is not read for a listing: no value, quality or time stamp.
  EXPECT_EQ(props.count(2) + props.count(3) + props.count(4), 0u);
  ASSERT_EQ(props.count(1), 1u);
  EXPECT_EQ(props[1]["v"], VT_R4);
  EXPECT_EQ(props[5]["v"], 1);
  ASSERT_EQ(props.count(100), 1u);
  EXPECT_EQ(props[100]["desc"], "EU Units");
  EXPECT_FALSE(props[100]["v"].get<std::string>().empty());
  EXPECT_NE(hosted.textHeat.out.find("100 EU Units: " + props[100]["v"].get<std::string>()),
            std::string::npos)
      << hosted.textHeat.out;

  EXPECT_EQ(hosted.hdaHours["position"], kHours);
  const Json* hourly = Find(hosted.hdaHours["items"], kHeat);
  ASSERT_TRUE(hourly) << hosted.hdaHours.dump();
  EXPECT_EQ((*hourly)["id"], kHours + "." + kHeat);

  EXPECT_EQ(hosted.missing.exitCode, 2);
  EXPECT_NE(hosted.missing.err.find("0x80070057"), std::string::npos) << hosted.missing.err;

  ASSERT_TRUE(StartServer());
  const TRuns served = RunAll();
  EXPECT_EQ(served.daRoot, hosted.daRoot);
  EXPECT_EQ(served.daCurrent, hosted.daCurrent);
  EXPECT_EQ(served.daHeat, hosted.daHeat);
  EXPECT_EQ(served.hdaHours, hosted.hdaHours);
  EXPECT_EQ(served.textHeat.out, hosted.textHeat.out);
  EXPECT_EQ(served.missing.exitCode, 2);
  EXPECT_NE(served.missing.err.find("0x80070057"), std::string::npos) << served.missing.err;
}

}  // namespace
}  // namespace orvela
