#include "platform/engines/event_machine.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/thread_join.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

// The machine serves the EVENT engine; its main-queue calls carry that name.
constexpr const char* kEngineName = "EVENT";

}  // namespace

// Marks the calling thread as inside a frame of the machine (a step or a
// hand-over) while it lives, so that a teardown knows whom to wait for.
class Machine::Busy {
 public:
  explicit Busy(Machine& machine) : m_(machine), thread_(std::this_thread::get_id()) {
    std::lock_guard lock(m_.deliveryMutex_);
    m_.busy_.push_back(thread_);
  }
  ~Busy() {
    std::lock_guard lock(m_.deliveryMutex_);
    m_.busy_.erase(std::find(m_.busy_.begin(), m_.busy_.end(), thread_));
    m_.deliveryCv_.notify_all();
  }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

 private:
  Machine& m_;
  const std::thread::id thread_;
};

// One hand-over of events to the engine, on the thread that delivers them
// (a block of the main queue, or inline on its thread). It belongs to the run
// its events were raised in: one that begins after a stop has ended that run
// delivers nothing, and a stop made on its own thread (from inside one of
// its deliveries) cancels the rest. A stop on another thread waits for it
// instead (Machine::stop).
class Machine::Handover {
 public:
  Handover(Machine& machine, uint64_t run)
      : busy_(machine), m_(machine), thread_(std::this_thread::get_id()) {
    std::lock_guard lock(m_.deliveryMutex_);
    id_ = ++m_.lastHandover_;
    cancelled_ = run != m_.run_;
    m_.handovers_.push_back(this);
  }
  ~Handover() {
    std::lock_guard lock(m_.deliveryMutex_);
    std::erase(m_.handovers_, this);
    m_.deliveryCv_.notify_all();
  }
  Handover(const Handover&) = delete;
  Handover& operator=(const Handover&) = delete;

  // Whether the next event may still go to the engine.
  bool admits() const {
    std::lock_guard lock(m_.deliveryMutex_);
    return !cancelled_;
  }

 private:
  friend class Machine;
  const Busy busy_;  // released last
  Machine& m_;
  const std::thread::id thread_;
  uint64_t id_ = 0;
  bool cancelled_ = false;
};

// One step of the machine, whole under its lock. A step of the library's
// shutdown takes the lock too (the engines' stop), so nothing of a step may
// call into the app while it is held: an app that ended the process from
// there would leave it held for good. The step's lines are held, the events
// it raises are kept, and the outermost step hands both over once it has
// released the lock, in the order they came. Bound to its thread.
class Machine::Step {
 public:
  explicit Step(Machine& machine)
      : busy_(machine), m_(machine), uncaught_(std::uncaught_exceptions()) {
    held_.emplace();
    lock_ = std::unique_lock<tembrolexin::RecursiveMutex>(m_.mutex_);
    if (m_.stepDepth_++ == 0) m_.stepRun_ = m_.currentRun();
  }
  ~Step() noexcept(false) {
    std::vector<Event> raised;
    uint64_t run = 0;
    if (--m_.stepDepth_ == 0) {
      raised.swap(m_.raised_);
      run = m_.stepRun_;
    }
    lock_.unlock();
    held_.reset();
    // A step that ends by an exception hands over no events.
    if (std::uncaught_exceptions() > uncaught_ || raised.empty()) return;
    Handover handover(m_, run);
    for (const Event& event : raised) {
      if (!handover.admits()) break;
      m_.forward(event);
    }
  }
  Step(const Step&) = delete;
  Step& operator=(const Step&) = delete;

 private:
  const Busy busy_;  // released last, once the events are handed over
  Machine& m_;
  const int uncaught_;
  std::optional<TLLogger::HeldLines> held_;
  std::unique_lock<tembrolexin::RecursiveMutex> lock_;
};

// Every state runs inside a step of the machine.
class Machine::State {
 public:
  explicit State(Machine& machine) : m_(machine) {}
  virtual ~State() = default;
  virtual const char* getName() const = 0;
  virtual void onEntry() = 0;
  virtual void onExit() {}
  virtual void processCodeword(const TLCodewordEventParams& codeword) = 0;
  virtual void onPause() {}

 protected:
  bool isCurrentTrack(int64_t codeword) const { return codeword == m_.currentTrackId_; }
  void makeCurrent(int64_t codeword) { m_.currentTrackId_ = codeword; }
  void sync(const TLCodewordEventParams& codeword) {
    m_.syncWithCodeword(codeword.msg(), static_cast<double>(codeword.steadyTimeStamp()) / 1000.0);
  }
  Machine& m_;
};

class Machine::StateIdle final : public State {
 public:
  using State::State;
  ~StateIdle() override { cancelClearing(); }
  const char* getName() const override { return "StateIdle"; }

