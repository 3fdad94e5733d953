#pragma once
// The task monitor: the rows the queue thread keeps for the pending tasks, and the monitor's own thread
// that turns them into the lines an operator window shows (read through Snapshot, so the core stays
// headless).
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "links/records/ConnRecords.h"
#include "platform/DateTime.h"

namespace orvela {

class Clock;
class IEngineLogs;
class TConnOrder;
struct TNTreeData;
struct TStructRead;

constexpr int32_t kMonRowNew = 2;
constexpr int32_t kMonRowShown = 1;

// One row of the monitor. Owned by TMonitorRows; a task only holds a weak link, so removing a row
// (the monitor's pass, its stop) never leaves a task pointing at freed memory.
struct TStructMon {
  int32_t State = kMonRowNew;
  int32_t Kind = 0;
  bool Changed = false;
  std::string Status;
  std::string Elapsed;
  int32_t ClientTransaction = 0;
  int32_t Served = 0;
  int32_t ItemHandle = 0;
  TNTreeData* Node = nullptr;
};

// "hh:mm:ss" for a span of milliseconds; hours are not wrapped at a day.
std::string FormatElapsed(int64_t ms);
// The window's kind text for a task kind, empty for kinds the monitor does not name.
std::string MonitorKindText(int32_t kind);
// "Всего N задача/задачи/задач".
std::string MonitorTotalText(size_t count);

// The locked row list, shared by the queue thread (Refresh) and the monitor thread (its pass).
class TMonitorRows {
 public:
  // Queue cycle: brings the rows up to date with the orders' pending tasks when the monitor asked.
  void Refresh(std::span<const std::unique_ptr<TConnOrder>> orders, TDateTime now);

  void RequestRefresh() { refreshRequested_ = true; }
  bool RefreshRequested() const { return refreshRequested_; }
  void SetMonitorRunning(bool on) { monitorRunning_ = on; }
  bool MonitorRunning() const { return monitorRunning_; }
  // Only connections with this name are shown; none: all of them.
  void SetFilter(std::optional<TConnKey> key);
  std::optional<TConnKey> Filter() const;

  std::mutex& Mutex() const { return mutex_; }
  // Under Mutex().
  std::vector<std::shared_ptr<TStructMon>>& Rows() { return rows_; }
  size_t Count() const;
  void Clear();

 private:
  bool Matches(const TConnOrder& order) const;
  void RefreshTask(TConnOrder& order, TStructRead& task, TDateTime now);

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<TStructMon>> rows_;
  std::optional<TConnKey> filter_;  // under mutex_
  std::atomic<bool> refreshRequested_{false};
  std::atomic<bool> monitorRunning_{false};
};

// One line of the monitor window.
struct TMonitorLine {
  std::string KindText;
  std::string Status;
  std::string Elapsed;
  std::string Served;  // two decimals
  int32_t ClientTransaction = 0;
  int32_t ItemHandle = 0;
  bool operator==(const TMonitorLine&) const = default;
};

// What a window shows: the lines and the two status-bar panels.
struct TMonitorView {
  std::vector<TMonitorLine> Lines;
  std::string Total;
  std::string Activity;
};

// The monitor's thread: every 4000 ms one pass over the rows, then a refresh request to the queue.
class TTaskMonitor {
 public:
  static constexpr int64_t kPassMs = 4000;

  TTaskMonitor(TMonitorRows& rows, Clock& clock, IEngineLogs& logs);
  ~TTaskMonitor();
  TTaskMonitor(const TTaskMonitor&) = delete;
  TTaskMonitor& operator=(const TTaskMonitor&) = delete;

  // Starts the thread unless it runs (journal "Монитор открыт"); false when it already ran.
  bool Start();
  // Stops and joins the thread and destroys every row and line; false when it was not running.
  bool Stop();
  bool Running() const { return thread_.joinable(); }

  // One pass (the thread's work; tests on a manual clock call it directly).
  void Pass();
  TMonitorView Snapshot() const;

 private:
  struct TEntry {
    std::weak_ptr<const TStructMon> Row;  // a line outlives no row
    TMonitorLine Line;
  };
  void Execute(std::stop_token stop);
  static TMonitorLine LineOf(const TStructMon& row);

  TMonitorRows& rows_;
  Clock& clock_;
  IEngineLogs& logs_;
  std::jthread thread_;
  mutable std::mutex linesMutex_;
  std::vector<TEntry> entries_;  // under linesMutex_, changed only by the pass and Stop
  bool busyMark_ = false;        // under linesMutex_
  std::string activity_;         // under linesMutex_
};

}  // namespace orvela
