// The serial port component and the line link on real pseudo-terminals: line settings read back from the
// terminal, exclusive use, reads that tell "no byte" from a 0 byte, stale bytes, long texts, hang-ups; the
// modem lines and parity that a pseudo-terminal lacks through a fake back end; socat as an independent peer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "links/CommPort.h"
#include "links/PortMap.h"
#include "metersim/Pty.h"
#include "support/Peers.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace orvela {
namespace {

// What a device on the far end of the terminal sees: the master side.
std::string ReadFromMaster(int master, size_t want, int realMs = 2000) {
  std::string got;
  while (got.size() < want) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, realMs) <= 0) break;
    char buffer[4096];
    ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

void WriteToMaster(int master, std::string_view bytes) {
  ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// A back end with the modem lines a pseudo-terminal lacks (or none), recording the settings applied.
class TFakeLines : public TCommBackend {
 public:
  bool hasLines = true;
  // Takes any frame, as a real port's driver does; the pseudo-terminal below gets 8 bits, no parity.
  bool anyFrame = false;
  int bits = 0;
  std::vector<termios> applied;
  int SetAttr(int fd, const termios& mode) override {
    applied.push_back(mode);
    if (!anyFrame) return TCommBackend::SetAttr(fd, mode);
    termios eightBits = mode;
    eightBits.c_cflag = (mode.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR)) | CS8;
    return TCommBackend::SetAttr(fd, eightBits);
  }
  int GetModemBits(int, int& out) override {
    out = bits;
    return hasLines ? 0 : ENOTTY;
  }
  int SetModemBits(int, int b) override {
    if (!hasLines) return ENOTTY;
    bits |= b;
    return 0;
  }
  int ClearModemBits(int, int b) override {
    if (!hasLines) return ENOTTY;
    bits &= ~b;
    return 0;
  }
};

class SerialLink : public ::testing::Test {
 protected:
  SerialLink() : clock(50), pty(sim::OpenRawPty()) {}
  ~SerialLink() override { sim::ClosePty(pty); }

  ScaledClock clock;
  sim::TPty pty;
};

// Speed, stop bits and raw mode are read back from the terminal; a pseudo-terminal takes only 8 data bits
// without parity, so the frame is read from what the back end was given.
TEST_F(SerialLink, TermiosSettingsReadBackFromTheTerminal) {
  struct TCase {
    int baud;
    TParity parity;
    TStopbits stop;
    TDatabits data;
    tcflag_t size;
    tcflag_t parityFlags;
    bool twoStop;
  };
  const TCase cases[] = {
      {110, TParity::pNone, TStopbits::sb1_0, TDatabits::db8, CS8, 0, false},
      {9600, TParity::pEven, TStopbits::sb2_0, TDatabits::db7, CS7, PARENB, true},
      {19200, TParity::pOdd, TStopbits::sb1_0, TDatabits::db8, CS8, PARENB | PARODD, false},
      {115200, TParity::pMark, TStopbits::sb1_0, TDatabits::db8, CS8, PARENB | PARODD | CMSPAR, false},
      {300, TParity::pSpace, TStopbits::sb1_5, TDatabits::db5, CS5, PARENB | CMSPAR, true},
      {1200, TParity::pNone, TStopbits::sb1_0, TDatabits::db6, CS6, 0, false},
      {250000, TParity::pNone, TStopbits::sb1_0, TDatabits::db8, CS8, 0, false},  // an odd rate (BOTHER)
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.baud);
    TFakeLines lines;
    lines.anyFrame = true;
    TComm32 port(clock, lines);
    port.SetDeviceName(pty.path);
    ASSERT_TRUE(port.SetBaudRate(c.baud));
    port.Open();
    ASSERT_TRUE(port.SetParity(c.parity));
    ASSERT_TRUE(port.SetStopbits(c.stop));
    ASSERT_TRUE(port.SetDatabits(c.data));
    std::optional<termios> mode = port.CurrentMode();
    ASSERT_TRUE(mode);
    const termios& applied = lines.applied.back();
    EXPECT_EQ(applied.c_cflag & CSIZE, c.size);
    EXPECT_EQ(applied.c_cflag & (PARENB | PARODD | CMSPAR), c.parityFlags);
    EXPECT_EQ((mode->c_cflag & CSTOPB) != 0, c.twoStop);
    EXPECT_EQ(port.CurrentBaud(), c.baud);
    // Raw: no echo, no canonical input, no output processing, no flow control by characters.
    EXPECT_EQ(mode->c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(mode->c_oflag & OPOST, 0u);
    EXPECT_EQ(mode->c_iflag & (IXON | ICRNL), 0u);
    EXPECT_NE(mode->c_cflag & CLOCAL, 0u);
  }
}

