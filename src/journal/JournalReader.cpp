#include "journal/JournalReader.h"

#include <algorithm>

#include "journal/SqliteUtil.h"
#include "journal/UDM1.h"

namespace orvela {

std::vector<TJournalRow> ReadJournalRows(const std::filesystem::path& dbFile, size_t tail) {
  if (std::string problem = JournalFileProblem(dbFile); !problem.empty()) throw EJournalRead(problem);
  sqlite::TDb db;
  if (db.Open(dbFile, SQLITE_OPEN_READONLY) != SQLITE_OK)
    throw EJournalRead(dbFile.string() + ": " + db.Error());
  sqlite3_busy_timeout(db.Get(), 2000);
  // Newest first when only the tail is wanted, turned round below.
  const char* sql = tail > 0 ? "SELECT MessTime, MessVal, MessPrb, QNum FROM TLog ORDER BY rowid DESC LIMIT ?"
                             : "SELECT MessTime, MessVal, MessPrb, QNum FROM TLog ORDER BY rowid";
  sqlite::TStmt stmt;
  if (stmt.Prepare(db, sql) != SQLITE_OK) throw EJournalRead(dbFile.string() + ": " + db.Error());
  if (tail > 0) stmt.Bind(1, static_cast<int64_t>(std::min<size_t>(tail, INT64_MAX)));
  std::vector<TJournalRow> rows;
  int rc;
  while ((rc = stmt.Step()) == SQLITE_ROW) {
    TJournalRow row;
    row.timeText = stmt.Text(0);
    if (!ParseJournalTime(row.timeText, row.time)) row.time = 0;
    row.message = stmt.Text(1);
    row.second = stmt.Text(2);
    row.qNum = stmt.Int(3);
    rows.push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) throw EJournalRead(dbFile.string() + ": " + sqlite3_errmsg(db.Get()));
  if (tail > 0) std::reverse(rows.begin(), rows.end());
  return rows;
}

}  // namespace orvela
