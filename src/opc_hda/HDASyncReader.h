#pragma once
// IOPCHDA_SyncRead of the HDA server object: raw archive reads through the polling engine, waited for on
// the calling (main) thread while it keeps serving other calls; attribute reads from the node slots.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/ServerContext.h"
#include "opc_hda/HdaClientHandles.h"
#include "opc_hda/HdaDelegate.h"
#include "opc_hda/HdaItemAnswer.h"
#include "opc_hda/HdaLateResults.h"
#include "opc_hda/HdaRawRead.h"
#include "platform/com/opc/OpcHda.h"

namespace orvela {

// Most items or attributes one call may name.
constexpr DWORD kHdaMaxItemsPerCall = 65'536;

class THDASyncReader final : public THdaDelegate<IOPCHDA_SyncRead> {
 public:
  THDASyncReader(IUnknown& outer, TServerContext& ctx, const THdaClientHandles& clients,
                 std::shared_ptr<THdaLateResults> late);

  HRESULT STDMETHODCALLTYPE ReadRaw(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumValues,
                                    BOOL bBounds, DWORD dwNumItems, OPCHANDLE* phServer,
                                    OPCHDA_ITEM** ppItemValues, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE ReadProcessed(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                          FILETIME ftResampleInterval, DWORD dwNumItems, OPCHANDLE* phServer,
                                          DWORD* haAggregate, OPCHDA_ITEM** ppItemValues,
                                          HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE ReadAtTime(DWORD dwNumTimeStamps, FILETIME* ftTimeStamps, DWORD dwNumItems,
                                       OPCHANDLE* phServer, OPCHDA_ITEM** ppItemValues,
                                       HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE ReadModified(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumValues,
                                         DWORD dwNumItems, OPCHANDLE* phServer,
                                         OPCHDA_MODIFIEDITEM** ppItemValues, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE ReadAttribute(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, OPCHANDLE hServer,
                                          DWORD dwNumAttributes, DWORD* pdwAttributeIDs,
                                          OPCHDA_ATTRIBUTE** ppAttributeValues, HRESULT** ppErrors) override;

 private:
  // One item's request in the engine: its place in the answer, its transaction number and its read.
  struct TWaiting {
    DWORD index;
    int32_t transaction;
    THdaRawRead read;
  };
  void Queue(DWORD index, int32_t handle, THdaRawRead read, THdaItemAnswer& answer,
             std::vector<TWaiting>& waiting);
  void Wait(std::vector<TWaiting>& waiting, THdaItemAnswer& answer);
  bool Collect(std::vector<TWaiting>& waiting, THdaItemAnswer& answer);
  // Item answers without values: client handle of each node, else OPC_E_INVALIDHANDLE.
  HRESULT AnswerWithoutValues(DWORD dwNumItems, const OPCHANDLE* phServer, HRESULT nodeError,
                              const DWORD* aggregates, OPCHDA_ITEM** ppItemValues, HRESULT** ppErrors);

  TServerContext& ctx_;
  const THdaClientHandles& clients_;
  // Reads given up at the time limit, collected when the engine hands them back.
  std::shared_ptr<THdaLateResults> late_;
};

}  // namespace orvela
