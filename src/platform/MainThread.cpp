#include "platform/MainThread.h"

#include <algorithm>
#include <exception>
#include <iostream>

#include "platform/Clock.h"

namespace orvela {

struct TMainThreadQueue::TCall {
  enum class TState { Queued, Done, Dropped };

  std::function<void()> fn;
  bool waited = false;  // Invoke: the caller waits and gets the exception
  std::mutex mutex;
  std::condition_variable cv;
  TState state = TState::Queued;
  std::exception_ptr error;

  void Finish(TState to, std::exception_ptr e = nullptr) {
    {
      std::lock_guard lock(mutex);
      state = to;
      error = e;
    }
    cv.notify_all();
  }
};

TMainThreadQueue::~TMainThreadQueue() {
  Stop();
}

void TMainThreadQueue::Attach() {
  std::lock_guard lock(mutex_);
  mainId_ = std::this_thread::get_id();
  attached_ = true;
  stopped_ = false;
}

void TMainThreadQueue::Detach() {
  std::unique_lock lock(mutex_);
  attached_ = false;
  stopped_ = false;
  mainId_ = {};
  DropQueued(lock);
}

void TMainThreadQueue::Stop() {
  std::unique_lock lock(mutex_);
  stopped_ = true;
  DropQueued(lock);
}

// Releases every waiter of a queued call; the calls never run.
void TMainThreadQueue::DropQueued(std::unique_lock<std::mutex>& lock) {
  std::deque<TCallPtr> dropped;
  dropped.swap(queue_);
  lock.unlock();
  workCv_.notify_all();
  for (const auto& call : dropped) call->Finish(TCall::TState::Dropped);
  lock.lock();
}

bool TMainThreadQueue::IsMainThread() const {
  std::lock_guard lock(mutex_);
  return attached_ && mainId_ == std::this_thread::get_id();
}

bool TMainThreadQueue::IsStopped() const {
  std::lock_guard lock(mutex_);
  return stopped_;
}

bool TMainThreadQueue::Enqueue(const TCallPtr& call) {
  std::function<void()> wake;
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return false;
    queue_.push_back(call);
    wake = wake_;
  }
  workCv_.notify_all();
  if (wake) wake();
  return true;
}

bool TMainThreadQueue::Invoke(std::function<void()> fn) {
  bool inlineRun;
  {
    std::lock_guard lock(mutex_);
    inlineRun = !attached_ || mainId_ == std::this_thread::get_id();
  }
  if (inlineRun) {
    fn();
    return true;
  }
  auto call = std::make_shared<TCall>();
  call->fn = std::move(fn);
  call->waited = true;
  if (!Enqueue(call)) return false;
  std::unique_lock lock(call->mutex);
  call->cv.wait(lock, [&] { return call->state != TCall::TState::Queued; });
  if (call->state == TCall::TState::Dropped) return false;
  if (call->error) std::rethrow_exception(call->error);
  return true;
}

bool TMainThreadQueue::Post(std::function<void()> fn) {
  bool inlineRun;
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return false;
    inlineRun = !attached_;
  }
  if (inlineRun) {
    fn();
    return true;
  }
  auto call = std::make_shared<TCall>();
  call->fn = std::move(fn);
  return Enqueue(call);
}

void TMainThreadQueue::RunCall(const TCallPtr& call) {
  try {
    call->fn();
    call->Finish(TCall::TState::Done);
  } catch (...) {
    if (call->waited) {
      call->Finish(TCall::TState::Done, std::current_exception());
      return;
    }
    try {
      throw;
    } catch (const std::exception& e) {
      std::cerr << "main thread: posted call failed: " << e.what() << '\n';
    } catch (...) {
      std::cerr << "main thread: posted call failed\n";
    }
    call->Finish(TCall::TState::Done);
  }
}

size_t TMainThreadQueue::Pump() {
  if (!IsMainThread()) return 0;
  size_t budget;
  {
    std::lock_guard lock(mutex_);
    budget = queue_.size();
  }
  // Only what was queued when the pump began: a call that keeps posting cannot starve the caller.
  size_t ran = 0;
  for (; ran < budget; ++ran) {
    TCallPtr call;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) break;
      call = std::move(queue_.front());
      queue_.pop_front();
    }
    RunCall(call);
  }
  return ran;
}

size_t TMainThreadQueue::PumpFor(int64_t ms) {
  if (!IsMainThread()) return 0;
  {
    std::unique_lock lock(mutex_);
    SystemClock().WaitFor(workCv_, lock, ms, [&] { return !queue_.empty() || stopped_; });
  }
  return Pump();
}

bool TMainThreadQueue::PumpUntil(const std::function<bool()>& done, int64_t ms) {
  // Short steps: done() may turn true without anything being queued.
  constexpr int64_t kStepMs = 10;
  Clock& clock = SystemClock();
  const int64_t start = clock.TickMs();
  while (!done()) {
    int64_t step = kStepMs;
    if (ms >= 0) {
      const int64_t left = ms - (clock.TickMs() - start);
      if (left <= 0) return done();
      step = std::min(step, left);
    }
    if (!IsMainThread()) {
      clock.Sleep(step);
      continue;
    }
    PumpFor(step);
  }
  return true;
}

void TMainThreadQueue::Run(std::stop_token stop) {
  std::stop_callback wakeOnStop(stop, [this] {
    std::lock_guard lock(mutex_);
    workCv_.notify_all();
  });
  while (!stop.stop_requested() && IsMainThread()) {
    {
      std::unique_lock lock(mutex_);
      SystemClock().WaitFor(workCv_, lock, 1000,
                            [&] { return !queue_.empty() || stopped_ || stop.stop_requested(); });
      if (stopped_) return;
    }
    Pump();
  }
}

void TMainThreadQueue::SetWakeHandler(std::function<void()> wake) {
  std::lock_guard lock(mutex_);
  wake_ = std::move(wake);
}

TMainThreadQueue& MainThread::Queue() {
  static TMainThreadQueue queue;
  return queue;
}

}  // namespace orvela
