// orvelactl on a program folder a running OrvelaOPC serves: da and hda ask the server through its local
// endpoint instead of polling its line a second time, and commands that change the configuration or use
// the lines themselves are refused. The meter's line is reached through a relay that notes which process
// opened each connection.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

#include "endpoint/EndpointCodec.h"
#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "metersim/Values.h"
#include "orvelactl/Commands.h"
#include "orvelactl/EndpointLink.h"
#include "orvelactl/ServerClient.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComVariant.h"
#include "support/CtlRunner.h"
#include "support/DemoRecords.h"
#include "support/LineRelay.h"
#include "support/Process.h"
#include "support/ServerFolder.h"
#include "support/ServingProcess.h"
#include "support/TempDir.h"
#include "tree/ConfigFiles.h"
#include "tree/DemoConfig.h"

namespace orvela {
namespace {

using Json = nlohmann::json;
const TDateTime kStart = EncodeDateTime(2024, 3, 2, 10, 20);
constexpr uint8_t kHeat = 0x00;
const std::string kHeatNow = std::string(test::kDemoCurrent) + "Количество теплоты - канал 1.Значение";
const std::string kHeatHours = std::string(test::kDemoHours) + "Количество теплоты - канал 1";
constexpr const char* kServed = "a running OrvelaOPC serves the program folder";

test::TCtlRun Ctl(std::vector<std::string> args) {
  return test::RunCtl(
      [](CLI::App& app, int& exitCode) {
        ctl::AddConfigCommands(app, exitCode);
        ctl::AddDeviceCommands(app, exitCode);
        ctl::AddScanCommands(app, exitCode);
        ctl::AddDaCommands(app, exitCode);
        ctl::AddHdaCommands(app, exitCode);
      },
      std::move(args));
}

// The meter's line behind a relay, the demo folder pointing at the relay, and OrvelaOPC --serve on it. The
// meter keeps its own calendar (scaled from kStart); the server and the commands run in real time.
class ServedFolder : public ::testing::Test {
 protected:
  ServedFolder() : meterClock(20, kStart) {
    line = std::make_unique<sim::TLine>(sim::TLineOptions{.clock = &meterClock});
    line->AddDevice(sim::MakeDevice("tarvel2001", kDemoMeterAddress, kDemoMeterSerial));
    line->ListenTcp();
    relay = std::make_unique<test::TLineRelay>(line->Port());
    test::WriteServerFolder(dir, relay->Port());
  }
  ~ServedFolder() override {
    StopServer();
    relay.reset();
    line.reset();
  }

  ::testing::AssertionResult StartServer() { return test::StartServing(dir, server); }
  void StopServer() {
    if (!server) return;
    ::kill(server->Pid(), SIGTERM);
    const test::TProcessResult result = server->Finish(60'000);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    server.reset();
  }

  // Every connection to the line so far came from the server; it made at least one.
  ::testing::AssertionResult OnlyTheServerPolled() {
    const std::vector<pid_t> openers = relay->Openers();
    if (openers.empty()) return ::testing::AssertionFailure() << "nobody read the meter";
    for (pid_t opener : openers)
      if (opener != server->Pid())
        return ::testing::AssertionFailure()
               << "a connection to the line came from pid " << opener << " (this is " << ::getpid()
               << ", the server " << server->Pid() << ")";
    return ::testing::AssertionSuccess();
  }

  ScaledClock meterClock;
  std::unique_ptr<sim::TLine> line;
  std::unique_ptr<test::TLineRelay> relay;
  test::TTempDir temp{"orvela-ctl-served"};
  const std::filesystem::path dir = temp.Path();
  std::unique_ptr<test::TProcess> server;
};

TEST_F(ServedFolder, DaReadAndWatchAskTheServerAndItsEngineReadsTheMeter) {
  ASSERT_TRUE(StartServer());
  const std::string unknown = "Устройства.Тарвел-1.Нет такого";
  const TDateTime before = meterClock.Now();
  test::TCtlRun run = Ctl({"da", "read", "--dir", dir.string(), "--json", kHeatNow, unknown});
  const TDateTime after = meterClock.Now();
  // The unknown item makes the exit code 1; the other is read all the same.
  ASSERT_EQ(run.exitCode, 1) << run.out << run.err;
  const Json items = Json::parse(run.out);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0]["item"], kHeatNow);
  EXPECT_EQ(items[0]["quality"], 192);
  EXPECT_EQ(items[0]["error"], "0x00000000");
  const float value = items[0]["value"].get<float>();
  EXPECT_TRUE(value == sim::CurrentValue(kDemoMeterSerial, kHeat, before) ||
              value == sim::CurrentValue(kDemoMeterSerial, kHeat, after))
      << value;
  EXPECT_EQ(items[1]["item"], unknown);
  EXPECT_EQ(items[1]["error"], "0xC0040007");
  EXPECT_TRUE(items[1]["value"].is_null());
  EXPECT_EQ(items[1]["timestamp"], "1601-01-01T00:00:00.000Z");

