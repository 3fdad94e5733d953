// Requests travelling through the engine's reader threads to a simulated Tarvel 2001 meter and back,
// through the real TCP link and XModem framing: synchronous and callback returns, the connection rules and
// a stop while a reader is inside a slow exchange.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "drivers/Tarvel2001Nodes.h"
#include "drivers/TarvelDecode.h"
#include "engine/AsyncReadRaw.h"
#include "engine/EngineTestSupport.h"
#include "links/LinkExceptions.h"
#include "links/TcpConnectionPort.h"
#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "metersim/Values.h"
#include "platform/com/opc/OpcDa.h"
#include "platform/com/opc/OpcHda.h"
#include "platform/com/opc/OpcSinks.h"
#include "support/MeterTree.h"

namespace orvela::test {
namespace {

constexpr const char* kSerial = "12345678";
const TDateTime kStart = EncodeDateTime(2024, 3, 2, 10, 20);
const int kOwner = 0;
const TTaskOwner owner = &kOwner;

TTaskTime Time(TDateTime local) {
  TTaskTime t;
  t.Time = LocalDateTimeToFileTime(local);
  return t;
}

// The connections the readers' links take their settings from.
class TOneConnection final : public IConnectionCatalog {
 public:
  TConnSettings* FindSettings(const TConnKey&) override { return &settings; }
  IChannelLog* FindOrder(const TConnKey&) override { return nullptr; }
  TConnSettings settings;
};

// Records what the readers deliver to an HDA client.
class THdaSink final : public TOpcHdaDataSink {
 public:
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, HRESULT, DWORD count, OPCHDA_ITEM* items, HRESULT*) override {
    std::lock_guard lock(mutex);
    for (DWORD i = 0; i < count; ++i) changes.push_back(items[i].dwCount);
    return S_OK;
  }
  size_t Changes() {
    std::lock_guard lock(mutex);
    return changes.size();
  }
  std::mutex mutex;
  std::vector<DWORD> changes;
};

// No real link raises on Connect (the socket links report a refusal as false), so this one stands in for
// a port that errors on every attempt.
class TRaisingLink final : public TConnectionDevice {
 public:
  explicit TRaisingLink(std::atomic<int>& attempts) : attempts_(attempts) {}
  bool Connect() override {
    ++attempts_;
    throw EConnectExcept("Порт недоступен");
  }

 private:
  std::atomic<int>& attempts_;
};

// Records what the readers deliver to a DA client's write completions.
class TDaSink final : public TOpcDataSink {
 public:
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD tx, OPCHANDLE group, HRESULT master, DWORD count,
                                            OPCHANDLE* handles, HRESULT* errors) override {
    std::lock_guard lock(mutex);
    for (DWORD i = 0; i < count; ++i) writes.push_back({tx, group, master, handles[i], errors[i]});
    return S_OK;
  }
  struct TWrite {
    DWORD tx;
    OPCHANDLE group;
    HRESULT master;
    OPCHANDLE handle;
    HRESULT error;
  };
  std::vector<TWrite> Writes() {
    std::lock_guard lock(mutex);
    return writes;
  }
  std::mutex mutex;
  std::vector<TWrite> writes;
};

// An engine with real readers over a simulated line; the test drives the queue cycles.
class ReaderTest : public ::testing::Test {
 protected:
  ReaderTest() : clock(40, kStart), line(sim::TLineOptions{.clock = &clock}) {
    SetSystemClock(&clock);  // the links the factory makes wait on it
    line.AddDevice(sim::MakeDevice("tarvel2001", 1, kSerial));
    line.ListenTcp();
    catalog.settings.EchoTested = 1;  // the line does not echo
    key.ConnName = "Котельная";
    key.ConnType = static_cast<uint8_t>(TConnKind::TcpClient);
    key.ProtType = static_cast<uint8_t>(TProtKind::XModem);
    key.IP_Addr = "127.0.0.1";
    key.IP_Port = line.Port();
    key.LinkAddress = BuildLinkAddress(key);
    catalog.settings.Key = key;
    settings = TSettings::Defaults();
    settings.ReaderThreads = 2;
    settings.JournalEveryRequest = false;
    settings.ChannelLog = false;
    readers.Attach(engine);
    engine.SetQueueThreadEnabled(false);
  }
  ~ReaderTest() override {
    while (engine.Users() > 0) engine.FinalAsync();
    line.Stop();
    SetSystemClock(nullptr);
  }

