#include "support/ServerFolder.h"

#include <stdexcept>

#include "drivers/Tarvel2001Nodes.h"
#include "tree/DemoConfig.h"

namespace orvela::test {

void WriteServerFolder(const std::filesystem::path& folder, uint16_t port, bool withMeter) {
  TTree tree;
  TConfigController controller(folder, tree);
  BuildDemoConfiguration(controller,
                         withMeter ? TNodeDescriber(DescribeTarvel2001TreeNode) : TNodeDescriber{}, port);
  TSettings& settings = controller.Settings();
  settings.QueuePauseMs = 50;
  settings.StartPauseMs = 50;
  settings.ChannelLog = false;
  settings.JournalEveryRequest = false;
  for (TConnRow& row : controller.Connections().Rows) row.Settings->EchoTested = 1;  // the line does not echo
  if (!controller.Save().empty())
    throw std::runtime_error("cannot write the program folder " + folder.string());
}

}  // namespace orvela::test
