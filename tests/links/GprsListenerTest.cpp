// The inbound GPRS listener through real sockets: announcements of both module kinds decided by their
// content, announcements that are cut off (malformed, unfinished, silent, a flood) without holding the
// other modems, a modem that connects again, sockets handed to one taker only, modems nobody takes, the
// port reused at once, and two hundred modems connected at once.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include <fstream>
#include <sstream>
#include "LockedJournal.h"

#include "links/AsyncTCP.h"
#include "support/TempDir.h"

namespace orvela {
namespace {

std::vector<uint8_t> DigitBytes(const std::string& number) {
  std::vector<uint8_t> bytes;
  for (char c : number) bytes.push_back(static_cast<uint8_t>(c - '0'));
  return bytes;
}

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class TModemSocket {
 public:
  explicit TModemSocket(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~TModemSocket() { Close(); }
  TModemSocket(const TModemSocket&) = delete;
  TModemSocket& operator=(const TModemSocket&) = delete;
  bool Connected() const { return connected_; }
  void Send(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }
  // Sends what goes without waiting: the server may end the connection in the middle.
  void Flood(const std::vector<uint8_t>& bytes) {
    if (!bytes.empty()) ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  // True once the server ended the connection (waits up to a few real seconds for it).
  bool ClosedByServer() {
    for (int i = 0; i < 100; ++i) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) {
        uint8_t byte;
        ssize_t n = ::recv(fd_, &byte, 1, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN)) return true;
      }
    }
    return false;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// Reads what the socket holds now, up to n bytes, waiting a little for them.
std::vector<uint8_t> ReadSome(int fd, size_t n) {
  std::vector<uint8_t> bytes(n);
  size_t got = 0;
  for (int i = 0; i < 100 && got < n; ++i) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    ssize_t r = ::recv(fd, bytes.data() + got, n - got, MSG_DONTWAIT);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  bytes.resize(got);
  return bytes;
}

class GprsListener : public ::testing::Test {
 protected:
  GprsListener() : clock(20) {}

  void Start(TListenerOptions options = {}) {
    options.port = 0;
    options.bindAddress = "127.0.0.1";
    options.clock = &clock;
    if (options.announceTimeoutMs == TListenerOptions{}.announceTimeoutMs) options.announceTimeoutMs = 4'000;
    listener = std::make_unique<TAsyncTCP>(options);
    ASSERT_TRUE(listener->Start());
  }

  // Polls the listener's table in the clock's time, bounded.
  template <class Pred>
  bool Eventually(Pred pred) {
    for (int i = 0; i < 2'000; ++i) {
      if (pred()) return true;
      clock.Sleep(20);
    }
    return pred();
  }

  std::optional<TMyClient> Take(const std::string& number, const void* taker) {
    std::optional<TMyClient> client;
    Eventually([&] { return (client = listener->FindClient(number, taker)).has_value(); });
    return client;
  }

  ScaledClock clock;
  test::TLockedJournal journal;
  std::unique_ptr<TAsyncTCP> listener;
  const int takerA = 0, takerB = 0;
};

TEST_F(GprsListener, AnnouncementsAreFiledByTheirContent) {
  struct TCase {
    const char* what;
    std::vector<uint8_t> sent;
    int32_t kind;
    std::vector<uint8_t> early;  // the meter's bytes handed to the link
  };
  const std::vector<uint8_t> number = DigitBytes("9161234567");
  const TCase cases[] = {
      {"old module", number, 1, {}},
      {"new module", Cat(number, {3, 7}), 2, {}},
      {"old module whose meter prompts at once", Cat(number, {'C'}), 1, {'C'}},
      {"old module whose meter's bytes begin with 3", Cat(number, {3, 'C'}), 1, {3, 'C'}},
  };
  Start();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TModemSocket modem(listener->Port());
    ASSERT_TRUE(modem.Connected());
    modem.Send(c.sent);
    // Compared by the last ten digits, whatever the connection's number is written with.
    std::optional<TMyClient> client = Take("+7 (916) 123-45-67", &takerA);
    ASSERT_TRUE(client);
    EXPECT_EQ(client->number, "9161234567");
    EXPECT_EQ(client->moduleKind, c.kind);
    EXPECT_EQ(client->early, c.early);
    // What the meter sends next is left in the socket for the link.
    modem.Send({0x15, 0x43});
    EXPECT_EQ(ReadSome(client->socket->Fd(), 2), (std::vector<uint8_t>{0x15, 0x43}));
    listener->RemoveClient(client->number, &takerA);
  }
  EXPECT_TRUE(listener->Active());
  EXPECT_TRUE(journal.Contains("Есть подключение от номера. 9161234567"));
}

// Each bad announcement is cut off with a journal line; a good modem announcing meanwhile is filed.
TEST_F(GprsListener, BadAnnouncementsAreCutOffWithoutHoldingTheOthers) {
  struct TCase {
    const char* what;
    std::vector<uint8_t> sent;
    const char* journal;
  };
  const TCase cases[] = {
      {"digits as characters", {'9', '1', '6', '1', '2', '3', '4', '5', '6', '7'}, "неверный номер модема"},
      {"a megabyte of noise", std::vector<uint8_t>(1 << 20, 0xFF), "неверный номер модема"},
      {"half a number, then nothing", DigitBytes("91612"), "не прислал номер"},
      {"nothing at all", {}, "не прислал номер"},
  };
  Start();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TModemSocket bad(listener->Port());
    ASSERT_TRUE(bad.Connected());
    bad.Flood(c.sent);
    TModemSocket good(listener->Port());
    good.Send(DigitBytes("9000000001"));
    EXPECT_TRUE(Take("9000000001", &takerA));
    EXPECT_TRUE(bad.ClosedByServer());
    EXPECT_TRUE(Eventually([&] { return journal.Contains(c.journal); }));
    EXPECT_EQ(listener->Numbers(), std::vector<std::string>{"9000000001"});
    listener->RemoveClient("9000000001", &takerA);
  }
}

TEST_F(GprsListener, AModemThatConnectsAgainReplacesItsOlderConnection) {
  Start();
  TModemSocket first(listener->Port());
  first.Send(DigitBytes("9161234567"));
  std::optional<TMyClient> old = Take("9161234567", &takerA);
  ASSERT_TRUE(old);
  TModemSocket second(listener->Port());
  second.Send(Cat(DigitBytes("9161234567"), {3, 7}));
  // The older connection ends for the link that holds it: its reads see the end, not someone else's data.
  EXPECT_TRUE(first.ClosedByServer());
  uint8_t byte;
  EXPECT_EQ(::recv(old->socket->Fd(), &byte, 1, 0), 0);
  std::optional<TMyClient> fresh = Take("9161234567", &takerA);
  ASSERT_TRUE(fresh);
  EXPECT_GT(fresh->serial, old->serial);
  EXPECT_EQ(fresh->moduleKind, 2);
  EXPECT_EQ(listener->ClientCount(), 1u);
}

TEST_F(GprsListener, AModemIsHandedToOneTakerAtATime) {
  Start();
  TModemSocket modem(listener->Port());
  modem.Send(DigitBytes("9161234567"));
  std::optional<TMyClient> a = Take("9161234567", &takerA);
  ASSERT_TRUE(a);
  EXPECT_FALSE(listener->FindClient("9161234567", &takerB));
  // Another taker cannot remove it either.
  EXPECT_EQ(listener->RemoveClient("9161234567", &takerB), 0);
  listener->GiveBack(a->serial, &takerA);
  std::optional<TMyClient> b = listener->FindClient("9161234567", &takerB);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->socket, a->socket);
}

