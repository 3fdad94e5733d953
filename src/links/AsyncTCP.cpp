#include "links/AsyncTCP.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "links/ConnectionDevice.h"
#include "links/SocketUtil.h"
#include "platform/DateTime.h"
#include "platform/JournalSink.h"
#include "platform/MainThread.h"

namespace orvela {
namespace {

constexpr uint64_t kListenId = 0, kWakeId = 1;
constexpr int kMaxEvents = 64;
// The loop looks at its timers at least this often in real time, whatever the clock's scale.
constexpr int kMaxLoopWaitMs = 200;
constexpr uint32_t kStepWrap = 100'000;
constexpr const char* kLogName = "Log_TCPTh.txt";

std::mutex currentMutex;
std::shared_ptr<TAsyncTCP> currentListener;

std::string HexText(const std::vector<uint8_t>& bytes) {
  std::string text;
  for (uint8_t b : bytes) text += HexByte(b) + " ";
  if (!text.empty()) text.pop_back();
  return text;
}

std::string PeerText(const sockaddr_in& address) {
  return socketutil::DottedAddress(address.sin_addr) + ":" + std::to_string(ntohs(address.sin_port));
}

bool AllDigitValues(const std::vector<uint8_t>& bytes) {
  return std::all_of(bytes.begin(), bytes.begin() + TAsyncTCP::kNumberBytes,
                     [](uint8_t b) { return b <= 9; });
}

// Journal lines leave the listener's thread without waiting: the main thread may be the one stopping the
// listener, waiting for this thread to end.
void PostJournal(const std::string& text, const std::string& second) {
  MainThread::Post([text, second] { JournalLine(text, second); });
}

}  // namespace

TClientSocket::~TClientSocket() {
  if (fd_ >= 0) ::close(fd_);
}

void TClientSocket::Shutdown() {
  ::shutdown(fd_, SHUT_RDWR);
}

std::string NumberKey(const std::string& number) {
  std::string digits;
  for (char c : number)
    if (std::isdigit(static_cast<unsigned char>(c))) digits += c;
  return digits.size() > TAsyncTCP::kNumberBytes ? digits.substr(digits.size() - TAsyncTCP::kNumberBytes)
                                                 : digits;
}

TAsyncTCP::TAsyncTCP(TListenerOptions options)
    : options_(std::move(options)), clock_(options_.clock ? *options_.clock : SystemClock()) {}

TAsyncTCP::~TAsyncTCP() {
  Stop();
}

std::shared_ptr<TAsyncTCP> TAsyncTCP::Current() {
  std::lock_guard lock(currentMutex);
  return currentListener;
}

void TAsyncTCP::SetCurrent(std::shared_ptr<TAsyncTCP> listener) {
  std::lock_guard lock(currentMutex);
  currentListener = std::move(listener);
}

bool TAsyncTCP::Start() {
  if (thread_.joinable()) return listening_;
  if (options_.channelLog && !options_.logFolder.empty()) {
    logPath_ = options_.logFolder / kLogName;
    std::ofstream(logPath_, std::ios::trunc);  // emptied for each run of the listener
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  std::string where =
      (options_.bindAddress.empty() ? "*" : options_.bindAddress) + ":" + std::to_string(options_.port);
  auto fail = [&](const std::string& what) {
    std::string text = "GPRS: порт TCP " + where + " не открыт (" + what + ")";
    Log(text);
    JournalLine(text, where);
    Stop();
    return false;
  };
  if (!options_.bindAddress.empty() &&
      ::inet_pton(AF_INET, options_.bindAddress.c_str(), &address.sin_addr) != 1)
    return fail("неверный адрес");
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int on = 1;
  if (listenFd_ < 0 || ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, kBacklog) != 0)
    return fail(std::strerror(errno));
  socklen_t length = sizeof address;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (epollFd_ < 0 || wakeFd_ < 0) return fail(std::strerror(errno));
  epoll_event listenEvent{EPOLLIN, {.u64 = kListenId}};
  epoll_event wakeEvent{EPOLLIN, {.u64 = kWakeId}};
  ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &listenEvent);
  ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &wakeEvent);
  listening_ = true;
  Log("Слушаем порт " + std::to_string(port_));
  thread_ = std::jthread([this](std::stop_token stop) { Loop(stop); });
  return true;
}

void TAsyncTCP::Stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
  }
  listening_ = false;
  for (auto& [id, pending] : pending_) ::close(pending.fd);
  pending_.clear();
  {
    std::lock_guard lock(tableMutex_);
    for (auto& [id, entry] : table_) entry.client.socket->Shutdown();
    table_.clear();
  }
  for (int* fd : {&listenFd_, &epollFd_, &wakeFd_})
    if (*fd >= 0) ::close(*fd), *fd = -1;
}

void TAsyncTCP::Loop(std::stop_token stop) {
  epoll_event events[kMaxEvents];
  while (!stop.stop_requested()) {
    int n = ::epoll_wait(epollFd_, events, kMaxEvents, NextWaitMs());
    for (int i = 0; i < n; ++i) {
      if (events[i].data.u64 == kListenId) {
        AcceptAll();
      } else if (events[i].data.u64 == kWakeId) {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t r = ::read(wakeFd_, &count, sizeof count);
      } else {
        OnEvent(events[i].data.u64, events[i].events);
      }
    }
    RunTimers();
  }
}

