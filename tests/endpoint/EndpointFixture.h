#pragma once
// What the endpoint's tests share: a line client that pumps the main thread while it waits, and a fixture
// serving the demo meter on a simulated line.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "com/ServerHost.h"
#include "endpoint/Endpoint.h"
#include "endpoint/EndpointCodec.h"
#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "metersim/Values.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/MainThread.h"
#include "support/ServerFolder.h"
#include "support/TempDir.h"
#include "tree/DemoConfig.h"

namespace orvela::test {

using Json = nlohmann::json;
inline const TDateTime kStart = EncodeDateTime(2024, 3, 2, 10, 20);
constexpr uint8_t kHeat = 0x00;
inline const std::string kHeatNow = std::string(test::kDemoCurrent) + "Количество теплоты - канал 1.Значение";
inline const std::string kHeatHours = std::string(test::kDemoHours) + "Количество теплоты - канал 1";

constexpr uint32_t kInvalidData = 0x8007000D;
constexpr uint32_t kBadLength = 0x80070018;
constexpr uint32_t kInvalidArg = 0x80070057;
constexpr uint32_t kNotImpl = 0x80004001;
constexpr uint32_t kUnexpected = 0x8000FFFF;
constexpr uint32_t kInvalidHandle = 0xC0040001;
constexpr uint32_t kBadRights = 0xC0040006;
constexpr uint32_t kUnknownItem = 0xC0040007;

inline int Connect(const std::filesystem::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One client connection; while it waits for a line the main thread is pumped, as the server needs.
class TLineClient {
 public:
  explicit TLineClient(const std::filesystem::path& path, bool pump = true)
      : fd_(Connect(path)), pump_(pump) {}
  ~TLineClient() { Close(); }
  bool Connected() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  void Send(const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
      const ssize_t n = ::send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }
  void Request(const Json& request) { Send(request.dump() + "\n"); }
  // The next message; nullopt when the server closed the connection or nothing came for a long while.
  std::optional<Json> Next() {
    for (int rounds = 0; rounds < 12000; ++rounds) {
      if (const size_t lf = in_.find('\n'); lf != std::string::npos) {
        const std::string line = in_.substr(0, lf);
        in_.erase(0, lf + 1);
        return Json::parse(line);
      }
      if (pump_) MainThread::PumpFor(5);
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, 5) <= 0) continue;
      char buffer[65536];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n == 0) return std::nullopt;
      if (n > 0) in_.append(buffer, static_cast<size_t>(n));
    }
    return std::nullopt;
  }
  // True when the server closes the connection (whatever it sent before is read and dropped).
  bool WaitClosed() {
    for (int rounds = 0; rounds < 12000; ++rounds) {
      if (pump_) MainThread::PumpFor(5);
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, 5) <= 0) continue;
      char buffer[65536];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    }
    return false;
  }
  int Fd() const { return fd_; }
  // The messages up to and including the reply to id (events and other replies are set aside in others).
  std::vector<Json> Until(int64_t id, std::vector<Json>* others = nullptr) {
    std::vector<Json> got;
    while (auto message = Next()) {
      const bool mine = message->contains("id") && (*message)["id"] == id;
      if (mine)
        got.push_back(*message);
      else if (others)
        others->push_back(*message);
      if (mine && message->contains("ok")) break;
    }
    return got;
  }
  Json Ask(const Json& request) {
    Request(request);
    const std::vector<Json> got = Until(request["id"].get<int64_t>());
    return got.empty() ? Json() : got.back();
  }

 private:
  int fd_;
  bool pump_;
  std::string in_;
};

class Endpoint : public ::testing::Test {
 protected:
  Endpoint() : clock(20, kStart) {
    SetSystemClock(&clock);
    line = std::make_unique<sim::TLine>(sim::TLineOptions{.clock = &clock});
    line->AddDevice(sim::MakeDevice("tarvel2001", kDemoMeterAddress, kDemoMeterSerial));
    line->ListenTcp();
    test::WriteServerFolder(dir, line->Port());
    TServerHostOptions options;
    options.startedByComServer = false;
    host = std::make_unique<TServerHost>(dir, options);
    endpoint = std::make_unique<TEndpoint>(host->ProgramFolder(), host->Tree());
  }
  ~Endpoint() override {
    endpoint.reset();
    host.reset();
    line.reset();
    SetSystemClock(nullptr);
  }

  // A connection that has said hello.
  std::unique_ptr<TLineClient> Open() {
    auto client = std::make_unique<TLineClient>(endpoint->SocketPath());
    EXPECT_TRUE(client->Connected());
    EXPECT_EQ(client->Ask({{"id", 1}, {"op", "hello"}, {"proto", 1}})["ok"], true);
    return client;
  }

  // The meter acknowledges requests and never answers them, or answers again.
  void Silence(bool silent) {
    sim::TSimDevice* meter = line->FindDevice(kDemoMeterAddress);
    ASSERT_NE(meter, nullptr);
    sim::TFaults faults = meter->Faults().Get();
    faults.silent = silent;
    meter->Faults().Set(faults);
  }

  ScaledClock clock;
  std::unique_ptr<sim::TLine> line;
  test::TTempDir temp{"orvela-ep"};
  const std::filesystem::path dir = temp.Path();
  std::unique_ptr<TServerHost> host;
  std::unique_ptr<TEndpoint> endpoint;
};

// The start of an hourly archive record, on the wire.
inline int64_t HourMicros(int64_t index) {
  return endpoint::FileTimeToMicros(LocalDateTimeToFileTime(sim::PeriodStart(sim::EPeriod::Hour, index)));
}

}  // namespace orvela::test
