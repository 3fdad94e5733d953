#pragma once
// The process journal for a test whose lines come from several threads (the GPRS listener journals from
// its own).
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/JournalSink.h"

namespace orvela::test {

class TLockedJournal : public IJournalSink {
 public:
  TLockedJournal() { SetJournalSink(this); }
  ~TLockedJournal() override { SetJournalSink(nullptr); }
  TLockedJournal(const TLockedJournal&) = delete;
  TLockedJournal& operator=(const TLockedJournal&) = delete;

  void Journal(const std::string& message, const std::string&) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(message);
  }
  bool Holds(const std::string& line) const {
    std::lock_guard lock(mutex_);
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
  }
  bool Contains(const std::string& fragment) const {
    std::lock_guard lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(),
                       [&](const std::string& l) { return l.find(fragment) != std::string::npos; });
  }
  std::string All() const {
    std::lock_guard lock(mutex_);
    std::string all;
    for (const std::string& l : lines_) all += l + "\n";
    return all;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace orvela::test
