// OrvelaOPC: the server and operator program. Headless for now: it loads the configuration of the program
// folder, opens the work logs and the journal, writes the start lines and prints the status texts the
// status bar would show.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

#include "journal/JournalStart.h"
#include "platform/Clock.h"
#include "platform/MainThread.h"
#include "tree/ConfigController.h"
#include "tree/StartUp.h"
#include "tree/WorkLog.h"

namespace {

// Work logs first, so that a journal that cannot be opened can still be reported there.
std::unique_ptr<orvela::TDM1> OpenLogs(const std::filesystem::path& programFolder,
                                       const orvela::TSettings& settings) {
  orvela::ProcessWorkLogs().SetEnabled(settings.ChannelLog);
  const std::string workLogError = orvela::ProcessWorkLogs().OpenWorkLogs(programFolder);
  if (!workLogError.empty()) std::cerr << "OrvelaOPC: " << workLogError << "\n";
  orvela::TJournalOptions options;
  options.clearAtStart = settings.ClearJournalAtStart;
  // "Ошибка DM" and the like: kept whatever "Вести лог канала" says (the journal prints them too).
  options.workLog = [](const std::string& line) { orvela::ProcessWorkLogs().StartFailure(line); };
  return orvela::OpenJournalAtStart(programFolder, options);
}

// A start-up failure goes to standard error, the work log and the journal.
void ReportFailure(const std::string& text, const std::string& second, orvela::IJournalSink& journal) {
  std::cerr << text << "\n";
  orvela::ProcessWorkLogs().StartFailure(text);
  journal.Journal(text, second);
}

// Damaged or missing files are start-up failures; where the configuration came from instead is told in
// the status and the journal, once.
void ReportProblems(const orvela::TStartResult& result, orvela::IJournalSink& journal) {
  for (const orvela::EConfigFile& problem : result.Problems)
    ReportFailure(problem.what(), problem.File().filename().string(), journal);
  for (const std::string& notice : result.Notices) {
    std::cout << notice << "\n";
    journal.Journal(notice, "");
  }
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

  orvela::MainThread::Attach();
  const std::filesystem::path programFolder =
      dir.empty() ? orvela::DefaultProgramFolder() : std::filesystem::path(dir);
  int exitCode = 0;
  try {
    std::filesystem::create_directories(programFolder);
    orvela::TTree tree(std::filesystem::exists(programFolder / "english"));
    orvela::TConfigController controller(programFolder, tree);
    const orvela::TStartResult result = orvela::RunConfigurationStart(controller);
    // The journal opens after the settings are loaded, so that clearing it at start takes effect.
    auto journal = OpenLogs(programFolder, controller.Settings());
    orvela::WriteShellStartLines(*journal, ORVELA_VERSION, controller.Settings().TimeCorrectionMode,
                                 orvela::SystemClock().Now());
    ReportProblems(result, *journal);
    if (result.Completed()) {
      for (const std::string& line : result.StatusLines()) std::cout << line << "\n";
    } else {
      ReportFailure(result.FailureMessage, "", *journal);
      std::cout << result.FailureMessage << "\n";
      exitCode = 1;
    }
  } catch (const std::exception& e) {
    std::cerr << "OrvelaOPC: " << e.what() << "\n";
    orvela::ProcessWorkLogs().StartFailure(std::string("OrvelaOPC: ") + e.what());
    exitCode = 2;
  }
  orvela::MainThread::Stop();
  return exitCode;
}
