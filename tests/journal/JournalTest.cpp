#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "journal/JournalReader.h"
#include "journal/JournalStart.h"
#include "journal/JournalTestUtil.h"
#include "journal/UDM1.h"
#include "platform/Cp1251.h"
#include "platform/FileTestSupport.h"
#include "platform/MainThread.h"
#include "support/TimeZone.h"

namespace orvela {
namespace {

using namespace testing_journal;

std::string Repeat(const std::string& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

// Collects what the module reports, and answers whether a window showed the message box.
struct TReports {
  std::vector<std::string> workLog;
  std::vector<std::string> boxes;
  bool windowShown = false;

  TJournalOptions Options(Clock* clock = nullptr, bool clearAtStart = false) {
    TJournalOptions o;
    o.clock = clock;
    o.clearAtStart = clearAtStart;
    o.workLog = [this](const std::string& line) { workLog.push_back(line); };
    o.messageBox = [this](const std::string& text, const std::string& caption) {
      if (!windowShown) return false;
      boxes.push_back(text + "|" + caption);
      return true;
    };
    return o;
  }
};

class JournalTest : public ::testing::Test {
 protected:
  TTempFolder dir;
  ManualClock clock{EncodeDateTime(2024, 3, 5, 14, 7, 9, 250)};
  TReports reports;
  fs::path Db() const { return dir / kJournalDbFile; }
  fs::path Template() const { return dir / kJournalTemplateFile; }
};

TEST_F(JournalTest, RowsAreWrittenWithTheirColumns) {
  TDM1 journal(dir.Path(), reports.Options(&clock));
  ASSERT_TRUE(journal.Open());
  journal.SetQNumSource([] { return 7; });
  journal.Journal("Сервер запущен", "Опрос");
  journal.Journal("", "ignored: empty messages are not written");
  clock.Advance(1000);
  journal.Journal("Второе", "");
  const std::vector<uint8_t> bytes = {0x01, 0xAB, 0xFF};
  const TDateTime start = clock.Now();
  journal.DebugTrace("COM1", "12345", bytes, 1, "OK", start, start + 1500 / kMsPerDay);

  EXPECT_EQ(Query(Db(), "SELECT MessTime, MessVal, MessPrb, QNum FROM TLog ORDER BY rowid"),
            (TRows{{"2024-03-05 14:07:09.250", "Сервер запущен", "Опрос", "7"},
                   {"2024-03-05 14:07:10.250", "Второе", "", "7"}}));
  EXPECT_EQ(Query(Db(),
                  "SELECT MessTimeBegin, MessTime, MessConn, MessPrb, MessDirection, MessVal, MessReturn, "
                  "QNum FROM TDebug"),
            (TRows{{"2024-03-05 14:07:10.250", "1899-12-30 00:00:01.500", "COM1", "12345", "1", " 01 AB FF",
                    "OK", "7"}}));
  // SQLite's own date functions read the stored times.
  EXPECT_EQ(Query(Db(), "SELECT strftime('%d.%m.%Y %H:%M', MessTime) FROM TLog LIMIT 1")[0][0],
            "05.03.2024 14:07");

  // The reader the window and orvelactl use gives the same rows, with the times decoded.
  const auto rows = ReadJournalRows(Db());
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].message, "Сервер запущен");
  EXPECT_EQ(rows[0].second, "Опрос");
  EXPECT_EQ(rows[0].qNum, 7);
  EXPECT_EQ(DateTimeToUnixMs(rows[0].time), DateTimeToUnixMs(EncodeDateTime(2024, 3, 5, 14, 7, 9, 250)));
  const auto tail = ReadJournalRows(Db(), 1);
  ASSERT_EQ(tail.size(), 1u);
  EXPECT_EQ(tail[0].message, "Второе");
  EXPECT_TRUE(reports.workLog.empty());
}

TEST_F(JournalTest, TextsAreCutToTheirColumnsInCharacters) {
  TDM1 journal(dir.Path(), reports.Options(&clock));
  ASSERT_TRUE(journal.Open());
  struct TCase {
    std::string message, second;
    size_t messageChars, secondChars;
  };
  const TCase cases[] = {
      {Repeat("Ж", 250), Repeat("№", 60), 200, 50},
      {Repeat("x", 300), Repeat("y", 50), 200, 50},
      {Repeat("Я", 200), Repeat("п", 49), 200, 49},
      // A four-byte character right at the limit is kept whole or left out, never split.
      {Repeat("a", 199) + "😀😀", "", 200, 0},
  };
  for (const auto& c : cases) journal.Journal(c.message, c.second);
  const auto rows = Query(Db(), "SELECT MessVal, MessPrb FROM TLog ORDER BY rowid");
  ASSERT_EQ(rows.size(), std::size(cases));
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Utf8Length(rows[i][0]), cases[i].messageChars);
    EXPECT_EQ(rows[i][0], cases[i].message.substr(0, rows[i][0].size()));
    EXPECT_EQ(Utf8Length(rows[i][1]), cases[i].secondChars);
    EXPECT_EQ(rows[i][1], cases[i].second.substr(0, rows[i][1].size()));
  }

  const std::vector<uint8_t> many(100, 0x5A);
  journal.DebugTrace(Repeat("Линия", 20), Repeat("Прибор", 20), many, 2, Repeat("Ошибка", 20), 0, 0);
  const auto trace = Query(Db(), "SELECT MessConn, MessPrb, MessVal, MessReturn FROM TDebug");
  ASSERT_EQ(trace.size(), 1u);
  EXPECT_EQ(Utf8Length(trace[0][0]), 50u);
  EXPECT_EQ(Utf8Length(trace[0][1]), 50u);
  EXPECT_EQ(trace[0][2], Repeat(" 5A", 85));  // 255 characters: whole bytes only
  EXPECT_EQ(Utf8Length(trace[0][3]), 50u);
}

