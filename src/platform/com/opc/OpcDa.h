#pragma once
// OPC Data Access 2.05 declarations: the published IIDs, enumerations, structures (Windows field order
// and widths) and interfaces (published method order, no virtual destructors).
#include "platform/com/ComInterfaces.h"
#include "platform/com/opc/OpcCommon.h"

inline constexpr IID IID_IOPCServer{
    0x39C13A4D, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCServerPublicGroups{
    0x39C13A4E, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCBrowseServerAddressSpace{
    0x39C13A4F, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCGroupStateMgt{
    0x39C13A50, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCPublicGroupStateMgt{
    0x39C13A51, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCSyncIO{
    0x39C13A52, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCAsyncIO{
    0x39C13A53, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCItemMgt{
    0x39C13A54, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IEnumOPCItemAttributes{
    0x39C13A55, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCDataCallback{
    0x39C13A70, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCAsyncIO2{
    0x39C13A71, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
inline constexpr IID IID_IOPCItemProperties{
    0x39C13A72, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};

// Enumerations are 32 bits wide, as on Windows; a fixed underlying type keeps any value a client sends
// representable, so servers can answer out-of-range values instead of relying on them.
enum OPCDATASOURCE : int32_t { OPC_DS_CACHE = 1, OPC_DS_DEVICE = 2 };
enum OPCBROWSETYPE : int32_t { OPC_BRANCH = 1, OPC_LEAF = 2, OPC_FLAT = 3 };
enum OPCNAMESPACETYPE : int32_t { OPC_NS_HIERARCHIAL = 1, OPC_NS_FLAT = 2 };
enum OPCBROWSEDIRECTION : int32_t { OPC_BROWSE_UP = 1, OPC_BROWSE_DOWN = 2, OPC_BROWSE_TO = 3 };
enum OPCEUTYPE : int32_t { OPC_NOENUM = 0, OPC_ANALOG = 1, OPC_ENUMERATED = 2 };
enum OPCSERVERSTATE : int32_t {
  OPC_STATUS_RUNNING = 1,
  OPC_STATUS_FAILED = 2,
  OPC_STATUS_NOCONFIG = 3,
  OPC_STATUS_SUSPENDED = 4,
  OPC_STATUS_TEST = 5,
};
enum OPCENUMSCOPE : int32_t {
  OPC_ENUM_PRIVATE_CONNECTIONS = 1,
  OPC_ENUM_PUBLIC_CONNECTIONS = 2,
  OPC_ENUM_ALL_CONNECTIONS = 3,
  OPC_ENUM_PRIVATE = 4,
  OPC_ENUM_PUBLIC = 5,
  OPC_ENUM_ALL = 6,
};

// Access rights are mask bits.
inline constexpr DWORD OPC_READABLE = 1;
inline constexpr DWORD OPC_WRITEABLE = 2;

// Quality word: quality (bits 7-6), substatus (bits 5-2), limit (bits 1-0).
inline constexpr WORD OPC_QUALITY_MASK = 0xC0;
inline constexpr WORD OPC_STATUS_MASK = 0xFC;
inline constexpr WORD OPC_LIMIT_MASK = 0x03;
inline constexpr WORD OPC_QUALITY_BAD = 0x00;
inline constexpr WORD OPC_QUALITY_UNCERTAIN = 0x40;
inline constexpr WORD OPC_QUALITY_GOOD = 0xC0;
inline constexpr WORD OPC_QUALITY_CONFIG_ERROR = 0x04;
inline constexpr WORD OPC_QUALITY_NOT_CONNECTED = 0x08;
inline constexpr WORD OPC_QUALITY_DEVICE_FAILURE = 0x0C;
inline constexpr WORD OPC_QUALITY_SENSOR_FAILURE = 0x10;
inline constexpr WORD OPC_QUALITY_LAST_KNOWN = 0x14;
inline constexpr WORD OPC_QUALITY_COMM_FAILURE = 0x18;
inline constexpr WORD OPC_QUALITY_OUT_OF_SERVICE = 0x1C;
inline constexpr WORD OPC_QUALITY_LAST_USABLE = 0x44;
inline constexpr WORD OPC_QUALITY_SENSOR_CAL = 0x50;
inline constexpr WORD OPC_QUALITY_EGU_EXCEEDED = 0x54;
inline constexpr WORD OPC_QUALITY_SUB_NORMAL = 0x58;
inline constexpr WORD OPC_QUALITY_LOCAL_OVERRIDE = 0xD8;
inline constexpr WORD OPC_LIMIT_OK = 0x00;
inline constexpr WORD OPC_LIMIT_LOW = 0x01;
inline constexpr WORD OPC_LIMIT_HIGH = 0x02;
inline constexpr WORD OPC_LIMIT_CONST = 0x03;

// Item property ids (IOPCItemProperties).
inline constexpr DWORD OPC_PROP_CDT = 1;
inline constexpr DWORD OPC_PROP_VALUE = 2;
inline constexpr DWORD OPC_PROP_QUALITY = 3;
inline constexpr DWORD OPC_PROP_TIME = 4;
inline constexpr DWORD OPC_PROP_RIGHTS = 5;
inline constexpr DWORD OPC_PROP_SCANRATE = 6;
inline constexpr DWORD OPC_PROP_UNIT = 100;
inline constexpr DWORD OPC_PROP_DESC = 101;
inline constexpr DWORD OPC_PROP_HIEU = 102;
inline constexpr DWORD OPC_PROP_LOEU = 103;
inline constexpr DWORD OPC_PROP_HIRANGE = 104;
inline constexpr DWORD OPC_PROP_LORANGE = 105;
inline constexpr DWORD OPC_PROP_CLOSE = 106;
inline constexpr DWORD OPC_PROP_OPEN = 107;
inline constexpr DWORD OPC_PROP_TIMEZONE = 108;
inline constexpr DWORD OPC_PROP_DSP = 200;
inline constexpr DWORD OPC_PROP_FGC = 201;
inline constexpr DWORD OPC_PROP_BGC = 202;
inline constexpr DWORD OPC_PROP_BLINK = 203;
inline constexpr DWORD OPC_PROP_BMP = 204;
inline constexpr DWORD OPC_PROP_SND = 205;
inline constexpr DWORD OPC_PROP_HTML = 206;
inline constexpr DWORD OPC_PROP_AVI = 207;
inline constexpr DWORD OPC_PROP_ALMSTAT = 300;
inline constexpr DWORD OPC_PROP_ALMHELP = 301;
inline constexpr DWORD OPC_PROP_ALMAREAS = 302;
inline constexpr DWORD OPC_PROP_ALMPRIMARYAREA = 303;
inline constexpr DWORD OPC_PROP_ALMCONDITION = 304;
inline constexpr DWORD OPC_PROP_ALMLIMIT = 305;
inline constexpr DWORD OPC_PROP_ALMDB = 306;
inline constexpr DWORD OPC_PROP_ALMHH = 307;
inline constexpr DWORD OPC_PROP_ALMH = 308;
inline constexpr DWORD OPC_PROP_ALML = 309;
inline constexpr DWORD OPC_PROP_ALMLL = 310;
inline constexpr DWORD OPC_PROP_ALMROC = 311;
inline constexpr DWORD OPC_PROP_ALMDEV = 312;

struct OPCITEMSTATE {
  OPCHANDLE hClient;
  FILETIME ftTimeStamp;
  WORD wQuality;
  WORD wReserved;
  VARIANT vDataValue;
};

struct OPCSERVERSTATUS {
  FILETIME ftStartTime;
  FILETIME ftCurrentTime;
  FILETIME ftLastUpdateTime;
  OPCSERVERSTATE dwServerState;
  DWORD dwGroupCount;
  DWORD dwBandWidth;
  WORD wMajorVersion;
  WORD wMinorVersion;
  WORD wBuildNumber;
  WORD wReserved;
  LPWSTR szVendorInfo;
};

struct OPCITEMDEF {
  LPWSTR szAccessPath;
  LPWSTR szItemID;
  BOOL bActive;
  OPCHANDLE hClient;
  DWORD dwBlobSize;
  BYTE* pBlob;
  VARTYPE vtRequestedDataType;
  WORD wReserved;
};

struct OPCITEMATTRIBUTES {
  LPWSTR szAccessPath;
  LPWSTR szItemID;
  BOOL bActive;
  OPCHANDLE hClient;
  OPCHANDLE hServer;
  DWORD dwAccessRights;
  DWORD dwBlobSize;
  BYTE* pBlob;
  VARTYPE vtRequestedDataType;
  VARTYPE vtCanonicalDataType;
  OPCEUTYPE dwEUType;
  VARIANT vEUInfo;
};

struct OPCITEMRESULT {
  OPCHANDLE hServer;
  VARTYPE vtCanonicalDataType;
  WORD wReserved;
  DWORD dwAccessRights;
  DWORD dwBlobSize;
  BYTE* pBlob;
};

struct IOPCServer : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                             OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                             DWORD dwLCID, OPCHANDLE* phServerGroup,
                                             DWORD* pRevisedUpdateRate, REFIID riid, IUnknown** ppUnk) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** ppServerStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid,
                                                          IUnknown** ppUnk) = 0;
};

struct IOPCServerPublicGroups : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetPublicGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemovePublicGroup(OPCHANDLE hServerGroup, BOOL bForce) = 0;
};

struct IOPCBrowseServerAddressSpace : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) = 0;
  virtual HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                                         LPCWSTR szString) = 0;
  virtual HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType,
                                                     LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                                                     DWORD dwAccessRightsFilter,
                                                     IEnumString** ppIEnumString) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) = 0;
  virtual HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) = 0;
};

struct IOPCGroupStateMgt : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName,
                                             LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                                             OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate,
                                             BOOL* pActive, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                             DWORD* pLCID, OPCHANDLE* phClientGroup) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetName(LPCWSTR szName) = 0;
  virtual HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) = 0;
};

