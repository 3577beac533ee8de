#include "core/runtime/time_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <locale.h>
#include <stdlib.h>

namespace tembrolexin {

namespace {

// Breaks `seconds` down in local time or UTC; false when the C library cannot
// represent it.
bool breakDown(int64_t seconds, bool local, std::tm* out) {
  const time_t t = static_cast<time_t>(seconds);
  if (static_cast<int64_t>(t) != seconds) return false;
  return (local ? localtime_r(&t, out) : gmtime_r(&t, out)) != nullptr;
}

void appendNumber(std::string& out, long long value, int width) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%0*lld", width, value);
  out += buf;
}

void appendDirective(std::string& out, char directive, const std::tm& tm) {
  const long long year = static_cast<long long>(tm.tm_year) + 1900;
  switch (directive) {
    case 'H':
      appendNumber(out, tm.tm_hour, 2);
      break;
    case 'M':
      appendNumber(out, tm.tm_min, 2);
      break;
    case 'S':
      appendNumber(out, tm.tm_sec, 2);
      break;
    case 'd':
      appendNumber(out, tm.tm_mday, 2);
      break;
    case 'm':
      appendNumber(out, tm.tm_mon + 1, 2);
      break;
    case 'Y':
      appendNumber(out, year, 4);
      break;
    case 'y':
      appendNumber(out, ((year % 100) + 100) % 100, 2);
      break;
    case 'n':
      out += '\n';
      break;
    case 't':
      out += '\t';
      break;
    default:
      out += '?';
      break;
  }
}

std::string formatBrokenDown(const std::string& format, const std::tm& tm) {
  std::string out;
  size_t pos = format.find('%');
  out.append(format, 0, pos);
  if (pos == std::string::npos) return out;
  while (pos + 1 < format.size()) {
    const size_t directive = pos + 1;
    appendDirective(out, format[directive], tm);
    // Searching from the directive itself: in "%%" the second "%" both is the
    // (unknown) directive and starts the next one.
    const size_t next = format.find('%', directive);
    if (next == std::string::npos) {
      out.append(format, directive + 1, std::string::npos);
      break;
    }
    if (next > directive) out.append(format, directive + 1, next - directive - 1);
    pos = next;
  }
  return out;
}

std::string formatMillis(int64_t ms, const std::string& format, TimeUtilities::DateFormat df) {
  std::tm tm{};
  if (!breakDown(ms / 1000, df == TimeUtilities::kLocalTime, &tm)) return std::string();
  return formatBrokenDown(format, tm);
}

bool isLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Leap years in 1 .. year (year may be negative: floor division).
int64_t leapYearsUpTo(int64_t year) {
  auto floorDiv = [](int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
  };
  return floorDiv(year, 4) - floorDiv(year, 100) + floorDiv(year, 400);
}

int64_t utcSeconds(const std::tm& tm) {
  static const int kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const int64_t year = static_cast<int64_t>(tm.tm_year) + 1900;
  const int mon = tm.tm_mon >= 0 && tm.tm_mon < 12 ? tm.tm_mon : 0;
  int64_t days = 365 * (year - 1970) + (leapYearsUpTo(year - 1) - leapYearsUpTo(1969));
  days += kDaysBeforeMonth[mon] + ((mon > 1 && isLeapYear(year)) ? 1 : 0);
  days += tm.tm_mday - 1;
  return days * 86400 + tm.tm_hour * 3600LL + tm.tm_min * 60LL + tm.tm_sec;
}

}  // namespace

std::string TimeUtilities::timeStringFromMilliseconds(int64_t ms, TimeFormat format) {
  const int64_t hours = ms / 3600000;
  const int64_t days = ms / 86400000;
  const int64_t minutes = (ms - hours * 3600000) / 60000;
  const int64_t rest = ms - hours * 3600000 - minutes * 60000;
  std::string out;
  appendNumber(out, hours - 24 * days, 2);
  out += ':';
  appendNumber(out, minutes, 2);
  out += ':';
  appendNumber(out, rest / 1000, 2);
  if (format == kWithMilliseconds) {
    out += '.';
    appendNumber(out, rest % 1000, 3);
  }
  return out;
}

std::string TimeUtilities::dateStringFromMilliseconds(int64_t msSinceEpoch, DateFormat format) {
  return formatMillis(msSinceEpoch, "%Y%m%d", format);
}

