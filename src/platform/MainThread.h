#pragma once
// "Synchronise with the main thread": worker threads never touch a window or the journal themselves;
// they hand a function to the main thread and, with Invoke, wait until it has run. Headless, the main
// loop pumps the queue itself; a window toolkit installs a wake handler and pumps from its event loop.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

namespace orvela {

// One queue of functions bound to one thread. The process uses the instance behind MainThread; tests
// may make their own.
class TMainThreadQueue {
 public:
  TMainThreadQueue() = default;
  ~TMainThreadQueue();
  TMainThreadQueue(const TMainThreadQueue&) = delete;
  TMainThreadQueue& operator=(const TMainThreadQueue&) = delete;

  // Makes the calling thread the main thread and opens the queue (again, after Stop).
  void Attach();
  // Forgets the main thread and drops what is queued: Invoke and Post run fn at once on the caller
  // (programs without a loop). Waiters of dropped calls get false.
  void Detach();
  // The pump stops for good: queued calls are dropped, their waiters get false, later calls from other
  // threads are refused. The main thread itself still runs Invoke inline.
  void Stop();

  bool IsMainThread() const;
  bool IsStopped() const;

  // Runs fn on the main thread and waits for it. Returns true when fn ran (its exception, if any, is
  // thrown here), false when the queue was stopped before fn could run (fn did not run). On the main
  // thread, or when no thread is attached, fn runs at once.
  bool Invoke(std::function<void()> fn);
  // Queues fn for the main thread and returns at once; false when the queue is stopped (fn dropped).
  // Without an attached thread fn runs at once.
  bool Post(std::function<void()> fn);

  // Main thread only: runs the calls queued so far (one at a time, so a call may pump again); returns how
  // many ran. Exceptions of posted calls are written to standard error and do not stop the pump.
  size_t Pump();
  // Waits up to ms of the system clock for work, then pumps; returns how many calls ran.
  size_t PumpFor(int64_t ms);
  // Pumps until done() holds or ms of the system clock have passed (ms < 0: no limit); returns done().
  // This is how the main thread waits for workers that may need it.
  bool PumpUntil(const std::function<bool()>& done, int64_t ms = -1);
  // The headless main loop: pumps until stop is requested or the queue is stopped. Its idle waits go
  // through the system clock, so it wants a real or scaled clock, not a manual one.
  void Run(std::stop_token stop);

  // Called (on the posting thread) whenever work is queued, so an event loop can schedule a Pump.
  void SetWakeHandler(std::function<void()> wake);

 private:
  struct TCall;
  using TCallPtr = std::shared_ptr<TCall>;

  bool Enqueue(const TCallPtr& call);
  void RunCall(const TCallPtr& call);
  void DropQueued(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable_any workCv_;
  std::deque<TCallPtr> queue_;
  std::thread::id mainId_{};
  bool attached_ = false;
  bool stopped_ = false;
  std::function<void()> wake_;
};

// The process-wide main-thread dispatcher.
class MainThread {
 public:
  static TMainThreadQueue& Queue();
  static void Attach() { Queue().Attach(); }
  static void Detach() { Queue().Detach(); }
  static void Stop() { Queue().Stop(); }
  static bool IsMainThread() { return Queue().IsMainThread(); }
  static bool Invoke(std::function<void()> fn) { return Queue().Invoke(std::move(fn)); }
  static bool Post(std::function<void()> fn) { return Queue().Post(std::move(fn)); }
  static size_t Pump() { return Queue().Pump(); }
  static size_t PumpFor(int64_t ms) { return Queue().PumpFor(ms); }
  static bool PumpUntil(const std::function<bool()>& done, int64_t ms = -1) {
    return Queue().PumpUntil(done, ms);
  }
  static void Run(std::stop_token stop) { Queue().Run(stop); }
  static void SetWakeHandler(std::function<void()> wake) { Queue().SetWakeHandler(std::move(wake)); }
};

}  // namespace orvela