  // A device on the line with the given nodes (id paths from the device down), described by its driver.
  std::vector<TNTreeData*> AddDevice(const TConnKey& connection,
                                     std::initializer_list<std::initializer_list<uint8_t>> paths) {
    TNTreeData* device = tree.AddChildNamed(tree.Root(), "ТАРВЕЛ мод.2001");
    device->Kind = nkDevice;
    device->Address = 1;
    device->ModelCode = mcTarvel2001;
    device->Serial = kSerial;
    TTCPConnectionPort spare;
    auto model = TTarvelFactory::CreateModel(mcTarvel2001, connection, nullptr, &spare, {});
    std::vector<TNTreeData*> leaves;
    for (const auto& path : paths) {
      TNTreeData* node = test::AddDescribedPath(tree, device, path, *model);
      node->ClientHandle = 100 + static_cast<int32_t>(leaves.size());
      leaves.push_back(node);
    }
    TTree::SetConnectionKey(device, connection);
    tree.ShowTree(tree.Root(), nullptr, nullptr);
    tree.Renumber();
    return leaves;
  }

  void Start() {
    engine.SetSettings(settings);
    engine.InitAsync();
  }

  // Runs queue cycles until done() holds (false when it never does).
  template <class Done>
  bool Serve(Done done) {
    for (int i = 0; i < 20000; ++i) {
      engine.QueueCycle();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  std::vector<std::unique_ptr<TResultsDA>> ReadDa(const std::vector<int32_t>& handles) {
    const int32_t tx = engine.AllocTransaction();
    EXPECT_TRUE(engine.DARead(owner, 5, true, nullptr, handles, tx, 77));
    std::vector<std::unique_ptr<TResultsDA>> results;
    Serve([&] {
      while (auto r = engine.TakeDaResult(tx)) results.push_back(std::move(r));
      return results.size() == handles.size();
    });
    return results;
  }

  ScaledClock clock;
  sim::TLine line;
  TOneConnection catalog;
  TConnKey key;
  TSettings settings;
  TTree tree;
  TRecordingLogs logs;
  IEngineHost host;
  std::atomic<bool> raisingLinks{false};
  std::atomic<int> connectAttempts{0};
  TAsyncReaders readers{&catalog, [this](const TConnKey& k, IConnectionCatalog* c) {
                          return raisingLinks ? std::make_unique<TRaisingLink>(connectAttempts)
                                              : FactoryLinks()(k, c);
                        }};
  TAsyncEngine engine{tree, readers, logs, clock, host};
};

TEST_F(ReaderTest, DaReadReturnsTheMetersCurrentValues) {
  const uint8_t params[] = {0x00, 0x03};
  auto nodes = AddDevice(key, {{tidData, tidCurrent, params[0]}, {tidData, tidCurrent, params[1]}});
  Start();
  const TDateTime before = clock.Now();
  auto results = ReadDa({nodes[0]->Handle, nodes[1]->Handle});
  const TDateTime after = clock.Now();
  ASSERT_EQ(results.size(), 2u);
  for (const auto& r : results) {
    ASSERT_EQ(r->Count(), 1u);
    const size_t i = r->ClientHandles[0] == nodes[0]->ClientHandle ? 0 : 1;
    EXPECT_EQ(r->Qualities[0], kQualityGood);
    // The meter shows whole minutes; the read may have crossed one.
    const float value = static_cast<float>(r->Values[0].d);
    EXPECT_TRUE(value == sim::CurrentValue(kSerial, params[i], before) ||
                value == sim::CurrentValue(kSerial, params[i], after))
        << int(params[i]) << ": " << value;
  }
  EXPECT_EQ(engine.GetTransactionState(results[0]->TransactionNumber), TTransactionSlots::kReady);
  EXPECT_FALSE(engine.Order(0).Delayed);
}

TEST_F(ReaderTest, HdaReadReturnsTheRecordsStrictlyInsideItsWindow) {
  auto nodes = AddDevice(key, {{tidData, tidHours, 0x00}});
  Start();
  // The window's edges fall on whole hours: records stamped exactly there are not returned.
  const TDateTime end =
      sim::PeriodStart(sim::EPeriod::Hour, sim::PeriodIndex(sim::EPeriod::Hour, kStart) - 2);
  const TDateTime start = end - 8.0 / 24;
  const int32_t tx = engine.AllocTransaction();
  const int32_t handles[] = {nodes[0]->Handle};
  ASSERT_EQ(engine.HDARead(owner, 3, Time(start), Time(end), true, nullptr, tx, handles, 0), 0);
  std::unique_ptr<TResultsHDA> result;
  ASSERT_TRUE(Serve([&] { return (result = engine.TakeHdaResult(tx)) != nullptr; }));
  std::vector<int64_t> expected;
  for (int64_t i = sim::PeriodIndex(sim::EPeriod::Hour, start);
       i <= sim::PeriodIndex(sim::EPeriod::Hour, end); ++i)
    if (start < sim::PeriodStart(sim::EPeriod::Hour, i) && sim::PeriodStart(sim::EPeriod::Hour, i) < end)
      expected.push_back(i);
  ASSERT_EQ(result->Records.size(), expected.size());
  ASSERT_EQ(expected.size(), 7u);
  for (size_t k = 0; k < expected.size(); ++k) {
    const THdaRecord& r = result->Records[k];
    EXPECT_EQ(FileTimeToInt64(r.Time),
              FileTimeToInt64(LocalDateTimeToFileTime(sim::PeriodStart(sim::EPeriod::Hour, expected[k]))));
    EXPECT_EQ(r.Quality, 0x000400C0u);
    EXPECT_EQ(r.Value,
              TVariant::Single(sim::ArchiveValue(kSerial, 0x00, sim::EPeriod::Hour, expected[k], false)));
  }
}

TEST_F(ReaderTest, SubscriptionDeliversOnEveryRunUntilCancelled) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  {
    auto nodes = AddDevice(key, {{tidData, tidHours, 0x00}});
    Start();
    auto sink = Make<THdaSink>();
    const int32_t handles[] = {nodes[0]->Handle};
    const FILETIME interval = Int64ToFileTime(10'000'000);  // one second
    ASSERT_EQ(engine.HDAAdvise(owner, 1, Time(kStart - 1), interval, sink.Get()->Identity(), 9, handles), 0);
    ASSERT_TRUE(Serve([&] { return sink->Changes() >= 2; }));
    engine.HDACancel(owner, 9, nullptr);
    ASSERT_TRUE(Serve([&] { return engine.TaskTableSize() == 0; }));
    const size_t delivered = sink->Changes();
    for (int i = 0; i < 50; ++i) engine.QueueCycle();
    EXPECT_EQ(sink->Changes(), delivered);
    EXPECT_GT(sink->changes.front(), 0u);  // the first run read the archive
    while (engine.Users() > 0) engine.FinalAsync();
  }
  CoUninitialize();
}

TEST_F(ReaderTest, RefusedConnectionAnswersQuality8AndDelaysTheOrder) {
  TConnKey refused = key;
  refused.ConnName = "Насосная";
  {
    // A port that was just free: nothing listens there.
    sim::TLine closed(sim::TLineOptions{.clock = &clock});
    closed.ListenTcp();
    refused.IP_Port = closed.Port();
    closed.Stop();
  }
  refused.LinkAddress = BuildLinkAddress(refused);
  auto nodes = AddDevice(refused, {{tidData, tidCurrent, 0x00}});
  Start();
  auto results = ReadDa({nodes[0]->Handle});
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]->Qualities[0], kQualityNotConnected);
  EXPECT_EQ(results[0]->Values[0], TVariant());
  ASSERT_TRUE(Serve([&] { return engine.ActiveReaders() == 0; }));
  EXPECT_TRUE(engine.Order(0).Delayed);
  EXPECT_EQ(logs.JournalCount("Поток - ресурс недоступен: " + refused.LinkAddress), 1);
}

