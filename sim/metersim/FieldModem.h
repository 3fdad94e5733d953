#pragma once
// Field GPRS modems in front of simulated meters: woken by a voice call through the emulated Hayes modem
// (or connecting on their own timer), each opens a TCP connection to the server's GPRS listener,
// announces its telephone number (ten bytes, each one decimal digit 0…9, most significant first; a new
// module follows them with the two bytes 3 and 7) and then carries the bytes between that connection and
// the line's meters (reached once the server first sends). One thread serves every modem of the bank, so
// hundreds can be connected at once.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"

namespace orvela::sim {

// What a modem does wrong when it announces itself.
enum class TAnnounceFault {
  None,
  Silent,     // connects and sends nothing
  Wrong,      // announces another number
  Malformed,  // sends ten bytes that are no digits
  Partial,    // sends half the number and then nothing
};

struct TFieldModemSpec {
  std::string number;  // ten digits
  int moduleKind = 1;  // 1 old module, 2 new (announces 3 and 7 after the number)
  TAnnounceFault fault = TAnnounceFault::None;
  std::string wrongNumber;      // announced instead, with TAnnounceFault::Wrong
  int64_t dropAfterBytes = -1;  // drops the connection after carrying this many of the meters' bytes
  bool twice = false;           // connects a second time with the same number 5 s after the first
  int64_t timerMs = 0;          // connects by itself this long after the start and after each drop
  // The meters are wired to the modem: reached as soon as it connects, so their idle prompts go to the
  // server before it sends anything (otherwise the meters are reached when the server first sends).
  bool wired = false;
};

// "NUMBER[,kind=2][,silent|malformed|partial|wrong=NUMBER][,drop=N][,twice][,wired][,timer=MS][,count=N]";
// count=N makes N modems with consecutive numbers. False with the reason for anything else.
bool ParseFieldModemSpec(const std::string& text, std::vector<TFieldModemSpec>& out, std::string& error);

struct TFieldModemOptions {
  Clock* clock = nullptr;  // the process clock when absent
  std::string serverHost = "127.0.0.1";
  uint16_t serverPort = 0;  // the GPRS listener
  std::string meterHost = "127.0.0.1";
  uint16_t meterPort = 0;       // the line's TCP listener the meters answer on
  int64_t answerDelayMs = 300;  // from the ring to the connection
};

class TFieldModems {
 public:
  explicit TFieldModems(TFieldModemOptions options);
  ~TFieldModems();
  TFieldModems(const TFieldModems&) = delete;
  TFieldModems& operator=(const TFieldModems&) = delete;

  // Modems join before the bank serves.
  void Add(const TFieldModemSpec& spec);
  void Start();
  void Stop();

  // A wake-up call reached the modem with this number (any thread); false when the bank has none.
  bool Ring(const std::string& number);
  // The modem with this number drops its connections now (any thread).
  void Drop(const std::string& number);
  // Connections up.
  size_t Connected() const { return connected_.load(); }
  // What happened, in order: "ring N", "connect N", "drop N", "closed N", "refused N".
  std::vector<std::string> Events() const;
  void SetEventSink(std::function<void(const std::string&)> sink) { sink_ = std::move(sink); }

 private:
  struct TSession {
    std::string number;
    int server = -1;
    int meter = -1;
    bool carries = false;  // announced itself properly: the meters are behind it
    int64_t carried = 0;
  };
  struct TDue {
    int64_t at;
    std::string number;
  };
  void Serve(std::stop_token stop);
  void Open(const TFieldModemSpec& spec);
  void Close(TSession& session, const std::string& why);
  void Relay(TSession& session, bool fromServer);
  void Wake();
  void Note(const std::string& event);

  TFieldModemOptions options_;
  Clock& clock_;
  std::map<std::string, TFieldModemSpec> modems_;
  std::vector<TSession> sessions_;  // the serving thread's alone
  int wakeFd_ = -1;
  std::jthread thread_;
  std::atomic<size_t> connected_{0};

  std::mutex dueMutex_;
  std::deque<TDue> due_;
  std::vector<std::string> drops_;

  mutable std::mutex eventsMutex_;
  std::vector<std::string> events_;
  std::function<void(const std::string&)> sink_;
};

}  // namespace orvela::sim
