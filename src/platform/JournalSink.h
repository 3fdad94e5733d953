#pragma once
// Where lower layers hand journal lines (message, second column). The journal module installs itself
// here; until then, and when it is off, lines go nowhere.
#include <string>

namespace orvela {

class IJournalSink {
 public:
  virtual ~IJournalSink() = default;
  virtual void Journal(const std::string& message, const std::string& second) = 0;
};

// Process-wide sink; nullptr (the default) drops lines.
IJournalSink* CurrentJournalSink();
void SetJournalSink(IJournalSink* sink);
// Shortcut: journals through the current sink if there is one.
void JournalLine(const std::string& message, const std::string& second = {});

}  // namespace orvela
