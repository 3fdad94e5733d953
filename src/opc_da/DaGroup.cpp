#include "opc_da/DaGroup.h"

#include <algorithm>
#include <array>

#include "drivers/Families.h"
#include "engine/OPCExplorer.h"
#include "opc_da/DaArrays.h"
#include "opc_da/DaEnumerators.h"
#include "platform/MainThread.h"
#include "platform/com/ComText.h"
#include "platform/com/ComVariant.h"
#include "platform/com/opc/OpcError.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

// The cancel ids a group hands out before it starts again from the lowest.
constexpr int32_t kCancelIds = 199'998;
// More items than any request of a real client names: a larger count is a damaged call.
constexpr DWORD kMaxRequestItems = 1 << 16;
// How long one round of the synchronous wait lets the main thread serve others.
constexpr int64_t kWaitStepMs = 100;
// Item ids that name the item-property inputs rather than a tree node: valid, readable and writable.
constexpr std::array<std::u16string_view, 4> kInputIds = {u"Input1", u"Input2", u"Input3", u"Input4"};

bool BadCount(DWORD count) {
  return count == 0 || count > kMaxRequestItems;
}

std::u16string Text(LPCWSTR s) {
  return s ? std::u16string(s) : std::u16string();
}

// The client may prefix an id with "\\"; the tree knows it without.
std::string TreeId(std::u16string_view id) {
  if (id.starts_with(u"\\\\")) id.remove_prefix(2);
  return Utf16ToUtf8(id);
}

struct TResolved {
  bool found = false;
  int32_t handle = 0;
  VARTYPE canonical = VT_EMPTY;
  DWORD rights = OPC_READABLE;
};

TResolved Resolve(TTree& tree, std::u16string_view id) {
  TResolved r;
  TNTreeData* node = tree.ResolveIdentifier(TreeId(id));
  if (!node) return r;
  auto lock = tree.ReadLock();
  r.found = true;
  r.handle = node->Handle;
  r.canonical = NodeCanonicalType(*node);
  r.rights = NodeAccessRights(NodeAccessMode(*node));
  return r;
}

}  // namespace

// ---- The group
// -----------------------------------------------------------------------------------------------

TOPCGroup::TOPCGroup(std::shared_ptr<TDaGroupOwner> owner)
    : owner_(std::move(owner)),
      dataPoint_(AddConnectionPoint(IID_IOPCDataCallback, TConnectionPoint::kManySinks)) {
  // The latest advised sink is the callback; when it goes, the one advised before it takes over. An
  // active group starts its subscription with the first callback and ends it with the last.
  dataPoint_.SetHandler([this](DWORD, IUnknown* sink) {
    TComPtr<IOPCDataCallback> callback;
    if (sink) {
      callback = static_cast<IOPCDataCallback*>(sink);
    } else {
      auto sinks = dataPoint_.Sinks<IOPCDataCallback>();
      if (!sinks.empty()) callback = sinks.back();
    }
    {
      std::lock_guard lock(link_->Mutex);
      link_->Callback = callback;
    }
    SyncSubscription();
  });
}

TOPCGroup::~TOPCGroup() {
  Shutdown();
  owner_->Remove(this);
}

void TOPCGroup::Shutdown() {
  {
    std::lock_guard lock(link_->Mutex);
    if (!link_->Alive) return;
    link_->Alive = false;
    link_->Callback = nullptr;
  }
  for (auto& item : items_) item.Link->Alive = false;
  for (auto& [id, request] : pending_) request->Cancel();
  pending_.clear();
  WithdrawAll();
}

DWORD TOPCGroup::Init(const TGroupInit& init) {
  name_ = init.Name;
  active_ = init.Active;
  updateRate_ = ReviseUpdateRate(init.RequestedRate);
  clientGroup_ = init.ClientGroup;
  serverGroup_ = init.ServerGroup;
  {
    std::lock_guard lock(link_->Mutex);
    link_->Active = active_ != FALSE;
    link_->ClientGroup = clientGroup_;
  }
  timeBias_ = init.TimeBias;
  deadband_ = init.Deadband;
  lcid_ = init.Lcid;
  enable_ = TRUE;
  owner_->Touch();
  return updateRate_;
}

