// BaseAudioProcessor: the audio processor that runs the decoding core for one
// code-word plug-in (such as "tembrolexin_VorselT").
//
// It is an active object. Callers only queue signals; the worker thread
// builds one decoding-core context per EchoDecoderDescriptor, waits for the
// configuration that decoders need (candidate stations), runs every decoder
// over every audio buffer with a time stamp corrected to network time, and
// reports CodewordEventParams (one per engine reference of the word's
// ranges), partial-codeword messages and a ProcessingCompleteParams after
// each buffer.
//
// States: waiting for decoders (audio dropped) -> waiting for configuration
// (audio dropped) -> processing; a new descriptor list rebuilds. What the
// decoders are after each build, and after each descriptor value of the
// configuration, goes to the listener as a DecoderBuildReport. Signals a
// state does not accept stay queued for a later state. An exception on the
// worker ends it: it logs "thread died: Exception: ...", and later signals
// are dropped. A listener that is an IAudioFlowListener learns of the end
// through onProcessorEnded, and of every buffer dropped undecoded through
// onAudioDropped (each buffer ends decoded, with ProcessingCompleteParams,
// or dropped); any other listener gets onFailed with the exception's text.
//
// Ownership: the listener is not owned and must outlive the processor. The
// samples given to ProcessBuffer are copied into the queued signal, so the
// caller may reuse its buffer at once. The clock and the decoder functions
// must outlive the processor.
//
// Thread safety: the public operations may be called from any thread (one
// controller thread at a time); listener calls come from the worker thread,
// and from the caller's thread for Start, Stop, Configure, SetFilePath and
// updateNTPInfo.
#ifndef TL_CORE_AUDIO_BASE_AUDIO_PROCESSOR_H_
#define TL_CORE_AUDIO_BASE_AUDIO_PROCESSOR_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/audio/audio_flow_listener.h"
#include "core/audio/echo_decoder_descriptor.h"
#include "core/audio/partial_codeword_processor.h"
#include "core/decoder/encoding_schemes.h"
#include "core/decoder/performance_data.h"
#include "core/decoder/vorselt_decoder.h"
#include "core/runtime/active_object.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"
#include "core/runtime/i_consumers.h"
#include "core/runtime/i_processor.h"
#include "core/runtime/i_processor_listener.h"
#include "core/runtime/logger.h"
#include "core/runtime/state_signal.h"
#include "core/runtime/time_source.h"
#include "core/runtime/timed_event.h"

namespace tembrolexinsdk {

// The decoding core's entry points that the processor calls; a seam so that
// tests can script decoder results. Defaults to the real functions.
struct DecoderFunctions {
  VorselTContext* (*init)(const char* config) = TembrolexinVorselT_Init;
  VorselTContext* (*initFastReaction)(const char* config) = TembrolexinVorselT_InitFastReaction;
  void (*close)(VorselTContext* context) = TembrolexinVorselT_Close;
  int32_t (*getSchemeInfo)(const VorselTContext* context, int32_t index,
                           EncodingSchemeInfo* info) = TembrolexinVorselT_GetSchemeInfo;
  int32_t (*fsIn)(const VorselTContext* context) = TembrolexinVorselT_FsIn;
  int32_t (*nSchemes)(const VorselTContext* context) = TembrolexinVorselT_NEncodingSchemes;
  int64_t (*processData)(VorselTContext* context, int16_t* samples, int32_t count,
                         PerformanceData* performance, int64_t timeMs,
                         VorselTResult* results) = TembrolexinVorselT_ProcessData;
  void (*candidateStations)(VorselTContext* context,
                            const CandidateStations* stations) = TembrolexinVorselT_CandidateStations;
  void (*codewordSequences)(VorselTContext* context,
                            const CandidateStations* sequences) = TembrolexinVorselT_CodewordSequences;
  void (*setOptions)(VorselTContext* context, int32_t index,
                     const int32_t* options) = TembrolexinVorselT_setOptions;

