#include "metersim/HayesModem.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>

#include "metersim/Line.h"

namespace orvela::sim {
namespace {

constexpr size_t kMaxCommandLine = 256;

enum TResult : int {
  rOk = 0,
  rConnect = 1,
  rNoCarrier = 3,
  rError = 4,
  rNoDialtone = 6,
  rBusy = 7,
  rNoAnswer = 8
};

struct TResultText {
  TResult code;
  const char* verbose;
};
constexpr std::array<TResultText, 7> kResultTexts = {{{rOk, "OK"},
                                                      {rConnect, "CONNECT 9600"},
                                                      {rNoCarrier, "NO CARRIER"},
                                                      {rError, "ERROR"},
                                                      {rNoDialtone, "NO DIALTONE"},
                                                      {rBusy, "BUSY"},
                                                      {rNoAnswer, "NO ANSWER"}}};

struct TKindName {
  const char* name;
  TPhoneKind kind;
  TResult result;
  const char* event;
};
constexpr std::array<TKindName, 4> kKindNames = {
    {{"busy", TPhoneKind::Busy, rBusy, "busy"},
     {"noanswer", TPhoneKind::NoAnswer, rNoAnswer, "no answer"},
     {"nocarrier", TPhoneKind::NoCarrier, rNoCarrier, "no carrier"},
     {"nodialtone", TPhoneKind::NoDialtone, rNoDialtone, "no dialtone"}}};

std::string Digits(std::string_view number) {
  std::string digits;
  for (char c : number)
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '*' || c == '#') digits += c;
  return digits;
}

}  // namespace

int ConnectTcpPeer(const std::string& host, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return -1;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    fd = -1;
  }
  return fd;
}

bool ParsePhoneEntry(const std::string& text, TPhoneEntry& entry, std::string& error) {
  entry = TPhoneEntry{};
  if (text == "wake") {
    entry.kind = TPhoneKind::Wake;
    return true;
  }
  for (const TKindName& k : kKindNames) {
    if (text != k.name) continue;
    entry.kind = k.kind;
    return true;
  }
  std::string address = text;
  if (size_t comma = text.find(','); comma != std::string::npos) {
    address = text.substr(0, comma);
    std::string option = text.substr(comma + 1);
    try {
      size_t used = 0;
      if (!option.starts_with("drop=")) throw std::invalid_argument(option);
      entry.dropAfterBytes = std::stoll(option.substr(5), &used);
      if (used != option.size() - 5 || entry.dropAfterBytes < 0) throw std::invalid_argument(option);
    } catch (const std::exception&) {
      return error = "phone entry \"" + text + "\": bad option (drop=N)", false;
    }
  }
  size_t colon = address.rfind(':');
  int port = 0;
  try {
    port = colon == std::string::npos ? 0 : std::stoi(address.substr(colon + 1));
  } catch (const std::exception&) {
    port = 0;
  }
  if (colon == std::string::npos || port <= 0 || port > 65535)
    return error = "phone entry \"" + text + "\": busy, noanswer, nocarrier, nodialtone or HOST:PORT", false;
  entry.host = address.substr(0, colon);
  entry.port = static_cast<uint16_t>(port);
  return true;
}

// One modem's line state, touched only by its serving thread.
struct THayesModem::TState {
  explicit TState(THayesModem& owner) : modem(owner) {}
  THayesModem& modem;
  bool echo = true, verbose = true, quiet = false;
  std::string command;
  // The call: the far end's socket and how many of its bytes were carried.
  int far = -1;
  int64_t carried = 0;
  int64_t dropAfter = -1;
  bool dataMode = false;
  // A dial in progress: its result and when it comes.
  std::optional<TResult> pending;
  int64_t pendingAt = 0;
  std::string dialled;
  TPhoneEntry dialEntry;
  // Escape: pluses held back, when the last byte from the host came, a loss being noticed.
  int pluses = 0;
  int64_t lastHostByte = -1'000'000;
  int64_t lossAt = -1;
  std::string lastReason = "Normal call clearing";

  int64_t Now() const { return modem.clock_.TickMs(); }

  void ToHost(std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(modem.pty_.master, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return;  // nobody reads the terminal: the bytes are lost, as on a line
      done += static_cast<size_t>(n);
    }
  }

  void Reply(TResult code) {
    if (quiet || modem.silent_) return;
    if (!verbose) return ToHost(std::to_string(code) + "\r");
    for (const TResultText& t : kResultTexts)
      if (t.code == code) return ToHost(std::string("\r\n") + t.verbose + "\r\n");
  }

