#pragma once
// The system services the servers ask of Windows besides COM: message texts, the last-error slot, ticks,
// system time and the time zone. Times come from the process Clock, so tests can pin them.
#include "platform/com/ComTypes.h"

enum : DWORD {
  FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x0100,
  FORMAT_MESSAGE_IGNORE_INSERTS = 0x0200,
  FORMAT_MESSAGE_FROM_STRING = 0x0400,
  FORMAT_MESSAGE_FROM_HMODULE = 0x0800,
  FORMAT_MESSAGE_FROM_SYSTEM = 0x1000,
  FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x2000,
  FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x00FF,
};

// Texts of the built-in system table (HRESULTs of facility WIN32 find their Win32 code's text), ending in
// "\r\n" like the system's. Returns the characters written without the terminating zero; 0 when the code is
// unknown (last error ERROR_MR_MID_NOT_FOUND) or the buffer too small (ERROR_INSUFFICIENT_BUFFER).
// With FORMAT_MESSAGE_ALLOCATE_BUFFER, lpBuffer is an LPWSTR* that receives memory for LocalFree.
DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                     DWORD nSize, void* Arguments);

DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

// Milliseconds of the process clock, wrapping at 2^32 as the system's do.
DWORD GetTickCount();
void GetSystemTimeAsFileTime(FILETIME* lpSystemTimeAsFileTime);
// Converted with the offset in force now, whatever the date converted (as Windows does).
BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, FILETIME* lpLocalFileTime);
BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, FILETIME* lpFileTime);
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, SYSTEMTIME* lpSystemTime);
BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, FILETIME* lpFileTime);

struct TIME_ZONE_INFORMATION {
  LONG Bias;  // minutes: UTC = local + Bias
  WCHAR StandardName[32];
  SYSTEMTIME StandardDate;
  LONG StandardBias;
  WCHAR DaylightName[32];
  SYSTEMTIME DaylightDate;
  LONG DaylightBias;
};
enum : DWORD {
  TIME_ZONE_ID_UNKNOWN = 0,
  TIME_ZONE_ID_STANDARD = 1,
  TIME_ZONE_ID_DAYLIGHT = 2,
  TIME_ZONE_ID_INVALID = 0xFFFFFFFF,
};
// The C library's zone (TZ respected) for the clock's current year. Transition dates use the recurring
// form: wYear 0, wDay the week of the month (5 = last), wDayOfWeek the weekday.
DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* lpTimeZoneInformation);

inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
inline constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
// 0x0419 (Russian) when LANG names Russian, otherwise 0x0409 (English, United States).
LCID GetUserDefaultLCID();
