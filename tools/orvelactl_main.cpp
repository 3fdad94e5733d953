#include <iostream>

#include "orvelactl/Commands.h"

int main(int argc, char** argv) {
  CLI::App app{"orvelactl: configuration, scanning, journal and OPC client companion of OrvelaOPC"};
  app.require_subcommand(1);
  int exitCode = 0;
  orvela::ctl::AddConfigCommands(app, exitCode);
  orvela::ctl::AddDeviceCommands(app, exitCode);
  orvela::ctl::AddJournalCommands(app, exitCode);
  orvela::ctl::AddScanCommands(app, exitCode);
  orvela::ctl::AddPortCommands(app, exitCode);
  orvela::ctl::AddDaCommands(app, exitCode);
  orvela::ctl::AddHdaCommands(app, exitCode);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return exitCode;
}
