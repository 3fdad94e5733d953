#pragma once
// Sub-commands of orvelactl, one group per file; main() adds every group.
#include <CLI/CLI.hpp>

namespace orvela::ctl {

// Each adds its sub-commands to the application. A command's callback sets the exit code through
// the reference it captured.
void AddConfigCommands(CLI::App& app, int& exitCode);
void AddDeviceCommands(CLI::App& app, int& exitCode);
void AddJournalCommands(CLI::App& app, int& exitCode);
void AddScanCommands(CLI::App& app, int& exitCode);
void AddPortCommands(CLI::App& app, int& exitCode);
// da and hda reach the OPC server as a client does: through the endpoint of a running server that serves
// the folder, else hosted in their own process.
void AddDaCommands(CLI::App& app, int& exitCode);
void AddHdaCommands(CLI::App& app, int& exitCode);
// da browse and hda browse (BrowseCommands.cpp), added by the two above.
void AddDaBrowseCommand(CLI::App& da, int& exitCode);
void AddHdaBrowseCommand(CLI::App& hda, int& exitCode);

}  // namespace orvela::ctl
