#include "platform/com/ComVariant.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "platform/DateTime.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComText.h"

namespace {

using Int = __int128;

// Interface pointers, whose references VariantCopy and VariantClear manage.
bool IsInterfaceType(VARTYPE vt) {
  return vt == VT_UNKNOWN || vt == VT_DISPATCH;
}

// Integer types with their ranges and union fields.
struct TIntType {
  VARTYPE vt;
  Int min;
  Int max;
  void (*store)(VARIANT&, Int);
  Int (*load)(const VARIANT&);
};

#define ORVELA_INT_TYPE(code, field, type)                         \
  TIntType {                                                       \
    code, static_cast<Int>(std::numeric_limits<type>::min()),      \
        static_cast<Int>(std::numeric_limits<type>::max()),        \
        [](VARIANT& v, Int x) { v.field = static_cast<type>(x); }, \
        [](const VARIANT& v) -> Int { return v.field; }            \
  }

const TIntType kIntTypes[] = {
    ORVELA_INT_TYPE(VT_I1, cVal, int8_t),     ORVELA_INT_TYPE(VT_I2, iVal, int16_t),
    ORVELA_INT_TYPE(VT_I4, lVal, int32_t),    ORVELA_INT_TYPE(VT_I8, llVal, int64_t),
    ORVELA_INT_TYPE(VT_UI1, bVal, uint8_t),   ORVELA_INT_TYPE(VT_UI2, uiVal, uint16_t),
    ORVELA_INT_TYPE(VT_UI4, ulVal, uint32_t), ORVELA_INT_TYPE(VT_UI8, ullVal, uint64_t),
    ORVELA_INT_TYPE(VT_INT, intVal, int32_t), ORVELA_INT_TYPE(VT_UINT, uintVal, uint32_t),
};
#undef ORVELA_INT_TYPE

const TIntType* FindIntType(VARTYPE vt) {
  for (const auto& t : kIntTypes)
    if (t.vt == vt) return &t;
  return nullptr;
}

bool IsPlainType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_ERROR:
    case VT_BOOL:
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return true;
    default:
      return FindIntType(vt) != nullptr;
  }
}

// Types a VARIANT may hold here: plain ones, and references to them, which the variant does not own.
bool IsValidType(VARTYPE vt) {
  if (vt & VT_BYREF) {
    const VARTYPE base = vt & ~VT_BYREF;
    return base == VT_VARIANT || (IsPlainType(base) && base != VT_EMPTY && base != VT_NULL);
  }
  return IsPlainType(vt);
}

// ---- Conversion through one intermediate value
// -------------------------------------------------------------

struct TValue {
  enum Kind { kEmpty, kInt, kReal, kCy, kBool, kText } kind = kEmpty;
  Int i = 0;      // kInt; kCy (scaled by 10 000); kBool (0 or -1)
  double d = 0;   // kReal
  std::string s;  // kText (UTF-8)
};

constexpr double kDateMin = -657434.0;  // 0100-01-01
constexpr double kDateMax = 2958466.0;  // 10000-01-01, exclusive
constexpr double kCyScale = 10000.0;

std::string Trim(std::string s) {
  const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
  s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
  s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
  return s;
}

// A number written with "." or "," as decimal point; false when the whole text is not one.
bool ParseNumber(std::string text, double& out) {
  text = Trim(std::move(text));
  if (text.find('.') == std::string::npos) std::replace(text.begin(), text.end(), ',', '.');
  if (!text.empty() && text[0] == '+') text.erase(0, 1);
  const char* end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, out);
  return r.ec == std::errc() && r.ptr == end && !text.empty();
}

