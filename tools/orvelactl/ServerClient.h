#pragma once
// What the da and hda commands share: hosting the server in this process on the folder given, reaching it
// only as a client does (CoCreateInstance of the ProgID, the OPC interfaces), and printing values, times
// and error codes the same way.
#include <CLI/CLI.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "com/ServerHost.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComObject.h"
#include "platform/com/ComRuntime.h"
#include "platform/com/ComTaskMem.h"
#include "platform/com/ComText.h"

namespace orvela::ctl {

using Json = nlohmann::ordered_json;

// Exit codes of the server commands.
constexpr int kExitGood = 0;    // every item was read, with good quality
constexpr int kExitItems = 1;   // some item was refused, failed or came back not good
constexpr int kExitServer = 2;  // the server could not be started, created or asked

// A failure of the whole command (not of one item).
class EClientError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "0x%08X".
std::string HexCode(HRESULT code);
// "YYYY-MM-DDTHH:MM:SS.mmmZ" of a UTC file time.
std::string UtcText(const FILETIME& time);
// A number, a string, a bool or null; a date as its UTC text.
Json VariantJson(const VARIANT& value);
// The value as people read it ("(empty)" for VT_EMPTY).
std::string VariantText(const VARIANT& value);
// Throws EClientError "what: 0x...".
void Check(HRESULT hr, const std::string& what);

// The server hosted in this process for one command: the program folder started as OrvelaOPC starts it.
class THostedServer {
 public:
  // timeout: the synchronous read limit (zero: the host's default). Throws EClientError when the
  // configuration did not load or nothing serves.
  THostedServer(const std::string& dir, std::chrono::milliseconds timeout);
  // An object of the ProgID's class, as its interface I.
  template <class I>
  TComPtr<I> Create(const char16_t* progId) {
    TComPtr<I> out;
    Check(CoCreateInstance(ClassOf(progId), nullptr, CLSCTX_ALL, IidOf<I>(), out.PutVoid()),
          "CoCreateInstance " + Utf16ToUtf8(progId));
    return out;
  }
  // Pumps the main thread until done() holds; false when quiet (no progress) for longer than limit.
  // progress() is read before and after each pump: a change restarts the limit.
  bool Wait(const std::function<bool()>& done, const std::function<size_t()>& progress,
            std::chrono::milliseconds limit);

 private:
  CLSID ClassOf(const char16_t* progId);
  std::unique_ptr<TServerHost> host_;
};

// The options every server command takes: the program folder, JSON output and the read limit.
struct TServerOptions {
  std::string dir;
  bool json = false;
  double timeout = 0;  // seconds; 0: the server's own limit

  std::chrono::milliseconds Timeout() const {
    return std::chrono::milliseconds(static_cast<int64_t>(timeout * 1000));
  }
};

// Adds --dir, --json and --timeout to the command.
CLI::App* AddServerOptions(CLI::App* command, TServerOptions& options);

// Runs a command body: EClientError and any other exception become "error: ..." on standard error and
// kExitServer.
int RunClient(const std::function<int()>& body);

}  // namespace orvela::ctl