  void EndCall() {
    if (far >= 0) ::close(far);
    far = -1;
    dataMode = false;
    lossAt = -1;
    pluses = 0;
    modem.online_ = false;
  }

  void Dial(std::string_view rest) {
    while (!rest.empty() && (rest.front() == 'T' || rest.front() == 'P')) rest.remove_prefix(1);
    dialled = Digits(rest);
    modem.Note("dial " + dialled);
    auto found = modem.book_.find(dialled);
    dialEntry = found != modem.book_.end() ? found->second : TPhoneEntry{TPhoneKind::NoCarrier, {}, 0, -1};
    bool rings = dialEntry.kind == TPhoneKind::Line || dialEntry.kind == TPhoneKind::NoAnswer;
    pendingAt = Now() + (rings ? modem.options_.ringMs : modem.options_.quickAnswerMs);
    pending = rConnect;
    for (const TKindName& k : kKindNames)
      if (k.kind == dialEntry.kind) pending = k.result;
    if (dialEntry.kind == TPhoneKind::Wake) {
      // A GSM modem places a voice call at once and reports how it ended later.
      Reply(rOk);
      pendingAt = Now() + modem.options_.ringMs;
      pending = rNoCarrier;
    }
  }

  void SettleDial() {
    TResult result = *pending;
    pending.reset();
    if (dialEntry.kind == TPhoneKind::Wake) {
      modem.Note("wake " + dialled);
      if (modem.ringer_) modem.ringer_(dialled);
      lastReason = "Call rejected";
      return Reply(rNoCarrier);
    }
    if (result == rConnect) {
      far = ConnectTcpPeer(dialEntry.host, dialEntry.port);
      if (far < 0) result = rNoCarrier;
    }
    if (result != rConnect) {
      for (const TKindName& k : kKindNames)
        if (k.result == result) lastReason = k.event;
      modem.Note(std::string(result == rNoCarrier ? "no carrier" : lastReason) + " " + dialled);
      return Reply(result);
    }
    carried = 0;
    dropAfter = dialEntry.dropAfterBytes;
    dataMode = true;
    modem.online_ = true;
    lastHostByte = Now();
    modem.Note("connect " + dialled);
    Reply(rConnect);
  }

  // Runs one command line; false when an ERROR was answered.
  bool Execute(std::string line) {
    std::transform(line.begin(), line.end(), line.begin(), [](unsigned char c) { return std::toupper(c); });
    line.erase(std::remove(line.begin(), line.end(), ' '), line.end());
    if (line.empty()) return true;
    // As a modem does, whatever came before "AT" is no part of the command.
    size_t at = line.find("AT");
    if (at == std::string::npos) return false;
    std::string_view rest(line);
    rest.remove_prefix(at + 2);
    auto digit = [&rest]() {
      int value = 0;
      while (!rest.empty() && std::isdigit(static_cast<unsigned char>(rest.front()))) {
        value = value * 10 + (rest.front() - '0');
        rest.remove_prefix(1);
      }
      return value;
    };
    while (!rest.empty()) {
      char c = rest.front();
      rest.remove_prefix(1);
      if (c == 'D') return Dial(rest), true;
      if (c == 'E')
        echo = digit() != 0;
      else if (c == 'V')
        verbose = digit() != 0;
      else if (c == 'Q')
        quiet = digit() != 0;
      else if (c == 'H') {
        digit();
        if (far >= 0) modem.Note("hangup");
        EndCall();
      } else if (c == 'O') {
        digit();
        if (far < 0) return Reply(rNoCarrier), true;
        dataMode = true;
        return Reply(rConnect), true;
      } else if (c == 'Z') {
        digit();
        echo = verbose = true;
        quiet = false;
      } else if (c == '&' && !rest.empty()) {
        rest.remove_prefix(1);
        digit();
      } else if (c == 'S') {
        digit();
        if (!rest.empty() && rest.front() == '=') rest.remove_prefix(1), digit();
      } else if (c == '+' && rest.starts_with("CEER")) {
        rest.remove_prefix(4);
        ToHost(verbose ? "\r\n+CEER: " + lastReason + "\r\n" : "+CEER: " + lastReason + "\r\n");
      } else if (std::string_view("LMXW").find(c) != std::string_view::npos) {
        digit();
      } else {
        return false;
      }
    }
    Reply(rOk);
    return true;
  }

