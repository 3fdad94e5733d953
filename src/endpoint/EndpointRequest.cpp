#include "endpoint/EndpointRequest.h"

#include "platform/Clock.h"
#include "platform/DateTime.h"

namespace orvela::endpoint {

std::string Line(const Json& message) {
  return message.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

Json ErrorReply(const Json& id, HRESULT hr, const std::string& text) {
  return Json{{"id", id}, {"ok", false}, {"hr", static_cast<uint32_t>(hr)}, {"error", text}};
}

Json OkReply(int64_t id, Json reply) {
  reply["id"] = id;
  reply["ok"] = true;
  return reply;
}

int64_t NowMicros() {
  return FileTimeToMicros(UtcDateTimeToFileTime(SystemClock().NowUtc()));
}

const Json* Optional(const Json& request, const char* key) {
  auto it = request.find(key);
  return it == request.end() ? nullptr : &*it;
}

int64_t Integer(const Json& request, const char* key, int64_t low, int64_t high, std::optional<int64_t> fallback) {
  const Json* value = Optional(request, key);
  if (!value) {
    if (fallback) return *fallback;
    throw ERequest{kInvalidArg, std::string("missing ") + key};
  }
  int64_t n = 0;
  if (value->is_number_unsigned()) {
    const uint64_t u = value->get<uint64_t>();
    if (u > static_cast<uint64_t>(high)) throw ERequest{kInvalidArg, std::string(key) + " out of range"};
    n = static_cast<int64_t>(u);
  } else if (value->is_number_integer()) {
    n = value->get<int64_t>();
  } else {
    throw ERequest{kInvalidArg, std::string(key) + " is not an integer"};
  }
  if (n < low || n > high) throw ERequest{kInvalidArg, std::string(key) + " out of range"};
  return n;
}

bool Bool(const Json& request, const char* key) {
  const Json* value = Optional(request, key);
  if (!value) return false;
  if (!value->is_boolean()) throw ERequest{kInvalidArg, std::string(key) + " is not a bool"};
  return value->get<bool>();
}

std::vector<std::string> Strings(const Json& request, const char* key, size_t low, size_t high, bool required) {
  const Json* value = Optional(request, key);
  if (!value) {
    if (required) throw ERequest{kInvalidArg, std::string("missing ") + key};
    return {};
  }
  if (!value->is_array() || value->size() < low || value->size() > high)
    throw ERequest{kInvalidArg, std::string(key) + " is not an array of " + std::to_string(low) + " to " +
                                    std::to_string(high) + " strings"};
  std::vector<std::string> out;
  for (const Json& item : *value) {
    if (!item.is_string()) throw ERequest{kInvalidArg, std::string(key) + " holds a non-string"};
    out.push_back(item.get<std::string>());
  }
  return out;
}

Json ItemJson(const VARIANT& value, const FILETIME& time, WORD quality, HRESULT hr) {
  Json v;
  if (SUCCEEDED(hr) && !ValueJson(value, v)) hr = kBadType;
  return Json{{"v", SUCCEEDED(hr) ? v : Json(nullptr)},
              {"t", TimeJson(time)},
              {"q", quality},
              {"hr", static_cast<uint32_t>(hr)}};
}

Json FailedItem(HRESULT hr) {
  return Json{{"v", nullptr}, {"t", nullptr}, {"q", 0}, {"hr", static_cast<uint32_t>(hr)}};
}

}  // namespace orvela::endpoint
