#include "engine/UReqOrder.h"

#include <algorithm>

#include "platform/Cp1251.h"
#include "platform/com/opc/OpcDa.h"
#include "platform/com/opc/OpcHda.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

constexpr int64_t kStartDelayStepMs = 500;
constexpr int kStartDelaySteps = 61;
constexpr int64_t kFinalWaitStepMs = 200;
constexpr int64_t kFinalWaitMaxMs = 4000;
// A reader whose current item started longer ago than this is not asked about waiting current data.
constexpr TDateTime kStaleItem = (23 * 60 + 5) / (24.0 * 60);

int64_t MsSince(TDateTime from, TDateTime now) {
  return static_cast<int64_t>((now - from) * kMsPerDay);
}

// The refusal texts of one entry operation.
struct TRefusalTexts {
  int32_t kind;
  const char* noNode;        // + handle
  const char* noConnection;  // + what the operation names (below) + handle
};
constexpr TRefusalTexts kRefusals[] = {
    {tkHdaRead, "HDARead: Параметр не Найден - ", "HDARead: Ресурс не Найден - "},
    {tkHdaAdvise, "HDAAdvise: Параметр не Найден - ", "HDAAdvise: Ресурс не Найден -  "},
    {tkDaRead, "DARead: Параметр не Найден - ", "DARead: Ресурс не Найден - "},
    {tkDaWrite, "DAWrite: Параметр не Найден - ", "DAWrite: Ресурс не Найден - "},
    {tkDaRefresh, "DARefresh: Параметр не Найден - ", "DARefresh: Ресурс не Найден - "},
};

const TRefusalTexts& RefusalTexts(int32_t kind) {
  for (const auto& r : kRefusals)
    if (r.kind == kind) return r;
  return kRefusals[0];
}

// What names the item in a "Ресурс не Найден" line, between the text and the handle.
std::string ConnectionRefusalDetail(int32_t kind, const TNTreeData& node) {
  const std::string serial = Utf8Prefix(node.Serial, 8);
  switch (kind) {
    case tkHdaRead:
      return node.ConnKey.LinkAddress + " -" + serial + " ";
    case tkDaRead:
      return node.Path + " - ";
    case tkDaWrite:
      return node.ConnKey.LinkAddress + " ";
    case tkDaRefresh:
      return serial + " ";
    default:
      return {};
  }
}

std::string LocalText(const FILETIME& utc) {
  return FormatDateTime(FileTimeToLocalDateTime(utc));
}

}  // namespace

// What the items of one request share.
struct TAsyncEngine::TRequest {
  int32_t kind = 0;
  TTaskOwner owner = nullptr;
  int32_t clientGroup = 0;
  int32_t clientTransaction = 0;
  int32_t transaction = 0;
  bool synchronous = false;
  std::shared_ptr<TCallbackRef> callback;
};

TAsyncEngine::TAsyncEngine(TTree& tree, IReaderLauncher& readers, IEngineLogs& logs, Clock& clock,
                           IEngineHost& host)
    : tree_(tree), readers_(readers), monitor_(monitorRows_, clock, logs) {
  ctx_.clock = &clock;
  ctx_.logs = &logs;
  ctx_.host = &host;
}

TAsyncEngine::~TAsyncEngine() {
  std::lock_guard lock(lifeMutex_);
  if (running_) Stop();
}

// ---- Life
// ---------------------------------------------------------------------------------------------------

int TAsyncEngine::Users() const {
  std::lock_guard lock(lifeMutex_);
  return users_;
}

void TAsyncEngine::InitAsync() {
  std::lock_guard lock(lifeMutex_);
  // A second user shares the running engine; a call made while the engine starts or stops (the main
  // thread pumping) only counts.
  if (users_++ > 0 || transition_) return;
  transition_ = true;
  Start();
  transition_ = false;
  if (users_ == 0) Stop();  // the last user left while we were starting
}

void TAsyncEngine::FinalAsync() {
  std::lock_guard lock(lifeMutex_);
  if (users_ == 0) return;
  if (--users_ > 0 || transition_ || !running_) return;
  transition_ = true;
  Stop();
  transition_ = false;
  if (users_ > 0) Start();  // a user arrived while we were stopping
}

