// OrvelaOPC: the server and operator program. Headless for now: it starts the server host on the program
// folder (configuration, work logs, journal, class registration) and prints the status texts the status
// bar would show.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

#include "com/ServerHost.h"
#include "platform/MainThread.h"
#include "tree/ConfigController.h"
#include "tree/WorkLog.h"

namespace {

// Damaged or missing files go to standard error; where the configuration came from instead is told once.
void PrintStart(const orvela::TStartResult& result) {
  for (const orvela::EConfigFile& problem : result.Problems) std::cerr << problem.what() << "\n";
  for (const std::string& notice : result.Notices) std::cout << notice << "\n";
  if (!result.Completed()) {
    std::cerr << result.FailureMessage << "\n";
    std::cout << result.FailureMessage << "\n";
    return;
  }
  for (const std::string& line : result.StatusLines()) std::cout << line << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"OrvelaOPC: metering data server"};
  std::string dir;
  app.add_option("--dir", dir, "Program folder (default: $XDG_DATA_HOME/OrvelaOPC)");
  app.allow_extras();  // "Open" and the COM server switches are handled by the shell
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }

  const std::filesystem::path programFolder =
      dir.empty() ? orvela::DefaultProgramFolder() : std::filesystem::path(dir);
  int exitCode = 0;
  try {
    orvela::TServerHost host(programFolder);
    PrintStart(host.Start());
    if (!host.Start().Completed()) exitCode = 1;
  } catch (const std::exception& e) {
    std::cerr << "OrvelaOPC: " << e.what() << "\n";
    orvela::ProcessWorkLogs().StartFailure(std::string("OrvelaOPC: ") + e.what());
    exitCode = 2;
  }
  orvela::MainThread::Stop();
  return exitCode;
}
