#include "opc_da/DaGroup.h"

#include <algorithm>
#include <array>

#include "opc_da/DaArrays.h"
#include "opc_da/DaEnumerators.h"
#include "platform/MainThread.h"
#include "platform/com/ComText.h"
#include "platform/com/ComVariant.h"
#include "platform/com/opc/OpcError.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

// The highest type a client may ask for (VT_I8): the values convert to nothing wider.
constexpr VARTYPE kHighestRequestedType = VT_I8;
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

VARTYPE CanonicalType(const TNTreeData& node) {
  const TVariant& type = Attribute(node, asDataType).Value;
  const int64_t code = type.IsInteger() ? type.i : static_cast<int64_t>(type.AsDouble());
  if (code == kDataTypeString) return VT_BSTR;
  return static_cast<VARTYPE>(code);
}

// The node's access mode as OPC access rights.
DWORD AccessRights(uint16_t mode) {
  struct TRights {
    uint16_t mode;
    DWORD rights;
  };
  constexpr TRights kRights[] = {{1, OPC_READABLE}, {2, OPC_READABLE | OPC_WRITEABLE}, {3, OPC_WRITEABLE}};
  for (const auto& r : kRights)
    if (r.mode == mode) return r.rights;
  return OPC_READABLE;
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
  r.canonical = CanonicalType(*node);
  r.rights = AccessRights(node->AccessMode);
  return r;
}

}  // namespace

// ---- The owner's lists
// ---------------------------------------------------------------------------------------

bool TDaGroupOwner::IsPublic(const TOPCGroup* group) const {
  return std::any_of(public_.begin(), public_.end(), [&](const auto& g) { return g.Get() == group; });
}

bool TDaGroupOwner::NameExists(std::u16string_view name) const {
  return FindByName(private_, name) || FindByName(public_, name);
}

TOPCGroup* TDaGroupOwner::FindByName(const std::vector<TComPtr<TOPCGroup>>& list, std::u16string_view name) {
  for (const auto& g : list)
    if (g->Name() == name) return g.Get();
  return nullptr;
}

TOPCGroup* TDaGroupOwner::FindByHandle(const std::vector<TComPtr<TOPCGroup>>& list, OPCHANDLE handle) {
  for (const auto& g : list)
    if (g->ServerGroup() == handle) return g.Get();
  return nullptr;
}

std::optional<std::u16string> TDaGroupOwner::GenerateName(std::u16string base) const {
  constexpr int kRounds = 10;
  for (int round = 0; round < kRounds; ++round) {
    base += Utf8ToUtf16(std::to_string(static_cast<uint32_t>(Ctx().clock.TickMs())));
    if (!NameExists(base)) return base;
  }
  return std::nullopt;
}

TComPtr<TOPCGroup> TDaGroupOwner::CreateGroup(const std::shared_ptr<TDaGroupOwner>& self) {
  auto group = Make<TOPCGroup>(self);
  if (group && !closed_) private_.push_back(group);
  return group;
}

void TDaGroupOwner::Remove(const TOPCGroup* group) {
  for (auto* list : {&private_, &public_}) {
    auto it = std::find_if(list->begin(), list->end(), [&](const auto& g) { return g.Get() == group; });
    if (it == list->end()) continue;
    TComPtr<TOPCGroup> held = std::move(*it);  // released after the list is consistent again
    list->erase(it);
    return;
  }
}

void TDaGroupOwner::MoveToPublic(TOPCGroup* group) {
  auto it = std::find_if(private_.begin(), private_.end(), [&](const auto& g) { return g.Get() == group; });
  if (it == private_.end()) return;
  public_.push_back(std::move(*it));
  private_.erase(it);
}

void TDaGroupOwner::Close() {
  closed_ = true;
  auto privateGroups = std::move(private_);
  auto publicGroups = std::move(public_);
  private_.clear();
  public_.clear();
  privateGroups.clear();
  publicGroups.clear();
}

// ---- The group
// -----------------------------------------------------------------------------------------------

TOPCGroup::TOPCGroup(std::shared_ptr<TDaGroupOwner> owner)
    : owner_(std::move(owner)),
      dataPoint_(AddConnectionPoint(IID_IOPCDataCallback, TConnectionPoint::kManySinks)) {
  // The latest advised sink is the callback; when it goes, the one advised before it takes over.
  dataPoint_.SetHandler([this](DWORD, IUnknown* sink) {
    if (sink) {
      callback_ = static_cast<IOPCDataCallback*>(sink);
      return;
    }
    auto sinks = dataPoint_.Sinks<IOPCDataCallback>();
    callback_ = sinks.empty() ? nullptr : sinks.back();
  });
}

TOPCGroup::~TOPCGroup() {
  for (auto& item : items_) item.Link->Alive = false;
  WithdrawAll();
  owner_->Remove(this);
}

