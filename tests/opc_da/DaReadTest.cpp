// Reads, writes and subscriptions of DA groups against a simulated Tarvel 2001 meter: every value comes
// from the device through the engine's queue and readers and is checked against the simulator's own
// value functions.
#include <functional>
#include <map>

#include "opc_da/DaTestSupport.h"

namespace orvela::test {
namespace {

const uint8_t kParams[] = {0x00, 0x03};

class DaReadTest : public DaServerFixture {
 protected:
  DaReadTest() { nodes = AddMeter(key, {kParams[0], kParams[1]}); }

  // The group's IOPCItemMgt after adding the meter's two parameters with the given client handles.
  TComPtr<IOPCItemMgt> AddBoth(const TGroup& group, OPCHANDLE first, OPCHANDLE second) {
    auto mgt = group.As<IOPCItemMgt>();
    EXPECT_EQ(AddItems(mgt.Get(), {{Id(nodes[0]), first}, {Id(nodes[1]), second}}).hr, S_OK);
    return mgt;
  }

  OPCHANDLE Handle(size_t i) const { return static_cast<OPCHANDLE>(nodes[i]->Handle); }

  // The meter shows whole minutes; a read may cross one.
  bool MeterValue(size_t i, double value, TDateTime before, TDateTime after) const {
    const float v = static_cast<float>(value);
    return v == sim::CurrentValue(kDaSerial, kParams[i], before) ||
           v == sim::CurrentValue(kDaSerial, kParams[i], after);
  }