bool ParseInteger(const std::string& text, Int& out) {
  std::string t = Trim(text);
  if (!t.empty() && t[0] == '+') t.erase(0, 1);
  int64_t v;
  const char* end = t.data() + t.size();
  if (auto r = std::from_chars(t.data(), end, v); r.ec == std::errc() && r.ptr == end && !t.empty()) {
    out = v;
    return true;
  }
  uint64_t u;
  if (auto r = std::from_chars(t.data(), end, u); r.ec == std::errc() && r.ptr == end && !t.empty()) {
    out = u;
    return true;
  }
  return false;
}

bool ReadInts(const std::string& text, size_t& pos, char sep, int count, int* out) {
  for (int k = 0; k < count; ++k) {
    if (k > 0) {
      if (pos >= text.size() || text[pos] != sep) return false;
      ++pos;
    }
    const size_t start = pos;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])) && pos - start < 4) ++pos;
    if (pos == start) return false;
    out[k] = std::stoi(text.substr(start, pos - start));
  }
  return true;
}

// "dd.mm.yyyy", "yyyy-mm-dd", either followed by " hh:mm[:ss]" (or "T" for ISO), or a time alone.
bool ParseDate(const std::string& raw, double& out) {
  const std::string text = Trim(raw);
  size_t pos = 0;
  int d[3] = {0, 0, 0};
  int year = 1899, month = 12, day = 30;
  bool haveDate = false;
  if (ReadInts(text, pos, '.', 3, d)) {
    day = d[0], month = d[1], year = d[2], haveDate = true;
  } else if (pos = 0; ReadInts(text, pos, '-', 3, d)) {
    year = d[0], month = d[1], day = d[2], haveDate = true;
  } else {
    pos = 0;
  }
  if (haveDate && !orvela::IsValidDate(year, month, day)) return false;
  int t[3] = {0, 0, 0};
  if (pos < text.size()) {
    if (haveDate) {
      if (text[pos] != ' ' && text[pos] != 'T') return false;
      ++pos;
    }
    if (!ReadInts(text, pos, ':', 2, t)) return false;
    if (pos < text.size() && !ReadInts(text, ++pos, ':', 1, t + 2)) return false;
    if (pos != text.size() || t[0] > 23 || t[1] > 59 || t[2] > 59) return false;
  } else if (!haveDate) {
    return false;
  }
  out = orvela::EncodeDateTime(year, month, day, t[0], t[1], t[2]);
  return true;
}

std::string FormatDate(double date) {
  const SYSTEMTIME st = orvela::DateTimeToSystemTime(date);
  char buf[48];
  const bool hasTime = st.wHour || st.wMinute || st.wSecond;
  if (std::trunc(date) == 0 && hasTime) {
    std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", st.wHour, st.wMinute, st.wSecond);
  } else if (!hasTime) {
    std::snprintf(buf, sizeof buf, "%02u.%02u.%04u", st.wDay, st.wMonth, st.wYear);
  } else {
    std::snprintf(buf, sizeof buf, "%02u.%02u.%04u %02u:%02u:%02u", st.wDay, st.wMonth, st.wYear, st.wHour,
                  st.wMinute, st.wSecond);
  }
  return buf;
}

std::string FormatInt(Int v) {
  char buf[48];
  char* p = buf + sizeof buf;
  const bool negative = v < 0;
  unsigned __int128 u = negative ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
  do {
    *--p = static_cast<char>('0' + static_cast<int>(u % 10));
    u /= 10;
  } while (u);
  if (negative) *--p = '-';
  return std::string(p, buf + sizeof buf);
}

std::string FormatCy(Int scaled) {
  std::string s = FormatInt(scaled / 10000);
  Int frac = scaled % 10000;
  if (frac == 0) return s;
  if (frac < 0) {
    frac = -frac;
    if (scaled > -10000) s = "-" + s;
  }
  char buf[8];
  std::snprintf(buf, sizeof buf, ".%04d", static_cast<int>(frac));
  std::string f = buf;
  while (f.back() == '0') f.pop_back();
  return s + f;
}

std::string FormatReal(double v, int digits) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*G", digits, v);
  return buf;
}