void TAsyncEngine::Start() {
  IEngineLogs& logs = *ctx_.logs;
  logs.WorkLog("Подключение HDA");
  ctx_.settings = settings_;
  ctx_.programFolder = folder_;
  ctx_.shutdown = false;
  cancelPending_ = false;
  lastRequest_ = ctx_.GetClock().NowUtc();
  requestFlag_ = false;
  ctx_.activeReaders = 0;
  channelLogFailed_ = false;
  devices_.BuildDeviceRecords(tree_.Root());
  BuildConnections();
  running_ = true;
  if (queueThreadEnabled_ && !queue_) queue_ = std::make_unique<TReqOrder>(*this);
  ctx_.host->SetEditingEnabled(false);
  ctx_.host->StartInbound();
  logs.WorkLog("InitAsync Закончен");
}

void TAsyncEngine::BuildConnections() {
  // Every configured device counts, not only the first of devices sharing a record, so no connection is
  // left without an order.
  std::vector<const TNTreeData*> devices;
  std::vector<std::string> names;  // folded once: the checks below compare every pair
  if (tree_.Root())
    for (const TNTreeData* d : tree_.Root()->Children) {
      devices.push_back(d);
      names.push_back(FoldConnName(d->ConnKey.ConnName));
    }
  for (size_t i = 0; i < devices.size(); ++i) {
    const TConnKey& key = devices[i]->ConnKey;
    if (connectionIndex_.contains(names[i])) continue;
    bool shared = false;
    for (size_t j = 0; j < devices.size() && !shared; ++j)
      if (names[j] != names[i])
        shared = SharesResource(key, devices[j]->ConnKey, ctx_.host->InboundCallsActive());
    connectionIndex_.emplace(names[i], static_cast<int32_t>(connections_.size()));
    connections_.push_back(key);
    orders_.push_back(std::make_unique<TConnOrder>(key, ctx_, shared, &channelLogFailed_));
    rotation_.push_back(orders_.back().get());
  }
}

void TAsyncEngine::Stop() {
  IEngineLogs& logs = *ctx_.logs;
  logs.WorkLog("Отключение OPC - FinalAsync");
  logs.WorkLog("ReqTerm: " + std::to_string(cancelPending_ ? 1 : 0));
  ctx_.shutdown = true;
  for (int64_t waited = 0; cancelPending_ && queue_ && queue_->Running() && waited < kFinalWaitMaxMs;
       waited += kFinalWaitStepMs)
    ctx_.GetClock().Sleep(kFinalWaitStepMs);
  logs.WorkLog("После ожидания: ReqTerm: " + std::to_string(cancelPending_ ? 1 : 0));
  cancelPending_ = false;
  logs.WorkLog("Остановка потоков");
  queue_.reset();      // stops and joins the queue thread
  readers_.StopAll();  // joins every reader before anything they use goes
  table_.Clear();
  busyShared_.clear();
  rotation_.clear();
  orders_.clear();
  connections_.clear();
  connectionIndex_.clear();
  ctx_.host->SetEditingEnabled(true);
  devices_.Clear();
  ctx_.host->StopInbound();
  logs.WorkLog("Уничтожение ReqT");
  {
    std::lock_guard lock(incomingMutex_);
    incoming_.clear();
  }
  logs.WorkLog("ReqT уничтожен");
  running_ = false;
  logs.WorkLog("Очередь остановлена");
  if (monitor_.Stop()) logs.WorkLog("Монитор остановлен");
  logs.WorkLog("FinalAsync Закончен");
}

// ---- Entry operations
// ---------------------------------------------------------------------------------------

int32_t TAsyncEngine::FindConnection(const TConnKey& key) {
  if (ctx_.shutdown) return -1;
  IEngineLogs& logs = *ctx_.logs;
  logs.WorkLog("Поиск соединения: " + key.LinkAddress + "  " + key.ConnName +
               " Колич. соед.: " + std::to_string(connections_.size()));
  if (connections_.size() < 2)
    logs.WorkLog("Поиск соединения кол приборов: " + std::to_string(devices_.Count()));
  if (auto found = connectionIndex_.find(FoldConnName(key.ConnName)); found != connectionIndex_.end())
    return found->second;
  logs.WorkLog("Соединение не найдено - проведем иниц.");
  return -1;
}

void TAsyncEngine::NoteRequest() {
  lastRequest_ = ctx_.GetClock().NowUtc();
  requestFlag_ = true;
}

