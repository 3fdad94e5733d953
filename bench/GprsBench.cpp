// Inbound GPRS connections on loopback: how fast the listener takes 200 field modems that connect at once,
// how many meter reads a minute kind-5 wait-only links make over the sockets those modems connected with,
// and what the listener holds in memory per connected modem. Field modems and meters are metersim's, in
// this process, on the real clock.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "drivers/DataModel.h"
#include "drivers/TarvelFactory.h"
#include "links/TcpConnectionServer.h"
#include "metersim/DeviceFactory.h"
#include "metersim/FieldModem.h"
#include "metersim/Line.h"

namespace orvela::bench {
namespace {

constexpr int kModems = 200;
constexpr long long kFirstNumber = 9170000000LL;
// Every wait of the set-up is bounded: a benchmark that cannot connect its modems says so.
constexpr int64_t kSetUpLimitMs = 60'000;

using Steady = std::chrono::steady_clock;

double SecondsSince(Steady::time_point start) {
  return std::chrono::duration<double>(Steady::now() - start).count();
}

std::string Number(int index) {
  return std::to_string(kFirstNumber + index);
}

std::shared_ptr<TAsyncTCP> StartListener() {
  TListenerOptions options;
  options.port = 0;
  options.bindAddress = "127.0.0.1";
  auto listener = std::make_shared<TAsyncTCP>(options);
  return listener->Start() ? listener : nullptr;
}

// Polls the condition on the clock every millisecond, up to the set-up limit.
template <class Pred>
bool WaitFor(Pred pred) {
  Clock& clock = SystemClock();
  const int64_t end = clock.TickMs() + kSetUpLimitMs;
  while (!pred()) {
    if (clock.TickMs() >= end) return false;
    clock.Sleep(1);
  }
  return true;
}

// The modems of the bank, of one module kind (0: both, alternately), each connecting on its own at once.
// Wired: the meters' idle prompts reach the server before it sends, as a meter on a real modem's serial
// port does.
std::unique_ptr<sim::TFieldModems> FieldModems(uint16_t listenerPort, uint16_t meterPort, bool wired,
                                               int moduleKind) {
  auto bank = std::make_unique<sim::TFieldModems>(
      sim::TFieldModemOptions{.serverPort = listenerPort, .meterPort = meterPort});
  for (int i = 0; i < kModems; ++i) {
    sim::TFieldModemSpec spec;
    spec.number = Number(i);
    spec.moduleKind = moduleKind != 0 ? moduleKind : i % 2 + 1;
    spec.timerMs = 1;
    spec.wired = wired;
    bank->Add(spec);
  }
  return bank;
}

// ---- Connections: from the modems' start until all of them are in the listener's table

// range(0): the modules' kind. Old modules are filed after the listener's 100 ms of quiet behind the
// number; new ones as soon as their two bytes follow it.
void BM_GprsConnect200(benchmark::State& state) {
  double seconds = 0;
  for (auto _ : state) {
    std::shared_ptr<TAsyncTCP> listener = StartListener();
    if (!listener) {
      state.SkipWithError("the listener did not start");
      break;
    }
    std::unique_ptr<sim::TFieldModems> bank =
        FieldModems(listener->Port(), 0, false, static_cast<int>(state.range(0)));
    const Steady::time_point start = Steady::now();
    bank->Start();
    const bool all = WaitFor([&] { return listener->ClientCount() == kModems; });
    const double s = SecondsSince(start);
    state.SetIterationTime(s);
    seconds += s;
    bank->Stop();
    listener->Stop();
    if (!all) {
      state.SkipWithError("not every modem reached the listener's table");
      break;
    }
  }
  const double n = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  state.counters["connected_per_min"] = seconds > 0 ? kModems * n * 60.0 / seconds : 0;
  state.SetItemsProcessed(state.iterations() * kModems);
}
BENCHMARK(BM_GprsConnect200)
    ->ArgName("module")
    ->Arg(2)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

// ---- Reads: every connected modem's meter read once per iteration by range(0) reader threads

TConnSettings WaitOnlySettings() {
  TConnSettings settings = TConnSettings::Defaults();
  settings.Key.ConnName = "GPRS";
  settings.Key.ConnType = static_cast<uint8_t>(TConnKind::InboundGprs);
  settings.EchoTested = 1;
  settings.ModemMode = TTCPConnectionServer::kWaitOnlyMode;
  settings.BaudRate = 1;  // minutes to wait for a modem that is not connected
  return settings;
}

// Where a read's time goes, summed over the reads of a pass.
struct TReadTimes {
  std::atomic<int64_t> ok{0}, failed{0}, connectNs{0}, exchangeNs{0};
};

int64_t NsSince(Steady::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now() - start).count();
}

// One read as a reader thread makes it: a link takes the modem's socket (Connect), the meter's device
// list is read (one request and its reply over the framing), and the link lets the modem go for the next
// read.
void ReadMeter(TConnSettings& settings, const std::shared_ptr<TAsyncTCP>& listener, int index,
               TReadTimes& times) {
  TTCPConnectionServer link(&settings, SystemClock(), SystemCommBackend(), listener);
  std::string address(":");  // wait-only: no GSM modem port
  address += Number(index);  // an append: g++ 12 at -O3 warns falsely about ":" + temporary (-Wrestrict)
  Steady::time_point start = Steady::now();
  bool ok = link.SetAddress(address) && link.Connect();
  times.connectNs += NsSince(start);
  start = Steady::now();
  if (ok) {
    std::unique_ptr<TDataModel> scan =
        TTarvelFactory::CreateScanModel(static_cast<uint8_t>(TProtKind::XModem), &link, nullptr,
                                        TModelEnvironment{TSettings::Defaults(), false, nullptr});
    TRListData list;
    ok = scan && scan->ReadDeviceList(list) && list.Ids == std::vector<uint8_t>{1};
  }
  times.exchangeNs += NsSince(start);
  ++(ok ? times.ok : times.failed);
}

void BM_GprsRead200(benchmark::State& state) {
  const int readers = static_cast<int>(state.range(0));
  sim::TLine line(sim::TLineOptions{.promptIntervalMs = 100});
  line.AddDevice(sim::MakeDevice("tarvel2001", 1, "12345678"));
  line.ListenTcp();
  std::shared_ptr<TAsyncTCP> listener = StartListener();
  if (!listener) {
    state.SkipWithError("the listener did not start");
    return;
  }
  std::unique_ptr<sim::TFieldModems> bank = FieldModems(listener->Port(), line.Port(), true, 0);
  bank->Start();
  if (!WaitFor([&] { return listener->ClientCount() == kModems; })) {
    state.SkipWithError("not every modem reached the listener's table");
    return;
  }
  TConnSettings settings = WaitOnlySettings();
  TReadTimes times;
  double wallSeconds = 0;
  for (auto _ : state) {
    const Steady::time_point pass = Steady::now();
    std::atomic<int> next{0};
    {
      std::vector<std::jthread> threads;
      for (int r = 0; r < readers; ++r)
        threads.emplace_back([&] {
          for (int i = next++; i < kModems; i = next++) ReadMeter(settings, listener, i, times);
        });
    }
    wallSeconds += SecondsSince(pass);
  }
  const double reads = static_cast<double>(std::max<int64_t>(times.ok + times.failed, 1));
  state.counters["reads_per_min"] = wallSeconds > 0 ? static_cast<double>(times.ok) * 60.0 / wallSeconds : 0;
  state.counters["failed"] = static_cast<double>(times.failed);
  state.counters["connect_s"] = static_cast<double>(times.connectNs) * 1e-9 / reads;
  state.counters["exchange_s"] = static_cast<double>(times.exchangeNs) * 1e-9 / reads;
  state.counters["still_connected"] = static_cast<double>(listener->ClientCount());
  bank->Stop();
  listener->Stop();
  line.Stop();
}
BENCHMARK(BM_GprsRead200)
    ->ArgName("readers")
    ->Arg(10)
    ->Arg(50)
    ->Arg(200)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// ---- Memory: the listener's heap and resident set with no modem and with range(0) connected

// Bytes the process's allocator has handed out (every arena).
double HeapInUse() {
  return static_cast<double>(mallinfo2().uordblks);
}

double ResidentBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) * 1024.0;
  return 0;
}

