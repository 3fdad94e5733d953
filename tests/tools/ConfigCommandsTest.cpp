#include <gtest/gtest.h>

#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "orvelactl/Commands.h"
#include "support/Peers.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace orvela {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

struct TCtlRun {
  int exitCode = 0;
  std::string out;
  std::string err;
};

// Runs an orvelactl command in-process with its output captured.
TCtlRun RunCtl(std::vector<std::string> args) {
  CLI::App app;
  app.require_subcommand(1);
  TCtlRun run;
  ctl::AddConfigCommands(app, run.exitCode);
  ctl::AddJournalCommands(app, run.exitCode);
  std::ostringstream out, err;
  struct TRedirect {
    std::ostream& stream;
    std::streambuf* saved;
    ~TRedirect() { stream.rdbuf(saved); }
  } redirectOut{std::cout, std::cout.rdbuf(out.rdbuf())},
      redirectErr{std::cerr, std::cerr.rdbuf(err.rdbuf())};
  args.insert(args.begin(), "orvelactl");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError& e) {
    run.exitCode = app.exit(e);
  }
  run.out = out.str();
  run.err = err.str();
  return run;
}

// Every key the expectation names must be in the actual document with the same value; numbers that are
// not integers compare as doubles.
void ExpectMatches(const Json& expected, const Json& actual, const std::string& where) {
  if (expected.is_object()) {
    ASSERT_TRUE(actual.is_object()) << where;
    for (const auto& [key, value] : expected.items()) {
      ASSERT_TRUE(actual.contains(key)) << where << "/" << key;
      ExpectMatches(value, actual[key], where + "/" + key);
    }
  } else if (expected.is_array()) {
    ASSERT_TRUE(actual.is_array()) << where;
    ASSERT_EQ(expected.size(), actual.size()) << where;
    for (size_t i = 0; i < expected.size(); ++i)
      ExpectMatches(expected[i], actual[i], where + "/" + std::to_string(i));
  } else if (expected.is_number_float()) {
    ASSERT_TRUE(actual.is_number()) << where << ": " << actual;
    EXPECT_DOUBLE_EQ(expected.get<double>(), actual.get<double>()) << where;
  } else {
    EXPECT_EQ(expected, actual) << where;
  }
}

