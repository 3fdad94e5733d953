#pragma once
// The journal database module: the operator journal (table TLog) and the channel traces (table TDebug)
// in dbLogs.db next to the program, cleared by copying the empty template Data/DBLDef.db over it.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "journal/SqliteUtil.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/JournalSink.h"

namespace orvela {

// Column widths in characters; SQLite keeps whatever it is given, so the module cuts texts itself.
constexpr size_t kMessValChars = 200;
constexpr size_t kMessPrbChars = 50;
constexpr size_t kTraceValChars = 255;
constexpr size_t kTraceTextChars = 50;

constexpr const char* kJournalDbFile = "dbLogs.db";
constexpr const char* kJournalTemplateFile = "Data/DBLDef.db";
constexpr const char* kJournalSwitchFile = "Log";
// Caption-less message shown when the journal cannot be opened.
constexpr const char* kJournalOpenError = "Ошибка DM";

// What the module needs from the program around it.
struct TJournalOptions {
  // "Очищать лог при входе".
  bool clearAtStart = false;
  // Shows a message box (text, caption); returns false when no window is shown, so nothing was shown.
  // Empty in headless programs.
  std::function<bool(const std::string& text, const std::string& caption)> messageBox;
  // The work log: where failures go when no window shows them (standard error always gets them).
  std::function<void(const std::string& text)> workLog;
  // Source of MessTime; the system clock when null.
  Clock* clock = nullptr;
};

// The journal is on unless the folder holds a file "Log" whose first byte is '0'.
bool JournalSwitchedOn(const std::filesystem::path& programFolder);

// Empty when dbFile is a regular file and SQLite's files beside it are regular files or absent; otherwise
// why not. Checked before SQLite opens anything: a FIFO would block it for good.
std::string JournalFileProblem(const std::filesystem::path& dbFile);

// Journal time text: local "YYYY-MM-DD HH:MM:SS.mmm", the form SQLite's date functions read.
std::string FormatJournalTime(TDateTime dt);
// False for text that is not in that form.
bool ParseJournalTime(std::string_view text, TDateTime& dt);

class TDM1 final : public IJournalSink {
 public:
  explicit TDM1(std::filesystem::path programFolder, TJournalOptions options = {});
  ~TDM1() override;
  TDM1(const TDM1&) = delete;
  TDM1& operator=(const TDM1&) = delete;

  // Opens the database as the program starts: honours the switch and clearAtStart, creates the template
  // and the database from it when missing, and replaces a database whose tables cannot be opened or whose
  // pages fail the integrity check (the damaged file is kept under a time-stamped name). A database path
  // that is not a regular file is reported and left alone. Any other failure is reported ("Ошибка DM") and
  // the program goes on without a journal. Returns whether rows can be written. Runs once.
  bool Open();
  void Close();

  // One row of TLog; nothing when the journal is off or the message is empty. Callers on other threads
  // are served on the main thread.
  void Journal(const std::string& message, const std::string& second) override;
  // One row of TDebug: the exchange's bytes as " XX" each, its direction, result and times.
  void DebugTrace(const std::string& connection, const std::string& device, std::span<const uint8_t> bytes,
                  int32_t direction, const std::string& result, TDateTime start, TDateTime end);
  // Copies the template over the database and opens it again. False when that failed (reported).
  bool ClearJournal();

  // The engine's count of work items taken by reader threads, written into QNum. Called under the
  // module's lock: it must only read a counter.
  void SetQNumSource(std::function<int32_t()> source);

  bool IsOn() const { return on_.load(); }
  bool IsWorking() const;
  TDateTime StartTime() const { return startTime_; }
  std::filesystem::path DatabasePath() const { return folder_ / kJournalDbFile; }
  std::filesystem::path TemplatePath() const { return folder_ / kJournalTemplateFile; }
  // Where this start put a damaged database; empty when none was found.
  std::filesystem::path DamagedCopy() const;

 private:
  enum class TState { Closed, Open, Failed };
  enum class TOpenResult { Ok, Broken, Failed };

  TOpenResult OpenDbLocked(std::string& reason);
  void CloseLocked();
  bool EnsureTemplateLocked(std::string& reason);
  bool CopyTemplateLocked(std::string& reason);
  bool MoveAsideLocked(std::string& reason);
  bool ClearLocked(std::string& reason);
  bool ReadyForWriteLocked();
  void InsertLocked(sqlite::TStmt& stmt, std::string_view what);
  void WriteRow(const std::string& message, const std::string& second);
  void WriteTrace(const std::string& connection, const std::string& device, const std::string& hex,
                  int32_t direction, const std::string& result, TDateTime start, TDateTime end);
  int32_t QNumLocked() const;
  TDateTime NowLocal() const;
  void OnMainThread(const std::function<void()>& fn);

  // Failures are noted under the lock and told after it is released: a message box runs an event loop
  // that may journal again.
  enum class TNote { OpenError, WriteFailure, Notice };
  void NoteOpenError(const std::string& reason);
  void NoteWriteFailure(const std::string& reason);
  void TellNotes();

  const std::filesystem::path folder_;
  const TJournalOptions options_;
  std::atomic<bool> on_{false};
  bool opened_ = false;
  TDateTime startTime_ = 0;

  mutable std::mutex mutex_;
  TState state_ = TState::Closed;
  sqlite::TDb db_;
  sqlite::TStmt insertLog_;
  sqlite::TStmt insertTrace_;
  std::function<int32_t()> qNumSource_;
  bool writeFailing_ = false;
  std::filesystem::path damagedCopy_;
  std::vector<std::pair<TNote, std::string>> notes_;
};

}  // namespace orvela