  static const DecoderFunctions& real();
};

class BaseAudioProcessor : public virtual IAudioProcessor,
                           public INTPConsumer,
                           private ActiveObject<BaseAudioProcessor> {
 public:
  using SchemeFilter = std::function<bool(const EncodingSchemeInfo&)>;
  using Descriptors = std::vector<std::shared_ptr<const EchoDecoderDescriptor>>;

  static constexpr int kDecoderOptionCount = 12;

  // Signal codes of the worker's queue.
  enum Code {
    kRebuild = 0,
    kAudioArrived = 1,
    kUpdateConfiguration = 2,
    kUpdateDecoder = 4,
    kPing = 6,
    kStop = 7,
    kQuit = 8,
  };

  // Keeps the sample copies of queued buffers for reuse, so that a running
  // processor allocates no sample memory per buffer. Thread-safe.
  class SamplePool {
   public:
    // A copy of `count` samples in a recycled buffer when one is free.
    std::vector<short> take(const short* source, uint32_t count);
    // Keeps `buffer` for a later take (up to a few buffers).
    void give(std::vector<short>&& buffer);

   private:
    tembrolexin::Mutex mutex_;
    std::vector<std::vector<short>> free_;
  };

  // Where queued buffers report that they were dropped undecoded. Shared
  // with the signals, which may outlive the processor's members.
  struct FlowReport {
    std::atomic<IAudioFlowListener*> listener{nullptr};
    const INamedObject* sender = nullptr;
  };

  // Holds its own copy of the samples: a controller reuses its few buffers
  // as soon as ProcessBuffer returns, long before the worker gets to them
  // when an app feeds audio faster than real time. The copy comes from the
  // processor's pool and goes back there; the signal objects themselves are
  // recycled too. A signal that ends without being decoded (dropped by a
  // waiting state, by a closed queue or by the destructor) reports the drop.
  class AudioArrivedSignal : public StateSignal {
   public:
    AudioArrivedSignal(std::shared_ptr<SamplePool> pool, std::shared_ptr<const FlowReport> flow,
                       const short* source, uint32_t count,
                       std::chrono::steady_clock::time_point time)
        : StateSignal(kAudioArrived),
          pool_(std::move(pool)),
          flow_(std::move(flow)),
          copy(pool_->take(source, count)),
          samples(copy.data()),
          frames(static_cast<uint32_t>(copy.size())),
          time(time) {}
    ~AudioArrivedSignal() override {
      pool_->give(std::move(copy));
      if (decoded || !flow_) return;
      if (IAudioFlowListener* listener = flow_->listener.load()) {
        listener->onAudioDropped(flow_->sender);
      }
    }
    AudioArrivedSignal(const AudioArrivedSignal&) = delete;
    AudioArrivedSignal& operator=(const AudioArrivedSignal&) = delete;

    static void* operator new(std::size_t size);
    static void operator delete(void* memory, std::size_t size);

   private:
    std::shared_ptr<SamplePool> pool_;
    std::shared_ptr<const FlowReport> flow_;

   public:
    std::vector<short> copy;
    const short* samples;
    uint32_t frames;
    std::chrono::steady_clock::time_point time;
    // Set once the buffer's ProcessingCompleteParams has been reported.
    bool decoded = false;
  };
  class UpdateEventEngineSequenceSignal : public StateSignal {
   public:
    explicit UpdateEventEngineSequenceSignal(std::string json)
        : StateSignal(kUpdateConfiguration), json(std::move(json)) {}
    std::string json;
  };
  class UpdateCandidateStationsSignal : public StateSignal {
   public:
    // `key`: the configuration key the text came from, for the log.
    explicit UpdateCandidateStationsSignal(std::string json, std::string key = std::string())
        : StateSignal(kUpdateConfiguration), json(std::move(json)), key(std::move(key)) {}
    std::string json;
    std::string key;
  };
  class UpdateDecoderSignal : public StateSignal {
   public:
    explicit UpdateDecoderSignal(const std::array<int32_t, kDecoderOptionCount>& options)
        : StateSignal(kUpdateDecoder), options(options) {}
    std::array<int32_t, kDecoderOptionCount> options;
  };

  // `name` is the plug-in name and the prefix of its configuration keys;
  // `rate` the SampleRate flag its decoders need. Without network time no
  // network time is ever requested. `pingInterval` is the period of the
  // decoder flushes once pinging is on.
  BaseAudioProcessor(std::string name, SampleRate rate, bool useNTP,
                     std::chrono::milliseconds pingInterval,
                     const Clock& clock = Clock::real(),
                     const DecoderFunctions& decoder = DecoderFunctions::real());
  // Stops the worker, closes the record file and every decoder context.
  ~BaseAudioProcessor() override;

  // IProcessor.
  const std::string& GetName() const override { return name_; }
  const std::string& GetVersion() const override { return version_; }
  void Initialise(IProcessorListener* listener, int sampleRateHz, const NTPInfo* ntp) override;
  void Configure(const ConfigurationParameters* configuration, const NTPInfo* ntp) override;
  void SetFilePath(const std::string& path) override;
  void SetDeviceId(int deviceId) override;

  // IAudioProcessor.
  void ProcessBuffer(const short* samples, int sampleCount,
                     std::chrono::steady_clock::time_point captureTime) override;
  void Start() override;
  void Stop() override;
  IProcessorEventParams* PrepareData(const NTPInfo* ntp) override;
  SampleRate GetPreferredSampleRate() override { return rate_; }

  // INTPConsumer. The controller need not wait for network time.
  void updateNTPInfo(const NTPInfo* ntp) override;
  bool isNTPRequired() override { return false; }

  // Replaces the decoders with one per descriptor (rebuilt on the worker).
  void setDecoderDescriptors(Descriptors descriptors);
  // The descriptor list of the "<name>_DecoderDescriptors" key: replaces the
  // descriptors unless the text is the one applied last; text that is no
  // descriptor list is logged ("Invalid JSON input") and leaves the
  // decoders as they are, and its answer says what is wrong
  // (DecoderBuildReport::unreadable; not for an empty text). Every value is
  // answered with a DecoderBuildReport: by the build it causes, or, when it
  // changes nothing, at once (or by the build still under way).
  void applyDescriptorText(const std::string& json);
  // A "<name>_DecoderDescriptors" value of another kind than text (a
  // number, a boolean): logged at Warning with its kind, and refused as text
  // that is no descriptor list is ("not a text but an integer: 5").
  void refuseDescriptorValue(const IConfigurationParameter* value);
  // What DecoderBuildReport::answers holds once the processor has read the
  // "<name>_DecoderDescriptors" value `value`: a text as it stands; a value
  // of another kind as a NUL byte and describeConfigurationValue, which no
  // text the processor takes begins with. The decoder matches the reports
  // to the app's values with it.
  static std::string descriptorAnswer(const IConfigurationParameter* value);
  // Tests only: runs on the worker each time a build, having noted that it
  // waits for the rate, is about to read it, so that a test can call
  // Initialise exactly then. Any thread; takes effect at the next build.
  void setRateReadHook(std::function<void()> hook);
  // Which schemes get a decoder; every scheme by default. Takes effect at
  // the next rebuild.
  void setSchemeFilter(SchemeFilter filter);
  void setPinging(bool pinging);
  // The scheme of every running decoder, in decoder order. Safe to call
  // from any thread, but the records (and the names they point to) belong
  // to the decoders and go when the worker rebuilds them: only the worker's
  // own callbacks may read them safely. Other threads take copies.
  std::vector<const EncodingSchemeInfo*> getSchemeInfo() const;
  // A copy of what getSchemeInfo describes, taken under the decoders' lock:
  // valid however the decoders change afterwards. Any thread.
  struct SchemeCopy {
    int32_t scheme = 0;
    std::string name;
    std::string shortName;
    int64_t codewordDuration = 0;  // ms
    int64_t codewordOffset = 0;    // ms
  };
  std::vector<SchemeCopy> copySchemeInfo() const;

  // Confidence mappings of the reported values: decoder Confidence 1..4 to
  // 3, 2, 1, -1; decoder SyncState 0..2 to 1, 3, 2; anything else to 0.
  static int32_t convertToConfidence(int32_t confidence);
  static int32_t convertSyncStateToConfidence(int32_t syncState);

  // The record file of the raw input: path + "/" + name +
  // "_AudioSamplesFile.raw".
  std::string recordPath() const;

 private:
  friend class ActiveObject<BaseAudioProcessor>;

  struct DecoderEntry {
    VorselTContext* context = nullptr;
    std::shared_ptr<const EchoDecoderDescriptor> descriptor;
    std::unique_ptr<PartialCodewordProcessor> partial;
    EncodingSchemeInfo info{};
    CandidateStationsPtr list;
    bool waiting = false;
    // One record per scheme of the context, as the decoding core fills
    // them; the entry reports scheme 0.
    std::vector<PerformanceData> performance;
    std::vector<VorselTResult> results;
    // The stamps of the last decoded buffer, until it is reported.
    int64_t corrected = 0;
    int64_t steady = 0;
  };

  // States (worker thread).
  void stateWaitingForDecoders();
  void stateWaitingForConfiguration();
  void stateProcessing();
  void stateDone() {}

  // Worker-thread steps.
  void buildDecoders();
  void closeDecoders();
  void applyReadinessRule();
  // At Start: a Warning when the app's descriptors of a VorselT plug-in
  // wait for candidate stations that cannot come.
  void warnAboutStations();
  void replaceDescriptors(Descriptors descriptors, bool fromConfiguration);
  // False when the last finished build took the current descriptors at the
  // current rate: a rebuild would give what runs.
  bool rebuildNeeded() const;
  // Records what the build that took the descriptors of request `request`
  // at `rateHz` gave, then reports.
  void finishBuild(uint64_t request, int32_t rateHz, int built, const std::string& refusals,
                   bool fromConfiguration);
  // Tells the listener what the decoders are, as an answer to the last
  // descriptor value read, unless a build of newer descriptors is still to
  // come (it reports then).
  void reportDecodersBuilt();
  void updateConfiguration(const StateSignal& signal);
  void setupStateProcessing();
  // Marks the signal decoded when it reports its ProcessingCompleteParams.
  void audioArrivedProcess(AudioArrivedSignal& signal);
  // One decoder run over `samples` (null: a flush) ending at `corrected`,
  // then its report.
  void runDecoder(DecoderEntry& entry, short* samples, uint32_t count, int64_t corrected,
                  int64_t steady, uint64_t totalSamples);
  void decode(DecoderEntry& entry, short* samples, uint32_t count, int64_t corrected,
              int64_t steady);
  void reportDecoded(DecoderEntry& entry, uint64_t totalSamples);
  void pingDecoder();
  void reportCodewords(PerformanceData& p, const EncodingSchemeInfo& info,
                       const EchoDecoderDescriptor& descriptor, int64_t corrected, int64_t steady,
                       uint64_t totalSamples);
  void reportPartialResults(DecoderEntry& entry, int64_t corrected, int64_t steady);
  void warnWeirdTiming(const char* what, const DecoderEntry& entry, int64_t corrected,
                       int64_t steady);
  void checkNTPRequest();
  void writeRecord(const short* samples, uint32_t frames);
  std::string recordPathLocked() const;  // requires recordMutex_
  void manageFileRecording();

  void onStateFailure(const std::exception* error) override;
  void onThreadEnd() override;

  // Listener calls that tolerate a missing listener.
  void reportEvent(const IProcessorEventParams& params);
  void reportStatus(const IProcessorStatusParams& params);
  void reportLog(LogLevel level, const std::string& text);

  const std::string name_;
  const SampleRate rate_;
  const bool useNTP_;
  const std::string version_;
  const Clock& clock_;
  const DecoderFunctions& fns_;
  const std::chrono::milliseconds pingInterval_;

  std::atomic<IProcessorListener*> listener_{nullptr};
  std::atomic<int32_t> sampleRateHz_{0};
  // Descriptors were given before the rate: Initialise rebuilds.
  std::atomic<bool> awaitingRate_{false};
  std::unique_ptr<ProcessorTimeProvider> timeProvider_;
  ProcessorNTPTimeProvider* ntpProvider_ = nullptr;  // timeProvider_ or null

  std::atomic<int64_t> ntpInterval_{86400};
  std::atomic<int64_t> ntpMinDelay_{300};
  // Up time in seconds of the last network-time request; "none" after an
  // update.
  std::atomic<int64_t> lastNTPRequest_;

  // Raw recording: the path, the flag and the stream share one mutex.
  mutable tembrolexin::Mutex recordMutex_;
  std::string filePath_;
  bool recordAudio_ = false;
  std::unique_ptr<std::ofstream> recordFile_;

  // Worker thread only (getSchemeInfo reads under decodersMutex_).
  mutable tembrolexin::Mutex decodersMutex_;
  std::vector<DecoderEntry> decoders_;
  std::vector<short> workBuffer_;
  std::atomic<uint64_t> totalSamples_{0};
  // Shared with the queued signals, which may outlive the members (the
  // queue goes with the base class).
  const std::shared_ptr<SamplePool> samplePool_ = std::make_shared<SamplePool>();
  // The listener seen as an IAudioFlowListener (set by Initialise).
  const std::shared_ptr<FlowReport> flow_ = std::make_shared<FlowReport>();

  mutable tembrolexin::Mutex settingsMutex_;
  Descriptors descriptors_;     // guarded by settingsMutex_
  SchemeFilter schemeFilter_;   // guarded by settingsMutex_
  std::string descriptorText_;  // guarded by settingsMutex_: the applied list
  // Guarded by settingsMutex_: whether descriptors_ came from the
  // configuration; the last descriptor value read (taken or not) and why it
  // is no descriptor list ("" when it is one); the descriptor replacements
  // asked for, and the one the last finished build took with the rate it
  // read; what that build gave.
  bool descriptorsFromConfiguration_ = false;
  std::string descriptorValue_;
  std::string descriptorProblem_;
  uint64_t buildsRequested_ = 0;
  uint64_t buildSettled_ = 0;
  int32_t settledRateHz_ = 0;
  DecoderBuildReport lastBuild_;
  std::function<void()> rateReadHook_;  // guarded by settingsMutex_
  // Held while a report is taken and handed over, so that reports from the
  // worker and from Configure's caller reach the listener in order.
  tembrolexin::Mutex reportMutex_;
  // A non-empty "<name>_CandidateStations" text has been configured.
  std::atomic<bool> stationsConfigured_{false};

  std::atomic<bool> pinging_{false};
  // Profile of the processing state: window start (up time) and busy ms.
  int64_t profileStart_ = 0;
  int64_t profileBusy_ = 0;

  // Last: stopped before the rest goes.
  TimedEvent pingTimer_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_BASE_AUDIO_PROCESSOR_H_
