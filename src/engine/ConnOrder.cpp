#include "engine/ConnOrder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/Cp1251.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

constexpr int kTraceItemsPerLine = 16;

int64_t MsBetween(TDateTime from, TDateTime to) {
  return static_cast<int64_t>(std::llround((to - from) * kMsPerDay));
}

// Lower case of one Windows-1251 byte: Latin, Cyrillic and the extra letters of the code page.
unsigned char LowerCp1251(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDF)) return static_cast<unsigned char>(c + 0x20);
  struct TPair {
    unsigned char upper, lower;
  };
  static constexpr TPair kExtra[] = {{0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C}, {0x8D, 0x9D},
                                     {0x8E, 0x9E}, {0x8F, 0x9F}, {0xA1, 0xA2}, {0xA3, 0xBC}, {0xA5, 0xB4},
                                     {0xA8, 0xB8}, {0xAA, 0xBA}, {0xAF, 0xBF}, {0xB2, 0xB3}, {0xBD, 0xBE}};
  for (const TPair& p : kExtra)
    if (p.upper == c) return p.lower;
  return c;
}

std::string LowerName(const std::string& utf8) {
  std::string cp = Utf8ToCp1251(utf8);
  for (char& c : cp) c = static_cast<char>(LowerCp1251(static_cast<unsigned char>(c)));
  return cp;
}

TDateTime TimeOfDay(TDateTime dt) {
  return dt - std::floor(dt);
}

}  // namespace

std::string ChannelLogFileName(const std::string& connName) {
  std::string name = connName;
  for (char& c : name)
    if (c == ':' || c == '.' || c == ',' || c == ' ' || c == '/' || c == '|') c = '_';
  return "Log_" + name + ".txt";
}

bool SameConnName(const std::string& a, const std::string& b) {
  return LowerName(a) == LowerName(b);
}

std::string FoldConnName(const std::string& name) {
  return LowerName(name);
}

bool SharesResource(const TConnKey& a, const TConnKey& b, bool inboundCallsActive) {
  constexpr auto kModem = static_cast<uint8_t>(TConnKind::DialUpModem);
  if (a.ConnType != kModem && b.ConnType != kModem) return false;
  if (b.ConnType == static_cast<uint8_t>(TConnKind::InboundGprs)) return inboundCallsActive;
  return SameConnName(a.PortName, b.PortName);
}

int64_t ConnectDelayMs(int failuresInRow) {
  int64_t delay = kFirstConnectDelayMs;
  for (int i = 1; i < failuresInRow && delay < kFailedConnectDelayMs; ++i) delay *= 2;
  return std::min(delay, kFailedConnectDelayMs);
}

bool InScheduleWindow(const TSettings& settings, TDateTime nowLocal) {
  const TDateTime t = TimeOfDay(nowLocal), from = TimeOfDay(settings.ScheduleStart),
                  to = TimeOfDay(settings.ScheduleEnd);
  if (from <= to) return t > from && t < to;
  return t > from || t < to;  // a night window
}

bool DayRuleApplies(const TSettings& settings, TDateTime nowUtc, TDateTime subscriptionStartUtc, bool modem) {
  if (!settings.RequestDayOn || !modem) return false;
  if (DateTimeToSystemTime(UtcToLocal(nowUtc)).wDay != settings.RequestDay) return false;
  return nowUtc - subscriptionStartUtc >= 1.0;
}

TConnOrder::TConnOrder(const TConnKey& key, TEngineContext& context, bool shared,
                       std::atomic<bool>* channelLogFailed)
    : ctx_(context), key_(key), shared_(shared), channelLogOn_(context.settings.ChannelLog) {
  key_.LinkAddress = BuildLinkAddress(key_);
  if (channelLogOn_) OpenChannelLog(channelLogFailed);
}

TConnOrder::~TConnOrder() {
  if (log_) std::fclose(log_);
}

void TConnOrder::OpenChannelLog(std::atomic<bool>* channelLogFailed) {
  const auto path = ctx_.programFolder / ChannelLogFileName(key_.ConnName);
  log_ = std::fopen(path.c_str(), "a");
  if (!log_) {
    if (channelLogFailed && !channelLogFailed->exchange(true))
      ctx_.logs->Journal("Ошибка при создании лога (" + key_.ConnName + ")", key_.LinkAddress);
    return;
  }
  LogPlain("Версия лога - 2.0");
  LogPlain("Время - " + FormatDateTime(ctx_.GetClock().Now()));
}

