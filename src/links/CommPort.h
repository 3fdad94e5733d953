#pragma once
// Links on a local serial port: TCommPort puts the link operations on the port component; TLineCommPort
// is a directly wired line (RS-232, or RS-485 through a converter). The modem links derive from TCommPort.
#include <string>

#include "links/Comm32.h"
#include "links/ConnectionDevice.h"

namespace orvela {

// Kinds of SetLineParam (the factory's kLineParamStopBits is kind 1, which sets the parity).
enum TLineParamKind : int {
  kLineParamParity = 1,
  kLineParamStop = 3,
  kLineParamRtsUp = 4,
  kLineParamRtsDown = 5,
  kLineParamDatabits = 6,
  kLineParamDtrUp = 7,
  kLineParamDtrDown = 8,
};

class TCommPort : public TConnectionDevice {
 public:
  static constexpr int kPollMs = 5;
  static constexpr int kOpenSettleMs = 1000;
  // Echo drop: checks of the input queue and their spacing.
  static constexpr int kEchoChecks = 1000, kEchoCheckMs = 10;

  explicit TCommPort(TConnSettings* settings = nullptr, Clock& clock = SystemClock(),
                     TCommBackend& backend = SystemCommBackend());
  ~TCommPort() override;

  // The stored port name ("COM3"); resolved to a device through the port map at each open. False for a
  // name no key can hold.
  bool SetAddress(const std::string& address) override;
  bool Connect() override;
  void Release() override;
  bool SetHold(bool hold) override;
  int InCount() override;
  int OutCount() override;
  void PurgeInput() override;
  void PurgeOutput() override;
  bool WaitData(int polls) override;
  // Next byte; with nothing buffered waits the port's read time-out for one. When none came raises
  // EPortExcept "Ошибка чтения даных": a 0 byte and no byte must not look alike to a framing.
  uint8_t ReadByte() override;
  // Drops what was received and not read (port queue and buffer), so a reply is never an old one.
  void Send(std::span<const uint8_t> bytes) override;
  // Unknown kinds and values outside their enumeration do nothing.
  int SetLineParam(int kind, int value) override;

  TComm32& Port() { return comm_; }
  const std::string& PortName() const { return portName_; }

 protected:
  // Opens the device the port name stands for now; EPortExcept when it cannot be used.
  void OpenPort();
  void ClosePort();
  // Moves what the port holds into the buffer, waiting up to ms for the first byte; the bytes added.
  int Refill(int64_t ms);
  // Sees every chunk read from the port before it is buffered; false drops it.
  virtual bool AcceptChunk(std::span<const uint8_t>) { return true; }
  // Reads the echo of n sent bytes back and drops it (traced as received).
  void DropSerialEcho(size_t n);

  QueueBuffer buffer_;
  int32_t spare_ = 0;
  TComm32 comm_;
  std::string portName_;
};

class TLineCommPort : public TCommPort {
 public:
  explicit TLineCommPort(TConnSettings* settings = nullptr, Clock& clock = SystemClock(),
                         TCommBackend& backend = SystemCommBackend());
  bool CheckLink() override;
  int ReportFailure(int) override { return 0; }
};

}  // namespace orvela