TNTreeData* TAsyncEngine::Resolve(const TRequest& req, int32_t handle) {
  TNTreeData* node =
      IsDaKind(req.kind) ? tree_.ResolveHandleDA(handle, ctx_.logs) : tree_.ResolveHandle(handle);
  if (!node || node->ModelCode == mcNotReadable) return nullptr;
  if (req.kind == tkHdaRead && node == tree_.Root()) return nullptr;
  return node;
}

bool TAsyncEngine::Refuse(const TRequest& req, TNTreeData* node, int32_t handle, bool noConnection) {
  const TRefusalTexts& texts = RefusalTexts(req.kind);
  const std::string h = std::to_string(handle);
  if (noConnection)
    ctx_.logs->Journal(texts.noConnection + ConnectionRefusalDetail(req.kind, *node) + h, {});
  else
    ctx_.logs->Journal(texts.noNode + h, {});
  return false;
}

std::unique_ptr<TStructRead> TAsyncEngine::MakeTask(const TRequest& req, TNTreeData* node, int32_t handle) {
  const int32_t conn = FindConnection(node->ConnKey);
  if (conn < 0) return nullptr;
  auto task = std::make_unique<TStructRead>();
  const TDateTime now = ctx_.GetClock().NowUtc();
  task->Node = node;
  task->ItemHandle = handle;
  task->ClientTransaction = req.clientTransaction;
  task->ConnKey = node->ConnKey;
  task->Serial = Utf8Prefix(node->Serial, 8);
  task->ArchiveStep = node->ArchiveStep;
  task->Created = task->LastServed = now;
  task->ConnIndex = conn;
  task->Kind = req.kind;
  task->Owner = req.owner;
  task->ClientGroup = req.clientGroup;
  task->TransactionNumber = req.transaction;
  task->Synchronous = req.synchronous;
  if (!req.synchronous) task->Callback = req.callback;
  return task;
}

void TAsyncEngine::Append(std::unique_ptr<TStructRead> task) {
  std::lock_guard lock(incomingMutex_);
  incoming_.push_back(std::move(task));
}

int32_t TAsyncEngine::HDARead(TTaskOwner owner, int32_t clientTransaction, const TTaskTime& start,
                              const TTaskTime& end, bool synchronous, IUnknown* callback, int32_t transaction,
                              std::span<const int32_t> handles, int32_t cancelNumber) {
  NoteRequest();
  TRequest req{tkHdaRead,
               owner,
               0,
               clientTransaction,
               transaction,
               synchronous,
               synchronous ? nullptr : TCallbackRef::Register(callback, IID_IOPCHDA_DataCallback)};
  bool lastQueued = false;
  for (int32_t handle : handles) {
    TNTreeData* node = Resolve(req, handle);
    auto task = node ? MakeTask(req, node, handle) : nullptr;
    if (!task) {
      lastQueued = Refuse(req, node, handle, node != nullptr);
      continue;
    }
    task->CountOrCancel = cancelNumber;
    task->StartTime = task->WindowStart = start;
    task->EndTime = end;
    if (ctx_.settings.JournalEveryRequest)
      ctx_.logs->Journal(
          "HDA Чтение: " + LocalText(start.Time) + " - " + LocalText(end.Time) + "  " + node->Path, {});
    Append(std::move(task));
    lastQueued = true;
  }
  return lastQueued ? 0 : -1;
}

int32_t TAsyncEngine::HDAAdvise(TTaskOwner owner, int32_t clientTransaction, const TTaskTime& start,
                                const FILETIME& updateInterval, IUnknown* callback, int32_t transaction,
                                std::span<const int32_t> handles) {
  NoteRequest();
  TRequest req{tkHdaAdvise,
               owner,
               0,
               clientTransaction,
               transaction,
               false,
               TCallbackRef::Register(callback, IID_IOPCHDA_DataCallback)};
  const int64_t intervalMs = FileTimeToInt64(updateInterval) / 10'000;
  bool lastQueued = false;
  for (int32_t handle : handles) {
    TNTreeData* node = Resolve(req, handle);
    auto task = node ? MakeTask(req, node, handle) : nullptr;
    if (!task) {
      lastQueued = Refuse(req, node, handle, node != nullptr);
      continue;
    }
    task->Created = 0;  // due at once
    task->LastServed = FileTimeToUtcDateTime(start.Time);
    task->Interval = intervalMs / kMsPerDay;
    task->StartTime = task->WindowStart = start;
    task->UpdateIntervalMs = intervalMs;
    task->FirstTime = 1;
    if (ctx_.settings.JournalEveryRequest)
      ctx_.logs->Journal("HDAAdvise: Подписка добавлена - " + LocalText(start.Time) +
                             "  интервал:" + FormatDateTime(task->Interval) + "  " + node->Path + " (" +
                             FormatDateTime(task->Created) + ")",
                         node->ConnKey.LinkAddress);
    Append(std::move(task));
    lastQueued = true;
  }
  return lastQueued ? 0 : -1;
}

