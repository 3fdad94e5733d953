#include "journal/UDM1.h"

#include <cstdio>
#include <iostream>
#include <system_error>

#include "platform/Cp1251.h"
#include "platform/FileUtil.h"
#include "platform/MainThread.h"

namespace orvela {
namespace fs = std::filesystem;

namespace {

constexpr const char* kSchema =
    "CREATE TABLE TLog (MessTime DATETIME, MessVal VARCHAR(200), MessPrb VARCHAR(50), QNum INTEGER);"
    "CREATE TABLE TDebug (MessTimeBegin DATETIME, MessTime DATETIME, MessConn VARCHAR(50), "
    "MessPrb VARCHAR(50), MessDirection INTEGER, MessVal VARCHAR(255), MessReturn VARCHAR(50), "
    "QNum INTEGER);";
constexpr const char* kProbeLog = "SELECT MessTime, MessVal, MessPrb, QNum FROM TLog LIMIT 0";
constexpr const char* kProbeTrace =
    "SELECT MessTimeBegin, MessTime, MessConn, MessPrb, MessDirection, MessVal, MessReturn, QNum "
    "FROM TDebug LIMIT 0";
constexpr const char* kInsertLog = "INSERT INTO TLog (MessTime, MessVal, MessPrb, QNum) VALUES (?, ?, ?, ?)";
constexpr const char* kInsertTrace =
    "INSERT INTO TDebug (MessTimeBegin, MessTime, MessConn, MessPrb, MessDirection, MessVal, MessReturn, "
    "QNum) VALUES (?, ?, ?, ?, ?, ?, ?, ?)";
// Files SQLite keeps beside a database; stale ones must never meet a different database file.
constexpr const char* kSidecars[] = {"-journal", "-wal", "-shm"};
// How long a write waits for a reader (orvelactl, the window's grid) to let go of the file.
constexpr int kBusyTimeoutMs = 2000;

// Codes that say the file is not a usable journal database, as opposed to not being reachable at all.
bool MeansBrokenDatabase(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_ERROR:  // no such table or column
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
      return true;
    default:
      return false;
  }
}

// A structural check of every page: damage in the data pages does not show in the schema, and a journal
// that cannot take rows is better replaced at start than failing every write for good.
int CheckPages(sqlite::TDb& db, std::string& reason) {
  sqlite::TStmt check;
  int rc = check.Prepare(db, "PRAGMA quick_check(1)");
  if (rc != SQLITE_OK) {
    reason = db.Error();
    return rc;
  }
  rc = check.Step();
  if (rc != SQLITE_ROW) {
    reason = sqlite3_errmsg(db.Get());
    return rc;
  }
  if (check.Text(0) == "ok") return SQLITE_OK;
  reason = "damaged pages: " + check.Text(0);
  return SQLITE_CORRUPT;
}

// The empty journal as a database image, written like any other file.
bool MakeTemplateImage(std::vector<uint8_t>& image, std::string& reason) {
  sqlite::TDb db;
  if (db.Open(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) != SQLITE_OK ||
      db.Exec(kSchema) != SQLITE_OK) {
    reason = db.Error();
    return false;
  }
  sqlite3_int64 size = 0;
  unsigned char* bytes = sqlite3_serialize(db.Get(), "main", &size, 0);
  if (!bytes) {
    reason = "the empty journal cannot be built";
    return false;
  }
  image.assign(bytes, bytes + size);
  sqlite3_free(bytes);
  return true;
}

// Both tables answer with the expected columns.
bool HasJournalTables(sqlite::TDb& db, std::string& reason, int& rc) {
  sqlite::TStmt probe;
  for (const char* sql : {kProbeLog, kProbeTrace}) {
    rc = probe.Prepare(db, sql);
    if (rc != SQLITE_OK) {
      reason = db.Error();
      return false;
    }
  }
  return true;
}

fs::path WithSuffix(const fs::path& p, const char* suffix) {
  return fs::path(p.string() + suffix);
}

// The database and SQLite's files beside it are regular files (the database itself may be missing when
// missingOk): anything else is not ours to open or replace.
std::string JournalFilesProblem(const fs::path& dbFile, bool missingOk) {
  std::string problem = RegularFileProblem(dbFile, missingOk);
  for (const char* sidecar : kSidecars)
    if (problem.empty()) problem = RegularFileProblem(WithSuffix(dbFile, sidecar), true);
  return problem;
}

std::string HexBytes(std::span<const uint8_t> bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  const size_t fit = std::min(bytes.size(), kTraceValChars / 3);
  std::string out;
  out.reserve(fit * 3);
  for (size_t i = 0; i < fit; ++i) {
    out += ' ';
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0xF];
  }
  return out;
}

