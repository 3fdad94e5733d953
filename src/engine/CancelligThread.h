#pragma once
// The base of every reader-like thread: a joinable thread with a stop request, plus the texts and the
// progress value the operator windows show while it runs.
#include <atomic>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace orvela {

class TCancelligThread {
 public:
  TCancelligThread() = default;
  // Stops and joins the thread: nothing it uses may go before it has ended.
  virtual ~TCancelligThread();
  TCancelligThread(const TCancelligThread&) = delete;
  TCancelligThread& operator=(const TCancelligThread&) = delete;

  // Runs Execute on a new thread.
  void Start();
  void RequestStop() { thread_.request_stop(); }
  void Join();
  bool Finished() const { return finished_; }

  std::string Description() const;
  void SetDescription(const std::string& text);
  std::string Status() const;
  void SetStatus(const std::string& text);
  int Progress() const { return progress_; }
  void SetProgress(int percent) { progress_ = percent; }

 protected:
  virtual void Execute(std::stop_token stop) = 0;

 private:
  mutable std::mutex textMutex_;
  std::string description_, status_;
  std::atomic<int> progress_{0};
  std::atomic<bool> finished_{false};
  std::jthread thread_;
};

}  // namespace orvela
