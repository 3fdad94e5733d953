#pragma once
// Stand-ins for what a reader thread and the journal give the lower layers.
#include <functional>
#include <string>
#include <vector>

#include "links/ConnectionDevice.h"
#include "platform/JournalSink.h"

namespace orvela::test {

// Runs what it is given and counts the calls, as a reader thread's synchronisation with the main thread.
class TCountingOwner : public ILinkOwner {
 public:
  int calls = 0;
  void Synchronize(const std::function<void()>& fn) override {
    ++calls;
    fn();
  }
};

// Keeps every journal line it is handed: messages and their second fields side by side.
class TJournalRecorder : public IJournalSink {
 public:
  std::vector<std::string> lines;
  std::vector<std::string> seconds;
  void Journal(const std::string& message, const std::string& second) override {
    lines.push_back(message);
    seconds.push_back(second);
  }
};

// A recorder that is the process-wide journal for its life.
class TJournalCapture : public TJournalRecorder {
 public:
  TJournalCapture() { SetJournalSink(this); }
  ~TJournalCapture() override { SetJournalSink(nullptr); }
  TJournalCapture(const TJournalCapture&) = delete;
  TJournalCapture& operator=(const TJournalCapture&) = delete;
};

}  // namespace orvela::test
