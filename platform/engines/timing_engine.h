// TimingEngine: the clock of the EVENT engine.
//
// It holds the timed events of the track being followed and a list of sync
// anchors; the last anchor added is in force and extrapolates the track's
// timeline from the up-time:
//   currentSyncTime = upTime + anchor.syncTime - anchor.anchorTime.
// A thread of its own fires each timed event when the timeline reaches its
// time and tells its listener when no event is left.
//
// Choosing the next event: the first event in list order (never sorted) that
// has not fired and lies less than 0.5 s behind the timeline. An event less
// than 0.5 s overdue still fires; one 0.5 s or more overdue is skipped. An
// event fires at most once until an anchor moves the timeline back by 0.5 s
// or more to before its time; then it fires again.
//
// Firing: an event due within 5 ms fires at once; otherwise the thread
// sleeps until its time (on the Clock, so a fake clock drives it) and is
// woken early by a new anchor (it re-schedules) or a stop. The lateness of
// every event that was waited for is logged with running minimum, maximum
// and average (the statistics start at 0).
//
// Sync codewords are 31744 to 32767 (codeword >> 10 == 31); codeword c marks
// (c - 31743) * syncTimePeriod + codewordOffset seconds on the timeline.
//
// Lifecycle: idle (no thread) until the first anchor of a prepared track;
// running while events remain and no stop is requested. prepareWithEvents and
// resetEngine stop the thread and drop events and anchors; stopTiming stops
// it and keeps them. An anchor added while a thread still runs (even one
// asked to stop) keeps that thread going against the new anchor; otherwise
// it starts a new thread, joining the one before. A thread counts as running
// until it has handed its last lines to the app ("Timing thread interrupted,
// stopping..."), so an anchor handed in from the log delegate on those lines
// keeps it going, and the join waits only for a thread that calls into the
// app no more. shutDown is final: it ends the thread and joins it
// (a LibraryThread: let go when it is the calling thread or runs the
// process's exit, as after an exit() from the app's log delegate on one of
// its lines; it never returns to the engine then), and from then on no
// anchor starts or keeps a thread (anchors are still taken). The library's
// shutdown, at exit too, shuts the shared EVENT engine's timing engine down
// this way (TLEventEngine::shutDownSharedTiming).
//
// Thread safety: every operation may be called from any thread. One lock
// guards the events, the anchors, the statistics and the thread's flags; it
// is never held while the listener runs or while the thread sleeps, nor
// while shutDown joins, so no operation but shutDown (and the destructor)
// ever waits for the timing thread while it may call the app or sleep. The
// listener is called on the timing thread and may block (the EVENT engine
// waits for the main queue there), so shutDown and the destructor must not
// run on a thread the listener is waiting for. A second shutDown while the
// first one joins returns at once.
#ifndef TL_PLATFORM_ENGINES_TIMING_ENGINE_H_
#define TL_PLATFORM_ENGINES_TIMING_ENGINE_H_

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"
#include "core/runtime/thread_join.h"
#include "platform/engines/event_types.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

// What the state machine asks of its timing engine.
class EventTiming {
 public:
  virtual ~EventTiming() = default;
  virtual bool isSyncCodeword(int64_t codeword) const = 0;
  // Seconds on the timeline; -1.0 for a codeword that is not a sync codeword.
  virtual double getCodewordSyncTime(int64_t codeword) const = 0;
  // A new anchor for the codeword captured at `timeStampSeconds` of up-time.
  virtual void syncWithCodeword(int64_t codeword, double timeStampSeconds) = 0;
  virtual void syncWithAnchor(SyncAnchor anchor) = 0;
  // Drops the previous events and anchors and takes these. `run` is the
  // owner's: every event fired from them, and their end, carries it back.
  virtual void prepareWithEvents(std::vector<TimedEventEngine> events, uint64_t run) = 0;
  // Stops the thread; events and anchors stay.
  virtual void stopTiming() = 0;
  // Stops the thread and drops events and anchors.
  virtual void resetEngine() = 0;
};

