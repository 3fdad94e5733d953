#include "links/records/LinkAddress.h"

#include <charconv>
#include <vector>

#include "links/records/ConnRecords.h"
#include "platform/Cp1251.h"

namespace orvela {
namespace {

constexpr size_t kMaxPortDigits = 5;
constexpr size_t kPortDigitsWritten = 4;

std::optional<uint16_t> ParsePort(std::string_view text, uint16_t minPort) {
  if (text.empty() || text.size() > kMaxPortDigits) return std::nullopt;
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < minPort || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

std::vector<std::string_view> SplitAtColons(std::string_view text) {
  std::vector<std::string_view> parts;
  for (;;) {
    size_t colon = text.find(':');
    parts.push_back(text.substr(0, colon));
    if (colon == std::string_view::npos) return parts;
    text.remove_prefix(colon + 1);
  }
}

std::string PortText(int32_t port) {
  std::string digits = std::to_string(port);
  if (port >= 0 && digits.size() < kPortDigitsWritten)
    digits.insert(0, kPortDigitsWritten - digits.size(), '0');
  return digits;
}

// The address parts a key's IP fields give: an IP field holding ports wins over the port fields.
TIpLinkAddress IpPartsOf(const TConnKey& key) {
  if (key.IP_Addr.find(':') != std::string::npos) {
    if (auto parsed = ParseIpLinkAddress(key.IP_Addr)) {
      if (!parsed->localPort && key.LocalPort >= 0 && key.LocalPort <= 65535)
        parsed->localPort = static_cast<uint16_t>(key.LocalPort);
      return *parsed;
    }
  }
  return {};
}

std::string UdpAddress(const TConnKey& key) {
  TIpLinkAddress parts = IpPartsOf(key);
  if (parts.host.empty()) return key.IP_Addr + ":" + PortText(key.IP_Port) + ":" + PortText(key.LocalPort);
  return parts.host + ":" + PortText(parts.remotePort) + ":" + PortText(parts.localPort.value_or(0));
}

std::string TcpAddress(const TConnKey& key) {
  TIpLinkAddress parts = IpPartsOf(key);
  if (parts.host.empty()) return key.IP_Addr + ":" + std::to_string(key.IP_Port);
  return parts.host + ":" + std::to_string(parts.remotePort);
}

}  // namespace

std::optional<TIpLinkAddress> ParseIpLinkAddress(std::string_view text) {
  std::vector<std::string_view> parts = SplitAtColons(text);
  if (parts.size() < 2 || parts.size() > 4 || parts[0].empty()) return std::nullopt;
  TIpLinkAddress out;
  out.host = std::string(parts[0]);
  auto remote = ParsePort(parts[1], 1);
  if (!remote) return std::nullopt;
  out.remotePort = *remote;
  if (parts.size() >= 3) {
    out.localPort = ParsePort(parts[2], 0);
    if (!out.localPort) return std::nullopt;
  }
  if (parts.size() == 4 && !ParsePort(parts[3], 0)) return std::nullopt;
  return out;
}

std::string BuildLinkAddress(const TConnKey& key) {
  TConnKey k = NormalizeConnKey(key);
  std::string address;
  switch (static_cast<TConnKind>(k.ConnType)) {
    case TConnKind::SerialLine:
      address = k.PortName;
      break;
    case TConnKind::DialUpModem:
    case TConnKind::InboundGprs:  // the GSM modem's port places the wake-up call
      address = k.PortName + ":" + k.TelName;
      break;
    case TConnKind::Udp:
      address = UdpAddress(k);
      break;
    case TConnKind::TcpClient:
      address = TcpAddress(k);
      break;
    default:  // the closed library and unknown kinds address nothing
      break;
  }
  // Cut as the key's field stores it.
  std::string stored = Utf8ToCp1251(address);
  if (stored.size() > TConnKey::kLinkAddressWidth) stored.resize(TConnKey::kLinkAddressWidth);
  return Cp1251ToUtf8(stored);
}

}  // namespace orvela
