#include "platform/JournalSink.h"

#include <atomic>

namespace orvela {
namespace {
std::atomic<IJournalSink*> gSink{nullptr};
}

IJournalSink* CurrentJournalSink() {
  return gSink.load();
}
void SetJournalSink(IJournalSink* sink) {
  gSink.store(sink);
}
void JournalLine(const std::string& message, const std::string& second) {
  if (IJournalSink* sink = gSink.load()) sink->Journal(message, second);
}

}  // namespace orvela
