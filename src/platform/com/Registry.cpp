#include "platform/com/Registry.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

#include "platform/FileUtil.h"
#include "platform/com/ComObject.h"
#include "platform/com/ComText.h"

struct HKEY__ {
  int hive;
  std::vector<std::string> path;  // folded names
  REGSAM access;
};

namespace orvela {
namespace {

using TJson = nlohmann::ordered_json;

constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;
constexpr size_t kMaxValueData = 1 << 20;
constexpr size_t kMaxDepth = 512;
constexpr size_t kMaxFileSize = 64u << 20;
constexpr REGSAM kWriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

std::string Fold(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

struct TRegValue {
  std::string name;
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

struct TKeyNode {
  std::string name;
  std::map<std::string, TKeyNode> keys;     // by folded name
  std::map<std::string, TRegValue> values;  // by folded name
};

struct THive {
  const char* fileName;
  TKeyNode root;
  std::string loadError;  // non-empty: the file is damaged, changes are refused
};

struct TStore {
  std::mutex mutex;
  THive hives[4] = {{"HKEY_CLASSES_ROOT", {}, {}},
                    {"HKEY_CURRENT_USER", {}, {}},
                    {"HKEY_LOCAL_MACHINE", {}, {}},
                    {"HKEY_USERS", {}, {}}};
  std::optional<std::filesystem::path> folder;
  bool readOnly = false;
  std::set<HKEY> handles;
};

TStore& Store() {
  static TStore* store = new TStore;
  return *store;
}

// ---- Files
// -------------------------------------------------------------------------------------------------

bool IsPlainText(const TRegValue& v, std::string& text) {
  if ((v.type != REG_SZ && v.type != REG_EXPAND_SZ) || v.data.size() < 2 || v.data.size() % 2) return false;
  std::u16string wide(v.data.size() / 2, u'\0');
  std::memcpy(wide.data(), v.data.data(), v.data.size());
  if (wide.back() != 0) return false;
  wide.pop_back();
  if (wide.find(u'\0') != std::u16string::npos) return false;
  text = Utf16ToUtf8(wide);
  return Utf8ToUtf16(text) == wide;
}

std::string ToHex(const std::vector<uint8_t>& data) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : data) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

bool FromHex(const std::string& text, std::vector<uint8_t>& out) {
  if (text.size() % 2) return false;
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return true;
}

TJson KeyToJson(const TKeyNode& key) {
  TJson j;
  j["name"] = key.name;
  TJson values = TJson::array();
  for (auto& [folded, v] : key.values) {
    TJson jv;
    jv["name"] = v.name;
    jv["type"] = v.type;
    std::string text;
    if (IsPlainText(v, text)) {
      jv["text"] = text;
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
      uint32_t d;
      std::memcpy(&d, v.data.data(), 4);
      jv["dword"] = d;
    } else {
      jv["hex"] = ToHex(v.data);
    }
    values.push_back(std::move(jv));
  }
  j["values"] = std::move(values);
  TJson keys = TJson::array();
  for (auto& [folded, k] : key.keys) keys.push_back(KeyToJson(k));
  j["keys"] = std::move(keys);
  return j;
}

bool ValidName(const std::string& name, size_t max, bool isKey) {
  return name.size() <= max && (!isKey || (!name.empty() && name.find('\\') == std::string::npos));
}

// Reads one key; throws std::runtime_error with the reason for anything out of shape.
TKeyNode KeyFromJson(const TJson& j, size_t depth, bool isRoot) {
  if (depth > kMaxDepth) throw std::runtime_error("keys nested too deep");
  if (!j.is_object() || !j.contains("name") || !j["name"].is_string())
    throw std::runtime_error("a key without a name");
  TKeyNode key;
  key.name = j["name"].get<std::string>();
  if (!isRoot && !ValidName(key.name, kMaxKeyName, true)) throw std::runtime_error("bad key name");
  for (const auto& jv : j.value("values", TJson::array())) {
    if (!jv.is_object() || !jv.contains("name") || !jv["name"].is_string() || !jv.contains("type") ||
        !jv["type"].is_number_unsigned())
      throw std::runtime_error("a value without a name or type in key " + key.name);
    TRegValue v;
    v.name = jv["name"].get<std::string>();
    v.type = jv["type"].get<DWORD>();
    if (!ValidName(v.name, kMaxValueName, false))
      throw std::runtime_error("bad value name in key " + key.name);
    if (jv.contains("text") && jv["text"].is_string()) {
      std::u16string wide = Utf8ToUtf16(jv["text"].get<std::string>());
      wide.push_back(0);
      v.data.resize(wide.size() * 2);
      std::memcpy(v.data.data(), wide.data(), v.data.size());
    } else if (jv.contains("dword") && jv["dword"].is_number_unsigned()) {
      const uint32_t d = jv["dword"].get<uint32_t>();
      v.data.resize(4);
      std::memcpy(v.data.data(), &d, 4);
    } else if (!jv.contains("hex") || !jv["hex"].is_string() ||
               !FromHex(jv["hex"].get<std::string>(), v.data)) {
      throw std::runtime_error("value " + v.name + " has no readable data");
    }
    if (v.data.size() > kMaxValueData) throw std::runtime_error("value " + v.name + " too large");
    key.values[Fold(v.name)] = std::move(v);
  }
  for (const auto& jk : j.value("keys", TJson::array())) {
    TKeyNode sub = KeyFromJson(jk, depth + 1, false);
    const std::string folded = Fold(sub.name);
    key.keys[folded] = std::move(sub);
  }
  return key;
}

std::filesystem::path HivePath(const TStore& s, const THive& h) {
  return *s.folder / "registry" / (std::string(h.fileName) + ".json");
}

std::string LoadHive(TStore& s, THive& h) {
  h.root = TKeyNode{};
  h.loadError.clear();
  const auto path = HivePath(s, h);
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return {};
  const auto bytes = ReadWholeFile(path);
  try {
    if (!bytes) throw std::runtime_error("cannot be read");
    if (bytes->size() > kMaxFileSize) throw std::runtime_error("too large");
    const TJson j = TJson::parse(bytes->begin(), bytes->end());
    if (!j.is_object() || !j.contains("root")) throw std::runtime_error("no root key");
    h.root = KeyFromJson(j["root"], 0, true);
  } catch (const std::exception& e) {
    h.root = TKeyNode{};
    h.loadError = path.string() + ": " + e.what();
  }
  return h.loadError;
}

std::string SaveHive(const TStore& s, const THive& h) {
  if (!s.folder) return {};
  TJson j;
  j["format"] = "OrvelaOPC registry 1";
  j["root"] = KeyToJson(h.root);
  const std::string text = j.dump(1) + "\n";
  std::error_code ec;
  std::filesystem::create_directories(HivePath(s, h).parent_path(), ec);
  return WriteFileAtomic(HivePath(s, h),
                         std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

// ---- Keys and handles
// --------------------------------------------------------------------------------------

int HiveIndex(HKEY key) {
  const auto v = reinterpret_cast<uintptr_t>(key);
  return v >= 0x80000000 && v <= 0x80000003 ? static_cast<int>(v - 0x80000000) : -1;
}

struct TResolved {
  LSTATUS status = ERROR_SUCCESS;
  int hive = -1;
  std::vector<std::string> path;
  REGSAM access = 0;
};

// The hive and path a handle names.
TResolved ResolveHandle(TStore& s, HKEY key) {
  TResolved r;
  if (int hive = HiveIndex(key); hive >= 0) {
    r.hive = hive;
    r.access = KEY_ALL_ACCESS;
    return r;
  }
  if (!key || !s.handles.count(key)) {
    r.status = ERROR_INVALID_HANDLE;
    return r;
  }
  r.hive = key->hive;
  r.path = key->path;
  r.access = key->access;
  return r;
}

// Splits "A\B\C" into folded segments (original spellings in names); false for a malformed path.
bool SplitPath(LPCWSTR subKey, std::vector<std::string>& folded, std::vector<std::string>& names) {
  if (!subKey) return true;
  std::string text = WideToUtf8(subKey);
  if (!text.empty() && text.back() == '\\') text.pop_back();
  if (text.empty()) return true;
  if (text.front() == '\\') return false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\\', start);
    if (end == std::string::npos) end = text.size();
    std::string seg = text.substr(start, end - start);
    if (!ValidName(seg, kMaxKeyName, true)) return false;
    names.push_back(seg);
    folded.push_back(Fold(seg));
    start = end + 1;
  }
  return folded.size() <= kMaxDepth;
}

TKeyNode* Walk(TKeyNode& root, const std::vector<std::string>& path) {
  TKeyNode* node = &root;
  for (auto& seg : path) {
    auto it = node->keys.find(seg);
    if (it == node->keys.end()) return nullptr;
    node = &it->second;
  }
  return node;
}

HKEY NewHandle(TStore& s, int hive, std::vector<std::string> path, REGSAM access) {
  auto* h = new HKEY__{hive, std::move(path), access};
  s.handles.insert(h);
  return h;
}

// Applies change to a hive and saves it; a change that cannot be saved is undone.
template <class Change>
LSTATUS Modify(TStore& s, int hive, Change change) {
  THive& h = s.hives[hive];
  if (s.readOnly) return ERROR_ACCESS_DENIED;
  if (!h.loadError.empty()) return ERROR_BADDB;
  TKeyNode before = h.root;
  if (LSTATUS st = change(h.root); st != ERROR_SUCCESS) {
    h.root = std::move(before);
    return st;
  }
  if (!SaveHive(s, h).empty()) {
    h.root = std::move(before);
    return ERROR_WRITE_FAULT;
  }
  return ERROR_SUCCESS;
}

std::string ValueKey(LPCWSTR name) {
  return Fold(WideToUtf8(name));
}

}  // namespace

std::string TRegistry::Open(const std::filesystem::path& programFolder) {
  TStore& s = Store();
  std::lock_guard lock(s.mutex);
  s.folder = programFolder;
  std::string errors;
  for (auto& h : s.hives) {
    if (std::string e = LoadHive(s, h); !e.empty()) errors += (errors.empty() ? "" : "; ") + e;
  }
  return errors;
}

void TRegistry::Close() {
  TStore& s = Store();
  std::lock_guard lock(s.mutex);
  s.folder.reset();
  for (auto& h : s.hives) h.root = TKeyNode{}, h.loadError.clear();
}

std::string TRegistry::Reload() {
  TStore& s = Store();
  std::lock_guard lock(s.mutex);
  if (!s.folder) return {};
  std::string errors;
  for (auto& h : s.hives) {
    if (std::string e = LoadHive(s, h); !e.empty()) errors += (errors.empty() ? "" : "; ") + e;
  }
  return errors;
}

void TRegistry::SetReadOnly(bool readOnly) {
  TStore& s = Store();
  std::lock_guard lock(s.mutex);
  s.readOnly = readOnly;
}

bool TRegistry::IsReadOnly() {
  TStore& s = Store();
  std::lock_guard lock(s.mutex);
  return s.readOnly;
}

std::optional<std::string> RegistryDefaultText(HKEY root, const std::string& path) {
  HKEY key;
  if (RegOpenKeyExW(root, Utf8ToUtf16(path).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
  std::optional<std::string> out;
  TStore& s = Store();
  {
    std::lock_guard lock(s.mutex);
    const TResolved r = ResolveHandle(s, key);
    if (TKeyNode* node = r.status == ERROR_SUCCESS ? Walk(s.hives[r.hive].root, r.path) : nullptr) {
      std::string text;
      if (auto it = node->values.find(""); it != node->values.end() && IsPlainText(it->second, text))
        out = text;
    }
  }
  RegCloseKey(key);
  return out;
}

}  // namespace orvela

using namespace orvela;

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired, void*,
                        PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  TStore& s = Store();
  std::lock_guard lock(s.mutex);
  TResolved r = ResolveHandle(s, hKey);
  if (r.status != ERROR_SUCCESS) return r.status;
  std::vector<std::string> folded, names;
  if (!SplitPath(lpSubKey, folded, names)) return ERROR_INVALID_PARAMETER;
  TKeyNode* parent = Walk(s.hives[r.hive].root, r.path);
  if (!parent) return ERROR_KEY_DELETED;
  if (s.readOnly && (samDesired & kWriteAccess)) return ERROR_ACCESS_DENIED;
  const bool exists = Walk(*parent, folded) != nullptr;
  if (!exists) {
    if (!(r.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    LSTATUS st = Modify(s, r.hive, [&](TKeyNode& root) {
      TKeyNode* node = Walk(root, r.path);
      for (size_t i = 0; i < folded.size(); ++i) {
        TKeyNode& next = node->keys[folded[i]];
        if (next.name.empty()) next.name = names[i];
        node = &next;
      }
      return LSTATUS{ERROR_SUCCESS};
    });
    if (st != ERROR_SUCCESS) return st;
  }
  std::vector<std::string> full = r.path;
  full.insert(full.end(), folded.begin(), folded.end());
  *phkResult = NewHandle(s, r.hive, std::move(full), samDesired);
  if (lpdwDisposition) *lpdwDisposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  return ERROR_SUCCESS;
}

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  TStore& s = Store();
  std::lock_guard lock(s.mutex);
  TResolved r = ResolveHandle(s, hKey);
  if (r.status != ERROR_SUCCESS) return r.status;
  std::vector<std::string> folded, names;
  if (!SplitPath(lpSubKey, folded, names)) return ERROR_INVALID_PARAMETER;
  TKeyNode* parent = Walk(s.hives[r.hive].root, r.path);
  if (!parent) return ERROR_KEY_DELETED;
  if (!Walk(*parent, folded)) return ERROR_FILE_NOT_FOUND;
  if (s.readOnly && (samDesired & kWriteAccess)) return ERROR_ACCESS_DENIED;
  std::vector<std::string> full = r.path;
  full.insert(full.end(), folded.begin(), folded.end());
  *phkResult = NewHandle(s, r.hive, std::move(full), samDesired);
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey) {
  if (HiveIndex(hKey) >= 0) return ERROR_SUCCESS;
  TStore& s = Store();
  std::lock_guard lock(s.mutex);
  if (!s.handles.erase(hKey)) return ERROR_INVALID_HANDLE;
  delete hKey;
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
  if ((!lpData && cbData) || cbData > kMaxValueData) return ERROR_INVALID_PARAMETER;
  const std::string name = WideToUtf8(lpValueName);
  if (!ValidName(name, kMaxValueName, false)) return ERROR_INVALID_PARAMETER;
  TStore& s = Store();
  std::lock_guard lock(s.mutex);
  TResolved r = ResolveHandle(s, hKey);
  if (r.status != ERROR_SUCCESS) return r.status;
  if (!(r.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return Modify(s, r.hive, [&](TKeyNode& root) {
    TKeyNode* node = Walk(root, r.path);
    if (!node) return LSTATUS{ERROR_KEY_DELETED};
    node->values[Fold(name)] = TRegValue{name, dwType, std::vector<uint8_t>(lpData, lpData + cbData)};
    return LSTATUS{ERROR_SUCCESS};
  });
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  TStore& s = Store();
  std::lock_guard lock(s.mutex);
  TResolved r = ResolveHandle(s, hKey);
  if (r.status != ERROR_SUCCESS) return r.status;
  TKeyNode* node = Walk(s.hives[r.hive].root, r.path);
  if (!node) return ERROR_KEY_DELETED;
  auto it = node->values.find(ValueKey(lpValueName));
  if (it == node->values.end()) return ERROR_FILE_NOT_FOUND;
  const TRegValue& v = it->second;
  if (lpType) *lpType = v.type;
  if (!lpcbData) return ERROR_SUCCESS;
  const DWORD size = static_cast<DWORD>(v.data.size());
  if (lpData && *lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (lpData && size) std::memcpy(lpData, v.data.data(), size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  TStore& s = Store();
  std::lock_guard lock(s.mutex);
  TResolved r = ResolveHandle(s, hKey);
  if (r.status != ERROR_SUCCESS) return r.status;
  if (!(r.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  const std::string name = ValueKey(lpValueName);
  return Modify(s, r.hive, [&](TKeyNode& root) {
    TKeyNode* node = Walk(root, r.path);
    if (!node) return LSTATUS{ERROR_KEY_DELETED};
    return node->values.erase(name) ? LSTATUS{ERROR_SUCCESS} : LSTATUS{ERROR_FILE_NOT_FOUND};
  });
}

namespace {

LSTATUS DeleteKey(HKEY hKey, LPCWSTR lpSubKey, bool tree) {
  TStore& s = Store();
  std::lock_guard lock(s.mutex);
  TResolved r = ResolveHandle(s, hKey);
  if (r.status != ERROR_SUCCESS) return r.status;
  std::vector<std::string> folded, names;
  if (!SplitPath(lpSubKey, folded, names)) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> full = r.path;
  full.insert(full.end(), folded.begin(), folded.end());
  if (full.empty()) return ERROR_ACCESS_DENIED;  // a root key cannot go
  return Modify(s, r.hive, [&](TKeyNode& root) {
    TKeyNode* parent = Walk(root, std::vector<std::string>(full.begin(), full.end() - 1));
    auto it = parent ? parent->keys.find(full.back()) : decltype(parent->keys.end()){};
    if (!parent || it == parent->keys.end()) return LSTATUS{ERROR_FILE_NOT_FOUND};
    if (!tree && !it->second.keys.empty()) return LSTATUS{ERROR_ACCESS_DENIED};
    parent->keys.erase(it);
    return LSTATUS{ERROR_SUCCESS};
  });
}

}  // namespace

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  return DeleteKey(hKey, lpSubKey, false);
}

LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  return DeleteKey(hKey, lpSubKey, true);
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR lpClass,
                      LPDWORD lpcchClass, FILETIME* lpftLastWriteTime) {
  if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
  TStore& s = Store();
  std::lock_guard lock(s.mutex);
  TResolved r = ResolveHandle(s, hKey);
  if (r.status != ERROR_SUCCESS) return r.status;
  TKeyNode* node = Walk(s.hives[r.hive].root, r.path);
  if (!node) return ERROR_KEY_DELETED;
  if (dwIndex >= node->keys.size()) return ERROR_NO_MORE_ITEMS;
  auto it = std::next(node->keys.begin(), dwIndex);
  const std::u16string name = Utf8ToUtf16(it->second.name);
  if (*lpcchName <= name.size()) return ERROR_MORE_DATA;
  std::memcpy(lpName, name.data(), name.size() * sizeof(char16_t));
  lpName[name.size()] = 0;
  *lpcchName = static_cast<DWORD>(name.size());
  if (lpClass && lpcchClass && *lpcchClass) lpClass[0] = 0;
  if (lpcchClass) *lpcchClass = 0;
  if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{};
  return ERROR_SUCCESS;
}
