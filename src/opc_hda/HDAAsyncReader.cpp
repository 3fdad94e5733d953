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

template <class T>
void ClearOut(T* p) {
  if (p) *p = T{};
}

// One asynchronous attribute read: answers from the node's slots and calls the client back from its own
// thread, as the reader threads do with archives.
void ReadAttributesFor(TServerContext& ctx, std::shared_ptr<TCallbackRef> callback, DWORD transaction,
                       const TNTreeData& node, const std::vector<DWORD>& ids) {
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::string path;
  OPCHANDLE client = 0;
  {
    auto lock = ctx.tree.ReadLock();
    path = node.Path;
    client = static_cast<OPCHANDLE>(node.ClientHandle);
  }
  TComPtr<IOPCHDA_DataCallback> sink;
  THdaAttributeAnswer answer;
  if (!callback || FAILED(callback->Get(sink)) || !sink) {
    ctx.logs.Journal("Ошибка при получении интерфейса IOPCHDA_DataCallback (для аттрибутов): " + path, {});
  } else if (answer.Build(ctx.tree, &node, ids, ctx.clock)) {
    const HRESULT hr = sink->OnReadAttributeComplete(
        transaction, S_OK, client, static_cast<DWORD>(ids.size()), answer.Records(), answer.Errors());
    if (FAILED(hr)) ctx.logs.Journal("Ошибка при возврате атрибутов: " + path, {});
  }
  // The table entry is revoked from this thread's apartment, before it closes.
  sink.Reset();
  callback.reset();
  if (SUCCEEDED(init)) CoUninitialize();
}

}  // namespace

struct THDAAsyncReader::TAttributeThread {
  std::atomic<bool> done{false};
  std::jthread thread;
};

THDAAsyncReader::THDAAsyncReader(IUnknown& outer, TServerContext& ctx, TConnectionPoint& dataPoint)
    : THdaDelegate(outer), ctx_(ctx), dataPoint_(dataPoint) {}

THDAAsyncReader::~THDAAsyncReader() {
  Close();
}

void THDAAsyncReader::Close() {
  if (ctx_.engine.Running())
    for (uint32_t id : ids_.IssuedIds()) ctx_.engine.HDACancel(this, static_cast<int32_t>(id), nullptr);
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

HRESULT THDAAsyncReader::QueueItems(DWORD dwNumItems, const OPCHANDLE* phServer, DWORD* pdwCancelID,
                                    HRESULT** ppErrors, const TQueueItem& queue) {
  const TComPtr<IOPCHDA_DataCallback> sink = FirstSink();
  if (!sink) return CONNECT_E_NOCONNECTION;
  auto* errors = static_cast<HRESULT*>(CoTaskMemAlloc(sizeof(HRESULT) * dwNumItems));
  if (!errors) return E_OUTOFMEMORY;
  const auto id = ids_.Issue();
  if (!id) {
    CoTaskMemFree(errors);
    return E_FAIL;
  }
  bool anyFailed = false;
  for (DWORD i = 0; i < dwNumItems; ++i) {
    const auto handle = static_cast<int32_t>(phServer[i]);
    // The queue journals what it refuses: unknown handles, unreadable nodes, nodes without connection.
    const bool known = ctx_.tree.ResolveHandle(handle) != nullptr;
    const bool queued = queue(handle, *id, sink.Get());
    errors[i] = !known ? OPC_E_INVALIDHANDLE : queued ? S_OK : E_FAIL;
    anyFailed = anyFailed || FAILED(errors[i]);
  }
  *pdwCancelID = *id;
  *ppErrors = errors;
  return anyFailed ? S_FALSE : S_OK;
}

HRESULT THDAAsyncReader::ReadRaw(DWORD dwTransactionID, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                 DWORD /*dwNumValues*/, BOOL /*bBounds*/, DWORD dwNumItems,
                                 OPCHANDLE* phServer, DWORD* pdwCancelID, HRESULT** ppErrors) {
  if (!pdwCancelID || !ppErrors) return E_POINTER;
  *pdwCancelID = 0;
  *ppErrors = nullptr;
  if (dwNumItems == 0 || dwNumItems > kHdaMaxItemsPerCall || !phServer) return E_INVALIDARG;
  const auto start = ResolveHdaTime(htStartTime, ctx_.clock);
  const auto end = ResolveHdaTime(htEndTime, ctx_.clock);
  if (!start || !end) return E_INVALIDARG;
  ctx_.logs.WorkLog("Дана задача на чтение");
  const auto tx = static_cast<int32_t>(dwTransactionID);
  return QueueItems(
      dwNumItems, phServer, pdwCancelID, ppErrors, [&](int32_t handle, uint32_t id, IUnknown* sink) {
        const int32_t one[] = {handle};
        const auto number = static_cast<int32_t>(id);
        return ctx_.engine.HDARead(this, tx, *start, *end, false, sink, number, one, number) == 0;
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
  const auto start = ResolveHdaTime(htStartTime, ctx_.clock);
  if (!start) return E_INVALIDARG;
  const auto tx = static_cast<int32_t>(dwTransactionID);
  return QueueItems(dwNumItems, phServer, pdwCancelID, ppErrors,
                    [&](int32_t handle, uint32_t id, IUnknown* sink) {
                      const int32_t one[] = {handle};
                      return ctx_.engine.HDAAdvise(this, tx, *start, ftUpdateInterval, sink,
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
  const auto id = ids_.Issue();
  if (!id) {
    CoTaskMemFree(errors);
    return E_FAIL;
  }
  const TNTreeData* node = ctx_.tree.ResolveHandle(static_cast<int32_t>(hServer));
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
  *pdwCancelID = *id;
  *ppErrors = errors;
  if (node) {
    auto callback = TCallbackRef::Register(sink.Get(), IID_IOPCHDA_DataCallback);
    auto entry = std::make_unique<TAttributeThread>();
    std::vector<DWORD> ids(dwAttributeIDs, dwAttributeIDs + dwNumAttributes);
    entry->thread = std::jthread([this, callback = std::move(callback), dwTransactionID, node,
                                  ids = std::move(ids), done = &entry->done]() mutable {
      ReadAttributesFor(ctx_, std::move(callback), dwTransactionID, *node, ids);
      *done = true;
    });
    attributeThreads_.push_back(std::move(entry));
  }
  return allFound ? S_OK : S_FALSE;
}

HRESULT THDAAsyncReader::Cancel(DWORD dwCancelID) {
  if (!ids_.Free(dwCancelID)) return E_FAIL;  // not a request of this object, or cancelled already
  // Every item of the request, subscriptions included, and no other object's request of the same id.
  ctx_.engine.HDACancel(this, static_cast<int32_t>(dwCancelID), nullptr);
  return S_OK;
}

void THDAAsyncReader::ReapAttributeThreads() {
  std::erase_if(attributeThreads_, [](const std::unique_ptr<TAttributeThread>& t) { return t->done.load(); });
}

}  // namespace orvela
