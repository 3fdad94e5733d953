#include "links/Comm32.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

#include "links/OddSpeed.h"
#include "links/SocketUtil.h"

namespace orvela {
namespace {

constexpr std::array<std::pair<int, speed_t>, 19> kSpeeds = {{
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800},
}};

// Four data bits have no terminal setting.
constexpr std::array<std::optional<tcflag_t>, kDatabitsCount> kDataFlags = {std::nullopt, CS5, CS6, CS7, CS8};

// What each parity sets in c_cflag; mark and space are a fixed parity bit (CMSPAR), odd-sense for mark.
constexpr std::array<tcflag_t, kParityCount> kParityFlags = {0, PARENB | PARODD, PARENB,
                                                             PARENB | CMSPAR | PARODD, PARENB | CMSPAR};

}  // namespace

int TCommBackend::GetAttr(int fd, termios& mode) {
  return ::tcgetattr(fd, &mode) == 0 ? 0 : errno;
}
int TCommBackend::SetAttr(int fd, const termios& mode) {
  return ::tcsetattr(fd, TCSANOW, &mode) == 0 ? 0 : errno;
}
int TCommBackend::SetOddSpeed(int fd, int baud) {
  return SetTermios2Speed(fd, baud);
}
int TCommBackend::GetModemBits(int fd, int& bits) {
  return ::ioctl(fd, TIOCMGET, &bits) == 0 ? 0 : errno;
}
int TCommBackend::SetModemBits(int fd, int bits) {
  return ::ioctl(fd, TIOCMBIS, &bits) == 0 ? 0 : errno;
}
int TCommBackend::ClearModemBits(int fd, int bits) {
  return ::ioctl(fd, TIOCMBIC, &bits) == 0 ? 0 : errno;
}

TCommBackend& SystemCommBackend() {
  static TCommBackend backend;
  return backend;
}

std::optional<speed_t> StandardSpeed(int baud) {
  for (const auto& [rate, code] : kSpeeds)
    if (rate == baud) return code;
  return std::nullopt;
}

std::optional<termios> LineMode(const termios& base, int baud, TParity parity, TStopbits stop,
                                TDatabits data) {
  std::optional<tcflag_t> dataFlag = kDataFlags.at(static_cast<size_t>(data));
  if (!dataFlag || baud <= 0) return std::nullopt;
  termios mode = base;
  ::cfmakeraw(&mode);
  mode.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  mode.c_cflag |= CLOCAL | CREAD | *dataFlag | kParityFlags.at(static_cast<size_t>(parity));
  // Two stop bits; with five data bits the hardware sends one and a half.
  if (stop != TStopbits::sb1_0) mode.c_cflag |= CSTOPB;
  mode.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  if (parity != TParity::pNone) mode.c_iflag |= INPCK;
  mode.c_cc[VMIN] = 0;
  mode.c_cc[VTIME] = 0;
  speed_t speed = StandardSpeed(baud).value_or(B38400);
  ::cfsetispeed(&mode, speed);
  ::cfsetospeed(&mode, speed);
  return mode;
}

TComm32::TComm32(Clock& clock, TCommBackend& backend) : clock_(clock), backend_(backend) {}

TComm32::~TComm32() {
  Close();
}

void TComm32::Open() {
  if (fd_ < 0) {
    // Not blocking, so that opening does not wait for carrier; every wait is a poll in the clock's time.
    int fd = ::open(deviceName_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw EPortExcept(kPortUnavailableText);
    // TIOCEXCL keeps other programs out (not root); the lock keeps out every user of the same device.
    if (!::isatty(fd) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      throw EPortExcept(kPortUnavailableText);
    }
    ::ioctl(fd, TIOCEXCL);
    fd_ = fd;
    hungUp_ = false;
  } else {
    ::tcflow(fd_, TCOON);  // the port was open: clear a stopped output instead
  }
  SetDTRProp(dtr_);
  SetRTSProp(rts_);
  if (!Apply(baud_, parity_, stop_, data_)) {
    Close();
    throw EPortExcept(kPortUnavailableText);
  }
}

void TComm32::Close() {
  if (fd_ < 0) return;
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
}

bool TComm32::Apply(int baud, TParity parity, TStopbits stop, TDatabits data) {
  if (fd_ < 0) return true;
  termios current{};
  if (backend_.GetAttr(fd_, current) != 0) return false;
  std::optional<termios> mode = LineMode(current, baud, parity, stop, data);
  if (!mode || backend_.SetAttr(fd_, *mode) != 0) return false;
  if (!StandardSpeed(baud) && backend_.SetOddSpeed(fd_, baud) != 0) {
    backend_.SetAttr(fd_, current);
    return false;
  }
  return true;
}

std::optional<termios> TComm32::CurrentMode() const {
  termios mode{};
  if (fd_ < 0 || backend_.GetAttr(fd_, mode) != 0) return std::nullopt;
  return mode;
}

std::optional<int> TComm32::CurrentBaud() const {
  int baud = 0;
  if (fd_ < 0 || GetTermios2Speed(fd_, baud) != 0) return std::nullopt;
  return baud;
}

bool TComm32::SetBaudRate(int baud) {
  if (!Apply(baud, parity_, stop_, data_)) return false;
  baud_ = baud;
  return true;
}

bool TComm32::SetParity(TParity parity) {
  if (!Apply(baud_, parity, stop_, data_)) return false;
  parity_ = parity;
  // Some drivers drop the outputs when the frame changes: put them back as remembered.
  SetDTRProp(dtr_);
  SetRTSProp(rts_);
  return true;
}

bool TComm32::SetStopbits(TStopbits stop) {
  if (!Apply(baud_, parity_, stop, data_)) return false;
  stop_ = stop;
  return true;
}

bool TComm32::SetDatabits(TDatabits data) {
  if (static_cast<size_t>(data) >= kDataFlags.size() || !kDataFlags[static_cast<size_t>(data)]) return false;
  if (!Apply(baud_, parity_, stop_, data)) return false;
  data_ = data;
  return true;
}

void TComm32::SetLine(int bit, bool on) {
  if (fd_ < 0) return;
  // A pseudo-terminal or a three-wire adapter has no such output; the line works without it.
  // Any other refusal leaves the output as it was; the link learns of a dead line from its reads.
  (void)(on ? backend_.SetModemBits(fd_, bit) : backend_.ClearModemBits(fd_, bit));
}

void TComm32::SetDTRProp(bool on) {
  dtr_ = on;
  SetLine(TIOCM_DTR, on);
}

void TComm32::SetRTSProp(bool on) {
  rts_ = on;
  SetLine(TIOCM_RTS, on);
}

void TComm32::LinesUp(bool on) {
  if (fd_ >= 0) {
    termios mode{};
    if (backend_.GetAttr(fd_, mode) == 0 && (mode.c_cflag & CRTSCTS) != 0) {
      mode.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);  // no output flow control by CTS
      backend_.SetAttr(fd_, mode);
    }
  }
  SetDTRProp(on);
  if (on) SetRTSProp(true);
}