DWORD TOPCGroup::Init(const TGroupInit& init) {
  name_ = init.Name;
  active_ = init.Active;
  updateRate_ = ReviseUpdateRate(init.RequestedRate);
  clientGroup_ = init.ClientGroup;
  serverGroup_ = init.ServerGroup;
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
  // Ids are not given back; after the last one the lowest ids are long finished, except standing
  // refreshes, whose ids are skipped.
  do {
    lastCancelId_ = lastCancelId_ >= kCancelIds ? 1 : lastCancelId_ + 1;
  } while (refreshIds_.contains(lastCancelId_));
  return lastCancelId_;
}

TComPtr<IOPCDataCallback> TOPCGroup::Relay(const TOPCItem& item) const {
  auto relay = Make<TDaCallbackRelay>(item.Link, callback_);
  return relay ? TComPtr<IOPCDataCallback>(relay.Get()) : nullptr;
}

void TOPCGroup::WithdrawRefreshes() {
  if (!refreshIds_.empty() && EngineRunning()) Ctx().engine.DAWithdraw(&refreshOwner_, {});
  refreshIds_.clear();
}

void TOPCGroup::WithdrawItems(std::span<const int32_t> handles) {
  if (handles.empty() || !EngineRunning()) return;
  Ctx().engine.DAWithdraw(this, handles);
  Ctx().engine.DAWithdraw(&refreshOwner_, handles);
}

void TOPCGroup::WithdrawAll() {
  if (!EngineRunning()) return;
  Ctx().engine.DAWithdraw(this, {});
  Ctx().engine.DAWithdraw(&refreshOwner_, {});
  refreshIds_.clear();
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
    else if (def.vtRequestedDataType > kHighestRequestedType)
      errors[i] = OPC_E_BADTYPE;
    else if (!(node = Resolve(Ctx().tree, id)).found)
      errors[i] = OPC_E_UNKNOWNITEMID;
    if (errors[i] != S_OK) {
      failed = true;
      continue;
    }
    TOPCItem item;
    item.ItemId = id;
    item.Blob = def.pBlob;
    item.SetActive(def.bActive);
    item.ServerHandle = static_cast<OPCHANDLE>(node.handle);
    item.Link->ClientHandle = def.hClient;
    item.CanonicalType = node.canonical;
    item.RequestedType = def.vtRequestedDataType == VT_EMPTY ? node.canonical : def.vtRequestedDataType;
    items_.push_back(std::move(item));
    results[i].hServer = static_cast<OPCHANDLE>(node.handle);
    results[i].vtCanonicalDataType = node.canonical;
    results[i].dwAccessRights = node.rights;
    results[i].pBlob = def.pBlob;
    if (active_ || def.bActive) Ctx().logs.Journal("Добавление задания 2", "");
  }
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
    else if (def.vtRequestedDataType > kHighestRequestedType)
      errors[i] = OPC_E_BADTYPE;
    else if (!node.found && !input)
      errors[i] = OPC_E_UNKNOWNITEMID;
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
  // The queued tasks of a node no item of the group names any more go with it.
  std::vector<int32_t> gone;
  for (DWORD i = 0; i < dwCount; ++i)
    if (errors[i] == S_OK && !FindItem(phServer[i])) gone.push_back(static_cast<int32_t>(phServer[i]));
  WithdrawItems(gone);
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
  const HRESULT hr = ForEachHandle(dwCount, phServer, errors.Get(), [&](DWORD, TOPCItem& item) {
    item.SetActive(bActive);
    return S_OK;
  });
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
    if (type > kHighestRequestedType) return OPC_E_BADTYPE;
    item.RequestedType = type == VT_EMPTY ? item.CanonicalType : type;
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
    a.Blob = item.Blob;
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
  HRESULT hr = S_OK;
  if (pRequestedUpdateRate) {
    updateRate_ = ReviseUpdateRate(*pRequestedUpdateRate);
    if (updateRate_ != *pRequestedUpdateRate) hr = OPC_S_UNSUPPORTEDRATE;
  }
  if (pRevisedUpdateRate) *pRevisedUpdateRate = updateRate_;
  if (pActive) active_ = *pActive;
  if (pTimeBias) timeBias_ = *pTimeBias;
  if (pPercentDeadband) deadband_ = *pPercentDeadband;
  if (pLCID) lcid_ = *pLCID;
  if (phClientGroup) clientGroup_ = *phClientGroup;
  if (!active_) {
    WithdrawRefreshes();
  } else if (callback_) {
    // The subscription starts (or restarts at the new rate) with a refresh of every item.
    Ctx().logs.Journal("Добавление задания 3", "");
    DWORD cancelId = 0;
    Refresh2(OPC_DS_DEVICE, 1, &cancelId);
  }
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
  for (DWORD i = 0; i < dwCount; ++i) {
    const TOPCItem* item = FindItem(phServer[i]);
    if (!item) {
      errors[i] = OPC_E_INVALIDHANDLE;
      continue;
    }
    states[i].hClient = item->ClientHandle();
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
  WaitForResults(transactions, states.Get(), errors.Get());
  const bool failed = std::any_of(errors.Get(), errors.Get() + dwCount, [](HRESULT e) { return e != S_OK; });
  *ppItemValues = states.Release();
  *ppErrors = errors.Release();
  return failed ? S_FALSE : S_OK;
}

