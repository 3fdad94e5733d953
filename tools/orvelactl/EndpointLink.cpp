#include "orvelactl/EndpointLink.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>

#include "endpoint/EndpointCodec.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"

namespace orvela::ctl {
namespace {

// The protocol's longest line, without its LF.
constexpr size_t kMaxLine = 4'194'304;
// What a cancelled request may still take to be answered.
constexpr int64_t kCancelGraceMs = 10'000;
// Longest single wait, so that the clock's deadline is looked at often.
constexpr int64_t kSliceMs = 100;

int64_t Deadline(std::chrono::milliseconds limit) {
  return SystemClock().TickMs() + limit.count();
}

int ConnectOnce(const std::filesystem::path& socket) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw EClientError(std::string("socket: ") + std::strerror(errno));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socket.c_str(), socket.native().size());
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  const int error = errno;
  ::close(fd);
  // The server holds the folder before it binds its socket: not there yet is worth another look.
  if (error == ENOENT || error == ECONNREFUSED || error == EAGAIN) return -1;
  throw EClientError("cannot reach the server at " + socket.string() + ": " + std::strerror(error));
}

// The local date-time text VariantJson gives a VT_DATE, from the wire's UTC microseconds.
Json DateValue(std::string_view digits) {
  int64_t micros = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), micros);
  if (ec != std::errc() || end != digits.data() + digits.size()) return nullptr;
  const int64_t ms = micros / 1000 - (micros % 1000 < 0 ? 1 : 0);
  const SYSTEMTIME t = DateTimeToSystemTime(UtcToLocal(UnixMsToDateTime(ms)));
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
                t.wMinute, t.wSecond);
  return text;
}

template <class Int>
Json IntegerValue(std::string_view digits) {
  Int value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size()) return nullptr;
  return value;
}

// A tagged string ("#..."): the value it stands for; null for a tag not known.
Json TaggedValue(const std::string& text) {
  const std::string_view tag(text);
  if (tag.starts_with("##")) return text.substr(1);
  if (tag == "#NaN") return std::numeric_limits<double>::quiet_NaN();
  if (tag == "#Inf") return std::numeric_limits<double>::infinity();
  if (tag == "#-Inf") return -std::numeric_limits<double>::infinity();
  if (tag.starts_with("#i64:")) return IntegerValue<int64_t>(tag.substr(5));
  if (tag.starts_with("#u64:")) return IntegerValue<uint64_t>(tag.substr(5));
  if (tag.starts_with("#t:")) return DateValue(tag.substr(3));
  return nullptr;
}

}  // namespace

TEndpointLink::TEndpointLink(const std::filesystem::path& socket, std::chrono::milliseconds limit) {
  if (socket.native().size() >= sizeof(sockaddr_un::sun_path))
    throw EClientError("the socket path is too long for a Unix socket: " + socket.string());
  const int64_t deadline = Deadline(limit);
  while ((fd_ = ConnectOnce(socket)) < 0) {
    if (SystemClock().TickMs() >= deadline)
      throw EClientError("a running OrvelaOPC holds the folder but nothing answers at " + socket.string());
    SystemClock().Sleep(kSliceMs);
  }
  try {
    const TAnswer hello = Ask(Json{{"op", "hello"}, {"proto", 1}, {"client", "orvelactl"}}, limit);
    CheckReply(hello.reply, "hello");
  } catch (...) {
    ::close(fd_);
    throw;
  }
}

TEndpointLink::~TEndpointLink() {
  if (fd_ >= 0) ::close(fd_);
}

void TEndpointLink::Send(const Json& message) {
  const std::string line = message.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t n = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw EClientError(std::string("the server's connection failed: ") + std::strerror(errno));
    sent += static_cast<size_t>(n);
  }
}

