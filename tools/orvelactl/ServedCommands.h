#pragma once
// The da and hda commands on a folder a running server serves: asked through its local endpoint, so that
// the answers come from the server's own engine and no second poller opens its lines. Output and exit
// codes are those of the same commands served in this process.
#include <filesystem>
#include <string>
#include <vector>

#include "orvelactl/ServerClient.h"

namespace orvela::ctl {

int ServedDaRead(const std::filesystem::path& socket, const TServerOptions& options,
                 const std::vector<std::string>& items);
int ServedDaWatch(const std::filesystem::path& socket, const TServerOptions& options,
                  const std::vector<std::string>& items, int rate, int count);
// start, end: the command line's times (ISO or HDA text), resolved here.
int ServedHdaRead(const std::filesystem::path& socket, const TServerOptions& options,
                  const std::vector<std::string>& items, const std::string& start, const std::string& end);
// For a command the endpoint does not offer: the EClientError that says so.
EClientError NotThroughServer(const std::string& command);

}  // namespace orvela::ctl