std::string StampForFileName(TDateTime dt) {
  SYSTEMTIME st = DateTimeToSystemTime(dt);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u%02u%02u-%02u%02u%02u", st.wYear, st.wMonth, st.wDay, st.wHour,
                st.wMinute, st.wSecond);
  return buf;
}

}  // namespace

bool JournalSwitchedOn(const fs::path& programFolder) {
  const auto first = ReadFileStart(programFolder / kJournalSwitchFile, 1);
  return !(first && !first->empty() && (*first)[0] == '0');
}

std::string JournalFileProblem(const fs::path& dbFile) {
  return JournalFilesProblem(dbFile, false);
}

std::string FormatJournalTime(TDateTime dt) {
  SYSTEMTIME st = DateTimeToSystemTime(dt);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay, st.wHour,
                st.wMinute, st.wSecond, st.wMilliseconds);
  return buf;
}

bool ParseJournalTime(std::string_view text, TDateTime& dt) {
  int y, mo, d, h, mi, s, ms = 0, used = 0;
  const std::string str(text.substr(0, 40));
  int n = std::sscanf(str.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n.%3d%n", &y, &mo, &d, &h, &mi, &s, &used, &ms,
                      &used);
  if (n < 6 || static_cast<size_t>(used) != str.size() || !IsValidDate(y, mo, d) || h > 23 || mi > 59 ||
      s > 59 || h < 0 || mi < 0 || s < 0 || ms < 0)
    return false;
  dt = EncodeDateTime(y, mo, d, h, mi, s, ms);
  return true;
}

TDM1::TDM1(fs::path programFolder, TJournalOptions options)
    : folder_(std::move(programFolder)), options_(std::move(options)) {}

TDM1::~TDM1() {
  if (CurrentJournalSink() == this) SetJournalSink(nullptr);
  Close();
}

bool TDM1::Open() {
  fs::path damaged;
  {
    std::lock_guard lock(mutex_);
    if (opened_) return state_ == TState::Open;
    opened_ = true;
    on_ = JournalSwitchedOn(folder_);
    // Switched off: nothing is written and no database file is needed.
    if (!on_) return false;
    startTime_ = NowLocal();
    std::string reason;
    bool ok = options_.clearAtStart ? ClearLocked(reason)
                                    : fs::exists(DatabasePath()) || CopyTemplateLocked(reason);
    // Two tries at most: a database whose tables cannot be opened is put aside and replaced once.
    if (ok) {
      TOpenResult result = OpenDbLocked(reason);
      ok = result == TOpenResult::Ok ||
           (result == TOpenResult::Broken && MoveAsideLocked(reason) && CopyTemplateLocked(reason) &&
            OpenDbLocked(reason) == TOpenResult::Ok);
    }
    if (!ok) {
      CloseLocked();
      state_ = TState::Failed;
      NoteOpenError(reason);
    }
    damaged = damagedCopy_;
  }
  if (!damaged.empty()) {
    const std::string line = "Файл журнала был повреждён и заменён пустым, повреждённый файл сохранён как " +
                             damaged.filename().string();
    {
      std::lock_guard lock(mutex_);
      notes_.emplace_back(TNote::Notice, line);
    }
    Journal(line, kJournalDbFile);
  }
  TellNotes();
  return IsWorking();
}

void TDM1::Close() {
  std::lock_guard lock(mutex_);
  CloseLocked();
}

void TDM1::CloseLocked() {
  insertLog_.Finalize();
  insertTrace_.Finalize();
  db_.Close();
  if (state_ == TState::Open) state_ = TState::Closed;
}

bool TDM1::IsWorking() const {
  std::lock_guard lock(mutex_);
  return state_ == TState::Open;
}

fs::path TDM1::DamagedCopy() const {
  std::lock_guard lock(mutex_);
  return damagedCopy_;
}

void TDM1::SetQNumSource(std::function<int32_t()> source) {
  std::lock_guard lock(mutex_);
  qNumSource_ = std::move(source);
}

int32_t TDM1::QNumLocked() const {
  return qNumSource_ ? qNumSource_() : 0;
}

