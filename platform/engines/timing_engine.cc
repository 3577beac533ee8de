#include "platform/engines/timing_engine.h"

#include <algorithm>
#include <cmath>
#include <thread>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/thread_join.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

constexpr int64_t kSyncCodewordTag = 31;
constexpr int64_t kSyncCodewordBase = 31743;

double dateSeconds(TLDate date) {
  return std::chrono::duration<double>(date.time_since_epoch()).count();
}

// Seconds as a steady-clock duration, clamped so that adding it to a
// steady time cannot overflow.
std::chrono::nanoseconds secondsToSteady(double seconds) {
  if (!(seconds > 0)) return std::chrono::nanoseconds(0);
  const double maxSeconds = static_cast<double>(tembrolexinsdk::kMaxTimerMillis) / 1000.0;
  return std::chrono::nanoseconds(static_cast<int64_t>(std::min(seconds, maxSeconds) * 1e9));
}

}  // namespace

TimingEngine::TimingEngine(const tembrolexinsdk::Clock& clock) : clock_(clock) {}

TimingEngine::~TimingEngine() { shutDown(); }

void TimingEngine::shutDown() {
  tembrolexinsdk::LibraryThread thread;
  {
    std::lock_guard lock(mutex_);
    shutDown_ = true;
    stopTimingLocked();
    // Taken out under the lock: a second caller finds nothing to join and
    // returns at once (an exit() on a thread this one joins, say).
    thread = std::move(thread_);
  }
  // Joined without the lock, which the thread takes on its way out. Let go
  // when it is the calling thread or runs the process's exit (an exit() from
  // a call it made, the app's log delegate on one of its lines): it never
  // returns to the engine then.
  tembrolexinsdk::joinUnlessSelf(thread);
}

void TimingEngine::setListener(TimingListener* listener) {
  std::lock_guard lock(mutex_);
  listener_ = listener;
}

bool TimingEngine::isSyncCodeword(int64_t codeword) const {
  return (codeword >> 10) == kSyncCodewordTag;
}

double TimingEngine::getCodewordSyncTime(int64_t codeword) const {
  if (!isSyncCodeword(codeword)) return -1.0;
  std::lock_guard lock(mutex_);
  return static_cast<double>(codeword - kSyncCodewordBase) * syncTimePeriod_ + codewordOffset_;
}

void TimingEngine::syncWithCodeword(int64_t codeword, double timeStampSeconds) {
  const double syncTime = getCodewordSyncTime(codeword);
  TLLogger::debugInMethod("-[TimingEngine syncWithCodeword:withTimeStamp:]", __LINE__,
                          "Syncing with codeword %ld at timestamp %.3f, sync time is %.3f",
                          static_cast<long>(codeword), timeStampSeconds, syncTime);
  syncWithAnchor(SyncAnchor{timeStampSeconds, syncTime});
}

void TimingEngine::syncWithAnchor(SyncAnchor anchor) {
  tembrolexinsdk::LibraryThread finished;
  {
    // The lines logged under the lock reach the log after it (see threadMain).
    TLLogger::HeldLines held;
    std::lock_guard lock(mutex_);
    if (!syncAnchors_.empty()) {
      // An anchor that moves the timeline back by the overdue window or more
      // makes the events after the new position fire again; a smaller move is
      // jitter of the capture stamps and replays nothing.
      const double before = currentSyncTimeLocked();
      const double after = upTimeSeconds() + anchor.syncTime - anchor.anchorTime;
      if (after <= before - kOverdueWindow) {
        for (TimedEventEngine& e : timedEvents_) {
          if (e.eventTriggered && e.eventTime > after) e.eventTriggered = false;
        }
      }
    }
    syncAnchors_.push_back(anchor);
    if (shutDown_) {
      // A thread still running here is on its way out, and is left to go.
      TLLogger::debugInMethod("-[TimingEngine syncWithAnchor:]", __LINE__,
                              "Timing thread not started: the timing engine has shut down");
      return;
    }
    if (threadRunning_) {
      TLLogger::debugInMethod("-[TimingEngine syncWithAnchor:]", __LINE__,
                              "Signalling timing thread to re-schedule");
      // A stop that the thread has not acted on yet is overridden, so the
      // anchor is never left without a thread.
      stopTimingThread_ = false;
      wake_ = true;
      wakeCv_.notify_all();
      return;
    }
    TLLogger::debugInMethod("-[TimingEngine syncWithAnchor:]", __LINE__, "Starting timing thread");
    stopTimingThread_ = false;
    wake_ = false;
    threadRunning_ = true;
    // The previous thread cleared threadRunning_ in its last locked step, so
    // joining it below waits only for it to return.
    finished = std::move(thread_);
    thread_ = tembrolexinsdk::LibraryThread([this] { threadMain(); });
  }
  if (finished.joinable()) finished.join();
}