TEST_F(GprsListener, ModemsThatGoOrThatNobodyTakesAreForgotten) {
  TListenerOptions options;
  options.unclaimedMs = 3'000;
  Start(options);
  TModemSocket gone(listener->Port());
  gone.Send(DigitBytes("9000000001"));
  TModemSocket unclaimed(listener->Port());
  unclaimed.Send(DigitBytes("9000000002"));
  ASSERT_TRUE(Eventually([&] { return listener->ClientCount() == 2; }));
  gone.Close();
  EXPECT_TRUE(Eventually([&] { return listener->Numbers() == std::vector<std::string>{"9000000002"}; }));
  EXPECT_TRUE(unclaimed.ClosedByServer());
  EXPECT_EQ(listener->ClientCount(), 0u);
  EXPECT_TRUE(Eventually([&] { return journal.Contains("модем 9000000002 не востребован"); }));
}

// With the channel log on, the listener's own log is emptied at its start and follows each modem.
TEST_F(GprsListener, ChannelLogWritesTheListenersOwnLog) {
  test::TTempDir folder("orvela-gprs-log");
  const std::filesystem::path log = folder.Path() / "Log_TCPTh.txt";
  std::ofstream(log) << "a line of the last run\n";
  TListenerOptions options;
  options.logFolder = folder.Path();
  options.channelLog = true;
  Start(options);
  TModemSocket modem(listener->Port());
  modem.Send(Cat(DigitBytes("9161234567"), {3, 7}));
  ASSERT_TRUE(Take("9161234567", &takerA));
  listener->Stop();
  std::stringstream text;
  text << std::ifstream(log).rdbuf();
  EXPECT_EQ(text.str().find("a line of the last run"), std::string::npos);
  EXPECT_NE(text.str().find(" | Тел номер разобран: 9161234567"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find(" | Есть подключение: модуль 2"), std::string::npos) << text.str();
}

TEST_F(GprsListener, APortInUseIsReportedAndAFreedPortIsReusedAtOnce) {
  Start();
  const uint16_t port = listener->Port();
  {
    // A connection the listener ended leaves the port in TIME_WAIT.
    TModemSocket modem(port);
    modem.Send({'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'});
    ASSERT_TRUE(modem.ClosedByServer());
  }
  TListenerOptions options;
  options.port = port;
  options.bindAddress = "127.0.0.1";
  options.clock = &clock;
  TAsyncTCP second(options);
  EXPECT_FALSE(second.Start());
  EXPECT_FALSE(second.Listening());
  EXPECT_TRUE(journal.Contains("GPRS: порт TCP 127.0.0.1:" + std::to_string(port) + " не открыт"));
  listener->Stop();
  TAsyncTCP third(options);
  EXPECT_TRUE(third.Start());
  EXPECT_EQ(third.Port(), port);
}

TEST_F(GprsListener, TwoHundredModemsConnectedAtOnce) {
  constexpr int kModems = 200;
  Start();
  std::vector<std::unique_ptr<TModemSocket>> modems;
  for (int i = 0; i < kModems; ++i) {
    modems.push_back(std::make_unique<TModemSocket>(listener->Port()));
    ASSERT_TRUE(modems.back()->Connected());
  }
  for (int i = 0; i < kModems; ++i) {
    std::string number = std::to_string(9000000000LL + i);
    modems[static_cast<size_t>(i)]->Send(i % 2 ? Cat(DigitBytes(number), {3, 7}) : DigitBytes(number));
  }
  ASSERT_TRUE(Eventually([&] { return listener->ClientCount() == kModems; })) << listener->ClientCount();
  for (int i = 0; i < kModems; i += 7) {
    std::optional<TMyClient> client = listener->FindClient(std::to_string(9000000000LL + i), &takerA);
    ASSERT_TRUE(client);
    EXPECT_EQ(client->moduleKind, i % 2 ? 2 : 1);
    // Each socket is its own modem's.
    std::vector<uint8_t> mark = {static_cast<uint8_t>(i)};
    modems[static_cast<size_t>(i)]->Send(mark);
    EXPECT_EQ(ReadSome(client->socket->Fd(), 1), mark);
  }
}

}  // namespace
}  // namespace orvela
