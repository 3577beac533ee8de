#include "core/audio/partial_codeword_processor.h"

#include <json/json.h>

#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "core/decoder/codeword_layouts.h"
#include "core/decoder/encoding_schemes.h"
#include "core/engines/event_engine2.h"
#include "core/engines/heartbeat_engine.h"
#include "core/runtime/json_text.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/message_factory.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

namespace {

// Never destroyed (threads still running at exit may use them).
const std::string& kName = *new std::string("PartialCodewordProcessor");
const std::string& kEvent2 = *new std::string("EVENT2");
const std::string& kHeartbeat = *new std::string("HEARTBEAT");
const std::string& kAnalytics = *new std::string("ANALYTICS");

constexpr int64_t kTrackWords = 50;          // five minutes of EVENT2 words
constexpr int kMaxHeartbeatStations = 200;
constexpr int kHeartbeatStationCount = 2048;  // 11-bit station ids
constexpr int32_t kLastHeartbeatCounter = 0x1fffff;

// The array parsed from `text`, or nothing when the text is not JSON (also
// nested beyond the reader's limit) or its top level is not an array.
// Comments are allowed.
bool parseArray(const std::string& text, Json::Value& root) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  const tembrolexinsdk::LocaleFreeJson prepared(text);
  const std::string& json = prepared.text();
  try {
    if (!reader->parse(json.data(), json.data() + json.size(), &root, &errors)) return false;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    return false;
  }
  return prepared.restore(root) && root.isArray();
}

