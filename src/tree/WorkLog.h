#pragma once
// The two plain-text logs of the program folder: the work log (start-up, connection searches, the
// engine's start and stop) and the queue log (the queue thread's cycles). Lines are written only while
// "Вести лог канала" is on.
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>

#include "platform/Clock.h"

namespace orvela {

constexpr const char* kWorkLogFile = "Log_Work.txt";
constexpr const char* kOrderLogFile = "Log_Order.txt";
constexpr const char* kWorkLogHeader = "-------------------- Лог работы --------------------";

class TWorkLogs {
 public:
  // clock: source of the line times; the system clock when null.
  explicit TWorkLogs(Clock* clock = nullptr) : clock_(clock) {}
  ~TWorkLogs();
  TWorkLogs(const TWorkLogs&) = delete;
  TWorkLogs& operator=(const TWorkLogs&) = delete;

  // "Вести лог канала".
  void SetEnabled(bool on) { enabled_ = on; }
  bool Enabled() const { return enabled_; }

  // Opens both files of the folder for appending (creating them) and writes the header line to the work
  // log. Returns an empty string or the reason it failed.
  std::string OpenWorkLogs(const std::filesystem::path& programFolder);
  // Date-time, " | ", text: one whole line, flushed.
  void WorkLog(const std::string& text);
  void OrderLog(const std::string& text);
  // A failure at start-up, written to the work log whatever "Вести лог канала" says: a server started
  // in the background has no other trace of it (callers also put it on standard error).
  void StartFailure(const std::string& text);
  // Closes, deletes and reopens both files ("Очистить логи"). Empty string or the reason.
  std::string ClearWorkLogs();
  void Close();

 private:
  void WriteLine(std::FILE* file, const char* name, const std::string& text);
  std::string OpenLocked();
  void CloseLocked();

  Clock* clock_;
  std::atomic<bool> enabled_{false};
  std::mutex mutex_;  // one lock for both files: a line is never split by another thread's line
  std::filesystem::path folder_;
  std::FILE* work_ = nullptr;
  std::FILE* order_ = nullptr;
  bool writeFailing_ = false;
};

// The program's own pair of logs, for every layer above the tree.
TWorkLogs& ProcessWorkLogs();
inline void WorkLog(const std::string& text) {
  ProcessWorkLogs().WorkLog(text);
}
inline void OrderLog(const std::string& text) {
  ProcessWorkLogs().OrderLog(text);
}

}  // namespace orvela
