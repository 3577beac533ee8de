#include "core/engines/sync_engine.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "core/engines/sync_engine_signal.h"
#include "core/runtime/control_messages.h"
#include "core/runtime/event_sequence_text.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/message_factory.h"

namespace tembrolexinsdk {

namespace {

// A T read from `params`; null when the bytes do not read as one.
template <typename T>
std::unique_ptr<T> readOrNull(const ThriftParams& params) {
  try {
    return ThriftParamsFactory::readThriftParams<T>(params);
  } catch (const std::exception&) {
    return nullptr;
  }
}

constexpr int kEventDataType = 1;
constexpr int kPartialCodewordType = 6;

// a * b + c, saturated to the timer range instead of overflowing.
int64_t saturated(int64_t a, int64_t b, int64_t c = 0) {
  const long double v = static_cast<long double>(a) * b + c;
  if (v > kMaxTimerMillis) return kMaxTimerMillis;
  if (v < -kMaxTimerMillis) return -kMaxTimerMillis;
  return static_cast<int64_t>(v);
}

}  // namespace

SyncEngine::SyncEngine(Traits traits, IProcessorListener* listener, IMessenger* messenger,
                       Environment environment)
    : traits_(std::move(traits)),
      name_(traits_.name),
      clock_(*environment.clock),
      listener_(listener),
      messenger_(messenger),
      timing_(std::make_unique<Timing>(false, clock_, environment.mode)),
      machine_(std::make_unique<Machine>(timing_.get(), traits_.engineType, clock_)) {
  if (messenger_ != nullptr) messenger_->registerListener(kEventDataType, this);
  logWithLogger<LogLevel::Info>(this, "Registered to EventData");
}

SyncEngine::~SyncEngine() {
  if (messenger_ != nullptr) messenger_->unregisterListener(kEventDataType, this);
  logWithLogger<LogLevel::Info>(this, "Unregistered to EventData");
  // The Timing's events call into the Machine: stop and join it first.
  timing_.reset();
  machine_.reset();
}

void SyncEngine::send(std::unique_ptr<ThriftParams> message) {
  if (listener_ != nullptr) listener_->onProcessorEvent(this, message.get());
}

const IProcessorEventParams* SyncEngine::processEventParams(const IProcessorEventParams* params) {
  if (params == nullptr) return nullptr;
  bool consumed = false;
  try {
    dispatch(params, consumed);
  } catch (const std::exception& error) {
    logWithLogger<LogLevel::Error>(this, "processEventParams: ", error.what());
  } catch (...) {
    logWithLogger<LogLevel::Error>(this, "processEventParams: unknown exception");
  }
  return consumed ? nullptr : params;
}

void SyncEngine::dispatch(const IProcessorEventParams* params, bool& consumed) {
  if (const auto* thrift = dynamic_cast<const ThriftParams*>(params)) {
    if (thrift->getMsgType() == kPartialCodewordType) {
      handlePartialCodeword(*thrift);
    } else if (thrift->getMsgType() == kEventDataType) {
      const std::unique_ptr<EventData> data = readOrNull<EventData>(*thrift);
      if (!data) {
        logWithLogger<LogLevel::Error>(this, "Failed to read events configuration");
      } else if (data->engineType == traits_.engineType) {
        handleEventData(*data);
        consumed = true;
      }
    }
    return;
  }
  if (const auto* codeword = CodewordEventParams::Cast(params)) {
    handleCodeword(*codeword);
    return;
  }
  handleOwnEvent(params, consumed);
}

void SyncEngine::onReceive(const std::string&, const ThriftParams& params) {
  try {
    if (params.getMsgType() != kEventDataType) return;
    const std::unique_ptr<EventData> data = readOrNull<EventData>(params);
    if (!data) {
      logWithLogger<LogLevel::Error>(this, "Failed to read events configuration");
      return;
    }
    handleEventData(*data);
  } catch (const std::exception& error) {
    logWithLogger<LogLevel::Error>(this, "onReceive: ", error.what());
  } catch (...) {
    logWithLogger<LogLevel::Error>(this, "onReceive: unknown exception");
  }
}

void SyncEngine::handleEventData(const EventData& data) {
  if (data.engineType != traits_.engineType) return;
  logWithLogger<LogLevel::Debug>(this, "Parsing events configuration");
  const MediaStream stream =
      data.mediaStreamAMId.empty()
          ? MediaStream::codeword(data.mediaStreamId)
          : MediaStream(MediaStream::kAudioMatch, data.mediaStreamAMId, data.mediaStreamId);
  if (!data.eventJson.empty() && data.syncTimeoutSecs >= 0) {
    if (registerEventSequenceWithID(stream, data.eventJson, data.syncTimeoutSecs)) {
      logWithLogger<LogLevel::Debug>(this, "Registered events configuration for ",
                                     stream.description());
    }
  } else {
    machine_->removeEventSequence(stream);
    logWithLogger<LogLevel::Debug>(this, "Removed events configuration for ", stream.description());
  }
}

bool SyncEngine::registerEventSequenceWithID(const MediaStream& stream, const std::string& json,
                                             int64_t timeoutSecs) {
  std::string reason;
  const std::optional<EventSequenceText> sequence = parseEventSequenceText(json, &reason);
  if (!sequence) {
    logWithLogger<LogLevel::Warning>(this, "Failed to parse JSON event sequence for mediaStream ",
                                     stream.description(), ": ", reason);
    return false;
  }

  std::vector<TimingEvent> timed;
  for (const EventSequenceText::Entry& event : sequence->events) {
    int64_t position = 0;
    int64_t epochPosition = -1;
    if (!eventPosition(event.seconds, position, epochPosition)) continue;
    const std::string eventId = event.id;
    const EngineType::type type = traits_.engineType;
    timed.emplace_back(
        [this, type, stream, eventId, position, epochPosition] {
          send(syncengine::generateSyncEngineSignalThriftParam(
              type, stream, EventType::timedEvent, position, eventId, position,
              timing_->elapsed().count(), epochPosition, clock_));
        },
        std::chrono::milliseconds(position), TimingEvent::kAutoId, TimingEvent::kRepeatable);
  }

  std::map<std::string, int64_t> periods;
  for (const EventSequenceText::Entry& tick : sequence->ticks) {
    const int64_t periodMs = static_cast<int64_t>(tick.seconds) * 1000;
    if (periodMs <= 0) {
      // It would be due again at once, for ever.
      logWithLogger<LogLevel::Warning>(this, "Tick ", tick.id, " of mediaStream ",
                                       stream.description(), " ignored: period not positive");
      continue;
    }
    periods.emplace(tick.id, periodMs);
  }

  machine_->addEventSequence(stream, std::move(timed),
                             std::min<int64_t>(timeoutSecs, kMaxTimerMillis / 1000),
                             std::move(periods));
  logWithLogger<LogLevel::Debug>(this, traits_.registeredText, stream.description());
  return true;
}

int64_t SyncEngine::wordStart(int64_t offset, int64_t durationMs) const {
  return saturated(durationMs, offset);
}

void SyncEngine::handleCodeword(const CodewordEventParams& codeword) {
  int64_t id = 0;
  int64_t offset = 0;
  if (codeword.engineRef != name_ || !splitCodeword(codeword.msg, id, offset)) return;
  // The end of the word: its capture time stamp is taken there.
  synchronise(MediaStream::codeword(id),
              saturated(1, wordStart(offset, codeword.codewordDuration), codeword.codewordDuration),
              codeword.steadyTimeStamp);
}

void SyncEngine::handlePartialCodeword(const ThriftParams& params) {
  const std::unique_ptr<PartialCodewordSignal> partial = readOrNull<PartialCodewordSignal>(params);
  if (!partial) {
    logWithLogger<LogLevel::Error>(this, "Failed to read partial codewords");
    return;
  }
  int64_t id = 0;
  int64_t offset = 0;
  if (partial->engineRef != name_ || !splitCodeword(partial->firstCodeword, id, offset)) return;
  const int64_t now = clock_.wallMicros() / 1000;
  if (partial->stopTime < saturated(1, now, -partial->codewordDuration) ||
      partial->stopTime >= now) {
    return;
  }
  const int64_t position =
      saturated(1, wordStart(offset, partial->codewordDuration),
                saturated(1, partial->systemTimeStamp, -partial->timeSeqStart));
  const MediaStream current = machine_->syncedMediaStream();
  // A partial code word never moves the engine from one stream to another.
  if (!current.isNull() && current.id != id) return;
  synchronise(MediaStream::codeword(id), position, partial->steadyTimeStamp);
}

void SyncEngine::synchronise(const MediaStream& stream, int64_t position, int64_t stampMs) {
  const MediaStream current = machine_->syncedMediaStream();
  const EngineType::type type = traits_.engineType;
  if (current != stream) {
    if (!current.isNull()) {
      send(syncengine::generateSyncEngineSignalThriftParam(type, current, EventType::desync,
                                                           position, "", -1, -1, -1, clock_));
    }
    send(syncengine::generateSyncEngineSignalThriftParam(type, stream, EventType::sync, position,
                                                         "", -1, -1, -1, clock_));
  }
  const int64_t corrected = saturated(1, position, upTimeMillis() - stampMs);
  const int64_t timeout = machine_->timeoutMillis(stream);
  const std::unique_ptr<ThriftParams> watchdog = syncengine::generateSyncEngineSignalThriftParam(
      type, stream, EventType::desync, saturated(1, corrected, timeout), "", -1, -1, -1, clock_);
  machine_->sync(stream, corrected, *watchdog, this, listener_);
}

void SyncEngine::selectPriorities() {
  std::vector<int64_t> ids;
  for (const MediaStream& stream : machine_->getConfiguredMediaStreams()) {
    if (stream.kind == MediaStream::kCodeword) ids.push_back(stream.id);
  }
  if (ids.empty()) return;
  std::sort(ids.begin(), ids.end());
  Json::Value list(Json::arrayValue);
  for (int64_t id : ids) list.append(priorityEntry(id));
  Json::FastWriter writer;
  const std::unique_ptr<IProcessorEventParams> message = priorities(writer.write(list));
  if (listener_ != nullptr) listener_->onProcessorEvent(this, message.get());
}

}  // namespace tembrolexinsdk
