// The built orvelactl scans a line served by an emulator of the maker's meters that was written apart
// from the program's framing, drivers and metersim.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tree/ConfigFiles.h"
#include "tree/ConnectionList.h"

extern char** environ;

namespace orvela {
namespace {

namespace fs = std::filesystem;
using Deadline = std::chrono::steady_clock::time_point;

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kEmulator = ORVELA_TEST_DATA "/tarvel_emulator.py";
constexpr const char* kOrvelactl = ORVELA_BINARY_DIR "/tools/orvelactl";

// A child process whose standard output is read through a pipe; stopped and reaped when dropped.
class TChild {
 public:
  explicit TChild(std::vector<std::string> argv) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~TChild() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      Reap();
    }
    if (out_ >= 0) ::close(out_);
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  bool Started() const { return pid_ > 0; }

  // The next line of output without its newline; none at the end of output or at the deadline.
  std::optional<std::string> ReadLine(Deadline deadline) {
    for (;;) {
      if (size_t end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      if (!ReadMore(deadline)) return std::nullopt;
    }
  }

  // All output up to the child's end; false when the deadline came first.
  bool ReadAll(Deadline deadline, std::string& out) {
    while (ReadMore(deadline)) {
    }
    out = std::move(buffer_);
    buffer_.clear();
    return !timedOut_;
  }

  // The exit code once the child has ended (after ReadAll saw the end of its output); -1 when it did
  // not exit normally.
  int Wait() {
    int status = Reap();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  bool ReadMore(Deadline deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd fd{out_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
      timedOut_ = true;
      return false;
    }
    char chunk[4096];
    ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }

  int Reap() {
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) pid_ = -1;
    return status;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  bool timedOut_ = false;
};

Deadline In(std::chrono::seconds seconds) {
  return std::chrono::steady_clock::now() + seconds;
}

class ScanEmulator : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kPython, X_OK) != 0) GTEST_SKIP() << kPython << " is not installed";
    ASSERT_EQ(::access(kOrvelactl, X_OK), 0) << kOrvelactl << " is not built (target orvelactl)";
    emulator = std::make_unique<TChild>(std::vector<std::string>{kPython, kEmulator, "--port", "0",
                                                                 "--device", "tarvel2001:1:12345678",
                                                                 "--device", "tarvelf:2:87654321"});
    ASSERT_TRUE(emulator->Started());
    std::optional<std::string> listening = emulator->ReadLine(In(std::chrono::seconds(10)));
    ASSERT_TRUE(listening && listening->starts_with("LISTENING ")) << listening.value_or("no output");
    port = listening->substr(std::string("LISTENING ").size());

    dir = fs::path(::testing::TempDir()) / ("scan_emulator_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    TConnectionList list;
    TConnRow row;
    row.Enabled = true;
    row.Columns = {"Эмулятор", "XModem", "", "", "127.0.0.1", port, "", "3"};
    row.Settings = TConnSettings::Defaults();
    list.Rows.push_back(row);
    WriteConfigFile(dir / kConnectionFileName, EncodeConnectionList(list));
  }
  void TearDown() override {
    emulator.reset();
    if (!dir.empty()) fs::remove_all(dir);
  }

  std::unique_ptr<TChild> emulator;
  std::string port;
  fs::path dir;
};

TEST_F(ScanEmulator, ListsBothMetersWithModelAndSerial) {
  TChild scan({kOrvelactl, "scan", "--dir", dir.string(), "--conn", "Эмулятор", "--json"});
  ASSERT_TRUE(scan.Started());
  std::string out;
  // The link's own pauses make a scan of two meters take seconds; the limit only stops a hung exchange.
  ASSERT_TRUE(scan.ReadAll(In(std::chrono::seconds(60)), out)) << "scan did not finish: " << out;
  ASSERT_EQ(scan.Wait(), 0) << out;
  auto expected = nlohmann::json::parse(R"([{"address": 1, "model": 2, "serial": "12345678"},
                                            {"address": 2, "model": 3, "serial": "87654321"}])");
  EXPECT_EQ(nlohmann::json::parse(out, nullptr, false), expected) << out;
}

}  // namespace
}  // namespace orvela