TEST_F(ReaderTest, LinkRaisingOnEveryConnectEndsAsAFailedConnection) {
  raisingLinks = true;
  auto nodes = AddDevice(key, {{tidData, tidCurrent, 0x00}});
  Start();
  auto results = ReadDa({nodes[0]->Handle});
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0]->Qualities[0], kQualityNotConnected);
  EXPECT_EQ(results[0]->Values[0], TVariant());
  ASSERT_TRUE(Serve([&] { return engine.ActiveReaders() == 0; }));
  EXPECT_TRUE(engine.Order(0).Delayed);
  EXPECT_EQ(connectAttempts, kConnectErrorAttempts);
  EXPECT_EQ(logs.JournalCount("Ошибка при подключении " + nodes[0]->Path), kConnectErrorAttempts);
  EXPECT_EQ(logs.JournalCount("Поток - ресурс недоступен: " + key.LinkAddress), 1);
}

TEST_F(ReaderTest, GroupedParametersEachGetTheirOwnValue) {
  const uint8_t param = 0x03;
  TNTreeData* parent = AddDevice(key, {{tidData, tidCurrent, param}})[0];
  // The meter answers a current value with its status: the grouped value and status share one request.
  TNTreeData* grouped[2];
  for (int i = 0; i < 2; ++i) {
    grouped[i] = tree.AddChildNamed(parent, i == 0 ? "Значение" : "Статус");
    grouped[i]->Kind = nkGroupedParameter;
    grouped[i]->Serial = kSerial;
    grouped[i]->ClientHandle = 200 + i;
  }
  TTree::SetConnectionKey(parent, key);
  tree.ShowTree(tree.Root(), nullptr, nullptr);
  tree.Renumber();
  Start();
  const TDateTime before = clock.Now();
  auto results = ReadDa({grouped[0]->Handle, grouped[1]->Handle});
  const TDateTime after = clock.Now();
  ASSERT_EQ(results.size(), 2u);
  std::map<int32_t, TVariant> values;
  for (const auto& r : results) {
    ASSERT_EQ(r->Count(), 1u);
    EXPECT_EQ(r->Qualities[0], kQualityGood);
    values[r->ClientHandles[0]] = r->Values[0];
  }
  const float value = static_cast<float>(values[200].d);
  EXPECT_TRUE(value == sim::CurrentValue(kSerial, param, before) ||
              value == sim::CurrentValue(kSerial, param, after))
      << value;
  EXPECT_EQ(values[201], TVariant::Int(RemapStatus(sim::CurrentStatus(kSerial, param))));
}

