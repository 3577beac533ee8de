// Machine: the state machine of the EVENT engine.
//
// A followed media track carries a track codeword (any codeword for which the
// app registered an event sequence) and sync codewords (31744 to 32767) that
// mark positions on the track's timeline. The machine turns the stream of
// decoded codewords into the engine's events (track detected, synchronised,
// timed event, missed codewords, interrupted, sequence ended) and decides
// when the timing engine is prepared with a track's events, given an anchor,
// and reset.
//
// States and what moves them (a track codeword is a non-sync codeword with a
// sequence):
//   Idle          entry resets the timing engine. A sync codeword is kept as
//                 a reverse anchor for D = floor(duration s) * 1.1 seconds in
//                 case the track codeword follows; a track codeword makes it
//                 current and goes Ready.
//   Ready         entry raises "track detected", prepares the track's events
//                 and, with a reverse anchor, syncs on it and goes
//                 Synchronised. A sync codeword syncs and goes Synchronised;
//                 another track re-enters Ready for it; any other codeword
//                 goes Idle.
//   Synchronised  entry raises "synchronised" and arms the missed-codeword
//                 timer (the track's time-out; none for 0). Codewords of the
//                 track re-arm it (sync codewords also add an anchor);
//                 another track raises "interrupted" and goes Ready for it;
//                 any other codeword raises "interrupted" and goes Idle. When
//                 the timer runs out, "missed codewords" (stamped when armed)
//                 is raised and then the machine goes Idle. The timing
//                 engine running out of events goes SequenceEnded.
//   SequenceEnded entry pauses timing and raises "sequence ended". A sync
//                 codeword syncs and goes Synchronised; another track goes
//                 Ready; any other codeword goes Idle.
// Raised events go to the engine, except that an event of the same type as
// the last one forwarded is dropped (timed events are never dropped).
//
// Thread safety: every operation may be called from any thread. Codewords
// are processed on the main queue (the caller waits); the delayed blocks run
// there too; the timing engine's end of sequence is moved there. The state,
// the current track, the reverse anchor and the pending blocks are guarded by
// one recursive lock, which is never held by a thread other than the main
// one while it waits for the main queue. Each step (a codeword's handling, a
// state change, a stop or pause) runs whole under that lock, and nothing of
// it reaches the app while the lock is held: its log lines are held and the
// events it raises are kept, and the outermost step hands both over, in the
// order raised, once it has released the lock. So the app hears a codeword's
// events before processCodeword returns, and an app that ends the process
// from one of them never leaves the lock held for the stop that the library's
// shutdown makes. Timed events are moved from the timing thread to the main
// queue (the timing thread waits) and forwarded there. The engine link's
// calls may block on the main queue.
//
// Stopping (stop): runs are counted by stops. A stop ends the run and returns
// the machine to Idle (the timing engine reset, the reverse anchor dropped)
// in one step under the lock, so each codeword's step lies wholly before a
// stop or wholly after it, in the next run, starting from Idle; timing and
// anchors taken before the stop do not outlive it. Every event is handed
// over within a hand-over, which knows the run it belongs to: that of the
// step that raised it; for a timed event or
// the end of the sequence, that of the step that prepared the timing
// engine's events (taken back under the timing engine's lock where its
// thread decides, before anything of it is logged); for "missed codewords",
// that of the step that armed the timer. A hand-over of an ended run that
// has not begun yet delivers nothing, and an end of sequence of an ended run
// changes no state; one in progress on another thread is waited for until it
// has delivered all its events (no lock is held meanwhile, and the wait ends
// when that thread runs the process's exit); one in progress on the stopping
// thread (a stop from inside a delivery) delivers none of its events that are
// still to come.
#ifndef TL_PLATFORM_ENGINES_EVENT_MACHINE_H_
#define TL_PLATFORM_ENGINES_EVENT_MACHINE_H_

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "platform/engines/event_types.h"
#include "platform/engines/timing_engine.h"
#include "platform/runtime/event_params.h"
#include "platform/runtime/safe_dispatch.h"

