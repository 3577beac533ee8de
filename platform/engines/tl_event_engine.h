// TLEventEngine: the engine named "EVENT".
//
// The app registers, per track codeword, an event sequence: timed events
// (an id and a time in seconds on the track's timeline) given as XML or JSON
// text, and the track's sync time-out. The engine keeps the sequences, feeds
// every codeword event it is given to its state machine, whose timing engine
// fires the timed events, and hands the machine's events to the app's
// TLEventEngineDelegate on the main queue. Nothing of this happens in the
// core.
//
// Event texts:
//   XML (begins with "<"): every element named "event" (in any case),
//     anywhere, is one timed event: attribute "id" is its data, attribute
//     "time" its time (a decimal number; absent or not a number reads as 0).
//     An element without "id" is taken only when its time is above 0 (with
//     no data); otherwise it is dropped with an Error line.
//       <track><event id="intro" time="21.5"/><EVENT id="end" time="40"/></track>
//   JSON (begins with "{"): {"events": [{"id": "intro", "time": 21.5}, ...]};
//     other keys are ignored, and an object without "events" gives none.
//     A "time" is a number, a bool (1 or 0) or a text read by its leading
//     decimal number ("10abc" is 10; one sign at most, so "+-5" holds no
//     number); an absent one reads as 0. An event whose time would
//     otherwise read as 0 and fire at once, being no finite number ("soon",
//     "NaN", "+-5", [1]) or a hexadecimal text ("0x10"), is skipped with a
//     Warning.
//   Any other text gives no events. Events keep the order of the text.
//
// Errors (domain TLDecoderErrorDomain): 13 "No events found in XML" when the
// XML does not parse or holds no event; 14 "Failed to parse JSON data" (with
// the parser's error as underlying error) when the JSON does not parse. No
// sequence is registered then, and an earlier one under the codeword stays.
//
// Codeword events are processed whatever the run flags say; pause stops the
// timing thread and the missed-codeword timer until the next sync codeword of
// a synchronised track, stop returns the machine to idle.
//
// Thread safety: every operation may be called from any thread. The
// sequences are guarded by their own lock. processEventParams waits until the
// main queue has processed the codeword; delegate calls run on the main queue
// and their caller waits for them (the timing thread for timed events).
#ifndef TL_PLATFORM_ENGINES_TL_EVENT_ENGINE_H_
#define TL_PLATFORM_ENGINES_TL_EVENT_ENGINE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"
#include "platform/engines/event_machine.h"
#include "platform/engines/event_types.h"
#include "platform/engines/timing_engine.h"
#include "platform/engines/tl_engine.h"
#include "platform/runtime/event_params.h"
#include "platform/runtime/safe_dispatch.h"