TEST_F(ReaderTest, RefusedWriteIsTheItemsErrorAndTheTaskIsRemoved) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  {
    auto nodes = AddDevice(key, {{tidData, tidCurrent, 0x00}});
    Start();
    auto sink = Make<TDaSink>();
    const int32_t handles[] = {nodes[0]->Handle};
    const TVariant values[] = {TVariant::Single(12.5f)};
    engine.DAWrite(owner, 7, 31, sink.Get()->Identity(), engine.AllocTransaction(), values, handles);
    ASSERT_TRUE(Serve([&] { return !sink->Writes().empty(); }));
    ASSERT_TRUE(Serve([&] { return engine.Order(0).Pending().empty(); }));
    const auto writes = sink->Writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].tx, 31u);
    EXPECT_EQ(writes[0].group, 7u);
    EXPECT_EQ(writes[0].handle, static_cast<OPCHANDLE>(nodes[0]->ClientHandle));
    EXPECT_EQ(writes[0].error, E_FAIL);
    EXPECT_EQ(writes[0].master, S_FALSE);
    for (int i = 0; i < 50; ++i) engine.QueueCycle();
    EXPECT_EQ(sink->Writes().size(), 1u);  // nothing left to serve again
    while (engine.Users() > 0) engine.FinalAsync();
  }
  CoUninitialize();
}

