// The maker's meters over UDP: the real UDP link, the XModem framing and the Tarvel drivers against the
// simulated line's UDP port, including a converter that answers from another source port.
#include <gtest/gtest.h>

#include <map>

#include "drivers/SimLine.h"
#include "drivers/Tarvel2001Nodes.h"
#include "links/UdpConnectionPort.h"
#include "links/records/LinkAddress.h"
#include "metersim/Values.h"

namespace orvela {
namespace {

constexpr const char* kSerial = "12345678";
constexpr const char* kSerialF = "87654321";
constexpr double kSecond = 1.0 / 86400;

class UdpLine : public test::TSimLineTest {
 protected:
  explicit UdpLine(bool replyPortShift = false, bool portsInAddress = false)
      : TSimLineTest({.meters = {{"tarvel2001", 1, kSerial}, {"tarvelf", 2, kSerialF}},
                      .link = test::ESimLink::Udp,
                      .udpReplyPortShift = replyPortShift,
                      .udpPortsInAddress = portsInAddress}),
        model(&Model(1)),
        nodes_(*model, Record()) {}

  TNTreeData* Node(std::initializer_list<uint8_t> idsFromTop) { return nodes_.Node(idsFromTop); }

  TTarvel2001* model;

 private:
  test::TSimDeviceNodes nodes_;
};

TEST_F(UdpLine, ScanIdentifiesEveryMeterAndReadsItsSerial) {
  auto scan = TTarvelFactory::CreateScanModel(key.ProtType, link.get(), nullptr, {});
  TRListData list;
  ASSERT_TRUE(scan->ReadDeviceList(list));
  EXPECT_EQ(list.Ids, (std::vector<uint8_t>{1, 2}));
  for (auto [address, expected] : {std::pair<uint8_t, uint8_t>{1, mcTarvel2001}, {2, mcTarvelF}}) {
    uint8_t found = 0;
    EXPECT_TRUE(scan->IdentifyDevice(address, found)) << int(address);
    EXPECT_EQ(found, expected) << int(address);
  }
  std::string serial;
  EXPECT_TRUE(model->ReadSerialNumber(1, serial));
  EXPECT_EQ(serial, kSerial);
}

TEST_F(UdpLine, CurrentValueAndAMultiBlockArchive) {
  TPrbArray current;
  current.ValueQuality = kQualityNotConnected;
  TDateTime before = clock.Now();
  ASSERT_TRUE(model->ReadCurrent(current, Node({tidData, tidCurrent, 0x03}), 1));
  TDateTime after = clock.Now();
  ASSERT_EQ(current.Items.size(), 2u);
  float value = static_cast<float>(current.Items[0].Value.d);
  EXPECT_TRUE(value == sim::CurrentValue(kSerial, 0x03, before) ||
              value == sim::CurrentValue(kSerial, 0x03, after))
      << value;
  EXPECT_EQ(current.ValueQuality, kQualityGood);

  // The hour archive's value and date columns take several reply blocks, one datagram each.
  TPrbArray archive;
  ASSERT_TRUE(model->ReadArchive(archive, Node({tidData, tidHours, 0x00}), test::kSimStart));
  sim::TRing ring = sim::ArchiveRing(sim::EPeriod::Hour, 72, clock.Now(), false);
  ASSERT_EQ(archive.Count, 72);
  ASSERT_EQ(archive.Items.size(), 72u);
  std::vector<int> order = ring.TimeOrder();
  for (size_t i = 0; i < archive.Items.size(); ++i) {
    int64_t index = ring.index[order[i]];
    EXPECT_EQ(archive.Items[i].TimeStamp, sim::PeriodStart(sim::EPeriod::Hour, index)) << i;
    EXPECT_EQ(archive.Items[i].Value,
              TVariant::Single(sim::ArchiveValue(kSerial, 0x00, sim::EPeriod::Hour, index, false)))
        << i;
  }
}

TEST_F(UdpLine, ARetriedClockReadFindsItsSocketStillOpen) {
  std::string serial;
  ASSERT_TRUE(model->ReadSerialNumber(1, serial));
  int port = LinkAs<TUdpConnectionPort>().BoundPort();
  ASSERT_NE(port, 0);
  EXPECT_EQ(line.UdpPeerPort(), port);

  size_t seen = line.Exchanges().size();
  line.FindDevice(1)->Faults().Update([](sim::TFaults& f) { f.dropReplies = 1; });
  TDateTime before = clock.Now(), time = 0;
  ASSERT_TRUE(model->ReadDeviceClock(1, time));
  EXPECT_GE(time, before - kSecond);
  EXPECT_LE(time, clock.Now());
  // The clock was asked twice (the first answer was dropped), both times from the socket the serial used.
  EXPECT_EQ(line.FindDevice(1)->Faults().Get().dropReplies, 0);
  auto exchanges = line.Exchanges();
  ASSERT_EQ(exchanges.size() - seen, 2u);
  EXPECT_EQ(exchanges[seen].message, exchanges[seen + 1].message);
  EXPECT_EQ(exchanges[seen].message.back(), tidCurrent);
  EXPECT_EQ(LinkAs<TUdpConnectionPort>().BoundPort(), port);
  EXPECT_EQ(line.UdpPeerPort(), port);
}

// A converter answering from another source port of the configured address, reached through an
// auto-configured key.
class UdpLineReplyingFromAnotherPort : public UdpLine {
 protected:
  UdpLineReplyingFromAnotherPort() : UdpLine(true, true) {}
};

TEST_F(UdpLineReplyingFromAnotherPort, RepliesAreTakenFromTheRemotesAddress) {
  ASSERT_NE(line.UdpReplyPort(), line.UdpPort());
  std::string serial;
  EXPECT_TRUE(model->ReadSerialNumber(1, serial));
  EXPECT_EQ(serial, kSerial);
  TDateTime time = 0;
  EXPECT_TRUE(model->ReadDeviceClock(1, time));
  TPrbArray current;
  EXPECT_TRUE(model->ReadCurrent(current, Node({tidData, tidCurrent, 0x00}), 1));
  EXPECT_EQ(current.ValueQuality, kQualityGood);
}

}  // namespace
}  // namespace orvela