TComPtr<TOPCGroup> TOPCGroup::Clone(const std::u16string& name) const {
  TComPtr<TOPCGroup> copy = owner_->CreateGroup(owner_);
  if (!copy) return copy;
  copy->Init({name, FALSE, updateRate_, clientGroup_, owner_->State().NextGroupHandle(), timeBias_, deadband_,
              lcid_});
  for (const TOPCItem& item : items_) {
    TOPCItem twin = item;
    twin.Link = std::make_shared<TItemLink>();
    twin.Link->ClientHandle = item.ClientHandle();
    twin.SetActive(item.Active);
    twin.SetRequestedType(item.RequestedType);
    copy->items_.push_back(std::move(twin));
  }
  return copy;
}

TOPCItem* TOPCGroup::FindItem(OPCHANDLE serverHandle) {
  auto it = std::find_if(items_.begin(), items_.end(),
                         [&](const TOPCItem& item) { return item.ServerHandle == serverHandle; });
  return it == items_.end() ? nullptr : &*it;
}

template <class Fn>
HRESULT TOPCGroup::ForEachHandle(DWORD count, const OPCHANDLE* handles, HRESULT* errors, Fn fn) {
  bool failed = false;
  for (DWORD i = 0; i < count; ++i) {
    TOPCItem* item = FindItem(handles[i]);
    errors[i] = item ? fn(i, *item) : OPC_E_INVALIDHANDLE;
    failed = failed || errors[i] != S_OK;
  }
  return failed ? S_FALSE : S_OK;
}

int32_t TOPCGroup::TakeCancelId() {
  std::erase_if(pending_, [](const auto& entry) { return entry.second->Finished(); });
  // Ids are not given back; after the last one the lowest ids are long finished, except requests still
  // waiting and the subscription, whose ids are skipped.
  do {
    lastCancelId_ = lastCancelId_ >= kCancelIds ? 1 : lastCancelId_ + 1;
  } while (pending_.contains(lastCancelId_) || (subscription_ && lastCancelId_ == subscriptionId_));
  return lastCancelId_;
}

TComPtr<IOPCDataCallback> TOPCGroup::Relay(const std::shared_ptr<TDaRequest>& request, const TOPCItem& item) {
  auto relay = Make<TDaCallbackRelay>(request, item.Link);
  return relay ? TComPtr<IOPCDataCallback>(relay.Get()) : nullptr;
}

void TOPCGroup::Pending(int32_t cancelId, std::shared_ptr<TDaRequest> request) {
  if (!request->Finished()) pending_[cancelId] = std::move(request);
}

bool TOPCGroup::QueueRead(const std::shared_ptr<TDaRequest>& request, const TOPCItem& item, int32_t cancelId,
                          DWORD transaction) {
  const int32_t handle = static_cast<int32_t>(item.ServerHandle);
  TComPtr<IOPCDataCallback> relay = Relay(request, item);
  return relay && Ctx().engine.DARead(this, static_cast<int32_t>(clientGroup_), false, relay.Get(),
                                      {&handle, 1}, cancelId, static_cast<int32_t>(transaction));
}

void TOPCGroup::ForgetSent(std::span<TOPCItem* const> items) {
  std::lock_guard lock(link_->Mutex);
  if (items.empty())
    for (TOPCItem& item : items_) item.Link->Sent = false;
  for (TOPCItem* item : items) item->Link->Sent = false;
}

