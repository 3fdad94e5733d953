#pragma once
// The serial port component: one terminal device opened for exclusive use in raw mode, its line settings,
// queue sizes, modem-status lines and reads and writes bounded in the clock's time.
#include <termios.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "links/LinkExceptions.h"
#include "platform/Clock.h"

namespace orvela {

enum class TParity : uint8_t { pNone, pOdd, pEven, pMark, pSpace };
enum class TStopbits : uint8_t { sb1_0, sb1_5, sb2_0 };
// Indexes 0…4 stand for 4…8 data bits; terminals here take 5 to 8.
enum class TDatabits : uint8_t { db4, db5, db6, db7, db8 };

inline constexpr int kParityCount = 5, kStopbitsCount = 3, kDatabitsCount = 5;

// Modem-status inputs as ModemLine numbers them.
enum TModemInput : int { kLineCts = 1, kLineDsr = 2, kLineRing = 3, kLineRlsd = 4 };

inline constexpr const char* kPortUnavailableText = "Порт недоступен";
inline constexpr const char* kPortReadErrorText = "Ошибка чтения даных";

// What the component asks of the operating system for line settings and modem lines. Tests put a fake in
// its place to see modem lines and parity that pseudo-terminals do not have. Calls return 0 or an errno.
class TCommBackend {
 public:
  virtual ~TCommBackend() = default;
  virtual int GetAttr(int fd, termios& mode);
  virtual int SetAttr(int fd, const termios& mode);
  // A rate no Bxxx constant names (BOTHER).
  virtual int SetOddSpeed(int fd, int baud);
  virtual int GetModemBits(int fd, int& bits);
  virtual int SetModemBits(int fd, int bits);
  virtual int ClearModemBits(int fd, int bits);
};
TCommBackend& SystemCommBackend();

// The line settings as termios flags (raw mode, receiver on, modem lines not needed to open); nullopt for a
// combination the terminal cannot take (4 data bits). Odd rates are left at B38400 for SetOddSpeed.
std::optional<termios> LineMode(const termios& base, int baud, TParity parity, TStopbits stop,
                                TDatabits data);
// The Bxxx constant of a standard rate; nullopt for any other.
std::optional<speed_t> StandardSpeed(int baud);

class TComm32 {
 public:
  // Read time-outs of the port: between bytes, per byte requested, and once per read.
  static constexpr int kReadIntervalMs = 250, kReadTotalMultiplierMs = 550, kReadTotalConstantMs = 50;
  static constexpr int kWriteTotalMultiplierMs = 50;
  static constexpr int kReadBufferSize = 4096, kWriteBufferSize = 2048;
  // WriteText's area: a longer text is refused instead of cut.
  static constexpr size_t kMaxWriteText = 551;

  explicit TComm32(Clock& clock = SystemClock(), TCommBackend& backend = SystemCommBackend());
  ~TComm32();
  TComm32(const TComm32&) = delete;
  TComm32& operator=(const TComm32&) = delete;

  // Opens the device for this process alone and applies everything remembered; raises EPortExcept
  // "Порт недоступен" when it is missing or in use. An open port just keeps going.
  void Open();
  void Close();
  bool Connected() const { return fd_ >= 0; }
  // The other side hung up (a pseudo-terminal's master closed, a USB adapter pulled out).
  bool HungUp() const { return hungUp_; }

  const std::string& DeviceName() const { return deviceName_; }
  void SetDeviceName(const std::string& path) { deviceName_ = path; }

  // Setters remember the value and apply it at once to an open port; false (previous value kept) when
  // the terminal refuses it.
  int BaudRate() const { return baud_; }
  bool SetBaudRate(int baud);
  TParity Parity() const { return parity_; }
  bool SetParity(TParity parity);
  TStopbits Stopbits() const { return stop_; }
  bool SetStopbits(TStopbits stop);
  TDatabits Databits() const { return data_; }
  bool SetDatabits(TDatabits data);

  // What the terminal holds now, read back from it (nullopt while closed).
  std::optional<termios> CurrentMode() const;
  std::optional<int> CurrentBaud() const;

  bool DTRProp() const { return dtr_; }
  void SetDTRProp(bool on);
  bool RTSProp() const { return rts_; }
  void SetRTSProp(bool on);
  // on: DTR and RTS up; off: DTR down. Remembered as DTRProp.
  void LinesUp(bool on);
  // The state of a modem-status input; nullopt when the port is closed or has no such line (a
  // pseudo-terminal has none).
  std::optional<bool> ModemLineState(int line) const;
  bool ModemLine(int line) const { return ModemLineState(line).value_or(false); }
  // The port can report its modem-status inputs.
  bool HasModemLines() const;

  int InQueue() const;
  int OutQueue() const;
  void PurgeIn();
  void PurgeOut();

  // Writes all bytes within the write time-out; returns the count written (short on time-out or hang-up).
  int Write(std::span<const uint8_t> bytes);
  // Refuses (EWriteExcept) a text longer than the port's text area.
  int WriteText(std::string_view text);
  // Waits up to ms of the clock's time for input; true when some is waiting.
  bool WaitInput(int64_t ms);
  // Reads what is waiting, up to size bytes, without waiting; -1 when the other side hung up.
  int Read(uint8_t* buffer, int size);
  // One byte within the read time-out of one byte; EPortExcept "Ошибка чтения даных" when none came.
  uint8_t ReadOne();

 private:
  bool Apply(int baud, TParity parity, TStopbits stop, TDatabits data);
  // A port without modem lines (ENOTTY, EINVAL) is no failure: the line works without them.
  void SetLine(int bit, bool on);

  Clock& clock_;
  TCommBackend& backend_;
  std::string deviceName_ = "COM2";
  int fd_ = -1;
  bool hungUp_ = false;
  int baud_ = 9600;
  TParity parity_ = TParity::pNone;
  TStopbits stop_ = TStopbits::sb1_0;
  TDatabits data_ = TDatabits::db8;
  bool dtr_ = false;
  bool rts_ = false;
};

}  // namespace orvela
