#pragma once
// The cancel ids one HDA server object hands its clients. Ids are issued upwards from 0 and never
// reused, so a late cancel of an old request can never reach a newer one; once the last id is issued,
// requests that need one fail.
#include <cstdint>
#include <optional>
#include <set>

namespace orvela {

class THdaTransactionPool {
 public:
  static constexpr uint32_t kCount = 199'999;

  std::optional<uint32_t> Issue() {
    if (next_ >= kCount) return std::nullopt;
    issued_.insert(next_);
    return next_++;
  }
  // False when the id is not one of ours still issued.
  bool Free(uint32_t id) { return issued_.erase(id) > 0; }

 private:
  uint32_t next_ = 0;
  std::set<uint32_t> issued_;
};

}  // namespace orvela
