#include "orvelactl/Commands.h"

namespace orvela::ctl {

void AddConfigCommands(CLI::App&, int&) {}

}  // namespace orvela::ctl