// ---- Channel log ----------------------------------------------------------------------------------------

bool TConnOrder::TraceOn() const {
  std::lock_guard lock(logMutex_);
  return channelLogOn_ && log_ && !ctx_.shutdown;
}

std::string TConnOrder::Stamp(bool withMs) const {
  const TDateTime now = ctx_.GetClock().Now();
  std::string text = FormatDateTime(now);
  if (withMs) {
    const int64_t ms = static_cast<int64_t>(std::floor(now * kMsPerDay)) % 1000;
    char buf[8];
    std::snprintf(buf, sizeof buf, ".%03d", static_cast<int>(ms));
    text += buf;
  }
  return text;
}

void TConnOrder::Write(const std::string& text, bool endLine) {
  std::fputs(text.c_str(), log_);
  if (endLine) std::fputc('\n', log_);
  std::fflush(log_);
}

void TConnOrder::LogLine(const std::string& text) {
  if (!TraceOn()) return;
  const std::string line = Stamp(true) + " | " + text;
  std::lock_guard lock(logMutex_);
  Write(line, true);
}

void TConnOrder::LogPlain(const std::string& text) {
  if (!channelLogOn_ || ctx_.shutdown) return;
  const std::string line = Stamp(false) + " | " + text;
  std::lock_guard lock(logMutex_);
  if (log_) Write(line, true);
}

void TConnOrder::LogTraceItem(const std::string& text) {
  if (!TraceOn()) return;
  std::lock_guard lock(logMutex_);
  Write(text + " ", false);
  if (++traceColumn_ >= kTraceItemsPerLine) {
    Write("", true);
    traceColumn_ = 0;
  }
}

void TConnOrder::LogTraceStart(const std::string& text) {
  if (!TraceOn()) return;
  std::string line = "\n";  // appended: g++ 12 misreports "literal" + temporary at -O3
  line.append(Stamp(false)).append(" | ").append(text);
  std::lock_guard lock(logMutex_);
  Write(line, true);
  traceColumn_ = 0;
}

void TConnOrder::SetStatus(const std::string& text) {
  std::lock_guard lock(logMutex_);
  readerStatus_ = text;
}

std::string TConnOrder::ReaderStatus() const {
  std::lock_guard lock(logMutex_);
  return readerStatus_;
}

// ---- Pending list -----------------------------------------------------------------------------------------

void TConnOrder::AddTask(std::unique_ptr<TStructRead> task) {
  if (task->Kind > 10)
    pending_.push_front(std::move(task));
  else
    pending_.push_back(std::move(task));
}

void TConnOrder::Dispatch() {
  const bool delayed = DelayedAt(ctx_.GetClock().NowUtc());
  for (auto& task : pending_) {
    if (task->State != tsWaiting) continue;
    if (task->Cancelled) {
      task->State = tsDelete;
      continue;
    }
    // Polling waits out the delay; a client's request is answered at once without the device.
    if (delayed && !IsClientRequestKind(task->Kind)) continue;
    ctx_.logs->OrderLog("Задание еще в очереди: ");
    if (!task->Node) {
      const std::string text = "Ошибка заданий EEngineError - Неправильный указатель";
      SetStatus(text);
      LogLine(text);
      continue;
    }
    DispatchTask(*task);
  }
  std::lock_guard lock(workMutex_);
  HasWork = !work_.empty();
}

void TConnOrder::DispatchTask(TStructRead& task) {
  switch (task.Kind) {
    case tkHdaRead:
      task.ReadNeeded = 1;
      AddWork(task, task.Node);
      task.State = tsHandedOut;
      LogLine("Добавление задания на чтение");
      break;
    case tkHdaAdvise:
      DispatchSubscription(task);
      break;
    case tkDaRead:
      LogLine("Чтение текущих " + std::to_string(task.ItemHandle));
      LastSerial = task.Node->Serial;
      AddWork(task, task.Node);
      task.State = tsHandedOut;
      break;
    case tkDaRefresh:
      DispatchRefresh(task);
      break;
    case tkDaWrite:
      AddWork(task, task.Node);
      task.State = tsHandedOut;
      break;
    default:
      break;
  }
}

