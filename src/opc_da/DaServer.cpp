#include "opc_da/DaServer.h"

#include "opc_da/DaArrays.h"
#include "opc_da/DaEnumerators.h"
#include "opc_da/DaErrors.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComText.h"
#include "platform/com/opc/OpcError.h"

namespace orvela {
namespace {

constexpr LCID kLocales[] = {LOCALE_SYSTEM_DEFAULT, LOCALE_USER_DEFAULT};
constexpr DWORD kBandWidth = 100;
constexpr WORD kVersion[] = {1, 2, 5};
constexpr const char16_t* kVendorInfo = u"ZPK";
// A group held by its list and by one client reference is not in use by anyone else.
constexpr ULONG kGroupFreeRefs = 2;

std::u16string Text(LPCWSTR s) {
  return s ? std::u16string(s) : std::u16string();
}

FILETIME LocalToFileTime(TDateTime local) {
  return LocalDateTimeToFileTime(local);
}

// The lists a group-enumerator scope covers: private, public or both.
struct TScope {
  bool privateGroups;
  bool publicGroups;
};
std::optional<TScope> ScopeOf(OPCENUMSCOPE scope) {
  switch (scope) {
    case OPC_ENUM_PRIVATE_CONNECTIONS:
    case OPC_ENUM_PRIVATE:
      return TScope{true, false};
    case OPC_ENUM_PUBLIC_CONNECTIONS:
    case OPC_ENUM_PUBLIC:
      return TScope{false, true};
    case OPC_ENUM_ALL_CONNECTIONS:
    case OPC_ENUM_ALL:
      return TScope{true, true};
    default:
      return std::nullopt;
  }
}

}  // namespace

TDA2::TDA2(std::shared_ptr<TDaServerState> state)
    : state_(std::move(state)),
      groups_(std::make_shared<TDaGroupOwner>(state_)),
      browse_(state_->Ctx().tree),
      properties_(state_) {
  TConnectionPoint& point = AddConnectionPoint(IID_IOPCShutdown, 1);
  point.SetHandler(
      [this](DWORD, IUnknown* sink) { shutdown_ = sink ? static_cast<IOPCShutdown*>(sink) : nullptr; });
  startTime_ = Ctx().clock.Now();
  slot_ = state_->TakeSlot(Identity());
  Ctx().engine.InitAsync();
  Ctx().logs.Journal("Сервер DA запущен", "");
}

TDA2::~TDA2() {
  // The groups withdraw their tasks while the engine still runs.
  groups_->Close();
  state_->FreeSlot(slot_);
  Ctx().engine.FinalAsync();
  Ctx().logs.Journal("Сервер DA завершен", "");
}

// ---- IOPCServer
// ----------------------------------------------------------------------------------------------

HRESULT TDA2::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                       LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                       DWORD* pRevisedUpdateRate, REFIID riid, IUnknown** ppUnk) {
  if (!phServerGroup || !pRevisedUpdateRate || !ppUnk) return E_INVALIDARG;
  *phServerGroup = 0;
  *ppUnk = nullptr;
  if (pPercentDeadband && !ValidDeadband(*pPercentDeadband)) return E_INVALIDARG;
  std::u16string name = Text(szName);
  if (name.empty()) {
    auto generated = groups_->GenerateName(name);
    if (!generated) return OPC_E_DUPLICATENAME;
    name = *generated;
  } else if (groups_->NameExists(name)) {
    return OPC_E_DUPLICATENAME;
  }
  TComPtr<TOPCGroup> group = groups_->CreateGroup(groups_);
  if (!group) return E_OUTOFMEMORY;
  TGroupInit init;
  init.Name = name;
  init.Active = bActive;
  init.RequestedRate = dwRequestedUpdateRate;
  init.ClientGroup = hClientGroup;
  init.ServerGroup = state_->NextGroupHandle();
  init.Deadband = pPercentDeadband ? *pPercentDeadband : 0.0f;
  init.Lcid = dwLCID;
  if (pTimeBias) {
    init.TimeBias = *pTimeBias;
  } else {
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    init.TimeBias = zone.Bias;
  }
  // The interface the client asked for: a group it cannot use is not kept.
  if (HRESULT hr = group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk)); FAILED(hr)) {
    group->Shutdown();
    groups_->Remove(group.Get());
    return hr;
  }
  *pRevisedUpdateRate = group->Init(init);
  *phServerGroup = init.ServerGroup;
  return *pRevisedUpdateRate != dwRequestedUpdateRate ? OPC_S_UNSUPPORTEDRATE : S_OK;
}