void TOPCGroup::WaitForResults(std::span<const int32_t> transactions, OPCITEMSTATE* states, HRESULT* errors) {
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
  if (!callback_) return CONNECT_E_NOCONNECTION;
  if (!pdwCancelID || !ppErrors) return E_INVALIDARG;
  *ppErrors = nullptr;
  const int32_t cancelId = TakeCancelId();
  *pdwCancelID = static_cast<DWORD>(cancelId);
  if (BadCount(dwCount) || !phServer) return E_INVALIDARG;
  TTaskArray<HRESULT> errors(dwCount);
  if (!errors.Ok()) return E_OUTOFMEMORY;
  TAsyncEngine& engine = Ctx().engine;
  // One request per item, so each item learns whether it was queued and answers with its own handle.
  const HRESULT hr = ForEachHandle(dwCount, phServer, errors.Get(), [&](DWORD, TOPCItem& item) {
    const int32_t handle = static_cast<int32_t>(item.ServerHandle);
    TComPtr<IOPCDataCallback> relay = Relay(item);
    if (!relay) return E_OUTOFMEMORY;
    return engine.DARead(this, static_cast<int32_t>(clientGroup_), false, relay.Get(), {&handle, 1}, cancelId,
                         static_cast<int32_t>(dwTransactionID))
               ? S_OK
               : E_FAIL;
  });
  *ppErrors = errors.Release();
  return hr;
}

HRESULT TOPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                         DWORD* pdwCancelID, HRESULT** ppErrors) {
  if (!callback_) return CONNECT_E_NOCONNECTION;
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
  return ForEachHandle(count, handles, errors, [&](DWORD i, TOPCItem& item) -> HRESULT {
    if (!item.Writable) return OPC_E_BADRIGHTS;
    TVariant value;
    if (HRESULT hr = VariantToTVariant(values[i], value); FAILED(hr)) return hr;
    TComPtr<IOPCDataCallback> relay = Relay(item);
    if (!relay) return E_OUTOFMEMORY;
    const int32_t handle = static_cast<int32_t>(item.ServerHandle);
    engine.DAWrite(this, static_cast<int32_t>(clientGroup_), static_cast<int32_t>(transaction), relay.Get(),
                   cancelId, {&value, 1}, {&handle, 1});
    return S_OK;
  });
}

HRESULT TOPCGroup::Refresh2(OPCDATASOURCE, DWORD dwTransactionID, DWORD* pdwCancelID) {
  if (!callback_) return CONNECT_E_NOCONNECTION;
  if (!pdwCancelID) return E_INVALIDARG;
  const int32_t cancelId = TakeCancelId();
  *pdwCancelID = static_cast<DWORD>(cancelId);
  // A refresh stands until withdrawn: the new one replaces what the group had, one per item.
  WithdrawRefreshes();
  for (const TOPCItem& item : items_) {
    const TResolved node = Resolve(Ctx().tree, item.ItemId);
    if (!node.found) continue;  // its device was removed
    TComPtr<IOPCDataCallback> relay = Relay(item);
    if (!relay) return E_OUTOFMEMORY;
    Ctx().engine.DARefresh(&refreshOwner_, static_cast<int32_t>(clientGroup_),
                           static_cast<int32_t>(updateRate_), relay.Get(), {&node.handle, 1}, cancelId,
                           static_cast<int32_t>(dwTransactionID));
  }
  refreshIds_.insert(cancelId);
  return S_OK;
}

HRESULT TOPCGroup::Cancel2(DWORD dwCancelID) {
  if (!callback_) return CONNECT_E_NOCONNECTION;
  const int32_t id = static_cast<int32_t>(dwCancelID);
  const void* owner = refreshIds_.erase(id) > 0 ? static_cast<const void*>(&refreshOwner_) : this;
  Ctx().engine.DACancel(owner, id, nullptr);
  return S_OK;
}

HRESULT TOPCGroup::SetEnable(BOOL bEnable) {
  if (!callback_) return CONNECT_E_NOCONNECTION;
  enable_ = bEnable;
  return S_OK;
}

HRESULT TOPCGroup::GetEnable(BOOL* pbEnable) {
  if (!callback_) return CONNECT_E_NOCONNECTION;
  if (!pbEnable) return E_INVALIDARG;
  *pbEnable = enable_;
  return S_OK;
}

}  // namespace orvela
