#include "engine/EngineTables.h"

#include <algorithm>
#include <climits>

namespace orvela {

void TTaskTable::Add(TStructRead* task) {
  tasks_.emplace(TKey{task->Owner, task->TransactionNumber}, task);
  size_ = tasks_.size();
}

void TTaskTable::Remove(TStructRead* task) {
  auto [from, to] = tasks_.equal_range(TKey{task->Owner, task->TransactionNumber});
  for (auto it = from; it != to; ++it)
    if (it->second == task) {
      tasks_.erase(it);
      size_ = tasks_.size();
      return;
    }
}

void TTaskTable::Cancel(TStructRead& task) {
  task.Cancelled = true;
  for (int32_t waiting : {int32_t{tsWaiting}, int32_t{tsRequeue}}) {
    int32_t expected = waiting;
    if (task.State.compare_exchange_strong(expected, tsDelete)) return;
  }
}

int TTaskTable::CancelRequest(TTaskOwner owner, int32_t transaction, bool hda) {
  int count = 0;
  auto [from, to] = tasks_.equal_range(TKey{owner, transaction});
  for (auto it = from; it != to; ++it) {
    if (IsHdaKind(it->second->Kind) != hda) continue;
    Cancel(*it->second);
    ++count;
  }
  return count;
}

int TTaskTable::WithdrawOwner(TTaskOwner owner, std::span<const int32_t> itemHandles) {
  int count = 0;
  auto from = tasks_.lower_bound(TKey{owner, INT32_MIN});
  auto to = tasks_.upper_bound(TKey{owner, INT32_MAX});
  for (auto it = from; it != to; ++it) {
    TStructRead& task = *it->second;
    if (!IsDaKind(task.Kind)) continue;
    if (!itemHandles.empty() &&
        std::find(itemHandles.begin(), itemHandles.end(), task.ItemHandle) == itemHandles.end())
      continue;
    Cancel(task);
    ++count;
  }
  return count;
}

int32_t TTransactionSlots::Alloc() {
  std::lock_guard lock(mutex_);
  for (int32_t n = lowestFree_; n <= kCount; ++n)
    if (slots_[n] == 0) {
      slots_[n] = 1;
      lowestFree_ = n + 1;
      return n;
    }
  lowestFree_ = kCount + 1;
  return -1;
}

int32_t TTransactionSlots::Get(int32_t number) const {
  if (number < 1 || number > kCount) return -1;
  std::lock_guard lock(mutex_);
  return slots_[number];
}

bool TTransactionSlots::Set(int32_t number, int32_t state) {
  if (number < 1 || number > kCount) return false;
  std::lock_guard lock(mutex_);
  slots_[number] = state;
  if (state == 0) lowestFree_ = std::min(lowestFree_, number);
  return true;
}

}  // namespace orvela
