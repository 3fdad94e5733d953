#pragma once
// Synchronous raw reads given up at the time limit. Their transaction numbers stay taken until the engine
// has handed the task back, and its late result is then dropped: a number freed earlier would go to the
// next read, which could take the old read's result for its own. One list serves every HDA server object
// of a class factory, so a read given up by an object that has gone is still collected. Main thread.
#include <cstdint>
#include <vector>

#include "engine/UReqOrder.h"

namespace orvela {

class THdaLateResults {
 public:
  explicit THdaLateResults(TAsyncEngine& engine) : engine_(engine) {}
  void Abandon(int32_t transaction) { abandoned_.push_back(transaction); }
  // Frees the numbers whose results have come, dropping the results; all of them while the engine is
  // stopped, when nothing is in flight.
  void Sweep();

 private:
  TAsyncEngine& engine_;
  std::vector<int32_t> abandoned_;
};

}  // namespace orvela
