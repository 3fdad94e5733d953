#include "orvelactl/Commands.h"

namespace orvela::ctl {

void AddJournalCommands(CLI::App&, int&) {}

}  // namespace orvela::ctl
