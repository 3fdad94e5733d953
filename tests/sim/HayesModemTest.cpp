// The emulated modem as a terminal program sees it: echo and answer forms, the phone book's outcomes, the
// escape only between guard times, hang-up and a far end that drops the call.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>

#include "metersim/DeviceFactory.h"
#include "metersim/HayesModem.h"
#include "metersim/Line.h"

namespace orvela {
namespace {

class HayesModem : public ::testing::Test {
 protected:
  HayesModem() : clock(20) {
    line.AddDevice(sim::MakeDevice("tarvel2001", 1, "12345678"));
    line.ListenTcp();
    modem.AddNumber("555-12-34", {sim::TPhoneKind::Line, "127.0.0.1", line.Port(), -1});
    modem.AddNumber("5550007", {sim::TPhoneKind::Busy, {}, 0, -1});
    modem.AddNumber("5550006", {sim::TPhoneKind::NoDialtone, {}, 0, -1});
    fd = ::open(modem.OpenPty().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  }
  ~HayesModem() override {
    if (fd >= 0) ::close(fd);
  }

  void Write(std::string_view text) {
    ASSERT_EQ(::write(fd, text.data(), text.size()), ssize_t(text.size()));
  }

  // Reads until the text has come (or a real-time limit passes); what came.
  std::string ReadUntil(std::string_view end, int realMs = 3000) {
    std::string got;
    while (got.find(end) == std::string::npos) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, realMs) <= 0) break;
      char buffer[256];
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, size_t(n));
    }
    return got;
  }

  ScaledClock clock;
  sim::TLine line{sim::TLineOptions{.clock = &clock}};
  sim::THayesModem modem{sim::TModemOptions{.clock = &clock}};
  int fd = -1;
};

TEST_F(HayesModem, AnswersInTheFormItIsSetTo) {
  ASSERT_GE(fd, 0);
  Write("AT\r");
  EXPECT_EQ(ReadUntil("OK\r\n"), "AT\r\r\nOK\r\n");
  Write("ATE0V0\r");
  EXPECT_EQ(ReadUntil("\r0\r"), "ATE0V0\r0\r");  // echoed before E0 took effect
  Write("garbage\r");
  EXPECT_EQ(ReadUntil("\r"), "4\r");
  Write("ATDT5550007\r");
  EXPECT_EQ(ReadUntil("\r"), "7\r");
  Write("AT+CEER\r");
  EXPECT_EQ(ReadUntil("0\r"), "+CEER: busy\r\n0\r");
  Write("ATDP5550006\r");
  EXPECT_EQ(ReadUntil("\r"), "6\r");
  Write("ATDT5559999\r");  // not in the book
  EXPECT_EQ(ReadUntil("\r"), "3\r");
}

TEST_F(HayesModem, EscapeNeedsSilenceOnBothSidesAndHangUpEndsTheCall) {
  ASSERT_GE(fd, 0);
  Write("ATE0V0\r");
  ReadUntil("\r0\r");  // the echo "ATE0V0\r" ends in "0\r" too
  Write("ATDT5551234\r");
  EXPECT_EQ(ReadUntil("1\r"), "1\r");
  EXPECT_TRUE(modem.Online());
  EXPECT_NE(ReadUntil("C"), "");  // the meter's prompt crosses the call
  // Pluses right after other bytes are data; the modem stays online.
  Write("x+++");
  clock.Sleep(3000);
  EXPECT_TRUE(modem.Online());
  EXPECT_EQ(modem.Events().back(), "connect 5551234");
  clock.Sleep(1500);
  Write("+++");
  std::string answer = ReadUntil("0\r", 5000);
  EXPECT_NE(answer.find("0\r"), std::string::npos) << answer;
  EXPECT_EQ(modem.Events().back(), "escape");
  Write("ATH0\r");
  EXPECT_NE(ReadUntil("0\r").find("0\r"), std::string::npos);
  EXPECT_FALSE(modem.Online());
  EXPECT_EQ(modem.Events().back(), "hangup");
}

TEST_F(HayesModem, FarEndDroppingTheCallGivesNoCarrier) {
  ASSERT_GE(fd, 0);
  Write("ATE0V1\r");
  ReadUntil("OK\r\n");
  Write("ATD5551234\r");
  EXPECT_NE(ReadUntil("CONNECT").find("CONNECT"), std::string::npos);
  modem.DropCall();
  EXPECT_NE(ReadUntil("NO CARRIER\r\n", 5000).find("\r\nNO CARRIER\r\n"), std::string::npos);
  EXPECT_FALSE(modem.Online());
  EXPECT_EQ(modem.Events().back(), "carrier lost");
}

TEST(HayesModemPhoneBook, EntriesParseOrSayWhyNot) {
  sim::TPhoneEntry entry;
  std::string error;
  ASSERT_TRUE(sim::ParsePhoneEntry("127.0.0.1:4001,drop=40", entry, error)) << error;
  EXPECT_EQ(entry.kind, sim::TPhoneKind::Line);
  EXPECT_EQ(entry.port, 4001);
  EXPECT_EQ(entry.dropAfterBytes, 40);
  ASSERT_TRUE(sim::ParsePhoneEntry("noanswer", entry, error));
  EXPECT_EQ(entry.kind, sim::TPhoneKind::NoAnswer);
  for (const char* bad : {"127.0.0.1", "127.0.0.1:0", "127.0.0.1:70000", "host:1,drop=x", "busyy"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(sim::ParsePhoneEntry(bad, entry, error));
    EXPECT_NE(error, "");
  }
}

}  // namespace
}  // namespace orvela
