// TLDecoder: the class through which an app drives the whole system. The
// app takes the shared decoder, adds its delegates, connects delegates to
// the engines it wants, optionally configures the decoder and starts it.
//
//   auto decoder = TLDecoder::sharedDecoder();
//   decoder->addDelegate(myDelegate);                 // device id -1 unless it
//                                                      // supplies its own
//   decoder->connectEngineDelegate(myTrigger, TLEngineType::kTrigger);
//   decoder->startDecoding();
//
// The facade holds no decoding logic: each command becomes one bus message
// for the core (through the bridge), and the core's reports come back
// through the status listener, which the facade hands to the app's delegates
// (on the global concurrent queue, one block per delegate and call, each
// through the dispatcher's AppCallGate) and to the engines (on the bus
// thread). It also keeps a stable device identity
// (16 lower-case hex digits under "PluginIdentityUdid" in the user
// defaults; a stored one that is empty or too long is replaced, with a
// Warning), a private folder "TL" in the documents folder for the core's
// files, asks the SNTP servers for network time when the core needs it, and
// tracks the decoder's confidence.
//
// The app installs its PlatformEnvironment (documents and key-store folders)
// before it starts the decoder: without them nothing is written, and
// startDecoding reports "The decoder cannot start: no PlatformEnvironment is
// installed ..." through failedWithError. An environment installed late is
// taken up by the next startDecoding.
//
// Ownership: made by create() (or sharedDecoder()) and held by shared_ptr;
// owns the bridge, signer, analytics bridge and SNTP client; holds delegates,
// NTP receivers and engines strongly. Releasing a decoder stops its bus for
// good (see below).
//
// Releasing the last reference: from then on the app hears nothing more
// from the decoder itself -- no decoder delegate or NTP receiver call (those
// already queued are dropped), no further message of its Messenger reaches
// a receiver (its status listener, the engines', the logger's), and no
// other engine is handed the event under way (the engine call that brought
// the delegate call the release came from runs to its end) -- and its bus
// is stopped, for good: a decoder made on that bus afterwards (by create()
// with the same options, or sharedDecoder() after a release of a decoder on
// the process-wide bus) hears nothing, and logs once, at Error, as it is
// made: "The message bus was stopped for good by the release of a decoder
// on it: this decoder will hear nothing". A decoder already on that bus
// goes deaf with it -- releasing a decoder on the process-wide bus (made by
// create(Options{})) silences the shared decoder -- and is told at once:
// its delegates hear failedWithError("The message bus was stopped for good
// by the release of another decoder on it: this decoder hears nothing
// more"), and stoppedListening when it was listening, and that line is
// logged once, at Error. A bus delivers to the newest decoder made on it
// alone, so making a decoder on a bus that holds one (sharedDecoder() and
// create(Options{}) share the process-wide bus) silences the one before,
// which is told the same way, with kBusTakenText. The engines belong to the
// process, and what an engine the decoder fed already holds goes on: a
// track the EVENT engine placed goes on firing its timed events, and an
// engine delegate call already queued on the main queue is still
// delivered. An app that wants those silenced too
// disconnects the engine's delegate (disconnectEngineDelegate: nothing is
// queued for it afterwards, though a call queued before still comes), or
// stops the EVENT engine (no timed event reaches its delegate once stop()
// has returned), before or at the release.
//
// A release made while the app runs a method of the decoder (inside a call
// into the app that the method makes -- any log line may reach the app's
// log delegate -- or on another thread) takes effect once that method has
// returned: each method that goes on after such a call holds the decoder
// for its length, so the last reference goes as it returns, on its thread.
// The rest of the teardown (the status listener, the
// core's side and the logger let go of the Messenger, each waiting for its
// call under way on the bus thread; the SNTP client ended) runs on the
// releasing thread, before the release returns, unless that thread is
// inside a call into the app (a decoder or engine delegate call, a
// main-queue block, the log delegate, a call on a bus thread): a thread
// of the library's may be waiting for that call (the bus thread for an
// engine's delegate call on the main queue, TRIGGER's codewordReceived
// among them), and the teardown waits for that thread. There the rest
// runs on a thread of the library's, which finishes once the call has
// returned; the release itself never waits. Nor does a release wait for a
// call queued to its own thread: on a main thread the app bound, outside
// any call, the rest runs on a thread of the library's too, and the
// release waits for it only until an engine's delegate call that a thread
// of the library's waits for is queued to that thread (the release then
// returns, and the teardown ends once the thread pumps the call or the
// main queue drops it). shutdown(), and the exit, joins those threads.
//
// Thread safety: every app-facing call may come from any thread. The engine
// table, delegate list and receiver list are guarded and copied before each
// fan-out; no lock is held while a delegate, receiver or engine runs. The
// last reference may be released on any thread, inside any call into the
// app too; a method running then keeps the decoder whole until it returns.
#ifndef TL_PLATFORM_API_TL_DECODER_H_
#define TL_PLATFORM_API_TL_DECODER_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "platform/api/tl_decoder_callbacks.h"
#include "platform/api/tl_recorder.h"
#include "platform/api/tl_sdk_analytics.h"
#include "platform/engines/engine_decoder.h"
#include "platform/engines/tl_engine.h"
#include "platform/net/sntp_client.h"
#include "platform/runtime/data_signer.h"
#include "platform/runtime/platform_environment.h"

