// The simulator's own wire checks: a raw host side written here from the block format alone, and an
// independent XModem peer (lrzsz). The readers' tests show the rest end to end.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "metersim/TarvelDevice.h"
#include "metersim/Values.h"

namespace orvela::sim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSoh = 0x01, kEot = 0x04, kAck = 0x06, kNak = 0x15, kC = 'C';

uint16_t HostCrc(const uint8_t* data, size_t size) {
  uint16_t crc = 0;
  for (size_t i = 0; i < size; ++i) {
    crc ^= static_cast<uint16_t>(data[i] << 8);
    for (int b = 0; b < 8; ++b) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

// Host side of one exchange, byte by byte, so that each step can be watched.
class TRawHost {
 public:
  static TRawHost Tcp(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return TRawHost(fd);
  }
  static TRawHost Pty(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd, 0);
    termios mode{};
    ::tcgetattr(fd, &mode);
    ::cfmakeraw(&mode);
    ::tcsetattr(fd, TCSANOW, &mode);
    ::tcflush(fd, TCIOFLUSH);
    return TRawHost(fd);
  }
  TRawHost(TRawHost&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  ~TRawHost() {
    if (fd_ >= 0) ::close(fd_);
  }

  int Read(int ms = 2000) {
    pollfd p{fd_, POLLIN, 0};
    uint8_t b = 0;
    if (::poll(&p, 1, ms) <= 0 || ::read(fd_, &b, 1) != 1) return -1;
    return b;
  }
  Bytes ReadN(size_t n) {
    Bytes out;
    while (out.size() < n) {
      int b = Read();
      if (b < 0) break;
      out.push_back(static_cast<uint8_t>(b));
    }
    return out;
  }
  // Everything heard within ms.
  Bytes ReadFor(int ms) {
    Bytes out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      int b = Read(10);
      if (b >= 0) out.push_back(static_cast<uint8_t>(b));
    }
    return out;
  }
  void Write(const Bytes& bytes) {
    ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }
  void Put(uint8_t b) { Write({b}); }

  bool WaitPrompt() {
    for (int b = Read(); b >= 0; b = Read()) {
      if (b == kC) return true;
    }
    return false;
  }
  static Bytes RequestBlock(const Bytes& message) {
    Bytes block = {kSoh, 1, 0xFE};
    block.insert(block.end(), message.begin(), message.end());
    block.resize(131, 0x1A);
    uint16_t crc = HostCrc(block.data() + 3, 128);
    block.push_back(static_cast<uint8_t>(crc >> 8));
    block.push_back(static_cast<uint8_t>(crc));
    return block;
  }
  // Waits for the prompt, sends the block and its EOT: the device's answers to both.
  std::pair<int, int> SendRequest(const Bytes& message) {
    if (!WaitPrompt()) return {-1, -1};
    Write(RequestBlock(message));
    int blockAnswer = Read();
    if (blockAnswer != kAck) return {blockAnswer, -1};
    Put(kEot);
    return {blockAnswer, Read()};
  }
  // One reply block after SOH: number, complement, data, CRC; empty on a time-out.
  Bytes ReadBlockBody() {
    Bytes body = ReadN(132);
    return body.size() == 132 ? body : Bytes{};
  }
  static bool Good(const Bytes& body) {
    return body.size() == 132 && body[0] + body[1] == 255 && HostCrc(body.data() + 2, 130) == 0;
  }
  // The whole answer message as a well-behaved host takes it; empty when anything went wrong.
  Bytes Receive() {
    Put(kC);
    Bytes payload;
    for (int b = Read(); b == kSoh; b = Read()) {
      Bytes body = ReadBlockBody();
      if (!Good(body)) return {};
      payload.insert(payload.end(), body.begin() + 2, body.begin() + 130);
      Put(kAck);
    }
    Put(kAck);  // to the EOT
    if (payload.size() < 4) return {};
    payload.resize(std::min<size_t>(payload.size(), 4 + (payload[2] | payload[3] << 8)));
    return payload;
  }
  Bytes Exchange(const Bytes& message) {
    auto [block, eot] = SendRequest(message);
    return block == kAck && eot == kAck ? Receive() : Bytes{};
  }

 private:
  explicit TRawHost(int fd) : fd_(fd) {}
  int fd_;
};

Bytes Read4A(uint8_t address, Bytes ids) {
  Bytes m = {0, 0x4A, 0, 0, static_cast<uint8_t>(2 + ids.size()), 3, address};
  m.insert(m.end(), ids.begin(), ids.end());
  m[2] = static_cast<uint8_t>(m.size() - 4);
  return m;
}

class MetersimLine : public ::testing::Test {
 protected:
  void SetUp() override {
    line_ = std::make_unique<TLine>(TLineOptions{nullptr, &calendar_, 20, 0});
    line_->AddDevice(MakeDevice("tarvel2001", 1, "12345678"));
    line_->AddDevice(MakeDevice("tarvelf", 2, "87654321"));
    line_->ListenTcp("127.0.0.1", 0);
  }
  TSimDevice& Device(uint8_t a) { return *line_->FindDevice(a); }

  ManualClock calendar_{EncodeDateTime(2024, 3, 10, 14, 25, 30)};
  std::unique_ptr<TLine> line_;
};

TEST_F(MetersimLine, AnswersScanIdentificationAndSerialOverTcpAndPseudoTerminal) {
  std::string pty = line_->OpenPty();
  struct TCase {
    const char* name;
    Bytes request;
    std::function<void(const Bytes&)> check;
  };
  std::vector<TCase> cases = {
      {"scan",
       {0, 0x48, 2, 0, 1, 3},
       [](const Bytes& r) {
         ASSERT_GE(r.size(), 10u);
         EXPECT_EQ(r[1], 12);
         EXPECT_EQ(r[5], 2);
         EXPECT_EQ(r[6], 1);
         EXPECT_EQ(r[8], 2);
       }},
      {"device root",
       {0, 0x48, 6, 0, 2, 3, 1, 0, 0, 0},
       [](const Bytes& r) {
         ASSERT_GE(r.size(), 7u);
         EXPECT_EQ(r[1], 12);
         EXPECT_EQ(r[6] & 0x0F, 1);
       }},
      {"model 2001", Read4A(1, {0x81, 0, 0}), [](const Bytes& r) { EXPECT_EQ(r.at(1) & 0x0F, 8); }},
      {"model F", Read4A(2, {0x81, 0, 0}), [](const Bytes& r) { EXPECT_EQ(r.at(1) & 0x0F, 3); }},
      {"serial", Read4A(2, {0x41, 0x2F, 0x29}),
       [](const Bytes& r) {
         ASSERT_GE(r.size(), 21u);
         EXPECT_EQ(std::string(r.begin() + 13, r.begin() + 21), "87654321");
       }},
  };
  for (bool overPty : {false, true}) {
    TRawHost host = overPty ? TRawHost::Pty(pty) : TRawHost::Tcp(line_->Port());
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (overPty ? " over the pseudo-terminal" : " over TCP"));
      Bytes reply = host.Exchange(c.request);
      ASSERT_FALSE(reply.empty());
      c.check(reply);
    }
  }
}

