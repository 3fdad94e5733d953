// The inbound GPRS link end to end on one machine: the wake-up call through the emulated Hayes modem on a
// real pseudo-terminal, simulated field modems connecting back to a real listener and carrying a Tarvel
// meter, and the meter read through the link. Also wait-only connections, the ways a wake-up fails, a
// modem that never connects, announces another number, drops mid-read or connects twice, and many modems
// read at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "LockedJournal.h"
#include "drivers/DataModel.h"
#include "drivers/TarvelFactory.h"
#include "links/TcpConnectionServer.h"
#include "metersim/DeviceFactory.h"
#include "metersim/FieldModem.h"
#include "metersim/HayesModem.h"
#include "metersim/Line.h"

namespace orvela {
namespace {

constexpr const char* kSite = "9161234567";

long Count(const std::vector<std::string>& events, const std::string& prefix) {
  return std::count_if(events.begin(), events.end(),
                       [&](const std::string& e) { return e.starts_with(prefix); });
}

class GprsLink : public ::testing::Test {
 protected:
  GprsLink() : clock(20) {
    line.AddDevice(sim::MakeDevice("tarvel2001", 1, "12345678"));
    line.ListenTcp();
    TListenerOptions options;
    options.port = 0;
    options.bindAddress = "127.0.0.1";
    options.clock = &clock;
    options.gprsWaitMs = 30'000;
    listener = std::make_shared<TAsyncTCP>(options);
    EXPECT_TRUE(listener->Start());
    settings = TConnSettings::Defaults();
    settings.Key.ConnName = "GPRS";
    settings.Key.ConnType = static_cast<uint8_t>(TConnKind::InboundGprs);
    settings.EchoTested = 1;
    settings.ModemMode = 1;
    settings.BaudRate = 9600;
  }

  ~GprsLink() override {
    if (modem) modem->Stop();
    if (field) field->Stop();
    listener->Stop();
  }

  void StartField(const std::vector<std::string>& specs) {
    field = std::make_unique<sim::TFieldModems>(sim::TFieldModemOptions{
        .clock = &clock, .serverPort = listener->Port(), .meterPort = line.Port(), .answerDelayMs = 300});
    for (const std::string& text : specs) {
      std::vector<sim::TFieldModemSpec> parsed;
      std::string error;
      ASSERT_TRUE(sim::ParseFieldModemSpec(text, parsed, error)) << error;
      for (const auto& spec : parsed) field->Add(spec);
    }
    field->Start();
    modem = std::make_unique<sim::THayesModem>(sim::TModemOptions{.clock = &clock});
    for (const std::string& text : specs) {
      std::string number = text.substr(0, text.find(','));
      modem->AddNumber(number, {sim::TPhoneKind::Wake, {}, 0, -1});
    }
    modem->AddNumber("5550007", {sim::TPhoneKind::Busy, {}, 0, -1});
    modem->AddNumber("5550008", {sim::TPhoneKind::NoAnswer, {}, 0, -1});
    modem->AddNumber("5550006", {sim::TPhoneKind::NoDialtone, {}, 0, -1});
    modem->SetRinger([this](const std::string& number) { field->Ring(number); });
    modem->OpenPty();
  }

  std::unique_ptr<TTCPConnectionServer> MakeLink(const std::string& address) {
    auto link = std::make_unique<TTCPConnectionServer>(&settings, clock, SystemCommBackend(), listener);
    EXPECT_TRUE(link->SetAddress(address));
    return link;
  }
  std::unique_ptr<TTCPConnectionServer> CallingLink(const std::string& number) {
    return MakeLink(modem->PtyPath() + ":" + number);
  }

  std::unique_ptr<TDataModel> ScanModel(TConnectionDevice& link) {
    return TTarvelFactory::CreateScanModel(static_cast<uint8_t>(TProtKind::XModem), &link, nullptr,
                                           TModelEnvironment{TSettings::Defaults(), false, nullptr});
  }

  bool ReadsTheMeter(TConnectionDevice& link) {
    std::unique_ptr<TDataModel> scan = ScanModel(link);
    TRListData list;
    return scan && scan->ReadDeviceList(list) && list.Ids == std::vector<uint8_t>{1};
  }

