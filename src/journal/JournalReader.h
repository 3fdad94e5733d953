#pragma once
// Reading the journal back: the window's grid and orvelactl open the database on their own connection.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/DateTime.h"

namespace orvela {

class EJournalRead : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TJournalRow {
  std::string timeText;  // as stored
  TDateTime time = 0;    // 0 when the stored text is not a journal time
  std::string message;   // MessVal
  std::string second;    // MessPrb
  int64_t qNum = 0;
};

// Rows of TLog in the order they were written; with tail > 0 only the last tail rows. Throws
// EJournalRead when the file is missing or is not a journal database.
std::vector<TJournalRow> ReadJournalRows(const std::filesystem::path& dbFile, size_t tail = 0);

}  // namespace orvela