void TOPCGroup::SyncSubscription() {
  bool wanted = false;
  {
    std::lock_guard lock(link_->Mutex);
    wanted = link_->Alive && link_->Active && link_->Callback && EngineRunning();
  }
  if (!wanted || subscribedRate_ != updateRate_) WithdrawSubscription();
  if (!wanted) return;
  if (!subscription_) {
    subscription_ = std::make_shared<TDaRequest>(link_, TDaRequestKind::Subscription, 0);
    subscriptionId_ = TakeCancelId();
    subscribedRate_ = updateRate_;
  }
  // Tasks of items gone or set inactive are withdrawn by node; an item of the same node that stays is
  // queued again below.
  std::vector<int32_t> drop;
  for (const auto& [link, handle] : subscribed_) {
    const bool keep =
        link->Alive && link->Active &&
        std::any_of(items_.begin(), items_.end(), [&](const TOPCItem& i) { return i.Link == link; });
    if (!keep) drop.push_back(handle);
  }
  if (!drop.empty()) {
    Ctx().engine.DAWithdraw(&refreshOwner_, drop);
    std::erase_if(subscribed_, [&](const auto& entry) {
      return std::find(drop.begin(), drop.end(), entry.second) != drop.end();
    });
  }
  for (const TOPCItem& item : items_) {
    if (!item.Active || subscribed_.contains(item.Link)) continue;
    const TResolved node = Resolve(Ctx().tree, item.ItemId);
    if (!node.found) continue;  // its device was removed
    TComPtr<IOPCDataCallback> relay = Relay(subscription_, item);
    if (!relay) continue;
    // The standing task runs first after one update period: a read now gives the first value at once.
    Ctx().engine.DARead(&refreshOwner_, static_cast<int32_t>(clientGroup_), false, relay.Get(),
                        {&node.handle, 1}, subscriptionId_, 0);
    Ctx().engine.DARefresh(&refreshOwner_, static_cast<int32_t>(clientGroup_),
                           static_cast<int32_t>(updateRate_), relay.Get(), {&node.handle, 1}, subscriptionId_,
                           0);
    subscribed_[item.Link] = node.handle;
  }
}

void TOPCGroup::WithdrawSubscription() {
  if (subscription_) subscription_->Cancel();
  if (!subscribed_.empty() && EngineRunning()) Ctx().engine.DAWithdraw(&refreshOwner_, {});
  subscription_.reset();
  subscribed_.clear();
}

void TOPCGroup::WithdrawAll() {
  WithdrawSubscription();
  if (!EngineRunning()) return;
  Ctx().engine.DAWithdraw(this, {});
  Ctx().engine.DAWithdraw(&refreshOwner_, {});
}

// ---- IOPCItemMgt
// ---------------------------------------------------------------------------------------------

HRESULT TOPCGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                            HRESULT** ppErrors) {
  if (!ppAddResults || !ppErrors) return E_INVALIDARG;
  *ppAddResults = nullptr;
  *ppErrors = nullptr;
  if (BadCount(dwCount) || !pItemArray) return E_INVALIDARG;
  TTaskArray<OPCITEMRESULT> results(dwCount);
  TTaskArray<HRESULT> errors(dwCount);
  if (!results.Ok() || !errors.Ok()) return E_OUTOFMEMORY;
  bool failed = false;
  for (DWORD i = 0; i < dwCount; ++i) {
    const OPCITEMDEF& def = pItemArray[i];
    const std::u16string id = Text(def.szItemID);
    TResolved node;
    if (id.empty())
      errors[i] = OPC_E_INVALIDITEMID;
    else if (!(node = Resolve(Ctx().tree, id)).found)
      errors[i] = OPC_E_UNKNOWNITEMID;
    else if (!Convertible(node.canonical, def.vtRequestedDataType))
      errors[i] = OPC_E_BADTYPE;
    if (errors[i] != S_OK) {
      failed = true;
      continue;
    }
    TOPCItem item;
    item.ItemId = id;
    item.SetActive(def.bActive);
    item.ServerHandle = static_cast<OPCHANDLE>(node.handle);
    item.Link->ClientHandle = def.hClient;
    item.CanonicalType = node.canonical;
    // Only a node its driver writes takes writes (the Zelio registers and clock, the KM coil).
    item.Writable = (node.rights & OPC_WRITEABLE) != 0;
    item.SetRequestedType(def.vtRequestedDataType);
    items_.push_back(std::move(item));
    results[i].hServer = static_cast<OPCHANDLE>(node.handle);
    results[i].vtCanonicalDataType = node.canonical;
    results[i].dwAccessRights = node.rights;
    // No blob of the server's: the client's own pointer given back would be freed by the client.
    results[i].dwBlobSize = 0;
    results[i].pBlob = nullptr;
    if (active_ || def.bActive) Ctx().logs.Journal("Добавление задания 2", "");
  }
  // Items added to an active, subscribed group are delivered from the next update on.
  SyncSubscription();
  *ppAddResults = results.Release();
  *ppErrors = errors.Release();
  return failed ? S_FALSE : S_OK;
}

