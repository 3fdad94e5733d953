#pragma once
// IOPCHDA_AsyncRead of the HDA server object: raw reads and subscriptions queued in the polling engine
// under this object's own cancel ids, answered through the client's IOPCHDA_DataCallback from the reader
// threads; attribute reads answered from a short thread of their own.
#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "engine/ServerContext.h"
#include "opc_hda/HdaClientHandles.h"
#include "opc_hda/HdaDelegate.h"
#include "opc_hda/HdaRawRead.h"
#include "opc_hda/HdaRequest.h"
#include "opc_hda/HdaTransactionPool.h"
#include "platform/com/ComObject.h"
#include "platform/com/opc/OpcHda.h"

namespace orvela {

// Attribute reads of one object running at once; more are refused until some finish.
constexpr size_t kHdaMaxAttributeThreads = 64;

class THDAAsyncReader final : public THdaDelegate<IOPCHDA_AsyncRead> {
 public:
  THDAAsyncReader(IUnknown& outer, TServerContext& ctx, TConnectionPoint& dataPoint,
                  const THdaClientHandles& clients);
  ~THDAAsyncReader();
  // Withdraws every request still in the engine and waits for the attribute threads; the server calls it
  // before it lets go of the engine.
  void Close();

  HRESULT STDMETHODCALLTYPE ReadRaw(DWORD dwTransactionID, OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                    DWORD dwNumValues, BOOL bBounds, DWORD dwNumItems, OPCHANDLE* phServer,
                                    DWORD* pdwCancelID, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE AdviseRaw(DWORD dwTransactionID, OPCHDA_TIME* htStartTime,
                                      FILETIME ftUpdateInterval, DWORD dwNumItems, OPCHANDLE* phServer,
                                      DWORD* pdwCancelID, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE ReadProcessed(DWORD dwTransactionID, OPCHDA_TIME* htStartTime,
                                          OPCHDA_TIME* htEndTime, FILETIME ftResampleInterval,
                                          DWORD dwNumItems, OPCHANDLE* phServer, DWORD* haAggregate,
                                          DWORD* pdwCancelID, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE AdviseProcessed(DWORD dwTransactionID, OPCHDA_TIME* htStartTime,
                                            FILETIME ftResampleInterval, DWORD dwNumItems,
                                            OPCHANDLE* phServer, DWORD* haAggregate, DWORD dwNumIntervals,
                                            DWORD* pdwCancelID, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE ReadAtTime(DWORD dwTransactionID, DWORD dwNumTimeStamps, FILETIME* ftTimeStamps,
                                       DWORD dwNumItems, OPCHANDLE* phServer, DWORD* pdwCancelID,
                                       HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE ReadModified(DWORD dwTransactionID, OPCHDA_TIME* htStartTime,
                                         OPCHDA_TIME* htEndTime, DWORD dwNumValues, DWORD dwNumItems,
                                         OPCHANDLE* phServer, DWORD* pdwCancelID,
                                         HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE ReadAttribute(DWORD dwTransactionID, OPCHDA_TIME* htStartTime,
                                          OPCHDA_TIME* htEndTime, OPCHANDLE hServer, DWORD dwNumAttributes,
                                          DWORD* dwAttributeIDs, DWORD* pdwCancelID,
                                          HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE Cancel(DWORD dwCancelID) override;

 private:
  // What ReadRaw and AdviseRaw queue for each item: the engine answers it through the relay.
  using TQueueItem = std::function<bool(int32_t handle, uint32_t id, IUnknown* relay,
                                        const std::optional<THdaRawRead>& read)>;
  // read: the raw read of every item; none for a subscription.
  HRESULT QueueItems(DWORD dwNumItems, const OPCHANDLE* phServer, DWORD* pdwCancelID, HRESULT** ppErrors,
                     const std::optional<THdaRawRead>& read, const TQueueItem& queue);
  TComPtr<IOPCHDA_DataCallback> FirstSink() const;
  // A new request of the client's callback under a new id; null when no id is left or the callback
  // cannot be kept.
  std::shared_ptr<THdaRequest> NewRequest(IOPCHDA_DataCallback* sink, size_t items);
  // Forgets the requests that are answered whole.
  void ForgetFinished();
  struct TAttributeThread;
  void ReapAttributeThreads();

  TServerContext& ctx_;
  TConnectionPoint& dataPoint_;
  const THdaClientHandles& clients_;
  THdaTransactionPool ids_;
  // The requests that may still be cancelled, by id.
  std::map<DWORD, std::shared_ptr<THdaRequest>> requests_;
  std::list<std::unique_ptr<TAttributeThread>> attributeThreads_;
};

}  // namespace orvela
