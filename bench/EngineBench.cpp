// The polling engine: the request queue alone against a device that answers at once, and one poll cycle
// of simulated Tarvel 2001 meters, each on its own TCP connection, against the time their exchanges spend
// on the wire.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "WireRelay.h"
#include "drivers/Tarvel2001Nodes.h"
#include "engine/AsyncReadRaw.h"
#include "engine/UReqOrder.h"
#include "links/TcpConnectionPort.h"
#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "tree/TreeItem.h"

namespace orvela::bench {
namespace {

const TDateTime kStart = EncodeDateTime(2024, 3, 2, 10, 20);
const int kOwnerTag = 0;
const TTaskOwner kOwner = &kOwnerTag;

// The logs are not what is measured.
class TQuietLogs final : public IEngineLogs {
 public:
  void Journal(const std::string&, const std::string&) override {}
  void WorkLog(const std::string&) override {}
  void OrderLog(const std::string&) override {}
};

// A device that answers at once: the reader returns every item of the run as soon as it is started, on
// the queue's own thread, the way a reader returns a synchronous read.
class TInstantReaders final : public IReaderLauncher {
 public:
  void Attach(TAsyncEngine& engine) { engine_ = &engine; }
  void StartReader(TConnOrder& order) override {
    {
      std::lock_guard lock(order.WorkMutex());
      for (auto& item : order.Work()) {
        for (auto& sub : item->SubItems) Return(order, *sub);
        if (item->SubItems.empty()) Put(*item);
        order.FinishItem(*item, S_OK);
      }
      order.Work().clear();
    }
    order.EndRun(TRunOutcome::Connected);
  }
  void StopAll() override {}

