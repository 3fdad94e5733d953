#pragma once
// A simulated line: one channel to the field with several device addresses, answered by one responder per
// protocol family. The line is reached over TCP (each connected peer gets its own sessions) or through a
// pseudo-terminal (one session for the line's life), or both at once.
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "metersim/Device.h"
#include "metersim/Faults.h"
#include "metersim/Responder.h"
#include "platform/Clock.h"

namespace orvela::sim {

class ESimError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TLineOptions {
  Clock* clock = nullptr;     // waits and time-outs; the process clock when absent
  Clock* calendar = nullptr;  // the devices' date and time; the wait clock when absent
  // Idle XModem prompts. A link's echo probe counts the bytes it gets back 100 ms after the first one and
  // takes exactly three for an echo, so intervals between 30 and 120 ms risk being mistaken for one.
  int64_t promptIntervalMs = 250;
  int64_t firstPromptDelayMs = 400;  // quiet after a peer connects, past the link's echo probe
};

class TByteChannel;

class TLine {
 public:
  explicit TLine(TLineOptions options = {});
  ~TLine();
  TLine(const TLine&) = delete;
  TLine& operator=(const TLine&) = delete;

  // Devices join before the line starts serving. Raises ESimError for a family without responder or an
  // address already taken in that family.
  TSimDevice& AddDevice(std::unique_ptr<TSimDevice> device);
  TSimDevice* FindDevice(uint8_t address, std::string_view protocol = kMakerProtocol) const;

  // Starts listening; port 0 takes a free port. Raises ESimError when the address cannot be used.
  void ListenTcp(const std::string& host = "127.0.0.1", uint16_t port = 0);
  uint16_t Port() const { return port_; }
  std::string TcpAddress() const;  // "host:port"
  // Opens a pseudo-terminal and serves its master side; returns the path a serial link opens.
  std::string OpenPty();
  const std::string& PtyPath() const { return ptyPath_; }

  // Closes every TCP peer (they may connect again) and restarts the pseudo-terminal's sessions.
  void DropClients();
  void Stop();

  TFaultCell& Faults() { return faults_; }
  std::vector<TExchangeRecord> Exchanges() const { return log_.Records(); }
  void ClearExchanges() { log_.Clear(); }

 private:
  struct TSessionThread {
    std::jthread thread;
    std::atomic<bool> done{false};
  };

  void AcceptLoop(std::stop_token stop);
  void StartSession(std::unique_ptr<TByteChannel> channel, bool endOnDrop);
  void Serve(TByteChannel& channel, std::stop_token stop, bool endOnDrop);

  TLineOptions options_;
  Clock& clock_;
  Clock& calendar_;
  TFaultCell faults_;
  TExchangeLog log_;
  std::vector<std::unique_ptr<TResponder>> responders_;
  std::atomic<bool> started_{false};
  std::atomic<uint64_t> generation_{0};

  int listenFd_ = -1;
  std::string host_;
  uint16_t port_ = 0;
  std::jthread acceptor_;
  int ptyMaster_ = -1;
  int ptySlave_ = -1;  // kept open so the master side never sees the line hang up
  std::string ptyPath_;

  std::mutex sessionsMutex_;
  std::list<std::unique_ptr<TSessionThread>> sessions_;
};

}  // namespace orvela::sim
