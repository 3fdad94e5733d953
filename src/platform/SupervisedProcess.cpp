#include "platform/SupervisedProcess.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace orvela {
namespace {

constexpr int64_t kStopPollMs = 20;

bool Executable(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The program's path, resolved before fork: the child may call only async-signal-safe functions.
std::string ResolveProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (Executable(candidate)) return candidate;
  }
  return name;
}

std::string EndText(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const char* name = sigabbrev_np(WTERMSIG(status));
    return name ? std::string("killed by signal SIG") + name : "killed by signal " + std::to_string(WTERMSIG(status));
  }
  return "ended";
}

// In the child between fork and exec: a clean signal state, its own process group, and death with the
// parent. Reports a failed exec through the pipe and never returns.
[[noreturn]] void ExecChild(const std::string& program, char* const* argv, int errorPipe, pid_t parent) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGTERM, SIGINT, SIGPIPE, SIGHUP}) signal(sig, SIG_DFL);
  setpgid(0, 0);
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(127);  // the parent died before prctl took effect
  execv(program.c_str(), argv);
  const int error = errno;
  [[maybe_unused]] ssize_t written = write(errorPipe, &error, sizeof error);
  _exit(127);
}

}  // namespace

TSupervisedProcess::TSupervisedProcess(std::vector<std::string> argv, Clock& clock, TLog log,
                                       TSupervision supervision)
    : argv_(std::move(argv)), clock_(clock), log_(std::move(log)), supervision_(supervision) {
  backoffMs_ = supervision_.firstBackoffMs;
}

TSupervisedProcess::~TSupervisedProcess() {
  Stop();
}

bool TSupervisedProcess::Start() {
  if (stopped_ || pid_ > 0) return pid_ > 0;
  return Spawn();
}

bool TSupervisedProcess::Spawn() {
  if (argv_.empty()) return false;
  const std::string program = ResolveProgram(argv_[0]);
  std::vector<char*> args;
  for (std::string& arg : argv_) args.push_back(arg.data());
  args.push_back(nullptr);
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    log_("cannot start " + argv_[0] + ": " + std::strerror(errno));
    return false;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) ExecChild(program, args.data(), pipeFds[1], parent);
  ::close(pipeFds[1]);
  int error = 0;
  ssize_t got = -1;
  if (pid > 0) {
    do got = ::read(pipeFds[0], &error, sizeof error);
    while (got < 0 && errno == EINTR);
  } else {
    error = errno;
  }
  ::close(pipeFds[0]);
  if (pid > 0 && got == static_cast<ssize_t>(sizeof error)) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (pid < 0 || got == static_cast<ssize_t>(sizeof error)) {
    const int64_t delay = Schedule();
    log_("cannot start " + program + ": " + std::strerror(error) + "; next try in " + std::to_string(delay) + " ms");
    return false;
  }
  pid_ = pid;
  ++starts_;
  startedAt_ = clock_.TickMs();
  return true;
}

int64_t TSupervisedProcess::Schedule() {
  const int64_t delay = backoffMs_;
  nextStartAt_ = clock_.TickMs() + delay;
  backoffMs_ = std::min(backoffMs_ * 2, supervision_.maxBackoffMs);
  return delay;
}

void TSupervisedProcess::Ended(int status) {
  std::string text = argv_[0] + " (pid " + std::to_string(pid_) + ") " + EndText(status);
  pid_ = 0;
  if (clock_.TickMs() - startedAt_ >= supervision_.steadyMs) backoffMs_ = supervision_.firstBackoffMs;
  if (!stopped_) text += "; next start in " + std::to_string(Schedule()) + " ms";
  log_(text);
}

bool TSupervisedProcess::Reap(int options) {
  int status = 0;
  pid_t got;
  do got = waitpid(pid_, &status, options);
  while (got < 0 && errno == EINTR);
  if (got == 0) return false;
  if (got < 0) status = 0;  // not our child any more: treat it as gone
  Ended(status);
  return true;
}

void TSupervisedProcess::Poll() {
  if (pid_ > 0) Reap(WNOHANG);
  if (pid_ == 0 && !stopped_ && clock_.TickMs() >= nextStartAt_) Spawn();
}

void TSupervisedProcess::Stop() {
  if (stopped_) return;
  stopped_ = true;
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const int64_t deadline = clock_.TickMs() + supervision_.stopGraceMs;
  while (!Reap(WNOHANG)) {
    if (clock_.TickMs() >= deadline) {
      log_(argv_[0] + " (pid " + std::to_string(pid_) + ") did not end on SIGTERM: killing it");
      ::kill(-pid_, SIGKILL);
      ::kill(pid_, SIGKILL);
      Reap(0);
      return;
    }
    clock_.Sleep(kStopPollMs);
  }
}

}  // namespace orvela