 private:
  void Return(TConnOrder& order, TDescThread& item) {
    Put(item);
    order.FinishItem(item, S_OK);
  }
  void Put(const TDescThread& item) {
    auto result = std::make_unique<TResultsDA>();
    result->TransactionNumber = item.TransactionNumber;
    result->ClientHandles.push_back(item.ClientHandle);
    result->Values.push_back(TVariant::Single(1.0f));
    result->Qualities.push_back(kQualityGood);
    result->TimeStamps.push_back(FILETIME{});
    result->Errors.push_back(S_OK);
    engine_->DeliverDaResult(std::move(result));
  }
  TAsyncEngine* engine_ = nullptr;
};

// Written as an append: g++ 12 at -O3 warns falsely about a literal + temporary string (-Wrestrict).
std::string Numbered(const char* prefix, int n) {
  std::string text(prefix);
  text += std::to_string(n);
  return text;
}

TConnKey TcpKey(const std::string& name, uint16_t port) {
  TConnKey key;
  key.ConnName = name;
  key.ConnType = static_cast<uint8_t>(TConnKind::TcpClient);
  key.ProtType = static_cast<uint8_t>(TProtKind::XModem);
  key.IP_Addr = "127.0.0.1";
  key.IP_Port = port;
  key.LinkAddress = BuildLinkAddress(key);
  return key;
}

TSettings FastSettings(int readers) {
  TSettings s = TSettings::Defaults();
  s.ReaderThreads = readers;
  s.QueuePauseMs = 0;
  s.StartPauseMs = 0;
  s.RequestPauseMs = 0;
  s.JournalEveryRequest = false;
  s.ChannelLog = false;
  return s;
}

// Reads until every result of the transaction is back, one queue cycle per pass; pauseMs between passes
// stands for the queue thread's pause.
void Collect(TAsyncEngine& engine, int32_t transaction, size_t expected, int pauseMs) {
  size_t got = 0;
  while (got < expected) {
    engine.QueueCycle();
    while (auto r = engine.TakeDaResult(transaction)) got += r->Count();
    if (pauseMs > 0 && got < expected) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  }
  engine.SetTransactionState(transaction, 0);
}

// ---- The queue alone

// range(0) connections, range(1) parameters of one device on each. Every iteration is one synchronous
// read of all of them, from the entry operation to the last result taken.
void BM_EngineQueueInstantDevice(benchmark::State& state) {
  const int connections = static_cast<int>(state.range(0));
  const int params = static_cast<int>(state.range(1));
  ManualClock clock(kStart);
  TQuietLogs logs;
  IEngineHost host;
  TTree tree;
  std::vector<int32_t> handles;
  for (int c = 0; c < connections; ++c) {
    TNTreeData* device = tree.AddChildNamed(tree.Root(), Numbered("Узел ", c + 1));
    device->Kind = nkDevice;
    device->ModelCode = mcTarvel2001;
    device->Serial = std::to_string(10'000'000 + c);
    TNTreeData* branch = tree.AddChildNamed(device, "Текущие");
    branch->Kind = nkBranch;
    branch->Serial = device->Serial;
    std::vector<TNTreeData*> leaves;
    for (int p = 0; p < params; ++p) {
      TNTreeData* leaf = tree.AddChildNamed(branch, Numbered("P", p));
      leaf->Kind = nkParameter;
      leaf->Serial = device->Serial;
      leaves.push_back(leaf);
    }
    TTree::SetConnectionKey(device, TcpKey(Numbered("Канал ", c + 1), static_cast<uint16_t>(4000 + c)));
  }
  tree.ShowTree(tree.Root(), nullptr, nullptr);
  tree.Renumber();
  for (TNTreeData* device : tree.Root()->Children)
    for (TNTreeData* leaf : device->Children.front()->Children) {
      leaf->ClientHandle = static_cast<int32_t>(handles.size());
      handles.push_back(leaf->Handle);
    }

  TInstantReaders readers;
  TAsyncEngine engine(tree, readers, logs, clock, host);
  readers.Attach(engine);
  engine.SetQueueThreadEnabled(false);
  engine.SetSettings(FastSettings(connections));
  engine.InitAsync();
  for (auto _ : state) {
    const int32_t tx = engine.AllocTransaction();
    if (!engine.DARead(kOwner, 1, true, nullptr, handles, tx, 1)) {
      state.SkipWithError("read refused");
      break;
    }
    Collect(engine, tx, handles.size(), 0);
  }
  engine.FinalAsync();
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(handles.size()));
}
BENCHMARK(BM_EngineQueueInstantDevice)
    ->ArgNames({"conns", "params"})
    ->Args({1, 1})
    ->Args({1, 1000})
    ->Args({1000, 1})
    ->Unit(benchmark::kMicrosecond);

// ---- One poll cycle over simulated meters

// Each connection's settings: the line does not echo.
class TCatalog final : public IConnectionCatalog {
 public:
  TConnSettings* FindSettings(const TConnKey& key) override {
    for (auto& s : settings)
      if (s.Key.LinkAddress == key.LinkAddress) return &s;
    return nullptr;
  }
  IChannelLog* FindOrder(const TConnKey&) override { return nullptr; }
  std::deque<TConnSettings> settings;
};

// One meter on one line behind one relay.
struct TMeterLine {
  TMeterLine(Clock& clock, const std::string& serial)
      : line(sim::TLineOptions{.clock = &clock, .promptIntervalMs = kPromptMs}) {
    line.AddDevice(sim::MakeDevice("tarvel2001", 1, serial));
    line.ListenTcp();
    relay = std::make_unique<TWireRelay>(line.Port());
  }
  ~TMeterLine() {
    relay.reset();
    line.Stop();
  }
  static constexpr int64_t kPromptMs = 100;
  sim::TLine line;
  std::unique_ptr<TWireRelay> relay;
};

// A Tarvel 2001 device with its current value 0x00, described by its driver as the operator would add it.
TNTreeData* AddMeter(TTree& tree, const TConnKey& key, const std::string& serial) {
  TNTreeData* device = tree.AddChildNamed(tree.Root(), "ТАРВЕЛ " + serial);
  device->Kind = nkDevice;
  device->Address = 1;
  device->ModelCode = mcTarvel2001;
  device->Serial = serial;
  TTCPConnectionPort spare;
  auto model = TTarvelFactory::CreateModel(mcTarvel2001, key, nullptr, &spare, {});
  TNTreeData* node = device;
  for (uint8_t id : {uint8_t{tidData}, uint8_t{tidCurrent}, uint8_t{0x00}}) {
    node = tree.AddChildNamed(node, Numbered("", id));
    node->Address = id;
    node->Kind = nkSubBranch;
    node->Serial = serial;
    std::string name;
    int kind = 0;
    model->DescribeNode(TIdPath::FromNode(node), *node, name, kind);
  }
  node->Kind = nkParameter;
  TTree::SetConnectionKey(device, key);
  return node;
}

// range(0) meters on as many connections, range(1) how many times faster than real time the clock runs
// (the links' fixed pauses and the meters' prompts shrink with it; the wire is timed in real time).
void BM_EnginePollCycleTarvel2001(benchmark::State& state) {
  const int meters = static_cast<int>(state.range(0));
  ScaledClock clock(static_cast<double>(state.range(1)), kStart);
  SetSystemClock(&clock);  // the links the readers make wait on it
  {
    TQuietLogs logs;
    IEngineHost host;
    TCatalog catalog;
    TTree tree;
    std::vector<std::unique_ptr<TMeterLine>> lines;
    std::vector<TNTreeData*> leaves;
    for (int i = 0; i < meters; ++i) {
      const std::string serial = std::to_string(20'000'000 + i);
      lines.push_back(std::make_unique<TMeterLine>(clock, serial));
      const TConnKey key = TcpKey(Numbered("Котельная ", i + 1), lines.back()->relay->Port());
      TConnSettings& s = catalog.settings.emplace_back();
      s.Key = key;
      s.EchoTested = 1;
      leaves.push_back(AddMeter(tree, key, serial));
    }
    tree.ShowTree(tree.Root(), nullptr, nullptr);
    tree.Renumber();
    std::vector<int32_t> handles;
    for (TNTreeData* leaf : leaves) {
      leaf->ClientHandle = static_cast<int32_t>(handles.size());
      handles.push_back(leaf->Handle);
    }

    TAsyncReaders readers(&catalog);
    TAsyncEngine engine(tree, readers, logs, clock, host);
    readers.Attach(engine);
    engine.SetQueueThreadEnabled(false);
    engine.SetSettings(FastSettings(meters));
    engine.InitAsync();
    double cycleS = 0, wireS = 0, longestS = 0;
    int64_t exchanges = 0, requests = 0;
    for (auto _ : state) {
      for (auto& l : lines) {
        l->relay->Reset();
        l->line.ClearExchanges();
      }
      const auto begin = std::chrono::steady_clock::now();
      const int32_t tx = engine.AllocTransaction();
      if (!engine.DARead(kOwner, 1, true, nullptr, handles, tx, 1)) {
        state.SkipWithError("read refused");
        break;
      }
      Collect(engine, tx, handles.size(), 1);
      // The cycle ends when the last reader has let its connection go.
      while (engine.ActiveReaders() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      engine.QueueCycle();
      cycleS += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
      for (auto& l : lines) {
        const double s = static_cast<double>(l->relay->WireNs()) * 1e-9;
        wireS += s;
        longestS = std::max(longestS, s);
        exchanges += l->relay->Exchanges();
        requests += static_cast<int64_t>(l->line.Exchanges().size());
      }
    }
    engine.FinalAsync();
    const double n = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.counters["cycle_s"] = cycleS / n;
    state.counters["wire_sum_s"] = wireS / n;
    state.counters["exchanges"] = static_cast<double>(exchanges) / n;
    // The requests the meters logged: the relay saw every exchange when the two agree.
    state.counters["meter_requests"] = static_cast<double>(requests) / n;
    state.counters["cycle_per_wire_sum"] = wireS > 0 ? cycleS / wireS : 0;
    // Against one connection's share of the wire: 1 would be every meter read at once, no time lost.
    state.counters["cycle_per_conn_wire"] = wireS > 0 ? cycleS / (wireS / meters) : 0;
    state.counters["longest_conn_wire_s"] = longestS;
  }
  SetSystemClock(nullptr);
}
BENCHMARK(BM_EnginePollCycleTarvel2001)
    ->ArgNames({"meters", "speedup"})
    ->Args({10, 1})
    ->Args({100, 1})
    ->Args({100, 10})
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace orvela::bench
