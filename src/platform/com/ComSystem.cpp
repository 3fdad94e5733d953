#include "platform/com/ComSystem.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComText.h"

namespace {

thread_local DWORD tLastError = ERROR_SUCCESS;

struct TMessage {
  uint32_t code;
  const char* text;
};

// The system texts the servers pass on to clients (error strings of codes their own tables lack).
constexpr TMessage kMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {14, "Not enough memory resources are available to complete this operation."},
    {29, "The system cannot write to the specified device."},
    {87, "The parameter is incorrect."},
    {122, "The data area passed to a system call is too small."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {1009, "The configuration registry database is corrupt."},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {0x80004001, "Not implemented"},
    {0x80004002, "No such interface supported"},
    {0x80004003, "Invalid pointer"},
    {0x80004004, "Operation aborted"},
    {0x80004005, "Unspecified error"},
    {0x8000FFFF, "Catastrophic failure"},
    {0x80010105, "The server threw an exception."},
    {0x80010106, "Cannot change thread mode after it is set."},
    {0x80010108, "The object invoked has disconnected from its clients."},
    {0x8001010E, "The application called an interface that was marshalled for a different thread."},
    {0x80020003, "Member not found."},
    {0x80020004, "Parameter not found."},
    {0x80020005, "Type mismatch."},
    {0x80020006, "Unknown name."},
    {0x80020008, "Bad variable type."},
    {0x80020009, "Exception occurred."},
    {0x8002000A, "Out of present range."},
    {0x8002000B, "Invalid index."},
    {0x8002000E, "Invalid number of parameters."},
    {0x80040110, "Class does not support aggregation (or class object is remote)"},
    {0x80040111, "ClassFactory cannot supply requested class"},
    {0x80040154, "Class not registered"},
    {0x800401F0, "CoInitialize has not been called."},
    {0x800401F3, "Invalid class string"},
    {0x800401FD, "Object is not connected to server"},
};

const char* FindMessage(DWORD code) {
  for (const auto& m : kMessages)
    if (m.code == code) return m.text;
  // HRESULTs wrapping a Win32 code share its text.
  if ((code & 0xFFFF0000u) == 0x80070000u) return FindMessage(code & 0xFFFF);
  return nullptr;
}

constexpr int64_t kTicksPerMinute = 600'000'000;
constexpr int64_t kTicksPerMs = 10'000;
constexpr int64_t kMsPerDay = 86'400'000;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDays1601 = 134'774;

// The offset of local time from UTC now, in 100 ns ticks, whole minutes.
int64_t CurrentOffsetTicks() {
  const orvela::Clock& clock = orvela::SystemClock();
  const double minutes = (clock.Now() - clock.NowUtc()) * 1440.0;
  return static_cast<int64_t>(std::llround(minutes)) * kTicksPerMinute;
}

// Days since 1970-01-01 to a civil date and back (proleptic Gregorian).
void CivilFromDays(int64_t z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yoe + era * 400) + (m <= 2);
}

int64_t DaysFromCivil(int y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CopyName(WCHAR* out, const char* name) {
  const std::u16string wide = orvela::Utf8ToUtf16(name ? name : "");
  const size_t n = std::min<size_t>(wide.size(), 31);
  std::memcpy(out, wide.data(), n * sizeof(WCHAR));
  out[n] = 0;
}

// The transition at local time tm (before the change) in the recurring form.
SYSTEMTIME RecurringDate(const std::tm& tm) {
  SYSTEMTIME st{};
  st.wMonth = static_cast<WORD>(tm.tm_mon + 1);
  st.wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  static constexpr int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool last = tm.tm_mday + 7 > kMonthDays[tm.tm_mon] - (tm.tm_mon == 1 && (tm.tm_year % 4) != 0);
  st.wDay = static_cast<WORD>(last ? 5 : (tm.tm_mday - 1) / 7 + 1);
  st.wHour = static_cast<WORD>(tm.tm_hour);
  st.wMinute = static_cast<WORD>(tm.tm_min);
  return st;
}

}  // namespace

DWORD GetLastError() {
  return tLastError;
}
void SetLastError(DWORD dwErrCode) {
  tLastError = dwErrCode;
}

DWORD FormatMessageW(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPWSTR lpBuffer, DWORD nSize, void*) {
  if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) ||
      (dwFlags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) || !lpBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* text = FindMessage(dwMessageId);
  if (!text) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  std::u16string wide = orvela::Utf8ToUtf16(text);
  if ((dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != FORMAT_MESSAGE_MAX_WIDTH_MASK) wide += u"\r\n";
  const size_t needed = wide.size() + 1;
  LPWSTR out = lpBuffer;
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    out = static_cast<LPWSTR>(orvela::ComAlloc(std::max<size_t>(needed, nSize) * sizeof(WCHAR)));
    if (!out) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    *reinterpret_cast<LPWSTR*>(lpBuffer) = out;
  } else if (nSize < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(out, wide.data(), wide.size() * sizeof(WCHAR));
  out[wide.size()] = 0;
  return static_cast<DWORD>(wide.size());
}

DWORD GetTickCount() {
  return static_cast<DWORD>(orvela::SystemClock().TickMs());
}

