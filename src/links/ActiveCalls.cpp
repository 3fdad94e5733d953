#include "links/ActiveCalls.h"

#include <algorithm>

#include "links/PortMap.h"

namespace orvela {

std::optional<std::string> TActiveCalls::TryAdd(const void* caller, const std::string& port,
                                                const std::string& number) {
  std::lock_guard lock(mutex_);
  for (const TCall& call : calls_)
    if (call.caller != caller && SameNameIgnoringCase(call.port, port)) return call.number;
  if (std::none_of(calls_.begin(), calls_.end(), [caller](const TCall& c) { return c.caller == caller; }))
    calls_.push_back({caller, port, number});
  return std::nullopt;
}

void TActiveCalls::Remove(const void* caller) {
  std::lock_guard lock(mutex_);
  std::erase_if(calls_, [caller](const TCall& c) { return c.caller == caller; });
}

bool TActiveCalls::Empty() const {
  std::lock_guard lock(mutex_);
  return calls_.empty();
}

TActiveCalls& ProcessActiveCalls() {
  static TActiveCalls calls;
  return calls;
}

}  // namespace orvela
