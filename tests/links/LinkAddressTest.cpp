#include <gtest/gtest.h>

#include "links/records/ConnRecords.h"
#include "links/records/LinkAddress.h"

namespace orvela {
namespace {

TConnKey Key(TConnKind kind, std::string ip = "", int32_t remotePort = 0, int32_t localPort = 0) {
  TConnKey key;
  key.ConnType = static_cast<uint8_t>(kind);
  key.PortName = "COM3";
  key.TelName = "89001234567";
  key.IP_Addr = std::move(ip);
  key.IP_Port = remotePort;
  key.LocalPort = localPort;
  return key;
}

// What every way of filling a key gives the link: the list's fields, the joined IP field that
// auto-configuration builds, and address texts already carrying a port.
TEST(LinkAddress, EveryKindGetsTheFormItsLinkTakes) {
  struct Case {
    const char* name;
    TConnKey key;
    const char* expected;
  };
  const Case cases[] = {
      {"serial", Key(TConnKind::SerialLine), "COM3"},
      {"modem", Key(TConnKind::DialUpModem), "COM3:89001234567"},
      {"inbound GPRS names the GSM modem's port", Key(TConnKind::InboundGprs), "COM3:89001234567"},
      {"closed library", Key(TConnKind::ClosedLibrary, "10.0.0.7", 4001), ""},
      {"unknown kind", Key(static_cast<TConnKind>(6), "10.0.0.7", 4001), ""},
      {"UDP from the list's fields", Key(TConnKind::Udp, "10.0.0.7", 4001, 4002), "10.0.0.7:4001:4002"},
      {"UDP short ports get four digits", Key(TConnKind::Udp, "10.0.0.7", 502, 0), "10.0.0.7:0502:0000"},
      {"UDP five-digit ports", Key(TConnKind::Udp, "10.0.0.7", 40001, 50002), "10.0.0.7:40001:50002"},
      {"UDP auto-configured IP field", Key(TConnKind::Udp, "10.0.0.7:4001:4002"), "10.0.0.7:4001:4002"},
      {"UDP IP field with the remote port", Key(TConnKind::Udp, "10.0.0.7:4001", 0, 4002),
       "10.0.0.7:4001:4002"},
      {"TCP from the list's fields", Key(TConnKind::TcpClient, "10.0.0.7", 4001), "10.0.0.7:4001"},
      {"TCP by name", Key(TConnKind::TcpClient, "plc1", 502), "plc1:502"},
      {"TCP auto-configured IP field", Key(TConnKind::TcpClient, "10.0.0.7:4001:0000"), "10.0.0.7:4001"},
      {"TCP IP field with the port", Key(TConnKind::TcpClient, "10.0.0.7:4001"), "10.0.0.7:4001"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string address = BuildLinkAddress(c.key);
    EXPECT_EQ(address, c.expected);
    // The IP forms are ones the links read.
    if (c.key.ConnType == static_cast<uint8_t>(TConnKind::Udp) ||
        c.key.ConnType == static_cast<uint8_t>(TConnKind::TcpClient)) {
      EXPECT_TRUE(ParseIpLinkAddress(address).has_value());
    }
  }
}

TEST(LinkAddress, IsBuiltFromTheFieldsAsStored) {
  TConnKey modem = Key(TConnKind::DialUpModem);
  modem.PortName = "COM12345";  // the field holds six characters
  modem.TelName = "";
  EXPECT_EQ(BuildLinkAddress(modem), "COM123:");
  // A key without a remote port gives a text the links refuse rather than a made-up port.
  EXPECT_FALSE(ParseIpLinkAddress(BuildLinkAddress(Key(TConnKind::Udp, "10.0.0.7"))).has_value());
  EXPECT_FALSE(ParseIpLinkAddress(BuildLinkAddress(Key(TConnKind::TcpClient, "10.0.0.7"))).has_value());
  EXPECT_FALSE(ParseIpLinkAddress(BuildLinkAddress(Key(TConnKind::Udp, "10.0.0.7", -5, 4002))).has_value());
}

TEST(LinkAddress, ParsesTheStoredFormsAndRefusesTheRest) {
  struct Good {
    const char* text;
    const char* host;
    uint16_t remote;
    std::optional<uint16_t> local;
  };
  const Good good[] = {
      {"192.168.1.10:4001:4002", "192.168.1.10", 4001, 4002},
      {"10.1.2.3:502:65535", "10.1.2.3", 502, 65535},
      {"10.0.0.7:0502:0000", "10.0.0.7", 502, 0},
      // An auto-configured key seen through the connection order's rule: the joined field, ":", IP_Port.
      {"10.0.0.7:4001:4002:0", "10.0.0.7", 4001, 4002},
      {"10.0.0.7:4001", "10.0.0.7", 4001, std::nullopt},
      {"plc1:502", "plc1", 502, std::nullopt},
  };
  for (const Good& g : good) {
    SCOPED_TRACE(g.text);
    auto parsed = ParseIpLinkAddress(g.text);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->host, g.host);
    EXPECT_EQ(parsed->remotePort, g.remote);
    EXPECT_EQ(parsed->localPort, g.local);
  }
  for (const char* bad :
       {"", "10.0.0.7", "10.0.0.7:", ":4001", ":4001:4002", "10.0.0.7:0", "10.0.0.7:0:4002", "10.0.0.7:70000",
        "10.0.0.7:123456", "10.0.0.7:-1", "10.0.0.7:+401", "10.0.0.7: 401", "10.0.0.7:40x1:4002",
        "10.0.0.7:4001:", "10.0.0.7:4001:70000", "10.0.0.7:4001:4002:", "10.0.0.7:4001:4002:x",
        "10.0.0.7:4001:4002:0:1", "COM3:89001234567"})
    EXPECT_FALSE(ParseIpLinkAddress(bad).has_value()) << bad;
}

}  // namespace
}  // namespace orvela
