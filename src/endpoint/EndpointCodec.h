#pragma once
// How the endpoint writes OPC values, times and data types into its JSON lines: times as microseconds
// since 1970 UTC, values that JSON cannot carry exactly as tagged strings.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/com/ComRuntime.h"

namespace orvela::endpoint {

using Json = nlohmann::json;

constexpr HRESULT kBadType = static_cast<HRESULT>(0xC0040004);

// floor(ft / 10) minus the microseconds from 1601 to 1970.
int64_t FileTimeToMicros(const FILETIME& time);
FILETIME MicrosToFileTime(int64_t micros);
// A zero (unknown) file time is null.
Json TimeJson(const FILETIME& time);
// The value as the wire carries it; false (and null) for a type that cannot be sent.
bool ValueJson(const VARIANT& value, Json& out);
// The UA built-in type name of a node's VARTYPE.
const char* TypeName(int32_t vt);

}  // namespace orvela::endpoint