TEST_F(ReaderTest, ReadingEngineRunsRealReadersAndJoinsThemOnStop) {
  auto nodes = AddDevice(key, {{tidData, tidCurrent, 0x00}});
  // Its own queue thread drives it, as in the server.
  TReadingEngine reading(tree, logs, clock, host, &catalog);
  TAsyncEngine& served = reading.Engine();
  served.SetSettings(settings);
  served.InitAsync();
  const int32_t handles[] = {nodes[0]->Handle};
  const int32_t tx = served.AllocTransaction();
  ASSERT_TRUE(served.DARead(owner, 5, true, nullptr, handles, tx, 1));
  std::unique_ptr<TResultsDA> result;
  for (int i = 0; i < 20000 && !result; ++i) {
    result = served.TakeDaResult(tx);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(result);
  EXPECT_EQ(result->Qualities[0], kQualityGood);

  // A reader held inside a slow exchange is stopped and joined by the last user's FinalAsync.
  line.Faults().Update([](sim::TFaults& f) { f.replyDelayMs = 3'600'000; });
  const size_t exchanges = line.Exchanges().size();
  ASSERT_TRUE(served.DARead(owner, 5, true, nullptr, handles, served.AllocTransaction(), 2));
  for (int i = 0; i < 20000 && line.Exchanges().size() == exchanges; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_GT(line.Exchanges().size(), exchanges);
  served.FinalAsync();
  EXPECT_FALSE(served.Running());
  EXPECT_EQ(served.ActiveReaders(), 0);
}

TEST_F(ReaderTest, MeterAnsweringAnotherSerialIsJournalledAndNotRead) {
  line.Faults().Update([](sim::TFaults& f) { f.serial = "87654321"; });
  auto nodes = AddDevice(key, {{tidData, tidCurrent, 0x00}});
  Start();
  auto results = ReadDa({nodes[0]->Handle});
  ASSERT_EQ(results.size(), 1u);
  EXPECT_NE(results[0]->Qualities[0], kQualityGood);
  EXPECT_EQ(results[0]->Values[0], TVariant());
  EXPECT_EQ(
      logs.JournalCount("При чтении прибора (12345678) Обнаружен другой прибор87654321. Чтение прервано."),
      1);
}

// The clock check warns only when the meter's clock is off by more whole minutes than allowed, either way.
struct TClockCase {
  int offsetMinutes;
  uint16_t allowedMinutes;
  int warnings;
};

class ReaderClockTest : public ReaderTest, public ::testing::WithParamInterface<TClockCase> {};

TEST_P(ReaderClockTest, WarnsOfAClockOffByMoreThanAllowed) {
  const TClockCase c = GetParam();
  line.Faults().Update([&](sim::TFaults& f) { f.clockOffsetMinutes = c.offsetMinutes; });
  settings.AllowedClockDiffMinutes = c.allowedMinutes;
  auto nodes = AddDevice(key, {{tidData, tidCurrent, 0x00}});
  Start();
  ASSERT_EQ(ReadDa({nodes[0]->Handle}).size(), 1u);
  EXPECT_EQ(logs.JournalCount("Внимание. Проверьте время. Прибор (12345678)"), c.warnings);
}

INSTANTIATE_TEST_SUITE_P(Clocks, ReaderClockTest,
                         ::testing::Values(TClockCase{0, 0, 0}, TClockCase{-5, 0, 1}, TClockCase{5, 0, 1},
                                           TClockCase{-5, 10, 0}, TClockCase{12, 10, 1}));

TEST_F(ReaderTest, FinalAsyncStopsAReaderInsideASlowExchange) {
  line.Faults().Update([](sim::TFaults& f) { f.replyDelayMs = 3'600'000; });
  auto nodes = AddDevice(key, {{tidData, tidCurrent, 0x00}});
  Start();
  const int32_t handles[] = {nodes[0]->Handle};
  ASSERT_TRUE(engine.DARead(owner, 5, true, nullptr, handles, engine.AllocTransaction(), 1));
  // Wait until the reader has asked the meter and sits waiting for the delayed reply.
  ASSERT_TRUE(Serve([&] { return !line.Exchanges().empty(); }));
  engine.FinalAsync();
  EXPECT_FALSE(engine.Running());
  EXPECT_EQ(engine.ActiveReaders(), 0);
}

}  // namespace
}  // namespace orvela::test
