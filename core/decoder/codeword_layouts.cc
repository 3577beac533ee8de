#include "core/decoder/codeword_layouts.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace tembrolexinsdk {
namespace {

constexpr int64_t kDayMs = 86400000;
constexpr int64_t kCounterMask = 0x1fffff;

int64_t floorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

int64_t floorMod(int64_t a, int64_t b) { return a - floorDiv(a, b) * b; }

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = floorDiv(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civilFromDays(int64_t z, int64_t* y, int64_t* m, int64_t* d) {
  z += 719468;
  const int64_t era = floorDiv(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = yoe + era * 400 + (*m <= 2);
}

// Durations beyond about 35 years are refused so that period lengths of up to
// 2^21 durations cannot overflow.
bool validDuration(int64_t d) { return d > 0 && d <= (int64_t{1} << 40); }

bool validTime(int64_t t) { return t >= -kMaxTimeMs && t <= kMaxTimeMs; }

// Message type -> field kinds (A, B).
constexpr int32_t kTypeKinds[6][2] = {{1, 0}, {2, 0}, {3, 0}, {3, 2}, {2, 1}, {2, 5}};

}  // namespace

int64_t getVorselBaseTime() { return kVorselBaseTimeSeconds; }

int32_t encScheme2DefaultMsgAlgoDecoder(int32_t scheme) {
  switch (scheme) {
    case kSchemeVorselC:
      return kMsgAlgoVorsel;
    case kSchemeConsumerS4:
      return kMsgAlgoHeartbeat;
    case kSchemeVorselT:
    case kSchemeVorselTW:
      return kMsgAlgoVorselTv;
    case kSchemeConsumerH8:
      return kMsgAlgoEventEngine2;
    default:
      return kMsgAlgoPlain;
  }
}

int32_t msgAlgo2DefaultEncScheme(int32_t algorithm) {
  switch (algorithm) {
    case kMsgAlgoVorsel:
      return kSchemeVorselC;
    case kMsgAlgoHeartbeat:
      return kSchemeConsumerS4;
    case kMsgAlgoVorselTv:
      return kSchemeVorselT;
    default:
      return kSchemeConsumerH8;
  }
}

int64_t schemeCodewordDurationMs(const SchemeConfig* scheme) {
  if (scheme == nullptr) return 0;
  return static_cast<int64_t>(schemeFramesPerCodeword(scheme)) * scheme->symbolDuration / 4;
}

// ---- heartbeat ----

int64_t createHeartBeat2CodeWord(int32_t station, int32_t counter) {
  return (static_cast<int64_t>(station & 0x7ff) << 21) | (counter & kCounterMask);
}

int64_t createHeartbeatCodeWord(int32_t station, int32_t counter) {
  return createHeartBeat2CodeWord(station, counter);
}

void interpretHeartbeat2CodeWord(int64_t word, int32_t* station, int32_t* counter) {
  if (station != nullptr) *station = static_cast<int32_t>((word >> 21) & 0x7ff);
  if (counter != nullptr) *counter = static_cast<int32_t>(word & kCounterMask);
}

int64_t getNextHeartbeat2CodeWord(int64_t word, int32_t step) {
  int32_t station = 0, counter = 0;
  interpretHeartbeat2CodeWord(word, &station, &counter);
  return createHeartBeat2CodeWord(station, static_cast<int32_t>((int64_t{counter} + step) & kCounterMask));
}

// ---- Vorsel TV ----

int64_t createVorselTvCodeWord(int32_t id, int32_t counter) {
  return (static_cast<int64_t>(id & 0x7ffff) << 21) | (counter & kCounterMask);
}

void interpretVorselTvCodeWord(int64_t word, int32_t* id, int32_t* counter) {
  if (id != nullptr) *id = static_cast<int32_t>((word >> 21) & 0x7ffff);
  if (counter != nullptr) *counter = static_cast<int32_t>(word & kCounterMask);
}

int64_t getNextVorselTvCodeWord(int64_t word, int32_t step) {
  return (word & (int64_t{0x7ffff} << 21)) | (((word & kCounterMask) + step) & kCounterMask);
}

// ---- event-engine-2 ----

int64_t createEventEngine2CodeWord(int32_t track, int32_t offset) {
  return kEventEngine2Marker | (static_cast<int64_t>(track & 0x3fff) << 11) | (offset & 0x7ff);
}

void interpretEventEngine2CodeWord(int64_t word, int32_t* track, int32_t* offset) {
  const int64_t rest = word - kEventEngine2Marker;
  if (track != nullptr) *track = static_cast<int32_t>((rest >> 11) & 0x3fff);
  if (offset != nullptr) *offset = static_cast<int32_t>(rest & 0x7ff);
}

int64_t getNextEventEngine2CodeWord(int64_t word, int32_t step) {
  int32_t track = 0, offset = 0;
  interpretEventEngine2CodeWord(word, &track, &offset);
  return createEventEngine2CodeWord(track, static_cast<int32_t>((int64_t{offset} + step) & 0x7ff));
}

// ---- Vorsel message words ----

void getMsgFieldKinds(int32_t type, int32_t* kindA, int32_t* kindB) {
  const bool valid = type >= 0 && type <= 5;
  if (kindA != nullptr) *kindA = valid ? kTypeKinds[type][0] : kFieldNone;
  if (kindB != nullptr) *kindB = valid ? kTypeKinds[type][1] : kFieldNone;
}

int32_t getMsgFields(int64_t word, int32_t* kinds, int32_t* fields) {
  const int64_t wide = word >> 20;
  const int32_t type = wide > INT32_MAX ? INT32_MAX : (wide < INT32_MIN ? INT32_MIN : static_cast<int32_t>(wide));
  if (kinds != nullptr) getMsgFieldKinds(type, &kinds[0], &kinds[1]);
  if (fields != nullptr) {
    fields[0] = static_cast<int32_t>((word >> 10) & 0x3ff);
    fields[1] = static_cast<int32_t>(word & 0x3ff);
  }
  return type;
}

VorselCodewordFields interpretVorselCodeWord(int64_t word, int32_t podcastMode) {
  VorselCodewordFields f{-1, -1, -1, -1, -1, -1, 1, 0};
  int32_t kinds[2], fields[2];
  f.type = getMsgFields(word, kinds, fields);
  for (int i = 0; i < 2; ++i) {
    switch (kinds[i]) {
      case kFieldMinutesLow:
        f.minutesLow = fields[i];
        break;
      case kFieldMinutesHighOrPodcastLow:
      case kFieldMinutesHighOrPodcastLow4:
        if (podcastMode) {
          f.podcastLow = fields[i];
        } else {
          f.minutesHigh = fields[i];
        }
        break;
      case kFieldStationLow:
        f.stationLow = fields[i];
        break;
      case kFieldStationHigh:
        f.stationHigh = fields[i];
        break;
      case kFieldPodcastHigh:
        if (podcastMode) {
          f.podcastHigh = fields[i];
        } else {
          f.valid = 0;
        }
        break;
      default:
        f.valid = 0;
        break;
    }
  }
  return f;
}

int32_t getStationMask(int32_t type, int32_t station, int64_t* value, int64_t* mask) {
  int64_t v = 0, mk = 0;
  int32_t ok = 0;
  if (type >= 0 && type <= 15) {
    v = static_cast<int64_t>(type) << 20;
    mk = 0xF00000;
    if (type <= 5) {
      ok = 1;
      for (int i = 0; i < 2; ++i) {
        const int32_t kind = kTypeKinds[type][i];
        if (kind != kFieldStationLow && kind != kFieldStationHigh) continue;
        const int64_t field = kind == kFieldStationLow ? (station & 0x3ff) : ((station >> 10) & 0x3ff);
        v |= i == 0 ? field << 10 : field;
        mk |= i == 0 ? 0xFFC00 : 0x3FF;
      }
    }
  }
  if (value != nullptr) *value = v;
  if (mask != nullptr) *mask = mk;
  return ok;
}

// ---- calendar ----

int64_t utcDayStart(int64_t t) { return floorDiv(t, kDayMs) * kDayMs; }

int64_t utcWeekStart(int64_t t) {
  const int64_t days = floorDiv(t, kDayMs);
  // 1970-01-01 was a Thursday: days since Monday = (days + 3) mod 7, so a
  // Sunday is day 7 of its week.
  return (days - floorMod(days + 3, 7)) * kDayMs;
}

int64_t utcMonthStart(int64_t t) {
  int64_t y, m, d;
  civilFromDays(floorDiv(t, kDayMs), &y, &m, &d);
  return daysFromCivil(y, m, 1) * kDayMs;
}

int64_t utcQuarterStart(int64_t t) {
  int64_t y, m, d;
  civilFromDays(floorDiv(t, kDayMs), &y, &m, &d);
  return daysFromCivil(y, (m - 1) / 3 * 3 + 1, 1) * kDayMs;
}

int64_t utcYearStart(int64_t t) {
  int64_t y, m, d;
  civilFromDays(floorDiv(t, kDayMs), &y, &m, &d);
  return daysFromCivil(y, 1, 1) * kDayMs;
}

int64_t utcAddMonths(int64_t monthStart, int32_t months) {
  const int64_t days = floorDiv(monthStart, kDayMs);
  const int64_t rest = monthStart - days * kDayMs;
  int64_t y, m, d;
  civilFromDays(days, &y, &m, &d);
  const int64_t index = y * 12 + (m - 1) + months;
  return daysFromCivil(floorDiv(index, 12), floorMod(index, 12) + 1, d) * kDayMs + rest;
}

// ---- times ----

int64_t getVorselTvStartTime(int64_t word, int32_t* id, int64_t now, int64_t durationMs) {
  int32_t counter = 0;
  interpretVorselTvCodeWord(word, id, &counter);
  if (!validDuration(durationMs) || !validTime(now)) return -1;
  const int64_t period = durationMs << 21;
  const int64_t first = kVorselBaseTimeMs + counter * durationMs;
  return first + floorDiv(now - first, period) * period;
}

int64_t getHeartbeat2CodeWordTime(int64_t word, int32_t* station, int64_t now,
                                  int64_t durationMs) {
  int32_t counter = 0;
  interpretHeartbeat2CodeWord(word, station, &counter);
  if (!validDuration(durationMs) || !validTime(now)) return -1;
  int64_t start;
  if (counter >= kHeartbeatDayCounter) {
    start = utcDayStart(now);
    counter -= kHeartbeatDayCounter;
  } else if (counter >= kHeartbeatWeekCounter) {
    start = utcWeekStart(now);
    counter -= kHeartbeatWeekCounter;
  } else if (counter >= kHeartbeatMonthCounter) {
    start = utcMonthStart(now);
    counter -= kHeartbeatMonthCounter;
  } else {
    start = utcYearStart(now);
  }
  return start + counter * durationMs;
}

int64_t getCodewordStartTime(int32_t scheme, int64_t word, int32_t* id, int64_t now,
                             int64_t durationMs) {
  switch (scheme) {
    case kSchemeVorselT:
    case kSchemeVorselTW:
      return getVorselTvStartTime(word, id, now, durationMs);
    case kSchemeConsumerS4:
      return getHeartbeat2CodeWordTime(word, id, now, durationMs);
    default:
      return -1;
  }
}

int32_t getCodewordDateStr(int64_t time, int32_t algorithm, int32_t periodKind, char* text,
                           int32_t size) {
  if (text == nullptr || size < 1) return 0;
  const char* format = "%d/%m/%Y %H:%M:%S";
  if (algorithm == kMsgAlgoEventEngine2) {
    format = "%H:%M:%S";
  } else if (algorithm == kMsgAlgoHeartbeat) {
    switch (periodKind) {
      case kPeriodDay:
        format = "%H:%M:%S";
        break;
      case kPeriodWeek:
        format = "%a %H:%M:%S";
        break;
      case kPeriodMonth:
        format = "%d %H:%M:%S";
        break;
      case kPeriodYear:
        format = "%d/%m (day %j) %H:%M:%S";
        break;
      default:
        break;
    }
  }
  const int64_t seconds = floorDiv(time, 1000);
  const int32_t millis = static_cast<int32_t>(floorMod(time, 1000));
  char date[128];
  size_t dateLength = 0;
  const std::time_t when = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (gmtime_r(&when, &parts) != nullptr) {
    dateLength = std::strftime(date, sizeof(date), format, &parts);
  }
  const int32_t room = size - 5 > 0 ? size - 5 : 0;
  if (dateLength > static_cast<size_t>(room)) dateLength = room;
  std::memcpy(text, date, dateLength);
  text[dateLength] = '\0';
  const int32_t left = size - static_cast<int32_t>(dateLength);
  const int written = std::snprintf(text + dateLength, left, ".%03d", millis);
  const int32_t tail = written < 0 ? 0 : (written < left ? written : left - 1);
  return static_cast<int32_t>(dateLength) + tail;
}

}  // namespace tembrolexinsdk
