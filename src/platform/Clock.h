#pragma once
// The one injectable clock: every wait, poll and time-out of the system goes through it, so tests of
// retries and time-outs run in milliseconds while production keeps real timings.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>

#include "platform/DateTime.h"

namespace orvela {

class Clock {
 public:
  virtual ~Clock() = default;
  // Current local and UTC date-time.
  virtual TDateTime Now() const = 0;
  virtual TDateTime NowUtc() const = 0;
  // Monotonic milliseconds, in the clock's own (possibly scaled) time.
  virtual int64_t TickMs() const = 0;
  // Sleeps for ms of the clock's time; returns false early when the stop token is triggered.
  virtual bool Sleep(int64_t ms, std::stop_token stop = {}) = 0;
  // Real milliseconds to block in an operating-system call (poll, select) for ms of the clock's time.
  virtual int RealWaitMs(int64_t ms) const = 0;
  // Waits on a condition variable for at most ms of the clock's time or until pred holds.
  template <class Pred>
  bool WaitFor(std::condition_variable_any& cv, std::unique_lock<std::mutex>& lock, int64_t ms, Pred pred) {
    return cv.wait_for(lock, std::chrono::milliseconds(RealWaitMs(ms)), pred);
  }
};

// Wall-clock time.
class RealClock : public Clock {
 public:
  TDateTime Now() const override;
  TDateTime NowUtc() const override;
  int64_t TickMs() const override;
  bool Sleep(int64_t ms, std::stop_token stop = {}) override;
  int RealWaitMs(int64_t ms) const override;
};

// Time runs `factor` times faster than real time, starting at a chosen local date-time.
class ScaledClock : public Clock {
 public:
  explicit ScaledClock(double factor, TDateTime startLocal = 0);
  TDateTime Now() const override;
  TDateTime NowUtc() const override;
  int64_t TickMs() const override;
  bool Sleep(int64_t ms, std::stop_token stop = {}) override;
  int RealWaitMs(int64_t ms) const override;

 private:
  double factor_;
  TDateTime start_;
  std::chrono::steady_clock::time_point origin_;
};

// Time moves only when a test advances it or when someone sleeps (a sleep advances it at once).
// Operating-system waits get zero real time, so only non-blocking paths suit it.
class ManualClock : public Clock {
 public:
  explicit ManualClock(TDateTime startLocal);
  TDateTime Now() const override;
  TDateTime NowUtc() const override;
  int64_t TickMs() const override;
  bool Sleep(int64_t ms, std::stop_token stop = {}) override;
  int RealWaitMs(int64_t ms) const override;
  void Advance(int64_t ms);
  void Set(TDateTime local);

 private:
  mutable std::mutex mutex_;
  TDateTime start_;
  int64_t elapsedMs_ = 0;
};

// The process-wide clock that components use unless they are given one.
Clock& SystemClock();
// Tests replace the process clock; pass nullptr to go back to real time.
void SetSystemClock(Clock* clock);

}  // namespace orvela
