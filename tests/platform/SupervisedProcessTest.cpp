// The child the service keeps running: back-off, exec failures, stopping, a clean signal state.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "platform/SupervisedProcess.h"

namespace orvela {
namespace {

std::vector<std::string> Shell(const std::string& script) { return {"/bin/sh", "-c", script}; }

// A manual clock for back-off steps; stopping needs real (but 100x faster) time for the child to react.
struct TSupervised {
  ManualClock clock{0};
  ScaledClock fast{100};
  std::vector<std::string> log;
  TSupervisedProcess process;
  explicit TSupervised(std::vector<std::string> argv, bool realTime = false)
      : process(std::move(argv), realTime ? static_cast<Clock&>(fast) : clock,
                [this](const std::string& line) { log.push_back(line); }) {}
  // Polls (real time passing) until the child has been reaped.
  void WaitEnded() {
    for (int i = 0; i < 500 && process.Running(); ++i) {
      process.Poll();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(process.Running());
  }
};

TEST(SupervisedProcess, RestartsAfterBackoffThatDoublesAndResetsAfterAHealthyRun) {
  TSupervised s(Shell("exit 3"));
  ASSERT_TRUE(s.process.Start());
  const struct {
    int64_t ranMs, expectBackoffMs;
  } runs[] = {{0, 1000}, {0, 2000}, {0, 4000}, {0, 8000}, {0, 16000}, {0, 30000}, {0, 30000}, {60000, 1000}};
  for (const auto& run : runs) {
    s.clock.Advance(run.ranMs);
    s.WaitEnded();
    EXPECT_NE(s.log.back().find("exited with status 3"), std::string::npos) << s.log.back();
    const int starts = s.process.Starts();
    s.clock.Advance(run.expectBackoffMs - 1);
    s.process.Poll();
    EXPECT_EQ(s.process.Starts(), starts) << "restarted before " << run.expectBackoffMs << " ms";
    s.clock.Advance(1);
    s.process.Poll();
    EXPECT_EQ(s.process.Starts(), starts + 1) << "not restarted after " << run.expectBackoffMs << " ms";
  }
}

TEST(SupervisedProcess, ExecFailureIsReportedAndRetried) {
  TSupervised s({"/nonexistent/gateway-binary"});
  EXPECT_FALSE(s.process.Start());
  ASSERT_EQ(s.log.size(), 1u);
  EXPECT_NE(s.log[0].find("cannot start /nonexistent/gateway-binary: No such file or directory"), std::string::npos) << s.log[0];
  s.clock.Advance(1000);
  s.process.Poll();
  EXPECT_EQ(s.log.size(), 2u);
  EXPECT_EQ(s.process.Starts(), 0);
}

TEST(SupervisedProcess, StopTerminatesOrKillsAndNeverRestarts) {
  const struct {
    const char* script;
    const char* expectEnd;
  } cases[] = {
      {"exec sleep 30", "killed by signal SIGTERM"},
      {"trap '' TERM; while :; do sleep 0.01; done", "killed by signal SIGKILL"},
      {"exit 0", "exited with status 0"},  // already gone when stopped
  };
  for (const auto& c : cases) {
    TSupervised s(Shell(c.script), true);
    ASSERT_TRUE(s.process.Start());
    const pid_t pid = s.process.Pid();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the trap is set, "exit 0" is gone
    s.process.Stop();
    EXPECT_FALSE(s.process.Running());
    EXPECT_NE(s.log.back().find(c.expectEnd), std::string::npos) << c.script << ": " << s.log.back();
    EXPECT_EQ(::kill(pid, 0), -1) << c.script << ": child still there";
    s.process.Poll();
    s.process.Stop();
    EXPECT_EQ(s.process.Starts(), 1) << c.script;
  }
}

TEST(SupervisedProcess, ChildHasNoBlockedSignalsAndItsOwnProcessGroup) {
  sigset_t term, old;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &old);
  TSupervised s(Shell("exec sleep 30"), true);
  ASSERT_TRUE(s.process.Start());
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  EXPECT_EQ(::getpgid(s.process.Pid()), s.process.Pid());
  s.process.Stop();
  EXPECT_NE(s.log.back().find("SIGTERM"), std::string::npos) << s.log.back();
}

}  // namespace
}  // namespace orvela
