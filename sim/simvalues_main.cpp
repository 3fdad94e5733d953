// simvalues: what a simulated meter measures, as JSON, so scripts and end-to-end tests compare what they
// read with the simulator instead of copying numbers.
//   simvalues --serial 12345678 --param 0 --at 2024-03-10T11:25:00Z
//   simvalues --serial 12345678 --param 0 --hours --from 2024-03-10T00:00:00Z --to 2024-03-10T06:00:00Z
// Times in and out are UTC (ISO 8601 or microseconds since 1970); the meter's local time comes from the
// C library's time zone (TZ), as for the server.
#include <CLI/CLI.hpp>
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>

#include "metersim/Values.h"
#include "platform/DateTime.h"

using namespace orvela;
using namespace orvela::sim;

namespace {

constexpr int kBadArguments = 2;

// "YYYY-MM-DDThh:mm[:ss[.fff]][Z]" (a space may replace the T) or an integer count of microseconds.
std::optional<int64_t> ParseUtcMicros(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("0123456789-") == std::string::npos) {
    try {
      size_t used = 0;
      long long value = std::stoll(text, &used);
      if (used == text.size()) return value;
    } catch (const std::exception&) {
    }
    return std::nullopt;
  }
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
  char sep = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d%n", &year, &month, &day, &sep, &hour, &minute, &used) <
      6)
    return std::nullopt;
  if (sep != 'T' && sep != ' ') return std::nullopt;
  std::string rest = text.substr(static_cast<size_t>(used));
  int millis = 0;
  if (!rest.empty() && rest[0] == ':') {
    int more = 0;
    if (std::sscanf(rest.c_str(), ":%2d%n", &second, &more) < 1) return std::nullopt;
    rest.erase(0, static_cast<size_t>(more));
    if (!rest.empty() && rest[0] == '.') {
      size_t digits = rest.find_first_not_of("0123456789", 1);
      std::string fraction = rest.substr(1, (digits == std::string::npos ? rest.size() : digits) - 1);
      if (fraction.empty()) return std::nullopt;
      millis = std::stoi((fraction + "00").substr(0, 3));
      rest.erase(0, 1 + fraction.size());
    }
  }
  if (rest != "" && rest != "Z") return std::nullopt;
  if (!IsValidDate(year, month, day) || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return DateTimeToUnixMs(EncodeDateTime(year, month, day, hour, minute, second, millis)) * 1000;
}

TDateTime LocalOf(int64_t utcMicros) {
  return UtcToLocal(UnixMsToDateTime(utcMicros / 1000));
}

std::string IsoOf(int64_t utcMs) {
  SYSTEMTIME st = DateTimeToSystemTime(UnixMsToDateTime(utcMs));
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", st.wYear, st.wMonth, st.wDay,
                st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
  return text;
}

// A time of the meter's local clock as the JSON fields of its UTC instant.
std::string TimeFields(TDateTime local) {
  int64_t ms = DateTimeToUnixMs(LocalToUtc(local));
  char text[96];
  std::snprintf(text, sizeof text, "\"time\":\"%s\",\"timeUs\":%" PRId64, IsoOf(ms).c_str(), ms * 1000);
  return text;
}

std::string Float(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
  return text;
}

// The meter shows the reading of the whole minute; the time printed is that minute's start.
void PrintCurrent(const std::string& serial, uint8_t param, int64_t utcMicros) {
  constexpr int64_t kMinuteUs = 60'000'000;
  int64_t cut = utcMicros - ((utcMicros % kMinuteUs) + kMinuteUs) % kMinuteUs;
  TDateTime local = LocalOf(cut);
  std::printf("{\"serial\":\"%s\",\"param\":%u,%s,\"value\":%s,\"status\":%u}\n", serial.c_str(), param,
              TimeFields(local).c_str(), Float(CurrentValue(serial, param, local)).c_str(),
              CurrentStatus(serial, param));
}

// Hourly records whose start lies in [from, to).
void PrintHours(const std::string& serial, uint8_t param, TDateTime from, TDateTime to) {
  int64_t index = PeriodIndex(EPeriod::Hour, from);
  if (PeriodStart(EPeriod::Hour, index) < from) ++index;
  std::printf("{\"serial\":\"%s\",\"param\":%u,\"records\":[", serial.c_str(), param);
  for (const char* sep = ""; PeriodStart(EPeriod::Hour, index) < to; ++index, sep = ",")
    std::printf("%s{%s,\"value\":%s}", sep, TimeFields(PeriodStart(EPeriod::Hour, index)).c_str(),
                Float(ArchiveValue(serial, param, EPeriod::Hour, index, false)).c_str());
  std::printf("]}\n");
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "simvalues: %s\n", message.c_str());
  return kBadArguments;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"What a simulated meter measures, as JSON (times UTC, the meter's local time from TZ)"};
  std::string serial, at, from, to;
  int param = 0;
  bool hours = false;
  app.add_option("--serial", serial, "the meter's serial number (1 to 8 characters)")->required();
  app.add_option("--param", param, "parameter id: the meter's byte (0 to 255)")->required();
  app.add_option("--at", at, "current value at this UTC time (ISO 8601 or microseconds)");
  app.add_flag("--hours", hours, "hourly archive records starting in [--from, --to)");
  app.add_option("--from", from, "first UTC time of the window");
  app.add_option("--to", to, "UTC end of the window (excluded)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kBadArguments;
  }
  if (serial.empty() || serial.size() > 8) return Fail("--serial: 1 to 8 characters");
  if (param < 0 || param > 255) return Fail("--param: 0 to 255");
  if (hours == !at.empty()) return Fail("give either --at or --hours with --from and --to");
  if (!hours) {
    auto t = ParseUtcMicros(at);
    if (!t) return Fail("--at: not a UTC time: " + at);
    PrintCurrent(serial, static_cast<uint8_t>(param), *t);
    return 0;
  }
  auto begin = ParseUtcMicros(from), end = ParseUtcMicros(to);
  if (!begin || !end) return Fail("--from and --to: UTC times required");
  if (*end < *begin) return Fail("--to lies before --from");
  if (*end - *begin > int64_t{366} * 24 * 3600 * 1'000'000) return Fail("window longer than a year");
  PrintHours(serial, static_cast<uint8_t>(param), LocalOf(*begin), LocalOf(*end));
  return 0;
}
