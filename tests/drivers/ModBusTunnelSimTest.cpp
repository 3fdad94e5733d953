// The maker's meters behind a ModBus converter: the line scan, serial numbers, current values and an
// archive through the tunnel of the ModBus framing, over a real TCP link to the simulator's ModBus slave.
#include <gtest/gtest.h>

#include "drivers/SimLine.h"
#include "drivers/Tarvel2001Nodes.h"
#include "metersim/Values.h"
#include "protocols/ModBusProtocol.h"

namespace orvela {
namespace {

constexpr const char* kSerial = "20010005";

class ModBusTunnelLine : public test::TSimLineTest {
 protected:
  ModBusTunnelLine()
      : TSimLineTest(
            test::TSimLineSetup{.meters = {{"tarvel2001_mb", 5, kSerial}, {"tarvelf_mb", 9, "F0000009"}},
                                .protocol = TProtKind::ModBus}) {}
};

TEST_F(ModBusTunnelLine, ScanListsAndIdentifiesTheMetersBehindTheConverter) {
  auto scan = TTarvelFactory::CreateScanModel(key.ProtType, link.get(), nullptr, {});
  ASSERT_NE(dynamic_cast<ModBusProtocol*>(scan->Framing()), nullptr);
  TRListData list;
  ASSERT_TRUE(scan->ReadDeviceList(list));
  EXPECT_EQ(list.Ids, (std::vector<uint8_t>{5, 9}));
  uint8_t found = 0;
  EXPECT_TRUE(scan->IdentifyDevice(5, found));
  EXPECT_EQ(found, mcTarvel2001);
  EXPECT_TRUE(scan->IdentifyDevice(9, found));
  EXPECT_EQ(found, mcTarvelF);
  // Every request went to the converter's slave: the scan to its own address, the rest to the meters'.
  for (const sim::TExchangeRecord& r : line.Exchanges()) {
    EXPECT_EQ(r.protocol, "modbus");
    EXPECT_TRUE(r.answered);
  }
}

TEST_F(ModBusTunnelLine, Tarvel2001ReadsThroughTheTunnel) {
  auto& model = static_cast<TTarvel2001&>(DeviceModel(5));
  test::TSimDeviceNodes nodes(model, Record());
  std::string serial;
  ASSERT_TRUE(model.ReadSerialNumber(5, serial));
  EXPECT_EQ(serial, kSerial);

  for (uint8_t p : {0x00, 0x03, 0x13}) {
    TPrbArray result;
    TDateTime before = clock.Now();
    ASSERT_TRUE(model.ReadCurrent(result, nodes.Node({tidData, tidCurrent, p}), 1)) << int(p);
    TDateTime after = clock.Now();
    ASSERT_EQ(result.Count, 1);
    float value = static_cast<float>(result.Items[0].Value.d);
    EXPECT_TRUE(value == sim::CurrentValue(kSerial, p, before) ||
                value == sim::CurrentValue(kSerial, p, after))
        << int(p) << ": " << value;
  }

  // An archive answer runs over several read-back pieces.
  TPrbArray archive;
  ASSERT_TRUE(model.ReadArchive(archive, nodes.Node({tidData, tidHours, 0x00}), test::kSimStart));
  ASSERT_GT(archive.Count, 0);
  const TPrbArray& newest = archive.Items.back();
  EXPECT_EQ(newest.TimeQuality, kQualityGood);
  int64_t index = sim::PeriodIndex(sim::EPeriod::Hour, newest.TimeStamp);
  EXPECT_EQ(newest.Value,
            TVariant::Single(sim::ArchiveValue(kSerial, 0x00, sim::EPeriod::Hour, index, false)));
}

TEST_F(ModBusTunnelLine, ASilentMeterIsAFailureAndTheLineRecovers) {
  auto& model = static_cast<TTarvel2001&>(DeviceModel(5));
  line.FindDevice(5, "modbus")->Faults().Update([](sim::TFaults& f) { f.silent = true; });
  std::string serial;
  EXPECT_FALSE(model.ReadSerialNumber(5, serial));
  line.FindDevice(5, "modbus")->Faults().Update([](sim::TFaults& f) { f.silent = false; });
  EXPECT_TRUE(model.ReadSerialNumber(5, serial));
  EXPECT_EQ(serial, kSerial);
}

}  // namespace
}  // namespace orvela
