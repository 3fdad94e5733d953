#pragma once
// OPC Historical Data Access 1.20 declarations: the published IIDs, enumerations, constants, structures
// (Windows field order and widths) and interfaces (published method order, no virtual destructors).
#include "platform/com/ComInterfaces.h"
#include "platform/com/opc/OpcCommon.h"

inline constexpr IID IID_IOPCHDA_Server{
    0x1F1217B0, 0xDEE0, 0x11D2, {0xA5, 0xE5, 0x00, 0x00, 0x86, 0x33, 0x93, 0x99}};
inline constexpr IID IID_IOPCHDA_Browser{
    0x1F1217B1, 0xDEE0, 0x11D2, {0xA5, 0xE5, 0x00, 0x00, 0x86, 0x33, 0x93, 0x99}};
inline constexpr IID IID_IOPCHDA_SyncRead{
    0x1F1217B2, 0xDEE0, 0x11D2, {0xA5, 0xE5, 0x00, 0x00, 0x86, 0x33, 0x93, 0x99}};
inline constexpr IID IID_IOPCHDA_SyncUpdate{
    0x1F1217B3, 0xDEE0, 0x11D2, {0xA5, 0xE5, 0x00, 0x00, 0x86, 0x33, 0x93, 0x99}};
inline constexpr IID IID_IOPCHDA_SyncAnnotations{
    0x1F1217B4, 0xDEE0, 0x11D2, {0xA5, 0xE5, 0x00, 0x00, 0x86, 0x33, 0x93, 0x99}};
inline constexpr IID IID_IOPCHDA_AsyncRead{
    0x1F1217B5, 0xDEE0, 0x11D2, {0xA5, 0xE5, 0x00, 0x00, 0x86, 0x33, 0x93, 0x99}};
inline constexpr IID IID_IOPCHDA_AsyncUpdate{
    0x1F1217B6, 0xDEE0, 0x11D2, {0xA5, 0xE5, 0x00, 0x00, 0x86, 0x33, 0x93, 0x99}};
inline constexpr IID IID_IOPCHDA_AsyncAnnotations{
    0x1F1217B7, 0xDEE0, 0x11D2, {0xA5, 0xE5, 0x00, 0x00, 0x86, 0x33, 0x93, 0x99}};
inline constexpr IID IID_IOPCHDA_Playback{
    0x1F1217B8, 0xDEE0, 0x11D2, {0xA5, 0xE5, 0x00, 0x00, 0x86, 0x33, 0x93, 0x99}};
inline constexpr IID IID_IOPCHDA_DataCallback{
    0x1F1217B9, 0xDEE0, 0x11D2, {0xA5, 0xE5, 0x00, 0x00, 0x86, 0x33, 0x93, 0x99}};

// Enumerations are 32 bits wide, as on Windows; a fixed underlying type keeps any value a client sends
// representable, so servers can answer out-of-range values instead of relying on them.
enum OPCHDA_SERVERSTATUS : int32_t { OPCHDA_UP = 1, OPCHDA_DOWN = 2, OPCHDA_INDETERMINATE = 3 };
enum OPCHDA_BROWSEDIRECTION : int32_t {
  OPCHDA_BROWSE_UP = 1,
  OPCHDA_BROWSE_DOWN = 2,
  OPCHDA_BROWSE_DIRECT = 3
};
enum OPCHDA_BROWSETYPE : int32_t { OPCHDA_BRANCH = 1, OPCHDA_LEAF = 2, OPCHDA_FLAT = 3, OPCHDA_ITEMS = 4 };
enum OPCHDA_ANNOTATIONCAPABILITIES : int32_t {
  OPCHDA_READANNOTATIONCAP = 0x1,
  OPCHDA_INSERTANNOTATIONCAP = 0x2
};
enum OPCHDA_UPDATECAPABILITIES : int32_t {
  OPCHDA_INSERTCAP = 0x1,
  OPCHDA_REPLACECAP = 0x2,
  OPCHDA_INSERTREPLACECAP = 0x4,
  OPCHDA_DELETERAWCAP = 0x8,
  OPCHDA_DELETEATTIMECAP = 0x10,
};
enum OPCHDA_OPERATORCODES : int32_t {
  OPCHDA_EQUAL = 1,
  OPCHDA_LESS = 2,
  OPCHDA_LESSEQUAL = 3,
  OPCHDA_GREATER = 4,
  OPCHDA_GREATEREQUAL = 5,
  OPCHDA_NOTEQUAL = 6,
};
enum OPCHDA_EDITTYPE : int32_t {
  OPCHDA_INSERT = 1,
  OPCHDA_REPLACE = 2,
  OPCHDA_INSERTREPLACE = 3,
  OPCHDA_DELETE = 4
};
enum OPCHDA_AGGREGATE : int32_t {
  OPCHDA_NOAGGREGATE = 0,
  OPCHDA_INTERPOLATIVE = 1,
  OPCHDA_TOTAL = 2,
  OPCHDA_AVERAGE = 3,
  OPCHDA_TIMEAVERAGE = 4,
  OPCHDA_COUNT = 5,
  OPCHDA_STDEV = 6,
  OPCHDA_MINIMUMACTUALTIME = 7,
  OPCHDA_MINIMUM = 8,
  OPCHDA_MAXIMUMACTUALTIME = 9,
  OPCHDA_MAXIMUM = 10,
  OPCHDA_START = 11,
  OPCHDA_END = 12,
  OPCHDA_DELTA = 13,
  OPCHDA_REGSLOPE = 14,
  OPCHDA_REGCONST = 15,
  OPCHDA_REGDEV = 16,
  OPCHDA_VARIANCE = 17,
  OPCHDA_RANGE = 18,
  OPCHDA_DURATIONGOOD = 19,
  OPCHDA_DURATIONBAD = 20,
  OPCHDA_PERCENTGOOD = 21,
  OPCHDA_PERCENTBAD = 22,
  OPCHDA_WORSTQUALITY = 23,
  OPCHDA_ANNOTATIONS = 24,
};

