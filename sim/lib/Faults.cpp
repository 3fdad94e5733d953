#include "metersim/Faults.h"

#include <algorithm>
#include <charconv>
#include <functional>

namespace orvela::sim {
namespace {

bool ParseInt(std::string_view text, int64_t& value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// "01FF7F...": two hexadecimal digits a byte, so that control and high bytes can be given.
bool ParseHex(std::string_view text, std::string& bytes) {
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    uint8_t byte = 0;
    auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
    if (ec != std::errc() || end != text.data() + i + 2) return false;
    bytes.push_back(static_cast<char>(byte));
  }
  return true;
}

// One command-line fault name: how its value is read. A missing value means "every occasion" for a
// counted fault and "on" for a flag.
struct TFaultName {
  std::string_view name;
  std::function<bool(TFaults&, std::string_view value, bool hasValue)> apply;
};

auto Counted(int TFaults::*field) {
  return [field](TFaults& f, std::string_view value, bool hasValue) {
    int64_t n = -1;
    if (hasValue && (!ParseInt(value, n) || n < -1 || n > 1'000'000)) return false;
    f.*field = static_cast<int>(n);
    return true;
  };
}

auto Flag(bool TFaults::*field) {
  return [field](TFaults& f, std::string_view value, bool hasValue) {
    if (!hasValue || value == "1" || value == "on") return f.*field = true, true;
    if (value == "0" || value == "off") return f.*field = false, true;
    return false;
  };
}

template <class T>
auto Number(T TFaults::*field, int64_t low, int64_t high) {
  return [field, low, high](TFaults& f, std::string_view value, bool hasValue) {
    int64_t n = 0;
    if (!hasValue || !ParseInt(value, n) || n < low || n > high) return false;
    f.*field = static_cast<T>(n);
    return true;
  };
}

const std::vector<TFaultName>& FaultTable() {
  static const std::vector<TFaultName> table = {
      {"silent", Flag(&TFaults::silent)},
      {"drop", Counted(&TFaults::dropReplies)},
      {"badcrc", Counted(&TFaults::badCrc)},
      {"truncate", Counted(&TFaults::truncateBlocks)},
      {"short", Counted(&TFaults::shortReplies)},
      {"nak", Counted(&TFaults::nakRequests)},
      {"repeat", Counted(&TFaults::repeatBlocks)},
      {"resend-forever", Counted(&TFaults::resendForever)},
      {"garbage", Counted(&TFaults::garbage)},
      {"wrong-code", Counted(&TFaults::wrongCode)},
      {"wrong-address", Counted(&TFaults::wrongAddress)},
      {"prompt-ms", Number(&TFaults::promptDelayMs, 0, 3'600'000)},
      {"reply-delay-ms", Number(&TFaults::replyDelayMs, 0, 3'600'000)},
      {"drip-ms", Number(&TFaults::dripMs, 0, 60'000)},
      {"serial",
       [](TFaults& f, std::string_view value, bool hasValue) {
         if (!hasValue || value.empty() || value.size() > 8) return false;
         f.serial = std::string(value);
         return true;
       }},
      {"serial-hex",
       [](TFaults& f, std::string_view value, bool hasValue) {
         std::string bytes;
         if (!hasValue || !ParseHex(value, bytes) || bytes.empty() || bytes.size() > 8) return false;
         f.serial = std::move(bytes);
         return true;
       }},
      {"clock-offset-min", Number(&TFaults::clockOffsetMinutes, -10'000'000, 10'000'000)},
      {"bad-dates", Flag(&TFaults::badDates)},
      {"value-count-delta", Number(&TFaults::valueCountDelta, -255, 255)},
      {"empty-archives", Flag(&TFaults::emptyArchives)},
      {"ring-fill", Number(&TFaults::ringFill, 0, 255)},
      {"bad-archive-date", Counted(&TFaults::badArchiveDate)},
      {"echo", Flag(&TFaults::echo)},
      {"exception", Counted(&TFaults::exceptionReplies)},
      {"odd-count", Counted(&TFaults::oddByteCounts)},
  };
  return table;
}

}  // namespace

bool TakeCount(int& counter) {
  if (counter == 0) return false;
  if (counter > 0) --counter;
  return true;
}

bool ApplyFaultSpec(TFaults& faults, std::string_view spec, std::string& error) {
  auto eq = spec.find('=');
  std::string_view name = spec.substr(0, eq);
  bool hasValue = eq != std::string_view::npos;
  std::string_view value = hasValue ? spec.substr(eq + 1) : std::string_view{};
  const auto& table = FaultTable();
  auto it = std::find_if(table.begin(), table.end(), [&](const TFaultName& f) { return f.name == name; });
  if (it == table.end()) {
    error = "unknown fault \"" + std::string(name) + "\" (known: " + FaultNames() + ")";
    return false;
  }
  if (!it->apply(faults, value, hasValue)) {
    error = "bad value for fault \"" + std::string(name) + "\": \"" + std::string(value) + "\"";
    return false;
  }
  return true;
}

std::string FaultNames() {
  std::string names;
  for (const auto& f : FaultTable()) names += (names.empty() ? "" : ", ") + std::string(f.name);
  return names;
}

TFaults TFaultCell::Get() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

void TFaultCell::Set(const TFaults& faults) {
  std::lock_guard lock(mutex_);
  faults_ = faults;
}

bool TFaultCell::Take(int TFaults::*counter) {
  std::lock_guard lock(mutex_);
  return TakeCount(faults_.*counter);
}

bool TFaultScope::Take(int TFaults::*counter) {
  return (device_ && device_->Take(counter)) || line_->Take(counter);
}

TFaults TFaultScope::Merged() const {
  TFaults line = line_->Get();
  if (!device_) return line;
  TFaults merged = device_->Get();
  merged.silent = merged.silent || line.silent;
  merged.promptDelayMs = std::max(merged.promptDelayMs, line.promptDelayMs);
  merged.replyDelayMs = std::max(merged.replyDelayMs, line.replyDelayMs);
  merged.dripMs = std::max(merged.dripMs, line.dripMs);
  if (merged.serial.empty()) merged.serial = line.serial;
  merged.clockOffsetMinutes += line.clockOffsetMinutes;
  merged.badDates = merged.badDates || line.badDates;
  merged.valueCountDelta += line.valueCountDelta;
  merged.emptyArchives = merged.emptyArchives || line.emptyArchives;
  if (merged.ringFill < 0) merged.ringFill = line.ringFill;
  merged.echo = merged.echo || line.echo;
  return merged;
}

}  // namespace orvela::sim
