#pragma once
// OrvelaOPC --serve on a program folder, started as a test's independent server process. Header only: the
// program's place is known to the test programs, not to the support library.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/Process.h"

namespace orvela::test {

// Starts the server on folder into server and waits until it says it serves.
inline ::testing::AssertionResult StartServing(const std::filesystem::path& folder,
                                               std::unique_ptr<TProcess>& server) {
  server = std::make_unique<TProcess>(std::vector<std::string>{
      std::string(ORVELA_BINARY_DIR) + "/src/app/OrvelaOPC", "--dir", folder.string(), "--serve"});
  if (!server->Started()) return ::testing::AssertionFailure() << server->StartError();
  std::optional<std::string> said;
  while ((said = server->ReadLine(60'000)) && said->rfind("serving on ", 0) != 0) {
  }
  if (!said) return ::testing::AssertionFailure() << "the server did not start serving";
  return ::testing::AssertionSuccess();
}

}  // namespace orvela::test
