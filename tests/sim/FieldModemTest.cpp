// metersim's field GPRS modems: what each one sends a plain TCP listener when it connects (both module
// kinds and every announcement fault, byte for byte), a ring through the bank, meters wired to the modem
// or reached when the server first sends, and the option texts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "metersim/DeviceFactory.h"
#include "metersim/FieldModem.h"
#include "metersim/Line.h"

namespace orvela {
namespace {

class TPlainListener {
 public:
  TPlainListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(fd_, 8);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~TPlainListener() { ::close(fd_); }
  uint16_t Port() const { return port_; }

  // What the next peer sends within a few real seconds, up to atMost bytes.
  std::vector<uint8_t> NextAnnouncement(size_t atMost = 64) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 5'000) <= 0) return {0xEE};
    int peer = ::accept(fd_, nullptr, nullptr);
    std::vector<uint8_t> bytes;
    uint8_t buffer[64];
    while (bytes.size() < atMost) {
      pollfd q{peer, POLLIN, 0};
      if (::poll(&q, 1, 300) <= 0) break;
      ssize_t n = ::recv(peer, buffer, std::min(sizeof buffer, atMost - bytes.size()), 0);
      if (n <= 0) break;
      bytes.insert(bytes.end(), buffer, buffer + n);
    }
    ::close(peer);
    return bytes;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

TEST(FieldModems, AnnounceThemselvesAsTheirOptionsSay) {
  struct TCase {
    const char* spec;
    std::vector<uint8_t> sent;
  };
  const TCase cases[] = {
      {"9161234567", {9, 1, 6, 1, 2, 3, 4, 5, 6, 7}},
      {"9161234567,kind=2", {9, 1, 6, 1, 2, 3, 4, 5, 6, 7, 3, 7}},
      {"9161234567,wrong=9000000001", {9, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
      {"9161234567,malformed", {'9', '1', '6', '1', '2', '3', '4', '5', '6', '7'}},
      {"9161234567,partial,kind=2", {9, 1, 6, 1, 2}},
      {"9161234567,silent", {}},
  };
  ScaledClock clock(20);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.spec);
    TPlainListener server;
    sim::TFieldModems modems(sim::TFieldModemOptions{.clock = &clock, .serverPort = server.Port()});
    std::vector<sim::TFieldModemSpec> specs;
    std::string error;
    ASSERT_TRUE(sim::ParseFieldModemSpec(c.spec, specs, error)) << error;
    modems.Add(specs.at(0));
    modems.Start();
    ASSERT_TRUE(modems.Ring("9161234567"));
    EXPECT_EQ(server.NextAnnouncement(), c.sent);
  }
}

// A wired modem's meter prompts the server before the server sends anything; otherwise nothing but the
// announcement comes unasked.
TEST(FieldModems, WiredMetersPromptAtOnce) {
  ScaledClock clock(20);
  sim::TLine line(sim::TLineOptions{.clock = &clock, .promptIntervalMs = 200});
  line.AddDevice(sim::MakeDevice("tarvel2001", 1, "12345678"));
  line.ListenTcp();
  for (bool wired : {false, true}) {
    SCOPED_TRACE(wired ? "wired" : "reached when the server sends");
    TPlainListener server;
    sim::TFieldModems modems(
        sim::TFieldModemOptions{.clock = &clock, .serverPort = server.Port(), .meterPort = line.Port()});
    std::vector<sim::TFieldModemSpec> specs;
    std::string error;
    ASSERT_TRUE(sim::ParseFieldModemSpec(wired ? "9161234567,wired" : "9161234567", specs, error)) << error;
    modems.Add(specs.at(0));
    modems.Start();
    ASSERT_TRUE(modems.Ring("9161234567"));
    const std::vector<uint8_t> announcement = {9, 1, 6, 1, 2, 3, 4, 5, 6, 7};
    std::vector<uint8_t> expected = announcement;
    if (wired) expected.insert(expected.end(), {'C', 'C'});
    EXPECT_EQ(server.NextAnnouncement(announcement.size() + 2), expected);
  }
}

TEST(FieldModems, OptionTextsParseOrSayWhyNot) {
  std::vector<sim::TFieldModemSpec> specs;
  std::string error;
  ASSERT_TRUE(sim::ParseFieldModemSpec("9999999998,count=3,timer=500,drop=40,twice,wired", specs, error))
      << error;
  ASSERT_EQ(specs.size(), 3u);
  EXPECT_EQ(specs[2].number, "0000000000");  // ten digits, wrapping
  EXPECT_EQ(specs[1].number, "9999999999");
  EXPECT_EQ(specs[0].timerMs, 500);
  EXPECT_EQ(specs[0].dropAfterBytes, 40);
  EXPECT_TRUE(specs[0].twice);
  EXPECT_TRUE(specs[2].wired);
  for (const char* bad : {"916123456", "91612345678", "916123456x", "9161234567,kind=3", "9161234567,wrong=1",
                          "9161234567,timer=0", "9161234567,count=0", "9161234567,loud"}) {
    SCOPED_TRACE(bad);
    specs.clear();
    EXPECT_FALSE(sim::ParseFieldModemSpec(bad, specs, error));
    EXPECT_TRUE(specs.empty());
    EXPECT_NE(error, "");
  }
}

}  // namespace
}  // namespace orvela
