#pragma once
// The zone every test runs in, and a scope for the tests that need another one.
#include <string>

namespace orvela::test {

// Set by the tests' main before any test runs, so that a test program started by hand gives the same
// results as under ctest.
inline constexpr const char* kTestZone = "Europe/Moscow";

// Sets TZ (and the C library's idea of it) for the scope; restores what was there before.
class TZoneScope {
 public:
  explicit TZoneScope(const char* zone);
  ~TZoneScope();
  TZoneScope(const TZoneScope&) = delete;
  TZoneScope& operator=(const TZoneScope&) = delete;

 private:
  std::string saved_;
  bool hadOld_ = false;
};

// Sets TZ for the rest of the process.
void SetZone(const char* zone);

}  // namespace orvela::test
