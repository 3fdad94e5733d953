#pragma once
// A simulated line: one channel to the field with several device addresses, answered by one responder per
// protocol family. The line is reached over TCP (each connected peer gets its own sessions), through a
// pseudo-terminal or over UDP (one session each for the line's life), or several of them at once.
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
  // Idle XModem prompts, on the device's own timer (whole multiples of the interval on the wait clock).
  // A meter waiting for a request prompts more than 1.5 s apart: a host tells a device that fell back to
  // waiting in the middle of a block by "C"s that slow.
  int64_t promptIntervalMs = 2'000;
  // Quiet after a peer connects before the first prompt. A meter does not know who listens: 0.
  int64_t firstPromptDelayMs = 0;
  // UDP: answers leave from a second socket of the same address, as some converters send them, instead
  // of the port the requests came to.
  bool udpReplyPortShift = false;
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
  // Serves the line on a UDP port; port 0 takes a free port. Each datagram's bytes reach the devices as
  // if they had come down a wire; what the devices send (prompts too) goes back in datagrams to the last
  // sender heard. Raises ESimError when the address cannot be used.
  void ListenUdp(const std::string& host = "127.0.0.1", uint16_t port = 0);
  uint16_t UdpPort() const { return udpPort_; }
  std::string UdpAddress() const;  // "host:port"
  // The port answers leave from: UdpPort(), or the second socket's with udpReplyPortShift.
  uint16_t UdpReplyPort() const { return udpReplyPort_; }
  // The source port of the last datagram heard; 0 before the first.
  uint16_t UdpPeerPort() const { return udpPeerPort_.load(); }

  // Closes every TCP peer (they may connect again) and restarts the pseudo-terminal's and UDP sessions.
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
  std::string udpHost_;
  uint16_t udpPort_ = 0;
  uint16_t udpReplyPort_ = 0;
  std::atomic<uint16_t> udpPeerPort_{0};

  std::mutex sessionsMutex_;
  std::list<std::unique_ptr<TSessionThread>> sessions_;
};

}  // namespace orvela::sim
