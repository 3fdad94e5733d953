#pragma once
// The unhappy replies a ModBus RTU device of metersim can give: each must end a read in a failure with
// bad quality, never a value.
#include <vector>

#include "metersim/Faults.h"

namespace orvela::test {

struct TModBusFaultCase {
  const char* fault;
  void (*set)(sim::TFaults&);
};

inline const std::vector<TModBusFaultCase>& ModBusUnhappyReplies() {
  static const std::vector<TModBusFaultCase> cases = {
      {"silence", [](sim::TFaults& f) { f.silent = true; }},
      {"exception reply", [](sim::TFaults& f) { f.exceptionReplies = -1; }},
      {"reply from another address", [](sim::TFaults& f) { f.wrongAddress = -1; }},
      {"wrong function echo", [](sim::TFaults& f) { f.wrongCode = -1; }},
      {"bad CRC", [](sim::TFaults& f) { f.badCrc = -1; }},
      {"short frame", [](sim::TFaults& f) { f.truncateBlocks = -1; }},
      {"odd byte count", [](sim::TFaults& f) { f.oddByteCounts = -1; }},
      {"inter-character gaps", [](sim::TFaults& f) { f.dripMs = 3000; }},
  };
  return cases;
}

}  // namespace orvela::test
