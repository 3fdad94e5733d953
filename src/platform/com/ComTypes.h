#pragma once
// The COM vocabulary with the Windows names, values and layouts: GUIDs, HRESULT codes, BSTR, VARIANT and
// IUnknown. Interfaces are pure-virtual structs without virtual destructors, as the binary standard has
// them, so code written against these headers builds unchanged against the real SDK.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/com/WinTypes.h"

#ifndef STDMETHODCALLTYPE
#define STDMETHODCALLTYPE
#endif

// ---- GUIDs -----------------------------------------------------------------------------------------------

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using CATID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using REFCATID = const CATID&;
using LPGUID = GUID*;
using LPCLSID = CLSID*;

constexpr bool IsEqualGUID(REFGUID a, REFGUID b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
constexpr bool IsEqualIID(REFIID a, REFIID b) {
  return IsEqualGUID(a, b);
}
constexpr bool IsEqualCLSID(REFCLSID a, REFCLSID b) {
  return IsEqualGUID(a, b);
}
constexpr bool operator==(REFGUID a, REFGUID b) {
  return IsEqualGUID(a, b);
}

inline constexpr GUID GUID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_NULL = GUID_NULL;
inline constexpr CLSID CLSID_NULL = GUID_NULL;

// ---- HRESULT
// -----------------------------------------------------------------------------------------------

constexpr bool SUCCEEDED(HRESULT hr) {
  return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
  return hr < 0;
}
constexpr HRESULT MAKE_HRESULT(uint32_t sev, uint32_t fac, uint32_t code) {
  return static_cast<HRESULT>((sev << 31) | (fac << 16) | (code & 0xFFFF));
}
constexpr WORD HRESULT_CODE(HRESULT hr) {
  return static_cast<WORD>(static_cast<uint32_t>(hr) & 0xFFFF);
}
constexpr WORD HRESULT_FACILITY(HRESULT hr) {
  return static_cast<WORD>((static_cast<uint32_t>(hr) >> 16) & 0x1FFF);
}
constexpr HRESULT HRESULT_FROM_WIN32(uint32_t err) {
  return static_cast<int32_t>(err) <= 0 ? static_cast<HRESULT>(err)
                                        : static_cast<HRESULT>((err & 0xFFFF) | (7u << 16) | 0x80000000u);
}

#define ORVELA_HR(value) static_cast<HRESULT>(static_cast<uint32_t>(value))
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = ORVELA_HR(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = ORVELA_HR(0x80004002);
inline constexpr HRESULT E_POINTER = ORVELA_HR(0x80004003);
inline constexpr HRESULT E_ABORT = ORVELA_HR(0x80004004);
inline constexpr HRESULT E_FAIL = ORVELA_HR(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = ORVELA_HR(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = ORVELA_HR(0x80070005);
inline constexpr HRESULT E_HANDLE = ORVELA_HR(0x80070006);
inline constexpr HRESULT E_OUTOFMEMORY = ORVELA_HR(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = ORVELA_HR(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = ORVELA_HR(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = ORVELA_HR(0x80040111);
inline constexpr HRESULT REGDB_E_READREGDB = ORVELA_HR(0x80040150);
inline constexpr HRESULT REGDB_E_WRITEREGDB = ORVELA_HR(0x80040151);
inline constexpr HRESULT REGDB_E_KEYMISSING = ORVELA_HR(0x80040152);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = ORVELA_HR(0x80040154);
inline constexpr HRESULT REGDB_E_IIDNOTREG = ORVELA_HR(0x80040155);
inline constexpr HRESULT CO_E_NOTINITIALIZED = ORVELA_HR(0x800401F0);
inline constexpr HRESULT CO_E_ALREADYINITIALIZED = ORVELA_HR(0x800401F1);
inline constexpr HRESULT CO_E_CLASSSTRING = ORVELA_HR(0x800401F3);
inline constexpr HRESULT CO_E_OBJNOTREG = ORVELA_HR(0x800401FB);
inline constexpr HRESULT CO_E_OBJNOTCONNECTED = ORVELA_HR(0x800401FD);
inline constexpr HRESULT RPC_E_CHANGED_MODE = ORVELA_HR(0x80010106);
inline constexpr HRESULT RPC_E_SERVERFAULT = ORVELA_HR(0x80010105);
inline constexpr HRESULT RPC_E_DISCONNECTED = ORVELA_HR(0x80010108);
inline constexpr HRESULT RPC_E_WRONG_THREAD = ORVELA_HR(0x8001010E);
inline constexpr HRESULT CONNECT_E_NOCONNECTION = ORVELA_HR(0x80040200);
inline constexpr HRESULT CONNECT_E_ADVISELIMIT = ORVELA_HR(0x80040201);
inline constexpr HRESULT CONNECT_E_CANNOTCONNECT = ORVELA_HR(0x80040202);
inline constexpr HRESULT CONNECT_E_OVERRIDDEN = ORVELA_HR(0x80040203);
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = ORVELA_HR(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = ORVELA_HR(0x80020003);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = ORVELA_HR(0x80020004);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = ORVELA_HR(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = ORVELA_HR(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = ORVELA_HR(0x80020007);
inline constexpr HRESULT DISP_E_BADVARTYPE = ORVELA_HR(0x80020008);
inline constexpr HRESULT DISP_E_EXCEPTION = ORVELA_HR(0x80020009);
inline constexpr HRESULT DISP_E_OVERFLOW = ORVELA_HR(0x8002000A);
inline constexpr HRESULT DISP_E_BADINDEX = ORVELA_HR(0x8002000B);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = ORVELA_HR(0x8002000E);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = ORVELA_HR(0x8002000F);
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = ORVELA_HR(0x8002802B);
inline constexpr HRESULT STG_E_INVALIDFUNCTION = ORVELA_HR(0x80030001);
inline constexpr HRESULT STG_E_FILENOTFOUND = ORVELA_HR(0x80030002);
inline constexpr HRESULT STG_E_ACCESSDENIED = ORVELA_HR(0x80030005);
inline constexpr HRESULT STG_E_INVALIDPOINTER = ORVELA_HR(0x80030009);
inline constexpr HRESULT STG_E_WRITEFAULT = ORVELA_HR(0x8003001D);
inline constexpr HRESULT STG_E_READFAULT = ORVELA_HR(0x8003001E);
inline constexpr HRESULT STG_E_MEDIUMFULL = ORVELA_HR(0x80030070);
inline constexpr HRESULT STG_E_INVALIDPARAMETER = ORVELA_HR(0x80030057);

// ---- Strings and VARIANT
// -----------------------------------------------------------------------------------

// A BSTR points at the characters; the byte length sits in the four bytes before them, and a terminating
// zero follows, so a BSTR may hold embedded zeros.
using BSTR = OLECHAR*;

struct IUnknown;
struct IDispatch;
struct IRecordInfo;

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};
struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  PVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
};

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    DOUBLE* pdblVal;
    BSTR* pbstrVal;
    VARIANT* pvarVal;
    PVOID byref;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    struct {
      PVOID pvRecord;
      IRecordInfo* pRecInfo;
    } brecVal;
  };
};
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;

// ---- IUnknown
// ----------------------------------------------------------------------------------------------

inline constexpr IID IID_IUnknown{
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
using LPUNKNOWN = IUnknown*;

// Which IID names an interface type and which interface it extends, so templates (QueryInterface tables,
// proxies, smart pointers) can find both. Declare each interface once with ORVELA_COM_INTERFACE.
namespace orvela {
template <class I>
struct TInterfaceInfo;
template <>
struct TInterfaceInfo<IUnknown> {
  static constexpr const IID& iid = IID_IUnknown;
  using Base = void;
};
template <class I>
constexpr const IID& IidOf() {
  return TInterfaceInfo<I>::iid;
}
}  // namespace orvela

// At global scope, after the interface and its IID constant: ORVELA_COM_INTERFACE(IClassFactory, IUnknown).
#define ORVELA_COM_INTERFACE(Name, BaseName)      \
  namespace orvela {                              \
  template <>                                     \
  struct TInterfaceInfo<::Name> {                 \
    static constexpr const IID& iid = IID_##Name; \
    using Base = ::BaseName;                      \
  };                                              \
  }

// ---- Widths the binary standard fixes
// ----------------------------------------------------------------------

static_assert(sizeof(BOOL) == 4 && sizeof(LONG) == 4 && sizeof(ULONG) == 4 && sizeof(DWORD) == 4);
static_assert(sizeof(WORD) == 2 && sizeof(SHORT) == 2 && sizeof(VARIANT_BOOL) == 2 && sizeof(OLECHAR) == 2);
static_assert(sizeof(LONGLONG) == 8 && sizeof(CY) == 8 && sizeof(DATE) == 8 && sizeof(SCODE) == 4);
static_assert(sizeof(HRESULT) == 4 && sizeof(LCID) == 4 && sizeof(FILETIME) == 8);
static_assert(sizeof(GUID) == 16 && alignof(GUID) == 4);
static_assert(offsetof(VARIANT, vt) == 0 && offsetof(VARIANT, llVal) == 8);
static_assert(sizeof(VARIANT) == 8 + 2 * sizeof(void*));
static_assert(sizeof(ULONG_PTR) == sizeof(void*) && sizeof(HANDLE) == sizeof(void*));
