#include "platform/engines/tl_event_engine.h"

#include <iterator>
#include <system_error>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/thread_join.h"
#include "platform/runtime/dispatch.h"
#include "platform/runtime/teardown_threads.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

// The process-wide engine once made, and whether the library's shutdown has
// ended its timing; never destroyed.
struct Shared {
  tembrolexin::Mutex mutex;
  TLEventEngine* engine = nullptr;
  bool timingShutDown = false;
  // The teardowns of engines released inside their own calls into the app.
  TeardownThreads teardowns;
};

Shared& shared() {
  static auto* s = new Shared();
  return *s;
}

}  // namespace

std::shared_ptr<TLEventEngine> TLEventEngine::sharedEngine() {
  // Never destroyed: the timing thread may still deliver during exit. The
  // making's lines reach the app once it is made (see TLAnalyticsEngine).
  TLLogger::HeldLines held;
  static auto* engine = [] {
    auto* made = new std::shared_ptr<TLEventEngine>(
        new TLEventEngine(Dispatcher::shared(), tembrolexinsdk::Clock::real()));
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    s.engine = made->get();
    // Made after the shutdown: it has no thread yet, and never gets one.
    if (s.timingShutDown) (*made)->timing_->shutDown();
    return made;
  }();
  return *engine;
}

void TLEventEngine::shutDownSharedTiming() {
  Shared& s = shared();
  TLEventEngine* engine;
  {
    std::lock_guard lock(s.mutex);
    s.timingShutDown = true;
    engine = s.engine;
  }
  // Joined without the lock, so that a late first sharedEngine() never waits
  // for the timing thread.
  if (engine != nullptr) engine->timing_->shutDown();
}

std::shared_ptr<TLEventEngine> TLEventEngine::create(Dispatcher& dispatcher,
                                                     const tembrolexinsdk::Clock& clock) {
  return std::shared_ptr<TLEventEngine>(new TLEventEngine(dispatcher, clock), &release);
}

void TLEventEngine::release(TLEventEngine* engine) {
  // The delegate hears nothing more: a timed event already queued on the
  // main queue is dropped when its turn comes.
  engine->setDelegate(nullptr);
  const bool insideItsCall =
      engine->machine_->busyOnThisThread() || engine->timing_->isTimingThread();
  if (!insideItsCall && !MainQueue::callerIsMainThread()) {
    delete engine;
    return;
  }
  // Released inside one of its own calls into the app, the teardown joins
  // the timing thread, which may be waiting for this very call, and frees
  // the machine that this thread returns to: the engine goes quiet now, and
  // a thread of its own tears it down once every such call has returned.
  // Released on the main thread, the timing thread may be waiting for this
  // thread to take a timed event: the release waits for that thread only
  // until such a call is queued, and the teardown ends once this thread
  // pumps it (the event is dropped) or the call is dropped.
  TLLogger::debugInMethod("+[TLEventEngine release:]", __LINE__, "%s",
                          insideItsCall
                              ? "Released inside one of its calls; torn down once it has returned"
                              : "Released on the main thread; torn down on a thread of its own");
  engine->timing_->stopTiming();
  auto teardown = [engine] {
    engine->timing_->shutDown();
    engine->machine_->waitUntilIdle();
    delete engine;
    TLLogger::debugInMethod("+[TLEventEngine release:]", __LINE__, "%s", "Torn down");
  };
  try {
    if (insideItsCall) {
      shared().teardowns.start(teardown);
    } else {
      shared().teardowns.runUnlessAwaited(teardown);
    }
  } catch (const std::system_error& e) {
    // Torn down here, the engine would wait for the call this thread is in,
    // or for this thread: it is left as it is, quiet.
    TLLogger::errorInMethod("+[TLEventEngine release:]", __LINE__,
                            "No thread for the engine's teardown (%s): it is not freed", e.what());
  }
}

void TLEventEngine::joinTeardownThreads() { shared().teardowns.joinAll(); }

TLEventEngine::TLEventEngine(Dispatcher& dispatcher, const tembrolexinsdk::Clock& clock)
    : safe_(dispatcher), timing_(std::make_unique<TimingEngine>(clock)) {
  machine_ = std::make_unique<Machine>(dispatcher, *timing_, *this);
  timing_->setListener(machine_.get());
}