TEST_F(SerialLink, RefusedSettingsAndOutOfRangeLineParametersKeepWhatWasInForce) {
  TFakeLines lines;
  TLineCommPort link(nullptr, clock, lines);
  ASSERT_TRUE(link.SetAddress(pty.path));
  ASSERT_TRUE(link.Connect());
  // A new line: 9600 baud, 8 data bits, no parity, one stop bit, DTR on and, after Connect, RTS on.
  EXPECT_EQ(link.Port().CurrentBaud(), 9600);
  EXPECT_EQ(lines.applied.back().c_cflag & (CSIZE | PARENB | CSTOPB), CS8);
  EXPECT_EQ(lines.bits & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);

  // Even parity; the remembered DTR and RTS are put back even where the change dropped them.
  lines.bits = 0;
  link.SetLineParam(kLineParamParity, 2);
  EXPECT_EQ(lines.applied.back().c_cflag & (PARENB | PARODD), PARENB);
  EXPECT_EQ(lines.bits & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);

  const size_t appliedBefore = lines.applied.size();
  for (auto [kind, value] : {std::pair<int, int>{kLineParamParity, 5},
                             {kLineParamParity, -1},
                             {kLineParamStop, 3},
                             {kLineParamDatabits, 5},
                             {kLineParamDatabits, 0},
                             {99, 1}}) {
    SCOPED_TRACE(std::to_string(kind) + "=" + std::to_string(value));
    EXPECT_EQ(link.SetLineParam(kind, value), 0);
  }
  EXPECT_EQ(lines.applied.size(), appliedBefore);  // nothing reached the terminal
  EXPECT_EQ(link.Port().Parity(), TParity::pEven);
  EXPECT_EQ(link.Port().Databits(), TDatabits::db8);

  link.SetLineParam(kLineParamDtrDown, 0);
  link.SetLineParam(kLineParamRtsDown, 0);
  EXPECT_EQ(lines.bits & (TIOCM_DTR | TIOCM_RTS), 0);
  link.SetLineParam(kLineParamStop, 2);
  EXPECT_NE(lines.applied.back().c_cflag & CSTOPB, 0u);
}

TEST_F(SerialLink, PortWithoutModemLinesStillConnectsAndReportsNoCarrierLine) {
  TFakeLines noLines;
  noLines.hasLines = false;
  for (TCommBackend* backend : {static_cast<TCommBackend*>(&noLines), &SystemCommBackend()}) {
    TLineCommPort link(nullptr, clock, *backend);
    ASSERT_TRUE(link.SetAddress(pty.path));
    ASSERT_TRUE(link.Connect());
    EXPECT_FALSE(link.Port().HasModemLines());
    EXPECT_EQ(link.Port().ModemLineState(kLineRlsd), std::nullopt);
  }
}

TEST_F(SerialLink, SecondOpenOfTheSamePortIsRefusedUntilTheFirstCloses) {
  TLineCommPort first(nullptr, clock);
  ASSERT_TRUE(first.SetAddress(pty.path));
  ASSERT_TRUE(first.Connect());

  TComm32 second(clock);
  second.SetDeviceName(pty.path);
  try {
    second.Open();
    FAIL() << "the port opened twice";
  } catch (const EPortExcept& e) {
    EXPECT_STREQ(e.what(), "Порт недоступен");
  }
  TLineCommPort rival(nullptr, clock);
  ASSERT_TRUE(rival.SetAddress(pty.path));
  EXPECT_FALSE(rival.Connect());

  ASSERT_TRUE(first.SetHold(false));  // closes now
  EXPECT_TRUE(rival.Connect());

  TComm32 missing(clock);
  missing.SetDeviceName("/dev/no-such-port");
  EXPECT_THROW(missing.Open(), EPortExcept);
}

TEST_F(SerialLink, ReadByteTellsNoByteFromAZeroByte) {
  TLineCommPort link(nullptr, clock);
  ASSERT_TRUE(link.SetAddress(pty.path));
  ASSERT_TRUE(link.Connect());
  WriteToMaster(pty.master, std::string("\0\x41", 2));
  ASSERT_TRUE(link.WaitData(200));
  EXPECT_EQ(link.ReadByte(), 0x00);
  EXPECT_EQ(link.ReadByte(), 0x41);
  try {
    link.ReadByte();
    FAIL() << "an empty line gave a byte";
  } catch (const EPortExcept& e) {
    EXPECT_STREQ(e.what(), "Ошибка чтения даных");
  }
  EXPECT_FALSE(link.WaitData(2));
}

