#include "support/Peers.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace orvela::test {

namespace {

// Fatal, so that a fixture's SetUp that calls RequirePeer keeps the test body from running.
void FailMissing(const std::string& program) {
  FAIL() << program << " is not installed, and CI=true does not allow skipping its tests"
         << " (scripts/install-deps.sh installs it)";
}

void SkipMissing(const std::string& program) {
  GTEST_SKIP() << "peer " << program << " is not installed";
}

}  // namespace

std::string FindPeer(const std::string& program) {
  if (program.find('/') != std::string::npos) return ::access(program.c_str(), X_OK) == 0 ? program : "";
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

bool RunningUnderCi() {
  const char* ci = std::getenv("CI");
  return ci && (std::string(ci) == "true" || std::string(ci) == "1");
}

bool RequirePeer(const std::string& program) {
  if (!FindPeer(program).empty()) return true;
  if (RunningUnderCi())
    FailMissing(program);
  else
    SkipMissing(program);
  return false;
}

}  // namespace orvela::test
