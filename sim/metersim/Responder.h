#pragma once
// A responder answers one protocol family on a line: it owns the devices of that family and, for each
// peer connected to the line, a session that reads the peer's bytes and writes the answers. Sessions are
// driven by events (a byte arrived, time passed), so several families can share a line and a new family
// is one more responder, whatever carries the bytes (TCP, pseudo-terminal).
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "metersim/Device.h"
#include "metersim/Faults.h"
#include "platform/Clock.h"

namespace orvela::sim {

// Where a session's bytes go.
class IByteSink {
 public:
  virtual void Send(std::span<const uint8_t> bytes) = 0;

 protected:
  ~IByteSink() = default;
};

// One request as a responder saw it: for tests that count exchanges.
struct TExchangeRecord {
  std::string_view protocol;
  int address = -1;  // -1: addressed to the line itself (scan) or unreadable
  uint8_t function = 0;
  std::vector<uint8_t> message;
  bool answered = false;
};

class TExchangeLog {
 public:
  void Add(TExchangeRecord record);
  std::vector<TExchangeRecord> Records() const;
  void Clear();

 private:
  static constexpr size_t kLimit = 10'000;
  mutable std::mutex mutex_;
  std::vector<TExchangeRecord> records_;
};

// Line settings a session needs.
struct TSessionContext {
  Clock& clock;     // waits and time-outs
  Clock& calendar;  // the devices' date and time
  TFaultCell& lineFaults;
  TExchangeLog& log;
  IByteSink& out;
  int64_t promptIntervalMs;
  int64_t firstPromptDelayMs;
};

class TResponderSession {
 public:
  virtual ~TResponderSession() = default;
  virtual void OnByte(uint8_t byte) = 0;
  // Runs what is due by now; returns the clock tick (TickMs) at which it next wants to run.
  virtual int64_t OnTick() = 0;
};

class TResponder {
 public:
  virtual ~TResponder() = default;
  virtual std::string_view Protocol() const = 0;
  // Takes a device of this responder's protocol; false when the address is taken.
  virtual bool AddDevice(std::shared_ptr<TSimDevice> device) = 0;
  virtual TSimDevice* FindDevice(uint8_t address) const = 0;
  virtual std::unique_ptr<TResponderSession> OpenSession(TSessionContext& context) = 0;
};

// The responder for a protocol family, or none when the family has no simulator.
std::unique_ptr<TResponder> MakeResponder(std::string_view protocol);

}  // namespace orvela::sim
