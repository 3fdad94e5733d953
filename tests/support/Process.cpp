#include "support/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace orvela::test {

namespace {

using SteadyClock = std::chrono::steady_clock;

int MsLeft(SteadyClock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Owns the spawn attributes for the length of one posix_spawn call.
struct TSpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  TSpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~TSpawnSetup() {
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
  }
};

}  // namespace

TProcess::TProcess(std::vector<std::string> argv, TProcessOptions options)
    : ownGroup_(options.ownGroup), input_(std::move(options.input)) {
  if (argv.empty()) {
    startError_ = "no program named";
    return;
  }
  TSpawnSetup setup;
  int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
  if (options.stdioFd >= 0) {
    posix_spawn_file_actions_adddup2(&setup.actions, options.stdioFd, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, options.stdioFd, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&setup.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  } else {
    if (::pipe2(inPipe, O_CLOEXEC) != 0 || ::pipe2(outPipe, O_CLOEXEC) != 0 ||
        ::pipe2(errPipe, O_CLOEXEC) != 0) {
      startError_ = std::string("pipe: ") + std::strerror(errno);
      for (int* p : {inPipe, outPipe, errPipe}) CloseFd(p[0]), CloseFd(p[1]);
      return;
    }
    posix_spawn_file_actions_adddup2(&setup.actions, inPipe[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, errPipe[1], STDERR_FILENO);
  }
  if (ownGroup_) {
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&setup.attr, 0);
  }
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  const int rc = ::posix_spawn(&pid_, args[0], &setup.actions, &setup.attr, args.data(), environ);
  if (rc != 0) {
    pid_ = -1;
    startError_ = argv[0] + ": " + std::strerror(rc);
  }
  CloseFd(inPipe[0]);
  CloseFd(outPipe[1]);
  CloseFd(errPipe[1]);
  in_ = inPipe[1];
  out_ = outPipe[0];
  err_ = errPipe[0];
  if (in_ >= 0) {
    ::fcntl(in_, F_SETFL, ::fcntl(in_, F_GETFL) | O_NONBLOCK);
    // A program that never reads its input must not stop the test on SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    if (input_.empty()) CloseInput();
  }
  if (pid_ < 0) {
    CloseInput();
    CloseFd(out_);
    CloseFd(err_);
  }
}

TProcess::~TProcess() {
  Kill();
  CloseInput();
  CloseFd(out_);
  CloseFd(err_);
}

void TProcess::CloseInput() {
  CloseFd(in_);
}

// Moves whatever is ready within timeoutMs between the pipes and the buffers; false when nothing is left
// to move (every pipe closed) or the time ran out.
bool TProcess::Pump(int timeoutMs) {
  pollfd fds[3];
  int* owners[3];
  nfds_t n = 0;
  for (int* fd : {&out_, &err_}) {
    if (*fd < 0) continue;
    fds[n] = {*fd, POLLIN, 0};
    owners[n++] = fd;
  }
  if (in_ >= 0) {
    fds[n] = {in_, POLLOUT, 0};
    owners[n++] = &in_;
  }
  if (n == 0 || ::poll(fds, n, timeoutMs) <= 0) return false;
  for (nfds_t i = 0; i < n; ++i) {
    if (fds[i].revents == 0) continue;
    if (owners[i] == &in_) {
      ssize_t sent = ::write(in_, input_.data() + inputSent_, input_.size() - inputSent_);
      if (sent > 0) inputSent_ += static_cast<size_t>(sent);
      if (sent < 0 || inputSent_ == input_.size()) CloseInput();
      continue;
    }
    char chunk[4096];
    ssize_t got = ::read(*owners[i], chunk, sizeof chunk);
    if (got <= 0) {
      CloseFd(*owners[i]);
      continue;
    }
    (owners[i] == &out_ ? out_buffer_ : err_buffer_).append(chunk, static_cast<size_t>(got));
  }
  return true;
}

std::optional<std::string> TProcess::ReadLine(int timeoutMs) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (size_t end = out_buffer_.find('\n'); end != std::string::npos) {
      std::string line = out_buffer_.substr(0, end);
      out_buffer_.erase(0, end + 1);
      return line;
    }
    if (out_ < 0 || !Pump(MsLeft(deadline))) {
      if (out_ < 0 || MsLeft(deadline) == 0) return std::nullopt;
    }
  }
}

TProcessResult TProcess::Finish(int timeoutMs) {
  TProcessResult result;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  while ((out_ >= 0 || err_ >= 0 || in_ >= 0) && MsLeft(deadline) > 0) Pump(MsLeft(deadline));
  // Output closed: the program is ending; give it what is left of the time to do so.
  while (Running() && MsLeft(deadline) > 0) ::poll(nullptr, 0, std::min(MsLeft(deadline), 5));
  result.timedOut = Running();
  Kill();
  result.exitCode = WIFEXITED(status_) && !result.timedOut ? WEXITSTATUS(status_) : -1;
  result.out = std::move(out_buffer_);
  result.err = std::move(err_buffer_);
  out_buffer_.clear();
  err_buffer_.clear();
  return result;
}

bool TProcess::Running() {
  if (pid_ <= 0) return false;
  const pid_t reaped = ::waitpid(pid_, &status_, WNOHANG);
  if (reaped == pid_ || reaped < 0) pid_ = -1;
  return pid_ > 0;
}

void TProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(ownGroup_ ? -pid_ : pid_, SIGKILL);
  ::waitpid(pid_, &status_, 0);
  pid_ = -1;
}

TProcessResult RunProgram(std::vector<std::string> argv, const std::string& input, int timeoutMs) {
  TProcessOptions options;
  options.input = input;
  options.ownGroup = true;  // a time-out also stops what it started
  TProcess process(std::move(argv), options);
  if (!process.Started()) {
    TProcessResult result;
    result.err = process.StartError();
    return result;
  }
  return process.Finish(timeoutMs);
}

TProcessResult RunShell(const std::string& command, int timeoutMs) {
  return RunProgram({"/bin/sh", "-c", command}, "", timeoutMs);
}

}  // namespace orvela::test