std::optional<Json> TEndpointLink::TakeLine() {
  const size_t lf = in_.find('\n');
  if (lf == std::string::npos) {
    if (in_.size() > kMaxLine) throw EClientError("the server sent a line longer than the protocol allows");
    return std::nullopt;
  }
  Json message = Json::parse(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(lf), nullptr, false);
  in_.erase(0, lf + 1);
  if (!message.is_object()) throw EClientError("the server sent a line that is not a JSON object");
  return message;
}

bool TEndpointLink::Fill(int64_t deadline) {
  Clock& clock = SystemClock();
  for (;;) {
    const int64_t left = deadline - clock.TickMs();
    if (left <= 0) return false;
    pollfd ready{fd_, POLLIN, 0};
    const int n = ::poll(&ready, 1, clock.RealWaitMs(std::min(left, kSliceMs)));
    if (n < 0 && errno != EINTR) throw EClientError(std::string("poll: ") + std::strerror(errno));
    if (n <= 0) continue;
    char buffer[65536];
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got == 0) throw EClientError("the server closed the connection");
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      throw EClientError(std::string("the server's connection failed: ") + std::strerror(errno));
    }
    in_.append(buffer, static_cast<size_t>(got));
    return true;
  }
}

std::optional<Json> TEndpointLink::Next(int64_t deadline) {
  for (;;) {
    if (std::optional<Json> message = TakeLine()) {
      if (message->value("ev", "") == "shutdown")
        throw EClientError("the server is stopping: " + message->value("reason", std::string()));
      return message;
    }
    if (!Fill(deadline)) return std::nullopt;
  }
}

TEndpointLink::TAnswer TEndpointLink::Ask(Json request, std::chrono::milliseconds limit,
                                          const std::function<void(const Json&)>& onPart) {
  const int64_t id = nextId_++;
  request["id"] = id;
  Send(request);
  TAnswer answer;
  int64_t deadline = Deadline(limit);
  for (;;) {
    std::optional<Json> message = Next(deadline);
    if (!message) {
      if (answer.expired) throw EClientError("the server did not answer a cancelled request");
      answer.expired = true;
      Send(Json{{"id", nextId_++}, {"op", "cancel"}, {"req", id}});
      deadline = SystemClock().TickMs() + kCancelGraceMs;
      continue;
    }
    if (message->contains("ev")) {
      events_.push_back(std::move(*message));
      continue;
    }
    const Json& replyId = (*message)["id"];
    if (!replyId.is_number_integer() || replyId.get<int64_t>() != id) continue;  // a cancel's own reply
    if (message->contains("part")) {
      if (onPart) onPart(*message);
      continue;
    }
    answer.reply = std::move(*message);
    return answer;
  }
}

std::optional<Json> TEndpointLink::NextEvent(std::chrono::milliseconds limit) {
  const int64_t deadline = Deadline(limit);
  while (events_.empty()) {
    std::optional<Json> message = Next(deadline);
    if (!message) return std::nullopt;
    if (message->contains("ev")) events_.push_back(std::move(*message));
  }
  Json event = std::move(events_.front());
  events_.pop_front();
  return event;
}

void CheckReply(const Json& reply, const std::string& what) {
  if (reply.value("ok", false)) return;
  const HRESULT hr = ReplyCode(reply);
  throw EClientError(what + ": " + reply.value("error", std::string("failed")) + " (" + HexCode(hr) + ")");
}

HRESULT ReplyCode(const Json& answer) {
  const Json& hr = answer.contains("hr") ? answer["hr"] : Json(0);
  if (!hr.is_number_unsigned() && !hr.is_number_integer()) return E_FAIL;
  return static_cast<HRESULT>(static_cast<uint32_t>(hr.get<int64_t>()));
}

Json WireValue(const Json& value) {
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    return text.starts_with("#") ? TaggedValue(text) : value;
  }
  if (value.is_number() || value.is_boolean()) return value;
  return nullptr;
}

FILETIME WireTime(const Json& time) {
  if (!time.is_number_integer()) return FILETIME{};
  return endpoint::MicrosToFileTime(time.get<int64_t>());
}

}  // namespace orvela::ctl
