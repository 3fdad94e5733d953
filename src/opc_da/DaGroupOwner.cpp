// The server's private and public group lists as its groups see them.
#include "opc_da/DaGroup.h"

#include <algorithm>
#include <string>

#include "platform/com/ComText.h"

namespace orvela {

bool TDaGroupOwner::IsPublic(const TOPCGroup* group) const {
  return std::any_of(public_.begin(), public_.end(), [&](const auto& g) { return g.Get() == group; });
}

bool TDaGroupOwner::NameExists(std::u16string_view name) const {
  return FindByName(private_, name) || FindByName(public_, name);
}

TOPCGroup* TDaGroupOwner::FindByName(const std::vector<TComPtr<TOPCGroup>>& list, std::u16string_view name) {
  for (const auto& g : list)
    if (g->Name() == name) return g.Get();
  return nullptr;
}

TOPCGroup* TDaGroupOwner::FindByHandle(const std::vector<TComPtr<TOPCGroup>>& list, OPCHANDLE handle) {
  for (const auto& g : list)
    if (g->ServerGroup() == handle) return g.Get();
  return nullptr;
}

std::optional<std::u16string> TDaGroupOwner::GenerateName(std::u16string base) const {
  constexpr int kRounds = 10;
  for (int round = 0; round < kRounds; ++round) {
    base += Utf8ToUtf16(std::to_string(static_cast<uint32_t>(Ctx().clock.TickMs())));
    if (!NameExists(base)) return base;
  }
  return std::nullopt;
}

TComPtr<TOPCGroup> TDaGroupOwner::CreateGroup(const std::shared_ptr<TDaGroupOwner>& self) {
  auto group = Make<TOPCGroup>(self);
  if (group && !closed_) private_.push_back(group);
  return group;
}

void TDaGroupOwner::Remove(const TOPCGroup* group) {
  for (auto* list : {&private_, &public_}) {
    auto it = std::find_if(list->begin(), list->end(), [&](const auto& g) { return g.Get() == group; });
    if (it == list->end()) continue;
    TComPtr<TOPCGroup> held = std::move(*it);  // released after the list is consistent again
    list->erase(it);
    return;
  }
}

void TDaGroupOwner::MoveToPublic(TOPCGroup* group) {
  auto it = std::find_if(private_.begin(), private_.end(), [&](const auto& g) { return g.Get() == group; });
  if (it == private_.end()) return;
  public_.push_back(std::move(*it));
  private_.erase(it);
}

void TDaGroupOwner::Close() {
  closed_ = true;
  auto privateGroups = std::move(private_);
  auto publicGroups = std::move(public_);
  private_.clear();
  public_.clear();
  // A client may still hold a group: it goes quiet with its server.
  for (auto* list : {&privateGroups, &publicGroups})
    for (auto& group : *list) group->Shutdown();
  privateGroups.clear();
  publicGroups.clear();
}

}  // namespace orvela
