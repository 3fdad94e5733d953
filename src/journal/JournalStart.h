#pragma once
// The journal's part of the program start: the module is opened once the settings are loaded (so that
// "Очищать лог при входе" takes effect) and becomes the process's journal sink; then the shell writes
// its start lines.
#include <filesystem>
#include <memory>
#include <string>

#include "journal/UDM1.h"

namespace orvela {

// Opens the journal of the program folder and installs it as the journal sink (also when it is off or
// failed: then lines are dropped). Keep it until every thread that journals has stopped.
std::unique_ptr<TDM1> OpenJournalAtStart(const std::filesystem::path& programFolder, TJournalOptions options);

// Whether the local time zone moves its clocks in the year of nowLocal.
bool DaylightSavingInUse(TDateTime nowLocal);

// The shell's start lines: the version, daylight saving, the time-correction mode.
void WriteShellStartLines(IJournalSink& journal, const std::string& version, bool timeCorrectionMode,
                          TDateTime nowLocal);

}  // namespace orvela
