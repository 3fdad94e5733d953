#pragma once
// The wake-up call of an inbound GPRS connection: a voice call from the local GSM modem to the field
// modem's number, which the field modem answers by connecting to the listener. Everything here runs on
// the GSM modem's own serial port, never on the socket the link later exchanges over.
#include <atomic>
#include <functional>
#include <string>

#include "links/CommPort.h"

namespace orvela {

// The GSM modem's serial port: opened and closed around each wake-up call, no echo test.
class TGsmPort : public TCommPort {
 public:
  using TCommPort::TCommPort;
  // Opens the port and raises the modem lines; false (logged) when the port cannot be used.
  bool Open();
  void Close() { ClosePort(); }
};

// What a wake-up call ended with.
enum TWakeUpResult : int { kWakeUpCancelled = -2, kWakeUpFailed = -1, kWakeUpNoAnswer = 0, kWakeUpWoken = 1 };

struct TWakeUpCall {
  static constexpr int kAttempts = 5;
  static constexpr int kIdleTurns = 101;

  TGsmPort& port;
  Clock& clock;
  std::string dialPrefix;  // "ATDT" or "ATDP"
  std::string number;
  // The event log (journal and channel log) and the channel log alone.
  std::function<void(const std::string&)> event;
  std::function<void(const std::string&)> log;
  // True when the call must end now (cancel request, shutdown).
  std::function<bool()> stopping;

  // Up to five calls until one reaches the field modem: kWakeUpWoken, kWakeUpFailed or kWakeUpCancelled.
  int Call();

 private:
  int CallOnce();
  int AwaitAnswer();
  void Command(const std::string& text);
};

}  // namespace orvela