// The fault switches as a reader meets them on the wire.
TEST_F(MetersimLine, InjectedFaultsShowOnTheWire) {
  Bytes serial = Read4A(1, {0x41, 0x2F, 0x29});
  struct TCase {
    const char* name;
    std::function<void(TFaults&)> fault;
    std::function<void(TRawHost&)> run;
  };
  std::vector<TCase> cases = {
      {"bad CRC, good after NAK", [](TFaults& f) { f.badCrc = 1; },
       [&](TRawHost& h) {
         ASSERT_EQ(h.SendRequest(serial), std::make_pair(int(kAck), int(kAck)));
         h.Put(kC);
         ASSERT_EQ(h.Read(), kSoh);
         EXPECT_FALSE(TRawHost::Good(h.ReadBlockBody()));
         h.Put(kNak);
         ASSERT_EQ(h.Read(), kSoh);
         EXPECT_TRUE(TRawHost::Good(h.ReadBlockBody()));
       }},
      {"request refused once", [](TFaults& f) { f.nakRequests = 1; },
       [&](TRawHost& h) {
         EXPECT_EQ(h.SendRequest(serial).first, kNak);
         EXPECT_FALSE(h.Exchange(serial).empty());
       }},
      {"silent device", [](TFaults& f) { f.silent = true; },
       [&](TRawHost& h) {
         ASSERT_EQ(h.SendRequest(serial), std::make_pair(int(kAck), int(kAck)));
         h.Put(kC);
         Bytes heard = h.ReadFor(300);
         EXPECT_FALSE(heard.empty());  // it goes back to prompting
         EXPECT_EQ(std::count(heard.begin(), heard.end(), kC), std::ssize(heard));
       }},
      {"repeated block", [](TFaults& f) { f.repeatBlocks = 1; },
       [&](TRawHost& h) {
         ASSERT_EQ(h.SendRequest(serial), std::make_pair(int(kAck), int(kAck)));
         h.Put(kC);
         for (int copy = 0; copy < 2; ++copy) {
           ASSERT_EQ(h.Read(), kSoh);
           Bytes body = h.ReadBlockBody();
           EXPECT_TRUE(TRawHost::Good(body));
           EXPECT_EQ(body.at(0), 1);
           h.Put(kAck);
         }
         EXPECT_EQ(h.Read(), kEot);
         h.Put(kAck);
       }},
      {"declared length beyond the blocks", [](TFaults& f) { f.shortReplies = 1; },
       [&](TRawHost& h) {
         ASSERT_EQ(h.SendRequest(serial), std::make_pair(int(kAck), int(kAck)));
         h.Put(kC);
         ASSERT_EQ(h.Read(), kSoh);
         Bytes body = h.ReadBlockBody();
         ASSERT_TRUE(TRawHost::Good(body));
         EXPECT_GT(4 + (body[4] | body[5] << 8), 128);
       }},
      {"wrong serial", [](TFaults& f) { f.serial = "00000001"; },
       [&](TRawHost& h) {
         Bytes r = h.Exchange(serial);
         ASSERT_GE(r.size(), 21u);
         EXPECT_EQ(std::string(r.begin() + 13, r.begin() + 21), "00000001");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Device(1).Faults().Set({});
    Device(1).Faults().Update(c.fault);
    TRawHost host = TRawHost::Tcp(line_->Port());
    c.run(host);
  }
}

// A multi-block archive answer, through an XModem implementation that is not ours, holds the ring the
// value functions describe.
TEST_F(MetersimLine, ArchiveDatesReachAnIndependentXModemPeer) {
  for (const char* tool : {"sx", "rx", "socat"}) {
    if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0) {
      GTEST_SKIP() << tool << " is not installed";
    }
  }
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("metersim_peer_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  Bytes request = Read4A(1, {1, 26, 14});
  std::ofstream(dir / "req.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(request.data()), static_cast<std::streamsize>(request.size()));
  std::ofstream(dir / "peer.sh") << "#!/bin/sh\nsx -q req.bin && rx -c -q reply.bin\n";
  fs::permissions(dir / "peer.sh", fs::perms::owner_all);
  std::string command = "cd " + dir.string() +
                        " && timeout 30 socat TCP:127.0.0.1:" + std::to_string(line_->Port()) +
                        " EXEC:./peer.sh >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::ifstream in(dir / "reply.bin", std::ios::binary);
  Bytes reply((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fs::remove_all(dir);

  const TArchiveDef& hours = *Tarvel2001Layout().FindArchive(1, 26);
  TRing ring = ArchiveRing(hours.period, hours.ringSize, calendar_.Now(), false);
  size_t length = 4 + (reply.at(2) | reply.at(3) << 8);
  ASSERT_EQ(length, 13u + 5u * ring.Size());
  ASSERT_GT(reply.size(), 256u);  // three blocks
  EXPECT_EQ(reply[1], 8);
  EXPECT_EQ(reply[11], ring.newest);
  EXPECT_EQ(reply[12], ring.Size());
  EXPECT_EQ(PeriodStart(EPeriod::Hour, ring.index[ring.newest]), EncodeDateTime(2024, 3, 10, 13));
  for (int r = 0; r < ring.Size(); ++r) {
    SYSTEMTIME st = DateTimeToSystemTime(PeriodStart(hours.period, ring.index[r]));
    const uint8_t* rec = &reply[13 + 5 * r];
    EXPECT_EQ((Bytes{rec, rec + 5}),
              (Bytes{uint8_t(st.wYear % 100), uint8_t(st.wMonth), uint8_t(st.wDay), uint8_t(st.wHour), 0}))
        << "ring position " << r;
  }
}

}  // namespace
}  // namespace orvela::sim
