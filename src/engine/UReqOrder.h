#pragma once
// The request queue: the entry operations that turn client requests into tasks, the registries the
// engine keeps while it runs (connections, orders, device records, tables), the queue thread that hands
// tasks to their connection orders and starts readers, and the engine's start and stop.
#include <atomic>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/CheckPribor.h"
#include "engine/ConnOrder.h"
#include "engine/EngineContext.h"
#include "engine/EngineTables.h"
#include "engine/EngineTasks.h"
#include "engine/TaskMonitor.h"

namespace orvela {

class TTree;

// Who runs the connection orders' work lists (the reader threads).
class IReaderLauncher {
 public:
  virtual ~IReaderLauncher() = default;
  // Starts a reader for the order (already marked busy and counted). The reader takes the order's work
  // list, returns each item through TConnOrder::FinishItem and, as its last act, calls
  // TConnOrder::EndRun.
  virtual void StartReader(TConnOrder& order) = 0;
  // Asks every reader to stop and waits until each has ended. The shutdown flag is already set.
  virtual void StopAll() = 0;
};

class TReqOrder;

class TAsyncEngine {
 public:
  TAsyncEngine(TTree& tree, IReaderLauncher& readers, IEngineLogs& logs, Clock& clock, IEngineHost& host);
  ~TAsyncEngine();
  TAsyncEngine(const TAsyncEngine&) = delete;
  TAsyncEngine& operator=(const TAsyncEngine&) = delete;

  // Taken at the next start.
  void SetSettings(const TSettings& settings) { settings_ = settings; }
  void SetProgramFolder(const std::filesystem::path& folder) { folder_ = folder; }
  // Tests drive the queue cycle themselves.
  void SetQueueThreadEnabled(bool on) { queueThreadEnabled_ = on; }

  // --- Life. Every user (server object, configuration reader) calls InitAsync once and FinalAsync once;
  // the engine runs while at least one user holds it. ---
  void InitAsync();
  void FinalAsync();
  bool Running() const { return running_; }
  int Users() const;

  // --- Entry operations (the OPC objects' thread). ---
  int32_t FindConnection(const TConnKey& key);
  // 0, or -1 when the last item was refused.
  int32_t HDARead(TTaskOwner owner, int32_t clientTransaction, const TTaskTime& start, const TTaskTime& end,
                  bool synchronous, IUnknown* callback, int32_t transaction, std::span<const int32_t> handles,
                  int32_t cancelNumber);
  int32_t HDAAdvise(TTaskOwner owner, int32_t clientTransaction, const TTaskTime& start,
                    const FILETIME& updateInterval, IUnknown* callback, int32_t transaction,
                    std::span<const int32_t> handles);
  // False when the last item was refused.
  bool DARead(TTaskOwner group, int32_t clientGroup, bool synchronous, IUnknown* callback,
              std::span<const int32_t> handles, int32_t transaction, int32_t clientTransaction);
  void DAWrite(TTaskOwner group, int32_t clientGroup, int32_t clientTransaction, IUnknown* callback,
               int32_t transaction, std::span<const TVariant> values, std::span<const int32_t> handles);
  void DARefresh(TTaskOwner group, int32_t clientGroup, int32_t updateRate, IUnknown* callback,
                 std::span<const int32_t> handles, int32_t transaction, int32_t clientTransaction);
  // Cancels every item of the owner's request.
  void HDACancel(TTaskOwner owner, int32_t transaction, IUnknown* callback);
  void DACancel(TTaskOwner group, int32_t transaction, IUnknown* callback);
  // Withdraws a group's DA tasks (items removed, group removed or deactivated); no handles: all of them.
  void DAWithdraw(TTaskOwner group, std::span<const int32_t> handles);

  int32_t AllocTransaction() { return slots_.Alloc(); }
  int32_t GetTransactionState(int32_t number) const { return slots_.Get(number); }
  // Freeing a number (state 0) also drops any result still left under it.
  bool SetTransactionState(int32_t number, int32_t state);

  // The synchronous result lists. A reader delivers a result only while its number is in use (and marks
  // it ready); false when it was dropped. Synchronous readers take by transaction number and, when
  // given (not 0), the item's server handle.
  bool DeliverHdaResult(std::unique_ptr<TResultsHDA> result);
  bool DeliverDaResult(std::unique_ptr<TResultsDA> result);
  std::unique_ptr<TResultsHDA> TakeHdaResult(int32_t transaction, int32_t itemHandle = 0);
  std::unique_ptr<TResultsDA> TakeDaResult(int32_t transaction, int32_t itemHandle = 0);