  // The text form names the error as the DA server words it.
  run = Ctl({"da", "read", "--dir", dir.string(), unknown});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out.rfind(unknown + ": error 0xC0040007 ", 0), 0u) << run.out;

  run = Ctl({"da", "watch", "--dir", dir.string(), "--json", "--rate", "500", "--count", "2", kHeatNow});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  std::istringstream lines(run.out);
  int changes = 0;
  for (std::string text; std::getline(lines, text); ++changes) {
    const Json change = Json::parse(text);
    EXPECT_EQ(change["item"], kHeatNow);
    EXPECT_EQ(change["quality"], 192);
    EXPECT_TRUE(change["value"].is_number());
  }
  EXPECT_EQ(changes, 2) << run.out;
  EXPECT_TRUE(OnlyTheServerPolled());
}

// The same command gives the same output whether the server answers it or the command hosts the objects
// itself once the server is gone. The window's edges lie between records, where both agree.
TEST_F(ServedFolder, HdaReadThroughTheServerGivesWhatTheCommandReadsItselfWithoutIt) {
  ASSERT_TRUE(StartServer());
  const int64_t hour = sim::PeriodIndex(sim::EPeriod::Hour, kStart) - 3;
  const TDateTime end = sim::PeriodStart(sim::EPeriod::Hour, hour) + 20.0 / 1440;
  const TDateTime start = end - 5.0 / 24;
  const std::vector<std::string> args = {"hda",     "read",
                                         "--dir",   dir.string(),
                                         "--start", test::IsoLocal(start),
                                         "--end",   test::IsoLocal(end),
                                         kHeatHours};
  std::vector<std::string> json = args;
  json.insert(json.begin() + 4, "--json");

  const test::TCtlRun served = Ctl(json);
  ASSERT_EQ(served.exitCode, 0) << served.out << served.err;
  const test::TCtlRun servedText = Ctl(args);
  ASSERT_EQ(servedText.exitCode, 0) << servedText.out << servedText.err;
  const Json items = Json::parse(served.out);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0]["error"], "0x00000000");
  const Json& records = items[0]["records"];
  ASSERT_EQ(records.size(), 5u) << records.dump();
  test::ExpectHourRecords(records, hour - 4, kHeat);
  // Backwards: the same records, latest first.
  std::vector<std::string> backwards = json;
  std::swap(backwards[6], backwards[8]);
  const test::TCtlRun reversed = Ctl(backwards);
  ASSERT_EQ(reversed.exitCode, 0) << reversed.err;
  Json reversedRecords = Json::parse(reversed.out)[0]["records"];
  std::reverse(reversedRecords.begin(), reversedRecords.end());
  EXPECT_EQ(reversedRecords, records);
  EXPECT_TRUE(OnlyTheServerPolled());

  StopServer();
  const size_t before = relay->Openers().size();
  const test::TCtlRun hosted = Ctl(json);
  ASSERT_EQ(hosted.exitCode, 0) << hosted.err;
  EXPECT_EQ(hosted.out, served.out);
  // With nobody serving the folder the command reads the meter itself: the relay sees this process.
  const std::vector<pid_t> openers = relay->Openers();
  ASSERT_GT(openers.size(), before);
  EXPECT_EQ(openers.back(), ::getpid());
  EXPECT_EQ(Ctl(args).out, servedText.out);
}

