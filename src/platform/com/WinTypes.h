#pragma once
// Windows base types with their exact widths, for code that keeps the COM vocabulary.
#include <cstddef>
#include <cstdint>

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using SHORT = int16_t;
using USHORT = uint16_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using WCHAR = char16_t;
using HRESULT = int32_t;
using VARTYPE = uint16_t;
using OPCHANDLE = DWORD;
using BOOL = int32_t;
using CHAR = char;
using INT = int32_t;
using UINT = uint32_t;
using FLOAT = float;
using DOUBLE = double;
using LPVOID = void*;
using PVOID = void*;
using LPDWORD = DWORD*;
using LPBYTE = BYTE*;
using PBYTE = BYTE*;
using LPCVOID = const void*;
using HANDLE = void*;
using OLECHAR = char16_t;
using LPWSTR = char16_t*;
using LPCWSTR = const char16_t*;
using LPOLESTR = char16_t*;
using LPCOLESTR = const char16_t*;
using LCID = DWORD;
using SCODE = int32_t;
using VARIANT_BOOL = int16_t;
using DATE = double;
using SIZE_T = size_t;
using ULONG_PTR = uintptr_t;
using LONG_PTR = intptr_t;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// Win32 error codes that the stand-ins return.
enum : DWORD {
  ERROR_SUCCESS = 0,
  ERROR_INVALID_FUNCTION = 1,
  ERROR_FILE_NOT_FOUND = 2,
  ERROR_PATH_NOT_FOUND = 3,
  ERROR_ACCESS_DENIED = 5,
  ERROR_INVALID_HANDLE = 6,
  ERROR_NOT_ENOUGH_MEMORY = 8,
  ERROR_OUTOFMEMORY = 14,
  ERROR_WRITE_FAULT = 29,
  ERROR_INVALID_PARAMETER = 87,
  ERROR_INSUFFICIENT_BUFFER = 122,
  ERROR_MORE_DATA = 234,
  ERROR_NO_MORE_ITEMS = 259,
  ERROR_MR_MID_NOT_FOUND = 317,
  ERROR_BADDB = 1009,
  ERROR_KEY_DELETED = 1018,
};

// Currency: a 64-bit integer scaled by 10 000.
union CY {
  struct {
    ULONG Lo;
    LONG Hi;
  } s;
  LONGLONG int64;
};

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } s;
  LONGLONG QuadPart;
};

union ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } s;
  ULONGLONG QuadPart;
};

struct FILETIME {
  DWORD dwLowDateTime = 0;
  DWORD dwHighDateTime = 0;
  friend bool operator==(const FILETIME&, const FILETIME&) = default;
};

struct SYSTEMTIME {
  WORD wYear = 0;
  WORD wMonth = 0;
  WORD wDayOfWeek = 0;
  WORD wDay = 0;
  WORD wHour = 0;
  WORD wMinute = 0;
  WORD wSecond = 0;
  WORD wMilliseconds = 0;
  friend bool operator==(const SYSTEMTIME&, const SYSTEMTIME&) = default;
};

// Variant type codes.
enum : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_FILETIME = 64,
  VT_CLSID = 72,
  VT_VECTOR = 0x1000,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0FFF,
};
