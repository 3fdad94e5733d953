// The dial-up modem link against the emulated Hayes modem on a real pseudo-terminal: a whole call (dial,
// read a meter, escape and hang up), the ways a call fails with their journal texts, a carrier lost in the
// middle of a read, and a dial cancelled from another thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "drivers/DataModel.h"
#include "drivers/TarvelFactory.h"
#include "links/ModemCommPort.h"
#include "metersim/DeviceFactory.h"
#include "metersim/HayesModem.h"
#include "metersim/Line.h"
#include "support/Fakes.h"

namespace orvela {
namespace {

constexpr const char* kSite = "5551234";
constexpr const char* kDropsMidRead = "5550099";

long Dials(const std::vector<std::string>& events) {
  return std::count_if(events.begin(), events.end(),
                       [](const std::string& e) { return e.starts_with("dial"); });
}

bool Holds(const std::vector<std::string>& lines, const std::string& text) {
  return std::find(lines.begin(), lines.end(), text) != lines.end();
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  return all;
}

class ModemLink : public ::testing::Test {
 protected:
  ModemLink() : clock(20) {
    line.AddDevice(sim::MakeDevice("tarvel2001", 1, "12345678"));
    line.ListenTcp();
    settings = TConnSettings::Defaults();
    settings.Key.ConnName = "Модем";
    settings.EchoTested = 1;
    settings.ModemMode = 1;
    settings.ModemInit = "ATX4";
    settings.Hangup = "+++ATH0";  // the stored default: the escape is sent apart from it
  }

  void StartModem(bool silent = false) {
    modem = std::make_unique<sim::THayesModem>(sim::TModemOptions{.clock = &clock, .silent = silent});
    modem->AddNumber(kSite, {sim::TPhoneKind::Line, "127.0.0.1", line.Port(), -1});
    modem->AddNumber(kDropsMidRead, {sim::TPhoneKind::Line, "127.0.0.1", line.Port(), 40});
    modem->AddNumber("5550007", {sim::TPhoneKind::Busy, {}, 0, -1});
    modem->AddNumber("5550003", {sim::TPhoneKind::NoCarrier, {}, 0, -1});
    modem->AddNumber("5550008", {sim::TPhoneKind::NoAnswer, {}, 0, -1});
    modem->OpenPty();
  }

  std::unique_ptr<TModemCommPort> MakeLink(const std::string& number) {
    auto link = std::make_unique<TModemCommPort>(&settings, clock);
    EXPECT_TRUE(link->SetAddress(modem->PtyPath() + ":" + number));
    return link;
  }

  std::unique_ptr<TDataModel> ScanModel(TConnectionDevice& link) {
    return TTarvelFactory::CreateScanModel(static_cast<uint8_t>(TProtKind::XModem), &link, nullptr,
                                           TModelEnvironment{TSettings::Defaults(), false, nullptr});
  }