  void onEntry() override { m_.stopTiming(); }
  void onExit() override { cancelClearing(); }
  // A stop ends the run and its reverse anchor with it: the anchor may mark
  // another medium's timeline, so a track codeword of the next run waits
  // for a sync codeword of its own.
  void dropReverseAnchor() {
    cancelClearing();
    m_.reverseSyncAnchor_.reset();
  }

  void processCodeword(const TLCodewordEventParams& codeword) override {
    const int64_t cw = codeword.msg();
    if (m_.isSyncCodeword(cw)) {
      m_.reverseSyncAnchor_ = SyncAnchor{static_cast<double>(codeword.steadyTimeStamp()) / 1000.0,
                                         m_.getCodewordSyncTime(cw)};
      // Whole seconds of the codeword's duration, plus a tenth.
      const double lifetime = static_cast<double>(codeword.codewordDuration() / 1000) * 11.0 / 10.0;
      // A newer anchor lives its own full time: the clearing of the older
      // one must not cut it short.
      cancelClearing();
      Machine* machine = &m_;
      clearing_ = m_.safe_.dispatchOnMainQueue(
          [machine] {
            Step step(*machine);
            machine->reverseSyncAnchor_.reset();
          },
          lifetime);
    } else if (m_.codewordHasSequence(cw)) {
      makeCurrent(cw);
      m_.changeStateWithState(m_.ready());
    }
  }

 private:
  void cancelClearing() {
    if (clearing_.valid()) m_.safe_.cancelDelayedBlock(clearing_);
    clearing_ = CancelHandle();
  }
  CancelHandle clearing_;
};

class Machine::StateReady final : public State {
 public:
  using State::State;
  const char* getName() const override { return "StateReady"; }

  void onEntry() override {
    TLLogger::debugInMethod("-[StateReady onEntry]", __LINE__, "%s", "");
    m_.raise(kEventTrackDetected, std::to_string(m_.currentTrackId_));
    m_.prepareWithEventsForTrack(m_.currentTrackId_);
    if (m_.reverseSyncAnchor_) {
      m_.syncWithAnchor(*m_.reverseSyncAnchor_);
      m_.changeStateWithState(m_.synchronised());
    }
  }
  void onExit() override { m_.reverseSyncAnchor_.reset(); }

  void processCodeword(const TLCodewordEventParams& codeword) override {
    const int64_t cw = codeword.msg();
    if (m_.isSyncCodeword(cw)) {
      sync(codeword);
      m_.changeStateWithState(m_.synchronised());
    } else if (isCurrentTrack(cw)) {
      // Already waiting for this track's sync codeword.
    } else if (m_.codewordHasSequence(cw)) {
      makeCurrent(cw);
      onExit();
      onEntry();
    } else {
      m_.changeStateWithState(m_.idle());
    }
  }
};

class Machine::StateSynchronised final : public State {
 public:
  using State::State;
  ~StateSynchronised() override { cancelTimer(); }
  const char* getName() const override { return "StateSynchronised"; }

  void onEntry() override {
    TLLogger::debugInMethod("-[StateSynchronised onEntry]", __LINE__, "Synchronised to track %lld",
                            static_cast<long long>(m_.currentTrackId_));
    m_.raise(kEventSynchronised);
    resetTimer();
  }
  void onExit() override { cancelTimer(); }
  void onPause() override { cancelTimer(); }

  void processCodeword(const TLCodewordEventParams& codeword) override {
    const int64_t cw = codeword.msg();
    if (m_.isSyncCodeword(cw)) {
      sync(codeword);
      resetTimer();
    } else if (isCurrentTrack(cw)) {
      resetTimer();
    } else if (m_.codewordHasSequence(cw)) {
      m_.raise(kEventInterrupted);
      makeCurrent(cw);
      m_.changeStateWithState(m_.ready());
    } else {
      m_.raise(kEventInterrupted);
      m_.changeStateWithState(m_.idle());
    }
  }

 private:
  // The missed-codeword timer: the event, then the return to Idle, both
  // after the time-out; the event carries the time at which it was armed.
  void resetTimer() {
    cancelTimer();
    const double timeout = m_.syncTimeoutS_;
    if (!(timeout > 0)) return;
    const Event missed{kEventMissedCodewords, std::nullopt, m_.now()};
    const uint64_t run = m_.stepRun_;
    Machine* machine = &m_;
    missedEvent_ = m_.safe_.dispatchOnMainQueue(
        [machine, missed, run, timeout] {
          TLLogger::debugInMethod("-[StateSynchronised missedCodewords]", __LINE__,
                                  "No codeword of the track for %.3f s", timeout);
          Handover handover(*machine, run);
          if (handover.admits()) machine->onEventEngineEvent(missed);
        },
        timeout);
    backToIdle_ = m_.safe_.dispatchOnMainQueue(
        [machine] { machine->changeStateWithState(machine->idle()); },
        timeout);
  }
  void cancelTimer() {
    for (CancelHandle* handle : {&missedEvent_, &backToIdle_}) {
      if (handle->valid()) m_.safe_.cancelDelayedBlock(*handle);
      *handle = CancelHandle();
    }
  }
  CancelHandle missedEvent_;
  CancelHandle backToIdle_;
};

