#pragma once
// orvelactl's commands run in the test's own process with their output captured: the program's code, without
// starting the program.
#include <CLI/CLI.hpp>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace orvela::test {

struct TCtlRun {
  int exitCode = 0;
  std::string out;
  std::string err;
};

// Registers the commands on an app, with the exit code they set.
using TAddCommands = std::function<void(CLI::App&, int&)>;

namespace ctl_detail {

// Runs parse with standard output and error captured; a parse error ends as the program ends on it.
template <class Parse>
TCtlRun Capture(const TAddCommands& addCommands, Parse parse) {
  CLI::App app;
  app.require_subcommand(1);
  TCtlRun run;
  addCommands(app, run.exitCode);
  std::ostringstream out, err;
  struct TRedirect {
    std::ostream& stream;
    std::streambuf* saved;
    ~TRedirect() { stream.rdbuf(saved); }
  } const redirectOut{std::cout, std::cout.rdbuf(out.rdbuf())},
      redirectErr{std::cerr, std::cerr.rdbuf(err.rdbuf())};
  try {
    parse(app);
  } catch (const CLI::ParseError& e) {
    run.exitCode = app.exit(e);
  }
  run.out = out.str();
  run.err = err.str();
  return run;
}

}  // namespace ctl_detail

// The arguments after the program's name, one per element.
inline TCtlRun RunCtl(const TAddCommands& addCommands, std::vector<std::string> args) {
  return ctl_detail::Capture(addCommands, [&](CLI::App& app) {
    args.insert(args.begin(), "orvelactl");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    app.parse(static_cast<int>(argv.size()), argv.data());
  });
}

// The arguments after the program's name as one command line, split as a shell would.
inline TCtlRun RunCtl(const TAddCommands& addCommands, const std::string& commandLine) {
  return ctl_detail::Capture(addCommands, [&](CLI::App& app) { app.parse(commandLine, false); });
}

}  // namespace orvela::test
