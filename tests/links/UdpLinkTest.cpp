#include <gtest/gtest.h>

#include "links/UdpConnectionPort.h"
#include "links/records/ConnRecords.h"
#include "support/LoopbackPeer.h"

namespace orvela {
namespace {

using test::Bytes;
using test::TLoopbackUdpPeer;
using test::ToBytes;

TEST(UdpLink, SetAddressTakesTheStoredFormsAndKeepsTheOldAddressOnBadOnes) {
  struct Good {
    const char* text;
    uint16_t remote, local;
  };
  const Good good[] = {{"192.168.1.10:4001:4002", 4001, 4002},
                       {"192.168.1.10:4001:4002:0", 4001, 4002},  // auto-configured key
                       {"192.168.1.10:4001", 4001, 0},            // no local port: any free one
                       {"10.1.2.3:502:65535", 502, 65535}};
  TUdpConnectionPort link;
  for (const Good& g : good) {
    SCOPED_TRACE(g.text);
    ASSERT_TRUE(link.SetAddress(g.text));
    EXPECT_EQ(ntohs(link.Remote().sin_port), g.remote);
    EXPECT_EQ(ntohs(link.Local().sin_port), g.local);
  }
  EXPECT_EQ(ntohl(link.Remote().sin_addr.s_addr), 0x0A010203u);

  for (const char* bad : {"192.168.1.10", "192.168.1.10:4001:", "192.168.1.10:0:4002",
                          "192.168.1.10:4001:70000", "192.168.1.10:40x1:4002", "192.168.1.10:4001:4002:1:2",
                          ":4001:4002", "no-such-host.invalid:4001:4002"}) {
    EXPECT_FALSE(link.SetAddress(bad)) << bad;
    EXPECT_EQ(link.Address(), "10.1.2.3:502:65535") << bad;
    EXPECT_EQ(ntohs(link.Remote().sin_port), 502) << bad;
  }
}

// Binds a socket to 127.0.0.2 (the loopback network answers on all of 127/8): a sender at another address.
class TOtherAddressPeer {
 public:
  TOtherAddressPeer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = test::detail::Loopback(0);
    a.sin_addr.s_addr = htonl(0x7F000002);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~TOtherAddressPeer() { ::close(fd_); }
  bool Bound() const { return bound_; }
  void SendTo(const sockaddr_in& to, const Bytes& bytes) {
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

class UdpExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(link.SetAddress("127.0.0.1:" + std::to_string(device.Port()) + ":0"));
    ASSERT_TRUE(link.Connect());
    ASSERT_NE(link.BoundPort(), 0);
  }
  // The device learns the link's address from a request.
  sockaddr_in Request(const std::string& text = "hello") {
    link.Send(ToBytes(text));
    sockaddr_in from{};
    EXPECT_EQ(device.Receive(2000, &from), ToBytes(text));
    return from;
  }
  std::string Drain() {
    std::string got;
    while (link.InCount() > 0) got += static_cast<char>(link.ReadByte());
    return got;
  }

