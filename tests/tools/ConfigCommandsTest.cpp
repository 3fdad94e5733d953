#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "orvelactl/Commands.h"
#include "support/CtlRunner.h"
#include "support/Peers.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace orvela {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

using test::TCtlRun;

// Runs an orvelactl command in-process with its output captured.
TCtlRun RunCtl(std::vector<std::string> args) {
  return test::RunCtl(
      [](CLI::App& app, int& exitCode) {
        ctl::AddConfigCommands(app, exitCode);
        ctl::AddJournalCommands(app, exitCode);
      },
      std::move(args));
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

// ---------------------------------------------------------------------------------------------------------
// The built orvelactl on real files.

const char* const kConfigFiles[] = {"tParam.dat", "tConn.dat", "Config.kopc"};

std::string Orvelactl() {
  const fs::path program = fs::path(ORVELA_BINARY_DIR) / "tools" / "orvelactl";
  EXPECT_TRUE(fs::exists(program)) << program;
  return "'" + program.string() + "'";
}

std::pair<int, std::string> RunBuiltCtl(const std::string& args, const fs::path& dir) {
  const test::TProcessResult run =
      test::RunShell(Orvelactl() + " " + args + " --dir '" + dir.string() + "' 2>&1");
  return {run.exitCode, run.out};
}

// Writes a configuration exactly as the writer rules produce it; returns what dump must report for it.
Json WriteAsSaved(const fs::path& dir) {
  const test::TProcessResult run = test::RunShell(
      "/usr/bin/python3 " ORVELA_TEST_DATA "/write_config.py --as-saved '" + dir.string() + "'");
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  return Json::parse(run.out);
}

std::map<std::string, std::vector<uint8_t>> Snapshot(const fs::path& dir) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const char* name : kConfigFiles)
    if (fs::exists(dir / name)) files[name] = test::ReadBytes(dir / name);
  return files;
}

// Puts a folder text into tParam.dat's project-folder field, leaving the rest of the field as it was.
void SetStoredProjectFolder(const fs::path& dir, const std::string& folder) {
  auto record = test::ReadBytes(dir / "tParam.dat");
  ASSERT_EQ(record.size(), 396u);
  ASSERT_LE(folder.size(), 120u);
  record[130] = static_cast<uint8_t>(folder.size());
  std::copy(folder.begin(), folder.end(), record.begin() + 131);
  test::WriteBytes(dir / "tParam.dat", record);
}

void ReplaceFirst(const fs::path& file, const std::vector<uint8_t>& pattern, size_t at, uint8_t value) {
  auto bytes = test::ReadBytes(file);
  const auto found = std::search(bytes.begin(), bytes.end(), pattern.begin(), pattern.end());
  ASSERT_NE(found, bytes.end());
  found[static_cast<std::ptrdiff_t>(at)] = value;
  test::WriteBytes(file, bytes);
}

TEST(ConfigRewrite, ConfigurationAsTheWriterRulesMakeItIsSavedBackByteForByte) {
  test::TTempDir dir;
  const Json expected = WriteAsSaved(dir.Path());
  const auto before = Snapshot(dir.Path());
  ASSERT_EQ(before.size(), 3u);

  const auto [code, out] = RunBuiltCtl("config rewrite", dir.Path());
  ASSERT_EQ(code, 0) << out;
  for (const auto& [name, bytes] : before) EXPECT_EQ(test::ReadBytes(dir / name), bytes) << name;

  // One-byte and wide strings alike are strings to a client of the dump.
  const auto [dumpCode, dump] = RunBuiltCtl("config dump --json", dir.Path());
  ASSERT_EQ(dumpCode, 0) << dump;
  ExpectMatches(expected, Json::parse(dump), "");
}

