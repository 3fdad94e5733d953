#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "journal/JournalReader.h"
#include "journal/UDM1.h"
#include "orvelactl/Commands.h"
#include "tree/ConfigFiles.h"

namespace orvela::ctl {
namespace {

struct TJournalArgs {
  std::string dir;
  size_t tail = 0;
  bool json = false;
};

void PrintRows(const std::vector<TJournalRow>& rows, bool json) {
  if (json) {
    auto out = nlohmann::ordered_json::array();
    for (const auto& row : rows)
      out.push_back(
          {{"time", row.timeText}, {"message", row.message}, {"second", row.second}, {"qnum", row.qNum}});
    // Replace: a hand-edited row with broken UTF-8 must not stop the listing.
    std::cout << out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
    return;
  }
  for (const auto& row : rows)
    std::cout << (row.time != 0 ? FormatDateTime(row.time) : row.timeText) << " | " << row.message << " | "
              << row.second << " | " << row.qNum << '\n';
}

int RunJournal(const TJournalArgs& args) {
  const std::filesystem::path folder =
      args.dir.empty() ? DefaultProgramFolder() : std::filesystem::path(args.dir);
  const std::filesystem::path db = folder / kJournalDbFile;
  try {
    PrintRows(ReadJournalRows(db, args.tail), args.json);
    return 0;
  } catch (const EJournalRead& e) {
    std::cerr << "orvelactl journal: " << e.what() << '\n';
    return 1;
  }
}

}  // namespace

void AddJournalCommands(CLI::App& app, int& exitCode) {
  auto args = std::make_shared<TJournalArgs>();
  CLI::App* cmd =
      app.add_subcommand("journal", "Print the journal rows: time, message, second column, counter");
  cmd->add_option("--dir", args->dir, "Program folder holding dbLogs.db (default: $XDG_DATA_HOME/OrvelaOPC)");
  cmd->add_option("--tail", args->tail, "Only the last N rows");
  cmd->add_flag("--json", args->json, "JSON output");
  cmd->callback([args, &exitCode] { exitCode = RunJournal(*args); });
}

}  // namespace orvela::ctl