  ScaledClock clock;
  test::TLockedJournal journal;
  sim::TLine line{sim::TLineOptions{.clock = &clock}};
  std::shared_ptr<TAsyncTCP> listener;
  std::unique_ptr<sim::TFieldModems> field;
  std::unique_ptr<sim::THayesModem> modem;
  TConnSettings settings;
};

TEST_F(GprsLink, WakeUpCallBringsTheModemAndTheMeterIsRead) {
  for (int kind : {1, 2}) {
    SCOPED_TRACE("module kind " + std::to_string(kind));
    StartField({std::string(kSite) + ",kind=" + std::to_string(kind)});
    journal.Clear();
    std::unique_ptr<TTCPConnectionServer> link = CallingLink(kSite);
    ASSERT_TRUE(link->Connect()) << journal.All();
    EXPECT_EQ(link->ModuleKind(), kind);
    EXPECT_TRUE(journal.Holds(std::string("Дозвон на телефон ") + kSite)) << journal.All();
    EXPECT_TRUE(journal.Holds(std::string("Соединение установлено ") + kSite));
    EXPECT_EQ(Count(modem->Events(), "wake"), 1);
    EXPECT_TRUE(ReadsTheMeter(*link));
    // The next link of the connection finds the modem still connected and places no call.
    link.reset();
    std::unique_ptr<TTCPConnectionServer> next = CallingLink(kSite);
    ASSERT_TRUE(next->Connect());
    EXPECT_EQ(Count(modem->Events(), "dial"), 1);
    EXPECT_TRUE(ReadsTheMeter(*next));
    next->SetHoldMark(true);
    next->Release();
    EXPECT_EQ(listener->ClientCount(), 0u);
    modem->Stop();
    field->Stop();
  }
}

TEST_F(GprsLink, WaitOnlyConnectionPlacesNoCallAndTakesTheModemThatCameByItself) {
  StartField({std::string(kSite) + ",timer=2000"});
  settings.ModemMode = TTCPConnectionServer::kWaitOnlyMode;
  settings.BaudRate = 1;  // minutes
  for (const std::string& address : {std::string(":") + kSite, modem->PtyPath() + ":" + kSite}) {
    SCOPED_TRACE(address);
    std::unique_ptr<TTCPConnectionServer> link = MakeLink(address);
    EXPECT_TRUE(link->WaitOnly());
    ASSERT_TRUE(link->Connect()) << journal.All();
    EXPECT_TRUE(ReadsTheMeter(*link));
    link->DropClient();
  }
  EXPECT_TRUE(modem->Events().empty());
  EXPECT_TRUE(journal.Holds(std::string("Поиск GPRS соединения без звонка ") + kSite));
}

// A wake-up call that never reaches the field modem ends at once; one that rings but brings no modem
// ends after the wait. Both with their journal texts.
TEST_F(GprsLink, CallsThatBringNoModem) {
  struct TCase {
    const char* field;   // the field modem's spec, or the number the GSM modem knows otherwise
    const char* number;  // what the link calls
    std::vector<std::string> journal;
    long wakes;
  };
  const TCase cases[] = {
      {"9160000001,silent", "9160000001", {"Соединение Не найдено ! 9160000001"}, 1},
      {"9160000002,wrong=9169999999", "9160000002", {"Соединение Не найдено ! 9160000002"}, 1},
      {"9160000003,partial", "9160000003", {"Соединение Не найдено ! 9160000003"}, 1},
      {"9160000004", "5550008", {"Номер 5550008 не ответил", "Дозвониться не удалось 5550008"}, 0},
      {"9160000004", "5550006", {"Нет сети при вызове номера 5550006", "Дозвониться не удалось 5550006"}, 0},
      // A rejected call woke nobody here: the link waits and finds no modem.
      {"9160000004", "5550007", {"Номер 5550007 занят", "Соединение Не найдено ! 5550007"}, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.number);
    StartField({c.field});
    journal.Clear();
    std::unique_ptr<TTCPConnectionServer> link = CallingLink(c.number);
    EXPECT_FALSE(link->Connect());
    EXPECT_FALSE(link->HasSocket());
    for (const std::string& text : c.journal)
      EXPECT_TRUE(journal.Holds(text)) << text << "\n" << journal.All();
    EXPECT_EQ(Count(modem->Events(), "wake"), c.wakes);
    // A wrong number is never taken for this connection.
    EXPECT_FALSE(listener->FindClient(c.number, this));
    modem->Stop();
    field->Stop();
  }
}

TEST_F(GprsLink, ModemDroppingMidReadIsALostConnectionAndTheNextConnectCallsAgain) {
  StartField({std::string(kSite) + ",drop=40"});
  std::unique_ptr<TTCPConnectionServer> link = CallingLink(kSite);
  ASSERT_TRUE(link->Connect()) << journal.All();
  EXPECT_FALSE(ReadsTheMeter(*link));
  EXPECT_FALSE(link->HasSocket());
  EXPECT_FALSE(listener->FindClient(kSite, this));
  ASSERT_TRUE(link->Connect());
  EXPECT_EQ(Count(modem->Events(), "dial"), 2);
}

TEST_F(GprsLink, SecondConnectionWithTheSameNumberEndsTheFirstForItsLink) {
  StartField({std::string(kSite) + ",twice"});
  std::unique_ptr<TTCPConnectionServer> link = CallingLink(kSite);
  ASSERT_TRUE(link->Connect()) << journal.All();
  // The second connection comes after the first: the link's socket ends and it never reads a closed one.
  for (int i = 0; i < 200 && Count(field->Events(), "connect") < 2; ++i) clock.Sleep(100);
  ASSERT_EQ(Count(field->Events(), "connect"), 2);
  bool lost = false;
  for (int i = 0; i < 200 && !lost; ++i) {
    try {
      if (link->WaitData(1)) link->ReadByte();  // the meter's idle prompts
    } catch (const EConnectExcept&) {
      lost = true;
    }
  }
  EXPECT_TRUE(lost);
  EXPECT_FALSE(link->HasSocket());
  ASSERT_TRUE(link->Connect());
  EXPECT_EQ(Count(modem->Events(), "dial"), 1);  // the newer connection was there already
  EXPECT_TRUE(ReadsTheMeter(*link));
}

TEST_F(GprsLink, TwoLinksOnOneGsmModemCallOneAfterTheOther) {
  StartField({"9160000001", "9160000002"});
  std::unique_ptr<TTCPConnectionServer> a = CallingLink("9160000001");
  std::unique_ptr<TTCPConnectionServer> b = CallingLink("9160000002");
  bool aConnected = false, bConnected = false;
  {
    std::jthread other([&] { bConnected = b->Connect(); });
    aConnected = a->Connect();
  }
  EXPECT_TRUE(aConnected) << journal.All();
  EXPECT_TRUE(bConnected) << journal.All();
  EXPECT_EQ(Count(modem->Events(), "wake"), 2);
  EXPECT_TRUE(ReadsTheMeter(*a));
  EXPECT_TRUE(ReadsTheMeter(*b));
}

TEST_F(GprsLink, ManyModemsConnectedAtOnceAreReadSideBySide) {
  constexpr int kModems = 200, kReaders = 4, kReadsEach = 3;
  StartField({"9170000000,count=200,timer=500"});
  // Bounded: each connection starts a session thread in the simulated line.
  for (int i = 0; i < 20'000 && listener->ClientCount() < kModems; ++i) clock.Sleep(100);
  ASSERT_EQ(listener->ClientCount(), static_cast<size_t>(kModems));
  settings.ModemMode = TTCPConnectionServer::kWaitOnlyMode;
  settings.BaudRate = 1;
  std::atomic<int> read{0};
  {
    std::vector<std::jthread> readers;
    for (int r = 0; r < kReaders; ++r)
      readers.emplace_back([&, r] {
        for (int k = 0; k < kReadsEach; ++k) {
          int index = (r * kReadsEach + k) * kModems / (kReaders * kReadsEach);
          auto link = std::make_unique<TTCPConnectionServer>(&settings, clock, SystemCommBackend(), listener);
          if (link->SetAddress(":" + std::to_string(9170000000LL + index)) && link->Connect() &&
              ReadsTheMeter(*link))
            ++read;
        }
      });
  }
  EXPECT_EQ(read.load(), kReaders * kReadsEach) << journal.All();
  EXPECT_EQ(listener->ClientCount(), static_cast<size_t>(kModems));
}

TEST_F(GprsLink, AddressIsPortAndNumber) {
  TTCPConnectionServer link(&settings, clock, SystemCommBackend(), listener);
  EXPECT_TRUE(link.SetAddress("COM3:+7 (916) 123-45-67"));
  EXPECT_EQ(link.GsmPortName(), "COM3");
  EXPECT_FALSE(link.WaitOnly());
  EXPECT_TRUE(link.SetAddress(":9161234567"));
  EXPECT_TRUE(link.WaitOnly());
  for (const char* bad : {"9161234567", "COM3:", "COM3:916\r\nATH", "COM3:phone", "TCPServer:9161234567"})
    EXPECT_FALSE(link.SetAddress(bad)) << bad;
}

// With no listener listening no modem can come: the link says so at once instead of waiting.
TEST_F(GprsLink, StoppedListenerFindsNoModem) {
  listener->Stop();
  std::unique_ptr<TTCPConnectionServer> link = MakeLink(std::string(":") + kSite);
  EXPECT_FALSE(link->Connect());
  EXPECT_TRUE(journal.Holds(std::string("Соединение Не найдено ! ") + kSite)) << journal.All();
}

}  // namespace
}  // namespace orvela
