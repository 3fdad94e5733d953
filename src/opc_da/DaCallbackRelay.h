#pragma once
// The engine answers a DA request with the handle its tree node carries; a client wants the handle it
// gave the group item. Each request of an item therefore goes out with a relay that puts the item's own
// client handle into the answer and passes it on to the client's callback.
#include <atomic>
#include <memory>

#include "platform/com/ComObject.h"
#include "platform/com/opc/OpcDa.h"

namespace orvela {

// What a relay knows of its group item; shared with the item, read from whichever thread answers.
struct TItemLink {
  std::atomic<OPCHANDLE> ClientHandle{0};
  // Cleared when the item or its group goes: answers still on their way are dropped.
  std::atomic<bool> Alive{true};
};

class TDaCallbackRelay final : public TComObject<IOPCDataCallback> {
 public:
  TDaCallbackRelay(std::shared_ptr<const TItemLink> link, TComPtr<IOPCDataCallback> client)
      : link_(std::move(link)), client_(std::move(client)) {}

  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                         HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                                         VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                                         HRESULT* pErrors) override;
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                           HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                                           VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                                           HRESULT* pErrors) override;
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr,
                                            DWORD dwCount, OPCHANDLE* pClienthandles,
                                            HRESULT* pErrors) override;
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) override;

 private:
  // The item's handle in place of each handle of the answer; false when the item is gone.
  bool Translate(DWORD count, OPCHANDLE* handles, std::vector<OPCHANDLE>& out) const;

  std::shared_ptr<const TItemLink> link_;
  TComPtr<IOPCDataCallback> client_;
};

}  // namespace orvela
