#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "EngineTestSupport.h"
#include "support/TimeZone.h"
#include "platform/com/ComObject.h"
#include "platform/com/ComRuntime.h"
#include "platform/com/opc/OpcHda.h"
#include "platform/com/opc/OpcSinks.h"

namespace orvela::test {
namespace {

const int kOwnerA = 0, kOwnerB = 0;
const TTaskOwner ownerA = &kOwnerA, ownerB = &kOwnerB;

TTaskTime Time(TDateTime local) {
  TTaskTime t;
  t.Time = LocalDateTimeToFileTime(local);
  return t;
}

int32_t H(const TNTreeData* n) {
  return n->Handle;
}

TEST(ReqOrderStart, DevicesShareOrdersByNameIgnoringCaseAndRecordsByModelAndSerial) {
  TEngineRig rig;
  rig.t.Add("A", MakeKey("Котельная", TConnKind::TcpClient), "00000001");
  rig.t.Add("B", MakeKey("КОТЕЛЬНАЯ", TConnKind::TcpClient), "00000002");
  rig.t.Add("C", MakeKey("Насосная", TConnKind::TcpClient), "00000001");             // same model+serial as A
  rig.t.Add("D", MakeKey("Насосная", TConnKind::TcpClient), "00000001", mcTarvelM);  // other model
  rig.Start();
  ASSERT_EQ(rig.engine.ConnectionCount(), 2u);
  EXPECT_EQ(rig.engine.Devices().Count(), 3u);
  EXPECT_EQ(rig.engine.FindConnection(MakeKey("котельная", TConnKind::TcpClient)), 0);
  EXPECT_EQ(rig.engine.FindConnection(MakeKey("насосная", TConnKind::TcpClient)), 1);
  EXPECT_EQ(rig.engine.FindConnection(MakeKey("Склад", TConnKind::TcpClient)), -1);
  // A second user shares the running engine instead of building it again.
  rig.engine.InitAsync();
  EXPECT_EQ(rig.engine.ConnectionCount(), 2u);
  rig.engine.FinalAsync();
  EXPECT_TRUE(rig.engine.Running());
  rig.engine.FinalAsync();
  EXPECT_FALSE(rig.engine.Running());
  EXPECT_EQ(rig.engine.ConnectionCount(), 0u);
}

TEST(ReqOrderEntry, RefusedItemsAreJournalledAndTheOthersQueued) {
  TEngineRig rig;
  auto& dev = rig.t.Add("A", MakeKey("conn", TConnKind::TcpClient), "00000001");
  TNTreeData* orphan = rig.t.Add("B", MakeKey("conn2", TConnKind::TcpClient), "00000002").params[0];
  rig.Start();
  orphan->ConnKey.ConnName = "нет такого";  // its connection is gone
  const int32_t handles[] = {H(dev.params[0]), 0x7FFFFF, H(orphan)};
  EXPECT_EQ(rig.engine.HDARead(ownerA, 1, Time(0), Time(1), true, nullptr, 1, handles, 0), -1);
  EXPECT_FALSE(rig.engine.DARead(ownerA, 1, true, nullptr, handles, 2, 2));
  EXPECT_EQ(rig.engine.IncomingCount(), 2u);
  EXPECT_EQ(rig.logs.JournalCount("HDARead: Параметр не Найден - 8388607"), 1);
  EXPECT_EQ(rig.logs.JournalCount("HDARead: Ресурс не Найден - 10.0.0.1:4001 -00000002 " +
                                  std::to_string(H(orphan))),
            1);
  EXPECT_EQ(rig.logs.JournalCount("DARead: Ресурс не Найден - " + orphan->Path + " - "), 1);
}

TEST(ReqOrderQueue, CurrentDataGoesBeforeArchivesAndReadersStartUpToTheLimit) {
  struct TCase {
    int readerThreads;
    size_t started;
  } cases[] = {{0, 0}, {1, 1}, {5, 2}};
  for (const auto& c : cases) {
    TEngineRig rig;
    rig.settings.ReaderThreads = c.readerThreads;
    auto& a = rig.t.Add("A", MakeKey("a", TConnKind::TcpClient), "00000001");
    auto& b = rig.t.Add("B", MakeKey("b", TConnKind::TcpClient), "00000002");
    rig.Start();
    const int32_t ha[] = {H(a.params[0])}, hb[] = {H(b.params[0])};
    rig.engine.HDARead(ownerA, 1, Time(0), Time(1), true, nullptr, 1, ha, 0);
    rig.engine.DARead(ownerA, 1, true, nullptr, ha, 2, 2);
    rig.engine.DARead(ownerA, 1, true, nullptr, hb, 3, 3);
    rig.engine.QueueCycle();
    EXPECT_EQ(rig.readers.started.size(), c.started) << c.readerThreads;
    EXPECT_EQ(rig.engine.ActiveReaders(), static_cast<int32_t>(c.started));
    // Tasks are queued and handed out whether or not a reader may start.
    ASSERT_EQ(rig.WorkCount(0), 2u);
    std::lock_guard lock(rig.engine.Order(0).WorkMutex());
    EXPECT_EQ(rig.engine.Order(0).Work().front()->Kind, tkDaRead);
    EXPECT_EQ(rig.engine.Order(0).Pending().front()->Kind, tkDaRead);
  }
}

TEST(ReqOrderQueue, StartRotationServesTheOtherConnectionNext) {
  TEngineRig rig;
  rig.settings.ReaderThreads = 1;
  auto& a = rig.t.Add("A", MakeKey("a", TConnKind::TcpClient), "00000001");
  auto& b = rig.t.Add("B", MakeKey("b", TConnKind::TcpClient), "00000002");
  rig.Start();
  const int32_t ha[] = {H(a.params[0])}, hb[] = {H(b.params[0])};
  rig.engine.DARead(ownerA, 1, true, nullptr, ha, 1, 1);
  rig.engine.DARead(ownerA, 1, true, nullptr, hb, 2, 2);
  rig.engine.QueueCycle();
  ASSERT_EQ(rig.readers.started.size(), 1u);
  EXPECT_EQ(rig.readers.started[0], &rig.engine.Order(0));
  rig.engine.DARead(ownerA, 1, true, nullptr, ha, 3, 3);
  rig.readers.Complete(rig.engine.Order(0), TRunOutcome::Connected);
  rig.engine.QueueCycle();
  ASSERT_EQ(rig.readers.started.size(), 2u);
  EXPECT_EQ(rig.readers.started[1], &rig.engine.Order(1));
}

TEST(ReqOrderQueue, SharedModemPortIsPassedOverUntilItsReaderEnds) {
  TEngineRig rig;
  auto& a = rig.t.Add("A", MakeKey("a", TConnKind::DialUpModem, "COM3"), "00000001");
  auto& b = rig.t.Add("B", MakeKey("b", TConnKind::DialUpModem, "com3"), "00000002");
  rig.Start();
  ASSERT_TRUE(rig.engine.Order(0).Shared());
  const int32_t ha[] = {H(a.params[0])}, hb[] = {H(b.params[0])};
  rig.engine.DARead(ownerA, 1, true, nullptr, ha, 1, 1);
  rig.engine.DARead(ownerA, 1, true, nullptr, hb, 2, 2);
  rig.engine.QueueCycle();
  ASSERT_EQ(rig.readers.started.size(), 1u);
  rig.engine.QueueCycle();
  EXPECT_EQ(rig.readers.started.size(), 1u);
  rig.readers.Complete(*rig.readers.started[0], TRunOutcome::Connected);
  rig.engine.QueueCycle();
  ASSERT_EQ(rig.readers.started.size(), 2u);
  EXPECT_NE(rig.readers.started[1], rig.readers.started[0]);
}

TEST(ReqOrderQueue, DelayedOrderAnswersClientReadsAtOnceAndPollsAgainAfterTheDelay) {
  TEngineRig rig;
  auto& a = rig.t.Add("A", MakeKey("a", TConnKind::TcpClient), "00000001");
  rig.Start();
  TConnOrder& order = rig.engine.Order(0);
  const int32_t read[] = {H(a.params[0])}, polled[] = {H(a.params[1])};
  rig.engine.DARefresh(ownerA, 1, 1000, nullptr, polled, 1, 1);
  rig.clock.Advance(1001);  // a refresh is due once its rate has passed
  rig.engine.QueueCycle();
  ASSERT_EQ(rig.readers.started.size(), 1u);
  EXPECT_FALSE(order.OfflineRun);
  rig.readers.Complete(order, TRunOutcome::ConnectFailed);
  rig.clock.Advance(5000);
  // A client's read on the delayed connection gets a run of its own at once, which does not connect; the
  // refresh waits.
  rig.engine.DARead(ownerA, 1, true, nullptr, read, 2, 2);
  rig.engine.QueueCycle();
  ASSERT_EQ(rig.readers.started.size(), 2u);
  EXPECT_TRUE(order.OfflineRun);
  ASSERT_EQ(rig.WorkCount(0), 1u);
  {
    std::lock_guard lock(order.WorkMutex());
    EXPECT_EQ(order.Work().front()->Kind, tkDaRead);
  }
  rig.readers.Complete(order, TRunOutcome::NotTried);
  rig.engine.QueueCycle();
  EXPECT_EQ(rig.readers.started.size(), 2u);
  // The first delay is a minute; then polling resumes with a run that connects.
  rig.clock.Advance(kFirstConnectDelayMs);
  rig.engine.QueueCycle();
  ASSERT_EQ(rig.readers.started.size(), 3u);
  EXPECT_FALSE(order.OfflineRun);
  {
    std::lock_guard lock(order.WorkMutex());
    ASSERT_EQ(order.Work().size(), 1u);
    EXPECT_EQ(order.Work().front()->Kind, tkDaRefresh);
  }
}

TEST(ReqOrderQueue, SiblingGroupedRequestsOfDifferentKindsAreNeverMerged) {
  struct TCase {
    const char* name;
    int32_t first, second;
    bool firstSync, secondSync;
    size_t groups;
  } cases[] = {
      {"DA read and HDA read", tkDaRead, tkHdaRead, true, true, 2},
      {"DA read and DA refresh", tkDaRead, tkDaRefresh, false, false, 2},
      {"DA read and DA write", tkDaRead, tkDaWrite, false, false, 2},
      {"HDA read and HDA subscription", tkHdaRead, tkHdaAdvise, false, false, 2},
      {"two DA reads, synchronous and not", tkDaRead, tkDaRead, true, false, 1},
  };
  for (const auto& c : cases) {
    TEngineRig rig;
    auto& d = rig.t.Add("A", MakeKey("a", TConnKind::TcpClient), "00000001");
    rig.Start();
    int32_t tx = 1;
    auto request = [&](int32_t kind, bool sync, TNTreeData* node) {
      const int32_t h[] = {H(node)};
      const TVariant v[] = {TVariant::Int(1)};
      const TTaskTime t = Time(rig.clock.Now() - 1);
      switch (kind) {
        case tkDaRead:
          rig.engine.DARead(ownerA, 1, sync, nullptr, h, tx, tx);
          break;
        case tkDaRefresh:
          rig.engine.DARefresh(ownerA, 1, 1000, nullptr, h, tx, tx);
          break;
        case tkDaWrite:
          rig.engine.DAWrite(ownerA, 1, tx, nullptr, tx, v, h);
          break;
        case tkHdaRead:
          rig.engine.HDARead(ownerB, tx, t, Time(rig.clock.Now()), sync, nullptr, tx, h, 0);
          break;
        case tkHdaAdvise:
          rig.engine.HDAAdvise(ownerB, tx, t, Int64ToFileTime(10'000'000), nullptr, tx, h);
          break;
      }
      ++tx;
    };
    request(c.first, c.firstSync, d.grouped[0]);
    request(c.second, c.secondSync, d.grouped[1]);
    rig.clock.Advance(1001);  // a refresh is due once its rate has passed
    rig.engine.QueueCycle();
    std::lock_guard lock(rig.engine.Order(0).WorkMutex());
    auto& work = rig.engine.Order(0).Work();
    ASSERT_EQ(work.size(), c.groups) << c.name;
    size_t subItems = 0;
    for (auto& group : work) {
      ASSERT_EQ(group->Shape, kWorkGroup) << c.name;
      for (auto& sub : group->SubItems) {
        // Each sub-item is read and answered the way its group is: the same kind.
        EXPECT_EQ(sub->Kind, group->Kind) << c.name;
        ++subItems;
      }
    }
    EXPECT_EQ(subItems, 2u) << c.name;
  }
}

// The autumn change (Europe/Berlin, 25 October 2026, 03:00 CEST -> 02:00 CET): local time runs the hour
// from 02:00 twice. Refreshes and subscriptions keep their rhythm through it.
TEST(ReqOrderQueue, PeriodicTasksStayDueAcrossTheAutumnChange) {
  TZoneScope zone("Europe/Berlin");
  TEngineRig rig;
  auto& d = rig.t.Add("A", MakeKey("a", TConnKind::TcpClient), "00000001");
  rig.clock.SetUtc(EncodeDateTime(2026, 10, 25, 0, 59, 50));  // 02:59:50 CEST
  rig.Start();
  const int32_t h[] = {H(d.params[0])};
  rig.engine.DARefresh(ownerA, 1, 1000, nullptr, h, 1, 1);
  TConnOrder& order = rig.engine.Order(0);
  for (int step = 0; step < 10; ++step) {  // 02:59:52 CEST … 02:00:10 CET, two seconds apart
    rig.clock.Advance(2000);
    rig.engine.QueueCycle();
    ASSERT_EQ(rig.readers.started.size(), static_cast<size_t>(step + 1))
        << "local " << FormatDateTime(rig.clock.Now());
    rig.readers.Complete(order, TRunOutcome::Connected);
    rig.engine.QueueCycle();  // puts the refresh back in line
  }
}

TEST(ReqOrderResults, ASynchronousResultReachesOnlyTheRequestItWasReadFor) {
  TEngineRig rig;
  rig.Start();
  auto result = [](int32_t tx, int32_t itemHandle) {
    auto r = std::make_unique<TResultsDA>();
    r->TransactionNumber = tx;
    r->ItemHandle = itemHandle;
    return r;
  };
  TAsyncEngine& e = rig.engine;
  const int32_t tx = e.AllocTransaction();
  ASSERT_TRUE(e.DeliverDaResult(result(tx, 5)));
  EXPECT_EQ(e.GetTransactionState(tx), TTransactionSlots::kReady);
  EXPECT_EQ(e.TakeDaResult(tx, 6), nullptr);  // another item under the same number
  EXPECT_EQ(e.TakeHdaResult(tx), nullptr);    // the other interface
  EXPECT_NE(e.TakeDaResult(tx, 5), nullptr);

  // A reader whose client stopped waiting and freed the number: the late result is dropped and the number
  // stays free.
  e.SetTransactionState(tx, 0);
  EXPECT_FALSE(e.DeliverDaResult(result(tx, 5)));
  EXPECT_EQ(e.GetTransactionState(tx), 0);

  // A result left under a number that is freed never reaches the next request given that number.
  ASSERT_EQ(e.AllocTransaction(), tx);
  ASSERT_TRUE(e.DeliverDaResult(result(tx, 5)));
  e.SetTransactionState(tx, 0);
  ASSERT_EQ(e.AllocTransaction(), tx);
  EXPECT_EQ(e.TakeDaResult(tx), nullptr);
}

TEST(ReqOrderQueue, GroupedParametersOfOneBranchBecomeOneWorkItem) {
  TEngineRig rig;
  rig.t.Add("Orlix", MakeKey("a", TConnKind::TcpClient), "00000001", mcOrlix);
  auto& d = rig.t.devices[0];
  rig.Start();
  const int32_t handles[] = {H(d.grouped[0]), H(d.grouped[1]), H(d.params[0])};
  rig.engine.DARead(ownerA, 1, false, nullptr, handles, 1, 1);
  rig.engine.QueueCycle();
  std::lock_guard lock(rig.engine.Order(0).WorkMutex());
  auto& work = rig.engine.Order(0).Work();
  ASSERT_EQ(work.size(), 2u);
  const TDescThread* group = work.back()->Shape == kWorkGroup ? work.back().get() : work.front().get();
  ASSERT_EQ(group->Shape, kWorkGroup);
  EXPECT_EQ(group->Node, d.branch);
  ASSERT_EQ(group->SubItems.size(), 2u);
  // DA tasks queue newest first, so the second handle's sub-item comes first.
  EXPECT_EQ(group->SubItems[0]->Node, d.grouped[1]);
  EXPECT_EQ(group->SubItems[1]->Node, d.grouped[0]);
  // Orlix groups know their address range (G0 has address 10, G1 address 9).
  EXPECT_EQ(group->LowestAddress, 9);
  EXPECT_EQ(group->HighestAddress, 10);
  EXPECT_EQ(group->LowestItem->Node, d.grouped[1]);
  EXPECT_EQ(group->HighestItem->Node, d.grouped[0]);
  EXPECT_EQ(rig.engine.Order(0).DaReadCount, 3);  // the sub-items and the single item, not the group
}

TEST(ReqOrderCancel, CancelHitsEveryItemOfTheOwnersRequestOnly) {
  TEngineRig rig;
  auto& d = rig.t.Add("A", MakeKey("a", TConnKind::TcpClient), "00000001");
  rig.Start();
  const int32_t both[] = {H(d.params[0]), H(d.params[1])};
  const FILETIME hour = Int64ToFileTime(36'000'000'000);
  // Two HDA objects that both numbered their subscription 5.
  rig.engine.HDAAdvise(ownerA, 1, Time(0), hour, nullptr, 5, both);
  rig.engine.HDAAdvise(ownerB, 1, Time(0), hour, nullptr, 5, both);
  rig.engine.QueueCycle();
  ASSERT_EQ(rig.readers.started.size(), 1u);
  ASSERT_EQ(rig.engine.TaskTableSize(), 4u);
  // The cancel arrives while all four are out with the reader.
  rig.engine.HDACancel(ownerA, 5, nullptr);
  EXPECT_TRUE(rig.engine.CancelPending());
  rig.engine.QueueCycle();
  EXPECT_FALSE(rig.engine.CancelPending());
  rig.readers.Complete(rig.engine.Order(0), TRunOutcome::Connected);
  rig.engine.QueueCycle();
  // A's subscription is gone for both items; B's is back in line.
  const auto& pending = rig.engine.Order(0).Pending();
  ASSERT_EQ(pending.size(), 2u);
  for (const auto& t : pending) {
    EXPECT_EQ(t->Owner, ownerB);
    EXPECT_EQ(t->State, tsWaiting);
  }
  EXPECT_EQ(rig.engine.TaskTableSize(), 2u);
}

TEST(ReqOrderCancel, DaTasksAreWithdrawnByTransactionGroupOrItem) {
  using TLive = std::vector<std::pair<TTaskOwner, int32_t>>;  // owner, transaction
  struct TCase {
    const char* name;
    int what;  // 0 cancel transaction 7 of A, 1 withdraw group A, 2 withdraw A's item P1
    TLive live;
  } cases[] = {
      {"cancel", 0, {{ownerA, 8}, {ownerB, 7}}},
      {"group", 1, {{ownerB, 7}}},
      {"item", 2, {{ownerA, 7}, {ownerB, 7}}},
  };
  for (const auto& c : cases) {
    TEngineRig rig;
    rig.settings.ReaderThreads = 0;
    auto& d = rig.t.Add("A", MakeKey("a", TConnKind::TcpClient), "00000001");
    rig.Start();
    const int32_t p0[] = {H(d.params[0])}, p1[] = {H(d.params[1])};
    rig.engine.DARefresh(ownerA, 1, 1000, nullptr, p0, 7, 1);
    rig.engine.DARefresh(ownerA, 1, 1000, nullptr, p1, 8, 1);
    rig.engine.DARefresh(ownerB, 1, 1000, nullptr, p0, 7, 1);  // another group, same number
    rig.engine.QueueCycle();
    if (c.what == 0) rig.engine.DACancel(ownerA, 7, nullptr);
    if (c.what == 1) rig.engine.DAWithdraw(ownerA, {});
    if (c.what == 2) rig.engine.DAWithdraw(ownerA, p1);
    rig.engine.QueueCycle();
    TLive live;
    for (auto& t : rig.engine.Order(0).Pending())
      if (!t->Cancelled) live.emplace_back(t->Owner, t->TransactionNumber);
    std::sort(live.begin(), live.end());
    TLive expected = c.live;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(live, expected) << c.name;
    if (c.what == 0) {
      EXPECT_EQ(rig.logs.JournalCount("DA: Отмена задания7"), 1) << c.name;
    }
  }
}

TEST(ReqOrderStart, QueueStartsOnceRequestsAreQuietOrAfterHalfAMinute) {
  struct TCase {
    const char* name;
    bool request;
    int startPauseMs;
    int64_t waitedMs;
  } cases[] = {
      {"no request ever", false, 0, 30'500},
      {"request, no pause", true, 0, 500},
      {"request, 2 s pause", true, 2000, 2500},
      {"pause longer than the limit", true, 60'000, 30'500},
  };
  for (const auto& c : cases) {
    TEngineRig rig;
    rig.settings.StartPauseMs = static_cast<uint16_t>(c.startPauseMs);
    auto& d = rig.t.Add("A", MakeKey("a", TConnKind::TcpClient), "00000001");
    rig.Start();
    if (c.request) {
      const int32_t h[] = {H(d.params[0])};
      rig.engine.DARead(ownerA, 1, true, nullptr, h, 1, 1);
    }
    const int64_t before = rig.clock.TickMs();
    rig.engine.StartDelay({});
    EXPECT_EQ(rig.clock.TickMs() - before, c.waitedMs) << c.name;
  }
}

TEST(ReqOrderEntry, QueuedRequestsAreJournalledWhenAskedTo) {
  TEngineRig rig;
  rig.settings.JournalEveryRequest = true;
  auto& d = rig.t.Add("A", MakeKey("a", TConnKind::TcpClient), "00000001");
  rig.Start();
  const int32_t h[] = {H(d.params[0])};
  const TVariant v[] = {TVariant::Int(5)};
  rig.engine.DARead(ownerA, 1, true, nullptr, h, 1, 1);
  rig.engine.DAWrite(ownerA, 1, 1, nullptr, 2, v, h);
  rig.engine.DARefresh(ownerA, 1, 1000, nullptr, h, 3, 1);
  rig.engine.HDARead(ownerA, 1, Time(EncodeDateTime(2026, 3, 1)), Time(EncodeDateTime(2026, 3, 2)), true,
                     nullptr, 4, h, 0);
  rig.engine.HDACancel(ownerA, 4, nullptr);
  const std::string path = d.params[0]->Path;
  EXPECT_EQ(rig.logs.Journal(), (std::vector<std::string>{
                                    "DA Чтение: " + path,
                                    "DA Запись " + path,
                                    "DA Обновление: " + path,
                                    "HDA Чтение: 01.03.2026 00:00:00 - 02.03.2026 00:00:00  " + path,
                                    "HDA: Отмена задания:4",
                                }));
}

TEST(TransactionSlots, LowestFreeNumberAndBounds) {
  TTransactionSlots slots;
  EXPECT_EQ(slots.Alloc(), 1);
  EXPECT_EQ(slots.Alloc(), 2);
  EXPECT_TRUE(slots.Set(1, 0));
  EXPECT_EQ(slots.Alloc(), 1);
  EXPECT_TRUE(slots.Set(2, TTransactionSlots::kReady));
  EXPECT_EQ(slots.Get(2), TTransactionSlots::kReady);
  for (int32_t bad : {0, -1, TTransactionSlots::kCount + 1}) {
    EXPECT_EQ(slots.Get(bad), -1) << bad;
    EXPECT_FALSE(slots.Set(bad, 1)) << bad;
  }
  while (slots.Alloc() > 0) {
  }
  EXPECT_EQ(slots.Alloc(), -1);
  EXPECT_EQ(slots.Get(TTransactionSlots::kCount), 1);
}

// A client callback that counts deliveries.
class TSink final : public TOpcHdaDataSink {
 public:
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, HRESULT, DWORD, OPCHDA_ITEM*, HRESULT*) override {
    ++changes;
    return S_OK;
  }
  std::atomic<int> changes{0};
};

// Delivers once from a fresh reader thread, as each reader run does.
HRESULT DeliverFromReader(const std::shared_ptr<TCallbackRef>& ref) {
  HRESULT hr = E_FAIL;
  std::thread reader([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    TComPtr<IOPCHDA_DataCallback> cb;
    hr = ref->Get(cb);
    if (SUCCEEDED(hr)) hr = cb->OnDataChange(1, S_OK, 0, nullptr, nullptr);
    CoUninitialize();
  });
  reader.join();
  return hr;
}

TEST(ReqOrderCallbacks, SubscriptionReachesItsClientOnEveryRunUntilTheClientGoes) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  {
    TEngineRig rig;
    auto& d = rig.t.Add("A", MakeKey("a", TConnKind::TcpClient), "00000001");
    rig.Start();
    auto sink = Make<TSink>();
    const int32_t both[] = {H(d.params[0]), H(d.params[1])};
    FILETIME interval = Int64ToFileTime(10'000'000);
    ASSERT_EQ(
        rig.engine.HDAAdvise(ownerA, 1, Time(rig.clock.Now() - 1), interval, sink.Get()->Identity(), 9, both),
        0);
    TConnOrder& order = rig.engine.Order(0);
    size_t runs = 0;
    // One reader run: the queue hands the due items out, the reader delivers each and ends.
    auto serve = [&] {
      for (int cycle = 0; cycle < 3 && rig.readers.started.size() == runs; ++cycle) rig.engine.QueueCycle();
      ++runs;
      std::lock_guard lock(order.WorkMutex());
      const size_t items = order.Work().size();
      for (auto& item : order.Work()) order.FinishItem(*item, DeliverFromReader(item->Callback));
      order.Work().clear();
      order.EndRun(TRunOutcome::Connected);
      rig.clock.Advance(2000);
      return items;
    };
    EXPECT_EQ(serve(), 2u);
    EXPECT_EQ(serve(), 2u);
    EXPECT_EQ(sink->changes, 4);
    // The client disappears: both items fail, the subscription is dropped and journalled once.
    CoDisconnectObject(sink.Get()->Identity(), 0);
    EXPECT_EQ(serve(), 2u);
    rig.engine.QueueCycle();
    EXPECT_TRUE(order.Pending().empty());
    EXPECT_EQ(rig.engine.TaskTableSize(), 0u);
    EXPECT_EQ(rig.logs.JournalCount("Клиент недоступен"), 1);
  }
  CoUninitialize();
}

// A reader that sits in a long exchange until asked to stop.
class TSlowReaders final : public IReaderLauncher {
 public:
  void StartReader(TConnOrder& order) override {
    std::lock_guard lock(mutex_);
    threads_.emplace_back([this, &order](std::stop_token stop) {
      std::lock_guard work(order.WorkMutex());
      started = true;
      started.notify_all();
      SystemClock().Sleep(3'600'000, stop);
      order.Work().clear();
      order.EndRun(TRunOutcome::Connected);
    });
  }
  void StopAll() override {
    std::lock_guard lock(mutex_);
    for (auto& t : threads_) t.request_stop();
    threads_.clear();  // joins
  }
  std::atomic<bool> started{false};

