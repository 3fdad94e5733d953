// ModBus RTU transactions per second over loopback TCP against one libmodbus RTU slave (on a
// pseudo-terminal that socat joins to TCP): this program's framing on its TCP link beside libmodbus's own
// RTU client (on a second pseudo-terminal that socat joins to the same kind of TCP connection). Each
// iteration runs one transaction of each, so both figures and their ratio come from one run.
//
// The framing runs on its link's clock: on the real clock the link's fixed pauses around every send
// dominate; the scaled run (10 times faster) shows what is left of them.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "links/TcpConnectionPort.h"
#include "platform/Clock.h"
#include "protocols/ModBusProtocol.h"

// After the server's own headers: libmodbus defines TRUE and FALSE as macros.
#include <modbus.h>
#undef TRUE
#undef FALSE

extern char** environ;

namespace orvela::bench {
namespace {

constexpr uint8_t kSlave = 17;
constexpr int kRegisters = 10;

// A shell command in its own process group, killed with its group when it goes.
class TShell {
 public:
  explicit TShell(const std::string& command) {
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    std::string c = command;
    char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), c.data(), nullptr};
    if (posix_spawn(&pid_, "/bin/sh", nullptr, &attr, argv, environ) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attr);
  }
  ~TShell() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  TShell(const TShell&) = delete;
  TShell& operator=(const TShell&) = delete;

 private:
  pid_t pid_ = -1;
};

void WaitFor(const std::filesystem::path& file) {
  for (int i = 0; i < 500 && !std::filesystem::exists(file); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// One libmodbus RTU slave behind a TCP port; it serves one connection.
class TPeer {
 public:
  TPeer(const std::filesystem::path& dir, int port)
      : tty_(dir / ("slave" + std::to_string(port))),
        shell_("socat TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr PTY,link=" +
               tty_.string() + ",rawer 2>/dev/null & i=0; while [ ! -e " + tty_.string() +
               " ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done; exec " ORVELA_MODBUS_SLAVE " " +
               tty_.string() + " " + std::to_string(kSlave) + " 2>/dev/null") {}

 private:
  std::filesystem::path tty_;
  TShell shell_;
};

int FreePort(int offset) {
  return 20000 + static_cast<int>(::getpid() % 20000) + offset;
}

std::filesystem::path TempDir() {
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("orvela-modbus-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  return dir;
}

// A slave answers once it has opened its line: until then a client's requests go unanswered.
template <class TClient>
bool Ready(TClient& client) {
  for (int i = 0; i < 50; ++i) {
    if (client.Read()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// Read holding registers 0..9 through our framing.
class TOurClient {
 public:
  TOurClient(int port, Clock& clock) : link_(&settings_, clock) {
    settings_.EchoTested = 1;
    link_.SetAddress("127.0.0.1:" + std::to_string(port));
    framing_.SetLink(&link_);
    framing_.SetRequestPauseMs(0);
  }
  bool Read() {
    const uint8_t request[] = {kSlave, 0x03, 0x00, 0x00, 0x00, kRegisters};
    return framing_.Transact(modbus::kCodeWireOrder, request, buffer_) == 0;
  }

 private:
  TConnSettings settings_;
  TTCPConnectionPort link_;
  ModBusProtocol framing_;
  TBytes buffer_ = TBytes(modbus::kTransactBufferSize, 0xFF);
};

// The same read through libmodbus's RTU client on a pseudo-terminal that socat joins to TCP.
class TLibClient {
 public:
  TLibClient(const std::filesystem::path& dir, int port)
      : tty_(dir / ("client" + std::to_string(port))),
        shell_("exec socat PTY,link=" + tty_.string() + ",rawer TCP:127.0.0.1:" + std::to_string(port) +
               ",retry=100,interval=0.05" + " 2>/dev/null") {
    WaitFor(tty_);
    ctx_ = modbus_new_rtu(tty_.c_str(), 115200, 'N', 8, 1);
    if (ctx_ == nullptr) return;
    modbus_set_slave(ctx_, kSlave);
    modbus_set_response_timeout(ctx_, 1, 0);
    if (modbus_connect(ctx_) != 0) {
      modbus_free(ctx_);
      ctx_ = nullptr;
    }
  }
  ~TLibClient() {
    if (ctx_ == nullptr) return;
    modbus_close(ctx_);
    modbus_free(ctx_);
  }
  TLibClient(const TLibClient&) = delete;
  TLibClient& operator=(const TLibClient&) = delete;

  bool Read() {
    uint16_t registers[kRegisters];
    return ctx_ != nullptr && modbus_read_registers(ctx_, 0, kRegisters, registers) == kRegisters;
  }

 private:
  std::filesystem::path tty_;
  TShell shell_;
  modbus_t* ctx_ = nullptr;
};

void RunBoth(benchmark::State& state, Clock& clock) {
  if (std::system("command -v socat >/dev/null 2>&1") != 0) {
    state.SkipWithError("socat is not installed");
    return;
  }
  const std::filesystem::path dir = TempDir();
  const int ourPort = FreePort(static_cast<int>(state.range(0)) * 2);
  const int libPort = ourPort + 1;
  TPeer ourPeer(dir, ourPort), libPeer(dir, libPort);
  TOurClient ours(ourPort, clock);
  TLibClient lib(dir, libPort);
  if (!Ready(ours)) {
    state.SkipWithError("the framing never got an answer from its slave");
    return;
  }
  if (!Ready(lib)) {
    state.SkipWithError("libmodbus never got an answer from its slave");
    return;
  }
  using Steady = std::chrono::steady_clock;
  Steady::duration ourTime{}, libTime{};
  int64_t failures = 0;
  for (auto _ : state) {
    auto t0 = Steady::now();
    failures += ours.Read() ? 0 : 1;
    auto t1 = Steady::now();
    failures += lib.Read() ? 0 : 1;
    auto t2 = Steady::now();
    ourTime += t1 - t0;
    libTime += t2 - t1;
    state.SetIterationTime(std::chrono::duration<double>(t2 - t0).count());
  }
  const double n = static_cast<double>(state.iterations());
  const double ourRate = n / std::chrono::duration<double>(ourTime).count();
  const double libRate = n / std::chrono::duration<double>(libTime).count();
  state.counters["ours_tx_per_s"] = ourRate;
  state.counters["libmodbus_tx_per_s"] = libRate;
  state.counters["ours_to_libmodbus"] = ourRate / libRate;
  state.counters["failures"] = static_cast<double>(failures);
  std::filesystem::remove_all(dir);
}

void BM_ModBusReadRegisters_RealClock(benchmark::State& state) {
  RealClock clock;
  RunBoth(state, clock);
}
BENCHMARK(BM_ModBusReadRegisters_RealClock)
    ->Arg(0)
    ->UseManualTime()
    ->Iterations(30)
    ->Unit(benchmark::kMillisecond);

void BM_ModBusReadRegisters_ScaledClock10(benchmark::State& state) {
  ScaledClock clock(10);
  RunBoth(state, clock);
}
BENCHMARK(BM_ModBusReadRegisters_ScaledClock10)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(100)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace orvela::bench