// A modem reduced to its socket: connects and announces its number, holding nothing on this process's heap,
// so the growth measured is the listener's.
int ConnectAndAnnounce(uint16_t port, int index) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  uint8_t announcement[12];
  const std::string number = Number(index);
  for (size_t i = 0; i < number.size(); ++i) announcement[i] = static_cast<uint8_t>(number[i] - '0');
  announcement[10] = 3;  // a new module: filed without the quiet window
  announcement[11] = 7;
  if (::send(fd, announcement, sizeof announcement, MSG_NOSIGNAL) != sizeof announcement) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void BM_GprsListenerMemory(benchmark::State& state) {
  const int modems = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::shared_ptr<TAsyncTCP> listener = StartListener();
    if (!listener) {
      state.SkipWithError("the listener did not start");
      break;
    }
    std::vector<int> sockets;
    sockets.reserve(static_cast<size_t>(modems));
    malloc_trim(0);
    const double heapBefore = HeapInUse(), rssBefore = ResidentBytes();
    const Steady::time_point start = Steady::now();
    for (int i = 0; i < modems; ++i) sockets.push_back(ConnectAndAnnounce(listener->Port(), i));
    const bool all = WaitFor([&] { return listener->ClientCount() == static_cast<size_t>(modems); });
    const double seconds = SecondsSince(start);
    malloc_trim(0);
    const double heap = HeapInUse() - heapBefore, rss = ResidentBytes() - rssBefore;
    for (int fd : sockets)
      if (fd >= 0) ::close(fd);
    listener->Stop();
    if (!all) {
      state.SkipWithError("not every modem reached the listener's table");
      break;
    }
    state.counters["heap_per_modem_B"] = heap / modems;
    state.counters["rss_per_modem_B"] = rss / modems;
    // The listener's own pace: these modems cost nothing but their connect and one send each.
    state.counters["connected_per_min"] = seconds > 0 ? modems * 60.0 / seconds : 0;
  }
}
BENCHMARK(BM_GprsListenerMemory)->Arg(200)->Arg(2000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace orvela::bench
