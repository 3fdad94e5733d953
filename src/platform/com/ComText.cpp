#include "platform/com/ComText.h"

#include <cstdio>
#include <cstring>

#include "platform/Cp1251.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComRuntime.h"

namespace orvela {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(std::string_view text, size_t pos, size_t digits, uint64_t& out) {
  out = 0;
  for (size_t k = 0; k < digits; ++k) {
    const int v = HexValue(text[pos + k]);
    if (v < 0) return false;
    out = (out << 4) | static_cast<uint64_t>(v);
  }
  return true;
}

}  // namespace

std::string WideToUtf8(LPCOLESTR text) {
  return text ? Utf16ToUtf8(std::u16string_view(text)) : std::string();
}

LPWSTR TaskMemString(std::u16string_view text) {
  auto* out = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
  if (!out) return nullptr;
  std::memcpy(out, text.data(), text.size() * sizeof(OLECHAR));
  out[text.size()] = 0;
  return out;
}

LPWSTR TaskMemString(std::string_view utf8) {
  return TaskMemString(std::u16string_view(Utf8ToUtf16(utf8)));
}

BSTR MakeBstr(std::string_view utf8) {
  const std::u16string wide = Utf8ToUtf16(utf8);
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

std::string BstrToUtf8(BSTR b) {
  return Utf16ToUtf8(std::u16string_view(b, SysStringLen(b)));
}

std::string GuidToString(REFGUID g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return buf;
}

std::optional<GUID> ParseGuid(std::string_view t) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  if (t.size() != 38 || t.front() != '{' || t.back() != '}' || t[9] != '-' || t[14] != '-' || t[19] != '-' ||
      t[24] != '-')
    return std::nullopt;
  GUID g{};
  uint64_t v;
  if (!ParseHex(t, 1, 8, v)) return std::nullopt;
  g.Data1 = static_cast<DWORD>(v);
  if (!ParseHex(t, 10, 4, v)) return std::nullopt;
  g.Data2 = static_cast<WORD>(v);
  if (!ParseHex(t, 15, 4, v)) return std::nullopt;
  g.Data3 = static_cast<WORD>(v);
  static constexpr size_t kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int k = 0; k < 8; ++k) {
    if (!ParseHex(t, kBytePos[k], 2, v)) return std::nullopt;
    g.Data4[k] = static_cast<BYTE>(v);
  }
  return g;
}

}  // namespace orvela

INT StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, INT cchMax) {
  const std::string text = orvela::GuidToString(rguid);
  if (!lpsz || cchMax < static_cast<INT>(text.size() + 1)) return 0;
  for (size_t i = 0; i < text.size(); ++i) lpsz[i] = static_cast<OLECHAR>(text[i]);
  lpsz[text.size()] = 0;
  return static_cast<INT>(text.size() + 1);
}

HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
  if (!lplpsz) return E_INVALIDARG;
  *lplpsz = orvela::TaskMemString(orvela::GuidToString(rclsid));
  return *lplpsz ? S_OK : E_OUTOFMEMORY;
}

HRESULT StringFromIID(REFIID rclsid, LPOLESTR* lplpsz) {
  return StringFromCLSID(rclsid, lplpsz);
}

HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid) {
  if (!lpiid) return E_INVALIDARG;
  const auto g = orvela::ParseGuid(orvela::WideToUtf8(lpsz));
  if (!g) return CO_E_CLASSSTRING;
  *lpiid = *g;
  return S_OK;
}

HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (!pclsid) return E_INVALIDARG;
  if (lpsz && lpsz[0] != u'{') return CLSIDFromProgID(lpsz, pclsid);
  return IIDFromString(lpsz, pclsid);
}
