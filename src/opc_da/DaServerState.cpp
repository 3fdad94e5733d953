#include "opc_da/DaServerState.h"

#include <algorithm>
#include <map>

#include "engine/EngineTables.h"
#include "platform/com/ComRuntime.h"

namespace orvela {
namespace {

std::mutex gStatesMutex;
std::map<const TServerContext*, std::weak_ptr<TDaServerState>> gStates;

}  // namespace

std::shared_ptr<TDaServerState> TDaServerState::For(TServerContext& ctx) {
  std::lock_guard lock(gStatesMutex);
  std::weak_ptr<TDaServerState>& entry = gStates[&ctx];
  if (auto state = entry.lock()) return state;
  auto state = std::make_shared<TDaServerState>(ctx);
  entry = state;
  return state;
}

std::shared_ptr<TDaServerState> TDaServerState::Find(TServerContext& ctx) {
  std::lock_guard lock(gStatesMutex);
  auto it = gStates.find(&ctx);
  return it == gStates.end() ? nullptr : it->second.lock();
}

int TDaServerState::TakeSlot(IUnknown* server) {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < kSlots; ++i)
    if (!slots_[i]) {
      slots_[i] = server;
      return static_cast<int>(i);
    }
  return -1;
}

void TDaServerState::FreeSlot(int slot) {
  std::lock_guard lock(mutex_);
  if (slot >= 0 && static_cast<size_t>(slot) < kSlots) slots_[slot] = nullptr;
}

bool TDaServerState::HasFreeSlot() const {
  std::lock_guard lock(mutex_);
  return std::find(slots_.begin(), slots_.end(), nullptr) != slots_.end();
}

bool TDaServerState::ServerMarkerExists() const {
  std::lock_guard lock(mutex_);
  return std::any_of(slots_.begin(), slots_.end(), [](IUnknown* s) { return s != nullptr; });
}

std::vector<TComPtr<IUnknown>> TDaServerState::Servers() const {
  std::lock_guard lock(mutex_);
  std::vector<TComPtr<IUnknown>> out;
  for (size_t i = kSlots; i-- > 0;)
    if (slots_[i]) out.emplace_back(slots_[i]);
  return out;
}

OPCHANDLE TDaServerState::NextGroupHandle() {
  std::lock_guard lock(mutex_);
  return ++lastGroupHandle_;
}

void TDaServerState::Abandon(int32_t transaction) {
  std::lock_guard lock(mutex_);
  abandoned_.push_back(transaction);
}

void TDaServerState::SweepAbandoned() {
  std::lock_guard lock(mutex_);
  std::erase_if(abandoned_, [&](int32_t tx) {
    if (ctx_.engine.GetTransactionState(tx) != TTransactionSlots::kReady) return false;
    ctx_.engine.TakeDaResult(tx);
    ctx_.engine.SetTransactionState(tx, 0);
    return true;
  });
}

void DisconnectDaServers(TServerContext& ctx) {
  auto state = TDaServerState::Find(ctx);
  if (!state) return;
  // Held while disconnecting: an object whose last reference goes with its stub leaves the table itself.
  for (const TComPtr<IUnknown>& server : state->Servers()) CoDisconnectObject(server.Get(), 0);
}

}  // namespace orvela
