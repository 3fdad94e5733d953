#include <gtest/gtest.h>

#include <thread>

#include "EngineTestSupport.h"

namespace orvela::test {
namespace {

const int kOwner = 0;
const TTaskOwner owner = &kOwner;

TTaskTime Time(TDateTime local) {
  TTaskTime t;
  t.Time = LocalDateTimeToFileTime(local);
  return t;
}

// An engine whose monitor passes are driven by the test, as its thread would run them.
struct TMonitorRig : TEngineRig {
  // No readers by default: tasks stay pending and no order is busy.
  explicit TMonitorRig(int readerThreads = 0) {
    settings.ReaderThreads = readerThreads;
    a = &t.Add("A", MakeKey("Котельная", TConnKind::TcpClient), "00000001");
    b = &t.Add("B", MakeKey("Насосная", TConnKind::TcpClient, "COM2"), "00000002");
    Start();
    engine.MonitorRows().SetMonitorRunning(true);
  }
  ~TMonitorRig() { engine.MonitorRows().SetMonitorRunning(false); }
  // Monitor pass, then the queue cycle that answers its refresh request, then the pass that shows it.
  TMonitorView Round() {
    engine.QueueCycle();
    engine.Monitor().Pass();
    return engine.Monitor().Snapshot();
  }
  void DARead(TTestTree::TDevice& d, int param, int32_t transaction) {
    const int32_t handles[] = {d.params[param]->Handle};
    engine.DARead(owner, 1, false, nullptr, handles, transaction, transaction * 10);
  }
  TTestTree::TDevice* a;
  TTestTree::TDevice* b;
};

std::vector<std::string> KindTexts(const TMonitorView& view) {
  std::vector<std::string> texts;
  for (const auto& line : view.Lines) texts.push_back(line.KindText);
  return texts;
}

TEST(TaskMonitor, PendingTasksGetWaitingLinesWithTheirKindAndElapsedTimeAdvances) {
  TMonitorRig rig;
  const TDateTime now = rig.clock.Now();
  const int32_t hda[] = {rig.a->params[0]->Handle};
  rig.engine.HDARead(owner, 7, Time(now - 1), Time(now), false, nullptr, 1, hda, 0);
  FILETIME hour = Int64ToFileTime(36'000'000'000LL);
  rig.engine.HDAAdvise(owner, 8, Time(now), hour, nullptr, 2, hda);
  rig.DARead(*rig.a, 1, 3);
  rig.engine.Monitor().Pass();
  EXPECT_TRUE(rig.engine.MonitorRows().RefreshRequested());
  // The first cycle takes the tasks and makes their rows; no line before the monitor's next pass.
  rig.engine.QueueCycle();
  EXPECT_FALSE(rig.engine.MonitorRows().RefreshRequested());
  EXPECT_EQ(rig.engine.MonitorRows().Count(), 3u);
  EXPECT_TRUE(rig.engine.Monitor().Snapshot().Lines.empty());

  rig.engine.Monitor().Pass();
  TMonitorView view = rig.engine.Monitor().Snapshot();
  // Current data goes to the front of the pending list.
  EXPECT_EQ(KindTexts(view),
            (std::vector<std::string>{"асинхр. чтение текущих данных", "асинхр. чтение", "подписка данных"}));
  EXPECT_EQ(view.Total, "Всего 3 задачи");
  for (const auto& line : view.Lines) {
    EXPECT_EQ(line.Status, "ожидание");
    EXPECT_EQ(line.Served, "0,00");
  }
  EXPECT_EQ(view.Lines[1].ClientTransaction, 7);
  EXPECT_EQ(view.Lines[1].ItemHandle, hda[0]);

  rig.clock.Advance(3'723'000);
  view = rig.Round();
  ASSERT_EQ(view.Lines.size(), 3u);
  EXPECT_EQ(view.Lines[0].Elapsed, "01:02:03");  // DA read: since it was made
  EXPECT_EQ(view.Lines[1].Elapsed, "01:02:03");  // HDA read: since it was last served
}

TEST(TaskMonitor, StatusBarAlternatesItsSecondPanel) {
  TMonitorRig rig;
  std::vector<std::string> panels;
  for (int i = 0; i < 3; ++i) panels.push_back(rig.Round().Activity);
  EXPECT_EQ(panels, (std::vector<std::string>{"    Работа    ", "-!- Работа -!-", "    Работа    "}));
  EXPECT_EQ(rig.engine.Monitor().Snapshot().Total, "Всего 0 задач");
}

TEST(TaskMonitor, FinishedTasksLoseTheirLinesAfterAPass) {
  TMonitorRig rig(1);
  rig.DARead(*rig.a, 0, 1);
  rig.engine.HDACancel(owner, 99, nullptr);  // a cancel never reaches a pending list
  rig.engine.Monitor().Pass();
  EXPECT_EQ(rig.Round().Lines.size(), 1u);
  ASSERT_EQ(rig.readers.started.size(), 1u);
  rig.readers.Complete(rig.engine.Order(0), TRunOutcome::Connected);
  // The cycle that destroys the finished task still sees it; the next one does not mark it any more.
  rig.Round();
  const TMonitorView view = rig.Round();
  EXPECT_TRUE(view.Lines.empty());
  EXPECT_EQ(view.Total, "Всего 0 задач");
  EXPECT_EQ(rig.engine.MonitorRows().Count(), 0u);
}

TEST(TaskMonitor, AQueueSlowerThanTheMonitorKeepsLinesOfLiveTasks) {
  TMonitorRig rig;
  rig.DARead(*rig.a, 0, 1);
  rig.engine.Monitor().Pass();
  rig.Round();
  // Passes with no queue cycle between them: the rows were not refreshed, not finished.
  rig.engine.Monitor().Pass();
  rig.engine.Monitor().Pass();
  EXPECT_EQ(rig.engine.Monitor().Snapshot().Lines.size(), 1u);
  EXPECT_EQ(rig.engine.MonitorRows().Count(), 1u);
}

TEST(TaskMonitor, ConnectionFilterShowsOneConnectionsTasks) {
  TMonitorRig rig;
  rig.DARead(*rig.a, 0, 1);
  rig.DARead(*rig.b, 0, 2);
  rig.DARead(*rig.b, 1, 3);
  rig.engine.MonitorRows().SetFilter(MakeKey("насосная", TConnKind::TcpClient, "COM2"));
  rig.engine.Monitor().Pass();
  TMonitorView view = rig.Round();
  ASSERT_EQ(view.Lines.size(), 2u);
  for (const auto& line : view.Lines) EXPECT_NE(line.ClientTransaction, 10);
  // Lifting the filter shows every connection again.
  rig.engine.MonitorRows().SetFilter(std::nullopt);
  EXPECT_EQ(rig.Round().Lines.size(), 3u);
}

TEST(TaskMonitor, TotalFollowsTheRussianPluralRule) {
  const std::pair<size_t, const char*> cases[] = {
      {1, "Всего 1 задача"},  {2, "Всего 2 задачи"},    {4, "Всего 4 задачи"},   {5, "Всего 5 задач"},
      {11, "Всего 11 задач"}, {12, "Всего 12 задач"},   {21, "Всего 21 задача"}, {22, "Всего 22 задачи"},
      {25, "Всего 25 задач"}, {111, "Всего 111 задач"}, {0, "Всего 0 задач"},    {104, "Всего 104 задачи"},
  };
  for (const auto& [count, text] : cases) EXPECT_EQ(MonitorTotalText(count), text) << count;
}

TEST(TaskMonitor, KindTextsAndElapsedFormat) {
  const std::pair<int32_t, const char*> kinds[] = {{1, "асинхр. чтение"},
                                                   {2, "асинхр. чтение"},
                                                   {3, "подписка данных"},
                                                   {4, "асинхр. чтение данных"},
                                                   {10, "отмена задачи"},
                                                   {11, "асинхр. чтение текущих данных"},
                                                   {20, ""}};
  for (const auto& [kind, text] : kinds) EXPECT_EQ(MonitorKindText(kind), text) << kind;
  EXPECT_EQ(FormatElapsed(0), "00:00:00");
  EXPECT_EQ(FormatElapsed(59'999), "00:00:59");
  EXPECT_EQ(FormatElapsed(90'061'000), "25:01:01");  // not wrapped at a day
  EXPECT_EQ(FormatElapsed(-5'000), "00:00:00");      // a subscription starting later
}

TEST(TaskMonitor, ItsThreadRunsAlongTheQueueAndTheEngineStopDestroysEveryRow) {
  TEngineRig rig;
  auto& dev = rig.t.Add("A", MakeKey("conn", TConnKind::TcpClient), "00000001");
  rig.settings.ReaderThreads = 0;
  rig.Start();
  EXPECT_TRUE(rig.engine.Monitor().Start());
  EXPECT_FALSE(rig.engine.Monitor().Start());
  const int32_t handles[] = {dev.params[0]->Handle, dev.params[1]->Handle};
  rig.engine.DARead(owner, 1, false, nullptr, handles, 1, 1);
  // The manual clock lets the monitor's thread pass at once; cycle until its lines show.
  for (int i = 0; i < 100'000 && rig.engine.Monitor().Snapshot().Lines.size() < 2; ++i) {
    rig.engine.QueueCycle();
    std::this_thread::yield();
  }
  ASSERT_EQ(rig.engine.Monitor().Snapshot().Lines.size(), 2u);
  EXPECT_EQ(rig.logs.JournalCount("Монитор открыт"), 1);

  rig.engine.FinalAsync();
  EXPECT_FALSE(rig.engine.Monitor().Running());
  EXPECT_EQ(rig.engine.MonitorRows().Count(), 0u);
  EXPECT_TRUE(rig.engine.Monitor().Snapshot().Lines.empty());
  const auto work = rig.logs.Work();
  const auto stopped = std::find(work.begin(), work.end(), "Монитор остановлен");
  ASSERT_NE(stopped, work.end());
  EXPECT_EQ(std::next(stopped) != work.end() ? *std::next(stopped) : "", "FinalAsync Закончен");
}

TEST(TaskMonitor, AStoppedMonitorGetsNoRowsAndTasksDropTheirLinks) {
  TMonitorRig rig;
  rig.DARead(*rig.a, 0, 1);
  rig.engine.Monitor().Pass();
  rig.Round();
  ASSERT_EQ(rig.engine.MonitorRows().Count(), 1u);
  // The monitor stops after it asked for a refresh.
  rig.engine.MonitorRows().SetMonitorRunning(false);
  rig.engine.MonitorRows().Clear();
  rig.engine.QueueCycle();
  EXPECT_EQ(rig.engine.MonitorRows().Count(), 0u);
  EXPECT_TRUE(rig.engine.Order(0).Pending().front()->MonitorRow.expired());
  EXPECT_FALSE(rig.engine.MonitorRows().RefreshRequested());
  // Opened again, the monitor gets fresh rows for the same tasks.
  rig.engine.MonitorRows().SetMonitorRunning(true);
  rig.engine.Monitor().Pass();
  const TMonitorView view = rig.Round();
  ASSERT_EQ(view.Lines.size(), 1u);
  EXPECT_EQ(view.Lines[0].Status, "ожидание");
}

}  // namespace
}  // namespace orvela::test