void TimingEngine::prepareWithEvents(std::vector<TimedEventEngine> events, uint64_t run) {
  std::lock_guard lock(mutex_);
  stopTimingLocked();
  dropTimingInfoLocked();
  timedEvents_ = std::move(events);
  run_ = run;
  stats_ = ErrorStats{};
}

void TimingEngine::stopTiming() {
  std::lock_guard lock(mutex_);
  stopTimingLocked();
}

void TimingEngine::resetEngine() {
  std::lock_guard lock(mutex_);
  stopTimingLocked();
  dropTimingInfoLocked();
}

void TimingEngine::dropTimingInfo() {
  std::lock_guard lock(mutex_);
  dropTimingInfoLocked();
}

void TimingEngine::stopTimingLocked() {
  stopTimingThread_ = true;
  wake_ = true;
  wakeCv_.notify_all();
}

void TimingEngine::dropTimingInfoLocked() {
  timedEvents_.clear();
  syncAnchors_.clear();
  // A thread waiting for a dropped event must look again.
  wake_ = true;
  wakeCv_.notify_all();
}

double TimingEngine::upTimeSeconds() const {
  return static_cast<double>(clock_.upTimeMillis()) / 1000.0;
}

double TimingEngine::currentSyncTime() const {
  TLLogger::HeldLines held;
  std::lock_guard lock(mutex_);
  return currentSyncTimeLocked();
}

double TimingEngine::currentSyncTimeLocked() const {
  if (syncAnchors_.empty()) return -1.0;
  const SyncAnchor& anchor = syncAnchors_.back();
  const double upTime = upTimeSeconds();
  const double syncTime = upTime + anchor.syncTime - anchor.anchorTime;
  static constexpr char kMethod[] = "-[TimingEngine currentSyncTime]";
  TLLogger::debugInMethod(kMethod, __LINE__, "Latest anchor has anchorTime: %.3f, syncTime: %.3f",
                          anchor.anchorTime, anchor.syncTime);
  TLLogger::debugInMethod(kMethod, __LINE__, "Current upTimeInterval = %.3f", upTime);
  TLLogger::debugInMethod(kMethod, __LINE__, "Current sync time is = %.3f", syncTime);
  return syncTime;
}

std::optional<TLDate> TimingEngine::absTimeForSyncTime(double syncTime) const {
  std::lock_guard lock(mutex_);
  if (syncAnchors_.empty()) return std::nullopt;
  const SyncAnchor& anchor = syncAnchors_.back();
  const double ahead = anchor.anchorTime + (syncTime - anchor.syncTime) - upTimeSeconds();
  return dateFromWallMicros(clock_.wallMicros() + std::llround(ahead * 1e6));
}

std::optional<std::size_t> TimingEngine::chooseNextEvent(const std::vector<TimedEventEngine>& events,
                                                          double now) {
  for (std::size_t i = 0; i < events.size(); ++i) {
    const TimedEventEngine& e = events[i];
    if (!e.eventTriggered && e.eventTime > now - kOverdueWindow) return i;
  }
  return std::nullopt;
}

std::optional<TimedEventEngine> TimingEngine::getNextEvent() const {
  TLLogger::HeldLines held;
  std::lock_guard lock(mutex_);
  const auto index = chooseNextEvent(timedEvents_, currentSyncTimeLocked());
  if (!index) return std::nullopt;
  return timedEvents_[*index];
}

double TimingEngine::codewordOffset() const {
  std::lock_guard lock(mutex_);
  return codewordOffset_;
}

void TimingEngine::setCodewordOffset(double seconds) {
  std::lock_guard lock(mutex_);
  codewordOffset_ = seconds;
}

double TimingEngine::syncTimePeriod() const {
  std::lock_guard lock(mutex_);
  return syncTimePeriod_;
}

void TimingEngine::setSyncTimePeriod(double seconds) {
  std::lock_guard lock(mutex_);
  syncTimePeriod_ = seconds;
}

bool TimingEngine::isTimingThreadRunning() const {
  std::lock_guard lock(mutex_);
  return threadRunning_;
}

bool TimingEngine::isTimingThread() const {
  std::lock_guard lock(mutex_);
  return thread_.joinable() && thread_.get_id() == std::this_thread::get_id();
}

TimingEngine::ErrorStats TimingEngine::errorStats() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

std::vector<TimedEventEngine> TimingEngine::timedEvents() const {
  std::lock_guard lock(mutex_);
  return timedEvents_;
}

void TimingEngine::fire(const std::optional<std::string>& data, TLDate date, uint64_t run) {
  TimingListener* listener;
  {
    std::lock_guard lock(mutex_);
    listener = listener_;
  }
  if (listener) listener->onTimedEvent(Event{kEventTimedEvent, data, date}, run);
}

