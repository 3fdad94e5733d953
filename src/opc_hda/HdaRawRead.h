#pragma once
// A raw read as the client asks for it and what it gets back. The engine hands over the archive records
// strictly inside a window; the rules a client relies on are drawn here: the start time belongs to the
// range and the end time does not, so a call that goes on from the last time it was given gets that
// record again and loses none; an end before the start reads backwards; an open end reads on from the
// start for as many values as asked; bounds frame the range with the nearest values outside it (or a
// "no bound" entry); at most the values asked for, the item saying when more were there.
#include <optional>
#include <utility>
#include <vector>

#include "engine/EngineTasks.h"
#include "platform/Clock.h"
#include "platform/com/opc/OpcHda.h"
#include "tree/TreeItem.h"

namespace orvela {

struct THdaRawRead {
  int64_t start = 0;           // file-time ticks (UTC)
  std::optional<int64_t> end;  // none: from the start on, up to maxValues values
  DWORD maxValues = 0;         // 0: all
  bool bounds = false;
  int64_t boundReach = 0;  // how far outside the range a bounding value is looked for, in ticks

  bool Reverse() const { return end && *end < start; }
  // The window the engine is asked for: a millisecond wider at both ends (it passes only what lies strictly
  // inside and compares to the millisecond), and wider by the reach on the sides where bounds are looked for.
  std::pair<TTaskTime, TTaskTime> EngineWindow(const Clock& clock) const;
  // Turns the engine's records (in any order) into the item's values; returns the item's error:
  // OPC_S_MOREDATA when values were left out, OPC_S_NODATA when none lies in the range, else S_OK.
  HRESULT Shape(std::vector<THdaRecord>& records) const;
};

// Reads the client's arguments. Text times are resolved and the time they stood for is written back into
// ftTime. An empty end time (no text, or a zero file time) is allowed with a value count. E_INVALIDARG for
// a malformed time or an empty start.
HRESULT MakeRawRead(OPCHDA_TIME* start, OPCHDA_TIME* end, DWORD maxValues, BOOL bounds, const Clock& clock,
                    THdaRawRead& out);

// The reach of a node's bounds: two archive steps, or two hours for a node without a step.
int64_t BoundReachOf(const TNTreeData* node);

}  // namespace orvela