HRESULT TDA2::ErrorString(HRESULT code, LPWSTR* ppString) const {
  if (!ppString) return E_INVALIDARG;
  *ppString = TaskMemString(std::u16string_view(DaErrorText(code)));
  return *ppString ? S_OK : E_OUTOFMEMORY;
}

HRESULT TDA2::GetErrorString(HRESULT dwError, LCID, LPWSTR* ppString) {
  return ErrorString(dwError, ppString);
}

HRESULT TDA2::GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) {
  if (!ppUnk) return E_INVALIDARG;
  *ppUnk = nullptr;
  TOPCGroup* group = TDaGroupOwner::FindByName(groups_->Private(), Text(szName));
  if (!group) return E_INVALIDARG;
  return group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
}

HRESULT TDA2::GetStatus(OPCSERVERSTATUS** ppServerStatus) {
  if (!ppServerStatus) return E_INVALIDARG;
  *ppServerStatus = nullptr;
  TTaskArray<OPCSERVERSTATUS> status(1);
  LPWSTR vendor = TaskMemString(std::u16string_view(kVendorInfo));
  if (!status.Ok() || !vendor) {
    CoTaskMemFree(vendor);
    return E_OUTOFMEMORY;
  }
  OPCSERVERSTATUS& s = status[0];
  s.ftStartTime = LocalToFileTime(startTime_);
  s.ftCurrentTime = UtcDateTimeToFileTime(Ctx().clock.NowUtc());
  s.ftLastUpdateTime = LocalToFileTime(groups_->LastUpdate());
  s.dwServerState = OPC_STATUS_RUNNING;
  s.dwGroupCount = static_cast<DWORD>(groups_->Private().size() + groups_->Public().size());
  s.dwBandWidth = kBandWidth;
  s.wMajorVersion = kVersion[0];
  s.wMinorVersion = kVersion[1];
  s.wBuildNumber = kVersion[2];
  s.szVendorInfo = vendor;
  *ppServerStatus = status.Release();
  return S_OK;
}

HRESULT TDA2::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) {
  if (hServerGroup == 0) return E_INVALIDARG;
  TOPCGroup* group = TDaGroupOwner::FindByHandle(groups_->Private(), hServerGroup);
  if (!group) return E_INVALIDARG;
  if (group->RefCount() > kGroupFreeRefs && !bForce) return OPC_S_INUSE;
  // Whoever still holds it, the group calls its client no more.
  group->Shutdown();
  groups_->Remove(group);
  return S_OK;
}

HRESULT TDA2::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown** ppUnk) {
  if (!ppUnk) return E_INVALIDARG;
  *ppUnk = nullptr;
  const bool strings = IsEqualIID(riid, IID_IEnumString);
  if (!strings && !IsEqualIID(riid, IID_IEnumUnknown)) return E_NOINTERFACE;
  const auto scope = ScopeOf(dwScope);
  if (!scope) return E_INVALIDARG;
  std::vector<TOPCGroup*> selected;
  if (scope->privateGroups)
    for (auto& g : groups_->Private()) selected.push_back(g.Get());
  if (scope->publicGroups)
    for (auto& g : groups_->Public()) selected.push_back(g.Get());
  if (strings) {
    std::vector<std::u16string> names;
    for (TOPCGroup* g : selected) names.push_back(g->Name());
    return MakeStringEnumerator(std::move(names), reinterpret_cast<IEnumString**>(ppUnk));
  }
  if (selected.empty()) return S_OK;  // no enumerator over nothing
  std::vector<TComPtr<IUnknown>> units;
  for (TOPCGroup* g : selected) units.emplace_back(g->Identity());
  return MakeUnknownEnumerator(std::move(units), reinterpret_cast<IEnumUnknown**>(ppUnk));
}

