// Machine: plays the event sequence of the media stream that a sync engine
// is synchronised to, against the engine's Timing.
//
// Each engine keeps, per stream, a sequence of timed events, periodic ticks
// and a sync time-out. `sync` (stream, position) makes the Timing's clock
// read that position and run on; the stream's timed events and ticks then
// fire on the Timing's thread, and a watchdog desynchronises the machine
// (handing a prepared desync message to the listener) when no further `sync`
// arrives within the time-out. A `sync` of the same stream moves the clock,
// reschedules the ticks and pushes the watchdog on; a `sync` of another
// stream replaces every registered event by the new stream's.
//
// The watchdog is registered under the one id `timeoutId`, so each arming
// replaces the previous one in the Timing. Watchdog and tick callbacks carry
// the generation of the `sync` that scheduled them: once a later `sync` has
// run they do nothing, so a `sync` that meets one of them firing neither
// fails nor leaves a second tick chain behind (a watchdog that is firing
// while the next is armed cannot be replaced; the next then takes an
// automatic id).
//
// Ownership: the Timing is not owned; it must be stopped and destroyed before
// the machine, since its events call back into it. Messages go to the
// listener given to `sync`, with the sender given there.
//
// Thread safety: every operation may be called from any thread, also from a
// Timing callback. One mutex guards the machine's state; it is held while
// calling the Timing (whose operations never wait for a callback) and never
// while calling the listener.
#ifndef TL_CORE_ENGINES_MACHINE_H_
#define TL_CORE_ENGINES_MACHINE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/engines/media_stream.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/i_processor_listener.h"
#include "core/runtime/i_processor_params.h"
#include "core/runtime/timing.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

class Machine {
 public:
  // The sync time-out of a stream without a sequence.
  static constexpr int64_t defaultTimeout = 30000;
  // The Timing id of the desync watchdog.
  static constexpr int timeoutId = -117;

  using Tick = std::pair<std::string, int64_t>;  // tick id, period in ms

  // `tickEngineType` goes into tick messages; `clock` stamps them.
  Machine(Timing* timing, EngineType::type tickEngineType, const Clock& clock = Clock::real());
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Synchronises to `stream` at `position`; `desync` (copied now) is what the
  // watchdog hands to the listener when it fires.
  void sync(const MediaStream& stream, int64_t position, const IProcessorEventParams& desync,
            const INamedObject* sender, IProcessorListener* listener);
  // The next firing of `tick` (id, period) after position `from`: at the
  // first multiple of the period after `from`, one-shot, with an automatic
  // id. It is recorded as the tick's event in the tick table (a later `sync`
  // of the same stream cancels it); the caller registers it with the
  // Timing. Its firing sends a tick message from `sender` to `listener` and
  // schedules the next one. Throws std::invalid_argument for a period below
  // 1 ms, which would be due again at once.
  TimingEvent registerTick(const MediaStream& stream, const INamedObject* sender,
                           IProcessorListener* listener, const Tick& tick, int64_t from);
  // The current stream when synchronised, else the null stream.
  MediaStream syncedMediaStream() const;
  // Desynchronises and stops the clock; registered events stay.
  void stop();

  // Stores a sequence for `stream` unless it already has one (the first
  // stays). Ticks with a period below 1 ms are never scheduled.
  void addEventSequence(const MediaStream& stream, std::vector<TimingEvent> events,
                        int64_t timeoutSecs, std::map<std::string, int64_t> ticks);
  // Forgets the stream's sequence; events already registered play on.
  void removeEventSequence(const MediaStream& stream);
  // The streams that have a sequence, in no particular order.
  std::vector<MediaStream> getConfiguredMediaStreams() const;
  // The stream's time-out in ms: its sequence's, else defaultTimeout.
  int64_t timeoutMillis(const MediaStream& stream) const;

 private:
  struct StreamEventSequence {
    int64_t timeout = 0;  // seconds
    std::vector<TimingEvent> events;
    std::map<std::string, int64_t> ticks;
  };
  struct Target {
    const INamedObject* sender;
    IProcessorListener* listener;
  };

  // A tick's next firing after `from`, recorded in the tick table. Requires
  // mutex_.
  TimingEvent scheduleTickLocked(const MediaStream& stream, const Target& target, const Tick& tick,
                                 int64_t from, uint64_t generation);
  void onTick(const MediaStream& stream, const Target& target, const Tick& tick, int64_t from,
              int64_t tickTime, uint64_t generation);
  void onWatchdog(const std::shared_ptr<const IProcessorEventParams>& desync, const Target& target,
                  uint64_t generation);
  void stopLocked();
  // Cancels an event unless it is firing right now (then its generation
  // keeps it from acting).
  void cancelQuietly(const TimingEvent& event);

  Timing* const timing_;
  const EngineType::type tickEngineType_;
  const Clock& clock_;

  mutable tembrolexin::Mutex mutex_;
  bool synced_ = false;
  MediaStream current_;
  uint64_t generation_ = 0;
  std::map<std::string, TimingEvent> tickTable_;
  std::unique_ptr<TimingEvent> watchdog_;
  std::unordered_map<MediaStream, StreamEventSequence, MediaStreamHash> sequences_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ENGINES_MACHINE_H_
