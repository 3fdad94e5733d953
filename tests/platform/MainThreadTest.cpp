#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/MainThread.h"

namespace orvela {
namespace {

TEST(MainThread, WorkersRunOnTheMainThreadInOrderAndWait) {
  TMainThreadQueue queue;
  queue.Attach();
  const auto mainId = std::this_thread::get_id();
  constexpr int kThreads = 4, kCalls = 50;
  std::vector<int> seen;  // touched only on the main thread
  std::atomic<int> finished{0};
  std::atomic<bool> offMain{false};
  std::vector<std::jthread> workers;
  for (int t = 0; t < kThreads; ++t)
    workers.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        bool ran = queue.Invoke([&] {
          if (std::this_thread::get_id() != mainId) offMain = true;
          seen.push_back(t * 1000 + i);
        });
        // Invoke returned: the call has already run.
        EXPECT_TRUE(ran);
      }
      ++finished;
    });
  size_t pumped = 0;
  while (finished < kThreads) pumped += queue.PumpFor(10);
  workers.clear();
  EXPECT_FALSE(offMain);
  EXPECT_EQ(pumped, static_cast<size_t>(kThreads * kCalls));
  ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads * kCalls));
  // Each worker's calls keep their order.
  std::vector<int> next(kThreads, 0);
  for (int v : seen) EXPECT_EQ(v % 1000, next[v / 1000]++);
}

TEST(MainThread, OnTheMainThreadOrWithoutOneInvokeRunsAtOnce) {
  TMainThreadQueue queue;
  int runs = 0;
  EXPECT_TRUE(queue.Invoke([&] { ++runs; }));  // no main thread: the caller's thread
  EXPECT_TRUE(queue.Post([&] { ++runs; }));
  EXPECT_EQ(runs, 2);
  queue.Attach();
  EXPECT_TRUE(queue.IsMainThread());
  EXPECT_TRUE(queue.Invoke([&] { ++runs; }));  // would deadlock if it queued
  EXPECT_EQ(runs, 3);
  EXPECT_TRUE(queue.Post([&] { ++runs; }));  // posted: waits for the pump
  EXPECT_EQ(runs, 3);
  EXPECT_EQ(queue.Pump(), 1u);
  EXPECT_EQ(runs, 4);
  // Only the main thread pumps.
  queue.Post([&] { ++runs; });
  std::jthread([&] { EXPECT_EQ(queue.Pump(), 0u); }).join();
  EXPECT_EQ(queue.Pump(), 1u);
}

TEST(MainThread, ExceptionsReachTheWaiterAndDoNotStopThePump) {
  TMainThreadQueue queue;
  queue.Attach();
  std::atomic<bool> done{false};
  std::jthread worker([&] {
    EXPECT_THROW(queue.Invoke([] { throw std::runtime_error("boom"); }), std::runtime_error);
    done = true;
  });
  queue.Post([] { throw std::runtime_error("posted boom"); });
  int after = 0;
  queue.Post([&] { ++after; });
  EXPECT_TRUE(queue.PumpUntil([&] { return done.load(); }));
  queue.Pump();
  EXPECT_EQ(after, 1);
}

TEST(MainThread, StoppingReleasesEveryWaiterWithoutRunningTheirCalls) {
  TMainThreadQueue queue;
  queue.Attach();
  constexpr int kThreads = 3;
  std::atomic<int> refused{0}, ran{0};
  std::latch started(kThreads);
  std::vector<std::jthread> workers;
  for (int t = 0; t < kThreads; ++t)
    workers.emplace_back([&] {
      started.count_down();
      if (!queue.Invoke([&] { ++ran; })) ++refused;
    });
  // Nobody pumps: the workers would wait for ever without the stop. Whether a worker queued before the
  // stop or came after it, it must get its refusal.
  started.wait();
  queue.Stop();
  workers.clear();
  EXPECT_EQ(refused, kThreads);
  EXPECT_EQ(ran, 0);
  EXPECT_FALSE(queue.Post([] {}));
  EXPECT_TRUE(queue.IsStopped());
  // The main thread itself still gets its own calls run.
  EXPECT_TRUE(queue.Invoke([&] { ++ran; }));
  EXPECT_EQ(ran, 1);
}

TEST(MainThread, WakeHandlerAndHeadlessLoop) {
  TMainThreadQueue queue;
  queue.Attach();
  std::atomic<int> wakes{0};
  queue.SetWakeHandler([&] { ++wakes; });
  std::stop_source stop;
  int ran = 0;
  std::jthread worker([&] {
    queue.Invoke([&] { ++ran; });
    queue.Invoke([&] { ++ran; });
    stop.request_stop();
  });
  queue.Run(stop.get_token());  // returns once the worker has been served and asked it to stop
  EXPECT_EQ(ran, 2);
  EXPECT_EQ(wakes, 2);
}

TEST(MainThread, ProcessDispatcherCanBeAttachedAndDetached) {
  MainThread::Attach();
  EXPECT_TRUE(MainThread::IsMainThread());
  bool ran = false;
  std::jthread worker([&] { EXPECT_TRUE(MainThread::Invoke([&] { ran = true; })); });
  EXPECT_TRUE(MainThread::PumpUntil([&] { return ran; }));
  worker.join();
  MainThread::Detach();
  EXPECT_FALSE(MainThread::IsMainThread());
}

}  // namespace
}  // namespace orvela
