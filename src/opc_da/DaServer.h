#pragma once
// The DA server object a client gets from the DA class: its groups, status, locale and error texts.
#include <memory>
#include <string>

#include "opc_da/DaAddressSpace.h"
#include "opc_da/DaGroup.h"
#include "opc_da/DaIds.h"
#include "opc_da/DaItemProperties.h"
#include "opc_da/DaServerState.h"
#include "platform/com/ComObject.h"
#include "platform/com/ComSystem.h"
#include "platform/com/opc/OpcCommon.h"
#include "platform/com/opc/OpcDa.h"

namespace orvela {

class TDA2 final : public TConnectionPointContainer<IOPCItemProperties, IConnectionPointContainer,
                                                    IPersistFile, IOPCBrowseServerAddressSpace,
                                                    IOPCServerPublicGroups, IOPCCommon, IOPCServer, IDA2> {
 public:
  // Takes a slot of the server table (check HasFreeSlot first) and holds the engine while it lives.
  explicit TDA2(std::shared_ptr<TDaServerState> state);
  ~TDA2() override;

  // IOPCServer
  HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                     OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                     DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                                     REFIID riid, IUnknown** ppUnk) override;
  HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override;
  HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) override;
  HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
  HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
  HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid,
                                                  IUnknown** ppUnk) override;

  // IOPCCommon
  HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) override;
  HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* pdwLcid) override;
  HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
  HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
  HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR szName) override;

  // IOPCServerPublicGroups
  HRESULT STDMETHODCALLTYPE GetPublicGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) override;
  HRESULT STDMETHODCALLTYPE RemovePublicGroup(OPCHANDLE hServerGroup, BOOL bForce) override;

  // IOPCBrowseServerAddressSpace (DaServerBrowse.cpp): the client's own position in the device tree.
  HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
  HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                                 LPCWSTR szString) override;
  HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                             VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                             IEnumString** ppIEnumString) override;
  HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
  HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) override;

  // IOPCItemProperties (DaServerBrowse.cpp)
  HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                                     LPWSTR** ppDescriptions,
                                                     VARTYPE** ppvtDataTypes) override;
  HRESULT STDMETHODCALLTYPE GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                              VARIANT** ppvData, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                          LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) override;

  // IPersistFile: nothing to persist; every method answers S_FALSE.
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
  HRESULT STDMETHODCALLTYPE IsDirty() override;
  HRESULT STDMETHODCALLTYPE Load(LPCOLESTR pszFileName, DWORD dwMode) override;
  HRESULT STDMETHODCALLTYPE Save(LPCOLESTR pszFileName, BOOL fRemember) override;
  HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR pszFileName) override;
  HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* ppszFileName) override;

  // IDispatch of IDA2: the interface has no methods of its own.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                          DISPID* rgDispId) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                   UINT* puArgErr) override;

 private:
  TServerContext& Ctx() const { return state_->Ctx(); }
  HRESULT ErrorString(HRESULT code, LPWSTR* ppString) const;

  std::shared_ptr<TDaServerState> state_;
  std::shared_ptr<TDaGroupOwner> groups_;
  TDaAddressSpace browse_;
  TDaItemProperties properties_;
  TComPtr<IOPCShutdown> shutdown_;
  LCID lcid_ = LOCALE_SYSTEM_DEFAULT;
  std::string clientName_;
  TDateTime startTime_ = 0;
  int slot_ = -1;
};

}  // namespace orvela
