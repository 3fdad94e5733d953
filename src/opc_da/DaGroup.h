#pragma once
// An OPC DA group: the client's items, the group state, the data callback and the requests its items
// make of the polling engine.
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "engine/ServerContext.h"
#include "opc_da/DaIds.h"
#include "opc_da/DaRequest.h"
#include "opc_da/DaServerState.h"
#include "platform/DateTime.h"
#include "platform/com/ComObject.h"
#include "platform/com/opc/OpcDa.h"

namespace orvela {

class TOPCGroup;

// One client item of a group: binds the client's handle to a tree node (its server handle).
struct TOPCItem {
  WORD Quality = OPC_QUALITY_GOOD;
  std::u16string ItemId;  // as the client gave it, with a leading "\\" if any
  BOOL Active = FALSE;
  bool Writable = false;
  OPCHANDLE ServerHandle = 0;
  VARTYPE RequestedType = VT_EMPTY;
  VARTYPE CanonicalType = VT_EMPTY;
  // Holds the client handle, the active state and the type asked for; the item's requests share it.
  std::shared_ptr<TItemLink> Link = std::make_shared<TItemLink>();

  OPCHANDLE ClientHandle() const { return Link->ClientHandle; }
  void SetActive(BOOL active) {
    Active = active;
    Link->Active = active != FALSE;
    Quality = active ? OPC_QUALITY_GOOD : OPC_QUALITY_OUT_OF_SERVICE;
  }
  // VT_EMPTY asks for the canonical type.
  void SetRequestedType(VARTYPE type) {
    RequestedType = type == VT_EMPTY ? CanonicalType : type;
    Link->RequestedType = RequestedType;
  }
};

// The server side that a group belongs to: the server's private and public group lists. Groups hold it,
// so a group that outlives its server object finds the lists closed instead of freed.
class TDaGroupOwner {
 public:
  explicit TDaGroupOwner(std::shared_ptr<TDaServerState> state) : state_(std::move(state)) {}
  TServerContext& Ctx() const { return state_->Ctx(); }
  TDaServerState& State() const { return *state_; }

  std::vector<TComPtr<TOPCGroup>>& Private() { return private_; }
  std::vector<TComPtr<TOPCGroup>>& Public() { return public_; }
  bool IsPublic(const TOPCGroup* group) const;
  bool Closed() const { return closed_; }

  bool NameExists(std::u16string_view name) const;
  static TOPCGroup* FindByName(const std::vector<TComPtr<TOPCGroup>>& list, std::u16string_view name);
  static TOPCGroup* FindByHandle(const std::vector<TComPtr<TOPCGroup>>& list, OPCHANDLE handle);
  // base with the tick count appended while the name is taken, at most 10 rounds; none when still taken.
  std::optional<std::u16string> GenerateName(std::u16string base) const;
  // A new group in the private list, null when memory runs out.
  TComPtr<TOPCGroup> CreateGroup(const std::shared_ptr<TDaGroupOwner>& self);
  // Takes the group out of whichever list holds it (its list reference goes).
  void Remove(const TOPCGroup* group);
  void MoveToPublic(TOPCGroup* group);

  TDateTime LastUpdate() const { return lastUpdate_; }
  void Touch() { lastUpdate_ = Ctx().clock.Now(); }

  // The server goes: every group is released, both lists stay empty.
  void Close();

 private:
  std::shared_ptr<TDaServerState> state_;
  std::vector<TComPtr<TOPCGroup>> private_, public_;
  TDateTime lastUpdate_ = 0;
  bool closed_ = false;
};

// The group's starting state, as AddGroup gives it.
struct TGroupInit {
  std::u16string Name;
  BOOL Active = FALSE;
  DWORD RequestedRate = 0;
  OPCHANDLE ClientGroup = 0;
  OPCHANDLE ServerGroup = 0;
  LONG TimeBias = 0;
  FLOAT Deadband = 0;
  LCID Lcid = 0;
};

// The slowest rate the devices can be asked for again.
constexpr DWORD kMinUpdateRate = 2000;
constexpr DWORD ReviseUpdateRate(DWORD requested) {
  return requested >= kMinUpdateRate ? requested : kMinUpdateRate;
}
// A percent deadband is a share of an analog item's EU range. It filters only items with such a range;
// the device tree gives none (items report OPC_NOENUM), so it is checked and kept but filters nothing.
inline bool ValidDeadband(FLOAT percent) {
  return percent >= 0.0f && percent <= 100.0f;  // false for NaN too
}

class TOPCGroup final
    : public TConnectionPointContainer<IOPCAsyncIO2, IConnectionPointContainer, IOPCSyncIO,
                                       IOPCPublicGroupStateMgt, IOPCGroupStateMgt, IOPCItemMgt, IOPCGroup> {
 public:
  explicit TOPCGroup(std::shared_ptr<TDaGroupOwner> owner);
  ~TOPCGroup() override;

  // Stores the state AddGroup gives; returns the revised update rate.
  DWORD Init(const TGroupInit& init);
  const std::u16string& Name() const { return name_; }
  OPCHANDLE ServerGroup() const { return serverGroup_; }
  // A copy of this group in the owner's private list (inactive, no callback, the same items).
  TComPtr<TOPCGroup> Clone(const std::u16string& name) const;
  // The group is removed: its tasks are withdrawn and nothing more reaches the client from it.
  void Shutdown();

  // IOPCItemMgt
  HRESULT STDMETHODCALLTYPE AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                                     HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                          OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                           HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                             HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                         HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, IUnknown** ppUnk) override;