HRESULT TOPCGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL,
                                 OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) {
  if (!ppValidationResults || !ppErrors) return E_INVALIDARG;
  *ppValidationResults = nullptr;
  *ppErrors = nullptr;
  if (BadCount(dwCount) || !pItemArray) return E_INVALIDARG;
  TTaskArray<OPCITEMRESULT> results(dwCount);
  TTaskArray<HRESULT> errors(dwCount);
  if (!results.Ok() || !errors.Ok()) return E_OUTOFMEMORY;
  bool failed = false;
  for (DWORD i = 0; i < dwCount; ++i) {
    Ctx().logs.Journal("Validate", "");
    const OPCITEMDEF& def = pItemArray[i];
    const std::u16string id = Text(def.szItemID);
    const bool input = std::find(kInputIds.begin(), kInputIds.end(), id) != kInputIds.end();
    const TResolved node = id.empty() ? TResolved{} : Resolve(Ctx().tree, id);
    results[i].vtCanonicalDataType = node.found ? node.canonical : VARTYPE{VT_I4};
    results[i].dwAccessRights = input ? OPC_READABLE | OPC_WRITEABLE : OPC_READABLE;
    if (id.empty())
      errors[i] = OPC_E_INVALIDITEMID;
    else if (!node.found && !input)
      errors[i] = OPC_E_UNKNOWNITEMID;
    else if (!Convertible(results[i].vtCanonicalDataType, def.vtRequestedDataType))
      errors[i] = OPC_E_BADTYPE;
    failed = failed || errors[i] != S_OK;
  }
  *ppValidationResults = results.Release();
  *ppErrors = errors.Release();
  return failed ? S_FALSE : S_OK;
}

HRESULT TOPCGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
  if (!ppErrors) return E_INVALIDARG;
  *ppErrors = nullptr;
  if (BadCount(dwCount) || !phServer) return E_INVALIDARG;
  TTaskArray<HRESULT> errors(dwCount);
  if (!errors.Ok()) return E_OUTOFMEMORY;
  const HRESULT hr = ForEachHandle(dwCount, phServer, errors.Get(), [&](DWORD, TOPCItem& item) {
    item.Link->Alive = false;
    items_.erase(items_.begin() + (&item - items_.data()));
    return S_OK;
  });
  // Their subscription tasks go with them; one-shot reads already asked for are still answered.
  SyncSubscription();
  *ppErrors = errors.Release();
  return hr;
}

HRESULT TOPCGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) {
  if (!ppErrors) return E_INVALIDARG;
  *ppErrors = nullptr;
  if (BadCount(dwCount) || !phServer) return E_INVALIDARG;
  TTaskArray<HRESULT> errors(dwCount);
  if (!errors.Ok()) return E_OUTOFMEMORY;
  Ctx().logs.Journal("SetActiveState", "");
  std::vector<TOPCItem*> activated;
  const HRESULT hr = ForEachHandle(dwCount, phServer, errors.Get(), [&](DWORD, TOPCItem& item) {
    if (bActive && !item.Active) activated.push_back(&item);
    item.SetActive(bActive);
    return S_OK;
  });
  // An item set active sends its current value with the next update, changed or not.
  if (!activated.empty()) ForgetSent(activated);
  SyncSubscription();
  *ppErrors = errors.Release();
  return hr;
}

HRESULT TOPCGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                    HRESULT** ppErrors) {
  if (!ppErrors) return E_INVALIDARG;
  *ppErrors = nullptr;
  if (BadCount(dwCount) || !phServer || !phClient) return E_INVALIDARG;
  TTaskArray<HRESULT> errors(dwCount);
  if (!errors.Ok()) return E_OUTOFMEMORY;
  const HRESULT hr = ForEachHandle(dwCount, phServer, errors.Get(), [&](DWORD i, TOPCItem& item) {
    item.Link->ClientHandle = phClient[i];
    return S_OK;
  });
  *ppErrors = errors.Release();
  return hr;
}

