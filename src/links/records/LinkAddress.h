#pragma once
// The one rule that turns a connection key into the address its link takes, and the parser of the
// address texts that keys, files and older configurations carry for the IP links.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvela {

struct TConnKey;

// Serial line: port; modem and inbound GPRS: port ":" telephone; UDP: host ":" remote port ":" local
// port (ports written with at least four digits); TCP: host ":" port; closed library and unknown kinds:
// empty. An IP field that already holds ports (auto-configuration joins address, remote and local port
// into it) gives its ports instead of the key's port fields. The result is cut to the key's field width.
std::string BuildLinkAddress(const TConnKey& key);

// The parts of an IP link address.
struct TIpLinkAddress {
  std::string host;
  uint16_t remotePort = 0;
  std::optional<uint16_t> localPort;  // absent in "host:port"; 0 takes any free port
};

// Accepts "host:port", "host:remote:local" and "host:remote:local:port" (an auto-configured IP field
// followed by the key's own port, which is then ignored). Ports are decimal, the remote one 1…65535,
// the others 0…65535. nullopt for anything else.
std::optional<TIpLinkAddress> ParseIpLinkAddress(std::string_view text);

}  // namespace orvela
