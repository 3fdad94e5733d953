#include "metersim/FieldModem.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "metersim/HayesModem.h"
#include "metersim/Line.h"

namespace orvela::sim {
namespace {

constexpr size_t kNumberDigits = 10;
constexpr int kMaxCount = 10'000;
constexpr size_t kRelayBytes = 4096;
constexpr uint8_t kNewModuleTail[2] = {3, 7};
// A modem that connects twice does it this long after its first connection, so the server has taken the
// first one by then.
constexpr int64_t kSecondConnectionMs = 5'000;

bool TenDigits(const std::string& text) {
  return text.size() == kNumberDigits && std::all_of(text.begin(), text.end(), [](char c) {
           return std::isdigit(static_cast<unsigned char>(c));
         });
}

bool ParseInt(const std::string& text, int64_t& value) {
  try {
    size_t used = 0;
    value = std::stoll(text, &used);
    return used == text.size() && value >= 0;
  } catch (const std::exception&) {
    return false;
  }
}

// The number plus n, kept at ten digits.
std::string NumberPlus(const std::string& number, int64_t n) {
  std::string next = std::to_string(std::stoll(number) + n);
  if (next.size() < kNumberDigits) next.insert(0, kNumberDigits - next.size(), '0');
  return next.substr(next.size() - kNumberDigits);
}

bool SendAll(int fd, const uint8_t* bytes, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t sent = ::send(fd, bytes + done, n - done, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return true;
}

// The bytes a modem announces itself with.
std::vector<uint8_t> Announcement(const TFieldModemSpec& spec) {
  std::vector<uint8_t> bytes;
  const std::string& number = spec.fault == TAnnounceFault::Wrong ? spec.wrongNumber : spec.number;
  switch (spec.fault) {
    case TAnnounceFault::Silent:
      return bytes;
    case TAnnounceFault::Malformed:
      for (char c : number) bytes.push_back(static_cast<uint8_t>(c));  // characters, not digit values
      return bytes;
    default:
      break;
  }
  for (char c : number) bytes.push_back(static_cast<uint8_t>(c - '0'));
  if (spec.fault == TAnnounceFault::Partial) {
    bytes.resize(kNumberDigits / 2);
    return bytes;
  }
  if (spec.moduleKind == 2) bytes.insert(bytes.end(), std::begin(kNewModuleTail), std::end(kNewModuleTail));
  return bytes;
}

}  // namespace

bool ParseFieldModemSpec(const std::string& text, std::vector<TFieldModemSpec>& out, std::string& error) {
  std::vector<std::string> parts;
  for (size_t start = 0;;) {
    size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  TFieldModemSpec spec;
  spec.number = parts[0];
  if (!TenDigits(spec.number))
    return error = "field modem \"" + text + "\": the number has ten digits", false;
  int64_t count = 1;
  for (size_t i = 1; i < parts.size(); ++i) {
    const std::string& p = parts[i];
    size_t eq = p.find('=');
    std::string name = p.substr(0, eq), value = eq == std::string::npos ? "" : p.substr(eq + 1);
    int64_t n = 0;
    bool ok = true;
    if (name == "kind")
      ok = ParseInt(value, n) && (n == 1 || n == 2), spec.moduleKind = static_cast<int>(n);
    else if (name == "silent")
      spec.fault = TAnnounceFault::Silent;
    else if (name == "malformed")
      spec.fault = TAnnounceFault::Malformed;
    else if (name == "partial")
      spec.fault = TAnnounceFault::Partial;
    else if (name == "wrong")
      ok = TenDigits(value), spec.fault = TAnnounceFault::Wrong, spec.wrongNumber = value;
    else if (name == "drop")
      ok = ParseInt(value, spec.dropAfterBytes);
    else if (name == "twice")
      spec.twice = true;
    else if (name == "wired")
      spec.wired = true;
    else if (name == "timer")
      ok = ParseInt(value, spec.timerMs) && spec.timerMs > 0;
    else if (name == "count")
      ok = ParseInt(value, count) && count >= 1 && count <= kMaxCount;
    else
      ok = false;
    if (!ok) return error = "field modem \"" + text + "\": bad option \"" + p + "\"", false;
  }
  for (int64_t i = 0; i < count; ++i) {
    TFieldModemSpec one = spec;
    one.number = NumberPlus(spec.number, i);
    out.push_back(one);
  }
  return true;
}

TFieldModems::TFieldModems(TFieldModemOptions options)
    : options_(std::move(options)), clock_(options_.clock ? *options_.clock : SystemClock()) {}

TFieldModems::~TFieldModems() {
  Stop();
}

void TFieldModems::Add(const TFieldModemSpec& spec) {
  if (thread_.joinable()) throw ESimError("field modems join before the bank serves");
  modems_[spec.number] = spec;
}

void TFieldModems::Start() {
  if (thread_.joinable()) return;
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) throw ESimError("field modems: no event descriptor");
  int64_t now = clock_.TickMs();
  {
    std::lock_guard lock(dueMutex_);
    for (const auto& [number, spec] : modems_)
      if (spec.timerMs > 0) due_.push_back({now + spec.timerMs, number});
  }
  thread_ = std::jthread([this](std::stop_token stop) { Serve(stop); });
}

void TFieldModems::Stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    Wake();
    thread_.join();
  }
  for (TSession& s : sessions_) Close(s, "");
  sessions_.clear();
  if (wakeFd_ >= 0) ::close(wakeFd_);
  wakeFd_ = -1;
}

