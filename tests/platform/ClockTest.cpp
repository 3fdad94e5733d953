#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/Clock.h"
#include "support/TimeZone.h"

namespace orvela {
namespace {

TEST(ManualClock, MovesOnlyWhenAdvancedOrSleptOn) {
  const TDateTime start = EncodeDateTime(2024, 3, 5, 14, 0);
  ManualClock clock(start);
  EXPECT_EQ(clock.Now(), start);
  EXPECT_EQ(clock.TickMs(), 0);
  clock.Advance(1500);
  EXPECT_EQ(clock.TickMs(), 1500);
  EXPECT_EQ(DateTimeToUnixMs(clock.Now()), DateTimeToUnixMs(start) + 1500);
  // A sleep passes at once and moves the clock by its length.
  EXPECT_TRUE(clock.Sleep(60'000));
  EXPECT_EQ(clock.TickMs(), 61'500);
  EXPECT_EQ(clock.RealWaitMs(10'000), 0);
  // A stopped sleeper neither sleeps nor moves the clock.
  std::stop_source stop;
  stop.request_stop();
  EXPECT_FALSE(clock.Sleep(1000, stop.get_token()));
  EXPECT_EQ(clock.TickMs(), 61'500);
  clock.Set(start + 1);
  EXPECT_EQ(clock.Now(), start + 1);
  EXPECT_EQ(clock.TickMs(), 0);
}

TEST(ManualClock, UtcFollowsTheZone) {
  test::TZoneScope zone("Europe/Moscow");
  ManualClock clock(EncodeDateTime(2024, 3, 5, 14, 0));
  EXPECT_EQ(DateTimeToUnixMs(clock.NowUtc()), DateTimeToUnixMs(EncodeDateTime(2024, 3, 5, 11, 0)));
}

TEST(ScaledClock, ShortSleepsAreNeverCutToNothing) {
  ScaledClock clock(1000.0, EncodeDateTime(2024, 1, 1));
  for (int64_t ms : {1, 5, 250}) {
    const int64_t before = clock.TickMs();
    EXPECT_TRUE(clock.Sleep(ms));
    EXPECT_GE(clock.TickMs() - before, ms) << ms;
  }
  EXPECT_EQ(clock.RealWaitMs(10'000), 10);
  EXPECT_EQ(clock.RealWaitMs(1), 1);  // rounded up: zero would mean "do not wait"
  EXPECT_EQ(clock.RealWaitMs(0), 0);
  EXPECT_GE(clock.Now(), EncodeDateTime(2024, 1, 1, 0, 0, 0, 250));
}

TEST(ScaledClock, NonPositiveFactorMeansRealTime) {
  ScaledClock clock(0.0);
  EXPECT_EQ(clock.RealWaitMs(40), 40);
}

TEST(Clock, SleepEndsEarlyWhenStopped) {
  ScaledClock clock(1.0);
  std::stop_source stop;
  std::jthread stopper([&] { stop.request_stop(); });
  // An hour's sleep: only the stop can end it within the test's life.
  EXPECT_FALSE(clock.Sleep(3'600'000, stop.get_token()));
  RealClock real;
  EXPECT_FALSE(real.Sleep(3'600'000, stop.get_token()));
}

TEST(Clock, WaitForReturnsAsSoonAsThePredicateHolds) {
  ScaledClock clock(1.0);
  std::mutex m;
  std::condition_variable_any cv;
  bool ready = false;
  std::jthread setter([&] {
    std::lock_guard lock(m);
    ready = true;
    cv.notify_all();
  });
  std::unique_lock lock(m);
  EXPECT_TRUE(clock.WaitFor(cv, lock, 3'600'000, [&] { return ready; }));
}

TEST(Clock, SystemClockCanBeReplacedAndRestored) {
  ManualClock manual(EncodeDateTime(2001, 2, 3));
  SetSystemClock(&manual);
  EXPECT_EQ(SystemClock().Now(), EncodeDateTime(2001, 2, 3));
  SetSystemClock(nullptr);
  EXPECT_GT(SystemClock().Now(), EncodeDateTime(2020, 1, 1));
}

}  // namespace
}  // namespace orvela
