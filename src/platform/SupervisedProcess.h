#pragma once
// A child program kept running: started with its own process group and a clean signal mask, restarted
// with a growing back-off when it ends, stopped with SIGTERM (then SIGKILL) when its owner goes. The owner
// calls Poll from its loop; every wait is measured on the injectable clock.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Clock.h"

namespace orvela {

struct TSupervision {
  int64_t firstBackoffMs = 1000;  // after the first end
  int64_t maxBackoffMs = 30000;   // doubling stops here
  int64_t steadyMs = 60000;       // a child that ran this long starts the back-off afresh
  int64_t stopGraceMs = 5000;     // SIGTERM to SIGKILL
};

class TSupervisedProcess {
 public:
  using TLog = std::function<void(const std::string&)>;

  // argv[0] is looked up on PATH unless it holds a '/'.
  TSupervisedProcess(std::vector<std::string> argv, Clock& clock, TLog log, TSupervision supervision = {});
  ~TSupervisedProcess();
  TSupervisedProcess(const TSupervisedProcess&) = delete;
  TSupervisedProcess& operator=(const TSupervisedProcess&) = delete;

  // Starts the child now; false (logged, and retried by Poll after the back-off) when it cannot run.
  bool Start();
  // Reaps a child that ended and starts the next one when its back-off is over. Never blocks.
  void Poll();
  // SIGTERM, up to stopGraceMs for it to end, then SIGKILL; no restart afterwards. Idempotent.
  void Stop();

  pid_t Pid() const { return pid_; }  // 0 while none runs
  bool Running() const { return pid_ > 0; }
  int Starts() const { return starts_; }

 private:
  bool Spawn();
  void Ended(int status);
  int64_t Schedule();  // the delay before the next start; the one after it doubles
  bool Reap(int options);

  std::vector<std::string> argv_;
  Clock& clock_;
  TLog log_;
  TSupervision supervision_;
  pid_t pid_ = 0;
  int starts_ = 0;
  bool stopped_ = false;
  int64_t startedAt_ = 0;
  int64_t nextStartAt_ = 0;
  int64_t backoffMs_ = 0;
};

}  // namespace orvela