void TConnOrder::DispatchSubscription(TStructRead& task) {
  // Due times run on UTC: local time repeats an hour in autumn.
  const TDateTime now = ctx_.GetClock().NowUtc();
  const int64_t elapsed = MsBetween(task.Created, now);
  const int64_t servedElapsed = MsBetween(task.LastServed, now);
  task.Elapsed = static_cast<int32_t>(std::min<int64_t>(servedElapsed, INT32_MAX));
  task.NextTime = elapsed * 10'000;
  const int64_t interval = task.UpdateIntervalMs + 1;
  const TSettings& s = ctx_.settings;
  const bool dayRule = DayRuleApplies(s, now, FileTimeToUtcDateTime(task.WindowStart.Time), IsModem());
  const bool due = dayRule || (elapsed >= interval &&
                               (!IsModem() || !s.SubscriptionSchedule || InScheduleWindow(s, UtcToLocal(now))));
  if (!due) return;
  task.EndTime.IsText = false;
  task.EndTime.Time = UtcDateTimeToFileTime(now);
  const std::string handle = std::to_string(task.ItemHandle);
  LogLine("Подписка " + handle + " Добавляется задание (" + std::to_string(interval) + "  " +
          std::to_string(elapsed) + ")" + FormatDateTime(UtcToLocal(task.Created)));
  if (servedElapsed < task.ArchiveStep && !dayRule) {
    LogLine("Подписка " + handle + " Добавляется задание: чтение не требуется");
    task.ReadNeeded = 0;
    AddWork(task, task.Node);
    task.Created = now;
  } else {
    LogLine("Подписка " + handle + " Добавляется задание на чтение");
    task.ReadNeeded = 1;
    AddWork(task, task.Node);
    LogLine("Подписка " + handle + " Задание чтение добавлено успешно");
    ++task.Served;
  }
  task.FirstTime = 0;
  task.State = tsHandedOut;
  task.NextTime = 0;
}

void TConnOrder::DispatchRefresh(TStructRead& task) {
  const TDateTime now = ctx_.GetClock().NowUtc();
  const TSettings& s = ctx_.settings;
  if (MsBetween(task.Created, now) <= task.UpdateRate) return;
  if (IsModem() && s.SubscriptionSchedule && !InScheduleWindow(s, UtcToLocal(now))) return;
  AddWork(task, task.Node);
  task.State = tsHandedOut;
  task.Created = now;
}

// ---- Work items -------------------------------------------------------------------------------------------

void TConnOrder::Count(int32_t kind, int delta) {
  switch (kind) {
    case tkHdaRead:
      HdaReadCount += delta;
      break;
    case tkHdaAdvise:
      HdaAdviseCount += delta;
      break;
    case tkDaRead:
      DaReadCount += delta;
      break;
    case tkDaRefresh:
      DaRefreshCount += delta;
      break;
    default:
      break;  // writes are not counted
  }
}

std::unique_ptr<TDescThread> TConnOrder::MakeItem(const TStructRead& task, TNTreeData* node) {
  auto item = std::make_unique<TDescThread>();
  item->Synchronous = task.Synchronous;
  item->Task = const_cast<TStructRead*>(&task);
  item->ConnKey = node->ConnKey;
  item->Serial = node->Serial;
  item->Kind = task.Kind;
  item->Constant1 = task.Constant1;
  // Current data is always read from the device; an archive item may be served from what the driver holds.
  item->ReadNeeded = IsHdaKind(task.Kind) ? task.ReadNeeded : 1;
  item->ArchiveStep = static_cast<int32_t>(task.ArchiveStep);
  item->Node = node;
  item->TransactionNumber = task.TransactionNumber;
  item->ClientTransaction = task.ClientTransaction;
  item->ClientHandle = node->ClientHandle;
  item->ItemHandle = node->Handle;
  if (node->DateArrayCell) node->DateArrayCell->DateArray.reset();
  if (IsHdaKind(task.Kind)) {
    // A read's window starts at its start; a subscription's has moved on to the newest record it delivered.
    // Local: the meters keep their archives in local time.
    item->Start = FileTimeToLocalDateTime(task.WindowStart.Time);
    item->End = FileTimeToLocalDateTime(task.EndTime.Time);
    item->WindowStart = item->Start;
  } else {
    item->Group = task.Owner;
    item->ClientGroup = task.ClientGroup;
    if (task.Kind == tkDaWrite) item->Value = task.Value;
  }
  if (!task.Synchronous) item->Callback = task.Callback;
  return item;
}