TEST_F(ServedFolder, CommandsThatChangeTheConfigurationOrUseTheLinesAreRefused) {
  ASSERT_TRUE(StartServer());
  const std::filesystem::path treeFile = dir / kTreeFileName;
  const std::vector<uint8_t> treeBefore = test::ReadBytes(treeFile);
  test::TTempDir old{"orvela-ctl-old"};
  const std::string folder = dir.string();
  const std::vector<std::vector<std::string>> cases = {
      {"device", "add", "--dir", folder, "--conn", "Котельная", "--family", "tarvel2001", "--address", "1"},
      {"device", "refresh", "--dir", folder, "--device", kDemoMeterSerial},
      {"device", "remove", "--dir", folder, "--device", kDemoMeterSerial},
      {"autoconfig", "--dir", folder, "--conn", "Котельная"},
      {"import", "--dir", folder, "--from", old.Path().string()},
      {"config", "rewrite", "--dir", folder},
      {"scan", "--dir", folder, "--conn", "Котельная"},
      // What the endpoint does not offer is not done by a second server in this process either.
      {"da", "status", "--dir", folder},
      {"hda", "attributes", "--dir", folder, kHeatHours},
      {"hda", "advise", "--dir", folder, "--start", "NOW-1H", "--interval", "1", "--count", "1", kHeatHours},
  };
  for (const std::vector<std::string>& args : cases) {
    SCOPED_TRACE(args[0] + " " + args[1]);
    const test::TCtlRun run = Ctl(args);
    EXPECT_NE(run.exitCode, 0);
    EXPECT_NE(run.err.find(kServed), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
  }
  EXPECT_EQ(test::ReadBytes(treeFile), treeBefore);
  EXPECT_TRUE(relay->Openers().empty() || OnlyTheServerPolled());

  // Once the server is gone the folder is the command's again.
  StopServer();
  const test::TCtlRun removed = Ctl({"device", "remove", "--dir", folder, "--device", "Тарвел-1"});
  EXPECT_EQ(removed.exitCode, 0) << removed.err;
  EXPECT_NE(test::ReadBytes(treeFile), treeBefore);
}

// What the endpoint sends for each kind of value reads back, in the served commands' output, as the
// hosted commands print the value itself.
TEST(ServedValues, EveryValueTheEndpointSendsPrintsAsTheHostedCommandPrintsIt) {
  std::vector<TComVariant> values(13);
  values[0].vt = VT_EMPTY;
  values[1].vt = VT_R4, values[1].fltVal = 0.1f;
  values[2].vt = VT_R4, values[2].fltVal = std::numeric_limits<float>::quiet_NaN();
  values[3].vt = VT_R8, values[3].dblVal = -std::numeric_limits<double>::infinity();
  values[4].vt = VT_R8, values[4].dblVal = 1.0 / 3;
  values[5].vt = VT_I8, values[5].llVal = std::numeric_limits<int64_t>::min();
  values[6].vt = VT_UI8, values[6].ullVal = std::numeric_limits<uint64_t>::max();
  values[7].vt = VT_BOOL, values[7].boolVal = VARIANT_TRUE;
  values[8].vt = VT_I2, values[8].iVal = -7;
  values[9].vt = VT_DATE, values[9].date = EncodeDateTime(2024, 10, 27, 2, 30, 15);
  values[10].vt = VT_BSTR, values[10].bstrVal = SysAllocString(u"#тег");
  values[11].vt = VT_BSTR, values[11].bstrVal = SysAllocString(u"Гкал");
  values[12].vt = VT_UI4, values[12].ulVal = 4'000'000'000u;
  for (const TComVariant& value : values) {
    SCOPED_TRACE(value.vt);
    endpoint::Json wire;
    ASSERT_TRUE(endpoint::ValueJson(value, wire));
    const ctl::Json sent = ctl::Json::parse(wire.dump());
    EXPECT_EQ(ctl::WireValue(sent).dump(), ctl::VariantJson(value).dump()) << wire.dump();
  }
  // A tag the client does not know is no value rather than a text.
  EXPECT_TRUE(ctl::WireValue("#later:1").is_null());
}

}  // namespace
}  // namespace orvela