class Machine::StateSequenceEnded final : public State {
 public:
  using State::State;
  const char* getName() const override { return "StateSequenceEnded"; }

  void onEntry() override { m_.raise(kEventSequenceEnded); }

  void processCodeword(const TLCodewordEventParams& codeword) override {
    const int64_t cw = codeword.msg();
    if (m_.isSyncCodeword(cw)) {
      sync(codeword);
      m_.changeStateWithState(m_.synchronised());
    } else if (isCurrentTrack(cw)) {
      // The track goes on without timed events.
    } else if (m_.codewordHasSequence(cw)) {
      makeCurrent(cw);
      m_.changeStateWithState(m_.ready());
    } else {
      m_.changeStateWithState(m_.idle());
    }
  }
};

Machine::State* Machine::idle() const { return idle_.get(); }
Machine::State* Machine::ready() const { return ready_.get(); }
Machine::State* Machine::synchronised() const { return synchronised_.get(); }
Machine::State* Machine::sequenceEnded() const { return sequenceEnded_.get(); }

Machine::Machine(Dispatcher& dispatcher, EventTiming& timing, EventEngineLink& engine)
    : dispatcher_(dispatcher),
      safe_(dispatcher),
      timing_(timing),
      engine_(engine),
      idle_(std::make_unique<StateIdle>(*this)),
      ready_(std::make_unique<StateReady>(*this)),
      synchronised_(std::make_unique<StateSynchronised>(*this)),
      sequenceEnded_(std::make_unique<StateSequenceEnded>(*this)),
      // Idle from the start, without its entry action.
      currentState_(idle_.get()) {}

Machine::~Machine() {
  std::lock_guard lock(mutex_);
  // The states cancel their pending blocks as they go.
  idle_.reset();
  synchronised_.reset();
}

void Machine::processCodeword(const TLCodewordEventParams& codeword) {
  safe_.safeDispatchSyncOnMainQueue(
      [this, &codeword] {
        // The step's events reach the app here, once it is whole.
        Step step(*this);
        currentState_->processCodeword(codeword);
      },
      kEngineName);
}

void Machine::changeStateWithState(State* state) {
  Step step(*this);
  if (state == currentState_) return;
  static constexpr char kMethod[] = "-[Machine changeStateWithState:]";
  TLLogger::debugInMethod(kMethod, __LINE__, "Leaving state  %s",
                          currentState_ ? currentState_->getName() : "null");
  if (currentState_) currentState_->onExit();
  currentState_ = state;
  TLLogger::debugInMethod(kMethod, __LINE__, "Entering state %s", state ? state->getName() : "null");
  // The new state is current before its entry runs, so a change asked for
  // inside the entry starts from it.
  if (state) state->onEntry();
}

void Machine::stopTiming() {
  Step step(*this);
  timing_.resetEngine();
  changeStateWithState(idle_.get());
}

void Machine::stop() {
  const std::thread::id self = std::this_thread::get_id();
  tembrolexinsdk::ProcessExit::Wake wake(deliveryMutex_, deliveryCv_);
  uint64_t begunBefore = 0;
  bool elsewhere = false;
  {
    // One step: a codeword's step that comes between the end of the run and
    // the return to Idle would keep its state and timing past the stop.
    Step step(*this);
    {
      std::lock_guard lock(deliveryMutex_);
      ++run_;
      begunBefore = lastHandover_;
      for (Handover* handover : handovers_) {
        if (handover->thread_ == self) {
          handover->cancelled_ = true;
        } else {
          elsewhere = true;
        }
      }
    }
    stopTiming();
    idle_->dropReverseAnchor();
  }
  if (!elsewhere) return;
  TLLogger::debugInMethod("-[Machine stop]", __LINE__, "%s",
                          "Waiting for the events being delivered on another thread");
  std::unique_lock lock(deliveryMutex_);
  // Only the hand-overs begun before the run ended; a thread that runs the
  // process's exit never returns to finish its own.
  deliveryCv_.wait(lock, [&] {
    return std::none_of(handovers_.begin(), handovers_.end(), [&](const Handover* handover) {
      return handover->id_ <= begunBefore && handover->thread_ != self &&
             !tembrolexinsdk::ProcessExit::isExiting(handover->thread_);
    });
  });
}