TEST_F(JournalTest, TheLogFileSwitchesTheJournal) {
  struct TCase {
    const char* content;  // nullptr: no file
    bool on;
  };
  const TCase cases[] = {{nullptr, true}, {"", true},         {"1", true},
                         {"0", false},    {"0 и всё", false}, {" 0", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content ? c.content : "(no file)");
    TTempFolder folder;
    if (c.content) WriteText(folder / kJournalSwitchFile, c.content);
    TDM1 journal(folder.Path(), reports.Options(&clock));
    EXPECT_EQ(journal.Open(), c.on);
    EXPECT_EQ(journal.IsOn(), c.on);
    journal.Journal("строка", "");
    journal.DebugTrace("c", "d", {}, 0, "", 0, 0);
    EXPECT_EQ(journal.ClearJournal(), c.on);
    if (c.on) {
      EXPECT_EQ(CountRows(folder / kJournalDbFile, "TLog"), 0u);  // cleared after the row
    } else {
      // Off: no database, no template, nothing reported.
      EXPECT_FALSE(fs::exists(folder / kJournalDbFile));
      EXPECT_FALSE(fs::exists(folder / "Data"));
    }
  }
  EXPECT_TRUE(reports.workLog.empty());
}

TEST_F(JournalTest, ClearingCopiesTheTemplateByteForByte) {
  {
    TDM1 journal(dir.Path(), reports.Options(&clock));
    ASSERT_TRUE(journal.Open());
    // The template was made because it was missing, and the database copied from it.
    ASSERT_TRUE(fs::exists(Template()));
    EXPECT_EQ(CountRows(Template(), "TLog"), 0u);
    EXPECT_EQ(CountRows(Template(), "TDebug"), 0u);
    for (int i = 0; i < 5; ++i) journal.Journal("строка " + std::to_string(i), "");
    journal.DebugTrace("c", "d", {}, 0, "", 0, 0);
    ASSERT_TRUE(journal.ClearJournal());
    EXPECT_EQ(ReadText(Db()), ReadText(Template()));
    // The journal goes on after the clear.
    journal.Journal("после очистки", "");
    EXPECT_EQ(Query(Db(), "SELECT MessVal FROM TLog"), (TRows{{"после очистки"}}));
    EXPECT_EQ(CountRows(Db(), "TDebug"), 0u);
  }
  // "Очищать лог при входе": the next start begins with an empty journal.
  TDM1 again(dir.Path(), reports.Options(&clock, true));
  ASSERT_TRUE(again.Open());
  EXPECT_EQ(CountRows(Db(), "TLog"), 0u);
  // A damaged template is the program's to make again.
  WriteText(Template(), "not a database");
  ASSERT_TRUE(again.ClearJournal());
  EXPECT_EQ(CountRows(Template(), "TLog"), 0u);
  EXPECT_EQ(ReadText(Db()), ReadText(Template()));
  EXPECT_TRUE(reports.workLog.empty());
}

