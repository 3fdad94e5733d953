#pragma once
// Fault injection: what a line or one device does wrong. A line's faults act on every exchange; a device's
// faults act on the exchanges addressed to it (a counted fault is taken from the device first, then from
// the line). Tests and the command line change them while the line runs.
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace orvela::sim {

// Counted faults: 0 off, N > 0 the next N occasions, -1 every occasion.
struct TFaults {
  // Line: no byte at all leaves the line and everything received is ignored.
  // Device: requests addressed to it are acknowledged but never answered.
  bool silent = false;
  int dropReplies = 0;         // replies not sent (the device returns to its idle prompting)
  int badCrc = 0;              // reply blocks sent with a corrupted check sum
  int truncateBlocks = 0;      // reply blocks cut after 64 bytes, then the device returns to idle
  int shortReplies = 0;        // replies that declare more bytes than all their blocks hold
  int nakRequests = 0;         // good request blocks refused with NAK
  int repeatBlocks = 0;        // reply blocks sent a second time after their ACK
  int resendForever = 0;       // replies whose block 1 is sent again after every host answer, without end
  int garbage = 0;             // replies whose whole payload is random bytes (the blocks' CRCs are good)
  int wrongCode = 0;           // replies carrying another answer code (list and data swapped)
  int wrongAddress = 0;        // replies echoing another device address in their path
  int64_t promptDelayMs = 0;   // line: idle "C" prompts this far apart (slow prompts)
  int64_t replyDelayMs = 0;    // pause between the host's "C" and the first reply block
  int64_t dripMs = 0;          // reply bytes sent one at a time, this far apart (a crawling line)
  std::string serial;          // bytes answered instead of the device's own serial number (wrong serial)
  int clockOffsetMinutes = 0;  // the device clock (and what it stamps and measures) runs this far off
  bool badDates = false;       // clock, timer dates and archive date records are impossible dates
  int valueCountDelta = 0;     // value columns report this many records more than the date column
  bool emptyArchives = false;  // archive records are all 0xFF (nothing written yet)
  int ringFill = -1;           // archive rings hold this many written records, the rest 0xFF; -1 full
  int badArchiveDate = 0;      // device: archive answers with one record dated in month 13 (Tarvel M)
  bool echo = false;           // line: every received byte is sent back first (half-duplex converter)
  int exceptionReplies = 0;    // ModBus: replies refused with exception code 2 (illegal data address)
  int oddByteCounts = 0;       // ModBus: reads (1 to 4) answered one byte short, byte count to match
};

// Takes one occasion of a counted fault; true when the fault applies to it.
bool TakeCount(int& counter);

// Parses "name" or "name=value" (names as the command line spells them) into faults; false with a
// message for an unknown name or a bad value.
bool ApplyFaultSpec(TFaults& faults, std::string_view spec, std::string& error);
// The names ApplyFaultSpec accepts, for help texts.
std::string FaultNames();

// Faults shared between the threads serving a line and the test or console changing them.
class TFaultCell {
 public:
  TFaults Get() const;
  void Set(const TFaults& faults);
  template <class Fn>
  void Update(Fn fn) {
    std::lock_guard lock(mutex_);
    fn(faults_);
  }
  bool Take(int TFaults::*counter);

 private:
  mutable std::mutex mutex_;
  TFaults faults_;
};

// The faults in force for one exchange: those of the addressed device (may be absent) and of the line.
class TFaultScope {
 public:
  TFaultScope(TFaultCell* device, TFaultCell& line) : device_(device), line_(&line) {}
  // A counted fault is taken from the device's cell first, then from the line's.
  bool Take(int TFaults::*counter);
  // The device's faults merged with the line's: flags or-ed, delays the longer, offsets added.
  TFaults Merged() const;

 private:
  TFaultCell* device_;
  TFaultCell* line_;
};

}  // namespace orvela::sim
