// Conversions between times and text.
//
// `TimeUtilities`: durations as clock text, dates as digits, a small
// formatter of its own (directives %H %M %S %d %m %Y %y %n %t; anything else
// gives "?"), and parsing of database-style date texts. The free functions
// below are fixed-format helpers over the C library's strftime and strptime
// and parsers of colon-separated durations; they never throw.
//
// Times are int64 milliseconds since the Unix epoch (or a system-clock time
// point, or a 64-bit `time_t` in seconds): dates after 2038 work.
//
// Thread safety: every function may be called from any thread (they use the
// re-entrant *_r forms of the C library). Local-time conversions follow TZ.
#ifndef TL_CORE_RUNTIME_TIME_TEXT_H_
#define TL_CORE_RUNTIME_TIME_TEXT_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace tembrolexin {

class TimeUtilities {
 public:
  // 1 means with milliseconds; any other value means without.
  enum TimeFormat : int { kWithoutMilliseconds = 0, kWithMilliseconds = 1 };
  // 1 means local time; any other value means UTC.
  enum DateFormat : int { kUTC = 0, kLocalTime = 1 };

  // "HH:MM:SS" (hours wrap at 24, days are dropped), with kWithMilliseconds
  // followed by ".mmm".
  static std::string timeStringFromMilliseconds(int64_t ms, TimeFormat format);
  // "YYYYMMDD" of the day holding `msSinceEpoch`.
  static std::string dateStringFromMilliseconds(int64_t msSinceEpoch, DateFormat format);
  // The own formatter over `format`. Times that cannot be broken down (beyond
  // the C library's range) give the empty text.
  static std::string formatIntoString(std::chrono::system_clock::time_point time,
                                      const std::string& format, DateFormat dateFormat);
  static std::string formatIntoString(int64_t msSinceEpoch, const std::string& format,
                                      DateFormat dateFormat);
  // Parses "%Y-%m-%d %H:%M:%S" as UTC; fields that the text does not supply
  // stay 0. Seconds since the epoch.
  static int64_t stringToUTCTime(const std::string& text);
};

// strftime of `t` with `format` (null: "%d/%m/%Y %H:%M:%S"), broken down in
// local time when `local` is set, else in UTC. Returns the characters written
// (0 when they do not fit, for a null or empty buffer, or when `t` cannot be
// broken down; the buffer then holds the empty text if it has room).
size_t strftime_t2(char* buffer, size_t size, const char* format, time_t t, bool local);

// Parses `text` with `format`, or for a null format with the first of
// "%d/%m/%Y %H:%M:%S", "%d/%m/%Y %H:%M", "%d/%m/%Y %H", "%d/%m/%Y", "%m/%Y",
// "%Y" that parses. Fields not in the format are midnight of the first day of
// the month (or of January). The time goes to `*out` (local time through
// mktime when `local` is set, else UTC). Returns the position after the parsed
// text, or null when nothing parses or `text` or `out` is null.
const char* strptime_t2(const char* text, const char* format, time_t* out, bool local);

// "S", "M:S" or "H:M:S" (seconds may have a fraction) as seconds. Null: 0.
float convertTimeSeconds(const char* text);
// convertTimeSeconds × 1000, truncated; clamped to 0 .. 4294967295 (NaN: 0).
uint32_t convertTimeMs(const char* text);

// Writes "DD/MM/YYYY HH:MM:SS" (withDate) or "HH:MM:SS" in UTC, then with
// withMs ".mmm", into `buffer`, which must hold at least
// kDisplayTimeBufferSize bytes. Returns `buffer` (null for a null buffer).
constexpr size_t kDisplayTimeBufferSize = 100;
char* getDisplayTimeMs(char* buffer, int64_t msSinceEpoch, bool withDate, bool withMs);

}  // namespace tembrolexin

#endif  // TL_CORE_RUNTIME_TIME_TEXT_H_