TDateTime TDM1::NowLocal() const {
  return (options_.clock ? *options_.clock : SystemClock()).Now();
}

TDM1::TOpenResult TDM1::OpenDbLocked(std::string& reason) {
  CloseLocked();
  // Not damaged data but something that is not ours to read or replace.
  reason = JournalFileProblem(DatabasePath());
  if (!reason.empty()) return TOpenResult::Failed;
  int rc = db_.Open(DatabasePath(), SQLITE_OPEN_READWRITE);
  if (rc != SQLITE_OK) {
    reason = DatabasePath().string() + ": " + db_.Error();
    return TOpenResult::Failed;
  }
  sqlite3_busy_timeout(db_.Get(), kBusyTimeoutMs);
  if (!HasJournalTables(db_, reason, rc) || (rc = CheckPages(db_, reason)) != SQLITE_OK) {
    reason = DatabasePath().string() + ": " + reason;
    CloseLocked();
    return MeansBrokenDatabase(rc) ? TOpenResult::Broken : TOpenResult::Failed;
  }
  // SQLite falls back to reading when it may not write; a journal that cannot take rows is not open.
  if (sqlite3_db_readonly(db_.Get(), "main") == 1) {
    reason = DatabasePath().string() + ": нет доступа на запись";
    CloseLocked();
    return TOpenResult::Failed;
  }
  if (insertLog_.Prepare(db_, kInsertLog) != SQLITE_OK ||
      insertTrace_.Prepare(db_, kInsertTrace) != SQLITE_OK) {
    reason = DatabasePath().string() + ": " + db_.Error();
    CloseLocked();
    return TOpenResult::Failed;
  }
  state_ = TState::Open;
  return TOpenResult::Ok;
}

// The template is the program's own: a missing or unusable one is made again.
bool TDM1::EnsureTemplateLocked(std::string& reason) {
  const fs::path tpl = TemplatePath();
  {
    sqlite::TDb probe;
    int rc = SQLITE_OK;
    if (RegularFileProblem(tpl, false).empty() && probe.Open(tpl, SQLITE_OPEN_READONLY) == SQLITE_OK &&
        HasJournalTables(probe, reason, rc))
      return true;
  }
  std::vector<uint8_t> image;
  if (!MakeTemplateImage(image, reason)) {
    reason = tpl.string() + ": " + reason;
    return false;
  }
  std::error_code ec;
  fs::create_directories(tpl.parent_path(), ec);
  reason = WriteFileAtomic(tpl, image);
  return reason.empty();
}

bool TDM1::CopyTemplateLocked(std::string& reason) {
  if (!EnsureTemplateLocked(reason)) return false;
  auto bytes = ReadWholeFile(TemplatePath());
  if (!bytes) {
    reason = TemplatePath().string() + ": cannot be read";
    return false;
  }
  // A directory, device or FIFO in the place of the database or of SQLite's files is reported, never
  // replaced.
  reason = JournalFilesProblem(DatabasePath(), true);
  if (!reason.empty()) return false;
  std::error_code ec;
  for (const char* sidecar : kSidecars) fs::remove(WithSuffix(DatabasePath(), sidecar), ec);
  reason = WriteFileAtomic(DatabasePath(), *bytes);
  return reason.empty();
}

// Keeps the damaged database (and SQLite's files beside it) under a time-stamped name.
bool TDM1::MoveAsideLocked(std::string& reason) {
  const fs::path db = DatabasePath();
  const std::string base = "dbLogs.damaged-" + StampForFileName(NowLocal());
  fs::path aside;
  for (int n = 1; n < 1000; ++n) {
    std::string name = base;
    if (n > 1) name.append("-").append(std::to_string(n));
    const fs::path candidate = folder_ / name.append(".db");
    if (!fs::exists(candidate)) {
      aside = candidate;
      break;
    }
  }
  std::error_code ec;
  if (aside.empty() || (fs::rename(db, aside, ec), ec)) {
    reason = db.string() + ": the damaged database cannot be put aside" + (ec ? ": " + ec.message() : "");
    return false;
  }
  for (const char* sidecar : kSidecars)
    if (fs::exists(WithSuffix(db, sidecar), ec))
      fs::rename(WithSuffix(db, sidecar), WithSuffix(aside, sidecar), ec);
  damagedCopy_ = aside;
  return true;
}

bool TDM1::ClearLocked(std::string& reason) {
  CloseLocked();
  return CopyTemplateLocked(reason);
}

