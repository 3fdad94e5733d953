#pragma once
// IOPCItemProperties of the DA server: the standard properties of every item of the device tree (data
// type, value, quality, time stamp, access rights, scan rate, EU type and info) and the ones its
// attributes give (units, description). Value, quality and time stamp come from a read of the device
// through the request queue, as every DA read does.
#include <memory>

#include "engine/OPCExplorer.h"
#include "opc_da/DaServerState.h"
#include "platform/com/ComObject.h"
#include "platform/com/opc/OpcDa.h"

namespace orvela {

class TDaItemProperties {
 public:
  // More property ids in one call are refused: every one costs an answer array entry.
  static constexpr DWORD kMaxIds = 1000;

  explicit TDaItemProperties(std::shared_ptr<TDaServerState> state)
      : state_(std::move(state)), explorer_(state_->Ctx().tree) {}

  HRESULT QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                   LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes);
  HRESULT GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                            HRESULT** ppErrors);
  HRESULT LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                        HRESULT** ppErrors);

 private:
  std::shared_ptr<TDaServerState> state_;
  TOPCExplorer explorer_;
};

}  // namespace orvela
