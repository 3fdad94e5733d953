#include "opc_da/DaCallbackRelay.h"

#include <vector>

namespace orvela {

bool TDaCallbackRelay::Translate(DWORD count, OPCHANDLE* handles, std::vector<OPCHANDLE>& out) const {
  if (!link_->Alive || !client_ || (count > 0 && !handles)) return false;
  out.assign(count, link_->ClientHandle.load());
  return true;
}

// A gone item answers as a disconnected client would, so the engine drops a standing task of it.
HRESULT TDaCallbackRelay::OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                       HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                                       VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                                       HRESULT* pErrors) {
  std::vector<OPCHANDLE> handles;
  if (!Translate(dwCount, phClientItems, handles)) return RPC_E_DISCONNECTED;
  return client_->OnDataChange(dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount, handles.data(),
                               pvValues, pwQualities, pftTimeStamps, pErrors);
}

HRESULT TDaCallbackRelay::OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                         HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                                         VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                                         HRESULT* pErrors) {
  std::vector<OPCHANDLE> handles;
  if (!Translate(dwCount, phClientItems, handles)) return RPC_E_DISCONNECTED;
  return client_->OnReadComplete(dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount, handles.data(),
                                 pvValues, pwQualities, pftTimeStamps, pErrors);
}

HRESULT TDaCallbackRelay::OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr,
                                          DWORD dwCount, OPCHANDLE* pClienthandles, HRESULT* pErrors) {
  std::vector<OPCHANDLE> handles;
  if (!Translate(dwCount, pClienthandles, handles)) return RPC_E_DISCONNECTED;
  return client_->OnWriteComplete(dwTransid, hGroup, hrMastererr, dwCount, handles.data(), pErrors);
}

HRESULT TDaCallbackRelay::OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) {
  if (!link_->Alive || !client_) return RPC_E_DISCONNECTED;
  return client_->OnCancelComplete(dwTransid, hGroup);
}

}  // namespace orvela