struct IOPCPublicGroupStateMgt : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetState(BOOL* pPublic) = 0;
  virtual HRESULT STDMETHODCALLTYPE MoveToPublic() = 0;
};

struct IOPCSyncIO : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                                         OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                          HRESULT** ppErrors) = 0;
};

// Data Access 1.0 asynchronous interface; declared for completeness, the server answers through
// IOPCAsyncIO2 and IOPCDataCallback.
struct IOPCAsyncIO : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount,
                                         OPCHANDLE* phServer, DWORD* pTransactionID, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer,
                                          VARIANT* pItemValues, DWORD* pTransactionID,
                                          HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE Refresh(DWORD dwConnection, OPCDATASOURCE dwSource,
                                            DWORD* pTransactionID) = 0;
  virtual HRESULT STDMETHODCALLTYPE Cancel(DWORD dwTransactionID) = 0;
};

struct IOPCItemMgt : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AddItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                                             OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                                  OPCITEMRESULT** ppValidationResults,
                                                  HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                                   HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                                     HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD dwCount, OPCHANDLE* phServer,
                                                 VARTYPE* pRequestedDatatypes, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, IUnknown** ppUnk) = 0;
};

struct IEnumOPCItemAttributes : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray,
                                         ULONG* pceltFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) = 0;
};

