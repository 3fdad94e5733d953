#pragma once
// What the engine's parts share while the engine runs: the clock, the settings taken at start, the logs
// it writes to and the services of the layers above it (inbound listener, operator window), reached
// through interfaces the engine owns.
#include <atomic>
#include <filesystem>
#include <string>

#include "platform/Clock.h"
#include "platform/JournalSink.h"
#include "tree/Settings.h"

namespace orvela {

// The journal (message, second column), the work log and the queue log.
class IEngineLogs : public IJournalSink {
 public:
  virtual void WorkLog(const std::string& text) = 0;
  virtual void OrderLog(const std::string& text) = 0;
};

// The program's own logs: the work logs of the program folder and the process journal sink. Lines from
// worker threads reach the journal on the main thread without waiting for it, so a main thread that is
// itself waiting for the engine never deadlocks.
class TProcessEngineLogs final : public IEngineLogs {
 public:
  void Journal(const std::string& message, const std::string& second) override;
  void WorkLog(const std::string& text) override;
  void OrderLog(const std::string& text) override;
};

// Services above the engine. The defaults do nothing, for runs without a window or listener.
class IEngineHost {
 public:
  virtual ~IEngineHost() = default;
  // The inbound GPRS listener has calls in progress (it then holds the modem port).
  virtual bool InboundCallsActive() const { return false; }
  virtual void StartInbound() {}
  virtual void StopInbound() {}
  // The device list and connections cannot be edited while the engine runs.
  virtual void SetEditingEnabled(bool) {}
};

struct TEngineContext {
  Clock* clock = nullptr;
  IEngineLogs* logs = nullptr;
  IEngineHost* host = nullptr;
  TSettings settings{};
  std::filesystem::path programFolder;
  std::atomic<bool> shutdown{false};
  // Raised by the queue thread when it starts a reader, lowered by the reader as it ends.
  std::atomic<int32_t> activeReaders{0};

  Clock& GetClock() const { return *clock; }
};

}  // namespace orvela
