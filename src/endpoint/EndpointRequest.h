#pragma once
// What every request handler of the endpoint shares: its limits, the HRESULTs it answers with, how a
// message becomes a line, and the readers of a request's arguments.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "endpoint/EndpointCodec.h"

namespace orvela::endpoint {

constexpr size_t kMaxLine = 4'194'304;
// Connections that said hello as anything but the gateway; one more slot is kept for the gateway.
constexpr size_t kMaxConnections = 8;
constexpr size_t kReservedSlots = 1;
constexpr size_t kMaxRequests = 64;
constexpr size_t kMaxItems = 10'000;
constexpr size_t kMaxSubs = 256;
constexpr size_t kMaxSubItems = 100'000;
constexpr int64_t kMaxHist = 1'000'000;
constexpr size_t kPartSize = 1000;
constexpr size_t kMaxOutbox = 64 * kMaxLine;
// A connection with this much queued is not read from until it has taken some of it.
constexpr size_t kReadPause = kMaxLine / 4;
// In the clock's milliseconds: how long a connection may stay without hello, and how long its paused
// outbox may stay without moving, before it is cut.
constexpr int64_t kHelloTimeoutMs = 30'000;
constexpr int64_t kStallTimeoutMs = 30'000;
constexpr int64_t kMaxId = 9'007'199'254'740'991;
constexpr int64_t kMaxTime = 9'007'199'254'740'991;
constexpr DWORD kRateFloor = 2000;
// How long one read waits for its devices, in the clock's milliseconds.
constexpr int64_t kReadDeadlineMs = 60'000;

constexpr HRESULT kInvalidData = static_cast<HRESULT>(0x8007000D);
constexpr HRESULT kBadLength = static_cast<HRESULT>(0x80070018);
constexpr HRESULT kInvalidArg = static_cast<HRESULT>(0x80070057);
constexpr HRESULT kNotImpl = static_cast<HRESULT>(0x80004001);
constexpr HRESULT kUnexpected = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT kNotSupported = static_cast<HRESULT>(0x80070032);
constexpr HRESULT kBusy = static_cast<HRESULT>(0x800700AA);
constexpr HRESULT kAbort = static_cast<HRESULT>(0x80004004);
constexpr HRESULT kDisconnected = static_cast<HRESULT>(0x80010108);
constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005);
constexpr HRESULT kTimeout = static_cast<HRESULT>(0x800705B4);
constexpr HRESULT kInvalidHandle = static_cast<HRESULT>(0xC0040001);
constexpr HRESULT kBadRights = static_cast<HRESULT>(0xC0040006);
constexpr HRESULT kUnknownItem = static_cast<HRESULT>(0xC0040007);

std::string Line(const Json& message);
Json ErrorReply(const Json& id, HRESULT hr, const std::string& text);
// The final reply of a request that succeeded.
Json OkReply(int64_t id, Json reply);

// A failure of one request, turned into its error reply.
struct ERequest {
  HRESULT hr;
  std::string text;
};

int64_t NowMicros();

// Argument readers: a key of the wrong type or range is the request's error, naming the key.
const Json* Optional(const Json& request, const char* key);
int64_t Integer(const Json& request, const char* key, int64_t low, int64_t high, std::optional<int64_t> fallback);
bool Bool(const Json& request, const char* key);
std::vector<std::string> Strings(const Json& request, const char* key, size_t low, size_t high, bool required);

// One read or data-change item as the wire carries it: a value that cannot be sent fails the item.
Json ItemJson(const VARIANT& value, const FILETIME& time, WORD quality, HRESULT hr);
// An item that was not read: no value, no time, bad quality.
Json FailedItem(HRESULT hr);

}  // namespace orvela::endpoint