std::string TimeUtilities::formatIntoString(std::chrono::system_clock::time_point time,
                                            const std::string& format, DateFormat dateFormat) {
  const int64_t micros =
      std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
  return formatMillis(micros / 1000, format, dateFormat);
}

std::string TimeUtilities::formatIntoString(int64_t msSinceEpoch, const std::string& format,
                                            DateFormat dateFormat) {
  return formatMillis(msSinceEpoch, format, dateFormat);
}

int64_t TimeUtilities::stringToUTCTime(const std::string& text) {
  std::tm tm{};
  strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
  return static_cast<int64_t>(timegm(&tm));
}

size_t strftime_t2(char* buffer, size_t size, const char* format, time_t t, bool local) {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  std::tm tm{};
  if (!breakDown(static_cast<int64_t>(t), local, &tm)) return 0;
  return std::strftime(buffer, size, format != nullptr ? format : "%d/%m/%Y %H:%M:%S", &tm);
}

const char* strptime_t2(const char* text, const char* format, time_t* out, bool local) {
  if (text == nullptr || out == nullptr) return nullptr;
  static const char* const kFormats[] = {"%d/%m/%Y %H:%M:%S", "%d/%m/%Y %H:%M", "%d/%m/%Y %H",
                                         "%d/%m/%Y",          "%m/%Y",          "%Y"};
  std::tm tm{};
  const char* end = nullptr;
  if (format != nullptr) {
    tm.tm_mday = 1;
    end = strptime(text, format, &tm);
  } else {
    for (const char* f : kFormats) {
      tm = std::tm{};
      tm.tm_mday = 1;
      end = strptime(text, f, &tm);
      if (end != nullptr) break;
    }
  }
  if (end == nullptr) return nullptr;
  if (local) {
    tm.tm_isdst = -1;
    *out = mktime(&tm);
  } else {
    *out = static_cast<time_t>(utcSeconds(tm));
  }
  return end;
}

namespace {

// strtod in the "C" locale: time texts write "." as the decimal point
// whatever locale the host program installed.
double strtodC(const char* text) {
  static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
  return strtod_l(text, nullptr, cLocale);
}

}  // namespace

float convertTimeSeconds(const char* text) {
  if (text == nullptr) return 0.0f;
  const char* last = std::strrchr(text, ':');
  if (last == nullptr) return static_cast<float>(strtodC(text));
  const double seconds = strtodC(last + 1);
  const char* earlier = nullptr;
  for (const char* p = text; p < last; ++p) {
    if (*p == ':') earlier = p;
  }
  if (earlier != nullptr) {
    const double hours = std::atoi(text);
    const double minutes = std::atoi(earlier + 1);
    return static_cast<float>(seconds + (minutes + hours * 60) * 60);
  }
  return static_cast<float>(seconds + std::atoi(text) * 60.0);
}

uint32_t convertTimeMs(const char* text) {
  // The product is taken in single precision, like the seconds themselves:
  // 0.7 s is 0.69999999 as a float, and widening it first would give 699 ms.
  const float ms = convertTimeSeconds(text) * 1000.0f;
  if (std::isnan(ms) || ms <= 0.0f) return 0;
  if (ms >= 4294967296.0f) return 4294967295u;
  return static_cast<uint32_t>(ms);
}

char* getDisplayTimeMs(char* buffer, int64_t msSinceEpoch, bool withDate, bool withMs) {
  if (buffer == nullptr) return nullptr;
  int64_t seconds = msSinceEpoch / 1000;
  int64_t millis = msSinceEpoch % 1000;
  if (millis < 0) {
    millis += 1000;
    seconds -= 1;
  }
  buffer[0] = '\0';
  std::tm tm{};
  if (!breakDown(seconds, false, &tm)) return buffer;
  size_t len = std::strftime(buffer, kDisplayTimeBufferSize,
                             withDate ? "%d/%m/%Y %H:%M:%S" : "%H:%M:%S", &tm);
  if (withMs && len < kDisplayTimeBufferSize) {
    std::snprintf(buffer + len, kDisplayTimeBufferSize - len, ".%03d", static_cast<int>(millis));
  }
  return buffer;
}

}  // namespace tembrolexin
