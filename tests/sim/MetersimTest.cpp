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
#include <filesystem>
#include <iterator>

#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "metersim/TarvelDevice.h"
#include "metersim/Values.h"
#include "metersim/XModemEndpoint.h"
#include "support/Peers.h"
#include "support/Process.h"
#include "support/TempDir.h"

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

  // The next byte that is not an idle prompt: the device prompts on its own timer, so a prompt sent
  // before it saw the host's last bytes may still be on its way.
  int ReadPastPrompts() {
    int b = Read();
    while (b == kC) b = Read();
    return b;
  }
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
    int blockAnswer = ReadPastPrompts();
    if (blockAnswer != kAck) return {blockAnswer, -1};
    Put(kEot);
    return {blockAnswer, ReadPastPrompts()};
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
    for (int b = ReadPastPrompts(); b == kSoh; b = Read()) {
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
  Bytes m(7 + ids.size());
  m[1] = 0x4A;
  m[2] = static_cast<uint8_t>(m.size() - 4);
  m[4] = static_cast<uint8_t>(2 + ids.size());
  m[5] = 3;
  m[6] = address;
  std::copy(ids.begin(), ids.end(), m.begin() + 7);
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

Bytes List48(uint8_t address, Bytes ids) {
  Bytes m = Read4A(address, std::move(ids));
  m[1] = 0x48;
  return m;
}

// The lying modes by the names the command line gives them, each as a host meets it on the wire.
TEST_F(MetersimLine, LyingRepliesShowOnTheWire) {
  Bytes serial = Read4A(1, {0x41, 0x2F, 0x29});
  auto expectSerial = [](const Bytes& r, const Bytes& field) {
    ASSERT_GE(r.size(), 21u);
    EXPECT_EQ(Bytes(r.begin() + 13, r.begin() + 21), field);
  };
  struct TCase {
    const char* spec;
    std::function<void(TRawHost&)> run;
  };
  std::vector<TCase> cases = {
      {"resend-forever",
       [&](TRawHost& h) {
         ASSERT_EQ(h.SendRequest(serial), std::make_pair(int(kAck), int(kAck)));
         h.Put(kC);
         // Whatever the host answers, block 1 comes again with a good check sum.
         for (uint8_t answer : {kAck, kAck, kNak, kC, kEot, kAck, kAck}) {
           ASSERT_EQ(h.Read(), kSoh);
           Bytes body = h.ReadBlockBody();
           ASSERT_TRUE(TRawHost::Good(body));
           EXPECT_EQ(body[0], 1);
           h.Put(answer);
         }
         EXPECT_EQ(h.Read(), kSoh);
       }},
      {"garbage=1",
       [&](TRawHost& h) {
         ASSERT_EQ(h.SendRequest(serial), std::make_pair(int(kAck), int(kAck)));
         h.Put(kC);
         ASSERT_EQ(h.Read(), kSoh);
         Bytes garbage = h.ReadBlockBody();
         ASSERT_TRUE(TRawHost::Good(garbage));
         h.Put(kAck);
         ASSERT_EQ(h.Read(), kEot);  // one block, as the true answer
         h.Put(kAck);
         Bytes truth = h.Exchange(serial);
         ASSERT_EQ(truth.size(), 21u);
         EXPECT_NE(Bytes(garbage.begin() + 2, garbage.begin() + 2 + 21), truth);
       }},
      {"wrong-code",
       [&](TRawHost& h) {
         Bytes r = h.Exchange(serial);
         ASSERT_GE(r.size(), 7u);
         EXPECT_EQ(r[1], 12);  // a list code on a data answer
         expectSerial(r, {'1', '2', '3', '4', '5', '6', '7', '8'});
       }},
      {"wrong-address",
       [&](TRawHost& h) {
         Bytes r = h.Exchange(serial);
         ASSERT_GE(r.size(), 7u);
         EXPECT_EQ(r[1], 8);
         EXPECT_EQ(r[5], 3);
         EXPECT_EQ(r[6], 2);  // another meter's address echoed
         expectSerial(r, {'1', '2', '3', '4', '5', '6', '7', '8'});
       }},
      {"serial-hex=01FF7F0D0A1B8081",
       [&](TRawHost& h) {
         expectSerial(h.Exchange(serial), {0x01, 0xFF, 0x7F, 0x0D, 0x0A, 0x1B, 0x80, 0x81});
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.spec);
    TFaults faults;
    std::string error;
    ASSERT_TRUE(ApplyFaultSpec(faults, c.spec, error)) << error;
    Device(1).Faults().Set(faults);
    TRawHost host = TRawHost::Tcp(line_->Port());
    c.run(host);
  }
}

TEST(MetersimFaults, SpecsAreCheckedByNameAndValue) {
  for (const char* bad :
       {"resend", "drip-ms", "drip-ms=-1", "drip-ms=60001", "serial-hex=", "serial-hex=0", "serial-hex=XY",
        "serial-hex=+1", "serial-hex=010203040506070809", "ring-fill=256", "ring-fill=-1", "garbage=x"}) {
    TFaults faults;
    std::string error;
    EXPECT_FALSE(ApplyFaultSpec(faults, bad, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  TFaults faults;
  std::string error;
  for (const char* good : {"drip-ms=250", "ring-fill=0", "serial-hex=4142", "wrong-code=2"}) {
    EXPECT_TRUE(ApplyFaultSpec(faults, good, error)) << good << ": " << error;
  }
  EXPECT_EQ(faults.dripMs, 250);
  EXPECT_EQ(faults.ringFill, 0);
  EXPECT_EQ(faults.serial, "AB");
  EXPECT_EQ(faults.wrongCode, 2);
}

// A meter says "no" and "nothing" in six bytes; the host must not count on anything longer.
TEST_F(MetersimLine, RefusalsAndEmptyListsAreAsShortAsAMetersOwn) {
  struct TCase {
    const char* name;
    Bytes request;
    Bytes answer;
  };
  const std::vector<TCase> cases = {
      {"model query of a Tarvel F", Read4A(2, {0x81, 0, 0}), {0, 3, 2, 0, 5, 0}},
      {"read of a node the meter lacks", Read4A(1, {1, 9, 0x0E}), {0, 3, 2, 0, 5, 0}},
      {"list of a node the meter lacks", List48(1, {1, 9, 0x0E}), {0, 3, 2, 0, 5, 0}},
      {"list of a current parameter", List48(1, {1, 9, 0x00}), {0, 12, 2, 0, 5, 0}},
      {"list of a timer value", List48(2, {17, 9}), {0, 12, 2, 0, 4, 0}},
      {"list of an archive column", List48(1, {1, 26, 14}), {0, 12, 2, 0, 5, 0}},
  };
  TRawHost host = TRawHost::Tcp(line_->Port());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(host.Exchange(c.request), c.answer);
  }
}

// An archive column as the raw host reads it, split into its records.
struct TColumn {
  int size = 0, newest = 0, count = 0;
  Bytes raw;  // the whole answer
  Bytes Record(int position) const {
    auto at = raw.begin() + 13 + position * size;
    return Bytes(at, at + size);
  }
  bool Written(int position) const {
    Bytes r = Record(position);
    return std::any_of(r.begin(), r.end(), [](uint8_t b) { return b != 0xFF; });
  }
};

// A partly written ring keeps its records where a reader that stops at the first reply block misses
// them, and the rest of the ring reads as never written.
TEST_F(MetersimLine, PartlyFilledRingsKeepTheirRecordsPastTheFirstBlock) {
  TRawHost host = TRawHost::Tcp(line_->Port());
  struct TMeter {
    uint8_t address;
    const TTarvelLayout& layout;
  };
  for (const TMeter& meter : {TMeter{1, Tarvel2001Layout()}, TMeter{2, TarvelFLayout()}}) {
    for (const TArchiveDef& archive : meter.layout.archives) {
      for (int fill : {0, 1, 9}) {
        SCOPED_TRACE(std::string(meter.layout.family) + " archive " + std::to_string(archive.id) + " fill " +
                     std::to_string(fill));
        Device(meter.address).Faults().Update([fill](TFaults& f) { f.ringFill = fill; });
        TColumn columns[2];
        for (int c = 0; c < 2; ++c) {
          uint8_t param = c == 0 ? 14 : archive.columns.front();
          TColumn& col = columns[c];
          col.raw = host.Exchange(Read4A(meter.address, {archive.branch, archive.id, param}));
          ASSERT_GE(col.raw.size(), 13u);
          col.size = col.raw[10];
          col.newest = col.raw[11];
          col.count = col.raw[12];
          ASSERT_EQ(col.count, archive.ringSize);
          ASSERT_EQ(col.raw.size(), 13u + size_t(col.size * col.count));
        }
        int written = std::min(fill, int(archive.ringSize));
        // The written records: contiguous, ending at the newest position, the same in both columns.
        std::vector<int> positions;
        for (int p = 0; p < archive.ringSize; ++p) {
          if (columns[0].Written(p)) positions.push_back(p);
          EXPECT_EQ(columns[0].Written(p), columns[1].Written(p)) << "position " << p;
        }
        ASSERT_EQ(std::ssize(positions), written);
        if (written == 0) continue;
        EXPECT_EQ(positions.back(), columns[0].newest);
        EXPECT_EQ(columns[1].newest, columns[0].newest);
        EXPECT_EQ(positions.back() - positions.front() + 1, written);
        // They hold the newest periods of the meter's ring.
        TRing full =
            ArchiveRing(archive.period, archive.ringSize, calendar_.Now(), meter.layout.newestInProgress);
        for (int i = 0; i < written; ++i) {
          SYSTEMTIME st = DateTimeToSystemTime(
              PeriodStart(archive.period, full.index[size_t(full.newest)] - (written - 1 - i)));
          Bytes date = columns[0].Record(positions[size_t(i)]);
          EXPECT_EQ(Bytes(date.begin(), date.begin() + 4), (Bytes{uint8_t(st.wYear % 100), uint8_t(st.wMonth),
                                                                  uint8_t(st.wDay), uint8_t(st.wHour)}));
        }
        // Where the ring reaches far enough, nothing written lies in the first block of either column.
        bool fits = std::all_of(std::begin(columns), std::end(columns), [&](const TColumn& col) {
          return 13 + (archive.ringSize - written) * col.size >= 128;
        });
        if (!fits) continue;
        for (const TColumn& col : columns) {
          EXPECT_TRUE(
              std::all_of(col.raw.begin() + 13, col.raw.begin() + 128, [](uint8_t b) { return b == 0xFF; }));
        }
      }
    }
  }
}

// Line and calendar on a clock that moves only when the test moves it: what the device does at a given
// moment shows without any timing.
class MetersimTimedLine : public ::testing::Test {
 protected:
  static constexpr int64_t kInterval = 1'000;
  void SetUp() override {
    clock_.Advance(300);  // peers connect between two prompts
    line_ = std::make_unique<TLine>(TLineOptions{&clock_, &clock_, kInterval, 0});
    line_->AddDevice(MakeDevice("tarvel2001", 1, "12345678"));
    line_->ListenTcp("127.0.0.1", 0);
  }
  static constexpr int kQuietMs = 150;  // real time in which nothing may arrive

  ManualClock clock_{EncodeDateTime(2024, 3, 10, 14, 25, 30)};
  std::unique_ptr<TLine> line_;
};

TEST_F(MetersimTimedLine, PromptsComeOnTheDevicesOwnTimerNotOnDemand) {
  TRawHost first = TRawHost::Tcp(line_->Port());
  EXPECT_TRUE(first.ReadFor(kQuietMs).empty());
  first.Put(kC);
  first.Put(kEot);
  clock_.Advance(600);  // tick 900
  EXPECT_TRUE(first.ReadFor(kQuietMs).empty()) << "prompted on demand";
  clock_.Advance(100);  // tick 1000
  EXPECT_EQ(first.Read(), kC);
  clock_.Advance(300);  // tick 1300: a second peer connects
  TRawHost second = TRawHost::Tcp(line_->Port());
  EXPECT_TRUE(second.ReadFor(kQuietMs).empty()) << "prompted at connection";
  clock_.Advance(700);  // tick 2000: both hear the same timer
  EXPECT_EQ(first.Read(), kC);
  EXPECT_EQ(second.Read(), kC);
  EXPECT_TRUE(first.ReadFor(kQuietMs).empty());
}

TEST_F(MetersimTimedLine, DrippedReplyComesOneByteAtATime) {
  constexpr int64_t kDripMs = 40;
  line_->FindDevice(1)->Faults().Update([](TFaults& f) { f.dripMs = kDripMs; });
  TRawHost host = TRawHost::Tcp(line_->Port());
  clock_.Advance(700);  // the prompt at tick 1000
  Bytes request = Read4A(1, {0x41, 0x2F, 0x29});
  ASSERT_EQ(host.SendRequest(request), std::make_pair(int(kAck), int(kAck)));
  host.Put(kC);
  Bytes block;
  for (size_t i = 0; i < xmodem::kBlockSize; ++i) {
    int byte = host.Read();
    ASSERT_GE(byte, 0) << "byte " << i;
    block.push_back(static_cast<uint8_t>(byte));
    ASSERT_TRUE(host.ReadFor(i < 2 ? kQuietMs : 2).empty()) << "more than one byte at once after " << i;
    clock_.Advance(kDripMs);
  }
  const Bytes answer = {0, 8, 17,  0,   5,   3,   1,   0x41, 0x2F, 0x29, 0,
                        0, 8, '1', '2', '3', '4', '5', '6',  '7',  '8'};
  EXPECT_EQ(block, xmodem::MakeBlock(1, answer));
  host.Put(kAck);
  EXPECT_EQ(host.Read(), kEot);
  host.Put(kAck);
}

// A multi-block archive answer, through an XModem implementation that is not ours, holds the ring the
// value functions describe.
TEST_F(MetersimLine, ArchiveDatesReachAnIndependentXModemPeer) {
  for (const char* tool : {"sx", "rx", "socat"}) ORVELA_REQUIRE_PEER(tool);
  test::TTempDir dir("metersim-peer");
  test::WriteBytes(dir / "req.bin", Read4A(1, {1, 26, 14}));
  test::WriteText(dir / "peer.sh", "#!/bin/sh\nsx -q req.bin && rx -c -q reply.bin\n");
  std::filesystem::permissions(dir / "peer.sh", std::filesystem::perms::owner_all);
  const test::TProcessResult peer =
      test::RunShell("cd '" + dir.Path().string() +
                         "' && socat TCP:127.0.0.1:" + std::to_string(line_->Port()) + " EXEC:./peer.sh",
                     30'000);
  ASSERT_EQ(peer.exitCode, 0) << peer.err;
  const Bytes reply = test::ReadBytes(dir / "reply.bin");

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