bool TAsyncEngine::DARead(TTaskOwner group, int32_t clientGroup, bool synchronous, IUnknown* callback,
                          std::span<const int32_t> handles, int32_t transaction, int32_t clientTransaction) {
  NoteRequest();
  TRequest req{tkDaRead,
               group,
               clientGroup,
               clientTransaction,
               transaction,
               synchronous,
               synchronous ? nullptr : TCallbackRef::Register(callback, IID_IOPCDataCallback)};
  bool lastQueued = false;
  for (int32_t handle : handles) {
    TNTreeData* node = Resolve(req, handle);
    auto task = node ? MakeTask(req, node, handle) : nullptr;
    if (!task) {
      lastQueued = Refuse(req, node, handle, node != nullptr);
      continue;
    }
    if (ctx_.settings.JournalEveryRequest) ctx_.logs->Journal("DA Чтение: " + node->Path, {});
    Append(std::move(task));
    lastQueued = true;
  }
  return lastQueued;
}

void TAsyncEngine::DAWrite(TTaskOwner group, int32_t clientGroup, int32_t clientTransaction,
                           IUnknown* callback, int32_t transaction, std::span<const TVariant> values,
                           std::span<const int32_t> handles) {
  NoteRequest();
  TRequest req{tkDaWrite,
               group,
               clientGroup,
               clientTransaction,
               transaction,
               false,
               TCallbackRef::Register(callback, IID_IOPCDataCallback)};
  for (size_t i = 0; i < handles.size(); ++i) {
    TNTreeData* node = Resolve(req, handles[i]);
    auto task = node ? MakeTask(req, node, handles[i]) : nullptr;
    if (!task) {
      Refuse(req, node, handles[i], node != nullptr);
      continue;
    }
    task->CountOrCancel = static_cast<int32_t>(handles.size());
    if (i < values.size()) task->Value = values[i];
    if (ctx_.settings.JournalEveryRequest) ctx_.logs->Journal("DA Запись " + node->Path, {});
    Append(std::move(task));
  }
}

void TAsyncEngine::DARefresh(TTaskOwner group, int32_t clientGroup, int32_t updateRate, IUnknown* callback,
                             std::span<const int32_t> handles, int32_t transaction,
                             int32_t clientTransaction) {
  NoteRequest();
  TRequest req{tkDaRefresh,
               group,
               clientGroup,
               clientTransaction,
               transaction,
               false,
               TCallbackRef::Register(callback, IID_IOPCDataCallback)};
  for (int32_t handle : handles) {
    TNTreeData* node = Resolve(req, handle);
    auto task = node ? MakeTask(req, node, handle) : nullptr;
    if (!task) {
      Refuse(req, node, handle, node != nullptr);
      continue;
    }
    task->UpdateRate = updateRate;
    {
      auto lock = tree_.WriteLock();
      if (!node->DateArrayCell) node->DateArrayCell = std::make_unique<TDateArrayCell>();
      node->DateArrayCell->RefreshMark = tkDaRefresh;
      node->DateArrayCell->UpdateRate = updateRate;
    }
    if (ctx_.settings.JournalEveryRequest) ctx_.logs->Journal("DA Обновление: " + node->Path, {});
    Append(std::move(task));
  }
}

void TAsyncEngine::QueueCancel(int32_t kind, TTaskOwner owner, int32_t transaction, IUnknown* callback,
                               REFIID iid, std::span<const int32_t> handles) {
  auto task = std::make_unique<TStructRead>();
  task->Kind = kind;
  task->Owner = owner;
  task->TransactionNumber = transaction;
  task->Callback = TCallbackRef::Register(callback, iid);
  task->WithdrawHandles.assign(handles.begin(), handles.end());
  Append(std::move(task));
  cancelPending_ = true;
}

