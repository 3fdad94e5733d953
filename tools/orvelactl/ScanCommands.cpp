#include "orvelactl/Commands.h"

namespace orvela::ctl {

void AddScanCommands(CLI::App&, int&) {}

}  // namespace orvela::ctl