std::vector<fs::path> DamagedCopies(const fs::path& folder) {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.path().filename().string().starts_with("dbLogs.damaged-")) out.push_back(e.path());
  return out;
}

TEST_F(JournalTest, DamagedDatabaseIsKeptAsideAndReplacedOnce) {
  struct TCase {
    const char* why;
    void (*make)(const fs::path& db);
  };
  const TCase cases[] = {
      {"garbage bytes",
       [](const fs::path& db) { WriteText(db, std::string(3000, '\x5A') + "мусор вместо базы"); }},
      {"empty file", [](const fs::path& db) { WriteText(db, ""); }},
      {"another database without the journal table",
       [](const fs::path& db) {
         sqlite3* h = nullptr;
         sqlite3_open(db.c_str(), &h);
         sqlite3_exec(h, "CREATE TABLE Other (x INTEGER); INSERT INTO Other VALUES (42);", nullptr, nullptr,
                      nullptr);
         sqlite3_close(h);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    TTempFolder folder;
    const fs::path db = folder / kJournalDbFile;
    c.make(db);
    const std::string damaged = ReadText(db);
    {
      TDM1 journal(folder.Path(), reports.Options(&clock));
      ASSERT_TRUE(journal.Open());
      const auto copies = DamagedCopies(folder.Path());
      ASSERT_EQ(copies.size(), 1u);
      EXPECT_EQ(copies[0], journal.DamagedCopy());
      EXPECT_EQ(copies[0].filename(), "dbLogs.damaged-20240305-140709.db");
      EXPECT_EQ(ReadText(copies[0]), damaged);
      // The replacement is journalled, naming where the old file went.
      const auto rows = Query(db, "SELECT MessVal, MessPrb FROM TLog");
      ASSERT_EQ(rows.size(), 1u);
      EXPECT_NE(rows[0][0].find(copies[0].filename().string()), std::string::npos);
      EXPECT_EQ(rows[0][1], kJournalDbFile);
      // The work log (and standard error) hear of it too, once.
      EXPECT_EQ(reports.workLog, (std::vector<std::string>{rows[0][0]}));
      reports.workLog.clear();
      journal.Journal("дальше", "");
    }
    // The next start finds a sound database: nothing more is put aside, the rows stay.
    TDM1 next(folder.Path(), reports.Options(&clock));
    ASSERT_TRUE(next.Open());
    EXPECT_TRUE(next.DamagedCopy().empty());
    EXPECT_EQ(DamagedCopies(folder.Path()).size(), 1u);
    EXPECT_EQ(CountRows(db, "TLog"), 2u);
    EXPECT_TRUE(reports.workLog.empty());
  }
  // A second damage in the same second gets a name of its own.
  TTempFolder folder;
  for (int i = 0; i < 2; ++i) {
    WriteText(folder / kJournalDbFile, "garbage " + std::to_string(i));
    TDM1 journal(folder.Path(), reports.Options(&clock));
    ASSERT_TRUE(journal.Open());
  }
  EXPECT_EQ(DamagedCopies(folder.Path()).size(), 2u);
  EXPECT_EQ(ReadText(folder / "dbLogs.damaged-20240305-140709-2.db"), "garbage 1");
}

// Overwrites whole pages of a database file: zeros over the journal table's root page, or random bytes
// over a few pages chosen by a fixed seed. The schema on the first page stays sound in both cases.
void ZeroTLogRootPage(const fs::path& db) {
  const size_t pageSize = std::stoul(Query(db, "PRAGMA page_size")[0][0]);
  const size_t root = std::stoul(Query(db, "SELECT rootpage FROM sqlite_master WHERE name = 'TLog'")[0][0]);
  std::fstream file(db, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(static_cast<std::streamoff>((root - 1) * pageSize));
  file << std::string(pageSize, '\0');
}

void ScrambleRandomPages(const fs::path& db) {
  const size_t pageSize = std::stoul(Query(db, "PRAGMA page_size")[0][0]);
  const size_t pages = std::stoul(Query(db, "PRAGMA page_count")[0][0]);
  std::mt19937 random(20240305);
  std::fstream file(db, std::ios::binary | std::ios::in | std::ios::out);
  for (int i = 0; i < 3; ++i) {
    const size_t page = 2 + random() % (pages - 1);
    std::string bytes(pageSize, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    file.seekp(static_cast<std::streamoff>((page - 1) * pageSize));
    file << bytes;
  }
}

TEST_F(JournalTest, DamagedPagesAreFoundKeptAsideAndReplaced) {
  struct TCase {
    const char* why;
    void (*damage)(const fs::path& db);
  };
  for (const TCase& c : {TCase{"journal table's root page zeroed", ZeroTLogRootPage},
                         TCase{"random pages overwritten", ScrambleRandomPages}}) {
    SCOPED_TRACE(c.why);
    TTempFolder folder;
    const fs::path db = folder / kJournalDbFile;
    {
      TDM1 journal(folder.Path(), {});
      ASSERT_TRUE(journal.Open());
      // Enough rows for the table to span many pages.
      for (int i = 0; i < 400; ++i)
        journal.Journal(Repeat("Опрос прибора ", 10) + std::to_string(i), "12345");
      journal.DebugTrace("COM1", "12345", std::vector<uint8_t>(80, 0x11), 1, "OK", 0, 0);
    }
    ASSERT_GT(std::stoul(Query(db, "PRAGMA page_count")[0][0]), 20u);
    c.damage(db);
    const std::string damaged = test::ReadText(db);

    TReports r;
    TDM1 journal(folder.Path(), r.Options(&clock));
    ASSERT_TRUE(journal.Open());
    ASSERT_FALSE(journal.DamagedCopy().empty());
    EXPECT_EQ(test::ReadText(journal.DamagedCopy()), damaged);
    EXPECT_EQ(DamagedCopies(folder.Path()), std::vector<fs::path>{journal.DamagedCopy()});
    ASSERT_EQ(r.workLog.size(), 1u);
    EXPECT_NE(r.workLog[0].find(journal.DamagedCopy().filename().string()), std::string::npos);
    // The fresh journal takes rows again, and is sound through and through.
    journal.Journal("дальше", "");
    journal.DebugTrace("COM1", "12345", {}, 0, "", 0, 0);
    EXPECT_EQ(Query(db, "SELECT MessVal FROM TLog ORDER BY rowid"), (TRows{{r.workLog[0]}, {"дальше"}}));
    EXPECT_EQ(CountRows(db, "TDebug"), 1u);
    EXPECT_EQ(Query(db, "PRAGMA quick_check"), (TRows{{"ok"}}));
    EXPECT_EQ(r.workLog.size(), 1u);
  }
}

// Something other than a regular file where the database or SQLite's files beside it belong is not
// damaged data: it is reported ("Ошибка DM"), never opened, moved or replaced. Opening a FIFO would block
// for good, so each case runs in a child with a bound.
TEST_F(JournalTest, NonRegularFilesInTheDatabasesPlaceAreReportedAndLeftAlone) {
  struct TCase {
    const char* why;
    const char* name;
    void (*make)(const fs::path& p);
  };
  const TCase cases[] = {
      {"folder", kJournalDbFile, [](const fs::path& p) { fs::create_directories(p / "inside"); }},
      {"FIFO", kJournalDbFile, [](const fs::path& p) { ::mkfifo(p.c_str(), 0644); }},
      {"link to a device", kJournalDbFile, [](const fs::path& p) { fs::create_symlink("/dev/null", p); }},
      {"FIFO as the rollback file", "dbLogs.db-journal",
       [](const fs::path& p) { ::mkfifo(p.c_str(), 0644); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.why);
    TTempFolder folder;
    if (std::string(c.name) != kJournalDbFile) {
      TDM1 make(folder.Path(), {});
      ASSERT_TRUE(make.Open());
    }
    const fs::path node = folder / c.name;
    c.make(node);
    const auto type = fs::symlink_status(node).type();
    // Exit code: 0 when all is as it should be, otherwise which check failed.
    const int code = test_files::ExitCodeOfBounded([&] {
      TReports r;
      TDM1 journal(folder.Path(), r.Options(&clock, false));
      if (journal.Open() || !journal.IsOn()) return 1;
      for (int i = 0; i < 3; ++i) journal.Journal("строка", "");
      if (journal.ClearJournal()) return 2;
      if (r.workLog.empty() || !r.workLog[0].starts_with("Ошибка DM: ") ||
          r.workLog[0].find("not a regular file") == std::string::npos)
        return 3;
      if (r.workLog.size() != 2 || !r.workLog[1].starts_with("Ошибка записи журнала: ")) return 4;
      // The reader the window and orvelactl use refuses it as well.
      try {
        ReadJournalRows(folder / kJournalDbFile);
        return 5;
      } catch (const EJournalRead& e) {
        return std::string(e.what()).find("not a regular file") == std::string::npos ? 6 : 0;
      }
    });
    EXPECT_EQ(code, 0) << "-1: blocked or crashed";
    EXPECT_EQ(fs::symlink_status(node).type(), type);
    EXPECT_TRUE(DamagedCopies(folder.Path()).empty());
  }
  // Starting with "Очищать лог при входе" replaces nothing either.
  TTempFolder folder;
  ASSERT_EQ(::mkfifo((folder / kJournalDbFile).c_str(), 0644), 0);
  const int code = test_files::ExitCodeOfBounded([&] {
    TDM1 journal(folder.Path(), reports.Options(&clock, true));
    return journal.Open() ? 1 : 0;
  });
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(fs::is_fifo(folder / kJournalDbFile));
}

TEST_F(JournalTest, ReadOnlyFolderWithoutJournalIsReportedOnce) {
  if (!ReadOnlyFoldersWork()) GTEST_SKIP() << "folders cannot be made read-only here";
  struct TCase {
    const char* why;
    bool existingReadOnlyDb;
    bool windowShown;
  };
  const TCase cases[] = {
      {"empty folder, hidden window", false, false},
      {"empty folder, window shown", false, true},
      {"read-only database, hidden window", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    TTempFolder folder;
    if (c.existingReadOnlyDb) {
      TDM1 make(folder.Path(), {});
      ASSERT_TRUE(make.Open());
      make.Close();
      fs::permissions(folder / kJournalDbFile, fs::perms(0444));
    }
    TReports r;
    r.windowShown = c.windowShown;
    {
      TReadOnlyScope readOnly(folder.Path());
      TDM1 journal(folder.Path(), r.Options(&clock));
      EXPECT_FALSE(journal.Open());
      for (int i = 0; i < 5; ++i) journal.Journal("строка", "");
      journal.DebugTrace("c", "d", {}, 0, "", 0, 0);
    }
    // "Ошибка DM" (empty caption) in a box when a window shows it, otherwise in the work log; once.
    if (c.windowShown) {
      EXPECT_EQ(r.boxes, (std::vector<std::string>{"Ошибка DM|"}));
      EXPECT_TRUE(r.workLog.empty());
    } else {
      ASSERT_EQ(r.workLog.size(), 1u);
      EXPECT_TRUE(r.workLog[0].starts_with("Ошибка DM: ")) << r.workLog[0];
      EXPECT_TRUE(r.boxes.empty());
    }
    if (!c.existingReadOnlyDb) {
      EXPECT_FALSE(fs::exists(folder / "Data"));
    }
  }
}

TEST_F(JournalTest, WriteFailuresAreReportedOnceAndTheJournalRecovers) {
  if (!ReadOnlyFoldersWork()) GTEST_SKIP() << "folders cannot be made read-only here";
  TDM1 journal(dir.Path(), reports.Options(&clock));
  ASSERT_TRUE(journal.Open());
  journal.Journal("до", "");
  // The file stays writable, the folder not: SQLite cannot make its rollback file and every write fails.
  fs::permissions(Db(), fs::perms(0666));
  {
    TReadOnlyScope readOnly(dir.Path());
    for (int i = 0; i < 10; ++i) journal.Journal("не записано " + std::to_string(i), "");
    journal.DebugTrace("c", "d", {}, 0, "", 0, 0);
  }
  ASSERT_EQ(reports.workLog.size(), 1u);
  EXPECT_TRUE(reports.workLog[0].starts_with("Ошибка записи журнала: ")) << reports.workLog[0];
  EXPECT_TRUE(journal.IsWorking());
  journal.Journal("после", "");
  EXPECT_EQ(Query(Db(), "SELECT MessVal FROM TLog ORDER BY rowid"), (TRows{{"до"}, {"после"}}));
  EXPECT_EQ(reports.workLog.size(), 1u);
}

// Workers journal through the main thread; each row is whole and each worker's rows keep their order.
void ExpectAllRows(const fs::path& db, int threads, int perThread) {
  const auto rows = Query(db, "SELECT MessVal, MessPrb FROM TLog ORDER BY rowid");
  ASSERT_EQ(rows.size(), static_cast<size_t>(threads * perThread));
  std::vector<int> next(threads, 0);
  for (const auto& row : rows) {
    const int t = std::stoi(row[1].substr(row[1].find('-') + 1));
    ASSERT_LT(t, threads);
    EXPECT_EQ(row[0], "Поток " + std::to_string(t) + " строка " + std::to_string(next[t]++));
  }
}

void StartWorkers(std::vector<std::jthread>& workers, TDM1& journal, int threads, int perThread,
                  std::atomic<int>& finished) {
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&journal, &finished, t, perThread] {
      for (int i = 0; i < perThread; ++i)
        journal.Journal("Поток " + std::to_string(t) + " строка " + std::to_string(i),
                        "поток-" + std::to_string(t));
      ++finished;
    });
}

TEST_F(JournalTest, ThreadsJournalThroughTheMainThread) {
  constexpr int kThreads = 4, kRows = 40;
  MainThread::Attach();
  TDM1 journal(dir.Path(), reports.Options(&clock));
  ASSERT_TRUE(journal.Open());
  std::atomic<int> finished{0};
  std::vector<std::jthread> workers;
  StartWorkers(workers, journal, kThreads, kRows, finished);
  size_t served = 0;
  while (finished < kThreads) served += MainThread::PumpFor(10);
  workers.clear();
  MainThread::Detach();
  // Every row was written by the main thread on a worker's behalf.
  EXPECT_EQ(served, static_cast<size_t>(kThreads * kRows));
  ExpectAllRows(Db(), kThreads, kRows);
}

TEST_F(JournalTest, NoRowIsLostWhenTheMainThreadStopsServing) {
  constexpr int kThreads = 4, kRows = 40;
  MainThread::Attach();
  TDM1 journal(dir.Path(), reports.Options(&clock));
  ASSERT_TRUE(journal.Open());
  std::atomic<int> finished{0};
  std::vector<std::jthread> workers;
  StartWorkers(workers, journal, kThreads, kRows, finished);
  // Serve a few, then stop as the shutdown does; the waiting workers write their rows themselves.
  size_t served = 0;
  while (served < 10 && finished < kThreads) served += MainThread::PumpFor(10);
  MainThread::Stop();
  workers.clear();
  MainThread::Detach();
  ExpectAllRows(Db(), kThreads, kRows);
}

TEST_F(JournalTest, StartUpOpensInstallsAndWritesTheShellLines) {
  {
    auto journal = OpenJournalAtStart(dir.Path(), reports.Options(&clock));
    ASSERT_EQ(CurrentJournalSink(), journal.get());
    WriteShellStartLines(*journal, "1.2.3", true, clock.Now());
    JournalLine("через общий вход", "Опрос");
  }
  EXPECT_EQ(CurrentJournalSink(), nullptr);
  EXPECT_EQ(Query(Db(), "SELECT MessVal, MessPrb FROM TLog ORDER BY rowid"),
            (TRows{{"Оболочка сервера запущена. Версия 1.2.3", ""},
                   {"Переход на летнее время выключен", ""},
                   {"Режим коррекции времени включен", ""},
                   {"через общий вход", "Опрос"}}));
}

TEST(JournalStart, DaylightSavingFollowsTheZone) {
  const TDateTime now = EncodeDateTime(2024, 3, 5);
  for (auto [zone, dst] : {std::pair{"Europe/Moscow", false}, std::pair{"Europe/Berlin", true},
                           std::pair{"UTC", false}, std::pair{"America/New_York", true}}) {
    test::TZoneScope scope(zone);
    EXPECT_EQ(DaylightSavingInUse(now), dst) << zone;
  }
  // Moscow moved its clocks until 2010.
  test::TZoneScope moscow("Europe/Moscow");
  EXPECT_TRUE(DaylightSavingInUse(EncodeDateTime(2010, 5, 1)));
}

TEST(JournalTime, TextFormAndItsChecks) {
  TDateTime dt = 0;
  EXPECT_EQ(FormatJournalTime(EncodeDateTime(2024, 2, 29, 23, 59, 59, 999)), "2024-02-29 23:59:59.999");
  EXPECT_TRUE(ParseJournalTime("2024-02-29 23:59:59.999", dt));
  EXPECT_EQ(DateTimeToUnixMs(dt), DateTimeToUnixMs(EncodeDateTime(2024, 2, 29, 23, 59, 59, 999)));
  EXPECT_TRUE(ParseJournalTime("2024-02-29 23:59:59", dt));
  for (const char* bad :
       {"", "2023-02-29 00:00:00", "2024-01-01 24:00:00", "2024-01-01 00:00:00 extra", "вчера"})
    EXPECT_FALSE(ParseJournalTime(bad, dt)) << bad;
}

}  // namespace
}  // namespace orvela