void TAsyncTCP::AcceptAll() {
  for (;;) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // nothing more waiting (or a connection that went before it was taken)
    step_ = (step_ + 1) % kStepWrap;
    Log("Начало шага цикла " + std::to_string(step_));
    Log("Есть клиент " + PeerText(peer));
    if (pending_.size() >= options_.maxPending) {
      Log("Слишком много подключений без номера, отказ " + PeerText(peer));
      ::close(fd);
      continue;
    }
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    uint64_t id = nextId_++;
    epoll_event event{EPOLLIN | EPOLLRDHUP, {.u64 = id}};
    if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
      ::close(fd);
      continue;
    }
    pending_.emplace(id, TPending{fd, {}, clock_.TickMs(), -1, PeerText(peer)});
  }
}

void TAsyncTCP::OnEvent(uint64_t id, uint32_t events) {
  if (auto found = pending_.find(id); found != pending_.end()) return ReadAnnouncement(id, found->second);
  if ((events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) == 0) return;
  std::lock_guard lock(tableMutex_);
  auto entry = table_.find(id);
  if (entry == table_.end()) return;  // removed meanwhile
  // A link that holds the socket sees the end itself; the table forgets the modem at once.
  Log("Модем отключился: " + entry->second.client.number);
  table_.erase(entry);
}

void TAsyncTCP::ReadAnnouncement(uint64_t id, TPending& pending) {
  // Never more than the announcement: whatever follows belongs to the meter and its framing.
  uint8_t buffer[kNumberBytes + 2];
  size_t want = sizeof buffer - pending.bytes.size();
  ssize_t n = ::recv(pending.fd, buffer, want, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0) return DropPending(id, "соединение закрыто до номера", false);
  Log("Прислано " + std::to_string(n));
  pending.bytes.insert(pending.bytes.end(), buffer, buffer + n);
  Settle(id);
}

void TAsyncTCP::Settle(uint64_t id) {
  TPending& pending = pending_.at(id);
  const std::vector<uint8_t>& b = pending.bytes;
  if (b.size() < kNumberBytes) return;
  if (!AllDigitValues(b)) return DropPending(id, "неверный номер модема (" + HexText(b) + ")", true);
  if (pending.numberAt < 0) {
    pending.numberAt = clock_.TickMs();
    Log("Прислан телефонный номер");
  }
  // Decided by content: the two bytes 3 and 7 mark a new module; anything else is the meter's.
  bool mayBeNew =
      b.size() < kNumberBytes + 2 && (b.size() == kNumberBytes || b[kNumberBytes] == kNewModuleBytes[0]);
  if (mayBeNew) return;  // the window decides (RunTimers)
  bool isNew = b.size() == kNumberBytes + 2 && b[kNumberBytes] == kNewModuleBytes[0] &&
               b[kNumberBytes + 1] == kNewModuleBytes[1];
  std::vector<uint8_t> early =
      isNew ? std::vector<uint8_t>{} : std::vector<uint8_t>(b.begin() + kNumberBytes, b.end());
  Log(isNew ? "Есть 2 байта - модуль новый" : "Нету 2 байт - модуль старый");
  TPending taken = std::move(pending);
  pending_.erase(id);
  File(id, std::move(taken), isNew ? 2 : 1, std::move(early));
}

void TAsyncTCP::File(uint64_t id, TPending pending, int32_t moduleKind, std::vector<uint8_t> early) {
  std::string number;
  for (size_t i = 0; i < kNumberBytes; ++i) number += static_cast<char>('0' + pending.bytes[i]);
  Log("Тел номер разобран: " + number);
  auto socket = std::make_shared<TClientSocket>(pending.fd);
  {
    std::lock_guard lock(tableMutex_);
    Log("Зашли в секцию: " + std::to_string(table_.size()));
    // A modem that connects again (after a drop) replaces its older connection, which ends for any link
    // still using it.
    for (auto it = table_.begin(); it != table_.end();) {
      if (it->second.client.number != number) {
        ++it;
        continue;
      }
      Log("Удаление раннего клиента в секции: " + number);
      it->second.client.socket->Shutdown();
      it = table_.erase(it);
    }
    if (table_.size() >= options_.maxClients) {
      std::string text = "GPRS: таблица модемов заполнена, отказ номеру " + number;
      Log(text);
      PostJournal(text, number);
      return;  // the socket closes with its last holder, here
    }
    TEntry entry{TMyClient{socket, number, serial_++, moduleKind, std::move(early)}, nullptr,
                 clock_.TickMs()};
    table_.emplace(id, std::move(entry));
    // From now on only the modem's going is watched; its bytes are the link's.
    epoll_event event{EPOLLRDHUP | EPOLLONESHOT, {.u64 = id}};
    ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, socket->Fd(), &event);
    active_ = true;
    Log("Есть подключение: модуль " + std::to_string(moduleKind));
  }
  PostJournal("Есть подключение от номера. " + number, number);
  Log("Конец шага шикла " + std::to_string(step_));
}