  void FromHostInCommandMode(uint8_t byte) {
    if (pending) return;  // a modem dialling takes no commands
    if (echo && !modem.silent_) ToHost(std::string(1, static_cast<char>(byte)));
    if (byte == '\n') return;
    if (byte != '\r') {
      if (command.size() < kMaxCommandLine) command += static_cast<char>(byte);
      return;
    }
    std::string line = std::move(command);
    command.clear();
    if (modem.silent_) return;
    if (!Execute(line)) Reply(rError);
  }

  void FromHostInDataMode(uint8_t byte) {
    int64_t now = Now();
    bool afterGuard = now - lastHostByte >= modem.options_.guardMs;
    lastHostByte = now;
    if (byte == '+' && (pluses > 0 || afterGuard) && pluses < 3) {
      ++pluses;  // held back until the sequence is settled
      return;
    }
    std::string held(static_cast<size_t>(pluses), '+');
    pluses = 0;
    held += static_cast<char>(byte);
    if (far >= 0) ::send(far, held.data(), held.size(), MSG_NOSIGNAL);
  }

  void FromHost(const uint8_t* bytes, int n) {
    for (int i = 0; i < n; ++i) {
      if (dataMode)
        FromHostInDataMode(bytes[i]);
      else
        FromHostInCommandMode(bytes[i]);
    }
  }

  void FromFar() {
    char buffer[512];
    ssize_t n = ::recv(far, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      FarGone();
      return;
    }
    if (n < 0 || !dataMode) return;  // in command mode the far end's bytes are not shown
    int64_t take = n;
    if (dropAfter >= 0) take = std::min<int64_t>(n, std::max<int64_t>(dropAfter - carried, 0));
    ToHost(std::string_view(buffer, static_cast<size_t>(take)));
    carried += take;
    if (dropAfter >= 0 && carried >= dropAfter) FarGone();
  }

  void FarGone() {
    if (far >= 0) ::close(far);
    far = -1;
    if (lossAt < 0) lossAt = Now();
  }

  // Timers: a dial's result, the escape's trailing guard, a carrier loss being noticed.
  void Tick() {
    int64_t now = Now();
    if (pending && now >= pendingAt) SettleDial();
    if (dataMode && pluses == 3 && now - lastHostByte >= modem.options_.guardMs) {
      pluses = 0;
      dataMode = false;
      modem.Note("escape");
      Reply(rOk);
    }
    if (modem.dropRequest_.exchange(false) && far >= 0) FarGone();
    if (lossAt >= 0 && now - lossAt >= modem.options_.carrierLossMs) {
      EndCall();
      lastReason = "Remote party hung up";
      modem.Note("carrier lost");
      Reply(rNoCarrier);
    }
  }
};

THayesModem::THayesModem(TModemOptions options)
    : options_(options), clock_(options.clock ? *options.clock : SystemClock()), silent_(options.silent) {}

THayesModem::~THayesModem() {
  Stop();
}

void THayesModem::AddNumber(const std::string& number, TPhoneEntry entry) {
  if (thread_.joinable()) throw ESimError("numbers join the phone book before the modem serves");
  book_[Digits(number)] = std::move(entry);
}

std::string THayesModem::OpenPty() {
  if (pty_.master >= 0) throw ESimError("the modem already has a pseudo-terminal");
  pty_ = OpenRawPty();
  thread_ = std::jthread([this](std::stop_token stop) { Serve(stop); });
  return pty_.path;
}

void THayesModem::Stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  ClosePty(pty_);
}

void THayesModem::Note(const std::string& event) {
  {
    std::lock_guard lock(eventsMutex_);
    events_.push_back(event);
  }
  if (sink_) sink_(event);
}

std::vector<std::string> THayesModem::Events() const {
  std::lock_guard lock(eventsMutex_);
  return events_;
}

void THayesModem::Serve(std::stop_token stop) {
  TState state(*this);
  uint8_t buffer[512];
  while (!stop.stop_requested()) {
    state.Tick();
    pollfd p[2] = {{pty_.master, POLLIN, 0}, {state.far, POLLIN, 0}};
    int wait = std::clamp(clock_.RealWaitMs(20), 1, 20);
    int ready = ::poll(p, state.far >= 0 ? 2 : 1, wait);
    if (ready <= 0) continue;
    if (p[0].revents & POLLIN) {
      ssize_t n = ::read(pty_.master, buffer, sizeof buffer);
      if (n > 0) state.FromHost(buffer, static_cast<int>(n));
    }
    if (state.far >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) state.FromFar();
  }
  state.EndCall();
}

}  // namespace orvela::sim