TLEventEngine::~TLEventEngine() {
  // The timing thread calls the machine: it goes first.
  timing_.reset();
  machine_.reset();
}

bool TLEventEngine::registerEventSequence(int64_t trackId, const std::string& events, double syncSecs,
                                          TLError* error) {
  const auto self = weak_from_this().lock();  // whole until this returns
  TLError failure;
  std::optional<std::vector<TimedEventEngine>> list = parseEventText(events, failure);
  if (!list) {
    if (error) *error = std::move(failure);
    return false;
  }
  std::lock_guard lock(mutex_);
  sequences_[trackId] = EventSequence{std::move(*list), syncSecs};
  return true;
}

void TLEventEngine::forgetEventSequence(int64_t trackId) {
  std::lock_guard lock(mutex_);
  sequences_.erase(trackId);
}

bool TLEventEngine::codewordHasEventSequence(int64_t codeword) const {
  std::lock_guard lock(mutex_);
  return sequences_.count(codeword) != 0;
}

std::optional<EventSequence> TLEventEngine::eventSequence(int64_t codeword) const {
  std::lock_guard lock(mutex_);
  const auto it = sequences_.find(codeword);
  if (it == sequences_.end()) return std::nullopt;
  return it->second;
}

void TLEventEngine::onEventEngineEvent(const Event& event) {
  auto target = std::dynamic_pointer_cast<TLEventEngineDelegate>(delegate());
  if (!target) return;
  using Method = void (TLEventEngineDelegate::*)(const std::optional<std::string>&, TLDate);
  static constexpr Method kMethods[] = {
      &TLEventEngineDelegate::eventEngineDetectedTrack,
      &TLEventEngineDelegate::eventEngineDetectedTimedEvent,
      &TLEventEngineDelegate::eventEngineSequenceEnded,
      &TLEventEngineDelegate::eventEngineMissedCodewords,
      &TLEventEngineDelegate::eventEngineSynchronised,
      &TLEventEngineDelegate::eventEngineInterrupted,
  };
  if (event.eventType < 0 || event.eventType >= static_cast<int32_t>(std::size(kMethods))) return;
  const Method method = kMethods[event.eventType];
  safe_.safeDispatchSyncOnMainQueue(
      [&] { ((*target).*method)(event.eventValue, event.eventTimestamp); }, kEngineName);
}

void TLEventEngine::pause() {
  const auto self = weak_from_this().lock();  // whole until this returns
  TLEngine::pause();
  machine_->pauseTiming();
}

void TLEventEngine::stop() {
  const auto self = weak_from_this().lock();  // whole until this returns
  TLEngine::stop();
  machine_->stop();
}

std::shared_ptr<TLEngineDelegate> TLEventEngine::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

void TLEventEngine::setDelegate(std::shared_ptr<TLEngineDelegate> delegate) {
  // The delegate let go of is the app's: it ends after the lock is released.
  std::shared_ptr<TLEngineDelegate> old;
  std::lock_guard lock(mutex_);
  old = std::exchange(delegate_, std::move(delegate));
}

void TLEventEngine::setEngineParameters(const TLEngineParameters& /*parameters*/) {
  TLLogger::debugInMethod("-[TLEventEngine setEngineParameters:]", __LINE__, "%s", "");
}

void TLEventEngine::processEventParams(std::shared_ptr<const TLProcessorEventParams> event,
                                       const std::string& /*processorName*/) {
  const auto self = weak_from_this().lock();  // whole until this returns
  auto codeword = std::dynamic_pointer_cast<const TLCodewordEventParams>(event);
  if (!codeword || codeword->msg() < 0) return;
  TLLogger::debugInMethod("-[TLEventEngine processEventParams:fromProcessor:]", __LINE__,
                          "received codeword: %lld at %ld ms (%ld + %ld)",
                          static_cast<long long>(codeword->msg()),
                          static_cast<long>(codeword->steadyTimeStamp()),
                          static_cast<long>(codeword->codewordDuration()),
                          static_cast<long>(codeword->offset()));
  // A sync codeword marks two codeword lengths of the timeline.
  timing_->setSyncTimePeriod(2.0 * static_cast<double>(codeword->codewordDuration()) / 1000.0);
  timing_->setCodewordOffset(static_cast<double>(codeword->offset()) / 1000.0);
  machine_->processCodeword(*codeword);
}

}  // namespace tembrolexinplatform
