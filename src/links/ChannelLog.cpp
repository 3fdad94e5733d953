#include "links/ChannelLog.h"

namespace orvela {

void TMemoryChannelLog::Add(Kind kind, const std::string& text) {
  std::lock_guard lock(mutex_);
  entries_.push_back({kind, text});
}

std::vector<TMemoryChannelLog::Entry> TMemoryChannelLog::Entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

std::vector<std::string> TMemoryChannelLog::Texts(Kind kind) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& e : entries_)
    if (e.kind == kind) out.push_back(e.text);
  return out;
}

bool TMemoryChannelLog::Contains(Kind kind, const std::string& fragment) const {
  std::lock_guard lock(mutex_);
  for (const auto& e : entries_)
    if (e.kind == kind && e.text.find(fragment) != std::string::npos) return true;
  return false;
}

void TMemoryChannelLog::Clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

}  // namespace orvela
