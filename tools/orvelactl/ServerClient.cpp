#include "orvelactl/ServerClient.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>

#include "platform/DateTime.h"
#include "platform/MainThread.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComRuntime.h"
#include "platform/com/ComText.h"
#include "platform/com/ComVariant.h"

namespace orvela::ctl {
namespace {

// 100-ns ticks from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;
constexpr int64_t kTicksPerMs = 10'000;

// The float's shortest decimal form, so that 21.5f prints as 21.5 and reads back as the same float.
double ShortestDouble(float value) {
  char text[32];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  if (ec != std::errc()) return value;
  *end = 0;
  return std::strtod(text, nullptr);
}

std::string LocalDateText(DATE date) {
  const SYSTEMTIME t = DateTimeToSystemTime(date);
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
                t.wMinute, t.wSecond);
  return text;
}

}  // namespace

std::string HexCode(HRESULT code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(code));
  return text;
}

std::string UtcText(const FILETIME& time) {
  const int64_t ticks = FileTimeToInt64(time) - kUnixEpochTicks;
  int64_t ms = ticks / kTicksPerMs;
  if (ticks < 0 && ticks % kTicksPerMs != 0) --ms;  // floor, for times before 1970
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  int millis = static_cast<int>(ms % 1000);
  if (millis < 0) {
    millis += 1000;
    --seconds;
  }
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
  return text;
}

Json VariantJson(const VARIANT& value) {
  switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return nullptr;
    case VT_R4:
      return ShortestDouble(value.fltVal);
    case VT_R8:
      return value.dblVal;
    case VT_I1:
      return value.cVal;
    case VT_I2:
      return value.iVal;
    case VT_I4:
    case VT_INT:
    case VT_ERROR:
      return value.lVal;
    case VT_I8:
      return value.llVal;
    case VT_UI1:
      return value.bVal;
    case VT_UI2:
      return value.uiVal;
    case VT_UI4:
    case VT_UINT:
      return value.ulVal;
    case VT_UI8:
      return value.ullVal;
    case VT_BOOL:
      return value.boolVal != VARIANT_FALSE;
    case VT_BSTR:
      return BstrToUtf8(value.bstrVal);
    case VT_DATE:
      return LocalDateText(value.date);
    default: {
      TComVariant text;
      if (SUCCEEDED(VariantChangeType(&text, &value, 0, VT_BSTR))) return BstrToUtf8(text.bstrVal);
      return "(type " + std::to_string(value.vt) + ")";
    }
  }
}

std::string VariantText(const VARIANT& value) {
  const Json json = VariantJson(value);
  if (json.is_null()) return "(empty)";
  if (json.is_string()) return json.get<std::string>();
  return json.dump();
}

void Check(HRESULT hr, const std::string& what) {
  if (FAILED(hr)) throw EClientError(what + ": " + HexCode(hr));
}

THostedServer::THostedServer(const std::string& dir, std::chrono::milliseconds timeout) {
  TServerHostOptions options;
  options.startedByComServer = false;  // COM keeps starting OrvelaOPC for the classes
  if (timeout.count() > 0) options.syncReadLimit = timeout;
  host_ = std::make_unique<TServerHost>(dir, options);
  const TStartResult& start = host_->Start();
  for (const EConfigFile& problem : start.Problems) std::cerr << problem.what() << "\n";
  if (!start.Completed()) throw EClientError("the configuration did not load: " + start.FailureMessage);
  if (!host_->Serving()) throw EClientError("the server objects could not be registered");
}

CLSID THostedServer::ClassOf(const char16_t* progId) {
  CLSID clsid{};
  const HRESULT hr = CLSIDFromProgID(progId, &clsid);
  if (FAILED(hr)) {
    std::string why = host_->RegistrationError();
    throw EClientError("ProgID " + Utf16ToUtf8(progId) + " not registered: " + HexCode(hr) +
                       (why.empty() ? "" : " (" + why + ")"));
  }
  return clsid;
}

bool THostedServer::Wait(const std::function<bool()>& done, const std::function<size_t()>& progress,
                         std::chrono::milliseconds limit) {
  while (!done()) {
    const size_t before = progress();
    MainThread::PumpUntil([&] { return done() || progress() != before; }, limit.count());
    if (!done() && progress() == before) return false;
  }
  return true;
}

int RunClient(const std::function<int()>& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
    return kExitServer;
  }
}

CLI::App* AddServerOptions(CLI::App* command, TServerOptions& options) {
  command->add_option("--dir", options.dir, "Program folder")->required();
  command->add_flag("--json", options.json, "JSON for scripts instead of text");
  command->add_option("--timeout", options.timeout, "Longest wait for the devices of a read, in seconds")
      ->check(CLI::Range(0.001, 86400.0));
  return command;
}

}  // namespace orvela::ctl
