#include "core/decoder/message_generator.h"

namespace tembrolexinsdk {
namespace {

constexpr int64_t kDayMs = 86400000;

int64_t floorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

bool validDuration(int64_t d) { return d > 0 && d <= (int64_t{1} << 40); }

// Latest origin + j × period not after t.
int64_t alignDown(int64_t t, int64_t origin, int64_t period) {
  return origin + floorDiv(t - origin, period) * period;
}

void setQueue(MessageGeneratorState* s, const int32_t* values, int count, int32_t rest) {
  for (int i = 0; i < kMessageQueueLength; ++i) {
    s->messageQueue[i] = i < count ? values[i] : (i == count ? -1 : rest);
  }
}

bool podcastMode(const MessageGeneratorState* s) { return s->podcastId != kNoPodcastId; }

// Counter base of a period kind; false without params or for a kind
// outside 1 … 5.
bool counterBase(const MessageGeneratorState* s, int32_t kind, int64_t* base) {
  if (s->messageParams == nullptr || kind < kPeriodDay || kind > kPeriodYear) return false;
  *base = s->messageParams->counterBase[kind];
  return true;
}

int32_t vorselField(const MessageGeneratorState* s, int32_t kind, int64_t minutes) {
  const uint32_t podcast = s->podcastId;
  switch (kind) {
    case kFieldMinutesLow:
      return static_cast<int32_t>(minutes & 0x3ff);
    case kFieldMinutesHighOrPodcastLow:
    case kFieldMinutesHighOrPodcastLow4:
      return podcastMode(s) ? static_cast<int32_t>(podcast & 0x3ff)
                            : static_cast<int32_t>((minutes >> 10) & 0x3ff);
    case kFieldStationLow:
      return s->id & 0x3ff;
    case kFieldStationHigh:
      return (s->id >> 10) & 0x3ff;
    case kFieldPodcastHigh:
      return static_cast<int32_t>((podcast >> 10) & 0x3ff);  // all ones when unset
    default:
      return 0;
  }
}

}  // namespace

int32_t msgGeneratorInit(MessageGeneratorState* state, const MessageParams* params,
                         const SchemeConfig* scheme) {
  if (state == nullptr) return -1;
  state->id = 0;
  state->podcastId = kNoPodcastId;
  state->cycleKind = 0;
  state->messageParams = params;
  state->scheme = scheme;
  for (int32_t& q : state->messageQueue) q = -1;
  const int32_t id = scheme != nullptr ? scheme->scheme : -1;
  switch (id) {
    case kSchemeVorselC: {
      static const int32_t kCycle[4] = {1, 3, 1, 4};
      state->algorithm = kMsgAlgoVorsel;
      setQueue(state, kCycle, 4, 0);
      break;
    }
    case kSchemeVorselT:
    case kSchemeVorselTW:
      state->algorithm = kMsgAlgoVorselTv;
      break;
    case kSchemeConsumerS4:
      state->algorithm = kMsgAlgoHeartbeat;
      state->cycleKind =
          params != nullptr ? static_cast<int32_t>(params->heartBeatCycle) : kPeriodYear;
      break;
    default:
      state->algorithm = kMsgAlgoPlain;
      break;
  }
  return 0;
}

void setToHeartBeat(MessageGeneratorState* state, int32_t cycleKind) {
  if (state == nullptr) return;
  state->algorithm = kMsgAlgoHeartbeat;
  state->cycleKind = cycleKind;
}

void setToPodCast(MessageGeneratorState* state, uint32_t podcastId) {
  if (state == nullptr) return;
  static const int32_t kCycle[4] = {4, 5, 1, 3};
  state->podcastId = podcastId;
  setQueue(state, kCycle, 4, -1);
}

void clearMsgQueue(MessageGeneratorState* state) {
  if (state == nullptr || state->algorithm == kMsgAlgoVorsel) return;
  for (int32_t& q : state->messageQueue) q = -1;
}

int32_t anyMessagesInQueue(const MessageGeneratorState* state) {
  if (state == nullptr) return 0;
  for (int32_t q : state->messageQueue) {
    if (q != -1) return 1;
  }
  return 0;
}

int64_t generatorCodewordDurationMs(const MessageGeneratorState* state) {
  return state != nullptr ? schemeCodewordDurationMs(state->scheme) : 0;
}

int32_t getPeriodBounds(const MessageGeneratorState* state, int64_t t, int64_t* start,
                        int64_t* end) {
  if (state == nullptr) return 0;
  const int64_t d = generatorCodewordDurationMs(state);
  if (!validDuration(d) || t < -kMaxTimeMs || t > kMaxTimeMs) return 0;
  int64_t s = 0;
  int64_t e = kNoPeriodEnd;
  switch (state->algorithm) {
    case kMsgAlgoVorsel:
      s = alignDown(t, kVorselBaseTimeMs, kVorselMessagePeriodMs);
      break;
    case kMsgAlgoVorselTv:
      s = alignDown(t, kVorselBaseTimeMs, d << 21);
      break;
    case kMsgAlgoAlternating6:
      s = alignDown(t, 0, 1024 * d);
      break;
    case kMsgAlgoEventEngine2:
      s = alignDown(t, 0, 2048 * d);
      break;
    case kMsgAlgoHeartbeat:
    case kMsgAlgoAlternating:
      switch (state->cycleKind) {
        case 0:
          s = 0;
          break;
        case kPeriodDay:
          s = utcDayStart(t);
          e = s + kDayMs;
          break;
        case kPeriodWeek:
          s = utcWeekStart(t);
          e = s + 7 * kDayMs;
          break;
        case kPeriodMonth:
          s = utcMonthStart(t);
          e = utcAddMonths(s, 1);
          break;
        case kPeriodQuarter:
          s = utcQuarterStart(t);
          e = utcAddMonths(s, 3);
          break;
        case kPeriodYear:
          s = utcYearStart(t);
          e = utcAddMonths(s, 12);
          break;
        default:
          s = floorDiv(t, 1000) * 1000;
          break;
      }
      break;
    default:
      s = 0;
      break;
  }
  if (start != nullptr) *start = s;
  if (end != nullptr) *end = e;
  return 1;
}

int64_t getPeriodStart(const MessageGeneratorState* state, int64_t t) {
  int64_t s = -1;
  return getPeriodBounds(state, t, &s, nullptr) ? s : -1;
}

int64_t getContinuousCodeWordMs(MessageGeneratorState* state, int64_t* timeMs) {
  if (state == nullptr || timeMs == nullptr) return -1;
  int64_t periodStart = 0, periodEnd = 0;
  if (!getPeriodBounds(state, *timeMs, &periodStart, &periodEnd)) return -1;
  const int64_t d = generatorCodewordDurationMs(state);
  // Word index: the first word that starts at or after t.
  int64_t j = floorDiv(*timeMs - periodStart + d - 1, d);
  if (j < 0) j = 0;
  int64_t wordTime = periodStart + j * d;
  if (wordTime >= periodEnd) {
    j = 0;
    wordTime = periodEnd;
  } else if (wordTime > periodEnd - d) {
    return -1;  // the word would run past the end of its period
  }
  *timeMs = wordTime;
  if (state->id < 0) return -1;

  const int64_t id = state->id;
  int64_t base = 0;
  switch (state->algorithm) {
    case kMsgAlgoVorsel: {
      int q = 0;
      while (q < kMessageQueueLength && state->messageQueue[q] != -1) ++q;
      const int32_t type = state->messageQueue[q == 0 ? 0 : j % q];
      if (type < 0) return -1;
      const int64_t seconds = floorDiv(wordTime, 1000);
      const int64_t minutes = podcastMode(state) ? floorDiv(seconds, 60)
                                                 : floorDiv(seconds - kVorselBaseTimeSeconds, 60);
      int32_t kindA = kFieldNone, kindB = kFieldNone;
      getMsgFieldKinds(type, &kindA, &kindB);
      return (static_cast<int64_t>(type) << 20) |
             (static_cast<int64_t>(vorselField(state, kindA, minutes)) << 10) |
             vorselField(state, kindB, minutes);
    }
    case kMsgAlgoHeartbeat:
      if (!counterBase(state, state->cycleKind, &base)) return -1;
      return (id << 21) | ((base + j) & 0x1fffff);
    case kMsgAlgoVorselTv:
      return ((id & 0x7ffff) << 21) | (j & 0x1fffff);
    case kMsgAlgoAlternating:
      if (state->messageParams == nullptr) return -1;
      if (j % 2 == 1) return id;
      if (!counterBase(state, state->cycleKind, &base)) return -1;
      return base + j / 2;
    case kMsgAlgoAlternating6:
      if (state->messageParams == nullptr) return -1;
      if (j % 2 == 0) return id;
      return state->messageParams->algorithm6Base + j / 2;
    case kMsgAlgoEventEngine2:
      if (state->messageParams == nullptr) return -1;
      return kEventEngine2Marker | ((id & 0x3fff) << 11) |
             ((state->messageParams->algorithm7Base + j) & 0x7ff);
    case kMsgAlgoCounter:
      return j + id;
    default:
      return -1;
  }
}

int64_t getContinuousCodeWord(MessageGeneratorState* state, int64_t* seconds, int32_t* millis) {
  if (seconds == nullptr || millis == nullptr) return -1;
  if (*seconds < -kMaxTimeMs / 1000 || *seconds > kMaxTimeMs / 1000) return -1;
  int64_t t = *seconds * 1000 + *millis;
  const int64_t word = getContinuousCodeWordMs(state, &t);
  *seconds = floorDiv(t, 1000);
  *millis = static_cast<int32_t>(t - *seconds * 1000);
  return word;
}

int64_t getNextCodeWordMs(MessageGeneratorState* state, int64_t timeMs) {
  if (state == nullptr) return -1;
  const int32_t a = state->algorithm;
  if (a >= kMsgAlgoHeartbeat && a <= kMsgAlgoEventEngine2) {
    return getContinuousCodeWordMs(state, &timeMs);
  }
  int32_t* queue = state->messageQueue;
  if (a == kMsgAlgoVorsel) {
    bool ended = false;
    for (int i = 0; i < kMessageQueueLength; ++i) {
      if (ended) queue[i] = -1;
      if (queue[i] == -1) ended = true;
    }
    return getContinuousCodeWordMs(state, &timeMs);
  }
  for (int i = 0; i < kMessageQueueLength; ++i) {
    if (queue[i] == -1) continue;
    const int32_t value = queue[i];
    for (int k = i; k < kMessageQueueLength - 1; ++k) queue[k] = queue[k + 1];
    queue[kMessageQueueLength - 1] = -1;
    if (value == -2) {
      for (int k = 0; k < kMessageQueueLength; ++k) queue[k] = -1;
    }
    return value;
  }
  return -1;
}

int64_t getNextCodeWord(MessageGeneratorState* state, int64_t seconds, int32_t millis) {
  if (seconds < -kMaxTimeMs / 1000 || seconds > kMaxTimeMs / 1000) return -1;
  return getNextCodeWordMs(state, seconds * 1000 + millis);
}

int64_t incrementCodeWord(const MessageGeneratorState* state, int64_t word, int32_t step) {
  if (state == nullptr) return -1;
  switch (state->algorithm) {
    case kMsgAlgoHeartbeat:
      return getNextHeartbeat2CodeWord(word, step);
    case kMsgAlgoVorselTv:
      return getNextVorselTvCodeWord(word, step);
    case kMsgAlgoEventEngine2:
      return getNextEventEngine2CodeWord(word, step);
    case kMsgAlgoCounter:
      return word + step;
    default:
      return -1;
  }
}

int64_t interpretCodeword(int64_t word, int64_t now, int32_t algorithm, const SchemeConfig* scheme,
                          CodewordInterpretation* out) {
  CodewordInterpretation local;
  if (out == nullptr) out = &local;
  out->codeword = static_cast<uint64_t>(word);
  out->algorithm = algorithm;
  out->id = -1;
  out->counter = -1;
  out->periodKind = 0;
  out->wordTime = out->readyTime = out->periodStart = -1;

  int32_t id = 0, counter = 0;
  switch (algorithm) {
    case kMsgAlgoEventEngine2:
      if (word < kEventEngine2Marker) {
        out->algorithm = kMsgAlgoPlain;
        return word;
      }
      interpretEventEngine2CodeWord(word, &id, &counter);
      break;
    case kMsgAlgoVorselTv:
      interpretVorselTvCodeWord(word, &id, &counter);
      break;
    case kMsgAlgoHeartbeat:
      interpretHeartbeat2CodeWord(word, &id, &counter);
      if (counter >= kHeartbeatDayCounter) {
        out->periodKind = kPeriodDay;
        counter -= kHeartbeatDayCounter;
      } else if (counter >= kHeartbeatWeekCounter) {
        out->periodKind = kPeriodWeek;
        counter -= kHeartbeatWeekCounter;
      } else if (counter >= kHeartbeatMonthCounter) {
        out->periodKind = kPeriodMonth;
        counter -= kHeartbeatMonthCounter;
      } else {
        out->periodKind = kPeriodYear;
      }
      break;
    default:
      return word;
  }
  out->id = id;
  out->counter = counter;

  MessageGeneratorState state;
  msgGeneratorInit(&state, nullptr, scheme);
  state.algorithm = algorithm;
  state.cycleKind = out->periodKind;
  const int64_t d = generatorCodewordDurationMs(&state);
  int64_t start = getPeriodStart(&state, now);
  if (start == -1 || !validDuration(d)) return -1;
  int64_t alignment = 0;
  if (scheme->positionCount > 0 && scheme->positionAlignments != nullptr) {
    alignment = scheme->positionAlignments[scheme->positionCount - 1] / 4;
  }
  int64_t wordTime = start + d * counter;
  int64_t readyTime = wordTime + d + alignment;
  if (readyTime > now) {
    // Not yet receivable in this period: it was sent in the previous one.
    // The previous period is the one holding the instant before this one
    // starts; stepping back a fixed hour would skip periods shorter than
    // that (2048 words of under 1.76 s).
    start = getPeriodStart(&state, start - 1);
    wordTime = start + d * counter;
    readyTime = wordTime + d + alignment;
  }
  out->wordTime = wordTime;
  out->readyTime = readyTime;
  out->periodStart = start;
  return start;
}

}  // namespace tembrolexinsdk