namespace tembrolexinplatform {

// What the machine asks of the EVENT engine.
class EventEngineLink {
 public:
  virtual ~EventEngineLink() = default;
  virtual bool codewordHasEventSequence(int64_t codeword) const = 0;
  virtual std::optional<EventSequence> eventSequence(int64_t codeword) const = 0;
  // An event for the app.
  virtual void onEventEngineEvent(const Event& event) = 0;
};

class Machine final : public TimingListener {
 public:
  // All three must outlive the machine. The machine does not make itself the
  // timing engine's listener; its owner wires that.
  Machine(Dispatcher& dispatcher, EventTiming& timing, EventEngineLink& engine);
  // Cancels the pending delayed blocks.
  ~Machine() override;
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Runs the current state's handling of the codeword on the main queue and
  // waits for it (at once on the main thread).
  void processCodeword(const TLCodewordEventParams& codeword);
  // Resets the timing engine and goes Idle.
  void stopTiming();
  // Ends the run, does stopTiming and drops the reverse anchor, as one step
  // (see "Stopping" above): the machine is Idle from then on, with the
  // timing engine reset, until the next codeword, which starts the next run
  // (a codeword handed in on another thread while the stop ran may be that
  // one, taken wholly after the stop), and no event of the ended run reaches
  // the engine once it returns, timed ones included. Never waits for the
  // timing thread; not to be called with the machine's lock held.
  void stop();
  // The current state's pause (Synchronised cancels its timer), then stops
  // the timing thread; the state stays.
  void pauseTiming();

  // Pass-throughs to the timing engine.
  bool isSyncCodeword(int64_t codeword) const;
  double getCodewordSyncTime(int64_t codeword) const;
  void syncWithCodeword(int64_t codeword, double timeStampSeconds);
  void syncWithAnchor(const SyncAnchor& anchor);

  bool codewordHasSequence(int64_t codeword) const;
  // Prepares the timing engine with the track's events and takes its
  // time-out (none and 0 when the track has no sequence any more).
  void prepareWithEventsForTrack(int64_t trackId);

  // From the timing thread, with the run of the step that prepared the
  // events.
  void onTimedEvent(const Event& event, uint64_t run) override;
  void onTimingSequenceEnded(uint64_t run) override;

  // Sequence ended pauses timing first; then the de-duplication and the
  // hand-over to the engine.
  void onEventEngineEvent(const Event& event);

  // Whether the calling thread is inside one of the machine's steps or
  // hand-overs, and so maybe inside a call into the app that one made.
  bool busyOnThisThread() const;
  // Waits until no thread is inside a step or hand-over of the machine (but
  // one that runs the process's exit); no lock may be held. For a teardown
  // that must not free the machine under such a thread.
  void waitUntilIdle();

  // For tests and logs.
  std::string currentStateName() const;
  int64_t currentTrackId() const;
  std::optional<SyncAnchor> reverseSyncAnchor() const;
  double syncTimeoutS() const;

 private:
  class State;
  class StateIdle;
  class StateReady;
  class StateSynchronised;
  class StateSequenceEnded;
  class Step;
  class Handover;
  class Busy;

  void changeStateWithState(State* state);
  State* idle() const;
  State* ready() const;
  State* synchronised() const;
  State* sequenceEnded() const;
  // Within a step: keeps the event for the step's end (sequence ended pauses
  // timing at once, as part of the step).
  void raise(int32_t type, std::optional<std::string> value = std::nullopt);
  // The de-duplication and the hand-over to the engine; no lock held.
  void forward(const Event& event);
  // The run that events raised now belong to.
  uint64_t currentRun();
  TLDate now() const;

  Dispatcher& dispatcher_;
  SafeDispatch safe_;
  EventTiming& timing_;
  EventEngineLink& engine_;

  mutable tembrolexin::RecursiveMutex mutex_;
  std::unique_ptr<StateIdle> idle_;
  std::unique_ptr<StateReady> ready_;
  std::unique_ptr<StateSynchronised> synchronised_;
  std::unique_ptr<StateSequenceEnded> sequenceEnded_;
  State* currentState_ = nullptr;
  int64_t currentTrackId_ = 0;
  std::optional<SyncAnchor> reverseSyncAnchor_;
  double syncTimeoutS_ = 0;
  // Steps the lock's holder is inside, the events they raised so far, and
  // the run the outermost one began in.
  int stepDepth_ = 0;
  std::vector<Event> raised_;
  uint64_t stepRun_ = 0;

  // The hand-overs in progress and the current run, counted by stops.
  mutable tembrolexin::Mutex deliveryMutex_;
  tembrolexin::CondVar deliveryCv_;
  uint64_t run_ = 0;
  uint64_t lastHandover_ = 0;
  std::vector<Handover*> handovers_;
  // The threads inside a step or hand-over, once per frame.
  std::vector<std::thread::id> busy_;

  tembrolexin::Mutex forwardMutex_;
  int32_t lastForwardedType_ = kEventSequenceEnded;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_EVENT_MACHINE_H_
