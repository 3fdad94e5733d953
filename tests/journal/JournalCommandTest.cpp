#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

#include "journal/JournalTestUtil.h"
#include "support/CtlRunner.h"
#include "journal/UDM1.h"
#include "orvelactl/Commands.h"

namespace orvela {
namespace {

using namespace testing_journal;

using TRun = test::TCtlRun;

TRun RunCtl(const std::string& args) {
  return test::RunCtl(ctl::AddJournalCommands, args);
}

TEST(OrvelactlJournal, PrintsRowsAsTextAndJson) {
  TTempFolder dir;
  ManualClock clock(EncodeDateTime(2024, 3, 5, 9, 1, 2, 345));
  TJournalOptions options;
  options.clock = &clock;
  TDM1 journal(dir.Path(), options);
  ASSERT_TRUE(journal.Open());
  journal.SetQNumSource([] { return 3; });
  for (int i = 1; i <= 3; ++i) {
    journal.Journal("Сообщение " + std::to_string(i), i == 2 ? "Опрос" : "");
    clock.Advance(1000);
  }

  TRun text = RunCtl("journal --dir " + dir.Path().string());
  EXPECT_EQ(text.exitCode, 0) << text.err;
  EXPECT_EQ(text.out,
            "05.03.2024 09:01:02 | Сообщение 1 |  | 3\n"
            "05.03.2024 09:01:03 | Сообщение 2 | Опрос | 3\n"
            "05.03.2024 09:01:04 | Сообщение 3 |  | 3\n");

  TRun json = RunCtl("journal --dir " + dir.Path().string() + " --tail 2 --json");
  EXPECT_EQ(json.exitCode, 0) << json.err;
  const auto rows = nlohmann::json::parse(json.out);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0], (nlohmann::json{{"time", "2024-03-05 09:01:03.345"},
                                     {"message", "Сообщение 2"},
                                     {"second", "Опрос"},
                                     {"qnum", 3}}));
  EXPECT_EQ(rows[1]["message"], "Сообщение 3");
}

TEST(OrvelactlJournal, MissingOrForeignDatabaseIsAnError) {
  TTempFolder dir;
  TRun missing = RunCtl("journal --dir " + dir.Path().string());
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("dbLogs.db"), std::string::npos) << missing.err;
  WriteText(dir / kJournalDbFile, "not a database at all, just text");
  TRun foreign = RunCtl("journal --dir " + dir.Path().string() + " --json");
  EXPECT_EQ(foreign.exitCode, 1);
  EXPECT_TRUE(foreign.out.empty());
}

// Exit code and both output streams of a built program, stopped by timeout(1) after a bound (exit code
// 124): a program that blocks fails the test instead of hanging the suite.
TRun RunBounded(const std::string& command) {
  TRun run;
  FILE* pipe = ::popen(("timeout 30 " + command + " 2>&1").c_str(), "r");
  if (!pipe) return {-1, "", "popen failed"};
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  const int status = ::pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// A FIFO where the journal belongs: both programs end at once with a clear error and leave it alone.
TEST(JournalPrograms, FifoInTheDatabasesPlaceIsAClearErrorNotAHang) {
  TTempFolder dir;
  const fs::path db = dir / kJournalDbFile;
  ASSERT_EQ(::mkfifo(db.c_str(), 0644), 0);
  const std::string quotedDir = "'" + dir.Path().string() + "'";
  const std::string says = db.string() + ": not a regular file";
  struct TCase {
    std::string command;
    std::string line;  // the line that names the fault
  };
  const TCase cases[] = {
      {ORVELA_BINARY_DIR "/tools/orvelactl journal --dir " + quotedDir, "orvelactl journal: " + says},
      {ORVELA_BINARY_DIR "/tools/orvelactl journal --json --tail 5 --dir " + quotedDir,
       "orvelactl journal: " + says},
      // The server goes on without a journal; how it ends depends on the rest of the folder.
      {ORVELA_BINARY_DIR "/src/app/OrvelaOPC --dir " + quotedDir,
       std::string(kJournalOpenError) + ": " + says},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.command);
    const TRun run = RunBounded(c.command);
    EXPECT_NE(run.exitCode, 124) << "timed out";
    EXPECT_NE(run.exitCode, -1) << "killed by a signal";
    EXPECT_NE(run.out.find(c.line + "\n"), std::string::npos) << run.out;
    EXPECT_TRUE(fs::is_fifo(db));
  }
  EXPECT_EQ(RunBounded(cases[0].command).exitCode, 1);
}

}  // namespace
}  // namespace orvela