void TAsyncEngine::HDACancel(TTaskOwner owner, int32_t transaction, IUnknown* callback) {
  QueueCancel(tkHdaCancel, owner, transaction, callback, IID_IOPCHDA_DataCallback, {});
  if (ctx_.settings.JournalEveryRequest)
    ctx_.logs->Journal("HDA: Отмена задания:" + std::to_string(transaction), {});
}

void TAsyncEngine::DACancel(TTaskOwner group, int32_t transaction, IUnknown* callback) {
  QueueCancel(tkDaCancel, group, transaction, callback, IID_IOPCDataCallback, {});
  ctx_.logs->Journal("DA: Отмена задания" + std::to_string(transaction), {});
}

void TAsyncEngine::DAWithdraw(TTaskOwner group, std::span<const int32_t> handles) {
  // A DA cancel without a transaction: the whole group, or the listed items.
  auto task = std::make_unique<TStructRead>();
  task->Kind = tkDaCancel;
  task->Owner = group;
  task->TransactionNumber = -1;
  task->Constant1 = 0;  // marks the withdrawal
  task->WithdrawHandles.assign(handles.begin(), handles.end());
  Append(std::move(task));
  cancelPending_ = true;
}

// ---- Synchronous results
// --------------------------------------------------------------------------------------

namespace {
template <class T>
std::unique_ptr<T> TakeMatching(std::vector<std::unique_ptr<T>>& list, int32_t tx, int32_t itemHandle) {
  auto it = std::find_if(list.begin(), list.end(), [&](const auto& r) {
    return r->TransactionNumber == tx && (itemHandle == 0 || r->ItemHandle == itemHandle);
  });
  if (it == list.end()) return nullptr;
  auto result = std::move(*it);
  list.erase(it);
  return result;
}
}  // namespace

bool TAsyncEngine::SetTransactionState(int32_t number, int32_t state) {
  std::lock_guard lock(resultsMutex_);
  if (!slots_.Set(number, state)) return false;
  // A freed number is used again: what was left for it (a result its reader gave up waiting for) must
  // never reach the next request under that number.
  if (state == 0) {
    std::erase_if(hdaResults_, [&](const auto& r) { return r->TransactionNumber == number; });
    std::erase_if(daResults_, [&](const auto& r) { return r->TransactionNumber == number; });
  }
  return true;
}

template <class T>
bool TAsyncEngine::Deliver(std::vector<std::unique_ptr<T>>& list, std::unique_ptr<T> result) {
  std::lock_guard lock(resultsMutex_);
  const int32_t number = result->TransactionNumber;
  // Nobody waits under a free number any more: the result is dropped instead of waiting for whoever
  // takes the number next.
  if (slots_.Get(number) <= 0) return false;
  list.push_back(std::move(result));
  slots_.Set(number, TTransactionSlots::kReady);
  return true;
}

bool TAsyncEngine::DeliverHdaResult(std::unique_ptr<TResultsHDA> result) {
  return Deliver(hdaResults_, std::move(result));
}
std::unique_ptr<TResultsHDA> TAsyncEngine::TakeHdaResult(int32_t transaction, int32_t itemHandle) {
  std::lock_guard lock(resultsMutex_);
  return TakeMatching(hdaResults_, transaction, itemHandle);
}
bool TAsyncEngine::DeliverDaResult(std::unique_ptr<TResultsDA> result) {
  return Deliver(daResults_, std::move(result));
}
std::unique_ptr<TResultsDA> TAsyncEngine::TakeDaResult(int32_t transaction, int32_t itemHandle) {
  std::lock_guard lock(resultsMutex_);
  return TakeMatching(daResults_, transaction, itemHandle);
}

size_t TAsyncEngine::IncomingCount() const {
  std::lock_guard lock(incomingMutex_);
  return incoming_.size();
}

// ---- The queue
// ----------------------------------------------------------------------------------------------

void TAsyncEngine::StartDelay(std::stop_token stop) {
  Clock& clock = ctx_.GetClock();
  for (int i = 0; i < kStartDelaySteps && !ctx_.shutdown; ++i) {
    if (requestFlag_ && MsSince(lastRequest_, clock.NowUtc()) > ctx_.settings.StartPauseMs) return;
    if (!clock.Sleep(kStartDelayStepMs, stop)) return;
  }
}