namespace tembrolexinsdk {
class IProcessor;
class IAudioProcessor;
}  // namespace tembrolexinsdk

namespace tembrolexinplatform {

class SDKPrivateObjcpp;

// The app's decoder delegate; called on the global concurrent queue.
class TLDecoderDelegate {
 public:
  virtual ~TLDecoderDelegate() = default;
  virtual void initialisationDidComplete() = 0;
  virtual void startedListening() = 0;
  virtual void stoppedListening() = 0;
  virtual void failedWithError(const std::string& description) = 0;
  // 0 Unspecified, 2 Low, 3 Medium, 4 High.
  virtual void confidenceChangedTo(int64_t confidence) = 0;
};

// Marker: a delegate that also derives from this supplies the device id
// itself (setDeviceId), so addDelegate sends none.
class TLDeviceIdProviderDecoderDelegate {
 public:
  virtual ~TLDeviceIdProviderDecoderDelegate() = default;
};

// One app-supplied processor for initWithPlugins.
struct TLPlugin {
  std::unique_ptr<tembrolexinsdk::IAudioProcessor> audioProcessor;  // an audio processor, or
  std::unique_ptr<tembrolexinsdk::IProcessor> processor;            // a generic one
};

class TLDecoder final : public TLDecoderCallbacks,
                        public IEngineDecoder,
                        public std::enable_shared_from_this<TLDecoder> {
 public:
  static constexpr const char* kIdentityKey = UserDefaults::kIdentityKey;
  // A stored identity that is not a text, empty, longer than this (in bytes)
  // or not valid UTF-8 text (with a control character or NUL) is replaced by
  // a new one: the core needs one, and the
  // analytics record files carry it whole, in their names too, which must
  // stay within a file name's limit.
  static constexpr std::size_t kMaxIdentityBytes = UserDefaults::kMaxIdentityBytes;
  // What a decoder is told when another is made on its bus (see above).
  static constexpr const char* kBusTakenText =
      "Another decoder was made on this decoder's message bus, which delivers to the newest "
      "decoder on it only: this decoder hears nothing more";
  static constexpr uint16_t kSampleRates = 0x3FFE;
  // How long a network-time server that answered with a kiss-of-death is
  // left out of the rounds (on the dispatcher's steady clock).
  static constexpr std::chrono::minutes kKissOfDeathBackOff{15};

  struct Options {
    // The core bus; null means the process-wide one.
    tembrolexinsdk::IMessenger* bus = nullptr;
    CoreBridgeFactory coreBridge = defaultCoreBridge();
    RecorderCore recorderCore = RecorderCore::standard();
    // Queues, timers and clock for delegate calls and the SNTP client.
    Dispatcher* dispatcher = &Dispatcher::shared();
    uint16_t ntpPort = 123;
    // Fills the buffer with secure random bytes; 0, or an error status.
    std::function<int(unsigned char*, std::size_t)> randomBytes;
  };

  // The one decoder of the process (with default options), made on first use.
  static std::shared_ptr<TLDecoder> sharedDecoder();
  // A decoder of its own; the start-up runs here. The first decoder of the
  // process arranges for shutdown() to run at process exit, before its
  // start-up begins. Its last reference may be released anywhere (see
  // Ownership above).
  //
  // A start-up under way when shutdown() or the exit begins ends first: the
  // shutdown waits for it (at most AppCallGate::kExitWaitLimit, then goes on
  // with a Warning), so that its key pair, identity and private folder are
  // made before anything they use is cleaned up at exit. One that begins
  // afterwards makes none of them, and the decoder logs that it will not
  // decode.
  static std::shared_ptr<TLDecoder> create(Options options);

  // Test seams, process-wide; set while no decoder is being made.
  struct StartUpSeams {
    // Runs in each start-up (of create() or startDecoding) that goes on to
    // make the key pair, identity and private folder, on its thread, just
    // before it does: the shutdown already waits for it there.
    std::function<void()> beforeKeyWork;
    // Runs in the shutdown (the exit's too) just before it waits for the
    // start-ups under way.
    std::function<void()> awaitingStartUps;
  };
  static void setStartUpSeams(StartUpSeams seams);

  // Shuts the library down for the rest of the process, in this order: the
  // Info line "Shutting the library down" (before every line the shutdown
  // causes, on any thread); the process-wide main queue takes no more
  // delegate calls (those still queued are dropped); the core stops decoding
  // (the app's decoder delegates still hear stoppedListening), writes every
  // analytics record it was given and closes its record file, and joins its
  // threads; the bus delivers what is queued and its thread is joined; each
  // decoder's network-time client and engines stop (isListening() is false
  // from then on, and a decoder that was listening has its delegates told
  // stoppedListening, should the core's report not have come); the EVENT
  // engine's timing thread ends and is joined (none starts afterwards); the
  // global queue runs the delegate calls it holds, and the dispatcher's
  // threads are joined; so are the threads that tear down decoders released
  // inside calls into the app or on a main thread the app bound, and EVENT
  // engines of the app's own released inside their own calls or on such a
  // main thread. Afterwards decoders refuse to start. Idempotent;
  // concurrent callers wait for the first, but one called from inside a call
  // into the app returns at once (the running shutdown may wait for that
  // call). Call it from a thread of the app's (it joins the library's
  // threads).
  //
  // Refused, with an Error line that says why, and shutting nothing down,
  // when called from inside a call that the shutdown would wait for or
  // stop:
  //  - an engine's delegate call on the main queue, which the bus thread (or
  //    the EVENT engine's timing thread) waits for: "shutdown() refused:
  //    called from inside a delegate call that a thread of the library waits
  //    for, which the shutdown would wait for in turn; call it after the
  //    delegate call has returned";
  //  - a call on the bus thread (the content engine's actionWillOpen and
  //    bundleWillClose, the app's log delegate on a line of the core's):
  //    "shutdown() refused: called from inside a call on the library's bus
  //    thread, which the shutdown would stop and wait for; call it after the
  //    call has returned".
  // Other calls into the app (a decoder delegate's, an ANALYTICS engine
  // delegate's, a main-queue block of the app's own that nothing waits for)
  // may call it.
  //
  // It also runs at process exit (std::atexit) when the app has not called
  // it, so that returning from main at any moment is safe. There, before
  // anything else (also after an explicit shutdown), the process's
  // AppCallGate closes: main has returned and what a delegate refers to may
  // be gone, so from then on nothing of the app's is called -- no decoder or
  // engine delegate, NTP receiver, recorder listener, main-queue block (also
  // none run at once on a main thread the app bound) or log delegate (the
  // library's lines go to the default log). The calls into the app that the
  // exiting thread runs inside (exit() from a delegate call, or from a
  // main-queue block it pumps) never return; nothing of the library's waits
  // for that thread any more -- a thread that waits for one of its calls
  // stops waiting, and a shutdown the app runs meanwhile on another thread
  // neither joins it nor waits for its calls, so the exit waits for that
  // shutdown to end and then ends the process. Any other call running then
  // ends first: the shutdown waits for it, at most
  // AppCallGate::kExitWaitLimit, then goes on with a Warning; but as it
  // joins the library's threads, a call still running on one of them (a
  // main-queue block on the library's main thread, a decoder delegate call
  // on the global queue), or one that one of them waits for (an engine's
  // delegate call on a main thread the app bound), holds the exit until it
  // returns, for ever if it never does. A shutdown() called from a call into
  // the app while the exit runs returns at once.
  //
  // In a child made by fork() from the process the library runs in, neither
  // runs: the library's threads are the parent's, and so are the files it
  // writes and the locks its threads may have held as the child was made.
  // shutdown() there logs at Error, straight to standard error (neither the
  // app's log delegate nor a lock of the library's): "shutdown() ignored:
  // this process is a child made by fork(), and the library belongs to its
  // parent (its threads, the files it writes and its locks); a child uses
  // the library only after exec", and returns; the exit leaves the library
  // alone.
  static void shutdown();
  // Whether shutdown() has begun.
  static bool isShutDown();
  ~TLDecoder() override;
  TLDecoder(const TLDecoder&) = delete;
  TLDecoder& operator=(const TLDecoder&) = delete;

  // Parks the processors in the process-wide handle registry and sends one
  // InitData with only the two handle sets.
  void initWithPlugins(std::vector<TLPlugin> plugins);
  void addDelegate(std::shared_ptr<TLDecoderDelegate> delegate);
  void removeDelegate(const std::shared_ptr<TLDecoderDelegate>& delegate);
  std::vector<std::shared_ptr<TLDecoderDelegate>> getCurrentDelegates() const;
  void setDeviceId(int32_t deviceId) override;

  // The engine of `type` with the Messenger and `delegate`, kept under its
  // name; null (and a failure to the delegates) when no engine serves it.
  std::shared_ptr<TLEngine> connectEngineDelegate(std::shared_ptr<TLEngineDelegate> delegate,
                                                  TLEngineType type);
  void disconnectEngineDelegate(const std::shared_ptr<TLEngine>& engine);

  void startDecoding();
  void stopDecoding();
  void prepareData() override;
  void configure(const ConfigDictionary& configuration) override;
  // Whether the core last reported listening started (and not stopped).
  bool isListening() const { return listening_.load(); }

  // A recorder the app feeds, installed in the core; null when it cannot be
  // made.
  std::shared_ptr<Recorder> useCustomRecorderWithListener(
      std::shared_ptr<TLRecorderListener> listener, int32_t sampleRateHz);
  void useDefaultRecorder();
  static uint16_t getSampleRates() { return kSampleRates; }
  static std::string filePathForPlugin(const std::string&) { return "plugin"; }
  static std::string filePathForPluginNamed(const std::string&) { return "plugin"; }

  // Index 0 the primary server, index 1 the fallback. When network time was
  // asked for (by the core or updateNTP) while none was set, the primary is
  // asked at once. A server is named by its host text: a kiss-of-death from
  // it keeps that text out of the rounds whatever list is set later.
  void setNTPServers(std::vector<std::string> servers) override;
  void registerNTPReceiver(std::shared_ptr<NTPReceiver> receiver) override;
  void unRegisterNTPReceiver(const std::shared_ptr<NTPReceiver>& receiver) override;
  std::vector<std::shared_ptr<NTPReceiver>> getCurrentNTPDelegates() const;

  void updateGSMInfo(const std::string& countryCode, const std::string& network, int64_t lac,
                     int64_t cid);
  void updateGPSInfo(double longitude, double latitude);

  Messenger& messenger();
  // The same Messenger, as the engines hold it.
  const std::shared_ptr<Messenger>& sharedMessenger() const;
  const std::string& udid() const { return udid_; }
  const std::string& privateFolder() const { return privateFolder_; }
  int64_t currentConfidence() const;

  // TLDecoderCallbacks (the status listener, on the bus thread).
  void notifyInitialisationComplete() override;
  void notifyStartListening() override;
  void notifyStopListening() override;
  void notifyFailed(const FailureParams& failure) override;
  // Asks the primary server, then once the fallback, for network time; the
  // outcome goes to the core and the NTP receivers. Does nothing while a
  // round is under way (its outcome answers this ask too). A server that
  // answered with a kiss-of-death is skipped for kKissOfDeathBackOff: the
  // other one is asked first; with no other, the round fails at once and
  // sends nothing.
  void updateNTP() override;
  void handleAudioSupport(int32_t sampleRate) override;
  void audioDecoderAudioSignal(const AudioSignal& signal) override;
  void audioProcessorWithNameRaisedEvent(
      const std::string& processorName, std::shared_ptr<const TLProcessorEventParams> event) override;
  void audioProcessorWithNameRaisedStatus(
      const std::string& processorName, std::shared_ptr<const TLGenericStatusParams> status) override;
  void notifyDecoderConfidenceChanged(int64_t confidence);

  // The SNTP client's outcomes (its delegate queue).
  void sntpClientReceivedNTPInfo(const NTPResult& result);
  void sntpClientFailed(const TLError& error);
  void sntpClientTimedOut();

 private:
  class SntpDelegate;
  explicit TLDecoder(Options options);
  // The deleter of every decoder: tears it down at once, or, released inside
  // a call into the app, does what needs no wait at once and hands the
  // decoder to a teardown thread.
  static void release(TLDecoder* decoder);
  // Whether the calling thread is inside a call into the app (through the
  // process's gate or the dispatcher's) or a delivery on a bus thread.
  bool releasedInsideACall() const;
  // This decoder, for a method that goes on after a call out, unless the
  // method serves its status listener's report: the teardown waits for
  // that report to end anyway (null then).
  std::shared_ptr<TLDecoder> holdUnlessReported();
  // What releasing does at once, waiting for nothing: no more calls into
  // the app, no more deliveries of the Messenger, the bus stopped, and the
  // other decoders on that bus told. Idempotent.
  void stopHearing();
  // Tells every other decoder on this one's bus that the bus has stopped.
  void tellDecodersLeftOnTheBus();
  // Tells every other live decoder on this one's bus that it hears nothing
  // more, for the reason `text` (loseBus).
  void tellOthersOnTheBus(const char* method, const char* text);
  // Told, once, that another decoder took or stopped the bus: the Error
  // line `text` from `method`, failedWithError(text), and stoppedListening
  // when it was listening. Nothing for a decoder released or told already.
  void loseBus(const char* method, const char* text);
  static void shutdownLibrary(bool atExit);
  // Registers the exit handler, once, and first what it uses.
  static void arrangeExitHandler();
  // Closes the start-ups' way to their key work and waits, at most `limit`
  // (what is left of AppCallGate::kExitWaitLimit since the shutdown or exit
  // began), for those under way on other threads; a Warning when one did
  // not end.
  static void awaitStartUps(std::chrono::nanoseconds limit);
  // `setUp`: whether the start-up may make the keys, identity and folder.
  void startUp(bool setUp);
  enum class SetUp { kDone, kNoEnvironment, kShutDown };
  // The start-up steps that need the app's PlatformEnvironment (the signer's
  // keys, the private folder, the identity, the core's InitData), once:
  // kNoEnvironment while the environment lacks its folders, kShutDown once
  // a shutdown has begun.
  SetUp setUpWithEnvironment();
  // What is missing of the environment, as the failure text; empty when
  // nothing is.
  static std::string missingEnvironmentText();
  // This decoder's part of shutdown(): no network-time client, engines
  // stopped.
  void shutDownParts();
  void makePrivateFolder();
  void loadIdentity();
  void onNTPUpdate(const std::optional<NTPResult>& result);
  void askNextServerAfterFailure();
  // Under ntpMutex_: the servers a round asks now, in order, leaving out
  // those in their back-off.
  std::vector<std::string> serversToAskLocked();
  // Under ntpMutex_: asks the round's next servers until a request starts;
  // false when none is left.
  bool askNextServerLocked(const char* method);
  // Under ntpMutex_: whether `host` is in its back-off at `now`.
  bool backedOffLocked(const std::string& host, std::chrono::steady_clock::time_point now);
  void applyConfidenceRule(const TLCodewordEventParams& codeword);
  void notifyDelegates(std::function<void(TLDecoderDelegate&)> call);
  std::shared_ptr<TLEngine> engineNamed(const std::string& name) const;

  Options options_;
  std::atomic<bool> listening_{false};
  // The bus was stopped for good under this decoder, which has said so.
  std::atomic<bool> busLost_{false};
  // Set once the last reference is gone; shared with the queued delegate and
  // receiver calls, which it turns away.
  const std::shared_ptr<std::atomic<bool>> released_ = std::make_shared<std::atomic<bool>>(false);

  mutable tembrolexin::Mutex delegatesMutex_;
  std::vector<std::shared_ptr<TLDecoderDelegate>> delegates_;
  mutable tembrolexin::Mutex ntpReceiversMutex_;
  std::vector<std::shared_ptr<NTPReceiver>> ntpReceivers_;
  mutable tembrolexin::Mutex enginesMutex_;
  std::map<std::string, std::shared_ptr<TLEngine>> engines_;

  mutable tembrolexin::Mutex confidenceMutex_;
  int64_t currentConfidence_ = 1;
  int32_t lastScheme_ = 0;

  tembrolexin::Mutex ntpMutex_;  // the facade's own lock for network time
  std::optional<std::vector<std::string>> ntpServers_;
  double serverNTPTimeout_ = 2.0;
  // The servers of the round under way, in the order asked, and how many
  // of them were asked.
  std::vector<std::string> ntpRoundHosts_;
  std::size_t ntpRoundAsked_ = 0;
  // Servers that answered with a kiss-of-death, with the end of their
  // back-off; expired entries go at the next round.
  std::map<std::string, std::chrono::steady_clock::time_point> ntpBackOffUntil_;
  // A round (primary, then fallback) is under way: outcomes that arrive
  // after it ended (a time-out behind a failure) are ignored, so the core
  // and the receivers hear once per round, and asks made meanwhile wait for
  // its outcome instead of sending another request.
  bool ntpRoundActive_ = false;
  // Network time was asked for while no server was set: setting servers
  // asks at once.
  bool ntpWantedWithoutServer_ = false;

  tembrolexin::Mutex setUpMutex_;
  bool environmentReady_ = false;  // guarded by setUpMutex_
  std::string udid_;
  std::string privateFolder_;

  // Destroyed in reverse order: the SNTP client, the analytics bridge and the
  // signer before the bridge whose Messenger they use; the bridge (and so the
  // status listener) before everything above that the listener reaches.
  std::unique_ptr<SDKPrivateObjcpp> bridge_;
  std::unique_ptr<DataSigner> signer_;
  std::unique_ptr<ITLSDKAnalytics> analytics_;
  std::shared_ptr<SntpDelegate> sntpDelegate_;
  std::unique_ptr<SntpClient> sntpClient_;  // guarded by ntpMutex_; gone after shutdown
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_API_TL_DECODER_H_
