#include "opc_hda/HdaTime.h"

#include <cctype>
#include <cmath>
#include <string>

#include "platform/Cp1251.h"

namespace orvela {
namespace {

enum class TUnit { Second, Minute, Hour, Day, Week, Month, Year };

struct TKeyword {
  const char* text;
  std::optional<TUnit> truncateTo;  // none: NOW, the moment itself
};
// Longer words first is not needed: keywords are matched whole.
constexpr TKeyword kKeywords[] = {
    {"NOW", std::nullopt}, {"SECOND", TUnit::Second}, {"MINUTE", TUnit::Minute}, {"HOUR", TUnit::Hour},
    {"DAY", TUnit::Day},   {"WEEK", TUnit::Week},     {"MONTH", TUnit::Month},   {"YEAR", TUnit::Year},
};

struct TOffsetUnit {
  const char* text;
  TUnit unit;
};
// "MO" before "M": the longer unit wins.
constexpr TOffsetUnit kOffsetUnits[] = {
    {"MO", TUnit::Month}, {"S", TUnit::Second}, {"M", TUnit::Minute}, {"H", TUnit::Hour},
    {"D", TUnit::Day},    {"W", TUnit::Week},   {"Y", TUnit::Year},
};

constexpr double kSecondsPerDay = 86'400.0;
// Offsets beyond this many units cannot land inside the representable years anyway.
constexpr int64_t kMaxOffset = 999'999'999;
constexpr int kMinYear = 1601;
constexpr int kMaxYear = 9999;

// A reader over upper-cased text without spaces.
class TScanner {
 public:
  explicit TScanner(std::string text) : text_(std::move(text)) {}
  bool AtEnd() const { return pos_ == text_.size(); }
  bool Take(std::string_view word) {
    if (text_.compare(pos_, word.size(), word) != 0) return false;
    pos_ += word.size();
    return true;
  }
  std::optional<char> TakeSign() {
    if (AtEnd() || (text_[pos_] != '+' && text_[pos_] != '-')) return std::nullopt;
    return text_[pos_++];
  }
  std::optional<int64_t> TakeNumber() {
    int64_t value = 0;
    const size_t start = pos_;
    while (!AtEnd() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) {
      value = value * 10 + (text_[pos_++] - '0');
      if (value > kMaxOffset) return std::nullopt;
    }
    if (pos_ == start) return std::nullopt;
    return value;
  }

 private:
  std::string text_;
  size_t pos_ = 0;
};

std::string Normalised(std::string_view text) {
  std::string out;
  for (char c : text)
    if (!std::isspace(static_cast<unsigned char>(c)))
      out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  return out;
}

TDateTime Truncate(TDateTime t, TUnit unit) {
  SYSTEMTIME st = DateTimeToSystemTime(t);
  switch (unit) {
    case TUnit::Second:
      return EncodeDateTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
    case TUnit::Minute:
      return EncodeDateTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute);
    case TUnit::Hour:
      return EncodeDateTime(st.wYear, st.wMonth, st.wDay, st.wHour);
    case TUnit::Day:
      return EncodeDateTime(st.wYear, st.wMonth, st.wDay);
    case TUnit::Week: {
      const double day = std::floor(t);
      // Day 0 (1899-12-30) was a Saturday: +5 makes Monday 0.
      const int64_t sinceMonday = (static_cast<int64_t>(day) % 7 + 7 + 5) % 7;
      return day - static_cast<double>(sinceMonday);
    }
    case TUnit::Month:
      return EncodeDateTime(st.wYear, st.wMonth, 1);
    case TUnit::Year:
      return EncodeDateTime(st.wYear, 1, 1);
  }
  return t;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// Calendar months keep the day of the month (clamped to the month's length) and the time of day.
std::optional<TDateTime> AddMonths(TDateTime t, int64_t months) {
  const SYSTEMTIME st = DateTimeToSystemTime(t);
  const int64_t total = static_cast<int64_t>(st.wYear) * 12 + (st.wMonth - 1) + months;
  const int64_t year = total / 12;
  if (year < kMinYear || year > kMaxYear) return std::nullopt;
  const int month = static_cast<int>(total % 12) + 1;
  const int day = std::min<int>(st.wDay, DaysInMonth(static_cast<int>(year), month));
  return EncodeDateTime(static_cast<int>(year), month, day) + (t - std::floor(t));
}

std::optional<TDateTime> AddOffset(TDateTime t, TUnit unit, int64_t count) {
  switch (unit) {
    case TUnit::Second:
      return t + static_cast<double>(count) / kSecondsPerDay;
    case TUnit::Minute:
      return t + static_cast<double>(count) / (24.0 * 60);
    case TUnit::Hour:
      return t + static_cast<double>(count) / 24.0;
    case TUnit::Day:
      return t + static_cast<double>(count);
    case TUnit::Week:
      return t + static_cast<double>(count) * 7;
    case TUnit::Month:
      return AddMonths(t, count);
    case TUnit::Year:
      return AddMonths(t, count * 12);
  }
  return std::nullopt;
}

bool InRange(TDateTime t) {
  return t >= EncodeDateTime(kMinYear, 1, 1) && t < EncodeDateTime(kMaxYear + 1, 1, 1) - 1;
}

int Digits(std::string_view s, size_t at, size_t count, bool& ok) {
  int value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) {
      ok = false;
      return 0;
    }
    value = value * 10 + (s[i] - '0');
  }
  return value;
}

}  // namespace