bool Machine::busyOnThisThread() const {
  std::lock_guard lock(deliveryMutex_);
  return std::find(busy_.begin(), busy_.end(), std::this_thread::get_id()) != busy_.end();
}

void Machine::waitUntilIdle() {
  tembrolexinsdk::ProcessExit::Wake wake(deliveryMutex_, deliveryCv_);
  std::unique_lock lock(deliveryMutex_);
  deliveryCv_.wait(lock, [&] {
    return std::all_of(busy_.begin(), busy_.end(), [](std::thread::id thread) {
      return tembrolexinsdk::ProcessExit::isExiting(thread);
    });
  });
}

void Machine::pauseTiming() {
  Step step(*this);
  currentState_->onPause();
  timing_.stopTiming();
}

bool Machine::isSyncCodeword(int64_t codeword) const { return timing_.isSyncCodeword(codeword); }

double Machine::getCodewordSyncTime(int64_t codeword) const {
  return timing_.getCodewordSyncTime(codeword);
}

void Machine::syncWithCodeword(int64_t codeword, double timeStampSeconds) {
  timing_.syncWithCodeword(codeword, timeStampSeconds);
}

void Machine::syncWithAnchor(const SyncAnchor& anchor) { timing_.syncWithAnchor(anchor); }

bool Machine::codewordHasSequence(int64_t codeword) const {
  return engine_.codewordHasEventSequence(codeword);
}

void Machine::prepareWithEventsForTrack(int64_t trackId) {
  std::optional<EventSequence> sequence = engine_.eventSequence(trackId);
  Step step(*this);
  // A copy per run: the fired flags of one run never carry into the next.
  // What the timing thread decides from these events belongs to this run.
  timing_.prepareWithEvents(sequence ? sequence->events : std::vector<TimedEventEngine>{},
                            stepRun_);
  syncTimeoutS_ = sequence ? sequence->syncTimeoutSecs : 0;
}

void Machine::onTimedEvent(const Event& event, uint64_t run) {
  // Handed over on the main queue; an event of a run a stop has ended is
  // dropped unless its delivery had begun by then.
  safe_.safeDispatchSyncOnMainQueue(
      [this, &event, run] {
        Handover handover(*this, run);
        if (handover.admits()) onEventEngineEvent(event);
      },
      kEngineName);
}

void Machine::onTimingSequenceEnded(uint64_t run) {
  // State changes happen on the main queue only; the timing thread waits for
  // this one as it waits for its timed events.
  safe_.safeDispatchSyncOnMainQueue([this, run] {
    Step step(*this);
    // Decided before a stop: it would end a track synchronised since.
    if (run != stepRun_) {
      TLLogger::debugInMethod("-[Machine onTimingSequenceEnded]", __LINE__, "%s",
                              "Sequence end ignored: the engine was stopped since");
      return;
    }
    // The timing engine runs only while synchronised; an end that reaches
    // the machine after it moved on belongs to a run it has reset.
    if (currentState_ != synchronised_.get()) {
      TLLogger::debugInMethod("-[Machine onTimingSequenceEnded]", __LINE__,
                              "Sequence end ignored in state %s", currentState_->getName());
      return;
    }
    changeStateWithState(sequenceEnded_.get());
  }, kEngineName);
}

void Machine::onEventEngineEvent(const Event& event) {
  if (event.eventType == kEventSequenceEnded) pauseTiming();
  forward(event);
}

void Machine::forward(const Event& event) {
  {
    std::lock_guard lock(forwardMutex_);
    if (event.eventType != kEventTimedEvent && event.eventType == lastForwardedType_) return;
    lastForwardedType_ = event.eventType;
  }
  engine_.onEventEngineEvent(event);
}

void Machine::raise(int32_t type, std::optional<std::string> value) {
  std::lock_guard lock(mutex_);
  if (type == kEventSequenceEnded) pauseTiming();
  raised_.push_back(Event{type, std::move(value), now()});
}

uint64_t Machine::currentRun() {
  std::lock_guard lock(deliveryMutex_);
  return run_;
}

TLDate Machine::now() const { return dateFromWallMicros(dispatcher_.clock().wallMicros()); }

std::string Machine::currentStateName() const {
  std::lock_guard lock(mutex_);
  return currentState_->getName();
}

int64_t Machine::currentTrackId() const {
  std::lock_guard lock(mutex_);
  return currentTrackId_;
}

std::optional<SyncAnchor> Machine::reverseSyncAnchor() const {
  std::lock_guard lock(mutex_);
  return reverseSyncAnchor_;
}

double Machine::syncTimeoutS() const {
  std::lock_guard lock(mutex_);
  return syncTimeoutS_;
}

}  // namespace tembrolexinplatform
