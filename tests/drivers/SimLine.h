#pragma once
// A simulated line of the maker's meters on loopback TCP, and the driver side wired to it through the real
// TCP link and XModem framing.
#include <gtest/gtest.h>

#include <memory>

#include "drivers/Tarvel2001.h"
#include "drivers/TarvelFactory.h"
#include "links/TcpConnectionPort.h"
#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "platform/Clock.h"
#include "tree/TreeItem.h"

namespace orvela::test {

// Both sides run on one scaled clock: XModem's waits are whole seconds of the protocol's time, a loopback
// answer takes well under a real millisecond.
constexpr double kSimScale = 40;
inline const TDateTime kSimStart = EncodeDateTime(2024, 3, 2, 10, 20);

struct TSimMeter {
  const char* family;
  uint8_t address;
  const char* serial;
};

class TSimLineTest : public ::testing::Test {
 protected:
  explicit TSimLineTest(std::vector<TSimMeter> meters = {{"tarvel2001", 1, "12345678"}})
      : clock(kSimScale, kSimStart), line(sim::TLineOptions{.clock = &clock}) {
    for (const TSimMeter& m : meters) line.AddDevice(sim::MakeDevice(m.family, m.address, m.serial));
    line.ListenTcp();
    settings.EchoTested = 1;  // the line does not echo; spare every connection the probe
    key.ConnName = "Котельная";
    key.ConnType = static_cast<uint8_t>(TConnKind::TcpClient);
    key.ProtType = static_cast<uint8_t>(TProtKind::XModem);
    key.IP_Addr = "127.0.0.1";
    key.IP_Port = line.Port();
    settings.Key = key;
    link = std::make_unique<TTCPConnectionPort>(&settings, clock);
    link->SetOrder(&channel);
    EXPECT_TRUE(link->SetAddress(line.TcpAddress()));
  }
  ~TSimLineTest() override {
    models_.clear();
    link.reset();
    line.Stop();
  }

  // A Tarvel 2001 data model on the line's link, with its device record.
  TTarvel2001& Model(uint8_t address, const char* serial = "12345678") {
    auto& record = records_.emplace_back(std::make_unique<TPribor>());
    record->Address = address;
    record->Serial = serial;
    record->ModelCode = mcTarvel2001;
    record->Name = "ТАРВЕЛ мод.2001";
    auto model = TTarvelFactory::CreateModel(mcTarvel2001, key, nullptr, link.get());
    EXPECT_NE(model, nullptr);
    model->SetDevice(record.get());
    model->SetOrder(&channel);
    model->SetSettings(settings_);
    model->SetArchiveDates(&archiveDates);
    models_.push_back(std::move(model));
    return static_cast<TTarvel2001&>(*models_.back());
  }
  TPribor& Record() { return *records_.back(); }
  TSettings& Settings() { return settings_; }

  // Requests the line has seen since the last call.
  std::vector<sim::TExchangeRecord> TakeExchanges() {
    auto records = line.Exchanges();
    line.ClearExchanges();
    return records;
  }

  ScaledClock clock;
  sim::TLine line;
  TConnSettings settings;
  TConnKey key;
  TMemoryChannelLog channel;
  std::unique_ptr<TTCPConnectionPort> link;
  std::vector<TDateArrayCell*> archiveDates;

 private:
  TSettings settings_{};
  std::vector<std::unique_ptr<TPribor>> records_;
  std::vector<std::unique_ptr<TDataModel>> models_;
};

}  // namespace orvela::test
