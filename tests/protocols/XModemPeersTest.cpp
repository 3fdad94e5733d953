// The XModem framing over a real TCP link against independent peers: lrzsz's rx and sx in XModem-CRC
// mode, and a fake meter that drops the connection in the middle of a reply.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "links/TcpConnectionPort.h"
#include "protocols/XModemProtocol.h"
#include "support/LoopbackPeer.h"
#include "support/Peers.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace orvela {
namespace {

using test::Bytes;
using test::TLoopbackTcpPeer;

// Runs a shell command with the connection as its standard input and output; killed (with what it
// started) when the peer stops.
void RunOnConnection(int fd, const std::string& command, std::stop_token stop) {
  test::TProcessOptions options;
  options.stdioFd = fd;
  options.ownGroup = true;
  test::TProcess child({"/bin/sh", "-c", command}, options);
  RealClock clock;  // the child runs in real time
  while (child.Running() && !stop.stop_requested()) clock.Sleep(5);
}

TEST(XModemPeers, RequestToRxAndMultiBlockReplyFromSx) {
  ORVELA_REQUIRE_PEER("rx");
  ORVELA_REQUIRE_PEER("sx");
  test::TTempDir dir("orvela-xmodem");
  Bytes reply{0x5A, 0x01, 0x00, 0x00};
  const size_t payload = 700;  // six blocks, the last one padded
  reply[2] = payload & 0xFF;
  reply[3] = payload >> 8;
  for (size_t i = 0; i < payload; ++i) reply.push_back(static_cast<uint8_t>(i * 13 + 1));
  test::WriteBytes(dir / "reply.bin", reply);
  // The framing purges the line when a request starts, and rx sends its first "C" as soon as it runs
  // (the next one only after 13 s), so rx starts a second after the connection: well after the purge
  // and well inside the framing's wait for the ready sign.
  std::string command =
      "cd '" + dir.Path().string() + "' && sleep 1 && rx -X -c -q req.bin && sx -X -q reply.bin";
  TLoopbackTcpPeer peer([&](int fd, std::stop_token stop) { RunOnConnection(fd, command, stop); });

  // Real programs answer in real time: at a factor of 5 the framing still waits over 4 real seconds for
  // the ready sign.
  ScaledClock clock{5};

  TConnSettings settings;
  settings.EchoTested = 1;
  TMemoryChannelLog log;
  TTCPConnectionPort link(&settings, clock);
  link.SetOrder(&log);
  ASSERT_TRUE(link.SetAddress(peer.Address()));
  ASSERT_TRUE(link.Connect());
  XModemProtocol framing;
  framing.SetLink(&link);
  const Bytes request{0x01, 0x02, 0x03, 0x04, 0x05};
  TBytes buffer;
  bool ok = framing.Request(request, buffer);
  if (!ok) {
    for (const auto& e : log.Entries()) std::printf("%s\n", e.text.c_str());
  }
  ASSERT_TRUE(ok) << framing.SendStatus() << " / " << framing.ReceiveStatus();

  EXPECT_TRUE(std::equal(reply.begin(), reply.end(), buffer.begin()));
  EXPECT_EQ(buffer[reply.size()], 0xFF);
  Bytes received = test::ReadBytes(dir / "req.bin");
  Bytes expected = request;
  expected.resize(128, 0x1A);
  EXPECT_EQ(received, expected);
}

TEST(XModemPeers, PeerClosingMidReplyIsAConnectionLoss) {
  TLoopbackTcpPeer peer([](int fd, std::stop_token stop) {
    Bytes block;
    while (block.size() < 133 && !stop.stop_requested()) {
      test::WriteAll(fd, "C");  // a waiting meter repeats its ready sign
      Bytes got = test::ReadUpTo(fd, 133 - block.size(), 100);
      block.insert(block.end(), got.begin(), got.end());
    }
    test::WriteAll(fd, Bytes{0x06});
    test::ReadUpTo(fd, 1, 5000);  // EOT
    test::WriteAll(fd, Bytes{0x06});
    test::ReadUpTo(fd, 1, 5000);  // "C"
    block[1] = 1;
    block.resize(60);  // half a block, then the line drops
    test::WriteAll(fd, block);
  });
  ScaledClock clock{10};
  TConnSettings settings;
  settings.EchoTested = 1;
  TMemoryChannelLog log;
  TTCPConnectionPort link(&settings, clock);
  link.SetOrder(&log);
  ASSERT_TRUE(link.SetAddress(peer.Address()));
  ASSERT_TRUE(link.Connect());
  XModemProtocol framing;
  framing.SetLink(&link);
  TBytes buffer;
  EXPECT_FALSE(framing.Request(Bytes{0x42}, buffer));
  EXPECT_EQ(framing.ReceiveStatus(), "Обрыв соединения");
  EXPECT_EQ(framing.Counters().connectionLosses, 1);
  EXPECT_TRUE(log.Contains(TMemoryChannelLog::Kind::Line, "Обрыв соединения"));
}

}  // namespace
}  // namespace orvela
