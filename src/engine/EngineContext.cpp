#include "engine/EngineContext.h"

#include "platform/MainThread.h"
#include "tree/WorkLog.h"

namespace orvela {

void TProcessEngineLogs::Journal(const std::string& message, const std::string& second) {
  if (MainThread::IsMainThread()) {
    JournalLine(message, second);
    return;
  }
  MainThread::Post([message, second] { JournalLine(message, second); });
}

void TProcessEngineLogs::WorkLog(const std::string& text) {
  ProcessWorkLogs().WorkLog(text);
}

void TProcessEngineLogs::OrderLog(const std::string& text) {
  ProcessWorkLogs().OrderLog(text);
}

}  // namespace orvela