TEST_F(SerialLink, SendDropsStaleBytesOfTheBufferAndThePortSoTheReplyIsTheNewOne) {
  TLineCommPort link(nullptr, clock);
  ASSERT_TRUE(link.SetAddress(pty.path));
  ASSERT_TRUE(link.Connect());
  WriteToMaster(pty.master, "old");
  ASSERT_TRUE(link.WaitData(200));
  EXPECT_EQ(link.ReadByte(), 'o');    // "ld" now wait in the link's buffer
  WriteToMaster(pty.master, "late");  // and these in the port
  ASSERT_TRUE(link.Port().WaitInput(1000));
  link.Send(Bytes("Q"));
  EXPECT_EQ(ReadFromMaster(pty.master, 1), "Q");
  EXPECT_EQ(link.InCount(), 0);
  WriteToMaster(pty.master, "R");
  ASSERT_TRUE(link.WaitData(200));
  EXPECT_EQ(link.ReadByte(), 'R');
}

TEST_F(SerialLink, LongTextIsRefusedWholeAndLongDataIsSentWhole) {
  TLineCommPort link(nullptr, clock);
  ASSERT_TRUE(link.SetAddress(pty.path));
  ASSERT_TRUE(link.Connect());
  const std::string text(TComm32::kMaxWriteText + 1, 'T');
  EXPECT_THROW(link.Port().WriteText(text), EWriteExcept);
  EXPECT_EQ(link.Port().WriteText(text.substr(1)), static_cast<int>(TComm32::kMaxWriteText));
  EXPECT_EQ(ReadFromMaster(pty.master, TComm32::kMaxWriteText), text.substr(1));

  std::string data(3000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  link.Send(Bytes(data));
  EXPECT_EQ(ReadFromMaster(pty.master, data.size()), data);
}

TEST_F(SerialLink, LineThatHangsUpIsALostConnectionAndReopensOnTheNextConnect) {
  TLineCommPort link(nullptr, clock);
  ASSERT_TRUE(link.SetAddress(pty.path));
  ASSERT_TRUE(link.Connect());
  ::close(pty.master);
  ::close(pty.slave);
  pty.master = pty.slave = -1;
  EXPECT_FALSE(link.WaitData(10));
  EXPECT_THROW(link.CheckLink(), EConnectExcept);
  EXPECT_FALSE(link.Port().Connected());
}

TEST_F(SerialLink, StoredPortNameOpensTheMappedDevice) {
  test::TTempDir dir("serial-map");
  TPortMap map;
  ASSERT_EQ(map.Map("COM7", pty.path), "");
  ASSERT_EQ(map.Save(dir.Path()), "");
  SetPortMapFolder(dir.Path());
  TLineCommPort link(nullptr, clock);
  ASSERT_TRUE(link.SetAddress("com7"));
  EXPECT_TRUE(link.Connect());
  EXPECT_EQ(link.Port().DeviceName(), pty.path);
  link.Send(Bytes("hi"));
  EXPECT_EQ(ReadFromMaster(pty.master, 2), "hi");
  SetPortMapFolder({});
  EXPECT_FALSE(TLineCommPort(nullptr, clock).SetAddress("COM1234"));  // longer than a key holds
}

// socat joins two pseudo-terminals: the link on one end, the test as the device on the other, with no code
// of ours between them.
TEST(SerialLinkSocat, BytesCrossAPtyPairBothWaysWithTheLinksSettings) {
  ORVELA_REQUIRE_PEER("socat");
  test::TTempDir dir("serial-socat");
  const std::string a = (dir.Path() / "a").string(), b = (dir.Path() / "b").string();
  test::TProcess socat(
      {test::FindPeer("socat"), "-d", "-d", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b});
  ASSERT_TRUE(socat.Started()) << socat.StartError();
  for (int i = 0; i < 200 && !(std::filesystem::exists(a) && std::filesystem::exists(b)); ++i)
    ::usleep(10'000);
  ASSERT_TRUE(std::filesystem::exists(a) && std::filesystem::exists(b));

  ScaledClock clock(50);
  ::setenv(kPortsEnvironment, ("COM5=" + a).c_str(), 1);
  TLineCommPort link(nullptr, clock);
  ASSERT_TRUE(link.SetAddress("COM5"));
  const bool connected = link.Connect();
  ::unsetenv(kPortsEnvironment);
  ASSERT_TRUE(connected);
  link.SetLineParam(kLineParamStop, 2);
  ASSERT_TRUE(link.Port().SetBaudRate(19200));
  ASSERT_TRUE(link.Port().CurrentMode());
  EXPECT_NE(link.Port().CurrentMode()->c_cflag & CSTOPB, 0u);
  EXPECT_EQ(link.Port().CurrentBaud(), 19200);

  int device = ::open(b.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(device, 0);
  link.Send(Bytes("ping"));
  EXPECT_EQ(ReadFromMaster(device, 4), "ping");
  WriteToMaster(device, "pong");
  std::string got;
  while (got.size() < 4 && link.WaitData(400)) got += static_cast<char>(link.ReadByte());
  EXPECT_EQ(got, "pong");
  ::close(device);
}

}  // namespace
}  // namespace orvela