TEST(ConfigDump, ReportsAConfigurationWrittenByAnIndependentWriter) {
  test::TTempDir dir;
  ORVELA_REQUIRE_PEER("python3");
  const test::TProcessResult writer =
      test::RunProgram({test::FindPeer("python3"), ORVELA_TEST_DATA "/write_config.py", dir.Path().string()});
  ASSERT_EQ(writer.exitCode, 0) << writer.out << writer.err;
  const Json expected = Json::parse(writer.out);

  const TCtlRun run = RunCtl({"config", "dump", "--dir", dir.Path().string(), "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const Json actual = Json::parse(run.out);
  ExpectMatches(expected, actual, "");
  // Old-format records and entries are in there; make sure the comparison saw them.
  EXPECT_EQ(actual["tree"]["children"][1]["driverNumber"], 0);
  EXPECT_EQ(actual["connections"][1]["settings"]["ModemInit"], "ATE0Q0V1X0");

  const TCtlRun check = RunCtl({"config", "check", "--dir", dir.Path().string()});
  EXPECT_EQ(check.exitCode, 0) << check.out;
}

TEST(ConfigCheck, NamesTheDamagedFileAndOffset) {
  test::TTempDir dir;
  ASSERT_EQ(RunCtl({"config", "demo", "--dir", dir.Path().string()}).exitCode, 0);
  const TCtlRun good = RunCtl({"config", "check", "--dir", dir.Path().string()});
  EXPECT_EQ(good.exitCode, 0) << good.out;
  EXPECT_NE(good.out.find("Config.kopc: ok, 2 devices"), std::string::npos) << good.out;

  auto bytes = test::ReadBytes(dir / "tConn.dat");
  bytes.resize(bytes.size() - 10);
  test::WriteBytes(dir / "tConn.dat", bytes);
  const TCtlRun check = RunCtl({"config", "check", "--dir", dir.Path().string()});
  EXPECT_NE(check.exitCode, 0);
  EXPECT_NE(check.out.find((dir / "tConn.dat").string() + ": offset "), std::string::npos) << check.out;
  EXPECT_NE(check.out.find("tParam.dat: ok"), std::string::npos) << check.out;

  const TCtlRun dump = RunCtl({"config", "dump", "--dir", dir.Path().string(), "--json"});
  EXPECT_NE(dump.exitCode, 0);
  EXPECT_TRUE(dump.out.empty());
  EXPECT_NE(dump.err.find("tConn.dat: offset "), std::string::npos) << dump.err;
}

TEST(ConfigDump, TextFormForPeople) {
  test::TTempDir dir;
  ASSERT_EQ(RunCtl({"config", "demo", "--dir", dir.Path().string()}).exitCode, 0);
  const TCtlRun run = RunCtl({"config", "dump", "--dir", dir.Path().string()});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  for (const char* part : {"queuePauseMs = 3000", "Котельная", "Тарвел-1", "Текущие данные", "2 devices"})
    EXPECT_NE(run.out.find(part), std::string::npos) << part << "\n" << run.out;
}

TEST(ConfigDemo, PointsItsTcpConnectionAtTheGivenPort) {
  test::TTempDir dir;
  const TCtlRun demo = RunCtl({"config", "demo", "--dir", dir.Path().string(), "--port", "4711"});
  ASSERT_EQ(demo.exitCode, 0) << demo.err;
  const TCtlRun run = RunCtl({"config", "dump", "--dir", dir.Path().string(), "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const Json actual = Json::parse(run.out);
  EXPECT_EQ(actual["connections"][0]["columns"][5], "4711");
  EXPECT_EQ(actual["connections"][0]["key"]["IP_Port"], 4711);
  // The device on that connection carries the same key.
  EXPECT_EQ(actual["tree"]["children"][0]["key"]["IP_Port"], 4711);

  for (const char* bad : {"0", "65536", "port"}) {
    test::TTempDir untouched;
    EXPECT_NE(RunCtl({"config", "demo", "--dir", untouched.Path().string(), "--port", bad}).exitCode, 0)
        << bad;
    EXPECT_TRUE(fs::is_empty(untouched.Path())) << bad;
  }
}

const std::string kServerProgram = ORVELA_BINARY_DIR "/src/app/OrvelaOPC";

TEST(ServerProgram, PrintsTheStartStatus) {
  test::TTempDir dir;
  ASSERT_EQ(RunCtl({"config", "demo", "--dir", dir.Path().string()}).exitCode, 0);
  const test::TProcessResult good = test::RunProgram({kServerProgram, "--dir", dir.Path().string()});
  EXPECT_EQ(good.exitCode, 0) << good.err;
  EXPECT_EQ(good.out, "Состояние : Конфигурация загружена \nПриборов: 2\n");

  fs::remove(dir / "tConn.dat");
  const test::TProcessResult bad = test::RunProgram({kServerProgram, "--dir", dir.Path().string()});
  EXPECT_EQ(bad.exitCode, 0);
  EXPECT_EQ(bad.out, "Состояние : Ошибка при загрузке соединений\n");
}

// The start rows land in the program folder's journal; a damaged journal is kept aside and replaced.
TEST(ServerProgram, JournalsItsStartAndSurvivesADamagedJournal) {
  test::TTempDir dir;
  ASSERT_EQ(RunCtl({"config", "demo", "--dir", dir.Path().string()}).exitCode, 0);
  const auto start = [&] {
    return test::RunProgram({kServerProgram, "--dir", dir.Path().string()}).exitCode;
  };
  const auto messages = [&] {
    const TCtlRun run = RunCtl({"journal", "--dir", dir.Path().string(), "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::vector<std::string> texts;
    for (const auto& row : nlohmann::json::parse(run.out)) texts.push_back(row.at("message"));
    return texts;
  };

  ASSERT_EQ(start(), 0);
  const std::vector<std::string> first = messages();
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first[0], "Оболочка сервера запущена. Версия " ORVELA_VERSION);

  test::WriteBytes(dir / "dbLogs.db", std::vector<uint8_t>(4096, 0x5A));
  ASSERT_EQ(start(), 0);
  size_t keptAside = 0;
  for (const auto& entry : fs::directory_iterator(dir.Path()))
    if (entry.path().filename().string().starts_with("dbLogs.damaged-")) {
      ++keptAside;
      EXPECT_EQ(test::ReadBytes(entry.path()), std::vector<uint8_t>(4096, 0x5A));
    }
  EXPECT_EQ(keptAside, 1u);
  const std::vector<std::string> second = messages();
  EXPECT_GE(second.size(), 3u);
  EXPECT_NE(std::find(second.begin(), second.end(), first[0]), second.end());
}

}  // namespace
}  // namespace orvela
