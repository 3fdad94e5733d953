// The DA server object's browsing and item-properties interfaces: each client's TDA2 keeps its own
// browse position; the work is done by TDaAddressSpace and TDaItemProperties.
#include "opc_da/DaServer.h"

namespace orvela {

HRESULT TDA2::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) {
  if (!pNameSpaceType) return E_INVALIDARG;
  *pNameSpaceType = OPC_NS_HIERARCHIAL;
  return S_OK;
}

HRESULT TDA2::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) {
  return browse_.ChangeBrowsePosition(dwBrowseDirection, szString);
}

HRESULT TDA2::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                               VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                               IEnumString** ppIEnumString) {
  return browse_.BrowseOPCItemIDs(dwBrowseFilterType, szFilterCriteria, vtDataTypeFilter,
                                  dwAccessRightsFilter, ppIEnumString);
}

HRESULT TDA2::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) {
  return browse_.GetItemID(szItemDataID, szItemID);
}

// Items have no access paths here.
HRESULT TDA2::BrowseAccessPaths(LPCWSTR, IEnumString** ppIEnumString) {
  if (!ppIEnumString) return E_INVALIDARG;
  *ppIEnumString = nullptr;
  return E_NOTIMPL;
}

HRESULT TDA2::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                       LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) {
  return properties_.QueryAvailableProperties(szItemID, pdwCount, ppPropertyIDs, ppDescriptions,
                                              ppvtDataTypes);
}

HRESULT TDA2::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                HRESULT** ppErrors) {
  // A device read may pump the main thread, where the client could release this object.
  TComPtr<IOPCServer> self(this);
  return properties_.GetItemProperties(szItemID, dwCount, pdwPropertyIDs, ppvData, ppErrors);
}

HRESULT TDA2::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                            HRESULT** ppErrors) {
  return properties_.LookupItemIDs(szItemID, dwCount, pdwPropertyIDs, ppszNewItemIDs, ppErrors);
}

}  // namespace orvela
