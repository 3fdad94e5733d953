#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/FileTestSupport.h"
#include "support/TempDir.h"
#include "tree/WorkLog.h"

namespace orvela {
namespace {

namespace fs = std::filesystem;

class WorkLogTest : public ::testing::Test {
 protected:
  std::string Read(const char* name) const { return test::ReadText(dir / name); }

  test::TTempDir temp{"orvela-worklog"};
  const fs::path dir = temp.Path();
  ManualClock clock{EncodeDateTime(2024, 3, 5, 14, 7, 9, 250)};
  const std::string header = "05.03.2024 14:07:09 | -------------------- Лог работы --------------------\n";
};

// A FIFO under the work log's name must not block the start (opening it for writing would wait for a
// reader) and is reported; the order log still opens.
TEST_F(WorkLogTest, AFifoInPlaceOfTheWorkLogIsRefusedWithoutBlocking) {
  ASSERT_EQ(::mkfifo((dir / kWorkLogFile).c_str(), 0600), 0);
  const int code = test_files::ExitCodeOfBounded([&] {
    TWorkLogs logs(&clock);
    logs.SetEnabled(true);
    const std::string reason = logs.OpenWorkLogs(dir);
    logs.OrderLog("Цикл очереди");
    return reason.find("not a regular file") != std::string::npos ? 0 : 1;
  });
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(fs::is_fifo(dir / kWorkLogFile));
  EXPECT_NE(Read(kOrderLogFile).find("Цикл очереди"), std::string::npos);
}

TEST_F(WorkLogTest, LinesCarryTheTimeAndGoToTheirOwnFile) {
  TWorkLogs logs(&clock);
  logs.SetEnabled(true);
  ASSERT_EQ(logs.OpenWorkLogs(dir), "");
  logs.WorkLog("Поиск соединения COM1");
  clock.Advance(61'000);
  logs.OrderLog("Цикл очереди: задач 3");
  logs.WorkLog("");
  // Every line is flushed as written: another reader sees it at once.
  EXPECT_EQ(Read(kWorkLogFile), header +
                                    "05.03.2024 14:07:09 | Поиск соединения COM1\n"
                                    "05.03.2024 14:08:10 | \n");
  EXPECT_EQ(Read(kOrderLogFile), "05.03.2024 14:08:10 | Цикл очереди: задач 3\n");
  // A second start appends below what is there.
  logs.Close();
  ASSERT_EQ(logs.OpenWorkLogs(dir), "");
  EXPECT_TRUE(
      Read(kWorkLogFile)
          .ends_with("05.03.2024 14:08:10 | \n05.03.2024 14:08:10 | " + std::string(kWorkLogHeader) + "\n"));
}

TEST_F(WorkLogTest, TheChannelLogSettingSwitchesBothLogs) {
  TWorkLogs logs(&clock);
  ASSERT_EQ(logs.OpenWorkLogs(dir), "");
  logs.WorkLog("не пишется");
  logs.OrderLog("не пишется");
  // Off: both files are there, and empty, header included.
  ASSERT_TRUE(fs::exists(dir / kWorkLogFile));
  ASSERT_TRUE(fs::exists(dir / kOrderLogFile));
  EXPECT_EQ(Read(kWorkLogFile), "");
  EXPECT_EQ(Read(kOrderLogFile), "");
  // Turned on in the settings window while running.
  logs.SetEnabled(true);
  logs.OrderLog("пишется");
  EXPECT_EQ(Read(kOrderLogFile), "05.03.2024 14:07:09 | пишется\n");
  logs.SetEnabled(false);
  logs.OrderLog("снова нет");
  EXPECT_EQ(Read(kOrderLogFile), "05.03.2024 14:07:09 | пишется\n");
}

TEST_F(WorkLogTest, ClearingLeavesOnlyWhatCameAfter) {
  TWorkLogs logs(&clock);
  logs.SetEnabled(true);
  ASSERT_EQ(logs.OpenWorkLogs(dir), "");
  logs.WorkLog("старое");
  logs.OrderLog("старое");
  ASSERT_EQ(logs.ClearWorkLogs(), "");
  logs.WorkLog("новое");
  logs.OrderLog("новое");
  EXPECT_EQ(Read(kWorkLogFile), header + "05.03.2024 14:07:09 | новое\n");
  EXPECT_EQ(Read(kOrderLogFile), "05.03.2024 14:07:09 | новое\n");
}

TEST_F(WorkLogTest, LinesFromManyThreadsStayWhole) {
  TWorkLogs logs(&clock);
  logs.SetEnabled(true);
  ASSERT_EQ(logs.OpenWorkLogs(dir), "");
  constexpr int kThreads = 4, kLines = 200;
  const std::string filler(300, 'x');  // long lines: a torn write would show
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        for (int i = 0; i < kLines; ++i) {
          const std::string text =
              "поток " + std::to_string(t) + " строка " + std::to_string(i) + " " + filler;
          (i % 2 ? logs.OrderLog(text) : logs.WorkLog(text));
        }
      });
  }
  const std::regex line("05\\.03\\.2024 14:07:09 \\| поток ([0-9]) строка ([0-9]+) x{300}");
  size_t count = 0;
  for (const char* name : {kWorkLogFile, kOrderLogFile}) {
    std::istringstream in(Read(name));
    std::string s;
    std::vector<int> next(kThreads, std::string(name) == kWorkLogFile ? 0 : 1);
    while (std::getline(in, s)) {
      if (s.find(kWorkLogHeader) != std::string::npos) continue;
      std::smatch m;
      ASSERT_TRUE(std::regex_match(s, m, line)) << s.substr(0, 80);
      const int t = std::stoi(m[1]);
      EXPECT_EQ(std::stoi(m[2]), next[t]);
      next[t] += 2;
      ++count;
    }
  }
  EXPECT_EQ(count, static_cast<size_t>(kThreads * kLines));
}

TEST_F(WorkLogTest, ProcessLogsServeTheFreeFunctions) {
  TWorkLogs& logs = ProcessWorkLogs();
  logs.SetEnabled(true);
  ASSERT_EQ(logs.OpenWorkLogs(dir), "");
  WorkLog("через общий вход");
  OrderLog("и очередь");
  logs.Close();
  logs.SetEnabled(false);
  EXPECT_NE(Read(kWorkLogFile).find(" | через общий вход\n"), std::string::npos);
  EXPECT_NE(Read(kOrderLogFile).find(" | и очередь\n"), std::string::npos);
}

}  // namespace
}  // namespace orvela