bool TDM1::ClearJournal() {
  bool ok = false;
  {
    std::lock_guard lock(mutex_);
    if (!on_) return false;
    std::string reason;
    ok = ClearLocked(reason) && OpenDbLocked(reason) == TOpenResult::Ok;
    if (!ok) NoteWriteFailure(reason);
  }
  TellNotes();
  return ok;
}

// "Open the table if it is closed": after a clear that could not reopen, each write tries again.
bool TDM1::ReadyForWriteLocked() {
  if (state_ == TState::Open) return true;
  if (state_ == TState::Failed || !opened_) return false;
  std::string reason;
  if (OpenDbLocked(reason) == TOpenResult::Ok) return true;
  NoteWriteFailure(reason);
  return false;
}

void TDM1::InsertLocked(sqlite::TStmt& stmt, std::string_view what) {
  int rc = stmt.Step();
  if (rc == SQLITE_DONE) {
    writeFailing_ = false;
  } else {
    NoteWriteFailure(std::string(what) + ": " + sqlite3_errmsg(db_.Get()));
  }
  stmt.Reset();
}

void TDM1::OnMainThread(const std::function<void()>& fn) {
  // When the main thread no longer serves, the row is written here: the lock keeps it whole.
  if (!MainThread::Invoke(fn)) fn();
}

void TDM1::Journal(const std::string& message, const std::string& second) {
  if (!on_ || message.empty()) return;
  OnMainThread([&] { WriteRow(message, second); });
}

void TDM1::WriteRow(const std::string& message, const std::string& second) {
  {
    std::lock_guard lock(mutex_);
    if (ReadyForWriteLocked()) {
      insertLog_.Bind(1, FormatJournalTime(NowLocal()));
      insertLog_.Bind(2, Utf8Prefix(message, kMessValChars));
      insertLog_.Bind(3, Utf8Prefix(second, kMessPrbChars));
      insertLog_.Bind(4, QNumLocked());
      InsertLocked(insertLog_, "TLog");
    }
  }
  TellNotes();
}

void TDM1::DebugTrace(const std::string& connection, const std::string& device,
                      std::span<const uint8_t> bytes, int32_t direction, const std::string& result,
                      TDateTime start, TDateTime end) {
  if (!on_) return;
  const std::string hex = HexBytes(bytes);
  OnMainThread([&] { WriteTrace(connection, device, hex, direction, result, start, end); });
}

void TDM1::WriteTrace(const std::string& connection, const std::string& device, const std::string& hex,
                      int32_t direction, const std::string& result, TDateTime start, TDateTime end) {
  {
    std::lock_guard lock(mutex_);
    if (ReadyForWriteLocked()) {
      insertTrace_.Bind(1, FormatJournalTime(start));
      insertTrace_.Bind(2, FormatJournalTime(end - start));  // the duration, as a date-time value
      insertTrace_.Bind(3, Utf8Prefix(connection, kTraceTextChars));
      insertTrace_.Bind(4, Utf8Prefix(device, kTraceTextChars));
      insertTrace_.Bind(5, direction);
      insertTrace_.Bind(6, hex);
      insertTrace_.Bind(7, Utf8Prefix(result, kTraceTextChars));
      insertTrace_.Bind(8, QNumLocked());
      InsertLocked(insertTrace_, "TDebug");
    }
  }
  TellNotes();
}

void TDM1::NoteOpenError(const std::string& reason) {
  notes_.emplace_back(TNote::OpenError, reason);
}

// Told once per run of failures: a full disk must not flood the work log with one line per row.
void TDM1::NoteWriteFailure(const std::string& reason) {
  if (writeFailing_) return;
  writeFailing_ = true;
  notes_.emplace_back(TNote::WriteFailure, reason);
}

void TDM1::TellNotes() {
  std::vector<std::pair<TNote, std::string>> notes;
  {
    std::lock_guard lock(mutex_);
    notes.swap(notes_);
  }
  for (const auto& [kind, text] : notes) {
    const std::string line = kind == TNote::OpenError      ? std::string(kJournalOpenError) + ": " + text
                             : kind == TNote::WriteFailure ? "Ошибка записи журнала: " + text
                                                           : text;
    std::cerr << line << std::endl;
    const bool shown =
        kind == TNote::OpenError && options_.messageBox && options_.messageBox(kJournalOpenError, "");
    if (!shown && options_.workLog) options_.workLog(line);
  }
}

}  // namespace orvela
