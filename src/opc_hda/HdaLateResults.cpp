#include "opc_hda/HdaLateResults.h"

namespace orvela {

void THdaLateResults::Sweep() {
  const bool stopped = !engine_.Running();
  std::erase_if(abandoned_, [&](int32_t tx) {
    if (!stopped && engine_.GetTransactionState(tx) != TTransactionSlots::kReady) return false;
    engine_.TakeHdaResult(tx);
    engine_.SetTransactionState(tx, 0);
    return true;
  });
}

}  // namespace orvela