  // IOPCGroupStateMgt
  HRESULT STDMETHODCALLTYPE GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                                     FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                                     OPCHANDLE* phServerGroup) override;
  HRESULT STDMETHODCALLTYPE SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                                     LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                                     OPCHANDLE* phClientGroup) override;
  HRESULT STDMETHODCALLTYPE SetName(LPCWSTR szName) override;
  HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) override;

  // IOPCPublicGroupStateMgt
  HRESULT STDMETHODCALLTYPE GetState(BOOL* pPublic) override;
  HRESULT STDMETHODCALLTYPE MoveToPublic() override;

  // IOPCSyncIO
  HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                                 OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                  HRESULT** ppErrors) override;

  // IOPCAsyncIO2
  HRESULT STDMETHODCALLTYPE Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                                 DWORD* pdwCancelID, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                  DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID,
                                     DWORD* pdwCancelID) override;
  HRESULT STDMETHODCALLTYPE Cancel2(DWORD dwCancelID) override;
  HRESULT STDMETHODCALLTYPE SetEnable(BOOL bEnable) override;
  HRESULT STDMETHODCALLTYPE GetEnable(BOOL* pbEnable) override;

 private:
  TServerContext& Ctx() const { return owner_->Ctx(); }
  TOPCItem* FindItem(OPCHANDLE serverHandle);
  // Runs fn(index, item) for each handle; unknown handles get OPC_E_INVALIDHANDLE. S_FALSE when any failed.
  template <class Fn>
  HRESULT ForEachHandle(DWORD count, const OPCHANDLE* handles, HRESULT* errors, Fn fn);
  int32_t TakeCancelId();
  static TComPtr<IOPCDataCallback> Relay(const std::shared_ptr<TDaRequest>& request, const TOPCItem& item);
  TComPtr<IOPCDataCallback> Callback() const { return link_->LiveCallback(); }
  // Brings the standing refreshes in line with the group: one per active item while the group is active
  // and a callback is connected, at the group's rate.
  void SyncSubscription();
  void WithdrawSubscription();
  void WithdrawAll();
  bool EngineRunning() const { return Ctx().engine.Running(); }
  // The next subscription answer of the given items (none given: of every item) is sent whether it
  // changed or not.
  void ForgetSent(std::span<TOPCItem* const> items);
  // Queues a one-shot read of item for request; an item the queue refuses answers at once with an error.
  bool QueueRead(const std::shared_ptr<TDaRequest>& request, const TOPCItem& item, int32_t cancelId,
                 DWORD transaction);
  // Keeps a request under its cancel id until it completes or is cancelled.
  void Pending(int32_t cancelId, std::shared_ptr<TDaRequest> request);
  HRESULT AsyncWrite(DWORD count, const OPCHANDLE* handles, const VARIANT* values, DWORD transaction,
                     int32_t cancelId, HRESULT* errors);
  // The synchronous read's wait: each item's result or its own error, within the context's limit.
  void WaitForResults(std::span<const int32_t> transactions, std::span<const VARTYPE> types,
                      OPCITEMSTATE* states, HRESULT* errors);

  std::shared_ptr<TDaGroupOwner> owner_;
  TConnectionPoint& dataPoint_;
  std::u16string name_;
  OPCHANDLE clientGroup_ = 0;
  OPCHANDLE serverGroup_ = 0;
  DWORD updateRate_ = kMinUpdateRate;
  LCID lcid_ = 0;
  std::vector<TOPCItem> items_;
  BOOL active_ = FALSE;
  BOOL enable_ = TRUE;
  LONG timeBias_ = 0;
  FLOAT deadband_ = 0;
  // What the requests in flight know of the group (the callback among it).
  std::shared_ptr<TGroupLink> link_ = std::make_shared<TGroupLink>();
  int32_t lastCancelId_ = 0;
  // One-shot requests that may still be cancelled, by cancel id.
  std::map<int32_t, std::shared_ptr<TDaRequest>> pending_;
  // The standing refreshes: the request they answer, its id, rate, and the items it serves (by link,
  // with the node handle their task was queued for).
  std::shared_ptr<TDaRequest> subscription_;
  int32_t subscriptionId_ = 0;
  DWORD subscribedRate_ = 0;
  std::map<std::shared_ptr<TItemLink>, int32_t> subscribed_;
  // The engine keys tasks by owner and number: refreshes and synchronous reads go under owners of their
  // own, so withdrawing the refreshes leaves reads alone and transaction slots never meet cancel ids.
  const char refreshOwner_ = 0;
  const char syncOwner_ = 0;
};

}  // namespace orvela
