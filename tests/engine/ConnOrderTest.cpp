#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <latch>
#include <map>
#include <thread>

#include "EngineTestSupport.h"
#include "engine/ConnOrder.h"
#include "engine/EngineTables.h"

namespace orvela::test {
namespace {

TEST(ConnOrderNames, ChannelLogFileNameReplacesSeparators) {
  struct TCase {
    const char* conn;
    const char* file;
  } cases[] = {
      {"COM1", "Log_COM1.txt"},
      {"10.0.0.1:4001", "Log_10_0_0_1_4001.txt"},
      {"Котельная, ввод 1/2|a", "Log_Котельная__ввод_1_2_a.txt"},
  };
  for (const auto& c : cases) EXPECT_EQ(ChannelLogFileName(c.conn), c.file) << c.conn;
}

TEST(ConnOrderNames, SharesResourceOnlyForModemsOnOnePort) {
  struct TCase {
    TConnKey a, b;
    bool inbound, shared;
  } cases[] = {
      {MakeKey("a", TConnKind::SerialLine, "COM1"), MakeKey("b", TConnKind::SerialLine, "COM1"), false,
       false},
      {MakeKey("a", TConnKind::DialUpModem, "COM1"), MakeKey("b", TConnKind::DialUpModem, "com1"), false,
       true},
      {MakeKey("a", TConnKind::DialUpModem, "COM1"), MakeKey("b", TConnKind::DialUpModem, "COM2"), false,
       false},
      {MakeKey("a", TConnKind::SerialLine, "COM1"), MakeKey("b", TConnKind::DialUpModem, "COM1"), false,
       true},
      {MakeKey("a", TConnKind::DialUpModem, "COM1"), MakeKey("b", TConnKind::InboundGprs, "COM9"), true,
       true},
      {MakeKey("a", TConnKind::DialUpModem, "COM1"), MakeKey("b", TConnKind::InboundGprs, "COM1"), false,
       false},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(SharesResource(cases[i].a, cases[i].b, cases[i].inbound), cases[i].shared) << "case " << i;
}

TEST(ConnOrderNames, NamesMatchIgnoringCaseInCyrillicToo) {
  EXPECT_TRUE(SameConnName("Котельная COM1", "КОТЕЛЬНАЯ com1"));
  EXPECT_TRUE(SameConnName("Ёлка", "ёлка"));
  EXPECT_FALSE(SameConnName("Котельная 1", "Котельная 2"));
}

// One order on a manual clock, and tasks made by hand so each rule can be set up exactly.
struct TOrderRig {
  explicit TOrderRig(TConnKind kind, TDateTime now) : clock(now) {
    ctx.clock = &clock;
    ctx.logs = &logs;
    ctx.host = &host;
    ctx.settings = TSettings::Defaults();
    key = MakeKey("conn", kind);
    node = t.Add("Узел", key, "00000001").params[0];
  }
  std::unique_ptr<TConnOrder> MakeOrder() { return std::make_unique<TConnOrder>(key, ctx, false, nullptr); }
  std::unique_ptr<TStructRead> Task(int32_t kind) {
    auto task = std::make_unique<TStructRead>();
    task->Kind = kind;
    task->Node = node;
    task->ItemHandle = node->Handle;
    return task;
  }
  ManualClock clock;
  TRecordingLogs logs;
  IEngineHost host;
  TEngineContext ctx;
  TConnKey key;
  TTestTree t;
  TNTreeData* node = nullptr;
};

TDateTime At(int day, int hour, int minute = 0) {
  return EncodeDateTime(2026, 3, day, hour, minute, 0);
}

TEST(ConnOrderDispatch, SubscriptionRules) {
  struct TCase {
    const char* name;
    TConnKind kind;
    TDateTime now;
    int64_t sinceServedMs;  // since created and since last served
    bool schedule;
    double from, to;  // schedule window, hours
    bool dayRule;
    bool due;
  } cases[] = {
      {"interval not passed", TConnKind::TcpClient, At(10, 12), 59'000, false, 0, 0, false, false},
      {"interval passed", TConnKind::TcpClient, At(10, 12), 61'000, false, 0, 0, false, true},
      {"schedule ignored off modem", TConnKind::TcpClient, At(10, 12), 61'000, true, 1, 5, false, true},
      {"modem outside window", TConnKind::DialUpModem, At(10, 12), 61'000, true, 1, 5, false, false},
      {"modem inside window", TConnKind::DialUpModem, At(10, 3), 61'000, true, 1, 5, false, true},
      {"modem on window edge", TConnKind::DialUpModem, At(10, 5), 61'000, true, 1, 5, false, false},
      {"modem in night window", TConnKind::DialUpModem, At(10, 23), 61'000, true, 22, 6, false, true},
      {"modem outside night window", TConnKind::DialUpModem, At(10, 12), 61'000, true, 22, 6, false, false},
      {"day rule beats window and interval", TConnKind::DialUpModem, At(10, 12), 1'000, true, 1, 5, true,
       true},
      {"day rule off modem does nothing", TConnKind::TcpClient, At(10, 12), 1'000, false, 0, 0, true, false},
  };
  for (const auto& c : cases) {
    TOrderRig rig(c.kind, c.now);
    rig.ctx.settings.SubscriptionSchedule = c.schedule;
    rig.ctx.settings.ScheduleStart = c.from / 24;
    rig.ctx.settings.ScheduleEnd = c.to / 24;
    rig.ctx.settings.RequestDayOn = c.dayRule;
    rig.ctx.settings.RequestDay = 10;
    auto order = rig.MakeOrder();
    auto task = rig.Task(tkHdaAdvise);
    task->UpdateIntervalMs = 60'000;
    // Task times are UTC.
    task->Created = task->LastServed = LocalToUtc(c.now) - c.sinceServedMs / kMsPerDay;
    task->WindowStart.Time = LocalDateTimeToFileTime(c.now - 2);  // last record two days old
    TStructRead* raw = task.get();
    order->AddTask(std::move(task));
    order->Dispatch();
    EXPECT_EQ(raw->State == tsHandedOut, c.due) << c.name;
    EXPECT_EQ(order->HasWork.load(), c.due) << c.name;
  }
}

TEST(ConnOrderDispatch, SubscriptionWithinArchiveStepIsHandedOutWithoutReading) {
  TOrderRig rig(TConnKind::TcpClient, At(10, 12));
  auto order = rig.MakeOrder();
  auto task = rig.Task(tkHdaAdvise);
  task->UpdateIntervalMs = 1000;
  task->ArchiveStep = 3'600'000;
  task->Created = task->LastServed = LocalToUtc(At(10, 11, 30));
  TStructRead* raw = task.get();
  order->AddTask(std::move(task));
  order->Dispatch();
  ASSERT_EQ(raw->State, tsHandedOut);
  EXPECT_EQ(raw->ReadNeeded, 0);
  EXPECT_EQ(raw->Served, 0);
  std::lock_guard lock(order->WorkMutex());
  ASSERT_EQ(order->Work().size(), 1u);
  EXPECT_EQ(order->Work().front()->ReadNeeded, 0);
}

TEST(ConnOrderDispatch, RefreshRules) {
  struct TCase {
    const char* name;
    TConnKind kind;
    TDateTime now;
    int64_t sinceCreatedMs;
    bool schedule;
    bool due;
  } cases[] = {
      {"rate not passed", TConnKind::TcpClient, At(10, 12), 1000, false, false},
      {"rate passed", TConnKind::TcpClient, At(10, 12), 1001, true, true},
      {"modem outside window", TConnKind::DialUpModem, At(10, 12), 5000, true, false},
      {"modem inside window", TConnKind::DialUpModem, At(10, 3), 5000, true, true},
  };
  for (const auto& c : cases) {
    TOrderRig rig(c.kind, c.now);
    rig.ctx.settings.SubscriptionSchedule = c.schedule;
    rig.ctx.settings.ScheduleStart = 1.0 / 24;
    rig.ctx.settings.ScheduleEnd = 5.0 / 24;
    auto order = rig.MakeOrder();
    auto task = rig.Task(tkDaRefresh);
    task->UpdateRate = 1000;
    task->Created = LocalToUtc(c.now) - c.sinceCreatedMs / kMsPerDay;
    TStructRead* raw = task.get();
    order->AddTask(std::move(task));
    order->Dispatch();
    EXPECT_EQ(raw->State == tsHandedOut, c.due) << c.name;
    if (c.due) {
      EXPECT_EQ(raw->Created, LocalToUtc(c.now)) << c.name;
    }
  }
}

TEST(ConnOrderRun, DelayOnlyAfterAFailedConnectionAttempt) {
  struct TCase {
    TRunOutcome outcome;
    bool delayed;
  } cases[] = {
      {TRunOutcome::NotTried, false}, {TRunOutcome::Connected, false}, {TRunOutcome::ConnectFailed, true}};
  for (const auto& c : cases) {
    TOrderRig rig(TConnKind::TcpClient, At(10, 12));
    auto order = rig.MakeOrder();
    order->Busy = true;
    rig.ctx.activeReaders = 1;
    order->EndRun(c.outcome);
    EXPECT_EQ(order->Delayed.load(), c.delayed);
    EXPECT_FALSE(order->Busy);
    EXPECT_EQ(rig.ctx.activeReaders, 0);
    if (c.delayed) {
      EXPECT_DOUBLE_EQ(order->DelayEnd, LocalToUtc(At(10, 12, 1)));
    }
  }
}

TEST(ConnOrderRun, DelayGrowsWithFailuresInARowUpToTwoHoursAndAConnectionResetsIt) {
  TOrderRig rig(TConnKind::TcpClient, At(10, 12));
  auto order = rig.MakeOrder();
  struct TStep {
    TRunOutcome outcome;
    int64_t delayMinutes;  // 0: not delayed
  } steps[] = {{TRunOutcome::ConnectFailed, 1},   {TRunOutcome::ConnectFailed, 2},
               {TRunOutcome::NotTried, 2},        {TRunOutcome::ConnectFailed, 4},
               {TRunOutcome::ConnectFailed, 8},   {TRunOutcome::ConnectFailed, 16},
               {TRunOutcome::ConnectFailed, 32},  {TRunOutcome::ConnectFailed, 64},
               {TRunOutcome::ConnectFailed, 120}, {TRunOutcome::ConnectFailed, 120},
               {TRunOutcome::Connected, 0},       {TRunOutcome::ConnectFailed, 1}};
  TDateTime lastEnd = 0;
  for (size_t i = 0; i < std::size(steps); ++i) {
    const TStep& step = steps[i];
    rig.clock.Advance(1000);
    order->Busy = true;
    rig.ctx.activeReaders = 1;
    order->EndRun(step.outcome);
    const TDateTime now = rig.clock.NowUtc();
    EXPECT_EQ(order->DelayedAt(now), step.delayMinutes != 0) << "step " << i;
    if (step.outcome == TRunOutcome::ConnectFailed) {
      lastEnd = now + step.delayMinutes / 1440.0;
      EXPECT_NEAR(order->DelayEnd, lastEnd, 1e-9) << "step " << i;
    } else if (step.delayMinutes != 0) {
      EXPECT_DOUBLE_EQ(order->DelayEnd, lastEnd) << "a run without an attempt keeps the delay, step " << i;
    }
  }
}

TEST(ConnOrderRun, DelayedOrderHandsOutOnlyClientRequestsUntilTheDelayEnds) {
  TOrderRig rig(TConnKind::TcpClient, At(10, 12));
  auto order = rig.MakeOrder();
  order->Busy = true;
  rig.ctx.activeReaders = 1;
  order->EndRun(TRunOutcome::ConnectFailed);
  std::map<int32_t, TStructRead*> tasks;
  for (int32_t kind : {tkHdaRead, tkHdaAdvise, tkDaRead, tkDaRefresh, tkDaWrite}) {
    auto task = rig.Task(kind);
    task->Created = 0;
    tasks[kind] = task.get();
    order->AddTask(std::move(task));
  }
  order->Dispatch();
  for (auto [kind, task] : tasks)
    EXPECT_EQ(task->State == tsHandedOut, IsClientRequestKind(kind)) << "kind " << kind;
  rig.clock.Advance(kFirstConnectDelayMs + 1);
  order->Dispatch();
  for (auto [kind, task] : tasks) EXPECT_EQ(task->State, tsHandedOut) << "kind " << kind;
}

// A cancel and a reader returning the same periodic task, on two threads: the cancel is never lost.
TEST(ConnOrderRun, CancelRacingAReturningReaderAlwaysWins) {
  TOrderRig rig(TConnKind::TcpClient, At(10, 12));
  auto order = rig.MakeOrder();
  for (int round = 0; round < 300; ++round) {
    auto task = rig.Task(round % 2 ? tkDaRefresh : tkHdaAdvise);
    task->State = tsHandedOut;
    TDescThread item;
    item.Kind = task->Kind;
    item.Task = task.get();
    std::latch go(2);
    std::thread reader([&] {
      go.arrive_and_wait();
      order->FinishItem(item, S_OK);
    });
    go.arrive_and_wait();
    TTaskTable::Cancel(*task);
    reader.join();
    ASSERT_EQ(task->State, tsDelete) << "round " << round;
  }
}

TEST(ConnOrderDispatch, ACancelledTaskBackInLineIsFinishedNotHandedOut) {
  TOrderRig rig(TConnKind::TcpClient, At(10, 12));
  auto order = rig.MakeOrder();
  auto task = rig.Task(tkDaRefresh);
  task->Created = 0;
  task->Cancelled = true;  // the cancel came while the task was out; the reader already put it back
  TStructRead* raw = task.get();
  order->AddTask(std::move(task));
  order->Dispatch();
  EXPECT_EQ(raw->State, tsDelete);
  EXPECT_FALSE(order->HasWork);
}

TEST(ConnOrderRun, FinishedTasksLeaveAndPeriodicOnesReturnToTheEnd) {
  TOrderRig rig(TConnKind::TcpClient, At(10, 12));
  auto order = rig.MakeOrder();
  for (int32_t kind : {tkHdaAdvise, tkDaWrite, tkDaRefresh, tkHdaRead}) {
    auto task = rig.Task(kind);
    task->Created = 0;
    order->AddTask(std::move(task));
  }
  // DA kinds went to the front: refresh, write, then the HDA subscription and read.
  ASSERT_EQ(order->Pending().front()->Kind, tkDaRefresh);
  order->Dispatch();
  {
    std::lock_guard lock(order->WorkMutex());
    for (auto& item : order->Work()) order->FinishItem(*item, S_OK);
    order->Work().clear();
  }
  std::vector<TStructRead*> destroyed;
  order->CleanUp([&](TStructRead* t) { destroyed.push_back(t); });
  // The write and the read are gone; the two periodic tasks wait again.
  EXPECT_EQ(destroyed.size(), 2u);
  std::vector<int32_t> kinds;
  for (auto& t : order->Pending()) {
    kinds.push_back(t->Kind);
    EXPECT_EQ(t->State, tsWaiting);
  }
  EXPECT_EQ(kinds, (std::vector<int32_t>{tkDaRefresh, tkHdaAdvise}));
  EXPECT_EQ(order->DaRefreshCount + order->HdaAdviseCount + order->HdaReadCount + order->DaReadCount, 0);
}

TEST(ConnOrderLog, ChannelLogFileIsNamedAfterTheConnectionAndStartsWithItsHeader) {
  TOrderRig rig(TConnKind::TcpClient, At(10, 12));
  const auto folder = std::filesystem::path(testing::TempDir()) / "engine_chanlog";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  rig.ctx.programFolder = folder;
  rig.ctx.settings.ChannelLog = true;
  rig.key.ConnName = "10.0.0.1:4001";
  {
    auto order = rig.MakeOrder();
    EXPECT_TRUE(order->LogOpen());
    order->LogLine("строка");
  }
  std::ifstream in(folder / "Log_10_0_0_1_4001.txt");
  std::string all((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(all.find("| Версия лога - 2.0\n"), std::string::npos) << all;
  EXPECT_NE(all.find("10.03.2026 12:00:00.000 | строка\n"), std::string::npos) << all;

  // A folder that cannot hold the file: journalled once per engine start, logging off.
  rig.ctx.programFolder = folder / "missing";
  std::atomic<bool> failed{false};
  TConnOrder a(rig.key, rig.ctx, false, &failed), b(rig.key, rig.ctx, false, &failed);
  EXPECT_FALSE(a.LogOpen());
  EXPECT_EQ(rig.logs.JournalCount("Ошибка при создании лога (10.0.0.1:4001)"), 1);
}

}  // namespace
}  // namespace orvela::test