std::optional<TDateTime> ParseHdaRelativeTime(std::string_view text, TDateTime nowLocal) {
  if (text.size() > kMaxHdaTimeText) return std::nullopt;
  TScanner scan(Normalised(text));
  std::optional<TDateTime> t;
  for (const TKeyword& k : kKeywords)
    if (scan.Take(k.text)) {
      t = k.truncateTo ? Truncate(nowLocal, *k.truncateTo) : nowLocal;
      break;
    }
  if (!t) return std::nullopt;
  while (t && !scan.AtEnd()) {
    const auto sign = scan.TakeSign();
    const auto count = sign ? scan.TakeNumber() : std::nullopt;
    if (!count) return std::nullopt;
    const TOffsetUnit* unit = nullptr;
    for (const TOffsetUnit& u : kOffsetUnits)
      if (scan.Take(u.text)) {
        unit = &u;
        break;
      }
    if (!unit) return std::nullopt;
    t = AddOffset(*t, unit->unit, *sign == '-' ? -*count : *count);
    if (t && !InRange(*t)) return std::nullopt;
  }
  if (!t || !InRange(*t)) return std::nullopt;
  return t;
}

std::optional<FILETIME> ParseIsoTime(std::string_view text) {
  if (text.size() > kMaxHdaTimeText) return std::nullopt;
  bool utc = false;
  if (!text.empty() && (text.back() == 'Z' || text.back() == 'z')) {
    utc = true;
    text.remove_suffix(1);
  }
  bool ok = true;
  if (text.size() < 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  const int year = Digits(text, 0, 4, ok), month = Digits(text, 5, 2, ok), day = Digits(text, 8, 2, ok);
  int hour = 0, minute = 0, second = 0, ms = 0;
  size_t pos = 10;
  if (pos < text.size()) {
    if ((text[pos] != 'T' && text[pos] != 't' && text[pos] != ' ') || text.size() < pos + 6 ||
        text[pos + 3] != ':')
      return std::nullopt;
    hour = Digits(text, pos + 1, 2, ok);
    minute = Digits(text, pos + 4, 2, ok);
    pos += 6;
    if (pos < text.size()) {
      if (text[pos] != ':') return std::nullopt;
      second = Digits(text, pos + 1, 2, ok);
      pos += 3;
      if (pos < text.size()) {
        if (text[pos] != '.' || text.size() != pos + 4) return std::nullopt;
        ms = Digits(text, pos + 1, 3, ok);
        pos += 4;
      }
    }
  }
  if (!ok || pos != text.size() || year < kMinYear || !IsValidDate(year, month, day) || hour > 23 ||
      minute > 59 || second > 59)
    return std::nullopt;
  const TDateTime t = EncodeDateTime(year, month, day, hour, minute, second, ms);
  return utc ? UtcDateTimeToFileTime(t) : LocalDateTimeToFileTime(t);
}

std::optional<FILETIME> ParseTimeText(std::string_view text, TDateTime nowLocal) {
  if (auto relative = ParseHdaRelativeTime(text, nowLocal)) return LocalDateTimeToFileTime(*relative);
  return ParseIsoTime(text);
}

std::optional<TTaskTime> ResolveHdaTime(const OPCHDA_TIME* time, const Clock& clock) {
  if (!time) return std::nullopt;
  TTaskTime out;
  if (!time->bString) {
    out.Time = time->ftTime;
    return out;
  }
  if (!time->szTime) return std::nullopt;
  // The client's text is copied: the pointer is only good for the call.
  std::u16string text;
  for (const char16_t* p = time->szTime; *p; ++p) {
    if (text.size() == kMaxHdaTimeText) return std::nullopt;
    text.push_back(*p);
  }
  const auto local = ParseHdaRelativeTime(Utf16ToUtf8(text), clock.Now());
  if (!local) return std::nullopt;
  out.IsText = true;
  out.Text = std::move(text);
  out.Time = LocalDateTimeToFileTime(*local);
  return out;
}

}  // namespace orvela
