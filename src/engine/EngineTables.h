#pragma once
// The engine's two look-up tables: cancellable tasks by owner and transaction number, and the
// transaction slots through which synchronous requests learn that their result is ready.
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "engine/EngineTasks.h"

namespace orvela {

// Every queued request task under its owner and transaction number. Only the queue thread changes it;
// its size may be read from any thread (the monitor, tests).
class TTaskTable {
 public:
  void Add(TStructRead* task);
  void Remove(TStructRead* task);
  // Cancels every task of the request whose kind family matches (HDA or DA); returns how many.
  int CancelRequest(TTaskOwner owner, int32_t transaction, bool hda);
  // Withdraws the DA tasks of an owner: all of them, or those of the given item handles.
  int WithdrawOwner(TTaskOwner owner, std::span<const int32_t> itemHandles);
  size_t Size() const { return size_; }
  void Clear() {
    tasks_.clear();
    size_ = 0;
  }

  // Marks a task cancelled: finished at once when it waits, by its reader when it is out.
  static void Cancel(TStructRead& task);

 private:
  using TKey = std::pair<TTaskOwner, int32_t>;
  std::multimap<TKey, TStructRead*> tasks_;
  std::atomic<size_t> size_{0};
};

class TTransactionSlots {
 public:
  static constexpr int32_t kCount = 199'998;
  static constexpr int32_t kReady = 9;

  TTransactionSlots() : slots_(kCount + 1, 0) {}
  // The lowest free number, marked 1; -1 when all are in use.
  int32_t Alloc();
  // -1 for a number outside 1 … kCount.
  int32_t Get(int32_t number) const;
  // False for a number outside 1 … kCount.
  bool Set(int32_t number, int32_t state);

 private:
  mutable std::mutex mutex_;
  std::vector<int32_t> slots_;
  int32_t lowestFree_ = 1;
};

}  // namespace orvela
