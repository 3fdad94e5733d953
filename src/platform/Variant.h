#pragma once
// A value with a variant type code, as node attributes and driver results carry them. Texts are UTF-8;
// the COM boundary converts to VARIANT/BSTR.
#include <cstdint>
#include <string>

#include "platform/com/WinTypes.h"

namespace orvela {

struct TVariant {
  VARTYPE vt = VT_EMPTY;
  int64_t i = 0;  // integers, booleans (0/1), currency scaled by 10 000
  double d = 0;   // single, double, date
  std::string s;  // string (UTF-8)
  // A string of one-byte (Windows-1251) characters rather than a wide one. Clients see both as VT_BSTR;
  // only the tree file tells them apart, and a value keeps the form it was read in.
  bool oneByte = false;

  static TVariant Empty() { return {}; }
  static TVariant Null() { return {VT_NULL, 0, 0, {}, false}; }
  static TVariant Int(int64_t v, VARTYPE type = VT_I4) { return {type, v, 0, {}, false}; }
  static TVariant Single(float v) { return {VT_R4, 0, v, {}, false}; }
  static TVariant Double(double v) { return {VT_R8, 0, v, {}, false}; }
  static TVariant Date(double v) { return {VT_DATE, 0, v, {}, false}; }
  static TVariant Currency(int64_t scaled) { return {VT_CY, scaled, 0, {}, false}; }
  static TVariant Bool(bool v) { return {VT_BOOL, v ? 1 : 0, 0, {}, false}; }
  // A wide string, as clients hand them over.
  static TVariant Str(std::string v) { return {VT_BSTR, 0, 0, std::move(v), false}; }
  // A one-byte string, as the program's own texts (descriptions, units) are.
  static TVariant OneByteStr(std::string v) { return {VT_BSTR, 0, 0, std::move(v), true}; }

  bool IsInteger() const;
  bool IsArray() const { return (vt & VT_ARRAY) != 0; }
  // Numeric value for display and comparisons; 0 for strings and empties.
  double AsDouble() const;
  // The same value whatever form its string is kept in.
  friend bool operator==(const TVariant& a, const TVariant& b) {
    return a.vt == b.vt && a.i == b.i && a.d == b.d && a.s == b.s;
  }
};

inline bool TVariant::IsInteger() const {
  switch (vt) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

inline double TVariant::AsDouble() const {
  if (IsInteger() || vt == VT_BOOL) return static_cast<double>(i);
  if (vt == VT_CY) return static_cast<double>(i) / 10000.0;
  if (vt == VT_R4 || vt == VT_R8 || vt == VT_DATE) return d;
  return 0;
}

}  // namespace orvela
