#pragma once
// OPC Common 1.0 interfaces shared by the DA and HDA servers, in the published method order.
#include "platform/com/ComTypes.h"

inline constexpr IID IID_IOPCShutdown{
    0xF31DFDE1, 0x07B6, 0x11D2, {0xB2, 0xD8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
inline constexpr IID IID_IOPCCommon{
    0xF31DFDE2, 0x07B6, 0x11D2, {0xB2, 0xD8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};

// Component categories under which OPC server browsers look for servers.
inline constexpr CATID CATID_OPCDAServer10{
    0x63D5F430, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
inline constexpr CATID CATID_OPCDAServer20{
    0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
inline constexpr CATID CATID_OPCDAServer30{
    0xCC603642, 0x66D7, 0x48F1, {0xB6, 0x9A, 0xB6, 0x25, 0xE7, 0x36, 0x52, 0xD7}};
inline constexpr CATID CATID_OPCHDAServer10{
    0x7DE5B060, 0xE089, 0x11D2, {0xA5, 0xE6, 0x00, 0x00, 0x86, 0x33, 0x93, 0x99}};

struct IOPCShutdown : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR szReason) = 0;
};

struct IOPCCommon : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* pdwLcid) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPWSTR* ppString) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR szName) = 0;
};

ORVELA_COM_INTERFACE(IOPCShutdown, IUnknown)
ORVELA_COM_INTERFACE(IOPCCommon, IUnknown)
