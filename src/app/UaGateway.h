#pragma once
// Where the OPC UA gateway lives and how OrvelaOPC starts it: `node gateway.js --dir FOLDER --listen
// HOST:PORT`, with node and the script found as an installation or the source tree has them.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvela {

struct TUaAddress {
  std::string host;
  int port = 0;
  // "HOST:PORT", IPv6 hosts in brackets; the opc.tcp URL clients use.
  std::string Listen() const;
  std::string Url() const;
};

inline constexpr const char* kDefaultUaAddress = "127.0.0.1:4840";

// "[HOST:]PORT" as the gateway reads it (host 127.0.0.1 when left out); nullopt when malformed.
std::optional<TUaAddress> ParseUaAddress(std::string_view text);

// The gateway script: the option's file, else $ORVELA_UA_GATEWAY, else share/orvelaopc/ua beside the
// installed program, else the source tree's ua/. Empty when none of them exists.
std::filesystem::path FindUaGateway(const std::string& option);

// The command line: $ORVELA_NODE (else node on PATH) running the script. secureLoopback: Basic256Sha256 with
// trusted client certificates on loopback too, instead of SecurityPolicy None there.
std::vector<std::string> UaGatewayCommand(const std::filesystem::path& script,
                                          const std::filesystem::path& programFolder, const TUaAddress& address,
                                          bool secureLoopback = false);

}  // namespace orvela