struct IOPCDataCallback : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                                 HRESULT hrMastererror, DWORD dwCount,
                                                 OPCHANDLE* phClientItems, VARIANT* pvValues,
                                                 WORD* pwQualities, FILETIME* pftTimeStamps,
                                                 HRESULT* pErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                                   HRESULT hrMastererror, DWORD dwCount,
                                                   OPCHANDLE* phClientItems, VARIANT* pvValues,
                                                   WORD* pwQualities, FILETIME* pftTimeStamps,
                                                   HRESULT* pErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr,
                                                    DWORD dwCount, OPCHANDLE* pClienthandles,
                                                    HRESULT* pErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) = 0;
};

struct IOPCAsyncIO2 : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                                         DWORD* pdwCancelID, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                          DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID,
                                             DWORD* pdwCancelID) = 0;
  virtual HRESULT STDMETHODCALLTYPE Cancel2(DWORD dwCancelID) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetEnable(BOOL bEnable) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetEnable(BOOL* pbEnable) = 0;
};

struct IOPCItemProperties : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                                             DWORD** ppPropertyIDs, LPWSTR** ppDescriptions,
                                                             VARTYPE** ppvtDataTypes) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                                      VARIANT** ppvData, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                                  LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) = 0;
};

ORVELA_COM_INTERFACE(IOPCServer, IUnknown)
ORVELA_COM_INTERFACE(IOPCServerPublicGroups, IUnknown)
ORVELA_COM_INTERFACE(IOPCBrowseServerAddressSpace, IUnknown)
ORVELA_COM_INTERFACE(IOPCGroupStateMgt, IUnknown)
ORVELA_COM_INTERFACE(IOPCPublicGroupStateMgt, IUnknown)
ORVELA_COM_INTERFACE(IOPCSyncIO, IUnknown)
ORVELA_COM_INTERFACE(IOPCAsyncIO, IUnknown)
ORVELA_COM_INTERFACE(IOPCItemMgt, IUnknown)
ORVELA_COM_INTERFACE(IEnumOPCItemAttributes, IUnknown)
ORVELA_COM_INTERFACE(IOPCDataCallback, IUnknown)
ORVELA_COM_INTERFACE(IOPCAsyncIO2, IUnknown)
ORVELA_COM_INTERFACE(IOPCItemProperties, IUnknown)