// Each case spoils a configuration written as saved; other is a second folder the case may use.
TEST(ConfigRewrite, NoFileThatFailedToLoadIsSavedOverUnlessForced) {
  const struct {
    const char* name;
    std::function<void(const fs::path& dir, const fs::path& other)> spoil;
    int checkExit;
    const char* checkSays;
    int rewriteExit;  // without --force; 0: written, and the files are what they were
  } kCases[] = {
      {"last connection cut by 10 bytes",
       [](const fs::path& d, const fs::path&) {
         auto bytes = test::ReadBytes(d / "tConn.dat");
         bytes.resize(bytes.size() - 10);
         test::WriteBytes(d / "tConn.dat", bytes);
       },
       1, "tConn.dat: offset ", 1},
      {"connection count 3 damaged to 1",
       [](const fs::path& d, const fs::path&) {
         ReplaceFirst(d / "tConn.dat", {3, 0, 0, 0}, 0, 1);
       },
       1, "bytes after the last of 1 entries", 1},
      {"root child count 2 damaged to 1",
       // child count 2, then the first device: model 2, kind 1, address 5
       [](const fs::path& d, const fs::path&) {
         ReplaceFirst(d / "Config.kopc", {2, 2, 2, 2, 2, 1, 2, 5}, 1, 1);
       },
       1, "bytes after the root record", 1},
      {"settings record one byte short",
       [](const fs::path& d, const fs::path&) {
         auto bytes = test::ReadBytes(d / "tParam.dat");
         bytes.pop_back();
         test::WriteBytes(d / "tParam.dat", bytes);
       },
       1, "tParam.dat: offset 395", 1},
      {"project folder of a Windows machine",
       [](const fs::path& d, const fs::path&) { SetStoredProjectFolder(d, "C:\\Program Files\\Orvela\\"); },
       0, "is not a folder of this machine", 0},
      {"program folder copied from one that still exists",
       [](const fs::path& d, const fs::path& other) {
         for (const char* name : kConfigFiles) fs::copy_file(d / name, other / name);
         SetStoredProjectFolder(d, other.string() + "/");
         SetStoredProjectFolder(other, other.string() + "/");
       },
       0, "is the program folder of another installation", 0},
      {"project folder without the tree the program folder has",
       [](const fs::path& d, const fs::path& other) {
         fs::rename(d / "tConn.dat", other / "tConn.dat");
         SetStoredProjectFolder(d, other.string() + "/");
       },
       1, "holds no Config.kopc while the program folder holds one", 1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    test::TTempDir dir, other;
    WriteAsSaved(dir.Path());
    c.spoil(dir.Path(), other.Path());
    const auto before = Snapshot(dir.Path());
    const auto otherBefore = Snapshot(other.Path());

    const auto [checkCode, checkOut] = RunBuiltCtl("config check", dir.Path());
    EXPECT_EQ(checkCode, c.checkExit) << checkOut;
    EXPECT_NE(checkOut.find(c.checkSays), std::string::npos) << checkOut;

    const auto [code, out] = RunBuiltCtl("config rewrite", dir.Path());
    EXPECT_EQ(code, c.rewriteExit) << out;
    if (c.rewriteExit != 0) {
      EXPECT_NE(out.find("nothing written"), std::string::npos) << out;
      EXPECT_NE(out.find(c.checkSays), std::string::npos) << out;
    }
    EXPECT_EQ(Snapshot(dir.Path()), before);
    EXPECT_EQ(Snapshot(other.Path()), otherBefore);
    if (c.rewriteExit == 0) continue;

    const auto [forcedCode, forcedOut] = RunBuiltCtl("config rewrite --force", dir.Path());
    EXPECT_EQ(forcedCode, 0) << forcedOut;
    const auto [againCode, againOut] = RunBuiltCtl("config check", dir.Path());
    EXPECT_EQ(againCode, 0) << againOut;
  }
}

// A short settings record keeps the fields it holds: forced back, it is the record it was, made whole.
TEST(ConfigRewrite, ShortSettingsKeepTheBytesTheyHad) {
  test::TTempDir dir;
  WriteAsSaved(dir.Path());
  const auto whole = test::ReadBytes(dir / "tParam.dat");
  ASSERT_EQ(whole.back(), 0);  // the high byte of the GPRS wait
  test::WriteBytes(dir / "tParam.dat", std::vector<uint8_t>(whole.begin(), whole.end() - 1));

  const auto [dumpCode, dump] = RunBuiltCtl("config check", dir.Path());
  EXPECT_EQ(dumpCode, 1) << dump;
  ASSERT_EQ(RunBuiltCtl("config rewrite --force", dir.Path()).first, 0);
  EXPECT_EQ(test::ReadBytes(dir / "tParam.dat"), whole);
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

// The meter's connection becomes an inbound GPRS one (the GSM modem's port and the number), the listener on
// the given "Порт TCP"; a malformed address or a second modem option writes no configuration.
TEST(ConfigDemo, MovesTheMeterToAnInboundGprsConnection) {
  test::TTempDir dir;
  const TCtlRun demo = RunCtl({"config", "demo", "--dir", dir.Path().string(), "--gprs", "COM9:9161234567",
                               "--gprs-listen", "10177"});
  ASSERT_EQ(demo.exitCode, 0) << demo.err;
  const TCtlRun run = RunCtl({"config", "dump", "--dir", dir.Path().string(), "--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const Json actual = Json::parse(run.out);
  EXPECT_EQ(actual["settings"]["tcpPort"], 10177);
  const Json& key = actual["connections"][0]["key"];
  EXPECT_EQ(key["ConnType"], 5);
  EXPECT_EQ(key["LinkAddress"], "COM9:9161234567");
  EXPECT_EQ(actual["tree"]["children"][0]["key"]["LinkAddress"], "COM9:9161234567");

  const std::vector<std::vector<std::string>> bad = {
      {"--gprs", "9161234567"},
      {"--gprs", "COM9:"},
      {"--gprs", "COM9:9161234567", "--modem", "COM8:5551234"},
      {"--gprs-listen", "0"},
  };
  for (const auto& options : bad) {
    test::TTempDir untouched;
    std::vector<std::string> args = {"config", "demo", "--dir", untouched.Path().string()};
    args.insert(args.end(), options.begin(), options.end());
    EXPECT_NE(RunCtl(args).exitCode, 0) << options[1];
    for (const char* file : {"tParam.dat", "tConn.dat", "Config.kopc"})
      EXPECT_FALSE(fs::exists(untouched / file)) << options[1] << " " << file;
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

// A server started in the background has only its logs: start-up failures reach the work log and
// standard error with "Вести лог канала" off, and a folder stood in for is told in the status.
TEST(ServerProgram, StartFailuresReachTheWorkLogWithTheChannelLogOff) {
  const fs::path program = fs::path(ORVELA_BINARY_DIR) / "src" / "app" / "OrvelaOPC";
  ASSERT_TRUE(fs::exists(program));
  test::TTempDir dir;
  WriteAsSaved(dir.Path());
  auto settings = test::ReadBytes(dir / "tParam.dat");
  settings[92] = 0;  // "Вести лог канала" off
  test::WriteBytes(dir / "tParam.dat", settings);
  SetStoredProjectFolder(dir.Path(), "C:\\Program Files\\Orvela\\");
  auto connections = test::ReadBytes(dir / "tConn.dat");
  connections.resize(connections.size() - 10);
  test::WriteBytes(dir / "tConn.dat", connections);
  fs::create_directories(dir / "dbLogs.db" / "inside");  // the journal cannot be opened

  const test::TProcessResult run =
      test::RunShell("'" + program.string() + "' --dir '" + dir.Path().string() + "' 2>&1");
  const int status = run.exitCode;
  const std::string& out = run.out;
  EXPECT_EQ(status, 0) << out;
  const std::string workLog = [&] {
    const auto bytes = test::ReadBytes(dir / "Log_Work.txt");
    return std::string(bytes.begin(), bytes.end());
  }();
  for (const std::string& line : {std::string("Ошибка DM"), (dir / "tConn.dat").string() + ": offset "}) {
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    EXPECT_NE(workLog.find(line), std::string::npos) << line << "\n" << workLog;
  }
  EXPECT_NE(out.find("\"C:\\Program Files\\Orvela\\\" is not a folder of this machine"), std::string::npos)
      << out;
  EXPECT_NE(out.find("Состояние : Ошибка при загрузке соединений"), std::string::npos) << out;
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