 private:
  std::mutex mutex_;
  std::vector<std::jthread> threads_;
};

TEST(ReqOrderLife, FinalAsyncStopsTheQueueThreadAndJoinsReaders) {
  TTestTree t;
  auto& d = t.Add("A", MakeKey("a", TConnKind::TcpClient), "00000001");
  TRecordingLogs logs;
  TSlowReaders readers;
  IEngineHost host;
  RealClock clock;
  TSettings settings = TSettings::Defaults();
  settings.ReaderThreads = 1;
  settings.QueuePauseMs = 1;
  settings.StartPauseMs = 0;
  TAsyncEngine engine(t.tree, readers, logs, clock, host);
  engine.SetSettings(settings);
  engine.InitAsync();
  const int32_t h[] = {H(d.params[0])};
  engine.DARead(ownerA, 1, true, nullptr, h, 1, 1);
  readers.started.wait(false);
  EXPECT_EQ(engine.ActiveReaders(), 1);
  engine.FinalAsync();
  EXPECT_FALSE(engine.Running());
  EXPECT_EQ(engine.ActiveReaders(), 0);
  const auto work = logs.Work();
  EXPECT_EQ(work.front(), "Подключение HDA");
  EXPECT_EQ(work.back(), "FinalAsync Закончен");
}

}  // namespace
}  // namespace orvela::test