void TAsyncEngine::TakeIncoming() {
  std::vector<std::unique_ptr<TStructRead>> taken;
  {
    std::lock_guard lock(incomingMutex_);
    taken.swap(incoming_);
    cancelPending_ = false;
  }
  for (auto& task : taken) {
    if (task->Kind == tkHdaCancel) {
      table_.CancelRequest(task->Owner, task->TransactionNumber, true);
    } else if (task->Kind == tkDaCancel) {
      if (task->Constant1 == 0)
        table_.WithdrawOwner(task->Owner, task->WithdrawHandles);
      else
        table_.CancelRequest(task->Owner, task->TransactionNumber, false);
    } else if (task->ConnIndex >= 0 && static_cast<size_t>(task->ConnIndex) < orders_.size()) {
      table_.Add(task.get());
      orders_[task->ConnIndex]->AddTask(std::move(task));
    }
  }
  // What is left are the cancel tasks: their callbacks go without ever being unmarshalled, outside the
  // incoming lock.
  taken.clear();
}

void TAsyncEngine::MarkDaWaiting(TConnOrder& order) {
  if (ctx_.GetClock().NowUtc() - order.ItemStart > kStaleItem) return;
  const auto& pending = order.Pending();
  order.DAWaiting =
      !pending.empty() && pending.front()->Kind == tkDaRead && pending.front()->State == tsWaiting;
}

bool TAsyncEngine::Qualifies(TConnOrder& order, TDateTime now) const {
  if (order.Busy || !order.HasWork || order.Enabled == 0) return false;
  // A delayed order's work is only client requests, answered without the device (or port).
  if (!order.Shared() || order.DelayedAt(now)) return true;
  const bool inbound = ctx_.host->InboundCallsActive();
  return std::none_of(busyShared_.begin(), busyShared_.end(), [&](const TConnOrder* busy) {
    return SharesResource(order.Key(), busy->Key(), inbound);
  });
}

void TAsyncEngine::StartReaders() {
  const TDateTime now = ctx_.GetClock().NowUtc();
  size_t pos = 0;
  while (pos < rotation_.size() && ctx_.activeReaders < ctx_.settings.ReaderThreads) {
    TConnOrder* order = rotation_[pos];
    if (!Qualifies(*order, now)) {
      ++pos;
      continue;
    }
    order->Busy = true;
    order->HasWork = false;
    order->ThreadStart = now;
    order->ItemStart = now;
    order->OfflineRun = order->DelayedAt(now);
    ++ctx_.activeReaders;
    if (order->Shared() && !order->OfflineRun) busyShared_.push_back(order);
    rotation_.erase(rotation_.begin() + static_cast<std::ptrdiff_t>(pos));
    rotation_.push_back(order);
    readers_.StartReader(*order);
  }
}

void TAsyncEngine::QueueCycle() {
  IEngineLogs& logs = *ctx_.logs;
  logs.OrderLog("Очередной шаг");
  TakeIncoming();
  logs.OrderLog("Задания приняту в очередь");
  std::erase_if(busyShared_, [](const TConnOrder* o) { return !o->Busy; });
  monitorRows_.Refresh(orders_, ctx_.GetClock().NowUtc());
  for (auto& order : orders_) {
    logs.OrderLog("Обработка соединения " + order->LinkAddress());
    if (order->Busy) {
      MarkDaWaiting(*order);
    } else {
      logs.OrderLog("Поток не занят - обрабатываем");
      order->Dispatch();
    }
  }
  StartReaders();
  for (auto& order : orders_) order->CleanUp([this](TStructRead* task) { table_.Remove(task); });
}

// ---- The queue thread
// -----------------------------------------------------------------------------------------

TReqOrder::TReqOrder(TAsyncEngine& engine)
    : engine_(engine), thread_([this](std::stop_token stop) { Execute(stop); }) {}

TReqOrder::~TReqOrder() {
  thread_.request_stop();
  if (thread_.joinable()) thread_.join();
}

void TReqOrder::Execute(std::stop_token stop) {
  // Released callbacks leave the global interface table from here, which wants an apartment.
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  TEngineContext& ctx = engine_.Context();
  ctx.logs->OrderLog("------------------ Очередь запустилась ------------------");
  engine_.StartDelay(stop);
  ctx.logs->OrderLog("Запуск цикла");
  while (!stop.stop_requested() && !ctx.shutdown) {
    engine_.QueueCycle();
    ctx.GetClock().Sleep(ctx.settings.QueuePauseMs, stop);
  }
  if (SUCCEEDED(init)) CoUninitialize();
  running_ = false;
}

}  // namespace orvela