  ScaledClock clock;
  sim::TLine line{sim::TLineOptions{.clock = &clock}};
  std::unique_ptr<sim::THayesModem> modem;
  TConnSettings settings;
  test::TJournalCapture journal;
};

// The initialisation string resets the modem to echo and verbose answers after the link asked for numeric
// ones: the link understands it all the same.
TEST_F(ModemLink, DialsReadsTheMeterAndHangsUp) {
  settings.ModemInit = "ATZ";
  StartModem();
  std::unique_ptr<TModemCommPort> link = MakeLink(kSite);
  EXPECT_EQ(link->ConnectedNumber(), "");  // only a call of this link's own sets it
  ASSERT_TRUE(link->Connect()) << Joined(journal.lines);
  EXPECT_TRUE(link->Online());
  EXPECT_EQ(link->ConnectedNumber(), kSite);
  EXPECT_TRUE(modem->Online());
  EXPECT_TRUE(Holds(journal.lines, "Соединение установлено: 5551234")) << Joined(journal.lines);
  EXPECT_TRUE(Holds(journal.lines, "Дозвон на телефон 5551234"));

  std::unique_ptr<TDataModel> scan = ScanModel(*link);
  ASSERT_TRUE(scan);
  TRListData list;
  ASSERT_TRUE(scan->ReadDeviceList(list));
  EXPECT_EQ(list.Ids, std::vector<uint8_t>{1});
  // Connect again on the live call neither dials nor disturbs it.
  ASSERT_TRUE(link->Connect());
  EXPECT_EQ(Dials(modem->Events()), 1);

  link->SetHoldMark(true);
  link->Release();
  EXPECT_FALSE(modem->Online());
  EXPECT_FALSE(link->Online());
  EXPECT_EQ(link->ConnectedNumber(), "");
  const std::vector<std::string> events = modem->Events();
  const std::vector<std::string> expected = {"dial 5551234", "connect 5551234", "escape", "hangup"};
  EXPECT_EQ(events, expected) << Joined(events);
}

TEST_F(ModemLink, FailedCallsEndWithTheirJournalTexts) {
  struct TCase {
    const char* number;
    bool silent;
    std::vector<std::string> journal;
  };
  const TCase cases[] = {
      {"5550007", false, {"Номер 5550007занят", "+CEER: busy", "Дозвониться не удалось 5550007"}},
      {"5550003",
       false,
       {"При дозвоне на 5550003 произошел сбой сигнала", "+CEER: no carrier",
        "Дозвониться не удалось 5550003"}},
      {"5550008", false, {"Дозвон на телефон 5550008", "Дозвониться не удалось 5550008"}},
      {kSite, true, {"Нет ответа от модема (PTY)", "Дозвониться не удалось 5551234"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.number + std::string(c.silent ? " silent" : ""));
    StartModem(c.silent);
    journal.lines.clear();
    std::unique_ptr<TModemCommPort> link = MakeLink(c.number);
    EXPECT_FALSE(link->Connect());
    EXPECT_FALSE(link->Online());
    EXPECT_FALSE(modem->Online());
    for (std::string text : c.journal) {
      if (size_t at = text.find("PTY"); at != std::string::npos) text.replace(at, 3, modem->PtyPath());
      EXPECT_TRUE(Holds(journal.lines, text)) << text << "\n" << Joined(journal.lines);
    }
    // Five attempts, each dialled (a silent modem is never asked to dial).
    EXPECT_EQ(Dials(modem->Events()), c.silent ? 0 : TModemCommPort::kDialAttempts);
    link.reset();
    modem.reset();
  }
}

TEST_F(ModemLink, CarrierLostInTheMiddleOfAReadIsALostConnection) {
  StartModem();
  std::unique_ptr<TModemCommPort> link = MakeLink(kDropsMidRead);
  ASSERT_TRUE(link->Connect()) << Joined(journal.lines);
  std::unique_ptr<TDataModel> scan = ScanModel(*link);
  TRListData list;
  EXPECT_FALSE(scan->ReadDeviceList(list));
  EXPECT_FALSE(link->Online());
  EXPECT_TRUE(Holds(journal.lines, "Обрыв соединения")) << Joined(journal.lines);
  EXPECT_TRUE(Holds(modem->Events(), "carrier lost"));
  EXPECT_FALSE(link->Connected()) << "the next Connect must dial again";
}

TEST_F(ModemLink, CarrierDroppedByTheFarEndIsSeenByCheckLink) {
  StartModem();
  std::unique_ptr<TModemCommPort> link = MakeLink(kSite);
  ASSERT_TRUE(link->Connect());
  modem->DropCall();
  bool lost = false;
  for (int i = 0; i < 200 && !lost; ++i) {
    try {
      if (link->WaitData(100)) link->ReadByte();
      link->CheckLink();
    } catch (const EConnectExcept& e) {
      EXPECT_STREQ(e.what(), "Обрыв соединения");
      lost = true;
    } catch (const EPortExcept&) {
    }
  }
  EXPECT_TRUE(lost);
  EXPECT_FALSE(link->Online());
}

TEST_F(ModemLink, CancelWhileDiallingStopsTheCallAndRefusesLaterConnects) {
  StartModem();
  std::unique_ptr<TModemCommPort> link = MakeLink("5550008");
  std::jthread panel([&](std::stop_token stop) {
    while (!stop.stop_requested()) {
      const auto events = modem->Events();
      if (!events.empty()) {
        link->RequestCancel();
        return;
      }
      std::this_thread::yield();
      clock.Sleep(10);
    }
  });
  EXPECT_FALSE(link->Connect());
  panel.request_stop();
  panel.join();
  EXPECT_TRUE(link->Cancelled());
  EXPECT_TRUE(Holds(journal.lines, "Отмена дозвона на 5550008")) << Joined(journal.lines);
  EXPECT_FALSE(link->Port().Connected());  // the port is closed: DTR dropped
  const size_t eventsBefore = modem->Events().size();
  EXPECT_FALSE(link->Connect());
  EXPECT_EQ(modem->Events().size(), eventsBefore);
}

TEST(ModemAnswer, NumericVerboseEchoAndGarbage) {
  struct TCase {
    const char* line;
    std::optional<int> code;
  };
  for (const TCase& c : {TCase{"0", 0},
                         {"7", 7},
                         {"12", 12},
                         {"OK", 0},
                         {"CONNECT 9600", 1},
                         {"NO CARRIER", 3},
                         {"BUSY", 7},
                         {"NO ANSWER", 8},
                         {"ATDT5551234", std::nullopt},
                         {"C", -1},
                         {"12345", -1}}) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(AnswerCode(c.line), c.code);
  }
}

TEST_F(ModemLink, AddressIsPortAndDialableNumberOnly) {
  StartModem();
  TModemCommPort link(&settings, clock);
  for (const std::string& bad : {modem->PtyPath(), modem->PtyPath() + ":", modem->PtyPath() + ":555\rATH",
                                 modem->PtyPath() + ":123456789012345678901", std::string("COM1234:555")}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(link.SetAddress(bad));
  }
  EXPECT_FALSE(link.SetAddress("/dev/no-such-modem:555"));
  EXPECT_TRUE(link.SetAddress(modem->PtyPath() + ":8,555-12-34"));
}

}  // namespace
}  // namespace orvela