void GetSystemTimeAsFileTime(FILETIME* lpSystemTimeAsFileTime) {
  if (lpSystemTimeAsFileTime)
    *lpSystemTimeAsFileTime = orvela::UtcDateTimeToFileTime(orvela::SystemClock().NowUtc());
}

BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, FILETIME* lpLocalFileTime) {
  if (!lpFileTime || !lpLocalFileTime) return FALSE;
  *lpLocalFileTime = orvela::Int64ToFileTime(orvela::FileTimeToInt64(*lpFileTime) + CurrentOffsetTicks());
  return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, FILETIME* lpFileTime) {
  if (!lpFileTime || !lpLocalFileTime) return FALSE;
  *lpFileTime = orvela::Int64ToFileTime(orvela::FileTimeToInt64(*lpLocalFileTime) - CurrentOffsetTicks());
  return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, SYSTEMTIME* lpSystemTime) {
  if (!lpFileTime || !lpSystemTime) return FALSE;
  const int64_t ticks = orvela::FileTimeToInt64(*lpFileTime);
  if (ticks < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const int64_t ms = ticks / kTicksPerMs;
  const int64_t days = ms / kMsPerDay;
  int64_t rest = ms % kMsPerDay;
  int y;
  unsigned m, d;
  CivilFromDays(days - kEpochDays1601, y, m, d);
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(y);
  st.wMonth = static_cast<WORD>(m);
  st.wDay = static_cast<WORD>(d);
  st.wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
  st.wHour = static_cast<WORD>(rest / 3'600'000);
  rest %= 3'600'000;
  st.wMinute = static_cast<WORD>(rest / 60'000);
  rest %= 60'000;
  st.wSecond = static_cast<WORD>(rest / 1000);
  st.wMilliseconds = static_cast<WORD>(rest % 1000);
  *lpSystemTime = st;
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, FILETIME* lpFileTime) {
  if (!lpSystemTime || !lpFileTime) return FALSE;
  const SYSTEMTIME& st = *lpSystemTime;
  if (st.wYear < 1601 || st.wYear > 30827 || !orvela::IsValidDate(st.wYear, st.wMonth, st.wDay) ||
      st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 || st.wMilliseconds > 999) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) + kEpochDays1601;
  const int64_t ms = days * kMsPerDay + st.wHour * 3'600'000LL + st.wMinute * 60'000LL + st.wSecond * 1000LL +
                     st.wMilliseconds;
  *lpFileTime = orvela::Int64ToFileTime(ms * kTicksPerMs);
  return TRUE;
}

DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* tzi) {
  if (!tzi) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return TIME_ZONE_ID_INVALID;
  }
  *tzi = TIME_ZONE_INFORMATION{};
  tzset();
  const int year = orvela::SystemClock().Now() >= 0
                       ? orvela::DateTimeToSystemTime(orvela::SystemClock().Now()).wYear
                       : 1970;
  // Walk the year hour by hour: the first hour in each state gives the offsets, a change of state a
  // transition.
  const time_t start = static_cast<time_t>(DaysFromCivil(year, 1, 1) * 86400);
  const time_t end = static_cast<time_t>(DaysFromCivil(year + 1, 1, 1) * 86400);
  std::tm prev{};
  localtime_r(&start, &prev);
  long stdOffset = prev.tm_isdst > 0 ? LONG_MIN : prev.tm_gmtoff;
  long dstOffset = prev.tm_isdst > 0 ? prev.tm_gmtoff : LONG_MIN;
  bool sawDst = prev.tm_isdst > 0;
  for (time_t t = start + 3600; t < end; t += 3600) {
    std::tm cur{};
    localtime_r(&t, &cur);
    if ((cur.tm_isdst > 0) != (prev.tm_isdst > 0)) {
      // Local time just before the change, in the clock that was then in force, rounded to the hour.
      const time_t before = t - 3600;
      std::tm at{};
      localtime_r(&before, &at);
      at.tm_hour = (at.tm_hour + 1) % 24;
      if (cur.tm_isdst > 0)
        tzi->DaylightDate = RecurringDate(at);
      else
        tzi->StandardDate = RecurringDate(at);
    }
    if (cur.tm_isdst > 0) {
      sawDst = true;
      if (dstOffset == LONG_MIN) dstOffset = cur.tm_gmtoff;
    } else if (stdOffset == LONG_MIN) {
      stdOffset = cur.tm_gmtoff;
    }
    prev = cur;
  }
  if (stdOffset == LONG_MIN) stdOffset = dstOffset;
  tzi->Bias = static_cast<LONG>(-stdOffset / 60);
  CopyName(tzi->StandardName, tzname[0]);
  CopyName(tzi->DaylightName, tzname[1]);
  if (!sawDst) {
    tzi->DaylightDate = SYSTEMTIME{};
    tzi->StandardDate = SYSTEMTIME{};
    return TIME_ZONE_ID_UNKNOWN;
  }
  tzi->DaylightBias = static_cast<LONG>(-(dstOffset - stdOffset) / 60);
  const time_t now =
      static_cast<time_t>(std::llround((orvela::SystemClock().NowUtc() - orvela::kUnixEpochDays) * 86400.0));
  std::tm nowTm{};
  localtime_r(&now, &nowTm);
  return nowTm.tm_isdst > 0 ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

LCID GetUserDefaultLCID() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return std::string_view(value).substr(0, 2) == "ru" ? 0x0419 : 0x0409;
  }
  return 0x0409;
}
