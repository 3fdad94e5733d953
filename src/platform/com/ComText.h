#pragma once
// Text at the COM boundary: UTF-8 inside, UTF-16 in BSTRs and wide strings; GUIDs in registry form.
#include <optional>
#include <string>
#include <string_view>

#include "platform/Cp1251.h"  // Utf8ToUtf16, Utf16ToUtf8
#include "platform/com/ComTypes.h"

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" into lpsz (cchMax >= 39); returns the characters written with
// the terminating zero, or 0 when the buffer is too small.
INT StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, INT cchMax);
// The same text in task memory.
HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
HRESULT StringFromIID(REFIID rclsid, LPOLESTR* lplpsz);
// Accepts the braced registry form, or a ProgID registered under HKEY_CLASSES_ROOT (as CLSIDFromProgID).
HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid);

namespace orvela {

std::string WideToUtf8(LPCOLESTR text);  // null gives ""
// A task-memory copy of the text, or nullptr when memory runs out.
LPWSTR TaskMemString(std::string_view utf8);
LPWSTR TaskMemString(std::u16string_view text);
// A BSTR of the text (embedded zeros kept), or nullptr when memory runs out.
BSTR MakeBstr(std::string_view utf8);
std::string BstrToUtf8(BSTR b);

// Upper-case registry form with braces.
std::string GuidToString(REFGUID guid);
// Registry form, braces required; hex digits in either case.
std::optional<GUID> ParseGuid(std::string_view text);

}  // namespace orvela
