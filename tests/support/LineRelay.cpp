#include "support/LineRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace orvela::test {
namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// The inode of the loopback TCP socket whose local port is port (the connecting side), from the kernel's
// socket table; empty when not listed.
std::string SocketInode(uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // header
  char local[16];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, localAddress, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> localAddress >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
        inode;
    if (localAddress == local) return inode;
  }
  return {};
}

// The process holding the socket inode open; 0 when none of this user's processes does.
pid_t OwnerOf(const std::string& inode) {
  if (inode.empty()) return 0;
  const std::string target = "socket:[" + inode + "]";
  // Processes come and go while the list is read: what cannot be read is passed over.
  std::error_code ec;
  for (std::filesystem::directory_iterator process("/proc", ec), end; !ec && process != end;
       process.increment(ec)) {
    const std::string name = process->path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code fdError;
    for (std::filesystem::directory_iterator fd(process->path() / "fd", fdError); !fdError && fd != end;
         fd.increment(fdError)) {
      std::error_code linkError;  // a descriptor closed meanwhile
      if (std::filesystem::read_symlink(fd->path(), linkError).string() == target) return std::stoi(name);
    }
  }
  return 0;
}

// Copies bytes both ways until a side closes or the relay stops.
void Pump(int a, int b, std::stop_token stop) {
  pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
  while (!stop.stop_requested()) {
    if (::poll(fds, 2, 50) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      for (ssize_t sent = 0; sent < n;) {
        const ssize_t w = ::send(fds[1 - i].fd, buffer + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
        if (w <= 0) return;
        sent += w;
      }
    }
  }
}

}  // namespace

TLineRelay::TLineRelay(uint16_t target) : target_(target) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  socklen_t size = sizeof a;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), size) != 0 || ::listen(listenFd_, 8) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &size) != 0)
    throw std::runtime_error("relay listener");
  port_ = ntohs(a.sin_port);
  acceptor_ = std::jthread([this](std::stop_token stop) { Accept(stop); });
}

TLineRelay::~TLineRelay() {
  acceptor_.request_stop();
  acceptor_.join();
  for (std::jthread& pump : pumps_) pump.request_stop();
  pumps_.clear();  // joins
  ::close(listenFd_);
}

std::vector<pid_t> TLineRelay::Openers() const {
  std::lock_guard lock(mutex_);
  return openers_;
}

void TLineRelay::Accept(std::stop_token stop) {
  while (!stop.stop_requested()) {
    pollfd ready{listenFd_, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) continue;
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    const int client = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    if (client < 0) continue;
    // Looked up at once, while the opener still holds its end.
    const pid_t opener = OwnerOf(SocketInode(ntohs(peer.sin_port)));
    const int line = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = Loopback(target_);
    if (::connect(line, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
      ::close(line);
      ::close(client);
      continue;
    }
    std::lock_guard lock(mutex_);
    openers_.push_back(opener);
    pumps_.emplace_back([client, line](std::stop_token pumpStop) {
      Pump(client, line, pumpStop);
      ::close(client);
      ::close(line);
    });
  }
}

}  // namespace orvela::test
