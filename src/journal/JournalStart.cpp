#include "journal/JournalStart.h"

#include <ctime>

namespace orvela {

std::unique_ptr<TDM1> OpenJournalAtStart(const std::filesystem::path& programFolder,
                                         TJournalOptions options) {
  auto journal = std::make_unique<TDM1>(programFolder, std::move(options));
  journal->Open();
  SetJournalSink(journal.get());
  return journal;
}

bool DaylightSavingInUse(TDateTime nowLocal) {
  const int year = DateTimeToSystemTime(nowLocal).wYear;
  // The offsets from UTC in winter and in summer differ exactly when the zone moves its clocks.
  auto offsetAt = [year](int month) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = 1;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    std::time_t t = std::mktime(&tm);
    std::tm local{};
    localtime_r(&t, &local);
    return local.tm_gmtoff;
  };
  return offsetAt(1) != offsetAt(7);
}

void WriteShellStartLines(IJournalSink& journal, const std::string& version, bool timeCorrectionMode,
                          TDateTime nowLocal) {
  journal.Journal("Оболочка сервера запущена. Версия " + version, "");
  journal.Journal(
      DaylightSavingInUse(nowLocal) ? "Переход на летнее время включен" : "Переход на летнее время выключен",
      "");
  journal.Journal(timeCorrectionMode ? "Режим коррекции времени включен" : "Режим коррекции времени выключен",
                  "");
}

}  // namespace orvela
