#pragma once
// A scratch program folder and an independent look into the journal database.
#include <sqlite3.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace orvela::testing_journal {

namespace fs = std::filesystem;

using test::ReadText;
using test::WriteText;

// Memory-backed (SQLite syncs every row, a busy disk would only slow the tests) and searchable by anyone:
// the read-only tests look at it as another user.
class TTempFolder : public test::TTempDir {
 public:
  TTempFolder() : TTempDir("orvela-journal", EPlace::Memory) { fs::permissions(Path(), fs::perms(0755)); }
};

// Makes a folder read-only for the calling thread. As root the mode alone binds nobody, so the thread
// also takes the file-system identity of "nobody" (Linux keeps it per thread) until the scope ends.
class TReadOnlyScope {
 public:
  explicit TReadOnlyScope(fs::path folder) : folder_(std::move(folder)) {
    fs::permissions(folder_, fs::perms(0555));
    if (::geteuid() == 0) {
      ::setfsgid(65534);
      ::setfsuid(65534);
    }
  }
  ~TReadOnlyScope() {
    if (::geteuid() == 0) {
      ::setfsuid(0);
      ::setfsgid(0);
    }
    fs::permissions(folder_, fs::perms(0755));
  }

 private:
  fs::path folder_;
};

// False where even a read-only folder takes new files (root without the right to change its file-system
// identity): the read-only tests cannot show anything there.
inline bool ReadOnlyFoldersWork() {
  TTempFolder probe;
  TReadOnlyScope readOnly(probe.Path());
  return !std::ofstream(probe / "probe");
}

using TRows = std::vector<std::vector<std::string>>;

// Rows of a query as texts ("<null>" for NULL), read over a connection of its own.
inline TRows Query(const fs::path& db, const std::string& sql) {
  sqlite3* h = nullptr;
  TRows rows;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(h);
    throw std::runtime_error("cannot open " + db.string());
  }
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    std::string e = sqlite3_errmsg(h);
    sqlite3_close(h);
    throw std::runtime_error(e);
  }
  while (sqlite3_step(st) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int i = 0; i < sqlite3_column_count(st); ++i) {
      auto* t = reinterpret_cast<const char*>(sqlite3_column_text(st, i));
      row.emplace_back(t ? t : "<null>");
    }
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(st);
  sqlite3_close(h);
  return rows;
}

inline size_t CountRows(const fs::path& db, const char* table) {
  return std::stoul(Query(db, std::string("SELECT COUNT(*) FROM ") + table)[0][0]);
}

}  // namespace orvela::testing_journal
