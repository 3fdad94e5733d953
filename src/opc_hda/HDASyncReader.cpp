#include "opc_hda/HDASyncReader.h"

#include <algorithm>

#include "opc_hda/HdaAttributes.h"
#include "opc_hda/HdaTime.h"
#include "platform/MainThread.h"
#include "platform/com/opc/OpcError.h"

namespace orvela {
namespace {

// How often the waiting caller looks for finished items (and serves other calls meanwhile).
constexpr int64_t kWaitStepMs = 10;
// An item the devices did not answer within the context's limit.
constexpr HRESULT kReadTimedOut = HRESULT_FROM_WIN32(1460);  // ERROR_TIMEOUT
constexpr int64_t kFileTimePerMs = 10'000;

template <class T>
void ClearOut(T** p) {
  if (p) *p = nullptr;
}

bool KnownAggregate(DWORD id) {
  const auto list = HdaDeclaredAggregates();
  return std::any_of(list.begin(), list.end(), [id](const THdaAggregateDecl& a) { return a.id == id; });
}

}  // namespace

THDASyncReader::THDASyncReader(IUnknown& outer, TServerContext& ctx, const THdaClientHandles& clients,
                               std::shared_ptr<THdaLateResults> late)
    : THdaDelegate(outer), ctx_(ctx), clients_(clients), late_(std::move(late)) {}

HRESULT THDASyncReader::ReadRaw(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumValues,
                                BOOL bBounds, DWORD dwNumItems, OPCHANDLE* phServer,
                                OPCHDA_ITEM** ppItemValues, HRESULT** ppErrors) {
  if (!ppItemValues || !ppErrors) return E_POINTER;
  *ppItemValues = nullptr;
  *ppErrors = nullptr;
  if (dwNumItems == 0 || dwNumItems > kHdaMaxItemsPerCall || !phServer) return E_INVALIDARG;
  THdaRawRead read;
  if (FAILED(MakeRawRead(htStartTime, htEndTime, dwNumValues, bBounds, ctx_.clock, read)))
    return E_INVALIDARG;
  THdaItemAnswer answer;
  if (!answer.Allocate(dwNumItems, OPC_E_INVALIDHANDLE)) return E_OUTOFMEMORY;
  late_->Sweep();
  std::vector<TWaiting> waiting;
  for (DWORD i = 0; i < dwNumItems; ++i) Queue(i, static_cast<int32_t>(phServer[i]), read, answer, waiting);
  Wait(waiting, answer);
  const HRESULT hr = answer.AnyFailed() ? S_FALSE : S_OK;
  answer.Release(ppItemValues, ppErrors);
  return hr;
}

void THDASyncReader::Queue(DWORD index, int32_t handle, THdaRawRead read, THdaItemAnswer& answer,
                           std::vector<TWaiting>& waiting) {
  TNTreeData* node = ctx_.tree.ResolveHandle(handle);
  if (node) {
    answer.Item(index).hClient = clients_.Of(handle);
    auto lock = ctx_.tree.ReadLock();
    read.boundReach = BoundReachOf(node);
  }
  const int32_t tx = ctx_.engine.AllocTransaction();
  const int32_t one[] = {handle};
  if (tx < 0) {
    answer.Error(index) = node ? E_FAIL : OPC_E_INVALIDHANDLE;  // every transaction number is in use
    return;
  }
  const auto [from, to] = read.EngineWindow(ctx_.clock);
  // Unknown handles go to the queue too, which journals them and makes no task.
  if (ctx_.engine.HDARead(this, 1, from, to, true, nullptr, tx, one, 0) < 0) {
    ctx_.engine.SetTransactionState(tx, 0);
    // A node that cannot be read: no connection, or not a readable node.
    answer.Error(index) = node ? E_FAIL : OPC_E_INVALIDHANDLE;
    return;
  }
  answer.Error(index) = S_OK;
  waiting.push_back({index, tx, read});
}

void THDASyncReader::Wait(std::vector<TWaiting>& waiting, THdaItemAnswer& answer) {
  Clock& clock = ctx_.clock;
  const int64_t deadline = clock.TickMs() + ctx_.syncReadLimit.count();
  while (!Collect(waiting, answer) && clock.TickMs() < deadline) {
    // The main thread keeps serving other clients' calls and the readers' callbacks while it waits.
    if (MainThread::IsMainThread())
      MainThread::PumpFor(kWaitStepMs);
    else
      clock.Sleep(kWaitStepMs);
  }
  // The engine finishes what it has started; the numbers are freed when it hands the tasks back.
  for (const TWaiting& w : waiting) {
    answer.Error(w.index) = kReadTimedOut;
    late_->Abandon(w.transaction);
  }
  waiting.clear();
}

bool THDASyncReader::Collect(std::vector<TWaiting>& waiting, THdaItemAnswer& answer) {
  std::erase_if(waiting, [&](const TWaiting& w) {
    if (ctx_.engine.GetTransactionState(w.transaction) != TTransactionSlots::kReady) return false;
    std::vector<THdaRecord> records;
    if (auto result = ctx_.engine.TakeHdaResult(w.transaction)) records = std::move(result->Records);
    ctx_.engine.SetTransactionState(w.transaction, 0);
    const HRESULT error = w.read.Shape(records);
    answer.Fill(w.index, records, error);
    return true;
  });
  return waiting.empty();
}

HRESULT THDASyncReader::AnswerWithoutValues(DWORD dwNumItems, const OPCHANDLE* phServer, HRESULT nodeError,
                                            const DWORD* aggregates, OPCHDA_ITEM** ppItemValues,
                                            HRESULT** ppErrors) {
  THdaItemAnswer answer;
  if (!answer.Allocate(dwNumItems, OPC_E_INVALIDHANDLE)) return E_OUTOFMEMORY;
  for (DWORD i = 0; i < dwNumItems; ++i) {
    TNTreeData* node = ctx_.tree.ResolveHandle(static_cast<int32_t>(phServer[i]));
    if (!node) continue;
    answer.Item(i).hClient = clients_.Of(static_cast<int32_t>(phServer[i]));
    answer.Error(i) = nodeError;
    if (aggregates) {
      answer.Item(i).haAggregate = aggregates[i];
      if (!KnownAggregate(aggregates[i])) answer.Error(i) = OPC_E_INVALIDAGGREGATE;
    }
  }
  answer.Release(ppItemValues, ppErrors);
  return S_FALSE;
}

HRESULT THDASyncReader::ReadProcessed(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                      FILETIME /*ftResampleInterval*/, DWORD dwNumItems, OPCHANDLE* phServer,
                                      DWORD* haAggregate, OPCHDA_ITEM** ppItemValues, HRESULT** ppErrors) {
  if (!ppItemValues || !ppErrors) return E_POINTER;
  *ppItemValues = nullptr;
  *ppErrors = nullptr;
  if (dwNumItems == 0 || dwNumItems > kHdaMaxItemsPerCall || !phServer || !haAggregate) return E_INVALIDARG;
  THdaRawRead read;
  if (FAILED(MakeRawRead(htStartTime, htEndTime, 0, FALSE, ctx_.clock, read))) return E_INVALIDARG;
  const int64_t span = *read.end - read.start;
  if (span < kFileTimePerMs && span > -kFileTimePerMs) return E_INVALIDARG;
  // No aggregate is computed here: every item answers without values.
  return AnswerWithoutValues(dwNumItems, phServer, OPC_S_NODATA, haAggregate, ppItemValues, ppErrors);
}

HRESULT THDASyncReader::ReadAtTime(DWORD dwNumTimeStamps, FILETIME* ftTimeStamps, DWORD dwNumItems,
                                   OPCHANDLE* phServer, OPCHDA_ITEM** ppItemValues, HRESULT** ppErrors) {
  if (!ppItemValues || !ppErrors) return E_POINTER;
  *ppItemValues = nullptr;
  *ppErrors = nullptr;
  if (dwNumItems == 0 || dwNumItems > kHdaMaxItemsPerCall || !phServer || dwNumTimeStamps == 0 ||
      !ftTimeStamps)
    return E_INVALIDARG;
  // The archives hold no values to match against given times.
  return AnswerWithoutValues(dwNumItems, phServer, OPC_S_NODATA, nullptr, ppItemValues, ppErrors);
}

HRESULT THDASyncReader::ReadModified(OPCHDA_TIME*, OPCHDA_TIME*, DWORD, DWORD, OPCHANDLE*,
                                     OPCHDA_MODIFIEDITEM** ppItemValues, HRESULT** ppErrors) {
  ClearOut(ppItemValues);
  ClearOut(ppErrors);
  return E_NOTIMPL;
}

HRESULT THDASyncReader::ReadAttribute(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, OPCHANDLE hServer,
                                      DWORD dwNumAttributes, DWORD* pdwAttributeIDs,
                                      OPCHDA_ATTRIBUTE** ppAttributeValues, HRESULT** ppErrors) {
  if (!ppAttributeValues || !ppErrors) return E_POINTER;
  *ppAttributeValues = nullptr;
  *ppErrors = nullptr;
  if (dwNumAttributes == 0 || dwNumAttributes > kHdaMaxItemsPerCall || !pdwAttributeIDs) return E_INVALIDARG;
  const TNTreeData* node = ctx_.tree.ResolveHandle(static_cast<int32_t>(hServer));
  if (!node) return OPC_E_INVALIDHANDLE;
  // The attributes are current values: the times say so on return.
  if (htStartTime) {
    htStartTime->bString = FALSE;
    htStartTime->ftTime = UtcDateTimeToFileTime(ctx_.clock.NowUtc());
  }
  if (htEndTime) htEndTime->ftTime = FILETIME{};
  THdaAttributeAnswer answer;
  if (!answer.Build(ctx_.tree, node, clients_.Of(static_cast<int32_t>(hServer)),
                    std::span<const DWORD>(pdwAttributeIDs, dwNumAttributes), ctx_.clock))
    return E_OUTOFMEMORY;
  bool allFound = true;
  for (DWORD i = 0; i < dwNumAttributes; ++i) allFound = allFound && SUCCEEDED(answer.Errors()[i]);
  answer.Release(ppAttributeValues, ppErrors);
  return allFound ? S_OK : S_FALSE;
}

}  // namespace orvela
