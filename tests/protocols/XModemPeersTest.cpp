// The XModem framing over a real TCP link against independent peers: lrzsz's rx and sx in XModem-CRC
// mode, and a fake meter that drops the connection in the middle of a reply.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "links/LoopbackPeer.h"
#include "links/TcpConnectionPort.h"
#include "protocols/XModemProtocol.h"

extern char** environ;

namespace orvela {
namespace {

using test::Bytes;
using test::TLoopbackTcpPeer;
namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "orvela-xmodem-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// Runs a shell command with the connection as its standard input and output; killed when the peer stops.
void RunOnConnection(int fd, const std::string& command, std::stop_token stop) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fd, 0);
  posix_spawn_file_actions_adddup2(&actions, fd, 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string shell = "/bin/sh";
  std::string dashC = "-c";
  std::string cmd = command;
  char* argv[] = {shell.data(), dashC.data(), cmd.data(), nullptr};
  // Its own process group, so that stopping it also stops rx or sx.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return;
  int status = 0;
  RealClock clock;  // the child runs in real time
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (stop.stop_requested()) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return;
    }
    clock.Sleep(5);
  }
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

bool HaveLrzsz() {
  return ::system("command -v rx >/dev/null 2>&1 && command -v sx >/dev/null 2>&1") == 0;
}

TEST(XModemPeers, RequestToRxAndMultiBlockReplyFromSx) {
  if (!HaveLrzsz()) GTEST_SKIP() << "lrzsz is not installed";
  TempDir dir;
  Bytes reply{0x5A, 0x01, 0x00, 0x00};
  const size_t payload = 700;  // six blocks, the last one padded
  reply[2] = payload & 0xFF;
  reply[3] = payload >> 8;
  for (size_t i = 0; i < payload; ++i) reply.push_back(static_cast<uint8_t>(i * 13 + 1));
  {
    std::ofstream out(dir.Path() / "reply.bin", std::ios::binary);
    out.write(reinterpret_cast<const char*>(reply.data()), static_cast<std::streamsize>(reply.size()));
  }
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
  Bytes received = ReadFile(dir.Path() / "req.bin");
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
