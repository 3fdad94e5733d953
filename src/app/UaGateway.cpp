#include "UaGateway.h"

#include <cstdlib>
#include <regex>
#include <system_error>

namespace orvela {

std::string TUaAddress::Listen() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string TUaAddress::Url() const {
  return "opc.tcp://" + Listen();
}

std::optional<TUaAddress> ParseUaAddress(std::string_view text) {
  static const std::regex grammar(R"(^(?:(\[[0-9a-fA-F:.]+\]|[^:\[\]]+):)?(\d{1,5})$)");
  std::match_results<std::string_view::const_iterator> m;
  if (!std::regex_match(text.begin(), text.end(), m, grammar)) return std::nullopt;
  TUaAddress address;
  address.port = std::stoi(m[2].str());
  if (address.port > 65535) return std::nullopt;
  address.host = m[1].matched ? m[1].str() : "127.0.0.1";
  if (address.host.front() == '[') address.host = address.host.substr(1, address.host.size() - 2);
  return address;
}

namespace {

bool IsFile(const std::filesystem::path& path) {
  std::error_code error;
  return !path.empty() && std::filesystem::is_regular_file(path, error);
}

std::filesystem::path InstalledGateway() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return exe.parent_path().parent_path() / "share" / "orvelaopc" / "ua" / "gateway.js";
}

}  // namespace

std::filesystem::path FindUaGateway(const std::string& option) {
  if (!option.empty()) return IsFile(option) ? std::filesystem::path(option) : std::filesystem::path();
  if (const char* env = std::getenv("ORVELA_UA_GATEWAY"); env && *env)
    return IsFile(env) ? std::filesystem::path(env) : std::filesystem::path();
  for (const std::filesystem::path& candidate :
       {InstalledGateway(), std::filesystem::path(ORVELA_SOURCE_DIR) / "ua" / "gateway.js"})
    if (IsFile(candidate)) return candidate;
  return {};
}

std::vector<std::string> UaGatewayCommand(const std::filesystem::path& script,
                                          const std::filesystem::path& programFolder, const TUaAddress& address,
                                          bool secureLoopback) {
  const char* node = std::getenv("ORVELA_NODE");
  std::vector<std::string> command{node && *node ? node : "node",
                                   std::filesystem::absolute(script).string(),
                                   "--dir",
                                   std::filesystem::absolute(programFolder).string(),
                                   "--listen",
                                   address.Listen()};
  if (secureLoopback) command.emplace_back("--secure-loopback");
  return command;
}

}  // namespace orvela
