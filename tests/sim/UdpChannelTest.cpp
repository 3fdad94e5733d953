// The simulated line's UDP port, seen from a raw socket: datagrams make one byte stream, and what the devices
// send goes to the last sender heard, from the listening port or, when asked, from another one.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "metersim/XModemEndpoint.h"

namespace orvela::sim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kAck = 0x06, kC = 'C', kProbe = 0xFF;
constexpr int64_t kInterval = 1000;
constexpr int kQuietMs = 150;  // real time in which nothing may arrive

class TUdpHost {
 public:
  TUdpHost() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  }
  ~TUdpHost() { ::close(fd_); }
  TUdpHost(const TUdpHost&) = delete;
  TUdpHost& operator=(const TUdpHost&) = delete;

  void Send(uint16_t port, const Bytes& bytes) {
    sockaddr_in to = Loopback(port);
    ASSERT_EQ(::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              ssize_t(bytes.size()));
  }
  // The bytes of the datagrams heard until n came or ms of real time passed without any; every sender's
  // address and port are checked against `from`.
  Bytes Receive(size_t n, uint16_t from, int ms = 2000) {
    Bytes out;
    while (out.size() < n) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, ms) <= 0) break;
      uint8_t datagram[1024];
      sockaddr_in sender{};
      socklen_t length = sizeof sender;
      ssize_t got =
          ::recvfrom(fd_, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&sender), &length);
      if (got < 0) break;
      EXPECT_EQ(ntohl(sender.sin_addr.s_addr), INADDR_LOOPBACK);
      EXPECT_EQ(ntohs(sender.sin_port), from);
      out.insert(out.end(), datagram, datagram + got);
    }
    return out;
  }
  uint16_t Port() const {
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
    return ntohs(bound.sin_port);
  }
  bool Quiet() {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, kQuietMs) == 0;
  }

 private:
  static sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }
  int fd_ = -1;
};

class UdpChannel : public ::testing::Test {
 protected:
  void Start(bool replyPortShift) {
    clock_.Advance(300);  // the host speaks between two prompts
    line_ = std::make_unique<TLine>(TLineOptions{&clock_, &clock_, kInterval, 0, replyPortShift});
    line_->AddDevice(MakeDevice("tarvel2001", 1, "12345678"));
    line_->ListenUdp("127.0.0.1", 0);
  }

  ManualClock clock_{EncodeDateTime(2024, 3, 10, 14, 25, 30)};
  std::unique_ptr<TLine> line_;
};

TEST_F(UdpChannel, DatagramsAreOneStreamAndAnswersGoToTheLastSender) {
  Start(false);
  const uint16_t port = line_->UdpPort();
  EXPECT_EQ(line_->UdpReplyPort(), port);
  TUdpHost first, second;
  first.Send(port, {kProbe});  // ignored by the meter, but the line now knows whom to answer
  ASSERT_TRUE(first.Quiet());
  clock_.Advance(700);  // tick 1000
  EXPECT_EQ(first.Receive(1, port), Bytes{kC});

  second.Send(port, {kProbe});
  ASSERT_TRUE(second.Quiet());
  clock_.Advance(1000);  // tick 2000: the prompt goes to the newer sender only
  EXPECT_EQ(second.Receive(1, port), Bytes{kC});
  EXPECT_TRUE(first.Quiet());

  // A request block cut into three datagrams is taken whole.
  const Bytes serialRequest = {0, 0x4A, 6, 0, 5, 3, 1, 0x41, 0x2F, 0x29};
  Bytes block = xmodem::MakeBlock(1, serialRequest);
  second.Send(port, Bytes(block.begin(), block.begin() + 1));
  second.Send(port, Bytes(block.begin() + 1, block.begin() + 70));
  second.Send(port, Bytes(block.begin() + 70, block.end()));
  EXPECT_EQ(second.Receive(1, port), Bytes{kAck});
  second.Send(port, {xmodem::kEot});
  EXPECT_EQ(second.Receive(1, port), Bytes{kAck});
  second.Send(port, {kC});
  const Bytes answer = {0, 8, 17,  0,   5,   3,   1,   0x41, 0x2F, 0x29, 0,
                        0, 8, '1', '2', '3', '4', '5', '6',  '7',  '8'};
  EXPECT_EQ(second.Receive(xmodem::kBlockSize, port), xmodem::MakeBlock(1, answer));
  second.Send(port, {kAck});
  EXPECT_EQ(second.Receive(1, port), Bytes{xmodem::kEot});
  second.Send(port, {kAck});
  EXPECT_TRUE(first.Quiet());
  EXPECT_EQ(line_->UdpPeerPort(), second.Port());
}

TEST_F(UdpChannel, ReplyPortShiftAnswersFromAnotherPortOfTheSameAddress) {
  Start(true);
  const uint16_t port = line_->UdpPort();
  ASSERT_NE(line_->UdpReplyPort(), port);
  ASSERT_NE(line_->UdpReplyPort(), 0);
  TUdpHost host;
  host.Send(port, {kProbe});
  ASSERT_TRUE(host.Quiet());
  clock_.Advance(700);
  EXPECT_EQ(host.Receive(1, line_->UdpReplyPort()), Bytes{kC});
  // Requests still go to the listening port; the answers keep coming from the other one.
  host.Send(port, xmodem::MakeBlock(1, Bytes{0, 0x4A, 6, 0, 5, 3, 1, 0x41, 0x2F, 0x29}));
  EXPECT_EQ(host.Receive(1, line_->UdpReplyPort()), Bytes{kAck});
}

TEST(UdpChannelSetup, AnAddressInUseIsAClearError) {
  TLine first, second;
  first.ListenUdp("127.0.0.1", 0);
  EXPECT_THROW(second.ListenUdp("127.0.0.1", first.UdpPort()), ESimError);
  EXPECT_THROW(first.ListenUdp("127.0.0.1", 0), ESimError);
}

}  // namespace
}  // namespace orvela::sim
