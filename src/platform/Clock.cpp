#include "platform/Clock.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

namespace orvela {
namespace {

int64_t UnixMsNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Sleeps in real time, waking early when the stop token fires.
bool RealSleep(std::chrono::microseconds d, std::stop_token stop) {
  if (!stop.stop_possible()) {
    std::this_thread::sleep_for(d);
    return true;
  }
  std::mutex m;
  std::condition_variable_any cv;
  std::unique_lock lock(m);
  return !cv.wait_for(lock, stop, d, [] { return false; }) && !stop.stop_requested();
}

RealClock gRealClock;
std::atomic<Clock*> gClock{nullptr};

}  // namespace

TDateTime RealClock::Now() const {
  return UtcToLocal(UnixMsToDateTime(UnixMsNow()));
}
TDateTime RealClock::NowUtc() const {
  return UnixMsToDateTime(UnixMsNow());
}
int64_t RealClock::TickMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
bool RealClock::Sleep(int64_t ms, std::stop_token stop) {
  return RealSleep(std::chrono::milliseconds(ms < 0 ? 0 : ms), stop);
}
int RealClock::RealWaitMs(int64_t ms) const {
  return static_cast<int>(ms < 0 ? 0 : ms);
}

ScaledClock::ScaledClock(double factor, TDateTime startLocal)
    : factor_(factor > 0 ? factor : 1.0),
      start_(startLocal != 0 ? startLocal : RealClock().Now()),
      origin_(std::chrono::steady_clock::now()) {}

int64_t ScaledClock::TickMs() const {
  auto real = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - origin_).count();
  return static_cast<int64_t>(real * factor_);
}
TDateTime ScaledClock::Now() const {
  return start_ + TickMs() / kMsPerDay;
}
TDateTime ScaledClock::NowUtc() const {
  return LocalToUtc(Now());
}
bool ScaledClock::Sleep(int64_t ms, std::stop_token stop) {
  // Microseconds, rounded up: a fast clock must not cut a short sleep to nothing.
  auto real =
      std::chrono::microseconds(static_cast<int64_t>(std::ceil((ms < 0 ? 0 : ms) * 1000.0 / factor_)));
  return RealSleep(real, stop);
}
int ScaledClock::RealWaitMs(int64_t ms) const {
  return ms <= 0 ? 0 : static_cast<int>(std::max<int64_t>(1, static_cast<int64_t>(std::ceil(ms / factor_))));
}

ManualClock::ManualClock(TDateTime startLocal) : start_(startLocal) {}
TDateTime ManualClock::Now() const {
  std::lock_guard lock(mutex_);
  return start_ + elapsedMs_ / kMsPerDay;
}
TDateTime ManualClock::NowUtc() const {
  return LocalToUtc(Now());
}
int64_t ManualClock::TickMs() const {
  std::lock_guard lock(mutex_);
  return elapsedMs_;
}
bool ManualClock::Sleep(int64_t ms, std::stop_token stop) {
  if (stop.stop_requested()) return false;
  Advance(ms < 0 ? 0 : ms);
  return true;
}
int ManualClock::RealWaitMs(int64_t) const {
  return 0;
}
void ManualClock::Advance(int64_t ms) {
  std::lock_guard lock(mutex_);
  elapsedMs_ += ms;
}
void ManualClock::Set(TDateTime local) {
  std::lock_guard lock(mutex_);
  start_ = local;
  elapsedMs_ = 0;
}

Clock& SystemClock() {
  Clock* c = gClock.load();
  return c ? *c : gRealClock;
}
void SetSystemClock(Clock* clock) {
  gClock.store(clock);
}

}  // namespace orvela
