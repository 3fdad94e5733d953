// The ModBus RTU framing over a real TCP link against independent slaves: libmodbus and pymodbus, each on a
// pseudo-terminal that socat joins to the TCP connection, and pymodbus speaking RTU frames over TCP itself.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "drivers/DriverRecords.h"
#include "links/TcpConnectionPort.h"
#include "protocols/ModBusProtocol.h"
#include "support/LoopbackPeer.h"
#include "support/Peers.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace orvela {
namespace {

using test::Bytes;

constexpr uint8_t kSlave = 17;
const std::string kLibModbusSlave = std::string(ORVELA_BINARY_DIR) + "/tests/modbus_peer_slave";
const std::string kPyModbusSlave = std::string(ORVELA_SOURCE_DIR) + "/tests/support/peers/pymodbus_slave.py";
constexpr const char* kPython = "/usr/bin/python3";

enum class TPeerKind { LibModbusPty, PyModbusPty, PyModbusTcp };

std::string PeerName(TPeerKind kind) {
  switch (kind) {
    case TPeerKind::LibModbusPty:
      return "LibModbusOnPty";
    case TPeerKind::PyModbusPty:
      return "PyModbusOnPty";
    case TPeerKind::PyModbusTcp:
      return "PyModbusRtuOverTcp";
  }
  return "";
}

// Whether pymodbus (and the serial modules its server imports) is there for the system's python.
bool PyModbusInstalled() {
  if (test::FindPeer(kPython).empty()) return false;
  test::TProcess probe({kPython, "-c", "import pymodbus.server"});
  return probe.Finish(20'000).exitCode == 0;
}

uint16_t FreeTcpPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = test::detail::Loopback(0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  uint16_t port = test::detail::BoundPort(fd);
  ::close(fd);
  return port;
}

// Runs a slave on a pseudo-terminal that socat joins to the accepted connection.
void ServeOnPty(int fd, const std::string& dir, const std::string& slave, std::stop_token stop) {
  std::string tty = dir + "/tty";
  // A background job's standard input is /dev/null: socat gets the connection as descriptor 3.
  std::string command = "exec 3<&0; socat FD:3 PTY,link=" + tty + ",rawer 2>>" + dir +
                        "/peer.log & i=0; while [ ! -e " + tty +
                        " ] && [ $i -lt 250 ]; do sleep 0.02; i=$((i+1)); done; exec " + slave + " " + tty +
                        " " + std::to_string(kSlave) + " 2>>" + dir + "/peer.log";
  test::TProcessOptions options;
  options.stdioFd = fd;
  options.ownGroup = true;
  test::TProcess child({"/bin/sh", "-c", command}, options);
  RealClock clock;
  while (child.Running() && !stop.stop_requested()) clock.Sleep(5);
}

class ModBusPeers : public testing::TestWithParam<TPeerKind> {
 protected:
  void SetUp() override {
    bool python = GetParam() != TPeerKind::LibModbusPty;
    if (GetParam() != TPeerKind::PyModbusTcp) ORVELA_REQUIRE_PEER("socat");
    if (python && !PyModbusInstalled()) {
      ORVELA_REQUIRE_PEER("python3-pymodbus (import pymodbus.server under /usr/bin/python3)");
    }
    if (!python) ORVELA_REQUIRE_PEER(kLibModbusSlave);
    std::string address;
    if (GetParam() == TPeerKind::PyModbusTcp) {
      uint16_t port = FreeTcpPort();
      server_ = std::make_unique<test::TProcess>(std::vector<std::string>{
          kPython, kPyModbusSlave, "tcp", std::to_string(port), std::to_string(kSlave)});
      address = "127.0.0.1:" + std::to_string(port);
    } else {
      std::string slave = python ? std::string(kPython) + " " + kPyModbusSlave + " serial" : kLibModbusSlave;
      std::string dir = dir_.Path().string();
      peer_ = std::make_unique<test::TLoopbackTcpPeer>(
          [dir, slave](int fd, std::stop_token stop) { ServeOnPty(fd, dir, slave, stop); });
      address = peer_->Address();
    }
    settings_.EchoTested = 1;
    link_ = std::make_unique<TTCPConnectionPort>(&settings_, clock_);
    ASSERT_TRUE(link_->SetAddress(address));
    framing_.SetLink(link_.get());
    framing_.SetRequestPauseMs(0);
    // The slave serves once it has opened its line (or its port): until then requests go unanswered.
    RealClock real;
    for (int i = 0; i < 30 && !ready_; ++i) {
      ready_ = Read({kSlave, 0x03, 0x00, 0x00, 0x00, 0x01}) == 0;
      if (!ready_) real.Sleep(100);
    }
    ASSERT_TRUE(ready_) << "the peer never answered: " << test::ReadText(dir_ / "peer.log");
  }

  int Read(const Bytes& request, int code = 4) { return framing_.Transact(code, request, buffer_); }
  Bytes Head(size_t n) const {
    return Bytes(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
  }

  test::TTempDir dir_{"orvela-modbus"};
  std::unique_ptr<test::TProcess> server_;
  std::unique_ptr<test::TLoopbackTcpPeer> peer_;
  ScaledClock clock_{10};  // the peers answer in real time; the framing's time-outs need not
  TConnSettings settings_;
  std::unique_ptr<TTCPConnectionPort> link_;
  ModBusProtocol framing_;
  TBytes buffer_;
  bool ready_ = false;
};

TEST_P(ModBusPeers, ReadsAndWrites) {
  ASSERT_EQ(Read({kSlave, 0x03, 0x00, 0x02, 0x00, 0x03}), 0);
  EXPECT_EQ(Head(7), (Bytes{0x06, 0x02, 0x10, 0x03, 0x10, 0x04, 0x10}));
  ASSERT_EQ(Read({kSlave, 0x03, 0x00, 0x02, 0x00, 0x02}, modbus::kCodeWireOrder), 0);
  EXPECT_EQ(Head(5), (Bytes{0x04, 0x10, 0x02, 0x10, 0x03}));
  ASSERT_EQ(Read({kSlave, 0x04, 0x00, 0x05, 0x00, 0x01}), 0);
  EXPECT_EQ(Head(3), (Bytes{0x02, 0x05, 0x20}));
  ASSERT_EQ(Read({kSlave, 0x01, 0x00, 0x00, 0x00, 0x0A}), 0);
  EXPECT_EQ(Head(3), (Bytes{0x02, 0x49, 0x02}));  // coils 0, 3, 6, 9
  ASSERT_EQ(Read({kSlave, 0x06, 0x00, 0x07, 0xBE, 0xEF}), 0);
  EXPECT_EQ(Head(4), (Bytes{0x00, 0x07, 0xBE, 0xEF}));
  ASSERT_EQ(Read({kSlave, 0x10, 0x00, 0x08, 0x00, 0x02, 0x04, 0x12, 0x34, 0x56, 0x78}, modbus::kCodeWrite),
            0);
  EXPECT_EQ(Head(6), (Bytes{kSlave, 0x10, 0x00, 0x08, 0x00, 0x02}));
  ASSERT_EQ(Read({kSlave, 0x03, 0x00, 0x07, 0x00, 0x03}, modbus::kCodeWireOrder), 0);
  EXPECT_EQ(Head(7), (Bytes{0x06, 0xBE, 0xEF, 0x12, 0x34, 0x56, 0x78}));
}

TEST_P(ModBusPeers, ExceptionCodes) {
  struct TCase {
    Bytes request;
    uint8_t exception;
  };
  const TCase cases[] = {
      {{kSlave, 0x03, 0x00, 0xC8, 0x00, 0x01}, 0x02},  // beyond the registers
      {{kSlave, 0x04, 0x00, 0x63, 0x00, 0x02}, 0x02},  // runs past the last input register
      {{kSlave, 0x03, 0x00, 0x00, 0x00, 0x7E}, 0x03},  // more registers than a reply holds
  };
  std::vector<TCase> all(std::begin(cases), std::end(cases));
  // pymodbus's RTU framer cannot find the end of a function it does not know and stays silent, and it
  // takes any coil value.
  if (GetParam() == TPeerKind::LibModbusPty) {
    all.push_back({{kSlave, 0x41}, 0x01});
    all.push_back({{kSlave, 0x05, 0x00, 0x01, 0x12, 0x34}, 0x03});  // a coil is FF00 or 0000
  }
  for (const TCase& c : all) {
    EXPECT_EQ(Read(c.request), modbus::kExceptionReply) << HexDump(c.request);
    EXPECT_EQ(buffer_[0], c.exception) << HexDump(c.request);
    EXPECT_EQ(buffer_[1], 0xFF);
  }
  // The link stays usable after each of them.
  EXPECT_EQ(Read({kSlave, 0x03, 0x00, 0x00, 0x00, 0x01}), 0);
}

TEST_P(ModBusPeers, SilentOtherAddressIsAFailureNotAHang) {
  EXPECT_EQ(Read({kSlave + 1, 0x03, 0x00, 0x00, 0x00, 0x01}), modbus::kFailed);
  EXPECT_GE(framing_.Counters().readFailures, 1);
  EXPECT_EQ(Read({kSlave, 0x03, 0x00, 0x00, 0x00, 0x01}), 0);
}

INSTANTIATE_TEST_SUITE_P(Peers, ModBusPeers,
                         testing::Values(TPeerKind::LibModbusPty, TPeerKind::PyModbusPty,
                                         TPeerKind::PyModbusTcp),
                         [](const auto& info) { return PeerName(info.param); });

}  // namespace
}  // namespace orvela
