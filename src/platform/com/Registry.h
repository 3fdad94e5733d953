#pragma once
// The registry stand-in: root keys with subkeys and typed values, names compared without regard to ASCII
// case, kept in memory and, once a program folder is opened, in one JSON file per root key under
// <program folder>/registry/, rewritten atomically after every change. A change that cannot be saved is
// undone and reported. A root file that cannot be read is left as it is and its root key refuses changes
// (ERROR_BADDB) until it is reloaded. Read-only mode refuses every change and every opening for writing
// with ERROR_ACCESS_DENIED, as a registry without write access does.
#include <filesystem>
#include <optional>
#include <string>

#include "platform/com/ComTypes.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(uintptr_t{0x80000000});
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(uintptr_t{0x80000001});
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(uintptr_t{0x80000002});
inline HKEY const HKEY_USERS = reinterpret_cast<HKEY>(uintptr_t{0x80000003});

enum : DWORD {
  REG_NONE = 0,
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_BINARY = 3,
  REG_DWORD = 4,
  REG_MULTI_SZ = 7,
  REG_QWORD = 11,
};
enum : REGSAM {
  KEY_QUERY_VALUE = 0x0001,
  KEY_SET_VALUE = 0x0002,
  KEY_CREATE_SUB_KEY = 0x0004,
  KEY_ENUMERATE_SUB_KEYS = 0x0008,
  KEY_READ = 0x20019,
  KEY_WRITE = 0x20006,
  KEY_ALL_ACCESS = 0xF003F,
};
enum : DWORD { REG_OPTION_NON_VOLATILE = 0, REG_CREATED_NEW_KEY = 1, REG_OPENED_EXISTING_KEY = 2 };

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, void* lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition);
LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LSTATUS RegCloseKey(HKEY hKey);
LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData);
LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData);
LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
// The key must have no subkeys.
LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
// The key and everything below it.
LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);
LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPWSTR lpClass, LPDWORD lpcchClass, FILETIME* lpftLastWriteTime);

namespace orvela {

class TRegistry {
 public:
  // Keeps the registry in <programFolder>/registry/ from now on and loads what is there. Returns "" or the
  // reasons files could not be read (their root keys then refuse changes).
  static std::string Open(const std::filesystem::path& programFolder);
  // Back to an empty registry in memory only.
  static void Close();
  // Reads the files again, dropping what is in memory.
  static std::string Reload();
  static void SetReadOnly(bool readOnly);
  static bool IsReadOnly();
};

// The default value of root\path as text, when it is a string value.
std::optional<std::string> RegistryDefaultText(HKEY root, const std::string& path);

// The in-process component category manager (ICatRegister over the registry stand-in).
HRESULT CreateComponentCategoriesManager(REFIID riid, void** ppv);

}  // namespace orvela