void TimingEngine::threadMain() {
  // Linux gives a raised thread priority only to privileged processes, so the
  // thread runs at the default one; waits end on the absolute deadline
  // rather than by polling.
  // The thread's lines are logged once the lock is released: an app's log
  // delegate may call back into the engine, or call exit(), whose shutdown
  // stops the engine, on this thread.
  TLLogger::HeldLines held;
  std::unique_lock lock(mutex_);
  for (;;) {
    runUntilStopped(lock, held);
    // The last lines ("Timing thread interrupted, stopping...") reach the app
    // while the thread still counts as running: an anchor that the log
    // delegate hands in meanwhile keeps this thread going instead of starting
    // a second one that would have to join this one, and no step ever waits
    // for a timing thread that may still call into the app.
    lock.unlock();
    held.release();
    lock.lock();
    if (stopTimingThread_) break;
  }
  // Nothing is logged from here on: a join of this thread waits only for it
  // to return.
  threadRunning_ = false;
}

void TimingEngine::runUntilStopped(std::unique_lock<tembrolexin::Mutex>& lock,
                                   TLLogger::HeldLines& held) {
  static constexpr char kMethod[] = "-[TimingEngine timingThread]";
  while (!stopTimingThread_) {
    if (syncAnchors_.empty()) {
      // The timing was dropped without a stop; without an anchor there is
      // no timeline to follow.
      stopTimingThread_ = true;
      continue;
    }
    const double now = currentSyncTimeLocked();
    const auto index = chooseNextEvent(timedEvents_, now);
    if (!index) {
      TLLogger::debugInMethod(kMethod, __LINE__, "No more events, stopping timing thread");
      wake_ = false;
      TimingListener* listener = listener_;
      const uint64_t run = run_;
      lock.unlock();
      held.release();
      if (listener) listener->onTimingSequenceEnded(run);
      lock.lock();
      // A new anchor that came meanwhile keeps the thread going; otherwise it
      // ends here even if nobody asked it to stop.
      if (!wake_) stopTimingThread_ = true;
      continue;
    }
    TimedEventEngine& event = timedEvents_[*index];
    const std::optional<std::string> data = event.eventData;
    const double eventTime = event.eventTime;
    if (eventTime < now + kFireAtOnce) {
      const TLDate date = dateFromWallMicros(clock_.wallMicros());
      TLLogger::debugInMethod(kMethod, __LINE__, "Firing event %s immediately, at %.3f",
                              data.value_or("(null)").c_str(), dateSeconds(date));
      // Marked before the listener runs: the lock is released meanwhile, and
      // an event must not be chosen twice.
      event.eventTriggered = true;
      const uint64_t run = run_;
      lock.unlock();
      held.release();
      fire(data, date, run);
      lock.lock();
      continue;
    }

    const SyncAnchor anchor = syncAnchors_.back();
    const auto secondsLeft = [&] {
      return anchor.anchorTime + (eventTime - anchor.syncTime) - upTimeSeconds();
    };
    const double ahead = secondsLeft();
    const double fireDate =
        dateSeconds(dateFromWallMicros(clock_.wallMicros() + std::llround(ahead * 1e6)));
    TLLogger::debugInMethod(kMethod, __LINE__, "Timing thread waiting for event at %.3f", fireDate);
    wake_ = false;
    // A change made meanwhile sets wake_ again.
    lock.unlock();
    held.release();
    lock.lock();
    // What is left is measured again each time the thread looks: the uptime
    // and the steady clock are read apart, and a deadline fixed once would
    // count a move of the clock between the two reads twice.
    while (!wake_) {
      const std::chrono::nanoseconds left = secondsToSteady(secondsLeft());
      if (left.count() == 0) break;
      clock_.waitUntil(wakeCv_, lock, clock_.steadyNow() + left);
    }
    if (wake_) {
      TLLogger::debugInMethod(kMethod, __LINE__, "Timing thread interrupted, %s...",
                              stopTimingThread_ ? "stopping" : "re-scheduling");
      wake_ = false;
      continue;
    }

    const TLDate date = dateFromWallMicros(clock_.wallMicros());
    const double late = currentSyncTimeLocked() - eventTime;
    TLLogger::debugInMethod(kMethod, __LINE__, "Firing event %s at %.3f ***** %.3f secs late *****",
                            data.value_or("(null)").c_str(), dateSeconds(date), late);
    stats_.minerr = std::min(stats_.minerr, late);
    stats_.maxerr = std::max(stats_.maxerr, late);
    stats_.sumerr += late;
    stats_.errcnt += 1;
    TLLogger::debugInMethod(kMethod, __LINE__, "ERROR STATS: min=%.3f max=%.3f avg=%.3f",
                            stats_.minerr, stats_.maxerr, stats_.sumerr / stats_.errcnt);
    // The events were not replaced meanwhile: replacing them wakes the thread.
    timedEvents_[*index].eventTriggered = true;
    const uint64_t run = run_;
    lock.unlock();
    held.release();
    fire(data, date, run);
    lock.lock();
  }
}

}  // namespace tembrolexinplatform
