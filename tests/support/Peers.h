#pragma once
// Independent programs the tests talk to (lrzsz's rx and sx, socat, python3). Missing one skips its
// tests on a developer's machine; under CI=true it fails them, so that a CI image without the peer can
// never pass by skipping.
#include <gtest/gtest.h>

#include <string>

namespace orvela::test {

// The program's path when it is on PATH (or is itself an executable path); empty otherwise.
std::string FindPeer(const std::string& program);

// True when CI=true (or 1) in the environment.
bool RunningUnderCi();

// Skips (or, under CI, fails) the current test when the program is missing. The caller returns at once
// when it answers false; ORVELA_REQUIRE_PEER does that.
bool RequirePeer(const std::string& program);

}  // namespace orvela::test

#define ORVELA_REQUIRE_PEER(program)                   \
  do {                                                 \
    if (!::orvela::test::RequirePeer(program)) return; \
  } while (false)
