#pragma once
// Making file writes fail on purpose, and running a step that might block in a child with a bound.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace orvela::test_files {

// Files of the calling process cannot grow beyond maxBytes while it lives: a write past it fails with
// EFBIG, as on a full disk.
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(rlim_t maxBytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    savedSignal_ = ::signal(SIGXFSZ, SIG_IGN);  // else the kernel kills the process instead of failing
    rlimit limit = saved_;
    limit.rlim_cur = maxBytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~TFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, savedSignal_);
  }
  TFileSizeLimit(const TFileSizeLimit&) = delete;
  TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  sighandler_t savedSignal_{};
};

// Runs step in a child process killed after boundSeconds: a step that blocks for good fails the test
// instead of hanging the suite. Returns the child's exit code, or -1 when it did not exit by itself.
inline int ExitCodeOfBounded(const std::function<int()>& step, unsigned boundSeconds = 30) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(boundSeconds);
    ::_exit(step());
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace orvela::test_files