  std::vector<TNTreeData*> nodes;
};

struct TReadOut {
  HRESULT hr = E_FAIL;
  TTaskMem<OPCITEMSTATE> states;
  TTaskMem<HRESULT> errors;
  ~TReadOut() {
    if (states.p)
      for (size_t i = 0; i < count; ++i) VariantClear(&states[i].vDataValue);
  }
  size_t count = 0;
};

void SyncRead(IOPCSyncIO* io, std::vector<OPCHANDLE> handles, TReadOut& out) {
  out.count = handles.size();
  out.hr = io->Read(OPC_DS_DEVICE, static_cast<DWORD>(handles.size()), handles.data(), out.states.Put(),
                    out.errors.Put());
}

double Number(const VARIANT& v) {
  TComVariant d;
  EXPECT_EQ(VariantChangeType(&d, &v, 0, VT_R8), S_OK);
  return d.dblVal;
}

TEST_F(DaReadTest, SyncReadReturnsTheMetersValuesWithEachGroupsOwnClientHandles) {
  auto server = NewServer();
  TGroup a = AddGroup(server.Get(), u"A");
  TGroup b = AddGroup(server.Get(), u"B");
  AddBoth(a, 101, 102);
  // Another group names the same nodes with handles of its own; neither may see the other's.
  AddBoth(b, 201, 202);
  for (auto [group, base] : {std::pair{&a, 100u}, std::pair{&b, 200u}}) {
    const TDateTime before = clock.Now();
    TReadOut read;
    SyncRead(group->As<IOPCSyncIO>().Get(), {Handle(0), Handle(1)}, read);
    const TDateTime after = clock.Now();
    ASSERT_EQ(read.hr, S_OK);
    for (size_t i = 0; i < 2; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(read.errors[i], S_OK);
      EXPECT_EQ(read.states[i].hClient, base + 1 + i);
      EXPECT_EQ(read.states[i].wQuality, OPC_QUALITY_GOOD);
      EXPECT_TRUE(MeterValue(i, Number(read.states[i].vDataValue), before, after));
      const int64_t stamp = FileTimeToInt64(read.states[i].ftTimeStamp);
      EXPECT_GE(stamp, FileTimeToInt64(LocalDateTimeToFileTime(before)));
      EXPECT_LE(stamp, FileTimeToInt64(LocalDateTimeToFileTime(after)));
    }
  }
}

TEST_F(DaReadTest, SyncReadAnswersEachItemWithinItsTimeLimit) {
  auto server = NewServer();
  TGroup group = AddGroup(server.Get(), u"A");
  AddBoth(group, 1, 2);
  auto io = group.As<IOPCSyncIO>();
  {
    // A handle the group does not hold is refused; the good one is still read.
    TReadOut read;
    SyncRead(io.Get(), {Handle(0), 0x7777}, read);
    EXPECT_EQ(read.hr, S_FALSE);
    EXPECT_EQ(read.errors[0], S_OK);
    EXPECT_EQ(read.states[0].wQuality, OPC_QUALITY_GOOD);
    EXPECT_EQ(read.errors[1], OPC_E_INVALIDHANDLE);
  }
  // A meter that never answers: the read gives up at the context's limit with that item's own error.
  ctx.syncReadLimit = std::chrono::milliseconds(4000);
  line.Faults().Update([](sim::TFaults& f) { f.replyDelayMs = 3'600'000; });
  const int64_t started = clock.TickMs();
  TReadOut read;
  SyncRead(io.Get(), {Handle(1)}, read);
  EXPECT_EQ(read.hr, S_FALSE);
  EXPECT_EQ(read.errors[0], E_FAIL);
  EXPECT_NE(read.states[0].wQuality, OPC_QUALITY_GOOD);
  EXPECT_EQ(read.states[0].hClient, 2u);
  EXPECT_GE(clock.TickMs() - started, 4000);
  line.Faults().Update([](sim::TFaults& f) { f.replyDelayMs = 0; });

  // No free transaction slot: the item fails at once instead of waiting for a slot that never comes.
  std::vector<int32_t> taken;
  for (int32_t tx; (tx = reading.Engine().AllocTransaction()) > 0;) taken.push_back(tx);
  TReadOut full;
  SyncRead(io.Get(), {Handle(0)}, full);
  EXPECT_EQ(full.hr, S_FALSE);
  EXPECT_EQ(full.errors[0], E_FAIL);
  for (int32_t tx : taken) reading.Engine().SetTransactionState(tx, 0);

  TReadOut none;
  EXPECT_EQ(io->Read(OPC_DS_DEVICE, 0, nullptr, none.states.Put(), none.errors.Put()), E_INVALIDARG);
}

TEST_F(DaReadTest, SecondClientIsServedWhileTheFirstClientsReadWaits) {
  // The first client's meter answers late; the second client's sits on a line of its own.
  sim::TLine fastLine(sim::TLineOptions{.clock = &clock});
  fastLine.AddDevice(sim::MakeDevice("tarvel2001", 1, kDaSerial));
  fastLine.ListenTcp();
  auto fast = AddMeter(TcpKey("Насосная", fastLine.Port()), {kParams[0]}, "Второй");
  line.Faults().Update([](sim::TFaults& f) { f.replyDelayMs = 3'600'000; });

  auto firstServer = NewServer();
  auto secondServer = NewServer();
  TGroup slowGroup = AddGroup(firstServer.Get(), u"Медленная");
  AddBoth(slowGroup, 1, 2);
  TGroup fastGroup = AddGroup(secondServer.Get(), u"Быстрая");
  auto fastItems = fastGroup.As<IOPCItemMgt>();
  ASSERT_EQ(AddItems(fastItems.Get(), {{Id(fast[0]), 9}}).hr, S_OK);
  auto fastIo = fastGroup.As<IOPCSyncIO>();

  // The second client calls in from its own thread; its calls reach the objects on the main thread,
  // which the first client's read keeps serving while it waits.
  std::atomic<bool> firstWaiting{false};
  std::atomic<bool> firstReturned{false};
  std::atomic<bool> servedWhileFirstWaits{false};
  std::atomic<bool> secondFinished{false};
  HRESULT secondResult = E_FAIL;
  WORD secondQuality = 0;
  OPCHANDLE secondClient = 0;
  std::thread second([&] {
    while (line.Exchanges().empty() && !firstReturned)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    MainThread::Invoke([&] {
      TReadOut read;
      SyncRead(fastIo.Get(), {static_cast<OPCHANDLE>(fast[0]->Handle)}, read);
      secondResult = read.hr;
      secondQuality = read.states[0].wQuality;
      secondClient = read.states[0].hClient;
      servedWhileFirstWaits = firstWaiting.load();
    });
    secondFinished = true;
  });
  TReadOut slow;
  ctx.syncReadLimit = std::chrono::seconds(10);
  firstWaiting = true;
  SyncRead(slowGroup.As<IOPCSyncIO>().Get(), {Handle(0)}, slow);
  firstWaiting = false;
  firstReturned = true;
  PumpUntil([&] { return secondFinished.load(); });  // whatever came too late still gets served
  second.join();
  EXPECT_TRUE(servedWhileFirstWaits);
  EXPECT_EQ(secondResult, S_OK);
  EXPECT_EQ(secondQuality, OPC_QUALITY_GOOD);
  EXPECT_EQ(secondClient, 9u);
  EXPECT_EQ(slow.states[0].hClient, 1u);
  fastLine.Stop();
}

TEST_F(DaReadTest, AsyncReadCallsBackPerItemAndRefusesWhatItCannotQueue) {
  auto server = NewServer();
  TGroup group = AddGroup(server.Get(), u"A", 2000, FALSE, 55);
  AddBoth(group, 1, 2);
  auto async = group.As<IOPCAsyncIO2>();
  OPCHANDLE handles[] = {Handle(0), 0x7777, Handle(1)};
  DWORD cancelId = 0;
  TTaskMem<HRESULT> refused;
  EXPECT_EQ(async->Read(3, handles, 7, &cancelId, refused.Put()), CONNECT_E_NOCONNECTION);

  auto sink = Make<TDataSink>();
  const DWORD cookie = Advise(group, *sink.Get());
  // The second meter parameter's node stops being readable: the queue refuses that item alone.
  nodes[1]->ModelCode = mcNotReadable;
  TTaskMem<HRESULT> errors;
  const TDateTime before = clock.Now();
  ASSERT_EQ(async->Read(3, handles, 7, &cancelId, errors.Put()), S_FALSE);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
  EXPECT_EQ(errors[2], E_FAIL);
  ASSERT_TRUE(PumpUntil([&] { return sink->Count() >= 1; }));
  const TDateTime after = clock.Now();
  const auto got = sink->Deliveries();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].kind, TDaDelivery::Read);
  EXPECT_EQ(got[0].tx, 7u);
  EXPECT_EQ(got[0].group, 55u);
  EXPECT_EQ(got[0].client, 1u);
  EXPECT_EQ(got[0].quality, OPC_QUALITY_GOOD);
  EXPECT_EQ(got[0].error, S_OK);
  EXPECT_TRUE(MeterValue(0, got[0].value, before, after));
  nodes[1]->ModelCode = mcTarvel2001;