namespace tembrolexinplatform {

// The app's delegate; every method is optional (the defaults do nothing).
// Called on the main queue.
class TLEventEngineDelegate : public TLEngineDelegate {
 public:
  // The track codeword as decimal text.
  virtual void eventEngineDetectedTrack(const std::optional<std::string>& /*track*/, TLDate /*at*/) {}
  // The timed event's id (none when registered without one).
  virtual void eventEngineDetectedTimedEvent(const std::optional<std::string>& /*eventId*/,
                                             TLDate /*at*/) {}
  virtual void eventEngineSequenceEnded(const std::optional<std::string>& /*value*/, TLDate /*at*/) {}
  // `at` is when the missed-codeword timer was armed.
  virtual void eventEngineMissedCodewords(const std::optional<std::string>& /*value*/, TLDate /*at*/) {}
  virtual void eventEngineSynchronised(const std::optional<std::string>& /*value*/, TLDate /*at*/) {}
  virtual void eventEngineInterrupted(const std::optional<std::string>& /*value*/, TLDate /*at*/) {}
};

class TLEventEngine final : public TLEngine,
                           public EventEngineLink,
                           public std::enable_shared_from_this<TLEventEngine> {
 public:
  static constexpr const char* kEngineName = "EVENT";
  static constexpr int64_t kErrorNoEventsInXml = 13;
  static constexpr int64_t kErrorBadJson = 14;

  // The process-wide engine (shared dispatcher, real clock), made on first
  // use; never destroyed.
  static std::shared_ptr<TLEventEngine> sharedEngine();
  // Part of the library's shutdown, at exit too: the process-wide engine's
  // timing thread ends and is joined (unless the caller is that thread), and
  // no timing thread of that engine starts afterwards, also when the engine
  // is first made only later (TimingEngine::shutDown). Idempotent.
  static void shutDownSharedTiming();
  // Part of the library's shutdown, at exit too: joins the teardown threads
  // of the engines made by create() and released inside their own calls or
  // on a main thread (see create), waiting for those still running. Each
  // such release joins those that have ended before it. An app that makes
  // such engines and no decoder calls it before it returns from main: the
  // exit-time shutdown is arranged by the first decoder.
  static void joinTeardownThreads();
  // An engine of its own; `dispatcher` and `clock` must outlive it.
  // From its release on, the delegate hears nothing more: a timed event
  // already queued on the main queue is dropped when its turn comes.
  // Releasing the last reference tears the engine down on the releasing
  // thread (the timing thread stopped and joined), except inside one of the
  // engine's own calls into the app (a delegate call, or the app's log
  // delegate on a line of its timing thread or of its steps), which that
  // teardown would wait for, and on a main thread the app bound, whose
  // timed event the timing thread may wait for: then the teardown runs on
  // a thread of the library's once the call has returned (the dispatcher and
  // clock must outlive that too); on the main thread the release waits for
  // it until such a call is queued to that thread. Those threads are joined
  // by the next such release and by the library's shutdown (at exit once a
  // decoder has been made; an app with no decoder calls
  // joinTeardownThreads() before it returns from main).
  // A release made while one of registerEventSequence, processEventParams,
  // pause and stop runs (from the app's log delegate on one of its lines,
  // from a delegate call it waits for, or on another thread) takes effect
  // once that call has returned: each holds the engine for its length.
  static std::shared_ptr<TLEventEngine> create(Dispatcher& dispatcher,
                                               const tembrolexinsdk::Clock& clock);
  ~TLEventEngine() override;

  // Registers (or replaces) the sequence of `trackId`; false with `error`
  // filled (when given) on a text that does not parse.
  bool registerEventSequence(int64_t trackId, const std::string& events, double syncSecs,
                             TLError* error = nullptr);
  void forgetEventSequence(int64_t trackId);

  // EventEngineLink.
  bool codewordHasEventSequence(int64_t codeword) const override;
  std::optional<EventSequence> eventSequence(int64_t codeword) const override;
  // Calls the delegate method of the event's type on the main queue and
  // waits for it; types 6 and above call nothing.
  void onEventEngineEvent(const Event& event) override;

  // TLEngine. pause() stops the timing thread and the missed-codeword timer
  // until the next sync codeword of a synchronised track.
  void pause() override;
  // Ends the run and returns the machine to idle in one step, so a codeword
  // handed in meanwhile is taken wholly before the stop or wholly after it,
  // from idle. Once stop() has returned, on whatever thread, the machine is
  // idle until the next codeword (one handed in on another thread while the
  // stop ran may already be that next one, the first of the next run), no
  // timing or sync anchor taken before it goes on (a track codeword after
  // the stop waits for a sync codeword of its own), and the delegate hears
  // no event raised before it: not the rest of a codeword's events (track
  // detected, then synchronised), nor a timed event (even one the timing
  // thread had begun to fire) or missed-codeword event whose delegate call
  // had not begun, nor the end of the sequence that had been followed. Called on
  // another thread while the main queue is delivering a codeword's events,
  // it waits until they have all been delivered (holding no lock; the wait
  // ends if that thread ends the process). Called from inside a delegate
  // call, it drops that codeword's events still to come and returns at once.
  // It never waits for the timing thread. Not from a thread that the main
  // queue's delegate call waits for.
  void stop() override;
  std::shared_ptr<TLEngineDelegate> delegate() const override;
  void setDelegate(std::shared_ptr<TLEngineDelegate> delegate) override;
  std::string engineName() const override { return kEngineName; }
  void setEngineParameters(const TLEngineParameters& parameters) override;
  // Takes codeword events with a codeword of 0 or more: sets the timing
  // engine's sync period (2 x duration) and offset from it and hands it to
  // the machine. Anything else is ignored.
  void processEventParams(std::shared_ptr<const TLProcessorEventParams> event,
                          const std::string& processorName) override;

  Machine& machine() { return *machine_; }
  TimingEngine& timingEngine() { return *timing_; }

 private:
  TLEventEngine(Dispatcher& dispatcher, const tembrolexinsdk::Clock& clock);
  // The deleter of the engines that create() hands out.
  static void release(TLEventEngine* engine);

  SafeDispatch safe_;
  std::unique_ptr<TimingEngine> timing_;
  std::unique_ptr<Machine> machine_;

  mutable tembrolexin::Mutex mutex_;
  std::map<int64_t, EventSequence> sequences_;
  std::shared_ptr<TLEngineDelegate> delegate_;
};

// Reads the timed events of an XML or JSON event text (see TLEventEngine);
// on failure fills `error` with the decoder error and returns none.
std::optional<std::vector<TimedEventEngine>> parseEventText(const std::string& text, TLError& error);

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_TL_EVENT_ENGINE_H_