HRESULT TOPCGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                HRESULT** ppErrors) {
  if (!ppErrors) return E_INVALIDARG;
  *ppErrors = nullptr;
  if (BadCount(dwCount) || !phServer || !pRequestedDatatypes) return E_INVALIDARG;
  TTaskArray<HRESULT> errors(dwCount);
  if (!errors.Ok()) return E_OUTOFMEMORY;
  const HRESULT hr = ForEachHandle(dwCount, phServer, errors.Get(), [&](DWORD i, TOPCItem& item) {
    const VARTYPE type = pRequestedDatatypes[i];
    if (!Convertible(item.CanonicalType, type)) return OPC_E_BADTYPE;
    item.SetRequestedType(type);
    return S_OK;
  });
  *ppErrors = errors.Release();
  return hr;
}

HRESULT TOPCGroup::CreateEnumerator(REFIID, IUnknown** ppUnk) {
  if (!ppUnk) return E_INVALIDARG;
  *ppUnk = nullptr;
  if (items_.empty()) return S_FALSE;
  auto list = std::make_shared<TOPCItemAttEnumerator::TList>();
  for (const TOPCItem& item : items_) {
    TOPCItemAttributes a;
    a.Active = item.Active;
    a.ItemId = item.ItemId;
    a.RequestedType = item.RequestedType;
    a.CanonicalType = item.CanonicalType;
    a.ClientHandle = item.ClientHandle();
    a.ServerHandle = item.ServerHandle;
    a.AccessRights = item.Writable ? OPC_READABLE | OPC_WRITEABLE : OPC_READABLE;
    list->push_back(std::move(a));
  }
  return QueryOut(Make<TOPCItemAttEnumerator>(std::move(list)), IID_IEnumOPCItemAttributes,
                  reinterpret_cast<void**>(ppUnk));
}

// ---- IOPCGroupStateMgt
// ---------------------------------------------------------------------------------------

HRESULT TOPCGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                            FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                            OPCHANDLE* phServerGroup) {
  if (!pUpdateRate || !pActive || !ppName || !pTimeBias || !pPercentDeadband || !pLCID || !phClientGroup ||
      !phServerGroup)
    return E_INVALIDARG;
  *ppName = TaskMemString(std::u16string_view(name_));
  if (!*ppName) return E_OUTOFMEMORY;
  *pUpdateRate = updateRate_;
  *pActive = active_;
  *pTimeBias = timeBias_;
  *pPercentDeadband = deadband_;
  *pLCID = lcid_;
  *phClientGroup = clientGroup_;
  *phServerGroup = serverGroup_;
  return S_OK;
}

HRESULT TOPCGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                            LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                            OPCHANDLE* phClientGroup) {
  if (pPercentDeadband && !ValidDeadband(*pPercentDeadband)) return E_INVALIDARG;
  HRESULT hr = S_OK;
  if (pRequestedUpdateRate) {
    updateRate_ = ReviseUpdateRate(*pRequestedUpdateRate);
    if (updateRate_ != *pRequestedUpdateRate) hr = OPC_S_UNSUPPORTEDRATE;
  }
  if (pRevisedUpdateRate) *pRevisedUpdateRate = updateRate_;
  const bool activated = pActive && *pActive && !active_;
  if (pActive) active_ = *pActive;
  if (pTimeBias) timeBias_ = *pTimeBias;
  if (pPercentDeadband) deadband_ = *pPercentDeadband;
  if (pLCID) lcid_ = *pLCID;
  if (phClientGroup) clientGroup_ = *phClientGroup;
  {
    std::lock_guard lock(link_->Mutex);
    link_->Active = active_ != FALSE;
    link_->ClientGroup = clientGroup_;
  }
  // A group set active sends every active item's value with its first update, changed or not.
  if (activated) ForgetSent({});
  if (active_ && Callback()) Ctx().logs.Journal("Добавление задания 3", "");
  SyncSubscription();
  return hr;
}

HRESULT TOPCGroup::SetName(LPCWSTR szName) {
  const std::u16string name = Text(szName);
  if (name.empty()) return E_INVALIDARG;
  if (owner_->NameExists(name)) return OPC_E_DUPLICATENAME;
  name_ = name;
  return S_OK;
}

