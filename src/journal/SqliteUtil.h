#pragma once
// Thin owners of SQLite handles for the journal module and its readers.
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace orvela::sqlite {

class TDb {
 public:
  TDb() = default;
  ~TDb() { Close(); }
  TDb(const TDb&) = delete;
  TDb& operator=(const TDb&) = delete;

  // SQLite result code; on failure the handle is closed and Error() keeps the reason.
  int Open(const std::filesystem::path& path, int flags) {
    Close();
    int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
      error_ = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
      Close();
    }
    return rc;
  }
  int Exec(const char* sql) {
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) error_ = sqlite3_errmsg(db_);
    return rc;
  }
  void Close() {
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
  }
  sqlite3* Get() const { return db_; }
  explicit operator bool() const { return db_ != nullptr; }
  const std::string& Error() const { return error_; }
  void SetError(std::string e) { error_ = std::move(e); }

 private:
  sqlite3* db_ = nullptr;
  std::string error_;
};

class TStmt {
 public:
  TStmt() = default;
  ~TStmt() { Finalize(); }
  TStmt(const TStmt&) = delete;
  TStmt& operator=(const TStmt&) = delete;

  int Prepare(TDb& db, std::string_view sql) {
    Finalize();
    int rc = sqlite3_prepare_v2(db.Get(), sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
    if (rc != SQLITE_OK) db.SetError(sqlite3_errmsg(db.Get()));
    return rc;
  }
  void Finalize() {
    if (stmt_) sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  }
  void Bind(int i, std::string_view text) {
    sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void Bind(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
  void Bind(int i, int32_t v) { sqlite3_bind_int64(stmt_, i, v); }
  int Step() { return sqlite3_step(stmt_); }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  std::string Text(int col) const {
    auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
  }
  int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
  sqlite3_stmt* Get() const { return stmt_; }
  explicit operator bool() const { return stmt_ != nullptr; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace orvela::sqlite