// A member of an object element as an int: 0 when the element is not an
// object or the member is missing or not a number; numbers are clamped.
int memberInt(const Json::Value& element, const char* key) {
  if (!element.isObject()) return 0;
  const Json::Value& member = element[key];
  if (member.isInt()) return member.asInt();
  if (!member.isNumeric() || member.isBool()) return 0;
  const double value = member.asDouble();
  if (std::isnan(value)) return 0;
  if (value >= std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (value <= std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(value);
}

CandidateStationsPtr newList(Json::ArrayIndex count) {
  const int32_t capacity = count > static_cast<Json::ArrayIndex>(std::numeric_limits<int32_t>::max())
                               ? std::numeric_limits<int32_t>::max()
                               : static_cast<int32_t>(count);
  return CandidateStationsPtr(createCandidateStations(capacity));
}

}  // namespace

PartialCodewordProcessor::PartialCodewordProcessor(std::string pluginName)
    : pluginName_(std::move(pluginName)) {
  clearVorselTResult(&result_);
}

const std::string& PartialCodewordProcessor::GetName() const { return kName; }

void PartialCodewordProcessor::setup() {
  lastStopTime_ = 0;
  lastSequenceStart_ = 0;
  idle_ = true;
}

PartialCodewordProcessor::DecoderSetup PartialCodewordProcessor::configurationForDecoder(
    const EchoDecoderDescriptor& descriptor, const std::string& pluginName) {
  DecoderSetup setup;
  if (pluginName == "tembrolexin_VorselT" || pluginName == "tembrolexin_VorselTW") {
    setup.waitingForConfiguration = true;
    return setup;
  }
  const auto& refs = descriptor.getEngineRefs();
  if (refs.count(kEvent2) != 0) {
    setup.list = selectEventEngineSequences(descriptor, pluginName);
  } else if (refs.count(kHeartbeat) != 0) {
    setup.list = selectHeartbeatStations(descriptor, pluginName);
  } else {
    return setup;
  }
  enabled_ = true;
  setup.fastReaction = true;
  return setup;
}

CandidateStationsPtr PartialCodewordProcessor::selectEventEngineSequences(
    const EchoDecoderDescriptor& descriptor, const std::string& pluginName) {
  std::vector<int64_t> firstWords;
  int64_t total = 0;
  const int tracks = EventEngine2::numberOfEventEngine2TrackIds();
  for (int track = 1; total < kMaxPriorityCodewords && track < tracks; ++track) {
    const int64_t first = EventEngine2::createEventEngine2CodeWord(track, 0);
    if (descriptor.codewordInRangeOf(first, kEvent2) &&
        descriptor.codewordInRangeOf(EventEngine2::createEventEngine2CodeWord(track, 50),
                                     kEvent2)) {
      logWithLogger<LogLevel::Info>(this, "(", pluginName, ") Adding first 5 minutes of trackId ",
                                    track, " to priority partial search.");
      firstWords.push_back(first);
      total += kTrackWords;
    }
  }
  if (firstWords.empty()) return nullptr;
  CandidateStationsPtr list(createCandidateStations(static_cast<int32_t>(firstWords.size())));
  for (int64_t first : firstWords) addCodewordSequence(list.get(), first, kTrackWords);
  return list;
}

CandidateStationsPtr PartialCodewordProcessor::selectHeartbeatStations(
    const EchoDecoderDescriptor& descriptor, const std::string& pluginName) {
  std::vector<int> stations;
  for (int station = 0; station < kHeartbeatStationCount &&
                        static_cast<int>(stations.size()) < kMaxHeartbeatStations;
       ++station) {
    if (descriptor.codewordInRangeOf(HeartbeatEngine::createHearbeat2CodeWord(station, 0),
                                     kHeartbeat) &&
        descriptor.codewordInRangeOf(
            HeartbeatEngine::createHearbeat2CodeWord(station, kLastHeartbeatCounter),
            kHeartbeat)) {
      logWithLogger<LogLevel::Info>(this, "(", pluginName, ") Adding station Id: ", station,
                                    " to live priority search.");
      stations.push_back(station);
    }
  }
  if (stations.empty()) return nullptr;
  CandidateStationsPtr list(createCandidateStations(static_cast<int32_t>(stations.size())));
  for (int station : stations) addCodewordSequence(list.get(), station, 0);
  return list;
}

CandidateStationsPtr PartialCodewordProcessor::parseCandidateStations(
    const std::string& json, const std::string& pluginName, std::string* problem) {
  Json::Value root;
  std::string why;
  if (!readWholeJsonValue(json, root, &why) || !root.isArray()) {
    if (problem != nullptr) *problem = why.empty() ? std::string("not a list") : why;
    throw std::invalid_argument("Invalid JSON input");
  }
  CandidateStationsPtr list = newList(root.size());
  for (const Json::Value& element : root) {
    const int id = memberInt(element, "id");
    const int lag = memberInt(element, "lag");
    addCandidateStation(list.get(), id, static_cast<int64_t>(lag) * 1000);
    logWithLogger<LogLevel::Info>(this, "(", pluginName, ") Adding station id: ", id,
                                  "with lag: ", lag, "s.");
  }
  enabled_ = true;
  return list;
}

CandidateStationsPtr PartialCodewordProcessor::parseEventEngineSequences(
    const std::string& json, const EchoDecoderDescriptor& descriptor,
    int64_t codewordDurationMs, const std::string& pluginName) {
  Json::Value root;
  if (!parseArray(json, root) || descriptor.getEngineRefs().count(kEvent2) == 0) return nullptr;
  CandidateStationsPtr list = newList(root.size());
  const int64_t c = codewordDurationMs;
  int64_t total = 0;
  for (const Json::Value& element : root) {
    const int track = memberInt(element, "trackId");
    const int64_t secondsIn = memberInt(element, "secondsIn");
    const int64_t durationSecs = memberInt(element, "durationSecs");
    // A negative duration searches nothing rather than shrinking the total.
    const int64_t n = c > 0 && durationSecs > 0 ? durationSecs * 1000 / c : 0;
    total += n;
    const int64_t excess = total > kMaxPriorityCodewords ? total - kMaxPriorityCodewords : 0;
    const int offset = c > 0 ? static_cast<int>(secondsIn * 1000 / c) : 0;
    const int64_t first = EventEngine2::createEventEngine2CodeWord(track, offset);
    const int64_t count = n - excess;
    if (descriptor.codewordInRangeOf(first, kEvent2) &&
        descriptor.codewordInRangeOf(first + count, kEvent2)) {
      logWithLogger<LogLevel::Info>(this, "(", pluginName, ") Adding minute ", secondsIn / 60,
                                    " to ", secondsIn / 60 + count * c / 60000, " of trackId ",
                                    track, " to priority partial search");
      addCodewordSequence(list.get(), first, static_cast<int32_t>(count));
    }
    // Stop at the element that crosses the limit even when it was skipped,
    // so that no later element gets a negative count.
    if (total > kMaxPriorityCodewords) break;
  }
  enabled_ = true;
  return list;
}

std::vector<std::unique_ptr<ThriftParams>> PartialCodewordProcessor::processPartialResult(
    const EchoDecoderDescriptor& descriptor, int64_t systemTimeMs, int64_t steadyTimeMs,
    int64_t codewordDurationMs) {
  lastSystemTime_ = systemTimeMs;
  lastSteadyTime_ = steadyTimeMs;
  std::vector<std::unique_ptr<ThriftParams>> out;
  if (!enabled_) return out;
  VorselTResult& r = result_;
  if (vorselTResultFalsePositive(&r)) r.firstCodeword = -1;

  std::set<std::string> refs;
  if (r.encoderID < 0) {
    refs = descriptor.codewordInRange(r.firstCodeword);
    if (refs.empty()) {
      if (idle_) return out;
      refs.insert(kAnalytics);
    }
    const int64_t sinceLast = r.timeSeqStart - lastSequenceStart_;
    if (sinceLast > -10 && sinceLast < 10 && !r.stopTimeFinal && !idle_) return out;
  } else {
    // The context index sits in bits 24..31 of the scheme.
    const int32_t scheme = r.encodingScheme & 0xffffff;
    if (scheme == kSchemeVorselT || scheme == kSchemeVorselTW) {
      refs = descriptor.codewordInRange(createVorselTvCodeWord(r.encoderID, 0));
    } else if (scheme == kSchemeConsumerS4) {
      refs = descriptor.codewordInRange(createHeartBeat2CodeWord(r.encoderID, 0));
    }
    if (refs.empty() || (!r.stopTimeFinal && r.stopTime == lastStopTime_)) return out;
  }

  for (const std::string& ref : refs) {
    PartialCodewordSignal signal;
    signal.__set_encoderID(r.encoderID);
    signal.__set_timeShift(r.timeShift);
    signal.__set_startTime(r.startTime);
    signal.__set_stopTime(r.stopTime);
    signal.__set_startTimeFinal(r.startTimeFinal);
    signal.__set_stopTimeFinal(r.stopTimeFinal);
    signal.__set_encodingScheme(r.encodingScheme);
    signal.__set_metricInit(r.metricInit);
    signal.__set_metricSum(r.metricSum);
    signal.__set_metricNMerge(r.metricNMerge);
    signal.__set_nCodewords(r.nCodewords);
    signal.__set_firstCodeword(r.firstCodeword);
    signal.__set_timeSeqStart(r.timeSeqStart);
    signal.__set_systemTimeStamp(systemTimeMs);
    signal.__set_steadyTimeStamp(steadyTimeMs);
    signal.__set_codewordDuration(codewordDurationMs);
    signal.__set_engineRef(ref);
    out.push_back(ThriftParamsFactory::createThriftParams(signal));
  }
  lastStopTime_ = r.stopTime;
  lastSequenceStart_ = r.timeSeqStart;
  if (r.encoderID == -1 && r.firstCodeword == -1) {
    idle_ = true;
    lastStopTime_ = 0;
    lastSequenceStart_ = 0;
  } else {
    idle_ = false;
  }
  return out;
}

}  // namespace tembrolexinsdk
