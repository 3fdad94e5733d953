#pragma once
// The inbound GPRS listener: one event-loop thread per process that accepts the connections of field
// modems woken by a call (or calling on their own), reads each modem's announcement (its telephone number,
// and for a new module the two bytes 3 and 7 after it) and keeps the table of connected modems that the
// inbound links take their sockets from.
//
// Sockets are shared between the table and the link that took one: an entry that is replaced or removed
// is shut down, never closed under a link's feet, so the link sees the connection end instead of reading
// a descriptor that meanwhile belongs to someone else.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"

namespace orvela {

// One accepted socket; closed when its last holder lets it go.
class TClientSocket {
 public:
  explicit TClientSocket(int fd) : fd_(fd) {}
  ~TClientSocket();
  TClientSocket(const TClientSocket&) = delete;
  TClientSocket& operator=(const TClientSocket&) = delete;
  int Fd() const { return fd_; }
  // Ends the connection for whoever still holds the socket (their reads see the end).
  void Shutdown();

 private:
  int fd_;
};

// One announced modem as a link takes it.
struct TMyClient {
  std::shared_ptr<TClientSocket> socket;
  std::string number;          // the ten digits announced
  uint32_t serial = 0;         // acceptance serial number
  int32_t moduleKind = 1;      // 1 old module, 2 new module
  std::vector<uint8_t> early;  // the meter's bytes that came right behind the number
};

// The number as the table compares it: its digits only, the last ten of them.
std::string NumberKey(const std::string& number);

struct TListenerOptions {
  static constexpr uint16_t kDefaultPort = 10100;
  uint16_t port = kDefaultPort;     // 0 takes any free port
  std::string bindAddress;          // numeric IPv4; empty listens on every address
  std::filesystem::path logFolder;  // "Log_TCPTh.txt" goes here when the channel log is on
  bool channelLog = false;
  // How long a modem may take to send its whole number.
  int64_t announceTimeoutMs = 60'000;
  // Quiet after the number before a modem without the new module's two bytes is filed as an old one.
  int64_t moduleWindowMs = 100;
  // A connected modem no link takes (again) within this time is disconnected.
  int64_t unclaimedMs = 2 * 60'000;
  // The GPRS wait of the inbound links ("Время ожид. GPRS подключения (мин)").
  int64_t gprsWaitMs = 2 * 60'000;
  size_t maxPending = 1024;  // connections still announcing
  size_t maxClients = 4096;  // announced modems in the table
  Clock* clock = nullptr;    // the process clock when absent
};

class TAsyncTCP {
 public:
  static constexpr int kBacklog = 256;
  static constexpr size_t kNumberBytes = 10;
  static constexpr uint8_t kNewModuleBytes[2] = {3, 7};

  explicit TAsyncTCP(TListenerOptions options = {});
  ~TAsyncTCP();
  TAsyncTCP(const TAsyncTCP&) = delete;
  TAsyncTCP& operator=(const TAsyncTCP&) = delete;

  // Binds (SO_REUSEADDR), listens and starts the thread. False (logged and journalled) when the address
  // cannot be used: the inbound links then find no modem.
  bool Start();
  // Ends the thread (joined) and disconnects every modem not taken by a link.
  void Stop();

  bool Listening() const { return listening_.load(); }
  // A modem has connected since the start.
  bool Active() const { return active_.load(); }
  uint16_t Port() const { return port_; }
  int64_t GprsWaitMs() const { return options_.gprsWaitMs; }
  Clock& GetClock() const { return clock_; }

  // Takes the modem with this number for the taker; nullopt when none is connected or another taker has
  // it. The taker keeps the entry until it gives it back, removes it, or the modem goes.
  std::optional<TMyClient> FindClient(const std::string& number, const void* taker);
  // The taker is done with its entry for now: the modem stays connected for the next taker.
  void GiveBack(uint32_t serial, const void* taker);
  // Forgets every entry of the number that is free or the taker's own, ending their connections.
  // Returns the number of entries removed.
  int RemoveClient(const std::string& number, const void* taker);

  // Forgets the one entry (its connection failed for the taker), ending its connection; a newer entry
  // of the same modem stays.
  void Forget(uint32_t serial);

  size_t ClientCount() const;
  std::vector<std::string> Numbers() const;

  // The listener the inbound links of this process use (set by whoever hosts the engine).
  static std::shared_ptr<TAsyncTCP> Current();
  static void SetCurrent(std::shared_ptr<TAsyncTCP> listener);

 private:
  // A connection still announcing its number.
  struct TPending {
    int fd = -1;
    std::vector<uint8_t> bytes;  // never more than the number and the new module's two bytes
    int64_t acceptedAt = 0;
    int64_t numberAt = -1;  // when the tenth byte came
    std::string peer;
  };
  // An announced modem.
  struct TEntry {
    TMyClient client;
    const void* taker = nullptr;
    int64_t freeSince = 0;  // filed or given back
  };
  void Loop(std::stop_token stop);
  void AcceptAll();
  void OnEvent(uint64_t id, uint32_t events);
  void ReadAnnouncement(uint64_t id, TPending& pending);
  void Settle(uint64_t id);
  void File(uint64_t id, TPending pending, int32_t moduleKind, std::vector<uint8_t> early);
  void DropPending(uint64_t id, const std::string& why, bool journal);
  void RunTimers();
  int NextWaitMs() const;
  void Log(const std::string& text);

  TListenerOptions options_;
  Clock& clock_;
  int listenFd_ = -1;
  int epollFd_ = -1;
  int wakeFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> listening_{false};
  std::atomic<bool> active_{false};
  std::jthread thread_;

  // Connections still announcing: the listener thread's alone.
  std::map<uint64_t, TPending> pending_;
  uint64_t nextId_ = 2;  // 0 the listening socket, 1 the wake-up
  uint32_t serial_ = 1;

  mutable std::mutex tableMutex_;
  std::map<uint64_t, TEntry> table_;

  std::mutex logMutex_;
  std::filesystem::path logPath_;
  uint32_t step_ = 0;
};

}  // namespace orvela
