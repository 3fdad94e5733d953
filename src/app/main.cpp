// OrvelaOPC: the server and operator program. Headless for now: it runs the configuration part of
// start-up on the program folder and prints the status texts the status bar would show.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

#include "tree/ConfigController.h"
#include "tree/StartUp.h"

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
  try {
    orvela::TTree tree(std::filesystem::exists(programFolder / "english"));
    orvela::TConfigController controller(programFolder, tree);
    const orvela::TStartResult result = orvela::RunConfigurationStart(controller);
    for (const orvela::EConfigFile& problem : result.Problems) std::cerr << problem.what() << "\n";
    if (!result.Completed()) {
      std::cout << result.FailureMessage << "\n";
      return 1;
    }
    for (const std::string& line : result.StatusLines()) std::cout << line << "\n";
  } catch (const std::exception& e) {
    std::cerr << "OrvelaOPC: " << e.what() << "\n";
    return 2;
  }
  return 0;
}
