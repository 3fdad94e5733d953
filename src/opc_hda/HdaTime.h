#pragma once
// HDA times given as text. Clients write relative times: a keyword (NOW, SECOND, MINUTE, HOUR, DAY, WEEK,
// MONTH, YEAR) followed by offsets such as "-1D" or "+2H" (units S, M, H, D, W, MO, Y). A keyword other
// than NOW is the start of the current unit in local time; weeks start on Monday. Spaces between the
// parts are allowed and case does not matter. People at the command line may also write absolute times
// in ISO 8601, local ("2024-03-02T10:00") or UTC with "Z".
#include <optional>
#include <string_view>

#include "engine/EngineTasks.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/com/opc/OpcHda.h"

namespace orvela {

// Longest time text taken; anything longer is refused unread.
constexpr size_t kMaxHdaTimeText = 256;

// The local date-time a relative text names at the local moment now; nullopt when the text is malformed
// or lands outside the years 1601 to 9999.
std::optional<TDateTime> ParseHdaRelativeTime(std::string_view text, TDateTime nowLocal);

// "YYYY-MM-DD", "YYYY-MM-DDTHH:MM[:SS[.fff]]" (a space may stand for the "T"), local unless it ends in
// "Z"; the UTC file time, or nullopt when malformed or not a calendar date.
std::optional<FILETIME> ParseIsoTime(std::string_view text);

// A relative text or an ISO 8601 one, as the command line takes either.
std::optional<FILETIME> ParseTimeText(std::string_view text, TDateTime nowLocal);

// A client's OPCHDA_TIME as the engine takes it: a text is parsed now (relative form only) and kept
// alongside the resolved time; nullopt when the record is missing or its text is malformed.
std::optional<TTaskTime> ResolveHdaTime(const OPCHDA_TIME* time, const Clock& clock);

}  // namespace orvela