// Told by the timing thread. `run` is the one the events were prepared with,
// read under the engine's lock where the thread decided to fire the event
// (or that none is left), before the lines logged on that decision ("Firing
// event ...", held until the lock is released) reach the app: a stop made
// while the log delegate holds such a line ends that run.
class TimingListener {
 public:
  virtual ~TimingListener() = default;
  // An Event of type 1 for a timed event that fired.
  virtual void onTimedEvent(const Event& event, uint64_t run) = 0;
  // No event is left to fire.
  virtual void onTimingSequenceEnded(uint64_t run) = 0;
};

class TimingEngine final : public EventTiming {
 public:
  static constexpr double kDefaultCodewordOffset = 0.108;
  static constexpr double kDefaultSyncTimePeriod = 20.16;
  // How far behind the timeline an event may be and still fire.
  static constexpr double kOverdueWindow = 0.5;
  // Events due within this many seconds fire without waiting.
  static constexpr double kFireAtOnce = 0.005;

  struct ErrorStats {
    double minerr = 0, maxerr = 0, sumerr = 0;
    int32_t errcnt = 0;
  };

  // `clock` gives the up-time, the wall clock and the waits; it must outlive
  // the engine.
  explicit TimingEngine(const tembrolexinsdk::Clock& clock);
  // Shuts the engine down (see shutDown).
  ~TimingEngine() override;
  TimingEngine(const TimingEngine&) = delete;
  TimingEngine& operator=(const TimingEngine&) = delete;

  // Not owned; must outlive the engine's thread. Set before the first anchor.
  void setListener(TimingListener* listener);

  bool isSyncCodeword(int64_t codeword) const override;
  double getCodewordSyncTime(int64_t codeword) const override;
  void syncWithCodeword(int64_t codeword, double timeStampSeconds) override;
  void syncWithAnchor(SyncAnchor anchor) override;
  void prepareWithEvents(std::vector<TimedEventEngine> events, uint64_t run) override;
  void stopTiming() override;
  void resetEngine() override;
  // Drops the events and the anchors.
  void dropTimingInfo();
  // Final: stops the thread and joins it unless the caller is that thread;
  // afterwards no timing thread runs or starts. Idempotent.
  void shutDown();

  // -1.0 without an anchor.
  double currentSyncTime() const;
  // The wall-clock date at which the timeline reaches `syncTime`; none
  // without an anchor.
  std::optional<TLDate> absTimeForSyncTime(double syncTime) const;
  // The event the thread would take next (a copy); none when none qualifies.
  std::optional<TimedEventEngine> getNextEvent() const;
  // The rule behind it: the index of the first event that has not fired and
  // lies less than kOverdueWindow behind `now`.
  static std::optional<std::size_t> chooseNextEvent(const std::vector<TimedEventEngine>& events,
                                                    double now);

  double codewordOffset() const;
  void setCodewordOffset(double seconds);
  double syncTimePeriod() const;
  void setSyncTimePeriod(double seconds);

  bool isTimingThreadRunning() const;
  // Whether the caller is the engine's timing thread (its listener, or the
  // app's log delegate on one of its lines).
  bool isTimingThread() const;
  ErrorStats errorStats() const;
  // The events with their fired flags (a copy).
  std::vector<TimedEventEngine> timedEvents() const;

 private:
  double upTimeSeconds() const;
  double currentSyncTimeLocked() const;
  void stopTimingLocked();
  void dropTimingInfoLocked();
  void fire(const std::optional<std::string>& data, TLDate date, uint64_t run);
  void threadMain();
  // The thread's loop until it is asked to stop; called and returns with
  // `lock` held.
  void runUntilStopped(std::unique_lock<tembrolexin::Mutex>& lock, TLLogger::HeldLines& held);

  const tembrolexinsdk::Clock& clock_;
  TimingListener* listener_ = nullptr;

  mutable tembrolexin::Mutex mutex_;
  tembrolexin::CondVar wakeCv_;
  std::vector<TimedEventEngine> timedEvents_;
  uint64_t run_ = 0;  // given with timedEvents_
  std::vector<SyncAnchor> syncAnchors_;
  double codewordOffset_ = kDefaultCodewordOffset;
  double syncTimePeriod_ = kDefaultSyncTimePeriod;
  ErrorStats stats_;
  bool stopTimingThread_ = false;
  bool wake_ = false;          // the wake condition: a new anchor or a stop
  bool threadRunning_ = false;
  bool shutDown_ = false;  // final: no thread starts or goes on
  tembrolexinsdk::LibraryThread thread_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_TIMING_ENGINE_H_