// ---- IOPCCommon
// ----------------------------------------------------------------------------------------------

HRESULT TDA2::SetLocaleID(LCID dwLcid) {
  if (std::find(std::begin(kLocales), std::end(kLocales), dwLcid) == std::end(kLocales)) return E_INVALIDARG;
  lcid_ = dwLcid;
  return S_OK;
}

HRESULT TDA2::GetLocaleID(LCID* pdwLcid) {
  if (!pdwLcid) return E_INVALIDARG;
  *pdwLcid = lcid_;
  return S_OK;
}

HRESULT TDA2::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) {
  if (!pdwCount || !pdwLcid) return E_INVALIDARG;
  *pdwCount = 0;
  *pdwLcid = nullptr;
  TTaskArray<LCID> list(std::size(kLocales));
  if (!list.Ok()) return E_OUTOFMEMORY;
  std::copy(std::begin(kLocales), std::end(kLocales), list.Get());
  *pdwCount = static_cast<DWORD>(std::size(kLocales));
  *pdwLcid = list.Release();
  return S_OK;
}

HRESULT TDA2::GetErrorString(HRESULT dwError, LPWSTR* ppString) {
  return ErrorString(dwError, ppString);
}

HRESULT TDA2::SetClientName(LPCWSTR szName) {
  clientName_ = WideToUtf8(szName);
  return S_OK;
}

// ---- IOPCServerPublicGroups
// ----------------------------------------------------------------------------------

HRESULT TDA2::GetPublicGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) {
  if (!ppUnk) return E_INVALIDARG;
  *ppUnk = nullptr;
  TOPCGroup* group = TDaGroupOwner::FindByName(groups_->Public(), Text(szName));
  if (!group) return OPC_E_NOTFOUND;
  return group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
}

HRESULT TDA2::RemovePublicGroup(OPCHANDLE hServerGroup, BOOL) {
  if (TOPCGroup* group = TDaGroupOwner::FindByHandle(groups_->Public(), hServerGroup)) {
    group->Shutdown();
    groups_->Remove(group);
  }
  return S_OK;
}

// ---- IPersistFile
// --------------------------------------------------------------------------------------------

HRESULT TDA2::GetClassID(CLSID*) {
  return S_FALSE;
}
HRESULT TDA2::IsDirty() {
  return S_FALSE;
}
HRESULT TDA2::Load(LPCOLESTR, DWORD) {
  return S_FALSE;
}
HRESULT TDA2::Save(LPCOLESTR, BOOL) {
  return S_FALSE;
}
HRESULT TDA2::SaveCompleted(LPCOLESTR) {
  return S_FALSE;
}
HRESULT TDA2::GetCurFile(LPOLESTR* ppszFileName) {
  if (ppszFileName) *ppszFileName = nullptr;
  return S_FALSE;
}

// ---- IDispatch
// -----------------------------------------------------------------------------------------------

HRESULT TDA2::GetTypeInfoCount(UINT* pctinfo) {
  if (!pctinfo) return E_INVALIDARG;
  *pctinfo = 0;
  return S_OK;
}
HRESULT TDA2::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
  if (ppTInfo) *ppTInfo = nullptr;
  return E_NOTIMPL;
}
HRESULT TDA2::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
  return E_NOTIMPL;
}
HRESULT TDA2::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return E_NOTIMPL;
}

}  // namespace orvela
