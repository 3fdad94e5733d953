#include "opc_hda/HDAAsyncReader.h"

#include <vector>

#include "engine/CallbackRef.h"
#include "opc_hda/HDASyncReader.h"
#include "opc_hda/HdaAttributes.h"
#include "opc_hda/HdaTime.h"
#include "platform/MainThread.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComRuntime.h"
#include "platform/com/opc/OpcError.h"

namespace orvela {
namespace {

constexpr int64_t kFileTimePerMs = 10'000;

template <class T>
void ClearOut(T* p) {
  if (p) *p = T{};
}

// One asynchronous attribute read: answers from the node's slots and calls the client back from its own
// thread, as the reader threads do with archives.
void ReadAttributesFor(TServerContext& ctx, std::shared_ptr<THdaRequest> request, DWORD transaction,
                       const TNTreeData& node, OPCHANDLE client, const std::vector<DWORD>& ids) {
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::string path;
  {
    auto lock = ctx.tree.ReadLock();
    path = node.Path;
  }
  TComPtr<IOPCHDA_DataCallback> sink;
  THdaAttributeAnswer answer;
  if (FAILED(request->Client(sink))) {
    ctx.logs.Journal("Ошибка при получении интерфейса IOPCHDA_DataCallback (для аттрибутов): " + path, {});
  } else if (!request->Cancelled() && answer.Build(ctx.tree, &node, client, ids, ctx.clock)) {
    const HRESULT hr = sink->OnReadAttributeComplete(
        transaction, S_OK, client, static_cast<DWORD>(ids.size()), answer.Records(), answer.Errors());
    if (FAILED(hr)) ctx.logs.Journal("Ошибка при возврате атрибутов: " + path, {});
  }
  request->ItemDone();
  // The table entry is revoked from this thread's apartment, before it closes.
  sink.Reset();
  request.reset();
  if (SUCCEEDED(init)) CoUninitialize();
}

}  // namespace

struct THDAAsyncReader::TAttributeThread {
  std::atomic<bool> done{false};
  std::jthread thread;
};

THDAAsyncReader::THDAAsyncReader(IUnknown& outer, TServerContext& ctx, TConnectionPoint& dataPoint,
                                 const THdaClientHandles& clients)
    : THdaDelegate(outer), ctx_(ctx), dataPoint_(dataPoint), clients_(clients) {}

THDAAsyncReader::~THDAAsyncReader() {
  Close();
}

void THDAAsyncReader::Close() {
  // Nothing more reaches the clients of this object; the engine drops what it still holds of it.
  for (auto& [id, request] : requests_) {
    request->Cancel();
    if (ctx_.engine.Running()) ctx_.engine.HDACancel(this, static_cast<int32_t>(id), nullptr);
  }
  requests_.clear();
  // An attribute thread may be calling a client of this (main) thread: serve it while waiting.
  MainThread::PumpUntil([&] {
    for (const auto& t : attributeThreads_)
      if (!t->done) return false;
    return true;
  });
  attributeThreads_.clear();
}

TComPtr<IOPCHDA_DataCallback> THDAAsyncReader::FirstSink() const {
  auto sinks = dataPoint_.Sinks<IOPCHDA_DataCallback>();
  return sinks.empty() ? TComPtr<IOPCHDA_DataCallback>() : sinks.front();
}

std::shared_ptr<THdaRequest> THDAAsyncReader::NewRequest(IOPCHDA_DataCallback* sink, size_t items) {
  ForgetFinished();
  auto client = TCallbackRef::Register(sink, IID_IOPCHDA_DataCallback);
  if (!client) return nullptr;
  const auto id = ids_.Issue();
  if (!id) return nullptr;
  auto request = std::make_shared<THdaRequest>(*id, std::move(client), items);
  requests_.emplace(*id, request);
  return request;
}

void THDAAsyncReader::ForgetFinished() {
  std::erase_if(requests_, [&](const auto& entry) {
    if (!entry.second->Finished()) return false;
    ids_.Free(entry.first);
    return true;
  });
}

HRESULT THDAAsyncReader::QueueItems(DWORD dwNumItems, const OPCHANDLE* phServer, DWORD* pdwCancelID,
                                    HRESULT** ppErrors, const std::optional<THdaRawRead>& read,
                                    const TQueueItem& queue) {
  const TComPtr<IOPCHDA_DataCallback> sink = FirstSink();
  if (!sink) return CONNECT_E_NOCONNECTION;
  auto* errors = static_cast<HRESULT*>(CoTaskMemAlloc(sizeof(HRESULT) * dwNumItems));
  if (!errors) return E_OUTOFMEMORY;
  auto request = NewRequest(sink.Get(), read ? dwNumItems : THdaRequest::kOpenEnded);
  if (!request) {
    CoTaskMemFree(errors);
    return E_FAIL;
  }
  bool anyFailed = false;
  for (DWORD i = 0; i < dwNumItems; ++i) {
    const auto handle = static_cast<int32_t>(phServer[i]);
    const TNTreeData* node = ctx_.tree.ResolveHandle(handle);
    std::optional<THdaRawRead> itemRead = read;
    if (itemRead && node) {
      auto lock = ctx_.tree.ReadLock();
      itemRead->boundReach = BoundReachOf(node);
    }
    auto relay = Make<THdaItemRelay>(request, node ? clients_.Of(handle) : 0, itemRead);
    // The queue journals what it refuses: unknown handles, unreadable nodes, nodes without connection.
    const bool queued = queue(handle, request->CancelId(), relay.Get(), itemRead);
    if (!queued) request->ItemDone();  // no answer will come for it
    errors[i] = !node ? OPC_E_INVALIDHANDLE : queued ? S_OK : E_FAIL;
    anyFailed = anyFailed || FAILED(errors[i]);
  }
  *pdwCancelID = request->CancelId();
  *ppErrors = errors;
  return anyFailed ? S_FALSE : S_OK;
}

HRESULT THDAAsyncReader::ReadRaw(DWORD dwTransactionID, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                 DWORD dwNumValues, BOOL bBounds, DWORD dwNumItems, OPCHANDLE* phServer,
                                 DWORD* pdwCancelID, HRESULT** ppErrors) {
  if (!pdwCancelID || !ppErrors) return E_POINTER;
  *pdwCancelID = 0;
  *ppErrors = nullptr;
  if (dwNumItems == 0 || dwNumItems > kHdaMaxItemsPerCall || !phServer) return E_INVALIDARG;
  THdaRawRead read;
  if (FAILED(MakeRawRead(htStartTime, htEndTime, dwNumValues, bBounds, ctx_.clock, read)))
    return E_INVALIDARG;
  ctx_.logs.WorkLog("Дана задача на чтение");
  const auto tx = static_cast<int32_t>(dwTransactionID);
  return QueueItems(
      dwNumItems, phServer, pdwCancelID, ppErrors, read,
      [&](int32_t handle, uint32_t id, IUnknown* relay, const std::optional<THdaRawRead>& item) {
        const int32_t one[] = {handle};
        const auto number = static_cast<int32_t>(id);
        const auto [from, to] = item->EngineWindow(ctx_.clock);
        return ctx_.engine.HDARead(this, tx, from, to, false, relay, number, one, number) == 0;
      });
}

HRESULT THDAAsyncReader::AdviseRaw(DWORD dwTransactionID, OPCHDA_TIME* htStartTime, FILETIME ftUpdateInterval,
                                   DWORD dwNumItems, OPCHANDLE* phServer, DWORD* pdwCancelID,
                                   HRESULT** ppErrors) {
  if (!pdwCancelID || !ppErrors) return E_POINTER;
  *pdwCancelID = 0;
  *ppErrors = nullptr;
  // A zero interval would keep the line busy with one subscription.
  if (dwNumItems == 0 || dwNumItems > kHdaMaxItemsPerCall || !phServer ||
      FileTimeToInt64(ftUpdateInterval) <= 0)
    return E_INVALIDARG;
  auto start = ResolveHdaTime(htStartTime, ctx_.clock);
  if (!start) return E_INVALIDARG;
  if (htStartTime->bString) htStartTime->ftTime = start->Time;
  // The record at the start time is the first the client gets, as with a raw read: the engine passes only
  // what lies after the start, to the millisecond.
  start->Time = Int64ToFileTime(FileTimeToInt64(start->Time) - kFileTimePerMs);
  const auto tx = static_cast<int32_t>(dwTransactionID);
  return QueueItems(dwNumItems, phServer, pdwCancelID, ppErrors, std::nullopt,
                    [&](int32_t handle, uint32_t id, IUnknown* relay, const std::optional<THdaRawRead>&) {
                      const int32_t one[] = {handle};
                      return ctx_.engine.HDAAdvise(this, tx, *start, ftUpdateInterval, relay,
                                                   static_cast<int32_t>(id), one) == 0;
                    });
}

// Nothing here computes aggregates or matches given times, so these are not offered at all rather than
// accepted and never answered.
HRESULT THDAAsyncReader::ReadProcessed(DWORD, OPCHDA_TIME*, OPCHDA_TIME*, FILETIME, DWORD, OPCHANDLE*, DWORD*,
                                       DWORD* pdwCancelID, HRESULT** ppErrors) {
  ClearOut(pdwCancelID);
  ClearOut(ppErrors);
  return E_NOTIMPL;
}

HRESULT THDAAsyncReader::AdviseProcessed(DWORD, OPCHDA_TIME*, FILETIME, DWORD, OPCHANDLE*, DWORD*, DWORD,
                                         DWORD* pdwCancelID, HRESULT** ppErrors) {
  ClearOut(pdwCancelID);
  ClearOut(ppErrors);
  return E_NOTIMPL;
}

HRESULT THDAAsyncReader::ReadAtTime(DWORD, DWORD, FILETIME*, DWORD, OPCHANDLE*, DWORD* pdwCancelID,
                                    HRESULT** ppErrors) {
  ClearOut(pdwCancelID);
  ClearOut(ppErrors);
  return E_NOTIMPL;
}

HRESULT THDAAsyncReader::ReadModified(DWORD, OPCHDA_TIME*, OPCHDA_TIME*, DWORD, DWORD, OPCHANDLE*,
                                      DWORD* pdwCancelID, HRESULT** ppErrors) {
  ClearOut(pdwCancelID);
  ClearOut(ppErrors);
  return E_NOTIMPL;
}

HRESULT THDAAsyncReader::ReadAttribute(DWORD dwTransactionID, OPCHDA_TIME*, OPCHDA_TIME*, OPCHANDLE hServer,
                                       DWORD dwNumAttributes, DWORD* dwAttributeIDs, DWORD* pdwCancelID,
                                       HRESULT** ppErrors) {
  if (!pdwCancelID || !ppErrors) return E_POINTER;
  *pdwCancelID = 0;
  *ppErrors = nullptr;
  if (dwNumAttributes == 0 || dwNumAttributes > kHdaMaxItemsPerCall || !dwAttributeIDs) return E_INVALIDARG;
  const TComPtr<IOPCHDA_DataCallback> sink = FirstSink();
  if (!sink) return CONNECT_E_NOCONNECTION;
  ReapAttributeThreads();
  if (attributeThreads_.size() >= kHdaMaxAttributeThreads) return E_FAIL;
  auto* errors = static_cast<HRESULT*>(CoTaskMemAlloc(sizeof(HRESULT) * dwNumAttributes));
  if (!errors) return E_OUTOFMEMORY;
  const TNTreeData* node = ctx_.tree.ResolveHandle(static_cast<int32_t>(hServer));
  // Nothing is answered for a handle that names no node.
  auto request = NewRequest(sink.Get(), node ? 1 : 0);
  if (!request) {
    CoTaskMemFree(errors);
    return E_FAIL;
  }
  bool allFound = true;
  {
    auto lock = ctx_.tree.ReadLock();
    for (DWORD i = 0; i < dwNumAttributes; ++i) {
      errors[i] = !node                                     ? OPC_E_INVALIDHANDLE
                  : FindAttribute(*node, dwAttributeIDs[i]) ? OPC_S_CURRENTVALUE
                                                            : OPC_E_INVALIDATTRID;
      allFound = allFound && SUCCEEDED(errors[i]);
    }
  }
  *pdwCancelID = request->CancelId();
  *ppErrors = errors;
  if (node) {
    auto entry = std::make_unique<TAttributeThread>();
    std::vector<DWORD> ids(dwAttributeIDs, dwAttributeIDs + dwNumAttributes);
    const OPCHANDLE client = clients_.Of(static_cast<int32_t>(hServer));
    entry->thread = std::jthread(
        [this, request, dwTransactionID, node, client, ids = std::move(ids), done = &entry->done]() mutable {
          ReadAttributesFor(ctx_, std::move(request), dwTransactionID, *node, client, ids);
          *done = true;
        });
    attributeThreads_.push_back(std::move(entry));
  }
  return allFound ? S_OK : S_FALSE;
}

HRESULT THDAAsyncReader::Cancel(DWORD dwCancelID) {
  auto it = requests_.find(dwCancelID);
  if (it == requests_.end()) return E_FAIL;  // not a request of this object, or cancelled already
  const std::shared_ptr<THdaRequest> request = it->second;
  requests_.erase(it);
  ids_.Free(dwCancelID);
  if (!request->Cancel()) return E_FAIL;  // answered whole already
  // Every item of the request, subscriptions included, and no other object's request of the same id.
  ctx_.engine.HDACancel(this, static_cast<int32_t>(dwCancelID), nullptr);
  // Told after the call returns, as an asynchronous completion is.
  MainThread::Post([request] { request->CompleteCancel(); });
  return S_OK;
}

void THDAAsyncReader::ReapAttributeThreads() {
  std::erase_if(attributeThreads_, [](const std::unique_ptr<TAttributeThread>& t) { return t->done.load(); });
}

}  // namespace orvela