// Item attribute ids.
inline constexpr DWORD OPCHDA_DATA_TYPE = 0x01;
inline constexpr DWORD OPCHDA_DESCRIPTION = 0x02;
inline constexpr DWORD OPCHDA_ENG_UNITS = 0x03;
inline constexpr DWORD OPCHDA_STEPPED = 0x04;
inline constexpr DWORD OPCHDA_ARCHIVING = 0x05;
inline constexpr DWORD OPCHDA_DERIVE_EQUATION = 0x06;
inline constexpr DWORD OPCHDA_NODE_NAME = 0x07;
inline constexpr DWORD OPCHDA_PROCESS_NAME = 0x08;
inline constexpr DWORD OPCHDA_SOURCE_NAME = 0x09;
inline constexpr DWORD OPCHDA_SOURCE_TYPE = 0x0A;
inline constexpr DWORD OPCHDA_NORMAL_MAXIMUM = 0x0B;
inline constexpr DWORD OPCHDA_NORMAL_MINIMUM = 0x0C;
inline constexpr DWORD OPCHDA_ITEMID = 0x0D;
inline constexpr DWORD OPCHDA_MAX_TIME_INT = 0x0E;
inline constexpr DWORD OPCHDA_MIN_TIME_INT = 0x0F;
inline constexpr DWORD OPCHDA_EXCEPTION_DEV = 0x10;
inline constexpr DWORD OPCHDA_EXCEPTION_DEV_TYPE = 0x11;
inline constexpr DWORD OPCHDA_HIGH_ENTRY_LIMIT = 0x12;
inline constexpr DWORD OPCHDA_LOW_ENTRY_LIMIT = 0x13;

// Quality flags of a historical value; the low 16 bits carry the DA quality word.
inline constexpr DWORD OPCHDA_EXTRADATA = 0x00010000;
inline constexpr DWORD OPCHDA_INTERPOLATED = 0x00020000;
inline constexpr DWORD OPCHDA_RAW = 0x00040000;
inline constexpr DWORD OPCHDA_CALCULATED = 0x00080000;
inline constexpr DWORD OPCHDA_NOBOUND = 0x00100000;
inline constexpr DWORD OPCHDA_NODATA = 0x00200000;
inline constexpr DWORD OPCHDA_DATALOST = 0x00400000;
inline constexpr DWORD OPCHDA_CONVERSION = 0x00800000;
inline constexpr DWORD OPCHDA_PARTIAL = 0x01000000;

struct OPCHDA_ANNOTATION {
  OPCHANDLE hClient;
  DWORD dwNumValues;
  FILETIME* ftTimeStamps;
  LPWSTR* szAnnotation;
  FILETIME* ftAnnotationTime;
  LPWSTR* szUser;
};

struct OPCHDA_MODIFIEDITEM {
  OPCHANDLE hClient;
  DWORD dwCount;
  FILETIME* pftTimeStamps;
  DWORD* pdwQualities;
  VARIANT* pvDataValues;
  FILETIME* pftModificationTime;
  OPCHDA_EDITTYPE* pEditType;
  LPWSTR* szUser;
};

struct OPCHDA_ATTRIBUTE {
  OPCHANDLE hClient;
  DWORD dwNumValues;
  DWORD dwAttributeID;
  FILETIME* ftTimeStamps;
  VARIANT* vAttributeValues;
};

struct OPCHDA_TIME {
  BOOL bString;
  LPWSTR szTime;
  FILETIME ftTime;
};