void TAsyncTCP::DropPending(uint64_t id, const std::string& why, bool journal) {
  auto found = pending_.find(id);
  if (found == pending_.end()) return;
  std::string text = "GPRS: " + why + " (" + found->second.peer + ")";
  Log(text);
  if (journal) PostJournal(text, found->second.peer);
  ::close(found->second.fd);
  pending_.erase(found);
}

void TAsyncTCP::RunTimers() {
  int64_t now = clock_.TickMs();
  std::vector<uint64_t> settled, silent;
  for (auto& [id, p] : pending_) {
    if (p.numberAt >= 0 && now - p.numberAt >= options_.moduleWindowMs)
      settled.push_back(id);
    else if (now - p.acceptedAt >= options_.announceTimeoutMs)
      silent.push_back(id);
  }
  for (uint64_t id : silent)
    DropPending(id, "модем не прислал номер за " + std::to_string(options_.announceTimeoutMs / 1000) + " с",
                true);
  for (uint64_t id : settled) {
    TPending taken = std::move(pending_.at(id));
    pending_.erase(id);
    Log("Нету 2 байт - модуль старый");
    std::vector<uint8_t> early(taken.bytes.begin() + kNumberBytes, taken.bytes.end());
    File(id, std::move(taken), 1, std::move(early));
  }
  std::vector<std::string> unclaimed;
  {
    std::lock_guard lock(tableMutex_);
    for (auto it = table_.begin(); it != table_.end();) {
      if (it->second.taker != nullptr || now - it->second.freeSince < options_.unclaimedMs) {
        ++it;
        continue;
      }
      unclaimed.push_back(it->second.client.number);
      it->second.client.socket->Shutdown();
      it = table_.erase(it);
    }
  }
  for (const std::string& number : unclaimed) {
    std::string text = "GPRS: модем " + number + " не востребован, соединение закрыто";
    Log(text);
    PostJournal(text, number);
  }
}

int TAsyncTCP::NextWaitMs() const {
  int64_t now = clock_.TickMs();
  int64_t next = options_.unclaimedMs;
  for (const auto& [id, p] : pending_)
    next = std::min(next, p.numberAt >= 0 ? p.numberAt + options_.moduleWindowMs - now
                                          : p.acceptedAt + options_.announceTimeoutMs - now);
  return std::clamp(clock_.RealWaitMs(std::max<int64_t>(next, 0)), 1, kMaxLoopWaitMs);
}

std::optional<TMyClient> TAsyncTCP::FindClient(const std::string& number, const void* taker) {
  std::string key = NumberKey(number);
  if (key.empty()) return std::nullopt;
  std::lock_guard lock(tableMutex_);
  TEntry* best = nullptr;
  for (auto& [id, entry] : table_) {
    if (entry.client.number != key) continue;
    if (entry.taker != nullptr && entry.taker != taker) continue;  // another link's modem
    if (best == nullptr || entry.client.serial > best->client.serial) best = &entry;
  }
  if (best == nullptr) return std::nullopt;
  best->taker = taker;
  TMyClient client = best->client;
  best->client.early.clear();  // handed over once
  return client;
}

void TAsyncTCP::GiveBack(uint32_t serial, const void* taker) {
  std::lock_guard lock(tableMutex_);
  for (auto& [id, entry] : table_) {
    if (entry.client.serial != serial || entry.taker != taker) continue;
    entry.taker = nullptr;
    entry.freeSince = clock_.TickMs();
  }
}

int TAsyncTCP::RemoveClient(const std::string& number, const void* taker) {
  std::string key = NumberKey(number);
  std::lock_guard lock(tableMutex_);
  int removed = 0;
  for (auto it = table_.begin(); it != table_.end();) {
    bool mine = it->second.taker == nullptr || it->second.taker == taker;
    if (it->second.client.number != key || !mine) {
      ++it;
      continue;
    }
    it->second.client.socket->Shutdown();
    it = table_.erase(it);
    ++removed;
  }
  return removed;
}

void TAsyncTCP::Forget(uint32_t serial) {
  std::lock_guard lock(tableMutex_);
  for (auto it = table_.begin(); it != table_.end(); ++it) {
    if (it->second.client.serial != serial) continue;
    it->second.client.socket->Shutdown();
    table_.erase(it);
    return;
  }
}

size_t TAsyncTCP::ClientCount() const {
  std::lock_guard lock(tableMutex_);
  return table_.size();
}

std::vector<std::string> TAsyncTCP::Numbers() const {
  std::lock_guard lock(tableMutex_);
  std::vector<std::string> numbers;
  for (const auto& [id, entry] : table_) numbers.push_back(entry.client.number);
  return numbers;
}

void TAsyncTCP::Log(const std::string& text) {
  if (logPath_.empty()) return;
  std::lock_guard lock(logMutex_);
  std::ofstream out(logPath_, std::ios::app);
  out << FormatDateTime(clock_.Now()) << " | " << text << '\n';
}

}  // namespace orvela