HRESULT Extract(const VARIANT& v, TValue& out) {
  if (const TIntType* t = FindIntType(v.vt)) {
    out.kind = TValue::kInt;
    out.i = t->load(v);
    return S_OK;
  }
  switch (v.vt) {
    case VT_EMPTY:
      out.kind = TValue::kEmpty;
      return S_OK;
    case VT_R4:
      out.kind = TValue::kReal, out.d = v.fltVal;
      return S_OK;
    case VT_R8:
    case VT_DATE:
      out.kind = TValue::kReal, out.d = v.dblVal;
      return S_OK;
    case VT_CY:
      out.kind = TValue::kCy, out.i = v.cyVal.int64;
      return S_OK;
    case VT_BOOL:
      out.kind = TValue::kBool, out.i = v.boolVal ? -1 : 0;
      return S_OK;
    case VT_BSTR:
      out.kind = TValue::kText, out.s = orvela::BstrToUtf8(v.bstrVal);
      return S_OK;
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// Rounds half to even (the current rounding mode is never changed here) and checks the range.
HRESULT RoundToInt(double d, Int min, Int max, Int& out) {
  if (std::isnan(d)) return DISP_E_OVERFLOW;
  const double r = std::nearbyint(d);
  if (r < static_cast<double>(min) || r >= static_cast<double>(max) + 1.0) return DISP_E_OVERFLOW;
  out = static_cast<Int>(r);
  return (out < min || out > max) ? DISP_E_OVERFLOW : S_OK;
}

// Integer value of the intermediate for an integer target; bool TRUE wraps to all ones in unsigned ones.
HRESULT ToInt(const TValue& v, const TIntType& t, Int& out) {
  switch (v.kind) {
    case TValue::kEmpty:
      out = 0;
      return S_OK;
    case TValue::kBool:
      out = v.i == 0 ? 0 : (t.min == 0 ? t.max : -1);
      return S_OK;
    case TValue::kInt:
      out = v.i;
      return (out < t.min || out > t.max) ? DISP_E_OVERFLOW : S_OK;
    case TValue::kReal:
      return RoundToInt(v.d, t.min, t.max, out);
    case TValue::kCy:
      return RoundToInt(static_cast<double>(v.i) / kCyScale, t.min, t.max, out);
    case TValue::kText: {
      if (ParseInteger(v.s, out)) return (out < t.min || out > t.max) ? DISP_E_OVERFLOW : S_OK;
      double d;
      if (!ParseNumber(v.s, d)) return DISP_E_TYPEMISMATCH;
      return RoundToInt(d, t.min, t.max, out);
    }
  }
  return DISP_E_TYPEMISMATCH;
}

HRESULT ToReal(const TValue& v, double& out) {
  switch (v.kind) {
    case TValue::kEmpty:
      out = 0;
      return S_OK;
    case TValue::kBool:
    case TValue::kInt:
      out = static_cast<double>(v.i);
      return S_OK;
    case TValue::kReal:
      out = v.d;
      return S_OK;
    case TValue::kCy:
      out = static_cast<double>(v.i) / kCyScale;
      return S_OK;
    case TValue::kText:
      return ParseNumber(v.s, out) ? S_OK : DISP_E_TYPEMISMATCH;
  }
  return DISP_E_TYPEMISMATCH;
}

HRESULT ToText(const TValue& v, VARTYPE from, std::string& out) {
  switch (v.kind) {
    case TValue::kEmpty:
      out.clear();
      return S_OK;
    case TValue::kBool:
      out = v.i ? "True" : "False";
      return S_OK;
    case TValue::kInt:
      out = FormatInt(v.i);
      return S_OK;
    case TValue::kCy:
      out = FormatCy(v.i);
      return S_OK;
    case TValue::kReal:
      out = from == VT_DATE ? FormatDate(v.d) : FormatReal(v.d, from == VT_R4 ? 7 : 15);
      return S_OK;
    case TValue::kText:
      out = v.s;
      return S_OK;
  }
  return DISP_E_TYPEMISMATCH;
}

HRESULT ToBool(const TValue& v, bool& out) {
  if (v.kind == TValue::kText) {
    std::string t = Trim(v.s);
    std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return std::tolower(c); });
    if (t == "true" || t == "false") {
      out = t == "true";
      return S_OK;
    }
  }
  double d;
  const HRESULT hr = ToReal(v, d);
  out = d != 0;
  return hr;
}

