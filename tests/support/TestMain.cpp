// The main of every test program: the zone is pinned before the first test, whoever starts the program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "support/TimeZone.h"

namespace orvela::test {

TZoneScope::TZoneScope(const char* zone) {
  if (const char* old = std::getenv("TZ")) {
    saved_ = old;
    hadOld_ = true;
  }
  SetZone(zone);
}

TZoneScope::~TZoneScope() {
  if (hadOld_)
    ::setenv("TZ", saved_.c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

void SetZone(const char* zone) {
  ::setenv("TZ", zone, 1);
  ::tzset();
}

}  // namespace orvela::test

int main(int argc, char** argv) {
  orvela::test::SetZone(orvela::test::kTestZone);
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
