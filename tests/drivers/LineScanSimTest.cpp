// The line scan, identification and serial numbers of several meters on one simulated line.
#include <gtest/gtest.h>

#include "drivers/SimLine.h"
#include "protocols/XModemProtocol.h"

namespace orvela {
namespace {

class LineScan : public test::TSimLineTest {
 protected:
  LineScan()
      : TSimLineTest(
            {{"tarvel2001", 1, "12345678"}, {"tarvelf", 2, "87654321"}, {"tarvel2001", 17, "2001-017"}}) {}
};

TEST_F(LineScan, ListsIdentifiesAndReadsTheSerialOfEveryMeter) {
  auto scan = TTarvelFactory::CreateScanModel(key.ProtType, link.get(), nullptr, {});
  TRListData list;
  ASSERT_TRUE(scan->ReadDeviceList(list));
  ASSERT_EQ(list.Count, 3);
  EXPECT_EQ(list.Ids, (std::vector<uint8_t>{1, 2, 17}));

  const std::pair<uint8_t, uint8_t> expected[] = {{1, mcTarvel2001}, {2, mcTarvelF}, {17, mcTarvel2001}};
  for (auto [address, model] : expected) {
    uint8_t found = 0;
    EXPECT_TRUE(scan->IdentifyDevice(address, found));
    EXPECT_EQ(found, model) << int(address);
  }

  std::string serial;
  EXPECT_TRUE(Model(1).ReadSerialNumber(1, serial));
  EXPECT_EQ(serial, "12345678");
  EXPECT_TRUE(Model(17).ReadSerialNumber(17, serial));
  EXPECT_EQ(serial, "2001-017");
  // The F meter answers the family's serial request too.
  TTarvelDataModel family(TTarvelFactory::CreateFraming(key.ProtType, nullptr), nullptr, link.get());
  EXPECT_TRUE(family.ReadSerialNumber(2, serial));
  EXPECT_EQ(serial, "87654321");
}

TEST_F(LineScan, AnAddressNobodyHasIsNotIdentified) {
  auto scan = TTarvelFactory::CreateScanModel(key.ProtType, link.get(), nullptr, {});
  line.ClearExchanges();
  uint8_t found = 0;
  int64_t start = clock.TickMs();
  EXPECT_FALSE(scan->IdentifyDevice(9, found));
  EXPECT_EQ(found, 0);
  // The silent address costs one bounded exchange: no second question follows an answer that never came.
  EXPECT_LE(clock.TickMs() - start, XModemExchangeBudgetMs(2, 0) + 5'000);
  auto exchanges = line.Exchanges();
  ASSERT_EQ(exchanges.size(), 1u);
  EXPECT_EQ(exchanges[0].address, 9);
  EXPECT_FALSE(exchanges[0].answered);
  EXPECT_EQ(scan->Framing()->Counters().successes, 0);
  EXPECT_EQ(scan->Framing()->Counters().readFailures, 1);

  // The line still answers for the meters it has.
  EXPECT_TRUE(scan->IdentifyDevice(1, found));
  EXPECT_EQ(found, mcTarvel2001);
}

}  // namespace
}  // namespace orvela
