#include "core/engines/machine.h"

#include <algorithm>
#include <stdexcept>

#include "core/engines/sync_engine_signal.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/log_helpers.h"

namespace tembrolexinsdk {

using std::chrono::milliseconds;

Machine::Machine(Timing* timing, EngineType::type tickEngineType, const Clock& clock)
    : timing_(timing), tickEngineType_(tickEngineType), clock_(clock) {}

void Machine::cancelQuietly(const TimingEvent& event) {
  try {
    timing_->cancelEvent(event);
  } catch (const std::invalid_argument&) {
    // Firing now: it finds its generation outdated and does nothing.
  }
}

void Machine::sync(const MediaStream& stream, int64_t position, const IProcessorEventParams& desync,
                   const INamedObject* sender, IProcessorListener* listener) {
  const Target target{sender, listener};
  std::shared_ptr<const IProcessorEventParams> watchdogMessage(desync.clone());
  std::lock_guard lock(mutex_);
  // Nothing may fire at the old clock position while the events change.
  timing_->stop();
  const uint64_t generation = ++generation_;
  const auto sequence = sequences_.find(stream);
  const int64_t timeout =
      sequence != sequences_.end() ? sequence->second.timeout * 1000 : defaultTimeout;

  if (stream == current_) {
    for (const auto& [id, event] : tickTable_) cancelQuietly(event);
  } else {
    timing_->clearEvents();
    watchdog_.reset();
    if (sequence != sequences_.end()) {
      try {
        timing_->registerEvents(sequence->second.events);
      } catch (const std::invalid_argument&) {
        // One of them is firing now: register the others one by one.
        for (const TimingEvent& event : sequence->second.events) {
          try {
            timing_->registerEvent(event);
          } catch (const std::invalid_argument&) {
          }
        }
      }
    }
  }
  tickTable_.clear();

  if (sequence != sequences_.end()) {
    for (const auto& tick : sequence->second.ticks) {
      timing_->registerEvent(scheduleTickLocked(stream, target, tick, position, generation));
    }
  } else {
    logWithLogger<LogLevel::Info>(sender, "No event sequences registered");
  }

  if (watchdog_) cancelQuietly(*watchdog_);
  const auto onTimeout = [this, watchdogMessage, target, generation] {
    onWatchdog(watchdogMessage, target, generation);
  };
  watchdog_ = std::make_unique<TimingEvent>(onTimeout, milliseconds(position + timeout),
                                            timeoutId, TimingEvent::kOneShotRemove);
  try {
    timing_->registerEvent(*watchdog_);
  } catch (const std::invalid_argument&) {
    // The previous watchdog is firing right now (its generation keeps it
    // from acting) and cannot be replaced: this one goes in beside it.
    watchdog_ = std::make_unique<TimingEvent>(onTimeout, milliseconds(position + timeout),
                                              TimingEvent::kAutoId, TimingEvent::kOneShotRemove);
    timing_->registerEvent(*watchdog_);
  }

  current_ = stream;
  synced_ = true;
  timing_->start(milliseconds(position));
}

TimingEvent Machine::registerTick(const MediaStream& stream, const INamedObject* sender,
                                  IProcessorListener* listener, const Tick& tick, int64_t from) {
  std::lock_guard lock(mutex_);
  return scheduleTickLocked(stream, Target{sender, listener}, tick, from, generation_);
}

TimingEvent Machine::scheduleTickLocked(const MediaStream& stream, const Target& target,
                                        const Tick& tick, int64_t from, uint64_t generation) {
  const int64_t period = tick.second;
  if (period < 1) {
    throw std::invalid_argument("A tick period must be at least 1 ms: " + tick.first);
  }
  const int64_t tickTime = (from / period + 1) * period;
  TimingEvent event([this, stream, target, tick, from, tickTime,
                     generation] { onTick(stream, target, tick, from, tickTime, generation); },
                    milliseconds(tickTime), TimingEvent::kAutoId, TimingEvent::kOneShotRemove);
  tickTable_.insert_or_assign(tick.first, event);
  return event;
}

void Machine::onTick(const MediaStream& stream, const Target& target, const Tick& tick,
                     int64_t from, int64_t tickTime, uint64_t generation) {
  int64_t clockNow = 0;
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_ || !synced_) return;
    clockNow = timing_->elapsed().count();
    try {
      // From the tick's own time at least: a tick fired a little early must
      // not schedule itself again.
      timing_->registerEvent(
          scheduleTickLocked(stream, target, tick, std::max(clockNow, tickTime), generation));
    } catch (const std::exception&) {
      logWithLogger<LogLevel::Error>(target.sender, "Unable to re-register tick for id ",
                                     tick.first);
    }
  }
  const std::unique_ptr<ThriftParams> message = syncengine::generateSyncEngineSignalThriftParam(
      tickEngineType_, stream, EventType::tick, tickTime, tick.first, from, clockNow, -1, clock_);
  if (target.listener != nullptr) target.listener->onProcessorEvent(target.sender, message.get());
}

void Machine::onWatchdog(const std::shared_ptr<const IProcessorEventParams>& desync,
                         const Target& target, uint64_t generation) {
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_ || !synced_) return;
    stopLocked();
  }
  if (target.listener != nullptr) target.listener->onProcessorEvent(target.sender, desync.get());
}

MediaStream Machine::syncedMediaStream() const {
  std::lock_guard lock(mutex_);
  return synced_ ? current_ : MediaStream();
}

void Machine::stopLocked() {
  synced_ = false;
  current_ = MediaStream();
  timing_->stop();
}

void Machine::stop() {
  std::lock_guard lock(mutex_);
  stopLocked();
}

void Machine::addEventSequence(const MediaStream& stream, std::vector<TimingEvent> events,
                               int64_t timeoutSecs, std::map<std::string, int64_t> ticks) {
  std::erase_if(ticks, [](const auto& tick) { return tick.second < 1; });
  std::lock_guard lock(mutex_);
  sequences_.try_emplace(stream,
                         StreamEventSequence{timeoutSecs, std::move(events), std::move(ticks)});
}

void Machine::removeEventSequence(const MediaStream& stream) {
  std::lock_guard lock(mutex_);
  sequences_.erase(stream);
}

std::vector<MediaStream> Machine::getConfiguredMediaStreams() const {
  std::lock_guard lock(mutex_);
  std::vector<MediaStream> streams;
  for (const auto& [stream, sequence] : sequences_) streams.push_back(stream);
  return streams;
}

int64_t Machine::timeoutMillis(const MediaStream& stream) const {
  std::lock_guard lock(mutex_);
  const auto it = sequences_.find(stream);
  return it != sequences_.end() ? it->second.timeout * 1000 : defaultTimeout;
}

}  // namespace tembrolexinsdk
