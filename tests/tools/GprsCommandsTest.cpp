// orvelactl over an inbound GPRS connection: `da read` hosts the server, whose listener takes the field
// modem that the wake-up call through the emulated GSM modem (a real pseudo-terminal found through the
// port map) brought; the value is the simulated meter's and the journal shows the call. A wait-only
// connection with no modem connected reads as not connected.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "engine/InboundHost.h"
#include "links/PortMap.h"
#include "metersim/DeviceFactory.h"
#include "metersim/FieldModem.h"
#include "metersim/HayesModem.h"
#include "metersim/Line.h"
#include "metersim/Values.h"
#include "orvelactl/Commands.h"
#include "platform/Clock.h"
#include "support/CtlRunner.h"
#include "support/ServerFolder.h"
#include "support/TempDir.h"
#include "tree/ConfigController.h"
#include "tree/DemoConfig.h"

namespace orvela {
namespace {

using Json = nlohmann::json;
constexpr const char* kNumber = "9161234567";

// A port free on the loopback now (the listener binds it again with SO_REUSEADDR).
uint16_t FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// The demo meter's connection becomes an inbound GPRS connection; the listener on listenPort.
void MoveDemoMeterToGprs(const std::filesystem::path& folder, const std::string& port, int32_t modemMode,
                         uint16_t listenPort) {
  TTree tree;
  TConfigController controller(folder, tree);
  ASSERT_FALSE(controller.LoadSettings());
  ASSERT_FALSE(controller.LoadConnections());
  ASSERT_FALSE(controller.LoadTree());
  controller.Settings().TcpPort = listenPort;
  controller.Settings().GprsWaitMinutes = 1;
  TConnRow& row = controller.Connections().Rows.at(0);
  row.Columns[ccPort] = port;
  row.Columns[ccTelephone] = kNumber;
  row.Columns[ccIpAddress] = row.Columns[ccRemotePort] = row.Columns[ccLocalPort] = "";
  row.Columns[ccKind] = std::to_string(static_cast<int>(TConnKind::InboundGprs));
  std::optional<TConnKey> key = ConnKeyFromRow(row);
  ASSERT_TRUE(key);
  row.Settings->Key = *key;
  row.Settings->ModemMode = modemMode;
  row.Settings->BaudRate = modemMode == -2 ? 0 : 9600;
  for (TNTreeData* device : tree.Root()->Children)
    if (device->Name == kDemoMeterName) TTree::SetConnectionKey(device, *key);
  ASSERT_TRUE(controller.Save().empty());
  ASSERT_FALSE(controller.SaveSettings());
}

class GprsCommands : public ::testing::Test {
 protected:
  GprsCommands() : clock(8) {
    SetSystemClock(&clock);
    line = std::make_unique<sim::TLine>(sim::TLineOptions{.clock = &clock});
    line->AddDevice(sim::MakeDevice("tarvel2001", kDemoMeterAddress, kDemoMeterSerial));
    line->ListenTcp();
    test::WriteServerFolder(dir, line->Port());
    ::setenv(kGprsBindVariable, "127.0.0.1", 1);
  }
  ~GprsCommands() override {
    ::unsetenv(kPortsEnvironment);
    ::unsetenv(kGprsBindVariable);
    modem.reset();
    field.reset();
    line.reset();
    SetSystemClock(nullptr);
  }

  test::TCtlRun Run(std::vector<std::string> args) {
    return test::RunCtl(
        [](CLI::App& app, int& exitCode) {
          ctl::AddDaCommands(app, exitCode);
          ctl::AddJournalCommands(app, exitCode);
        },
        std::move(args));
  }

  std::vector<std::string> JournalMessages() {
    test::TCtlRun run = Run({"journal", "--dir", dir.string(), "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    std::vector<std::string> texts;
    for (const auto& row : Json::parse(run.out, nullptr, false)) texts.push_back(row.value("message", ""));
    return texts;
  }

  // exitCode: 1 when the value is not good.
  Json ReadHeat(int exitCode = 0) {
    const std::string heat = std::string(test::kDemoCurrent) + "Количество теплоты - канал 1.Значение";
    test::TCtlRun read = Run({"da", "read", "--dir", dir.string(), "--json", heat});
    EXPECT_EQ(read.exitCode, exitCode) << read.out << read.err;
    Json items = Json::parse(read.out, nullptr, false);
    return items.is_array() && items.size() == 1 ? items[0] : Json();
  }

  ScaledClock clock;
  std::unique_ptr<sim::TLine> line;
  std::unique_ptr<sim::TFieldModems> field;
  std::unique_ptr<sim::THayesModem> modem;
  test::TTempDir temp{"orvela-ctl-gprs"};
  const std::filesystem::path dir = temp.Path();
};

TEST_F(GprsCommands, DaReadWakesTheModemAndReadsTheMeterBehindIt) {
  const uint16_t listenPort = FreePort();
  MoveDemoMeterToGprs(dir, "COM9", 1, listenPort);
  field = std::make_unique<sim::TFieldModems>(sim::TFieldModemOptions{
      .clock = &clock, .serverPort = listenPort, .meterPort = line->Port(), .answerDelayMs = 300});
  sim::TFieldModemSpec spec;
  spec.number = kNumber;
  spec.moduleKind = 2;
  field->Add(spec);
  field->Start();
  modem = std::make_unique<sim::THayesModem>(sim::TModemOptions{.clock = &clock});
  modem->AddNumber(kNumber, {sim::TPhoneKind::Wake, {}, 0, -1});
  modem->SetRinger([this](const std::string& number) { field->Ring(number); });
  modem->OpenPty();
  ::setenv(kPortsEnvironment, ("COM9=" + modem->PtyPath()).c_str(), 1);

  const TDateTime before = clock.Now();
  const Json item = ReadHeat();
  const TDateTime after = clock.Now();
  ASSERT_TRUE(item.is_object());
  EXPECT_EQ(item["quality"], 192) << item.dump();
  const float value = item.value("value", -1.0f);
  EXPECT_TRUE(value == sim::CurrentValue(kDemoMeterSerial, 0, before) ||
              value == sim::CurrentValue(kDemoMeterSerial, 0, after))
      << value;
  std::vector<std::string> events = modem->Events();
  EXPECT_NE(std::find(events.begin(), events.end(), std::string("wake ") + kNumber), events.end());
  const std::vector<std::string> journal = JournalMessages();
  for (const std::string& text :
       {std::string("Дозвон на телефон ") + kNumber, std::string("Соединение установлено ") + kNumber})
    EXPECT_NE(std::find(journal.begin(), journal.end(), text), journal.end()) << text;
}

TEST_F(GprsCommands, WaitOnlyConnectionWithoutItsModemReadsAsNotConnected) {
  MoveDemoMeterToGprs(dir, "", -2, FreePort());
  const Json item = ReadHeat(1);
  ASSERT_TRUE(item.is_object());
  EXPECT_EQ(item["quality"], 8) << item.dump();
  const std::vector<std::string> journal = JournalMessages();
  EXPECT_NE(std::find(journal.begin(), journal.end(), std::string("Соединение Не найдено ! ") + kNumber),
            journal.end());
}

}  // namespace
}  // namespace orvela
