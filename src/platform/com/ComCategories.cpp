// The component category manager: categories and the categories classes implement or require, written
// where category browsers look for them under HKEY_CLASSES_ROOT.
#include <cstdio>

#include "platform/com/ComObject.h"
#include "platform/com/ComText.h"
#include "platform/com/Registry.h"

namespace orvela {
namespace {

// A larger count is a caller's mistake, not a request to honour.
constexpr ULONG kMaxCount = 4096;

HRESULT FromStatus(LSTATUS st) {
  return st == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(st));
}

HRESULT CreateKey(const std::string& path, HKEY& key) {
  return FromStatus(RegCreateKeyExW(HKEY_CLASSES_ROOT, Utf8ToUtf16(path).c_str(), 0, nullptr,
                                    REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr));
}

HRESULT SetText(HKEY key, const std::string& name, std::u16string_view text) {
  std::u16string data(text);
  data.push_back(0);
  return FromStatus(RegSetValueExW(key, Utf8ToUtf16(name).c_str(), 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(data.data()),
                                   static_cast<DWORD>(data.size() * sizeof(char16_t))));
}

HRESULT DeleteTree(const std::string& path) {
  const LSTATUS st = RegDeleteTreeW(HKEY_CLASSES_ROOT, Utf8ToUtf16(path).c_str());
  return st == ERROR_FILE_NOT_FOUND ? S_OK : FromStatus(st);
}

class TCatRegister final : public TComObject<ICatRegister> {
 public:
  HRESULT STDMETHODCALLTYPE RegisterCategories(ULONG cCategories, CATEGORYINFO rgCategoryInfo[]) override {
    if (cCategories > kMaxCount) return E_INVALIDARG;
    if (cCategories && !rgCategoryInfo) return E_POINTER;
    for (ULONG i = 0; i < cCategories; ++i) {
      const CATEGORYINFO& info = rgCategoryInfo[i];
      size_t len = 0;
      while (len < 127 && info.szDescription[len]) ++len;
      char lcid[16];
      std::snprintf(lcid, sizeof lcid, "%x", info.lcid);
      HKEY key;
      if (HRESULT hr = CreateKey("Component Categories\\" + GuidToString(info.catid), key); FAILED(hr))
        return hr;
      const HRESULT hr = SetText(key, lcid, std::u16string_view(info.szDescription, len));
      RegCloseKey(key);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UnRegisterCategories(ULONG cCategories, CATID rgcatid[]) override {
    return ForEach(cCategories, rgcatid,
                   [](const CATID& c) { return DeleteTree("Component Categories\\" + GuidToString(c)); });
  }
  HRESULT STDMETHODCALLTYPE RegisterClassImplCategories(REFCLSID rclsid, ULONG cCategories,
                                                        CATID rgcatid[]) override {
    return AddClassCategories(rclsid, "Implemented Categories", cCategories, rgcatid);
  }
  HRESULT STDMETHODCALLTYPE UnRegisterClassImplCategories(REFCLSID rclsid, ULONG cCategories,
                                                          CATID rgcatid[]) override {
    return RemoveClassCategories(rclsid, "Implemented Categories", cCategories, rgcatid);
  }
  HRESULT STDMETHODCALLTYPE RegisterClassReqCategories(REFCLSID rclsid, ULONG cCategories,
                                                       CATID rgcatid[]) override {
    return AddClassCategories(rclsid, "Required Categories", cCategories, rgcatid);
  }
  HRESULT STDMETHODCALLTYPE UnRegisterClassReqCategories(REFCLSID rclsid, ULONG cCategories,
                                                         CATID rgcatid[]) override {
    return RemoveClassCategories(rclsid, "Required Categories", cCategories, rgcatid);
  }

 private:
  template <class Fn>
  static HRESULT ForEach(ULONG count, const CATID* ids, Fn fn) {
    if (count > kMaxCount) return E_INVALIDARG;
    if (count && !ids) return E_POINTER;
    for (ULONG i = 0; i < count; ++i)
      if (HRESULT hr = fn(ids[i]); FAILED(hr)) return hr;
    return S_OK;
  }
  static std::string ClassKey(REFCLSID clsid, const char* kind) {
    return "CLSID\\" + GuidToString(clsid) + "\\" + kind + "\\";
  }
  static HRESULT AddClassCategories(REFCLSID clsid, const char* kind, ULONG count, const CATID* ids) {
    return ForEach(count, ids, [&](const CATID& c) {
      HKEY key;
      HRESULT hr = CreateKey(ClassKey(clsid, kind) + GuidToString(c), key);
      if (SUCCEEDED(hr)) RegCloseKey(key);
      return hr;
    });
  }
  static HRESULT RemoveClassCategories(REFCLSID clsid, const char* kind, ULONG count, const CATID* ids) {
    return ForEach(count, ids,
                   [&](const CATID& c) { return DeleteTree(ClassKey(clsid, kind) + GuidToString(c)); });
  }
};

}  // namespace

HRESULT CreateComponentCategoriesManager(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  return QueryOut(Make<TCatRegister>(), riid, ppv);
}

}  // namespace orvela