struct OPCHDA_ITEM {
  OPCHANDLE hClient;
  DWORD haAggregate;
  DWORD dwCount;
  FILETIME* pftTimeStamps;
  DWORD* pdwQualities;
  VARIANT* pvDataValues;
};

struct IOPCHDA_Browser : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetEnum(OPCHDA_BROWSETYPE dwBrowseType, IEnumString** ppIEnumString) = 0;
  virtual HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCHDA_BROWSEDIRECTION dwBrowseDirection,
                                                         LPCWSTR szString) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetItemID(LPCWSTR szNode, LPWSTR* pszItemID) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBranchPosition(LPWSTR* pszBranchPos) = 0;
};

struct IOPCHDA_Server : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetItemAttributes(DWORD* pdwCount, DWORD** ppdwAttrID,
                                                      LPWSTR** ppszAttrName, LPWSTR** ppszAttrDesc,
                                                      VARTYPE** ppvtAttrDataType) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAggregates(DWORD* pdwCount, DWORD** ppdwAggrID, LPWSTR** ppszAggrName,
                                                  LPWSTR** ppszAggrDesc) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetHistorianStatus(OPCHDA_SERVERSTATUS* pwStatus,
                                                       FILETIME** pftCurrentTime, FILETIME** pftStartTime,
                                                       WORD* pwMajorVersion, WORD* pwMinorVersion,
                                                       WORD* pwBuildNumber, DWORD* pdwMaxReturnValues,
                                                       LPWSTR* ppszStatusString, LPWSTR* ppszVendorInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetItemHandles(DWORD dwCount, LPWSTR* pszItemID, OPCHANDLE* phClient,
                                                   OPCHANDLE** pphServer, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReleaseItemHandles(DWORD dwCount, OPCHANDLE* phServer,
                                                       HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE ValidateItemIDs(DWORD dwCount, LPWSTR* pszItemID, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateBrowse(DWORD dwCount, DWORD* pdwAttrID,
                                                 OPCHDA_OPERATORCODES* pOperator, VARIANT* vFilter,
                                                 IOPCHDA_Browser** pphBrowser, HRESULT** ppErrors) = 0;
};

struct IOPCHDA_SyncRead : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ReadRaw(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                            DWORD dwNumValues, BOOL bBounds, DWORD dwNumItems,
                                            OPCHANDLE* phServer, OPCHDA_ITEM** ppItemValues,
                                            HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadProcessed(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                                  FILETIME ftResampleInterval, DWORD dwNumItems,
                                                  OPCHANDLE* phServer, DWORD* haAggregate,
                                                  OPCHDA_ITEM** ppItemValues, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadAtTime(DWORD dwNumTimeStamps, FILETIME* ftTimeStamps,
                                               DWORD dwNumItems, OPCHANDLE* phServer,
                                               OPCHDA_ITEM** ppItemValues, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadModified(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                                 DWORD dwNumValues, DWORD dwNumItems, OPCHANDLE* phServer,
                                                 OPCHDA_MODIFIEDITEM** ppItemValues, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadAttribute(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                                  OPCHANDLE hServer, DWORD dwNumAttributes,
                                                  DWORD* pdwAttributeIDs,
                                                  OPCHDA_ATTRIBUTE** ppAttributeValues,
                                                  HRESULT** ppErrors) = 0;
};

struct IOPCHDA_SyncUpdate : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryCapabilities(OPCHDA_UPDATECAPABILITIES* pCapabilities) = 0;
  virtual HRESULT STDMETHODCALLTYPE Insert(DWORD dwNumItems, OPCHANDLE* phServer, FILETIME* ftTimeStamps,
                                           VARIANT* vDataValues, DWORD* pdwQualities, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE Replace(DWORD dwNumItems, OPCHANDLE* phServer, FILETIME* ftTimeStamps,
                                            VARIANT* vDataValues, DWORD* pdwQualities,
                                            HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE InsertReplace(DWORD dwNumItems, OPCHANDLE* phServer,
                                                  FILETIME* ftTimeStamps, VARIANT* vDataValues,
                                                  DWORD* pdwQualities, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteRaw(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime,
                                              DWORD dwNumItems, OPCHANDLE* phServer, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteAtTime(DWORD dwNumItems, OPCHANDLE* phServer,
                                                 FILETIME* ftTimeStamps, HRESULT** ppErrors) = 0;
};

struct IOPCHDA_SyncAnnotations : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryCapabilities(OPCHDA_ANNOTATIONCAPABILITIES* pCapabilities) = 0;
  virtual HRESULT STDMETHODCALLTYPE Read(OPCHDA_TIME* htStartTime, OPCHDA_TIME* htEndTime, DWORD dwNumItems,
                                         OPCHANDLE* phServer, OPCHDA_ANNOTATION** ppAnnotationValues,
                                         HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE Insert(DWORD dwNumItems, OPCHANDLE* phServer, FILETIME* ftTimeStamps,
                                           OPCHDA_ANNOTATION* pAnnotationValues, HRESULT** ppErrors) = 0;
};

struct IOPCHDA_AsyncRead : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ReadRaw(DWORD dwTransactionID, OPCHDA_TIME* htStartTime,
                                            OPCHDA_TIME* htEndTime, DWORD dwNumValues, BOOL bBounds,
                                            DWORD dwNumItems, OPCHANDLE* phServer, DWORD* pdwCancelID,
                                            HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE AdviseRaw(DWORD dwTransactionID, OPCHDA_TIME* htStartTime,
                                              FILETIME ftUpdateInterval, DWORD dwNumItems,
                                              OPCHANDLE* phServer, DWORD* pdwCancelID,
                                              HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadProcessed(DWORD dwTransactionID, OPCHDA_TIME* htStartTime,
                                                  OPCHDA_TIME* htEndTime, FILETIME ftResampleInterval,
                                                  DWORD dwNumItems, OPCHANDLE* phServer, DWORD* haAggregate,
                                                  DWORD* pdwCancelID, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE AdviseProcessed(DWORD dwTransactionID, OPCHDA_TIME* htStartTime,
                                                    FILETIME ftResampleInterval, DWORD dwNumItems,
                                                    OPCHANDLE* phServer, DWORD* haAggregate,
                                                    DWORD dwNumIntervals, DWORD* pdwCancelID,
                                                    HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadAtTime(DWORD dwTransactionID, DWORD dwNumTimeStamps,
                                               FILETIME* ftTimeStamps, DWORD dwNumItems, OPCHANDLE* phServer,
                                               DWORD* pdwCancelID, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadModified(DWORD dwTransactionID, OPCHDA_TIME* htStartTime,
                                                 OPCHDA_TIME* htEndTime, DWORD dwNumValues, DWORD dwNumItems,
                                                 OPCHANDLE* phServer, DWORD* pdwCancelID,
                                                 HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadAttribute(DWORD dwTransactionID, OPCHDA_TIME* htStartTime,
                                                  OPCHDA_TIME* htEndTime, OPCHANDLE hServer,
                                                  DWORD dwNumAttributes, DWORD* dwAttributeIDs,
                                                  DWORD* pdwCancelID, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE Cancel(DWORD dwCancelID) = 0;
};

struct IOPCHDA_DataCallback : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnDataChange(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwNumItems,
                                                 OPCHDA_ITEM* pItemValues, HRESULT* phrErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwNumItems,
                                                   OPCHDA_ITEM* pItemValues, HRESULT* phrErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnReadModifiedComplete(DWORD dwTransactionID, HRESULT hrStatus,
                                                           DWORD dwNumItems, OPCHDA_MODIFIEDITEM* pItemValues,
                                                           HRESULT* phrErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnReadAttributeComplete(DWORD dwTransactionID, HRESULT hrStatus,
                                                            OPCHANDLE hClient, DWORD dwNumItems,
                                                            OPCHDA_ATTRIBUTE* pAttributeValues,
                                                            HRESULT* phrErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnReadAnnotations(DWORD dwTransactionID, HRESULT hrStatus,
                                                      DWORD dwNumItems, OPCHDA_ANNOTATION* pAnnotationValues,
                                                      HRESULT* phrErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnInsertAnnotations(DWORD dwTransactionID, HRESULT hrStatus,
                                                        DWORD dwCount, OPCHANDLE* phClients,
                                                        HRESULT* phrErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnPlayback(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwNumItems,
                                               OPCHDA_ITEM** ppItemValues, HRESULT* phrErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnUpdateComplete(DWORD dwTransactionID, HRESULT hrStatus, DWORD dwCount,
                                                     OPCHANDLE* phClients, HRESULT* phrErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD dwCancelID) = 0;
};

ORVELA_COM_INTERFACE(IOPCHDA_Browser, IUnknown)
ORVELA_COM_INTERFACE(IOPCHDA_Server, IUnknown)
ORVELA_COM_INTERFACE(IOPCHDA_SyncRead, IUnknown)
ORVELA_COM_INTERFACE(IOPCHDA_SyncUpdate, IUnknown)
ORVELA_COM_INTERFACE(IOPCHDA_SyncAnnotations, IUnknown)
ORVELA_COM_INTERFACE(IOPCHDA_AsyncRead, IUnknown)
ORVELA_COM_INTERFACE(IOPCHDA_DataCallback, IUnknown)
