#include <gtest/gtest.h>

#include "links/LoopbackPeer.h"
#include "links/UdpConnectionPort.h"

namespace orvela {
namespace {

using test::Bytes;
using test::TLoopbackUdpPeer;
using test::ToBytes;

TEST(UdpLink, SetAddressParsesAndRangeChecksBothPorts) {
  TUdpConnectionPort link;
  ASSERT_TRUE(link.SetAddress("192.168.1.10:4001:4002"));
  EXPECT_EQ(ntohs(link.Remote().sin_port), 4001);
  EXPECT_EQ(ntohs(link.Local().sin_port), 4002);
  EXPECT_EQ(ntohl(link.Remote().sin_addr.s_addr), 0xC0A8010Au);
  ASSERT_TRUE(link.SetAddress("10.1.2.3:502:65535"));  // ports need not have four digits
  EXPECT_EQ(ntohs(link.Remote().sin_port), 502);
  EXPECT_EQ(ntohs(link.Local().sin_port), 65535);

  for (const char* bad :
       {"192.168.1.10", "192.168.1.10:4001", "192.168.1.10:4001:", "192.168.1.10:0:4002",
        "192.168.1.10:4001:70000", "192.168.1.10:40x1:4002", "192.168.1.10:4001:4002:1", ":4001:4002"}) {
    EXPECT_FALSE(link.SetAddress(bad)) << bad;
    EXPECT_EQ(link.Address(), "10.1.2.3:502:65535") << bad;
  }
}

class UdpExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(link.SetAddress("127.0.0.1:" + std::to_string(device.Port()) + ":0"));
    ASSERT_TRUE(link.Connect());
    ASSERT_NE(link.BoundPort(), 0);
  }
  // The device learns the link's address from a first datagram.
  sockaddr_in Hello() {
    link.Send(ToBytes("hello"));
    sockaddr_in from{};
    EXPECT_EQ(device.Receive(2000, &from), ToBytes("hello"));
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
  sockaddr_in linkAddr = Hello();
  Bytes big(1500);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  device.SendTo(linkAddr, big);
  ASSERT_TRUE(link.WaitData(1000));
  ASSERT_EQ(link.InCount(), 1500);
  Bytes got;
  while (link.InCount() > 0) got.push_back(link.ReadByte());
  EXPECT_EQ(got, big);
}

TEST_F(UdpExchange, DatagramsFromOtherSendersAreIgnored) {
  sockaddr_in linkAddr = Hello();
  TLoopbackUdpPeer stranger;
  stranger.SendTo(linkAddr, ToBytes("spoof"));
  device.SendTo(linkAddr, ToBytes("AB"));
  ASSERT_TRUE(link.WaitData(1000));
  device.SendTo(linkAddr, ToBytes("CD"));
  ASSERT_TRUE(link.WaitData(1000));
  EXPECT_EQ(Drain(), "ABCD");  // the second datagram joins the unread first one
  EXPECT_FALSE(link.WaitData(50));
}

TEST_F(UdpExchange, ReadByteOnAnEmptyBufferReturnsTheFirstByteOfTheNextDatagram) {
  sockaddr_in linkAddr = Hello();
  device.SendTo(linkAddr, ToBytes("XY"));
  EXPECT_EQ(link.ReadByte(), 'X');
  EXPECT_EQ(Drain(), "Y");
  EXPECT_EQ(link.ReadCounter(), 1);
}

}  // namespace
}  // namespace orvela