void TFieldModems::Wake() {
  uint64_t one = 1;
  if (wakeFd_ >= 0) [[maybe_unused]]
    ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

bool TFieldModems::Ring(const std::string& number) {
  if (!modems_.contains(number)) return false;
  Note("ring " + number);
  {
    std::lock_guard lock(dueMutex_);
    due_.push_back({clock_.TickMs() + options_.answerDelayMs, number});
  }
  Wake();
  return true;
}

void TFieldModems::Drop(const std::string& number) {
  {
    std::lock_guard lock(dueMutex_);
    drops_.push_back(number);
  }
  Wake();
}

void TFieldModems::Note(const std::string& event) {
  {
    std::lock_guard lock(eventsMutex_);
    events_.push_back(event);
  }
  if (sink_) sink_(event);
}

std::vector<std::string> TFieldModems::Events() const {
  std::lock_guard lock(eventsMutex_);
  return events_;
}

void TFieldModems::Open(const TFieldModemSpec& spec) {
  TSession session{spec.number};
  session.server = ConnectTcpPeer(options_.serverHost, options_.serverPort);
  if (session.server < 0) {
    Note("refused " + spec.number);
    if (spec.timerMs > 0) {
      std::lock_guard lock(dueMutex_);
      due_.push_back({clock_.TickMs() + spec.timerMs, spec.number});
    }
    return;
  }
  std::vector<uint8_t> announcement = Announcement(spec);
  SendAll(session.server, announcement.data(), announcement.size());
  // A modem that said nothing useful carries no meter: the server has to cut it off.
  session.carries = spec.fault == TAnnounceFault::None || spec.fault == TAnnounceFault::Wrong;
  if (session.carries && spec.wired) session.meter = ConnectTcpPeer(options_.meterHost, options_.meterPort);
  ++connected_;
  Note("connect " + spec.number);
  sessions_.push_back(session);
}

void TFieldModems::Close(TSession& session, const std::string& why) {
  if (session.server < 0) return;
  ::close(session.server);
  if (session.meter >= 0) ::close(session.meter);
  session.server = session.meter = -1;
  --connected_;
  if (why.empty()) return;
  Note(why + " " + session.number);
  const TFieldModemSpec& spec = modems_.at(session.number);
  if (spec.timerMs > 0) {
    std::lock_guard lock(dueMutex_);
    due_.push_back({clock_.TickMs() + spec.timerMs, session.number});
  }
}

void TFieldModems::Relay(TSession& session, bool fromServer) {
  uint8_t buffer[kRelayBytes];
  int from = fromServer ? session.server : session.meter;
  int to = fromServer ? session.meter : session.server;
  ssize_t n = ::recv(from, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) return Close(session, "closed");
  if (fromServer) {
    // The meter's side is reached when the server first speaks: hundreds of idle modems then cost the
    // line no sessions.
    if (session.meter < 0 && session.carries)
      session.meter = ConnectTcpPeer(options_.meterHost, options_.meterPort);
    if (session.meter >= 0) SendAll(session.meter, buffer, static_cast<size_t>(n));
    return;
  }
  const TFieldModemSpec& spec = modems_.at(session.number);
  size_t take = static_cast<size_t>(n);
  if (spec.dropAfterBytes >= 0)
    take = std::min<size_t>(take,
                            static_cast<size_t>(std::max<int64_t>(spec.dropAfterBytes - session.carried, 0)));
  SendAll(to, buffer, take);
  session.carried += static_cast<int64_t>(take);
  if (spec.dropAfterBytes >= 0 && session.carried >= spec.dropAfterBytes) Close(session, "drop");
}

void TFieldModems::Serve(std::stop_token stop) {
  while (!stop.stop_requested()) {
    std::vector<std::string> opening, dropping;
    {
      std::lock_guard lock(dueMutex_);
      int64_t now = clock_.TickMs();
      for (auto it = due_.begin(); it != due_.end();) {
        if (it->at > now) {
          ++it;
          continue;
        }
        opening.push_back(it->number);
        it = due_.erase(it);
      }
      dropping.swap(drops_);
    }
    for (const std::string& number : dropping)
      for (TSession& s : sessions_)
        if (s.number == number) Close(s, "drop");
    for (const std::string& number : opening) {
      const TFieldModemSpec& spec = modems_.at(number);
      bool up = std::any_of(sessions_.begin(), sessions_.end(),
                            [&](const TSession& s) { return s.number == number && s.server >= 0; });
      // A ring while connected changes nothing, except for the modem that connects twice.
      if (up && !spec.twice) continue;
      Open(spec);
      if (spec.twice && !up) {
        std::lock_guard lock(dueMutex_);
        due_.push_back({clock_.TickMs() + kSecondConnectionMs, number});
      }
    }
    std::erase_if(sessions_, [](const TSession& s) { return s.server < 0; });

    std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}};
    for (const TSession& s : sessions_) {
      fds.push_back({s.server, POLLIN, 0});
      fds.push_back({s.meter, POLLIN, 0});  // -1 is ignored by poll
    }
    int ready = ::poll(fds.data(), fds.size(), std::clamp(clock_.RealWaitMs(50), 1, 50));
    if (ready <= 0) continue;
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
    }
    for (size_t i = 0; i < sessions_.size(); ++i) {
      const pollfd& server = fds[1 + 2 * i];
      const pollfd& meter = fds[2 + 2 * i];
      if (sessions_[i].server >= 0 && (server.revents & (POLLIN | POLLHUP | POLLERR)))
        Relay(sessions_[i], true);
      if (sessions_[i].meter >= 0 && (meter.revents & (POLLIN | POLLHUP | POLLERR)))
        Relay(sessions_[i], false);
    }
  }
}

}  // namespace orvela::sim
