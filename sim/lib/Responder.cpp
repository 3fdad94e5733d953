#include "metersim/Responder.h"

#include <functional>

#include "metersim/MBusSlave.h"
#include "metersim/MakerResponder.h"
#include "metersim/ModBusSlave.h"

namespace orvela::sim {

// Registry of the protocol families: a new family adds its line here.
std::unique_ptr<TResponder> MakeResponder(std::string_view protocol) {
  static const std::vector<std::pair<std::string_view, std::function<std::unique_ptr<TResponder>()>>>
      kFamilies = {
          {kMakerProtocol, [] { return std::make_unique<TMakerResponder>(); }},
          {kModBusProtocol, [] { return std::make_unique<TModBusResponder>(); }},
          {kMBusProtocol, [] { return std::make_unique<TMBusResponder>(); }},
      };
  for (const auto& [name, make] : kFamilies) {
    if (name == protocol) return make();
  }
  return nullptr;
}

void TExchangeLog::Add(TExchangeRecord record) {
  std::lock_guard lock(mutex_);
  if (records_.size() >= kLimit) records_.erase(records_.begin());
  records_.push_back(std::move(record));
}

std::vector<TExchangeRecord> TExchangeLog::Records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

void TExchangeLog::Clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

}  // namespace orvela::sim