// Converts src (not EMPTY-target, not same type) into out, which holds nothing that needs freeing.
HRESULT Convert(const VARIANT& src, VARTYPE vt, VARIANT& out) {
  if (src.vt == VT_ERROR || vt == VT_ERROR || src.vt == VT_NULL || vt == VT_NULL) return DISP_E_TYPEMISMATCH;
  TValue v;
  if (HRESULT hr = Extract(src, v); FAILED(hr)) return hr;
  out.vt = vt;
  if (const TIntType* t = FindIntType(vt)) {
    Int x;
    if (HRESULT hr = ToInt(v, *t, x); FAILED(hr)) return hr;
    t->store(out, x);
    return S_OK;
  }
  switch (vt) {
    case VT_R4: {
      double d;
      if (HRESULT hr = ToReal(v, d); FAILED(hr)) return hr;
      if (std::isfinite(d) && std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
      out.fltVal = static_cast<float>(d);
      return S_OK;
    }
    case VT_R8: {
      return ToReal(v, out.dblVal);
    }
    case VT_DATE: {
      double d;
      HRESULT hr = v.kind == TValue::kText ? (ParseDate(v.s, d) ? S_OK : DISP_E_TYPEMISMATCH) : ToReal(v, d);
      if (FAILED(hr)) return hr;
      if (!(d >= kDateMin && d < kDateMax)) return DISP_E_OVERFLOW;
      out.date = d;
      return S_OK;
    }
    case VT_CY: {
      Int x;
      constexpr Int kMin = std::numeric_limits<int64_t>::min(), kMax = std::numeric_limits<int64_t>::max();
      if (v.kind == TValue::kInt || v.kind == TValue::kBool) {
        x = v.i * 10000;
        if (x < kMin || x > kMax) return DISP_E_OVERFLOW;
      } else {
        double d;
        if (HRESULT hr = ToReal(v, d); FAILED(hr)) return hr;
        if (HRESULT hr = RoundToInt(d * kCyScale, kMin, kMax, x); FAILED(hr)) return hr;
      }
      out.cyVal.int64 = static_cast<int64_t>(x);
      return S_OK;
    }
    case VT_BOOL: {
      bool b;
      if (HRESULT hr = ToBool(v, b); FAILED(hr)) return hr;
      out.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    }
    case VT_BSTR: {
      std::string text;
      if (HRESULT hr = ToText(v, src.vt, text); FAILED(hr)) return hr;
      out.bstrVal = orvela::MakeBstr(text);
      return out.bstrVal ? S_OK : E_OUTOFMEMORY;
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

}  // namespace

void VariantInit(VARIANTARG* pvarg) {
  if (!pvarg) return;
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
  pvarg->llVal = 0;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  if (!IsValidType(pvarg->vt)) return DISP_E_BADVARTYPE;
  if (pvarg->vt == VT_BSTR) {
    SysFreeString(pvarg->bstrVal);
  } else if (IsInterfaceType(pvarg->vt) && pvarg->punkVal) {
    pvarg->punkVal->Release();
  }
  VariantInit(pvarg);
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  if (!IsValidType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  if (HRESULT hr = VariantClear(pvargDest); FAILED(hr)) return hr;
  if (pvargSrc->vt == VT_BSTR && pvargSrc->bstrVal) {
    BSTR copy = SysAllocStringByteLen(reinterpret_cast<const char*>(pvargSrc->bstrVal),
                                      SysStringByteLen(pvargSrc->bstrVal));
    if (!copy) return E_OUTOFMEMORY;
    *pvargDest = *pvargSrc;
    pvargDest->bstrVal = copy;
    return S_OK;
  }
  *pvargDest = *pvargSrc;
  if (IsInterfaceType(pvargSrc->vt) && pvargSrc->punkVal) pvargSrc->punkVal->AddRef();
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) {
  (void)wFlags;
  if (!pvargDest || !pvarSrc) return E_INVALIDARG;
  if (!IsValidType(pvarSrc->vt) || !IsPlainType(vt)) return DISP_E_BADVARTYPE;
  if (pvarSrc->vt & VT_BYREF) return DISP_E_TYPEMISMATCH;
  if (pvarSrc->vt == vt) return VariantCopy(pvargDest, pvarSrc);
  VARIANT result;
  VariantInit(&result);
  if (vt != VT_EMPTY) {
    if (IsInterfaceType(pvarSrc->vt) || IsInterfaceType(vt)) return DISP_E_TYPEMISMATCH;
    if (HRESULT hr = Convert(*pvarSrc, vt, result); FAILED(hr)) return hr;
  } else if (pvarSrc->vt == VT_NULL) {
    return DISP_E_TYPEMISMATCH;
  }
  // result is independent of the source, so clearing dest (which may be the source) is safe now.
  if (HRESULT hr = VariantClear(pvargDest); FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *pvargDest = result;
  return S_OK;
}

HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags,
                            VARTYPE vt) {
  (void)lcid;
  return VariantChangeType(pvargDest, pvarSrc, wFlags, vt);
}

namespace orvela {

HRESULT TVariantToVariant(const TVariant& value, VARIANT* dest) {
  if (!dest) return E_POINTER;
  VARIANT v;
  VariantInit(&v);
  v.vt = value.vt;
  if (const TIntType* t = FindIntType(value.vt)) {
    t->store(v, value.i);
  } else {
    switch (value.vt) {
      case VT_EMPTY:
      case VT_NULL:
        break;
      case VT_R4:
        v.fltVal = static_cast<float>(value.d);
        break;
      case VT_R8:
      case VT_DATE:
        v.dblVal = value.d;
        break;
      case VT_CY:
        v.cyVal.int64 = value.i;
        break;
      case VT_BOOL:
        v.boolVal = value.i ? VARIANT_TRUE : VARIANT_FALSE;
        break;
      case VT_ERROR:
        v.scode = static_cast<SCODE>(value.i);
        break;
      case VT_BSTR:
        v.bstrVal = MakeBstr(value.s);
        if (!v.bstrVal) return E_OUTOFMEMORY;
        break;
      default:
        return DISP_E_BADVARTYPE;
    }
  }
  if (HRESULT hr = VariantClear(dest); FAILED(hr)) {
    VariantClear(&v);
    return hr;
  }
  *dest = v;
  return S_OK;
}

HRESULT VariantToTVariant(const VARIANT& value, TVariant& dest) {
  TVariant t;
  t.vt = value.vt;
  if (const TIntType* it = FindIntType(value.vt)) {
    t.i = static_cast<int64_t>(it->load(value));
  } else {
    switch (value.vt) {
      case VT_EMPTY:
      case VT_NULL:
        break;
      case VT_R4:
        t.d = value.fltVal;
        break;
      case VT_R8:
      case VT_DATE:
        t.d = value.dblVal;
        break;
      case VT_CY:
        t.i = value.cyVal.int64;
        break;
      case VT_BOOL:
        t.i = value.boolVal ? 1 : 0;
        break;
      case VT_ERROR:
        t.i = value.scode;
        break;
      case VT_BSTR:
        t.s = BstrToUtf8(value.bstrVal);
        break;
      default:
        return DISP_E_BADVARTYPE;
    }
  }
  dest = std::move(t);
  return S_OK;
}

}  // namespace orvela
