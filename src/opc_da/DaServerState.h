#pragma once
// What the DA server objects of one context share: the table of live server objects (its occupancy
// stands in for the "MutexDA" marker), the group handle counter and the synchronous reads given up
// after their time limit.
#include <array>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/ServerContext.h"
#include "platform/com/ComInterfaces.h"
#include "platform/com/opc/OpcDa.h"

namespace orvela {

class TDaServerState {
 public:
  static constexpr size_t kSlots = 11;

  explicit TDaServerState(TServerContext& ctx) : ctx_(ctx) {}
  // The state of ctx, shared while any factory or server object of it lives; fresh after that.
  static std::shared_ptr<TDaServerState> For(TServerContext& ctx);
  // The state of ctx if any factory or server object of it lives.
  static std::shared_ptr<TDaServerState> Find(TServerContext& ctx);

  TServerContext& Ctx() const { return ctx_; }

  // The lowest free slot for server (not counted as a reference), or -1 when all are taken.
  int TakeSlot(IUnknown* server);
  void FreeSlot(int slot);
  bool HasFreeSlot() const;
  // Stands in for the named "MutexDA": it exists while any DA server object of the context lives.
  bool ServerMarkerExists() const;
  // The servers in the table, slot 10 down to 0, each with a reference.
  std::vector<TComPtr<IUnknown>> Servers() const;

  // 2 for the first group of the context, then one more each time.
  OPCHANDLE NextGroupHandle();

  // A synchronous read that stopped waiting leaves its transaction slot; the result that still comes is
  // taken here later and the slot freed.
  void Abandon(int32_t transaction);
  void SweepAbandoned();

 private:
  TServerContext& ctx_;
  mutable std::mutex mutex_;
  std::array<IUnknown*, kSlots> slots_{};
  OPCHANDLE lastGroupHandle_ = 1;
  std::vector<int32_t> abandoned_;
};

// Disconnects every DA server object of ctx still alive from its clients (slots 10 down to 0). The host
// calls it at process end, before the main thread leaves its apartment.
void DisconnectDaServers(TServerContext& ctx);

}  // namespace orvela