  // --- The queue thread's work (tests may call them on a stopped thread). ---
  // Start delay: returns when a request has been quiet long enough, after about 30 s at the latest, or on
  // stop.
  void StartDelay(std::stop_token stop);
  void QueueCycle();

  // --- State, for the reader, the windows and tests. ---
  TEngineContext& Context() { return ctx_; }
  size_t ConnectionCount() const { return orders_.size(); }
  TConnOrder& Order(size_t index) { return *orders_[index]; }
  const std::vector<TConnOrder*>& Rotation() const { return rotation_; }
  TCheckPribor& Devices() { return devices_; }
  int32_t ActiveReaders() const { return ctx_.activeReaders; }
  bool CancelPending() const { return cancelPending_; }
  size_t IncomingCount() const;
  size_t TaskTableSize() const { return table_.Size(); }
  TMonitorRows& MonitorRows() { return monitorRows_; }
  // The operator's task monitor; the engine's stop closes it.
  TTaskMonitor& Monitor() { return monitor_; }

 private:
  struct TRequest;
  void Start();
  void Stop();
  void BuildConnections();
  TNTreeData* Resolve(const TRequest& req, int32_t handle);
  std::unique_ptr<TStructRead> MakeTask(const TRequest& req, TNTreeData* node, int32_t handle);
  bool Refuse(const TRequest& req, TNTreeData* node, int32_t handle, bool noConnection);
  void Append(std::unique_ptr<TStructRead> task);
  void NoteRequest();
  void TakeIncoming();
  void MarkDaWaiting(TConnOrder& order);
  bool Qualifies(TConnOrder& order, TDateTime now) const;
  void StartReaders();
  template <class T>
  bool Deliver(std::vector<std::unique_ptr<T>>& list, std::unique_ptr<T> result);
  void QueueCancel(int32_t kind, TTaskOwner owner, int32_t transaction, IUnknown* callback, REFIID iid,
                   std::span<const int32_t> handles);

  TTree& tree_;
  IReaderLauncher& readers_;
  TSettings settings_{};
  std::filesystem::path folder_;
  bool queueThreadEnabled_ = true;
  TEngineContext ctx_;

  // Life: a recursive lock so a start or stop that pumps the main thread can be re-entered safely.
  mutable std::recursive_mutex lifeMutex_;
  int users_ = 0;
  bool transition_ = false;
  std::atomic<bool> running_{false};

  mutable std::mutex incomingMutex_;
  std::vector<std::unique_ptr<TStructRead>> incoming_;
  std::atomic<bool> cancelPending_{false};
  std::atomic<bool> requestFlag_{false};
  std::atomic<TDateTime> lastRequest_{0};

  std::vector<TConnKey> connections_;
  // Folded connection name -> index in connections_: every task looks its connection up.
  std::unordered_map<std::string, int32_t> connectionIndex_;
  std::vector<std::unique_ptr<TConnOrder>> orders_;
  std::vector<TConnOrder*> rotation_;
  std::vector<TConnOrder*> busyShared_;
  TCheckPribor devices_;
  std::atomic<bool> channelLogFailed_{false};
  TTaskTable table_;
  TTransactionSlots slots_;

  // Both result lists and the hand-over of a transaction number (deliver, free) are one step each.
  std::mutex resultsMutex_;
  std::vector<std::unique_ptr<TResultsHDA>> hdaResults_;
  std::vector<std::unique_ptr<TResultsDA>> daResults_;

  std::unique_ptr<TReqOrder> queue_;

  // The monitor's thread uses the rows: declared after them so it stops first.
  TMonitorRows monitorRows_;
  TTaskMonitor monitor_;
};

// The queue thread: start delay, then one cycle every "Пауза очереди (мсек)" until stopped or the
// engine shuts down. Destroying it stops and joins it.
class TReqOrder {
 public:
  explicit TReqOrder(TAsyncEngine& engine);
  ~TReqOrder();
  TReqOrder(const TReqOrder&) = delete;
  TReqOrder& operator=(const TReqOrder&) = delete;
  bool Running() const { return running_; }

 private:
  void Execute(std::stop_token stop);
  TAsyncEngine& engine_;
  std::atomic<bool> running_{true};
  std::jthread thread_;
};

}  // namespace orvela
