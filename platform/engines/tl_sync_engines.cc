#include "platform/engines/tl_sync_engines.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/event_sequence_text.h"
#include "platform/runtime/decoder_errors.h"
#include "platform/runtime/platform_environment.h"
#include "platform/runtime/tl_logger.h"
#include "platform/runtime/tl_thrift_params.h"

namespace tembrolexinplatform {

namespace {

constexpr int64_t kUnknownErrorCode = 1;
constexpr int64_t kEventsFileErrorCode = 12;
// As the EVENT engine answers JSON it cannot read.
constexpr int64_t kBadSequenceErrorCode = 14;

// Well-formed UTF-8: no stray continuation byte, no overlong form, no
// surrogate, nothing above U+10FFFF.
bool isUtf8(const std::string& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p++;
    if (c < 0x80) continue;
    int more = 0;
    uint32_t code = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
      code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (end - p < more) return false;
    for (int i = 0; i < more; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) return false;
      code = (code << 6) | (*p & 0x3F);
    }
    if ((more == 2 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
        (more == 3 && (code < 0x10000 || code > 0x10FFFF))) {
      return false;
    }
  }
  return true;
}

void setError(std::optional<TLError>* error, int64_t code, std::string description) {
  if (error == nullptr) return;
  TLError e;
  e.domain = TLDecoderErrorDomain;
  e.code = code;
  e.localizedDescription = std::move(description);
  *error = std::move(e);
}

int64_t saturatingAdd(int64_t a, int64_t b) {
  int64_t out = 0;
  if (!__builtin_add_overflow(a, b, &out)) return out;
  return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

int64_t saturatingSub(int64_t a, int64_t b) {
  int64_t out = 0;
  if (!__builtin_sub_overflow(a, b, &out)) return out;
  return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

// Toward zero; out-of-range values are held at the 64-bit limits.
std::optional<int64_t> truncatedSeconds(double seconds) {
  if (std::isnan(seconds)) return std::nullopt;
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (seconds >= kTwoTo63) return std::numeric_limits<int64_t>::max();
  if (seconds <= -kTwoTo63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(seconds);
}

template <typename Engine>
std::shared_ptr<Engine> makeStartedEngine(Engine* raw) {
  std::shared_ptr<Engine> engine(raw);
  engine->start();
  return engine;
}

}  // namespace

// --- Shared part ---------------------------------------------------------

std::shared_ptr<TLEngineDelegate> TLSyncEngine::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

void TLSyncEngine::setDelegate(std::shared_ptr<TLEngineDelegate> delegate) {
  // The delegate let go of is the app's: it ends after the lock is released.
  std::shared_ptr<TLEngineDelegate> old;
  std::lock_guard lock(mutex_);
  old = std::exchange(delegate_, std::move(delegate));
}

bool TLSyncEngine::registerEventSequenceWithID(int64_t mediaStreamId, const std::string& events,
                                               double syncSecs, std::optional<TLError>* error) {
  return sendEventData(mediaStreamId, "", events, syncSecs, error);
}

bool TLSyncEngine::registerEventSequenceWithIDFromBundleFile(int64_t mediaStreamId,
                                                             const std::string& fileName,
                                                             double syncSecs,
                                                             std::optional<TLError>* error) {
  std::optional<std::string> text = readBundleFile(fileName, error);
  if (!text) return false;
  return registerEventSequenceWithID(mediaStreamId, *text, syncSecs, error);
}

bool TLSyncEngine::sendEventData(int64_t mediaStreamId, const std::string& amId,
                                 const std::string& events, double syncSecs,
                                 std::optional<TLError>* error) {
  const std::optional<int64_t> timeout = truncatedSeconds(syncSecs);
  if (!timeout) {
    setError(error, kUnknownErrorCode, "The sync time-out is not a number");
    return false;
  }
  const std::string stream =
      amId.empty() ? "CWid=" + std::to_string(mediaStreamId) : "AMid=" + amId;
  const bool removal = events.empty() || *timeout < 0;
  if (!removal && !acceptedByCore(stream, events, error)) return false;
  Registration registration{mediaStreamId, amId, events, *timeout};
  // The context's lines (and those of the decoder calls it sends on the
  // way) reach the log once the lock is released: the app's log delegate
  // may call exit(), and the bus thread, which the shutdown waits for, takes
  // the lock (decoderInitialised).
  TLLogger::HeldLines held;
  std::lock_guard lock(registrationsMutex_);
  // Before a decoder connects the registration waits for it.
  if (!send(registration)) {
    setError(error, kUnknownErrorCode, "Too many registrations wait for a decoder to connect");
    return false;
  }
  const auto same = std::find_if(registrations_.begin(), registrations_.end(),
                                 [&](const Registration& r) { return r.sameStream(registration); });
  if (removal) {
    if (same != registrations_.end()) registrations_.erase(same);
  } else if (same == registrations_.end()) {
    // A stream registered again keeps its first sequence in the core.
    registrations_.push_back(std::move(registration));
  }
  if (error != nullptr) error->reset();
  return true;
}

bool TLSyncEngine::acceptedByCore(const std::string& stream, const std::string& events,
                                  std::optional<TLError>* error) const {
  const std::string method = "-[" + name_ + " registerEventSequenceWithID:]";
  if (!isUtf8(events)) {
    TLLogger::warnInMethod(method, __LINE__, "The event sequence for %s is not UTF-8 text",
                           stream.c_str());
  }
  std::string reason;
  const std::optional<tembrolexinsdk::EventSequenceText> sequence =
      tembrolexinsdk::parseEventSequenceText(events, &reason);
  if (!sequence) {
    TLLogger::warnInMethod(method, __LINE__, "Failed to parse JSON event sequence for %s: %s",
                           stream.c_str(), reason.c_str());
    setError(error, kBadSequenceErrorCode, "Failed to parse JSON event sequence");
    if (error != nullptr) {
      (*error)->underlyingError =
          std::make_shared<const TLError>(TLError{"TLJSONReaderErrorDomain", 1, reason, ""});
    }
    return false;
  }
  for (const tembrolexinsdk::EventSequenceText::Entry& event : sequence->events) {
    if (event.seconds < 0) {
      TLLogger::warnInMethod(method, __LINE__,
                             "Event %s of %s has a negative time (%g s): it never fires",
                             event.id.c_str(), stream.c_str(), event.seconds);
    }
  }
  return true;
}

bool TLSyncEngine::send(const Registration& registration) {
  EventData data;
  data.__set_mediaStreamId(registration.mediaStreamId);
  data.__set_mediaStreamAMId(registration.amId);
  data.__set_syncTimeoutSecs(registration.timeoutSecs);
  data.__set_eventJson(registration.events);
  data.__set_engineType(engineType_);
  return context_.sendMessage(data, name_, "-[TLSyncEngine registerEventSequenceWithID:]");
}

void TLSyncEngine::decoderInitialised() {
  // The core makes its engines as the decoder initialises; what reached its
  // bus before then found no one. Sent again, each sequence the core already
  // holds stays as it is (a stream keeps its first sequence), and the
  // others arrive in the order they were registered. Without a messenger
  // they still wait in the context and leave in order once connected.
  if (!context_.messenger()) return;
  TLLogger::HeldLines held;  // see sendEventData
  std::lock_guard lock(registrationsMutex_);
  for (const Registration& registration : registrations_) {
    if (!send(registration)) break;  // logged by the context
  }
}

std::optional<std::string> TLSyncEngine::readBundleFile(const std::string& fileName,
                                                        std::optional<TLError>* error) {
  std::string folder = PlatformEnvironment::current().resourceFolder;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  const std::string path = folder + fileName;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  if (in) bytes << in.rdbuf();
  if (!in || in.bad()) {
    TLLogger::errorInMethod("-[TLSyncEngine readBundleFile:]", __LINE__,
                            "Could not read the events file %s", path.c_str());
    setError(error, kEventsFileErrorCode, "Could not read the events file " + fileName);
    return std::nullopt;
  }
  std::string text = bytes.str();
  for (unsigned char c : text) {
    if (c >= 0x80) {
      TLLogger::errorInMethod("-[TLSyncEngine readBundleFile:]", __LINE__,
                              "The events file %s is not ASCII text", path.c_str());
      setError(error, kEventsFileErrorCode, "The events file " + fileName + " is not ASCII text");
      return std::nullopt;
    }
  }
  return text;
}

void TLSyncEngine::processEventParams(std::shared_ptr<const TLProcessorEventParams> event,
                                      const std::string& /*processorName*/) {
  auto envelope = std::dynamic_pointer_cast<const TLThriftParams>(event);
  if (!envelope || envelope->msgType() != kMessageTypeId<SyncEngineSignal>) return;
  const std::shared_ptr<TLEngineDelegate> d = delegate();
  if (!d || !takesEvents(*d)) return;
  std::unique_ptr<SyncEngineSignal> signal = envelope->newMessageOfType<SyncEngineSignal>();
  if (!signal) return;
  // Both core engines send the same message type; each platform engine
  // follows only its own.
  if (!signal->__isset.engineType || signal->engineType != engineType_) return;
  if (!signal->__isset.eventType) return;
  const int32_t eventType = signal->eventType;
  if (eventType == 0) {
    if (!isRunning()) start();
  } else if (eventType >= 1 && eventType <= 3) {
    if (!isRunning()) return;
  } else {
    return;  // nothing to deliver for other kinds
  }
  const int64_t made = signal->__isset.originalUpTime ? signal->originalUpTime : 0;
  deliver(*signal, d, saturatingSub(context_.upTimeMillis(), made));
}

// --- EVENT2 --------------------------------------------------------------

std::shared_ptr<TLEventEngine2> TLEventEngine2::sharedEngine() {
  // Never destroyed: bus threads may still deliver during exit. The
  // making's lines reach the app once it is made (see TLAnalyticsEngine).
  TLLogger::HeldLines held;
  static auto* engine =
      new std::shared_ptr<TLEventEngine2>(makeStartedEngine(new TLEventEngine2()));
  return *engine;
}

bool TLEventEngine2::registerEventSequenceWithAudioMatchID(const std::string& amId,
                                                           const std::string& events,
                                                           double syncSecs,
                                                           std::optional<TLError>* error) {
  return sendEventData(-1, amId, events, syncSecs, error);
}

bool TLEventEngine2::registerEventSequenceWithAudioMatchIDFromBundleFile(
    const std::string& amId, const std::string& fileName, double syncSecs,
    std::optional<TLError>* error) {
  std::optional<std::string> text = readBundleFile(fileName, error);
  if (!text) return false;
  return registerEventSequenceWithAudioMatchID(amId, *text, syncSecs, error);
}

void TLEventEngine2::setPrioritySettings(const TLEventEngine2Priority* priorities) {
  if (priorities == nullptr) return;
  const std::string json = priorities->jsonPriorities();
  context_.configure({{"tembrolexin_DB_EventEngineSequences", json},
                      {"tembrolexin_EchoMod_EventEngineSequences", json}},
                     "-[TLEventEngine2 setPrioritySettings:]");
}

bool TLEventEngine2::takesEvents(const TLEngineDelegate& delegate) const {
  return dynamic_cast<const TLEventEngine2Delegate*>(&delegate) != nullptr;
}

void TLEventEngine2::deliver(const SyncEngineSignal& s, const std::shared_ptr<TLEngineDelegate>& d,
                             int64_t elapsed) {
  const bool byAudioMatch = s.__isset.mediaStreamAMId && !s.mediaStreamAMId.empty();
  std::string id = byAudioMatch ? s.mediaStreamAMId
                                : std::to_string(s.__isset.mediaStreamId ? s.mediaStreamId : 0);
  const int64_t kind =
      byAudioMatch ? TLEventEngine2Event::kAudioMatchStream : TLEventEngine2Event::kCodewordStream;
  const int64_t timeInTrack =
      saturatingAdd(s.__isset.millisecondsInMediaStream ? s.millisecondsInMediaStream : 0, elapsed);
  const int64_t status = s.eventType;
  const TLDate now = context_.now();
  const TLEventEngine2Event event =
      status <= 1 ? TLEventEngine2Event::initWithId(std::move(id), kind, timeInTrack, status, now)
                  : TLEventEngine2Event::initWithEvent(s.__isset.eventId ? s.eventId : "",
                                                       std::move(id), timeInTrack, kind, now,
                                                       status);
  auto receiver = std::dynamic_pointer_cast<TLEventEngine2Delegate>(d);
  context_.safeDispatch().safeDispatchSyncOnMainQueue([&] { receiver->onEventEngineEvent(event); },
                                                     kEngineName);
}

// --- HEARTBEAT -----------------------------------------------------------

std::shared_ptr<TLHeartbeatEngine> TLHeartbeatEngine::sharedEngine() {
  static auto* engine =
      new std::shared_ptr<TLHeartbeatEngine>(makeStartedEngine(new TLHeartbeatEngine()));
  return *engine;
}

void TLHeartbeatEngine::setPrioritySettings(const TLHeartbeatPriority* priorities) {
  if (priorities == nullptr) return;
  context_.configure({{"tembrolexin_DB_CandidateStations", priorities->jsonPriorities()}},
                     "-[TLHeartbeatEngine setPrioritySettings:]");
}

bool TLHeartbeatEngine::takesEvents(const TLEngineDelegate& delegate) const {
  return dynamic_cast<const TLHeartbeatEngineDelegate*>(&delegate) != nullptr;
}

void TLHeartbeatEngine::deliver(const SyncEngineSignal& s,
                                const std::shared_ptr<TLEngineDelegate>& d, int64_t elapsed) {
  std::string station = std::to_string(s.__isset.mediaStreamId ? s.mediaStreamId : 0);
  const int64_t timeInYear =
      saturatingAdd(s.__isset.millisecondsInMediaStream ? s.millisecondsInMediaStream : 0, elapsed);
  const int64_t sinceEpoch = saturatingAdd(
      s.__isset.millisecondsSinceEpochInMediaStream ? s.millisecondsSinceEpochInMediaStream : 0,
      elapsed);
  const int64_t status = s.eventType;
  const TLDate now = context_.now();
  const TLHeartbeatEngineEvent event =
      status <= 1
          ? TLHeartbeatEngineEvent::initWithId(std::move(station), timeInYear, sinceEpoch, status,
                                               now, -1)
          : TLHeartbeatEngineEvent::initWithEvent(
                s.__isset.eventId ? s.eventId : "", std::move(station), timeInYear, sinceEpoch,
                status, now,
                s.__isset.millisecondsSinceEpochDeviceTime ? s.millisecondsSinceEpochDeviceTime
                                                           : 0);
  auto receiver = std::dynamic_pointer_cast<TLHeartbeatEngineDelegate>(d);
  context_.safeDispatch().safeDispatchSyncOnMainQueue(
      [&] { receiver->onHeartbeatEngineEvent(event); }, kEngineName);
}

}  // namespace tembrolexinplatform
