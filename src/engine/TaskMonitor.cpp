#include "engine/TaskMonitor.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "engine/ConnOrder.h"
#include "engine/EngineContext.h"
#include "engine/EngineTasks.h"
#include "platform/Clock.h"

namespace orvela {

namespace {

constexpr const char* kWaitingStatus = "ожидание";
constexpr const char* kActivityPanels[] = {"    Работа    ", "-!- Работа -!-"};

struct TKindText {
  int32_t Kind;
  const char* Text;
};
constexpr TKindText kKindTexts[] = {
    {1, "асинхр. чтение"},        {2, "асинхр. чтение"}, {3, "подписка данных"},
    {4, "асинхр. чтение данных"}, {10, "отмена задачи"}, {11, "асинхр. чтение текущих данных"},
};

int64_t MsSince(TDateTime from, TDateTime now) {
  return std::max<int64_t>(0, std::llround((now - from) * 86'400'000.0));
}

std::string FormatServed(int32_t served) {
  // The operator's locale writes a decimal comma.
  return std::to_string(served) + ",00";
}

}  // namespace

std::string FormatElapsed(int64_t ms) {
  const int64_t seconds = std::max<int64_t>(0, ms) / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return text;
}

std::string MonitorKindText(int32_t kind) {
  for (const TKindText& k : kKindTexts)
    if (k.Kind == kind) return k.Text;
  return {};
}

std::string MonitorTotalText(size_t count) {
  const size_t lastTwo = count % 100, last = count % 10;
  const char* noun = " задач";
  if (lastTwo < 11 || lastTwo > 14) {  // 11..14 take the plural of many
    if (last == 1)
      noun = " задача";
    else if (last >= 2 && last <= 4)
      noun = " задачи";
  }
  return "Всего " + std::to_string(count) + noun;
}

// ---- TMonitorRows
// ----------------------------------------------------------------------------------------------

void TMonitorRows::SetFilter(std::optional<TConnKey> key) {
  std::lock_guard lock(mutex_);
  filter_ = std::move(key);
}

std::optional<TConnKey> TMonitorRows::Filter() const {
  std::lock_guard lock(mutex_);
  return filter_;
}

size_t TMonitorRows::Count() const {
  std::lock_guard lock(mutex_);
  return rows_.size();
}

void TMonitorRows::Clear() {
  std::lock_guard lock(mutex_);
  rows_.clear();
}

bool TMonitorRows::Matches(const TConnOrder& order) const {
  return !filter_ || SameConnName(filter_->ConnName, order.Key().ConnName);
}

void TMonitorRows::Refresh(std::span<const std::unique_ptr<TConnOrder>> orders, TDateTime now) {
  if (!refreshRequested_) return;
  std::lock_guard lock(mutex_);
  for (const auto& order : orders)
    if (Matches(*order))
      for (const auto& task : order->Pending()) RefreshTask(*order, *task, now);
  // Cleared with the marks, so a pass sees the marks and the answer together.
  refreshRequested_ = false;
}

void TMonitorRows::RefreshTask(TConnOrder& order, TStructRead& task, TDateTime now) {
  if (!monitorRunning_) {
    // A monitor that stopped after asking gets no rows it would never remove.
    task.MonitorRow.reset();
    return;
  }
  if (auto row = task.MonitorRow.lock()) {
    // A running reader writes the task's times; its row keeps the last elapsed text until it returns.
    if (!order.Busy) {
      const TDateTime since = task.Kind < 4 ? task.LastServed : task.Created;
      row->Elapsed = FormatElapsed(MsSince(since, now));
    }
    row->Served = task.Served;
    row->Changed = true;
    return;
  }
  auto row = std::make_shared<TStructMon>();
  row->State = kMonRowNew;
  row->Kind = task.Kind;
  row->Status = kWaitingStatus;
  row->ClientTransaction = task.ClientTransaction;
  row->Served = task.Served;
  row->ItemHandle = task.ItemHandle;
  row->Node = task.Node;
  row->Changed = true;
  task.MonitorRow = row;
  rows_.push_back(std::move(row));
}

// ---- TTaskMonitor
// ----------------------------------------------------------------------------------------------

TTaskMonitor::TTaskMonitor(TMonitorRows& rows, Clock& clock, IEngineLogs& logs)
    : rows_(rows), clock_(clock), logs_(logs) {}

TTaskMonitor::~TTaskMonitor() {
  Stop();
}

bool TTaskMonitor::Start() {
  if (Running()) return false;
  rows_.SetMonitorRunning(true);
  logs_.Journal("Монитор открыт", "");
  thread_ = std::jthread([this](std::stop_token stop) { Execute(stop); });
  return true;
}

bool TTaskMonitor::Stop() {
  if (!Running()) return false;
  thread_.request_stop();  // the pass sleeps on the stop token, so the join is prompt
  thread_.join();
  thread_ = {};
  rows_.SetMonitorRunning(false);
  rows_.Clear();
  std::lock_guard lock(linesMutex_);
  entries_.clear();
  busyMark_ = false;
  activity_.clear();
  return true;
}

void TTaskMonitor::Execute(std::stop_token stop) {
  while (!stop.stop_requested()) {
    Pass();
    if (!clock_.Sleep(kPassMs, stop)) break;
  }
}

TMonitorLine TTaskMonitor::LineOf(const TStructMon& row) {
  return {MonitorKindText(row.Kind), row.Status,    row.Elapsed, FormatServed(row.Served),
          row.ClientTransaction,     row.ItemHandle};
}

void TTaskMonitor::Pass() {
  {
    std::lock_guard rowsLock(rows_.Mutex());
    auto& rows = rows_.Rows();
    std::lock_guard linesLock(linesMutex_);
    // Rows the queue did not touch since the last pass belong to finished tasks, but only once the
    // queue has answered that pass: a queue slower than the monitor must not blank live tasks.
    const bool answered = !rows_.RefreshRequested();
    if (answered) {
      std::erase_if(entries_, [](const TEntry& e) {
        const auto row = e.Row.lock();
        return !row || !row->Changed;
      });
      std::erase_if(rows, [](const std::shared_ptr<TStructMon>& r) { return !r->Changed; });
    }
    for (const auto& row : rows) {
      if (answered) row->Changed = false;
      if (row->State == kMonRowNew) {
        row->State = kMonRowShown;
        entries_.push_back({row, LineOf(*row)});
        continue;
      }
      auto entry = std::find_if(entries_.begin(), entries_.end(),
                                [&](const TEntry& e) { return e.Row.lock() == row; });
      if (entry != entries_.end()) entry->Line = LineOf(*row);
    }
    activity_ = kActivityPanels[busyMark_ ? 1 : 0];
    busyMark_ = !busyMark_;
  }
  rows_.RequestRefresh();
}

TMonitorView TTaskMonitor::Snapshot() const {
  std::lock_guard lock(linesMutex_);
  TMonitorView view;
  view.Lines.reserve(entries_.size());
  for (const TEntry& e : entries_) view.Lines.push_back(e.Line);
  view.Total = MonitorTotalText(entries_.size());
  view.Activity = activity_;
  return view;
}

}  // namespace orvela
