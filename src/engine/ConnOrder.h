#pragma once
// One connection order per distinct connection: its pending tasks in priority order, the rules that
// decide when a task is due, the work list its reader thread takes, the counts of handed-out work, the
// channel log file and the marks the queue thread starts, delays, blocks and shares readers by.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "engine/EngineContext.h"
#include "engine/EngineTasks.h"
#include "links/ChannelLog.h"
#include "links/records/ConnRecords.h"

namespace orvela {

// How long an order waits after a reader run whose connection attempt failed: one minute after the first
// failure, doubling with each failure in a row up to two hours, so a short outage costs minutes of data.
constexpr int64_t kFirstConnectDelayMs = 60 * 1000;
constexpr int64_t kFailedConnectDelayMs = 120 * 60 * 1000;
int64_t ConnectDelayMs(int failuresInRow);

// Client reads and writes: answered at once, without the device, while their connection is delayed.
constexpr bool IsClientRequestKind(int32_t kind) {
  return kind == tkHdaRead || kind == tkDaRead || kind == tkDaWrite;
}

// "Log_" + the connection name with ":", ".", ",", " ", "/" and "|" made "_" + ".txt".
std::string ChannelLogFileName(const std::string& connName);

// Connection names match ignoring case (Latin and Cyrillic letters alike).
bool SameConnName(const std::string& a, const std::string& b);
// The form two connection names are compared in (case folded in Windows-1251): equal forms, same connection.
std::string FoldConnName(const std::string& name);

// Whether two connections need the same serial port or modem: only modem connections ever do; an
// inbound GPRS connection does while the listener has calls in progress.
bool SharesResource(const TConnKey& a, const TConnKey& b, bool inboundCallsActive);

// The schedule window ("Начало" … "Конец", strictly between, in local time); a window whose start is
// later than its end runs over midnight.
bool InScheduleWindow(const TSettings& settings, TDateTime nowLocal);
// The day rule: on "День месяца" (local) a modem subscription that has not been read for a whole day is due
// regardless of its interval. The two instants are UTC.
bool DayRuleApplies(const TSettings& settings, TDateTime nowUtc, TDateTime subscriptionStartUtc, bool modem);

// How a reader run ended, for the delay rule.
enum class TRunOutcome { NotTried, Connected, ConnectFailed };

class TConnOrder final : public IChannelLog {
 public:
  // channelLogFailed: set once per engine start when a log file could not be made (journalled once).
  TConnOrder(const TConnKey& key, TEngineContext& context, bool shared, std::atomic<bool>* channelLogFailed);
  ~TConnOrder() override;
  TConnOrder(const TConnOrder&) = delete;
  TConnOrder& operator=(const TConnOrder&) = delete;

  const TConnKey& Key() const { return key_; }
  const std::string& LinkAddress() const { return key_.LinkAddress; }
  bool Shared() const { return shared_; }
  bool IsModem() const { return key_.ConnType == static_cast<uint8_t>(TConnKind::DialUpModem); }

  // --- Queue thread, and only while no reader runs for the order (except AddTask). ---
  // DA kinds go to the front (current data first), the others to the end.
  void AddTask(std::unique_ptr<TStructRead> task);
  // Turns the due tasks into work items; while the order is delayed only client requests, which its
  // reader then answers without the device.
  void Dispatch();
  // Finished tasks are destroyed (onDestroy is told first), returned periodic ones go back in line.
  void CleanUp(const std::function<void(TStructRead*)>& onDestroy);
  // Makes the work item for a task; grouped parameters of one branch share one group item.
  void AddWork(TStructRead& task, TNTreeData* node);
  const std::deque<std::unique_ptr<TStructRead>>& Pending() const { return pending_; }

  // --- Reader side. ---
  // The reader holds this for its whole run.
  std::mutex& WorkMutex() { return workMutex_; }
  std::deque<std::unique_ptr<TDescThread>>& Work() { return work_; }
  // After the result of an item went back (hr: what the client's callback or its unmarshal gave):
  // marks the task finished, back in line or, when the client has gone, for deletion (journalled once).
  void FinishItem(TDescThread& item, HRESULT hr);
  // The reader's last act: the delay rule, then the order is idle again. Work items the run left (it made
  // room for current data, the order was blocked, the engine stops) stay for the next run.
  void EndRun(TRunOutcome outcome);
  // Times are UTC.
  bool DelayedAt(TDateTime nowUtc) const { return Delayed && DelayEnd > nowUtc; }
  // True once per delay: the first answer given without the device is journalled, later ones not.
  bool FirstAnswerWhileDelayed() { return !delayJournalled_.exchange(true); }

  // --- Marks. ---
  std::atomic<bool> Busy{false};
  std::atomic<bool> HasWork{false};
  std::atomic<bool> Delayed{false};
  std::atomic<TDateTime> DelayEnd{0};  // UTC
  // Set by the queue thread when it starts a reader for a delayed order: the run answers without
  // connecting.
  std::atomic<bool> OfflineRun{false};
  std::atomic<bool> DAWaiting{false};
  std::atomic<int32_t> Enabled{1};
  std::atomic<TDateTime> ItemStart{0};    // UTC
  std::atomic<TDateTime> ThreadStart{0};  // UTC
  std::atomic<int32_t> HdaAdviseCount{0}, HdaReadCount{0}, DaReadCount{0}, DaRefreshCount{0};
  std::string CleanUpStatus;  // queue thread only
  std::string LastSerial;     // queue thread only
  std::string ReaderStatus() const;

  // --- Channel log (IChannelLog). ---
  bool TraceOn() const override;
  void LogLine(const std::string& text) override;
  void LogPlain(const std::string& text) override;
  void LogTraceItem(const std::string& text) override;
  void LogTraceStart(const std::string& text) override;
  void SetStatus(const std::string& text) override;
  bool LogOpen() const { return log_ != nullptr; }

 private:
  void OpenChannelLog(std::atomic<bool>* channelLogFailed);
  void Write(const std::string& text, bool endLine);
  std::string Stamp(bool withMs) const;
  void DispatchTask(TStructRead& task);
  void DispatchSubscription(TStructRead& task);
  void DispatchRefresh(TStructRead& task);
  std::unique_ptr<TDescThread> MakeItem(const TStructRead& task, TNTreeData* node);
  void Count(int32_t kind, int delta);
  TDescThread* GroupFor(TStructRead& task, TNTreeData* parent);
  void SetFinalState(TStructRead& task, int32_t state);

  TEngineContext& ctx_;
  TConnKey key_;
  bool shared_;
  bool channelLogOn_;
  std::deque<std::unique_ptr<TStructRead>> pending_;
  std::mutex workMutex_;
  std::deque<std::unique_ptr<TDescThread>> work_;
  // The open group work item of a branch per task kind (under workMutex_): requests of different kinds
  // are never read or answered together.
  std::map<std::pair<const TNTreeData*, int32_t>, TDescThread*> groups_;
  int failuresInRow_ = 0;  // written by the reader's EndRun only
  std::atomic<bool> delayJournalled_{false};
  mutable std::mutex logMutex_;  // file, trace column and status text
  std::FILE* log_ = nullptr;
  int traceColumn_ = 0;
  std::string readerStatus_;
};

}  // namespace orvela
