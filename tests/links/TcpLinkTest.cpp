#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <future>

#include "links/TcpConnectionPort.h"
#include "support/LoopbackPeer.h"

namespace orvela {
namespace {

using test::Bytes;
using test::TLoopbackTcpPeer;
using test::ToBytes;
using Kind = TMemoryChannelLog::Kind;

constexpr std::array<uint8_t, 3> kProbe = {0xFF, 0xFF, 0xFF};

// A live peer answers within a real millisecond or so; a factor of 100 keeps the link's windows at
// hundreds of real milliseconds, generous for a loopback answer.
class TcpLink : public ::testing::Test {
 protected:
  TcpLink() { settings.EchoTested = 1; }  // most tests do not want the echo probe

  std::unique_ptr<TTCPConnectionPort> MakeLink(const TLoopbackTcpPeer& peer) { return MakeLink(peer, clock); }
  std::unique_ptr<TTCPConnectionPort> MakeLink(const TLoopbackTcpPeer& peer, Clock& linkClock) {
    auto link = std::make_unique<TTCPConnectionPort>(&settings, linkClock);
    link->SetOrder(&log);
    EXPECT_TRUE(link->SetAddress(peer.Address()));
    return link;
  }

  ScaledClock clock{100};
  TConnSettings settings;
  TMemoryChannelLog log;
};

TEST_F(TcpLink, SetAddressParsesNumericAndNamedHostsAndRefusesBadOnes) {
  TTCPConnectionPort link(&settings, clock);
  link.SetOrder(&log);
  ASSERT_TRUE(link.SetAddress("10.0.0.5:4001"));
  EXPECT_EQ(ntohs(link.Remote().sin_port), 4001);
  EXPECT_EQ(ntohl(link.Remote().sin_addr.s_addr), 0x0A000005u);
  EXPECT_FALSE(log.Contains(Kind::Line, "Найден узел:"));

  ASSERT_TRUE(link.SetAddress("localhost:502"));
  EXPECT_EQ(ntohl(link.Remote().sin_addr.s_addr), 0x7F000001u);
  EXPECT_TRUE(log.Contains(Kind::Line, "Найден узел:127.0.0.1"));

  struct Case {
    const char* address;
  } bad[] = {{"10.0.0.5"},   {"10.0.0.5:"},   {"10.0.0.5:abc"}, {"10.0.0.5:70000"},
             {"10.0.0.5:0"}, {"10.0.0.5:-1"}, {":4001"},        {"no-such-host.invalid:502"}};
  for (const Case& c : bad) {
    EXPECT_FALSE(link.SetAddress(c.address)) << c.address;
    // A refused address leaves the previous one in use.
    EXPECT_EQ(link.Address(), "localhost:502") << c.address;
    EXPECT_EQ(ntohs(link.Remote().sin_port), 502) << c.address;
  }
}

TEST_F(TcpLink, ConnectReusesALiveSocketAndReopensAfterThePeerClosed) {
  std::promise<void> firstDone;
  std::atomic<int> sessions{0};
  TLoopbackTcpPeer peer([&](int fd, std::stop_token) {
    if (++sessions == 1) {
      test::ReadUpTo(fd, 1, 5000);  // the first connection ends when the link says "q"
      return;
    }
    test::WriteAll(fd, "hi");
    test::ReadUpTo(fd, 1, 5000);
  });
  auto link = MakeLink(peer);
  ASSERT_TRUE(link->Connect());
  ASSERT_TRUE(link->Connect());
  EXPECT_EQ(peer.Accepted(), 1);

  link->Send(ToBytes("q"));
  // The peer has closed: the next wait reports the lost connection instead of silence.
  EXPECT_THROW(
      {
        try {
          link->WaitData(500);
        } catch (const EConnectExcept& e) {
          EXPECT_STREQ(e.what(), "Обрыв соединения");
          throw;
        }
      },
      EConnectExcept);
  ASSERT_TRUE(link->Connect());
  EXPECT_TRUE(link->WaitData(500));
  EXPECT_EQ(link->ReadByte(), 'h');
  EXPECT_EQ(peer.Accepted(), 2);
  link->Send(ToBytes("q"));
}

TEST_F(TcpLink, ConnectFailuresAreBoundedAndLogged) {
  // Refused: a port nobody listens on.
  {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    TTCPConnectionPort link(&settings, clock);
    link.SetOrder(&log);
    ASSERT_TRUE(link.SetAddress("127.0.0.1:" + std::to_string(ntohs(a.sin_port))));
    EXPECT_FALSE(link.Connect());
    EXPECT_FALSE(link.HasSocket());
    EXPECT_TRUE(log.Contains(Kind::Line, "Ошибка сокета: 10061"));
    ::close(fd);
  }
  // Unanswered: a listener whose accept queue is full drops further SYNs, so the connect hangs until
  // the link's own bound (5 s of clock time = 50 real ms here), not the system's minutes.
  TLoopbackTcpPeer blackHole(nullptr, 0, /*acceptConnections=*/false);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(blackHole.Port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(fd);
  }
  TTCPConnectionPort link(&settings, clock);
  link.SetOrder(&log);
  ASSERT_TRUE(link.SetAddress(blackHole.Address()));
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(link.Connect());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_TRUE(log.Contains(Kind::Line, "Ошибка сокета: 10060"));
  for (int fd : fillers) ::close(fd);
}

TEST_F(TcpLink, RefillAppendsToUnreadBytesAndReadByteReturnsTheFirstByteReceived) {
  TLoopbackTcpPeer peer([](int fd, std::stop_token) {
    test::WriteAll(fd, "AB");
    test::ReadUpTo(fd, 1, 5000);
    test::WriteAll(fd, "CD");
    test::ReadUpTo(fd, 1, 5000);
    test::WriteAll(fd, "Z");
    test::ReadUpTo(fd, 1, 5000);
  });
  // Real time: the refill's own receive limit must outlast a peer thread slow to be scheduled on a busy
  // machine (each wait ends as soon as the bytes are there).
  ScaledClock realTime{1};
  auto link = MakeLink(peer, realTime);
  ASSERT_TRUE(link->Connect());
  ASSERT_TRUE(link->WaitData(500));
  EXPECT_EQ(link->InCount(), 2);
  link->Send(ToBytes("1"));
  ASSERT_TRUE(link->WaitData(500));
  EXPECT_EQ(link->InCount(), 4);  // the second segment joins the unread first one
  std::string got;
  while (link->InCount() > 0) got += static_cast<char>(link->ReadByte());
  EXPECT_EQ(got, "ABCD");
  link->Send(ToBytes("2"));
  EXPECT_EQ(link->ReadByte(), 'Z');  // an empty buffer is refilled and its first byte returned
  EXPECT_EQ(link->ReadCounter(), 3);
  link->Send(ToBytes("3"));
}

TEST_F(TcpLink, WaitDataSeesUnreadBytesWhileThePeerIsSilent) {
  TLoopbackTcpPeer peer([](int fd, std::stop_token) {
    test::WriteAll(fd, "AB");
    test::ReadUpTo(fd, 1, 5000);
  });
  auto link = MakeLink(peer);
  ASSERT_TRUE(link->Connect());
  ASSERT_TRUE(link->WaitData(500));
  EXPECT_EQ(link->ReadByte(), 'A');
  // Nothing new comes, but a byte is still waiting to be read.
  EXPECT_TRUE(link->WaitData(1));
  EXPECT_EQ(link->ReadByte(), 'B');
  link->Send(ToBytes("1"));
}

TEST_F(TcpLink, SendToAClosedPeerRaisesConnectionLostInsteadOfKillingTheProcess) {
  TLoopbackTcpPeer peer([](int, std::stop_token) {});  // closes at once
  auto link = MakeLink(peer);
  ASSERT_TRUE(link->Connect());
  const Bytes data(512, 0x55);
  bool lost = false;
  for (int i = 0; i < 200 && !lost; ++i) {
    try {
      link->Send(data);
    } catch (const EConnectExcept& e) {
      EXPECT_STREQ(e.what(), "Обрыв соединения");
      lost = true;
    }
  }
  EXPECT_TRUE(lost);
}

TEST_F(TcpLink, TracesSentAndReceivedBytesIntoTheChannelLog) {
  TLoopbackTcpPeer peer([](int fd, std::stop_token) {
    test::ReadUpTo(fd, 2, 5000);
    test::WriteAll(fd, Bytes{0x0A, 0xFE});
    test::ReadUpTo(fd, 1, 5000);
  });
  auto link = MakeLink(peer);
  ASSERT_TRUE(link->Connect());
  link->Send(Bytes{0x01, 0xAB});
  ASSERT_TRUE(link->WaitData(500));
  link->ReadByte();
  link->ReadByte();
  EXPECT_EQ(log.Texts(Kind::TraceStart), std::vector<std::string>{"[ 01 AB](2)"});
  EXPECT_EQ(log.Texts(Kind::TraceItem), (std::vector<std::string>{"0A", "FE"}));
  link->Send(ToBytes("q"));
}

// The echo probe against lines that answer it in different ways.
struct EchoCase {
  const char* name;
  Bytes answer;  // what the line returns for FF FF FF
  int32_t expectedFlag;
  bool reported;  // a partial or foreign echo is logged and does not stay in the buffer
};

// The probe waits for the echo in the clock's time: a slower clock leaves a loaded machine room to answer.
class TcpEcho : public TcpLink, public ::testing::WithParamInterface<EchoCase> {
 protected:
  ScaledClock echoClock{10};
};

TEST_P(TcpEcho, ProbeDecidesTheEchoFlagOnce) {
  const EchoCase& c = GetParam();
  settings.EchoTested = 0;
  std::atomic<size_t> probesSeen{0};
  TLoopbackTcpPeer peer([&](int fd, std::stop_token) {
    Bytes got = test::ReadUpTo(fd, 3, 5000);
    if (got == Bytes(kProbe.begin(), kProbe.end())) ++probesSeen;
    test::WriteAll(fd, c.answer);
    Bytes rest = test::ReadUpTo(fd, 1, 5000);
    if (c.expectedFlag == 1) test::WriteAll(fd, rest);  // an echoing line echoes everything
  });
  {
    auto link = MakeLink(peer, echoClock);
    ASSERT_TRUE(link->Connect());
    EXPECT_EQ(settings.EchoFlag, c.expectedFlag);
    EXPECT_EQ(settings.EchoTested, 1);
    EXPECT_EQ(link->InCount(), 0);
    EXPECT_EQ(log.Contains(Kind::Line, "Эхо-тест"), c.reported);
    link->Send(ToBytes("q"));
  }
  // A new link of the same connection does not probe again.
  auto again = MakeLink(peer, echoClock);
  ASSERT_TRUE(again->Connect());
  EXPECT_EQ(probesSeen.load(), 1u);
  EXPECT_EQ(settings.EchoFlag, c.expectedFlag);
}

INSTANTIATE_TEST_SUITE_P(Lines, TcpEcho,
                         ::testing::Values(EchoCase{"Echoing", {0xFF, 0xFF, 0xFF}, 1, false},
                                           EchoCase{"Silent", {}, 0, false},
                                           EchoCase{"TwoOfThree", {0xFF, 0xFF}, 0, true},
                                           EchoCase{"ForeignBytes", {'A', 'B', 'C'}, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A meter waiting for a request says "C" on its own timer, before the probe and while it runs; the
// line in front of it may return every byte it carries.
void PromptingMeter(int fd, std::stop_token stop, bool lineEchoes) {
  using namespace std::chrono;
  constexpr auto kPromptEvery = milliseconds(3);
  auto nextPrompt = steady_clock::now();
  while (!stop.stop_requested()) {
    if (steady_clock::now() >= nextPrompt) {
      if (::send(fd, "C", 1, MSG_NOSIGNAL) != 1) return;
      nextPrompt += kPromptEvery;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1) <= 0) continue;
    uint8_t buf[256];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    if (lineEchoes) test::WriteAll(fd, std::span<const uint8_t>(buf, static_cast<size_t>(n)));
  }
}

TEST_F(TcpLink, EchoProbeTellsTheLinesEchoFromTheMetersPrompts) {
  struct Case {
    const char* name;
    bool lineEchoes;
    int32_t expectedFlag;
  };
  for (const Case& c : {Case{"echoing line", true, 1}, Case{"prompting meter alone", false, 0}}) {
    SCOPED_TRACE(c.name);
    settings.EchoFlag = 0;
    settings.EchoTested = 0;
    TLoopbackTcpPeer peer([&](int fd, std::stop_token stop) { PromptingMeter(fd, stop, c.lineEchoes); });
    ScaledClock echoClock{10};
    auto link = MakeLink(peer, echoClock);
    ASSERT_TRUE(link->Connect());
    EXPECT_EQ(settings.EchoTested, 1);
    EXPECT_EQ(settings.EchoFlag, c.expectedFlag);
    // Prompts are the meter's normal state, not a fault of the line worth a journal line.
    EXPECT_FALSE(log.Contains(Kind::Line, "Эхо-тест"));
    EXPECT_EQ(link->InCount(), 0);
  }
}

TEST_F(TcpLink, EchoFlagMakesSendDropTheEchoBeforeTheReply) {
  settings.EchoFlag = 1;
  TLoopbackTcpPeer peer([](int fd, std::stop_token) {
    Bytes got = test::ReadUpTo(fd, 10, 5000);
    test::WriteAll(fd, got);  // the line's echo, then the device's answer
    test::WriteAll(fd, "OK");
    test::ReadUpTo(fd, 1, 5000);
  });
  auto link = MakeLink(peer);
  ASSERT_TRUE(link->Connect());
  link->Send(ToBytes("0123456789"));
  if (link->InCount() == 0) {
    ASSERT_TRUE(link->WaitData(500));
  }
  std::string reply;
  while (link->InCount() > 0 || link->WaitData(20)) reply += static_cast<char>(link->ReadByte());
  EXPECT_EQ(reply, "OK");
  settings.EchoFlag = 0;
  link->Send(ToBytes("q"));
}

TEST(ConnectionDeviceBase, OperationsALinkKindDoesNotProvideAnswerFalseOrZero) {
  TConnectionDevice base;
  EXPECT_FALSE(base.CheckLink());
  EXPECT_FALSE(base.SetAddress("x:1"));
  EXPECT_FALSE(base.Connect());
  EXPECT_FALSE(base.WaitData(10));
  EXPECT_FALSE(base.SetHold(true));
  EXPECT_EQ(base.InCount(), 0);
  EXPECT_EQ(base.ReadByte(), 0);
  EXPECT_EQ(base.ReportFailure(kFailNoAnswer), 0);
  EXPECT_EQ(base.LastErrorText(), "НЕТ");
  EXPECT_EQ(base.ModuleKind(), 1);
  TTCPConnectionPort tcp;
  EXPECT_EQ(tcp.LastErrorText(), "НЕТ");
}

}  // namespace
}  // namespace orvela