HRESULT TOPCGroup::CloneGroup(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) {
  if (!ppUnk) return E_INVALIDARG;
  *ppUnk = nullptr;
  if (!IsEqualIID(riid, IID_IOPCGroupStateMgt) && !IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;
  std::u16string name = Text(szName);
  if (!name.empty() && owner_->NameExists(name)) return OPC_E_DUPLICATENAME;
  // Unnamed, the clone is named as an unnamed new group is.
  if (name.empty()) {
    auto generated = owner_->GenerateName(name);
    if (!generated) return E_FAIL;
    name = *generated;
  }
  TComPtr<TOPCGroup> copy = Clone(name);
  if (!copy) return E_OUTOFMEMORY;
  return copy->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
}

// ---- IOPCPublicGroupStateMgt
// ---------------------------------------------------------------------------------

HRESULT TOPCGroup::GetState(BOOL* pPublic) {
  if (!pPublic) return E_INVALIDARG;
  *pPublic = owner_->IsPublic(this) ? TRUE : FALSE;
  return S_OK;
}

HRESULT TOPCGroup::MoveToPublic() {
  if (TDaGroupOwner::FindByName(owner_->Private(), name_) != this) return E_FAIL;
  owner_->MoveToPublic(this);
  return S_OK;
}

// ---- IOPCSyncIO
// ----------------------------------------------------------------------------------------------

HRESULT TOPCGroup::Read(OPCDATASOURCE, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                        HRESULT** ppErrors) {
  if (!ppItemValues || !ppErrors) return E_INVALIDARG;
  *ppItemValues = nullptr;
  *ppErrors = nullptr;
  if (BadCount(dwCount) || !phServer) return E_INVALIDARG;
  TTaskArray<OPCITEMSTATE> states(dwCount);
  TTaskArray<HRESULT> errors(dwCount);
  if (!states.Ok() || !errors.Ok()) return E_OUTOFMEMORY;
  // Calls served while this one waits may release the group.
  TComPtr<TOPCGroup> self(this);
  TAsyncEngine& engine = Ctx().engine;
  owner_->State().SweepAbandoned();
  std::vector<int32_t> transactions(dwCount, 0);
  std::vector<VARTYPE> types(dwCount, VT_EMPTY);
  for (DWORD i = 0; i < dwCount; ++i) {
    const TOPCItem* item = FindItem(phServer[i]);
    if (!item) {
      errors[i] = OPC_E_INVALIDHANDLE;
      continue;
    }
    states[i].hClient = item->ClientHandle();
    types[i] = item->RequestedType;
    const int32_t tx = engine.AllocTransaction();
    const int32_t handle = static_cast<int32_t>(phServer[i]);
    if (tx < 0) {
      errors[i] = E_FAIL;  // no free transaction slot
      continue;
    }
    if (!engine.DARead(&syncOwner_, static_cast<int32_t>(clientGroup_), true, nullptr, {&handle, 1}, tx, 1)) {
      engine.SetTransactionState(tx, 0);
      errors[i] = E_FAIL;  // the queue refused the item: its node is gone or has no connection
      continue;
    }
    transactions[i] = tx;
  }
  WaitForResults(transactions, types, states.Get(), errors.Get());
  const bool failed = std::any_of(errors.Get(), errors.Get() + dwCount, [](HRESULT e) { return e != S_OK; });
  *ppItemValues = states.Release();
  *ppErrors = errors.Release();
  return failed ? S_FALSE : S_OK;
}

void TOPCGroup::WaitForResults(std::span<const int32_t> transactions, std::span<const VARTYPE> types,
                               OPCITEMSTATE* states, HRESULT* errors) {
  TAsyncEngine& engine = Ctx().engine;
  Clock& clock = Ctx().clock;
  std::vector<int32_t> waiting(transactions.begin(), transactions.end());
  const auto collect = [&] {
    size_t left = 0;
    for (size_t i = 0; i < waiting.size(); ++i) {
      if (waiting[i] <= 0) continue;
      std::unique_ptr<TResultsDA> result;
      if (engine.GetTransactionState(waiting[i]) == TTransactionSlots::kReady)
        result = engine.TakeDaResult(waiting[i]);
      if (!result) {
        ++left;
        continue;
      }
      engine.SetTransactionState(waiting[i], 0);
      waiting[i] = 0;
      OPCITEMSTATE& state = states[i];
      const bool one = result->Count() == 1 && result->Values.size() == 1 && result->Qualities.size() == 1 &&
                       result->TimeStamps.size() == 1;
      errors[i] = one ? (result->Errors.empty() ? S_OK : result->Errors[0]) : E_FAIL;
      if (!one) continue;
      // The client handle stays the group item's: the result carries the node's.
      state.wQuality = result->Qualities[0];
      state.ftTimeStamp = result->TimeStamps[0];
      if (FAILED(TVariantToVariant(result->Values[0], &state.vDataValue))) errors[i] = E_OUTOFMEMORY;
      if (SUCCEEDED(errors[i])) errors[i] = ConvertValue(state.vDataValue, types[i]);
      if (FAILED(errors[i])) state.wQuality = OPC_QUALITY_BAD;
    }
    return left;
  };
  const int64_t deadline = clock.TickMs() + Ctx().syncReadLimit.count();
  while (collect() > 0) {
    const int64_t left = deadline - clock.TickMs();
    if (left <= 0 || !engine.Running()) break;
    const int64_t step = std::min(kWaitStepMs, left);
    // The main thread serves other calls meanwhile; its queue waits on the process clock, which the
    // host's context shares.
    if (MainThread::IsMainThread())
      MainThread::PumpFor(step);
    else
      clock.Sleep(step);
  }
  for (size_t i = 0; i < waiting.size(); ++i) {
    if (waiting[i] <= 0) continue;
    // Time is up or the engine stopped: this item fails; its late result is swept away later.
    errors[i] = E_FAIL;
    states[i].wQuality = OPC_QUALITY_BAD;
    owner_->State().Abandon(waiting[i]);
  }
}

HRESULT TOPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) {
  if (!ppErrors) return E_INVALIDARG;
  *ppErrors = nullptr;
  if (BadCount(dwCount) || !phServer || !pItemValues) return E_INVALIDARG;
  TTaskArray<HRESULT> errors(dwCount);
  if (!errors.Ok()) return E_OUTOFMEMORY;
  // No device is written synchronously: a writable item would be refused the same way.
  const HRESULT hr =
      ForEachHandle(dwCount, phServer, errors.Get(), [](DWORD, TOPCItem&) { return OPC_E_BADRIGHTS; });
  *ppErrors = errors.Release();
  return hr;
}

