#pragma once
// An emulated Hayes-compatible modem on a pseudo-terminal: AT commands with echo, verbose or numeric
// answers, dialling through a phone book (a number reaches a simulated line over TCP, or is busy, does not
// answer, ...), the "+++" escape with its guard times, hang-up, and a carrier that the far end may drop.
// Once connected it carries the meters' bytes both ways.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "metersim/Pty.h"
#include "platform/Clock.h"

namespace orvela::sim {

// Wake: a field GPRS modem woken by a voice call; the call is placed (OK), rings and is rejected (NO
// CARRIER), and the modem's ringer is told the number.
enum class TPhoneKind { Line, Busy, NoAnswer, NoCarrier, NoDialtone, Wake };

struct TPhoneEntry {
  TPhoneKind kind = TPhoneKind::Line;
  std::string host;  // Line: where the simulated line listens
  uint16_t port = 0;
  // Line: the far end hangs up after carrying this many of its bytes; -1 never.
  int64_t dropAfterBytes = -1;
};

// A TCP connection to host:port (numeric IPv4), as a modem's far end makes it; -1 when refused.
int ConnectTcpPeer(const std::string& host, uint16_t port);

// "busy", "noanswer", "nocarrier", "nodialtone", "wake" or "HOST:PORT[,drop=N]"; false with the reason
// otherwise.
bool ParsePhoneEntry(const std::string& text, TPhoneEntry& entry, std::string& error);

struct TModemOptions {
  Clock* clock = nullptr;        // the process clock when absent
  int64_t guardMs = 1000;        // silence before and after "+++"
  int64_t ringMs = 2000;         // from dialling to CONNECT or NO ANSWER
  int64_t quickAnswerMs = 200;   // from dialling to BUSY, NO CARRIER, NO DIALTONE
  int64_t carrierLossMs = 1400;  // from the far end dropping to NO CARRIER
  bool silent = false;           // answers nothing at all (a dead or unpowered modem)
};

class THayesModem {
 public:
  explicit THayesModem(TModemOptions options = {});
  ~THayesModem();
  THayesModem(const THayesModem&) = delete;
  THayesModem& operator=(const THayesModem&) = delete;

  // Numbers are compared by their digits only. Add them before the modem serves.
  void AddNumber(const std::string& number, TPhoneEntry entry);
  // Opens the pseudo-terminal and serves it; returns the path a serial link opens.
  std::string OpenPty();
  const std::string& PtyPath() const { return pty_.path; }
  void Stop();

  // The far end hangs up now.
  void DropCall() { dropRequest_ = true; }
  void SetSilent(bool silent) { silent_ = silent; }
  bool Online() const { return online_.load(); }
  // What happened, in order: "dial 555", "connect 555", "busy 555", "escape", "hangup", "carrier lost".
  std::vector<std::string> Events() const;
  // Told the number of each voice call that rang a Wake entry (from the modem's thread).
  void SetRinger(std::function<void(const std::string&)> ringer) { ringer_ = std::move(ringer); }
  // Called with each event as it happens (from the modem's thread).
  void SetEventSink(std::function<void(const std::string&)> sink) { sink_ = std::move(sink); }

 private:
  struct TState;
  void Serve(std::stop_token stop);
  void Note(const std::string& event);

  TModemOptions options_;
  Clock& clock_;
  std::map<std::string, TPhoneEntry> book_;
  TPty pty_;
  std::jthread thread_;
  std::atomic<bool> dropRequest_{false};
  std::atomic<bool> silent_{false};
  std::atomic<bool> online_{false};
  mutable std::mutex eventsMutex_;
  std::vector<std::string> events_;
  std::function<void(const std::string&)> sink_;
  std::function<void(const std::string&)> ringer_;
};

}  // namespace orvela::sim