std::optional<bool> TComm32::ModemLineState(int line) const {
  static constexpr std::array<int, 5> kBits = {0, TIOCM_CTS, TIOCM_DSR, TIOCM_RNG, TIOCM_CAR};
  if (fd_ < 0 || line < 1 || line > 4) return std::nullopt;
  int bits = 0;
  if (backend_.GetModemBits(fd_, bits) != 0) return std::nullopt;
  return (bits & kBits[static_cast<size_t>(line)]) != 0;
}

bool TComm32::HasModemLines() const {
  int bits = 0;
  return fd_ >= 0 && backend_.GetModemBits(fd_, bits) == 0;
}

int TComm32::InQueue() const {
  int n = 0;
  return fd_ >= 0 && ::ioctl(fd_, FIONREAD, &n) == 0 ? n : 0;
}

int TComm32::OutQueue() const {
  int n = 0;
  return fd_ >= 0 && ::ioctl(fd_, TIOCOUTQ, &n) == 0 ? n : 0;
}

void TComm32::PurgeIn() {
  if (fd_ >= 0) ::tcflush(fd_, TCIFLUSH);
}

void TComm32::PurgeOut() {
  if (fd_ >= 0) ::tcflush(fd_, TCOFLUSH);
}

int TComm32::Write(std::span<const uint8_t> bytes) {
  if (fd_ < 0) return 0;
  int64_t deadline = clock_.TickMs() + kWriteTotalMultiplierMs * static_cast<int64_t>(bytes.size()) + 1;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      if (errno == EIO) hungUp_ = true;
      break;
    }
    int64_t remaining = deadline - clock_.TickMs();
    if (remaining <= 0) break;
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, std::max(clock_.RealWaitMs(std::min<int64_t>(remaining, 10)), 1)) < 0 && errno != EINTR)
      break;
    if (clock_.RealWaitMs(remaining) == 0) clock_.Sleep(1);
  }
  return static_cast<int>(done);
}

int TComm32::WriteText(std::string_view text) {
  if (text.size() > kMaxWriteText)
    throw EWriteExcept("Текст длиннее " + std::to_string(kMaxWriteText) + " байт не отправлен");
  return Write(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

bool TComm32::WaitInput(int64_t ms) {
  if (fd_ < 0) return false;
  if (InQueue() > 0) return true;
  if (!socketutil::WaitReadable(fd_, clock_, ms)) return false;
  if (InQueue() > 0) return true;
  // Readable with nothing queued: the other side is gone.
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0) hungUp_ = true;
  if (hungUp_) return false;
  // Something woke the poll but left no byte; let the clock move so callers' loops do not spin.
  clock_.Sleep(1);
  return false;
}

int TComm32::Read(uint8_t* buffer, int size) {
  if (fd_ < 0 || size <= 0) return 0;
  ssize_t n = ::read(fd_, buffer, static_cast<size_t>(size));
  if (n > 0) return static_cast<int>(n);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  hungUp_ = true;
  return -1;
}

uint8_t TComm32::ReadOne() {
  uint8_t byte = 0;
  if (WaitInput(kReadTotalMultiplierMs + kReadTotalConstantMs) && Read(&byte, 1) == 1) return byte;
  throw EPortExcept(kPortReadErrorText);
}

}  // namespace orvela