TDescThread* TConnOrder::GroupFor(TStructRead& task, TNTreeData* parent) {
  const auto key = std::make_pair(static_cast<const TNTreeData*>(parent), task.Kind);
  if (auto found = groups_.find(key); found != groups_.end()) return found->second;
  auto item = MakeItem(task, parent);
  item->Shape = kWorkGroup;
  TDescThread* group = item.get();
  groups_.emplace(key, group);
  if (IsHdaKind(task.Kind))
    work_.push_back(std::move(item));
  else
    work_.push_front(std::move(item));
  return group;
}

void TConnOrder::AddWork(TStructRead& task, TNTreeData* node) {
  std::lock_guard lock(workMutex_);
  TNTreeData* parent = node->Parent;
  // A grouped parameter is read with its branch: the group belongs to the nearest ancestor that is not
  // itself a grouped parameter.
  while (node->Kind == nkGroupedParameter && parent && parent->Kind == nkGroupedParameter)
    parent = parent->Parent;
  auto item = MakeItem(task, node);
  Count(task.Kind, +1);
  if (node->Kind == nkGroupedParameter && parent) {
    TDescThread* group = GroupFor(task, parent);
    TDescThread* sub = item.get();
    group->SubItems.push_back(std::move(item));
    if (node->ModelCode == mcOrlix) {
      if (node->Address < group->LowestAddress) {
        group->LowestAddress = node->Address;
        group->LowestItem = sub;
      }
      if (node->Address > group->HighestAddress) {
        group->HighestAddress = node->Address;
        group->HighestItem = sub;
      }
    }
  } else if (IsHdaKind(task.Kind)) {
    work_.push_back(std::move(item));
  } else {
    work_.push_front(std::move(item));
  }
  HasWork = true;
}

void TConnOrder::CleanUp(const std::function<void(TStructRead*)>& onDestroy) {
  std::deque<std::unique_ptr<TStructRead>> kept, requeued;
  for (auto& task : pending_) {
    const int32_t state = task->State;
    if (state == tsDelete) {
      if (onDestroy) onDestroy(task.get());
      task.reset();  // releases its share of the client's callback
      CleanUpStatus = "Удаление задания";
    } else if (state == tsRequeue) {
      task->State = tsWaiting;
      requeued.push_back(std::move(task));
      CleanUpStatus = "Перенос задания";
    } else {
      kept.push_back(std::move(task));
    }
  }
  for (auto& task : requeued) kept.push_back(std::move(task));
  pending_.swap(kept);
}

void TConnOrder::FinishItem(TDescThread& item, HRESULT hr) {
  if (item.Shape == kWorkGroup) {
    // The sub-items are finished one by one; the branch may collect a new group from now on.
    std::erase_if(groups_, [&](const auto& entry) { return entry.second == &item; });
    return;
  }
  Count(item.Kind, -1);
  TStructRead* task = item.Task;
  if (!task) return;
  if (IsClientGone(hr)) {
    if (item.Callback && item.Callback->MarkGone())
      ctx_.logs->Journal(
          "Клиент недоступен - задание снято: " + (item.Node ? item.Node->Path : std::string()),
          LinkAddress());
    SetFinalState(*task, tsDelete);
    return;
  }
  const bool again =
      IsPeriodicKind(item.Kind) && !task->Cancelled && !(item.Callback && item.Callback->Gone());
  SetFinalState(*task, again ? tsRequeue : tsDelete);
}

void TConnOrder::SetFinalState(TStructRead& task, int32_t state) {
  task.State = state;
  // A cancel that came while the task was out may have found it handed out and left it to us: it marks
  // the task before it tries the state, so one of the two always sees the other (both sequentially
  // consistent), and a cancelled task is never put back in line.
  if (state == tsRequeue && task.Cancelled) {
    int32_t expected = tsRequeue;
    task.State.compare_exchange_strong(expected, tsDelete);
  }
}

void TConnOrder::EndRun(TRunOutcome outcome) {
  if (outcome == TRunOutcome::ConnectFailed) {
    DelayEnd = ctx_.GetClock().NowUtc() + ConnectDelayMs(++failuresInRow_) / kMsPerDay;
    delayJournalled_ = false;
    Delayed = true;
  } else if (outcome == TRunOutcome::Connected) {
    failuresInRow_ = 0;
    Delayed = false;
  }
  // The mark belongs to the run that was asked to make room; the next run starts without it.
  DAWaiting = false;
  OfflineRun = false;
  --ctx_.activeReaders;
  Busy = false;
}

}  // namespace orvela