// ---- IOPCAsyncIO2
// --------------------------------------------------------------------------------------------

HRESULT TOPCGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                        HRESULT** ppErrors) {
  if (!Callback()) return CONNECT_E_NOCONNECTION;
  if (!pdwCancelID || !ppErrors) return E_INVALIDARG;
  *ppErrors = nullptr;
  const int32_t cancelId = TakeCancelId();
  *pdwCancelID = static_cast<DWORD>(cancelId);
  if (BadCount(dwCount) || !phServer) return E_INVALIDARG;
  TTaskArray<HRESULT> errors(dwCount);
  if (!errors.Ok()) return E_OUTOFMEMORY;
  // One task per item, so each item learns whether it was queued; the request answers them all at once.
  auto request = std::make_shared<TDaRequest>(link_, TDaRequestKind::Read, dwTransactionID);
  size_t queued = 0;
  const HRESULT hr = ForEachHandle(dwCount, phServer, errors.Get(), [&](DWORD, TOPCItem& item) {
    if (!QueueRead(request, item, cancelId, dwTransactionID)) return E_FAIL;
    ++queued;
    return S_OK;
  });
  // Items that failed here are not in the callback; none queued, no callback.
  if (queued > 0) {
    request->Seal(queued);
    Pending(cancelId, request);
  }
  *ppErrors = errors.Release();
  return hr;
}

HRESULT TOPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                         DWORD* pdwCancelID, HRESULT** ppErrors) {
  if (!Callback()) return CONNECT_E_NOCONNECTION;
  if (!pdwCancelID || !ppErrors) return E_INVALIDARG;
  *ppErrors = nullptr;
  const int32_t cancelId = TakeCancelId();
  *pdwCancelID = static_cast<DWORD>(cancelId);
  if (BadCount(dwCount) || !phServer || !pItemValues) return E_INVALIDARG;
  TTaskArray<HRESULT> errors(dwCount);
  if (!errors.Ok()) return E_OUTOFMEMORY;
  const HRESULT hr = AsyncWrite(dwCount, phServer, pItemValues, dwTransactionID, cancelId, errors.Get());
  *ppErrors = errors.Release();
  return hr;
}

