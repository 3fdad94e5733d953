#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "journal/JournalTestUtil.h"
#include "journal/UDM1.h"
#include "orvelactl/Commands.h"

namespace orvela {
namespace {

using namespace testing_journal;

struct TRun {
  int code = 0;
  std::string out, err;
};

TRun RunCtl(const std::string& args) {
  CLI::App app;
  TRun run;
  ctl::AddJournalCommands(app, run.code);
  std::ostringstream out, err;
  auto* oldOut = std::cout.rdbuf(out.rdbuf());
  auto* oldErr = std::cerr.rdbuf(err.rdbuf());
  try {
    app.parse(args, false);
  } catch (const CLI::ParseError& e) {
    run.code = app.exit(e);
  }
  std::cout.rdbuf(oldOut);
  std::cerr.rdbuf(oldErr);
  run.out = out.str();
  run.err = err.str();
  return run;
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
  EXPECT_EQ(text.code, 0) << text.err;
  EXPECT_EQ(text.out,
            "05.03.2024 09:01:02 | Сообщение 1 |  | 3\n"
            "05.03.2024 09:01:03 | Сообщение 2 | Опрос | 3\n"
            "05.03.2024 09:01:04 | Сообщение 3 |  | 3\n");

  TRun json = RunCtl("journal --dir " + dir.Path().string() + " --tail 2 --json");
  EXPECT_EQ(json.code, 0) << json.err;
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
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("dbLogs.db"), std::string::npos) << missing.err;
  WriteText(dir / kJournalDbFile, "not a database at all, just text");
  TRun foreign = RunCtl("journal --dir " + dir.Path().string() + " --json");
  EXPECT_EQ(foreign.code, 1);
  EXPECT_TRUE(foreign.out.empty());
}

}  // namespace
}  // namespace orvela