  // Items from AddItems are not writable: both ways refuse them per item and write nothing.
  VARIANT values[2];
  for (VARIANT& v : values) {
    VariantInit(&v);
    v.vt = VT_R4;
    v.fltVal = 1.5f;
  }
  OPCHANDLE writes[] = {Handle(0), 0x7777};
  TTaskMem<HRESULT> writeErrors, syncErrors;
  EXPECT_EQ(async->Write(2, writes, values, 8, &cancelId, writeErrors.Put()), S_FALSE);
  EXPECT_EQ(writeErrors[0], OPC_E_BADRIGHTS);
  EXPECT_EQ(writeErrors[1], OPC_E_INVALIDHANDLE);
  EXPECT_EQ(group.As<IOPCSyncIO>()->Write(2, writes, values, syncErrors.Put()), S_FALSE);
  EXPECT_EQ(syncErrors[0], OPC_E_BADRIGHTS);
  EXPECT_EQ(syncErrors[1], OPC_E_INVALIDHANDLE);

  TComPtr<IConnectionPoint> point;
  ASSERT_EQ(group.As<IConnectionPointContainer>()->FindConnectionPoint(IID_IOPCDataCallback, point.Put()),
            S_OK);
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  EXPECT_EQ(async->Refresh2(OPC_DS_DEVICE, 1, &cancelId), CONNECT_E_NOCONNECTION);
}

