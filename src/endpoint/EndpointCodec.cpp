#include "endpoint/EndpointCodec.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "platform/DateTime.h"
#include "platform/com/ComText.h"
#include "tree/TreeItem.h"

namespace orvela::endpoint {
namespace {

constexpr int64_t kUnixEpochMicros = 11'644'473'600'000'000;

// Floats widen to the double of their shortest decimal, so 21.5f is sent as 21.5 and not 21.499999...
double Widen(float value) {
  char text[32];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  if (ec != std::errc()) return value;
  *end = 0;
  return std::strtod(text, nullptr);
}

Json DoubleJson(double value) {
  if (std::isnan(value)) return "#NaN";
  if (std::isinf(value)) return value > 0 ? "#Inf" : "#-Inf";
  return value;
}

Json TextJson(std::string text) {
  if (!text.empty() && text[0] == '#') text.insert(text.begin(), '#');
  return text;
}

}  // namespace

int64_t FileTimeToMicros(const FILETIME& time) {
  const int64_t ticks = FileTimeToInt64(time);
  int64_t micros = ticks / 10;
  if (ticks < 0 && ticks % 10 != 0) --micros;
  return micros - kUnixEpochMicros;
}

FILETIME MicrosToFileTime(int64_t micros) {
  return Int64ToFileTime((micros + kUnixEpochMicros) * 10);
}

Json TimeJson(const FILETIME& time) {
  if (FileTimeToInt64(time) == 0) return nullptr;
  return FileTimeToMicros(time);
}

bool ValueJson(const VARIANT& value, Json& out) {
  out = nullptr;
  switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return true;
    case VT_BOOL:
      out = value.boolVal != VARIANT_FALSE;
      return true;
    case VT_I1:
      out = value.cVal;
      return true;
    case VT_UI1:
      out = value.bVal;
      return true;
    case VT_I2:
      out = value.iVal;
      return true;
    case VT_UI2:
      out = value.uiVal;
      return true;
    case VT_I4:
    case VT_INT:
      out = value.lVal;
      return true;
    case VT_UI4:
    case VT_UINT:
      out = value.ulVal;
      return true;
    case VT_R4:
      out = std::isfinite(value.fltVal) ? Json(Widen(value.fltVal)) : DoubleJson(value.fltVal);
      return true;
    case VT_R8:
      out = DoubleJson(value.dblVal);
      return true;
    case VT_I8:
      out = "#i64:" + std::to_string(value.llVal);
      return true;
    case VT_UI8:
      out = "#u64:" + std::to_string(value.ullVal);
      return true;
    case VT_DATE: {
      const int64_t ms = DateTimeToUnixMs(LocalToUtc(value.date));
      out = "#t:" + std::to_string(ms * 1000);
      return true;
    }
    case VT_BSTR:
      out = TextJson(BstrToUtf8(value.bstrVal));
      return true;
    default:
      return false;
  }
}

const char* TypeName(int32_t vt) {
  static constexpr std::pair<int32_t, const char*> kTypes[] = {
      {VT_I2, "Int16"},     {VT_I4, "Int32"},      {VT_INT, "Int32"},   {VT_R4, "Float"},
      {VT_R8, "Double"},    {VT_DATE, "DateTime"}, {VT_BSTR, "String"}, {kDataTypeString, "String"},
      {VT_BOOL, "Boolean"}, {VT_I1, "SByte"},      {VT_UI1, "Byte"},    {VT_UI2, "UInt16"},
      {VT_UI4, "UInt32"},   {VT_UINT, "UInt32"},   {VT_I8, "Int64"},    {VT_UI8, "UInt64"}};
  for (const auto& [code, name] : kTypes)
    if (code == vt) return name;
  return "BaseDataType";
}

}  // namespace orvela::endpoint