  ScaledClock clock{100};
  TUdpConnectionPort link{nullptr, clock};
  TLoopbackUdpPeer device;
};

TEST_F(UdpExchange, WholeDatagramIsReadWhateverItsLength) {
  sockaddr_in linkAddr = Request();
  Bytes big(1500);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  device.SendTo(linkAddr, big);
  ASSERT_TRUE(link.WaitData(1000));
  ASSERT_EQ(link.InCount(), 1500);
  Bytes got;
  while (link.InCount() > 0) got.push_back(link.ReadByte());
  EXPECT_EQ(got, big);
}

// Converters may answer from another source port than the one asked; the remote's address decides.
TEST_F(UdpExchange, RepliesFromTheRemoteAddressAreTakenFromAnyPortOthersAreDropped) {
  TOtherAddressPeer stranger;
  ASSERT_TRUE(stranger.Bound());
  TLoopbackUdpPeer converterOtherPort;  // 127.0.0.1, another port than the one the link sends to
  sockaddr_in linkAddr = Request();
  stranger.SendTo(linkAddr, ToBytes("spoof"));
  converterOtherPort.SendTo(linkAddr, ToBytes("AB"));
  ASSERT_TRUE(link.WaitData(1000));
  device.SendTo(linkAddr, ToBytes("CD"));
  ASSERT_TRUE(link.WaitData(1000));
  EXPECT_EQ(Drain(), "ABCD");  // the second datagram joins the unread first one
  stranger.SendTo(linkAddr, ToBytes("late spoof"));
  EXPECT_FALSE(link.WaitData(50));
  EXPECT_EQ(link.ReadByte(), 0);  // a wait that only met a stranger ends empty
}

TEST_F(UdpExchange, PurgeInputDropsTheDatagramsQueuedOnTheSocket) {
  sockaddr_in linkAddr = Request();
  device.SendTo(linkAddr, ToBytes("old1"));
  ASSERT_TRUE(link.WaitData(1000));  // one in the buffer…
  device.SendTo(linkAddr, ToBytes("old2"));
  device.SendTo(linkAddr, ToBytes("old3"));  // …and two still queued on the socket
  link.PurgeInput();
  EXPECT_EQ(link.InCount(), 0);
  device.SendTo(linkAddr, ToBytes("new"));
  ASSERT_TRUE(link.WaitData(1000));
  EXPECT_EQ(Drain(), "new");
}

// The framings release the link after every exchange; a retried request of the same task (a clock read
// whose first answer was lost) must go out from, and be answered on, the same socket.
TEST_F(UdpExchange, ARetriedExchangeAfterReleaseUsesTheSameSocket) {
  sockaddr_in first = Request("clock?");
  EXPECT_FALSE(link.WaitData(100));  // the device stays silent: the framing gives up on this try
  link.Release();
  ASSERT_TRUE(link.Connect());  // a driver's next attempt connects again
  sockaddr_in retry = Request("clock?");
  EXPECT_EQ(retry.sin_port, first.sin_port);
  device.SendTo(retry, ToBytes("12:00"));
  ASSERT_TRUE(link.WaitData(1000));
  EXPECT_EQ(Drain(), "12:00");
  // A reply to the retry that arrives after a release is still there for the next read.
  device.SendTo(retry, ToBytes("late"));
  link.Release();
  ASSERT_TRUE(link.WaitData(1000));
  EXPECT_EQ(Drain(), "late");

  // With the hold mark set, release really closes: sending then fails instead of going nowhere.
  link.SetHoldMark(true);
  link.Release();
  EXPECT_EQ(link.BoundPort(), 0);
  EXPECT_FALSE(link.Connected());
  EXPECT_THROW(link.Send(ToBytes("x")), EWriteExcept);
  EXPECT_FALSE(link.WaitData(10));
  ASSERT_TRUE(link.Connect());
  Request("again");
}

TEST_F(UdpExchange, ReadByteOnAnEmptyBufferReturnsTheFirstByteOfTheNextDatagram) {
  sockaddr_in linkAddr = Request();
  device.SendTo(linkAddr, ToBytes("XY"));
  EXPECT_EQ(link.ReadByte(), 'X');
  EXPECT_EQ(Drain(), "Y");
  EXPECT_EQ(link.ReadCounter(), 1);
}

// Every way a key may carry a UDP connection reaches the device through the one address rule.
TEST(UdpLinkAddress, EveryStoredKeyShapeReachesTheDevice) {
  TLoopbackUdpPeer device;
  const int32_t port = device.Port();
  const std::string portText = std::to_string(port);
  struct Shape {
    const char* name;
    std::string ip;
    int32_t remotePort;
  };
  const Shape shapes[] = {{"list fields", "127.0.0.1", port},
                          {"auto-configured field", "127.0.0.1:" + portText + ":0", 0},
                          {"field with the remote port", "127.0.0.1:" + portText, 0}};
  ScaledClock clock{100};
  for (const Shape& s : shapes) {
    SCOPED_TRACE(s.name);
    TConnKey key;
    key.ConnType = static_cast<uint8_t>(TConnKind::Udp);
    key.IP_Addr = s.ip;
    key.IP_Port = s.remotePort;
    TUdpConnectionPort link(nullptr, clock);
    ASSERT_TRUE(link.SetAddress(BuildLinkAddress(key))) << BuildLinkAddress(key);
    ASSERT_TRUE(link.Connect());
    link.Send(ToBytes(s.name));
    sockaddr_in from{};
    EXPECT_EQ(device.Receive(2000, &from), ToBytes(s.name));
    device.SendTo(from, ToBytes("ok"));
    ASSERT_TRUE(link.WaitData(1000));
    EXPECT_EQ(link.InCount(), 2);
  }
}

}  // namespace
}  // namespace orvela
