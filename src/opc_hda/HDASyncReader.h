#pragma once
// IOPCHDA_SyncRead of the HDA server object: raw archive reads through the polling engine, waited for on
// the calling (main) thread while it keeps serving other calls; attribute reads from the node slots.
#include <cstdint>
#include <span>
#include <vector>

#include "engine/ServerContext.h"
#include "opc_hda/HdaDelegate.h"
#include "opc_hda/HdaItemAnswer.h"
#include "platform/com/opc/OpcHda.h"

namespace orvela {

// Most items or attributes one call may name.
constexpr DWORD kHdaMaxItemsPerCall = 65'536;

class THDASyncReader final : public THdaDelegate<IOPCHDA_SyncRead> {
 public:
  THDASyncReader(IUnknown& outer, TServerContext& ctx);
  ~THDASyncReader();
  // Withdraws the reads given up on; the server calls it before it lets go of the engine.
  void Close();

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
  // One item's request in the engine: its place in the answer and its transaction number.
  struct TWaiting {
    DWORD index;
    int32_t transaction;
  };
  void Queue(DWORD index, int32_t handle, const TTaskTime& start, const TTaskTime& end,
             THdaItemAnswer& answer, std::vector<TWaiting>& waiting);
  void Wait(std::vector<TWaiting>& waiting, THdaItemAnswer& answer, DWORD maxValues);
  bool Collect(std::vector<TWaiting>& waiting, THdaItemAnswer& answer, DWORD maxValues);
  void SweepAbandoned();
  // Item answers without values: client handle of each node, else OPC_E_INVALIDHANDLE.
  HRESULT AnswerWithoutValues(DWORD dwNumItems, const OPCHANDLE* phServer, HRESULT nodeError,
                              const DWORD* aggregates, OPCHDA_ITEM** ppItemValues, HRESULT** ppErrors);

  TServerContext& ctx_;
  // Transactions given up at the time limit: their late results are taken and their numbers freed.
  std::vector<int32_t> abandoned_;
};

}  // namespace orvela