HRESULT TOPCGroup::AsyncWrite(DWORD count, const OPCHANDLE* handles, const VARIANT* values, DWORD transaction,
                              int32_t cancelId, HRESULT* errors) {
  TAsyncEngine& engine = Ctx().engine;
  auto request = std::make_shared<TDaRequest>(link_, TDaRequestKind::Write, transaction);
  size_t queued = 0;
  const HRESULT hr = ForEachHandle(count, handles, errors, [&](DWORD i, TOPCItem& item) -> HRESULT {
    if (!item.Writable) return OPC_E_BADRIGHTS;
    TVariant value;
    if (HRESULT hr = VariantToTVariant(values[i], value); FAILED(hr)) return hr;
    TComPtr<IOPCDataCallback> relay = Relay(request, item);
    if (!relay) return E_OUTOFMEMORY;
    const int32_t handle = static_cast<int32_t>(item.ServerHandle);
    engine.DAWrite(this, static_cast<int32_t>(clientGroup_), static_cast<int32_t>(transaction), relay.Get(),
                   cancelId, {&value, 1}, {&handle, 1});
    ++queued;
    return S_OK;
  });
  if (queued > 0) {
    request->Seal(queued);
    Pending(cancelId, request);
  }
  return hr;
}

HRESULT TOPCGroup::Refresh2(OPCDATASOURCE, DWORD dwTransactionID, DWORD* pdwCancelID) {
  if (!Callback()) return CONNECT_E_NOCONNECTION;
  if (!pdwCancelID) return E_INVALIDARG;
  *pdwCancelID = 0;
  // A refresh is one callback with every active item of an active group, read from the device.
  if (!active_) return E_FAIL;
  std::vector<const TOPCItem*> active;
  for (const TOPCItem& item : items_)
    if (item.Active) active.push_back(&item);
  if (active.empty()) return E_FAIL;
  const int32_t cancelId = TakeCancelId();
  auto request = std::make_shared<TDaRequest>(link_, TDaRequestKind::Refresh, dwTransactionID);
  for (const TOPCItem* item : active) {
    if (QueueRead(request, *item, cancelId, dwTransactionID)) continue;
    // The queue refused it (its node is gone or cannot be read): the client still learns of the item.
    VARIANT none;
    VariantInit(&none);
    request->Answer(*item->Link, none, OPC_QUALITY_BAD, UtcDateTimeToFileTime(Ctx().clock.NowUtc()), E_FAIL);
  }
  request->Seal(active.size());
  Pending(cancelId, request);
  *pdwCancelID = static_cast<DWORD>(cancelId);
  return S_OK;
}

HRESULT TOPCGroup::Cancel2(DWORD dwCancelID) {
  if (!Callback()) return CONNECT_E_NOCONNECTION;
  const int32_t id = static_cast<int32_t>(dwCancelID);
  auto it = pending_.find(id);
  // Unknown or already answered: nothing to cancel.
  if (it == pending_.end()) return E_FAIL;
  std::shared_ptr<TDaRequest> request = std::move(it->second);
  pending_.erase(it);
  if (!request->Cancel()) return E_FAIL;
  Ctx().engine.DACancel(this, id, nullptr);
  // Told after the call returns, as a client expects of a completion.
  auto tell = [link = link_, tx = request->Transaction()] {
    const auto [callback, group] = link->Target();
    if (callback) callback->OnCancelComplete(tx, group);
  };
  if (!MainThread::Post(tell)) tell();
  return S_OK;
}

HRESULT TOPCGroup::SetEnable(BOOL bEnable) {
  if (!Callback()) return CONNECT_E_NOCONNECTION;
  enable_ = bEnable;
  std::lock_guard lock(link_->Mutex);
  link_->Enabled = bEnable != FALSE;
  return S_OK;
}

HRESULT TOPCGroup::GetEnable(BOOL* pbEnable) {
  if (!Callback()) return CONNECT_E_NOCONNECTION;
  if (!pbEnable) return E_INVALIDARG;
  *pbEnable = enable_;
  return S_OK;
}

}  // namespace orvela
