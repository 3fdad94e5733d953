// The simulator's M-Bus slave through the M-Bus framing over a real TCP link: the known short frames, the
// user data it answers, and the frames it must ignore.
#include <gtest/gtest.h>

#include "links/TcpConnectionPort.h"
#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "metersim/MBusSlave.h"
#include "protocols/MBusProtocol.h"

namespace orvela {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Le32(const TBytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

class MBusSlave : public testing::Test {
 protected:
  MBusSlave() : clock(40, EncodeDateTime(2024, 3, 2, 10, 20)), line(sim::TLineOptions{.clock = &clock}) {
    line.AddDevice(sim::MakeDevice("mbus", 3, "12345678"));
    line.ListenTcp();
    settings.EchoTested = 1;
    link = std::make_unique<TTCPConnectionPort>(&settings, clock);
    EXPECT_TRUE(link->SetAddress(line.TcpAddress()));
    framing.SetLink(link.get());
  }
  ~MBusSlave() override {
    link.reset();
    line.Stop();
  }

  ScaledClock clock;
  sim::TLine line;
  TConnSettings settings;
  std::unique_ptr<TTCPConnectionPort> link;
  MBusProtocol framing;
};

TEST_F(MBusSlave, InitialisationIsAcknowledgedAndUserDataComesInALongFrame) {
  TBytes reply;
  ASSERT_EQ(framing.Transact(0, Bytes{0x10, 0x40, 0x03}, reply), 0);
  EXPECT_EQ(reply, (TBytes{0xE5}));

  TDateTime before = clock.Now();
  ASSERT_EQ(framing.Transact(0, Bytes{0x10, 0x5B, 0x03}, reply), 0);
  TDateTime after = clock.Now();
  ASSERT_EQ(reply.size(), 33u);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 7), (Bytes{0x68, 0x1B, 0x1B, 0x68, 0x08, 0x03, 0x72}));
  EXPECT_EQ(Bytes(reply.begin() + 7, reply.begin() + 11), (Bytes{0x78, 0x56, 0x34, 0x12}));  // BCD serial
  EXPECT_EQ(Bytes(reply.begin() + 19, reply.begin() + 21), (Bytes{0x04, 0x06}));
  const auto* meter = dynamic_cast<const sim::TMBusMeter*>(line.FindDevice(3, sim::kMBusProtocol));
  ASSERT_NE(meter, nullptr);
  uint32_t energy = Le32(reply, 21);
  EXPECT_TRUE(energy == meter->EnergyKwh(before) || energy == meter->EnergyKwh(after)) << energy;
  EXPECT_EQ(reply.back(), 0x16);

  // The sent frames carried their check sums: the slave answers only such frames.
  auto exchanges = line.Exchanges();
  ASSERT_EQ(exchanges.size(), 2u);
  EXPECT_EQ(exchanges[1].message, (Bytes{0x10, 0x5B, 0x03, 0x5E, 0x16}));
}

TEST_F(MBusSlave, AnotherAddressGetsNoAnswer) {
  TBytes reply;
  EXPECT_EQ(framing.Transact(0, Bytes{0x10, 0x5B, 0x04}, reply), -1);
  EXPECT_EQ(framing.Counters().readFailures, 1);
  EXPECT_EQ(framing.Transact(0, Bytes{0x10, 0x40, 0x03}, reply), 0);
}

}  // namespace
}  // namespace orvela