TEST_F(DaReadTest, SubscriptionKeepsOneStandingTaskPerItemUntilTheGroupIsRemoved) {
  auto server = NewServer();
  TGroup group = AddGroup(server.Get(), u"A", 2000, FALSE, 66);
  AddBoth(group, 1, 2);
  auto sink = Make<TDataSink>();
  Advise(group, *sink.Get());
  auto state = group.As<IOPCGroupStateMgt>();
  BOOL active = TRUE;
  // Setting the group active again and again keeps one standing refresh per item.
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(state->SetState(nullptr, nullptr, &active, nullptr, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(logs.JournalCount("Добавление задания 3"), 3);
  ASSERT_TRUE(PumpUntil([&] { return sink->Count() >= 2; }));
  // The first values' one-shot reads leave the table; the two standing refreshes stay.
  ASSERT_TRUE(PumpUntil([&] { return reading.Engine().TaskTableSize() == 2; }));
  PumpPeriods(3);
  EXPECT_EQ(reading.Engine().TaskTableSize() + reading.Engine().IncomingCount(), 2u);
  std::map<OPCHANDLE, int> perItem;
  for (const auto& d : sink->Deliveries()) {
    EXPECT_EQ(d.kind, TDaDelivery::Change);
    EXPECT_EQ(d.group, 66u);
    EXPECT_EQ(d.tx, 0u);  // periodic updates are no client transaction
    EXPECT_EQ(d.quality, OPC_QUALITY_GOOD);
    ++perItem[d.client];
  }
  EXPECT_EQ(perItem.size(), 2u);

  // The group goes: its refreshes are withdrawn and nothing more arrives.
  ASSERT_EQ(server->RemoveGroup(group.handle, FALSE), OPC_S_INUSE);  // the client still holds state
  state.Reset();
  ASSERT_EQ(server->RemoveGroup(group.handle, FALSE), S_OK);
  group.unk.Reset();
  ASSERT_TRUE(PumpUntil([&] { return reading.Engine().TaskTableSize() == 0; }));
  const size_t delivered = sink->Count();
  PumpPeriods(3);
  EXPECT_EQ(sink->Count(), delivered);
}

TEST_F(DaReadTest, SubscriptionTasksFollowTheGroupsAndItemsActiveState) {
  auto server = NewServer();
  TGroup group = AddGroup(server.Get(), u"A", 2000, TRUE, 66);
  AddBoth(group, 1, 2);
  EXPECT_EQ(reading.Engine().TaskTableSize() + reading.Engine().IncomingCount(), 0u);  // no callback yet
  auto sink = Make<TDataSink>();
  Advise(group, *sink.Get());
  ASSERT_TRUE(PumpUntil([&] { return reading.Engine().TaskTableSize() == 2; }));

  BOOL inactive = FALSE;
  auto state = group.As<IOPCGroupStateMgt>();
  ASSERT_EQ(state->SetState(nullptr, nullptr, &inactive, nullptr, nullptr, nullptr, nullptr), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return reading.Engine().TaskTableSize() == 0; }));
  BOOL active = TRUE;
  ASSERT_EQ(state->SetState(nullptr, nullptr, &active, nullptr, nullptr, nullptr, nullptr), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return reading.Engine().TaskTableSize() == 2; }));

  // An inactive item is not polled; removing an item withdraws its task and leaves the other's.
  OPCHANDLE first = Handle(0), second = Handle(1);
  TTaskMem<HRESULT> errors, removed;
  auto mgt = group.As<IOPCItemMgt>();
  ASSERT_EQ(mgt->SetActiveState(1, &first, FALSE, errors.Put()), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return reading.Engine().TaskTableSize() == 1; }));
  ASSERT_EQ(mgt->RemoveItems(1, &second, removed.Put()), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return reading.Engine().TaskTableSize() == 0; }));
}

TEST_F(DaReadTest, RefusedConnectionReadsAsNotConnected) {
  TConnKey refused = key;
  {
    // A port that was just free: nothing listens there.
    sim::TLine closed(sim::TLineOptions{.clock = &clock});
    closed.ListenTcp();
    refused = TcpKey("Закрытая", closed.Port());
    closed.Stop();
  }
  auto closedNodes = AddMeter(refused, {0x00}, "Недоступный");
  auto server = NewServer();
  TGroup group = AddGroup(server.Get(), u"A");
  ASSERT_EQ(AddItems(group.As<IOPCItemMgt>().Get(), {{Id(closedNodes[0]), 31}}).hr, S_OK);
  TReadOut read;
  SyncRead(group.As<IOPCSyncIO>().Get(), {static_cast<OPCHANDLE>(closedNodes[0]->Handle)}, read);
  EXPECT_EQ(read.hr, S_OK);  // the device's failure is the item's quality, not a failed call
  EXPECT_EQ(read.errors[0], S_OK);
  EXPECT_EQ(read.states[0].wQuality, OPC_QUALITY_NOT_CONNECTED);
  EXPECT_EQ(read.states[0].hClient, 31u);
  EXPECT_EQ(read.states[0].vDataValue.vt, VT_EMPTY);
}

}  // namespace
}  // namespace orvela::test

namespace orvela::test {
namespace {

TEST_F(DaReadTest, ServerReleasedWhileAReaderCallsBackStopsTheEngineCleanly) {
  auto server = NewServer();
  TGroup group = AddGroup(server.Get(), u"A", 2000, FALSE, 66);
  AddBoth(group, 1, 2);
  auto sink = Make<TDataSink>();
  Advise(group, *sink.Get());
  std::atomic<bool> queued{false};
  MainThread::SetWakeHandler([&] { queued = true; });
  BOOL active = TRUE;
  ASSERT_EQ(
      group.As<IOPCGroupStateMgt>()->SetState(nullptr, nullptr, &active, nullptr, nullptr, nullptr, nullptr),
      S_OK);
  // Not pumping: a reader delivering the first change now waits for the main thread.
  while (!queued) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  MainThread::SetWakeHandler({});
  // The last server goes meanwhile: stopping the engine must let that reader finish its call.
  server.Reset();
  EXPECT_FALSE(reading.Engine().Running());
  group.unk.Reset();
  MainThread::Pump();
  sink.Reset();
  factory.Reset();
  EXPECT_EQ(ComLiveObjects(), liveBefore);
}

}  // namespace
}  // namespace orvela::test
