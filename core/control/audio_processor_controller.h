// AudioProcessorController: runs one audio processor as an active object.
//
// The controller owns the processor, a signal queue and one worker thread.
// Every other thread (the decoder on the bus thread, the recorder's callback
// thread, the controller's own timers) reaches the processor only by queueing
// a coded signal; the worker thread takes the signals that its current state
// accepts and calls the processor. Signals a state does not accept stay
// queued, in order, for a later state.
//
// The audio path: each captured buffer is copied into one of three rotating
// buffers, resampled in place to the processor's preferred rate and handed to
// the processor, so a pointer handed on stays untouched until two more
// buffers have been passed. Buffers that arrive while the controller is not
// listening are dropped; while it prepares data they wait in the queue, on
// copies, so that the capture buffers they came from are free at once.
//
// Pacing: a processor that decodes on a thread of its own reports each
// buffer decoded (ProcessingCompleteParams) or dropped (IAudioFlowListener),
// and is handed a rotating buffer only while fewer than three are
// unfinished: a fast feeder is held at the pace of a processor that decodes
// and is behind, instead of overwriting audio not yet decoded. Once held, the
// controller waits until two are finished (one will do when the stall limit
// passes), so that it and the processor's worker wake each other once per
// two buffers. A processor
// that has never reported a buffer is never waited for. One that finishes
// nothing for the stall limit is no longer waited for: its buffers are
// dropped (counted, with a Warning) until it finishes one again, so that it
// never holds the capture path, and with it every other processor.
//
// A processor whose worker ends for good (IAudioFlowListener::
// onProcessorEnded) ends the controller too, which then reports the failure.
//
// Configuration: the stored configuration is the union of all applied maps;
// a map that changes nothing is ignored, keys containing "_meta_" never reach
// the processor, and "_meta_enabled" switches the processor off (state
// Inactive) and on again. A processor that needs network time waits for it
// before it is initialised and before a new configuration is applied; the
// controller asks its listener for network time and asks again after 30 s
// while initialising, or at its refresh period ("_meta_NTPfrequency").
//
// Prepared files that the processor reports are moved, with their ".md5" side
// files, into <file path>/readyToUpload/<processor name> and reported as
// CheckedFilePreparedEventParams; at start-up the controller reports what
// already waits there.
//
// Ownership: the controller owns the processor and deletes it after its
// thread and timers have ended. The listener and the messenger are not owned
// and must outlive the controller, as must the clock.
//
// Thread safety: the public operations may be called from any thread; they
// queue signals (ProcessBuffer's samples are read later on the worker thread,
// so the caller keeps them valid until then). The listener-side operations
// are called by the processor on its own threads and call the listener
// directly.
#ifndef TL_CORE_CONTROL_AUDIO_PROCESSOR_CONTROLLER_H_
#define TL_CORE_CONTROL_AUDIO_PROCESSOR_CONTROLLER_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/audio/audio_flow_listener.h"
#include "core/audio/resampler.h"
#include "core/control/controller_settings.h"
#include "core/control/i_processor_controller_listener.h"
#include "core/runtime/active_object.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"
#include "core/runtime/configuration_map.h"
#include "core/runtime/i_buffered_audio_processor.h"
#include "core/runtime/i_consumers.h"
#include "core/runtime/i_log_listener.h"
#include "core/runtime/i_messenger.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/i_power_detector_status_consumer.h"
#include "core/runtime/i_processor.h"
#include "core/runtime/i_processor_listener.h"
#include "core/runtime/i_thrift_provider.h"
#include "core/runtime/network_time.h"
#include "core/runtime/processor_params.h"
#include "core/runtime/sample_rate.h"
#include "core/runtime/timed_event.h"
#include "schema/gps_info.h"
#include "schema/gsm_info.h"

namespace tembrolexinsdk {

namespace audioprocessorcontroller {

// A resampler from the capture rate to the processor's rate, or null when the
// pair cannot be converted. For 8 kHz to 24 kHz `frames` is tripled first
// (the buffers then hold the upsampled block), whatever the result.
std::unique_ptr<Resampler> createResampler(SampleRate from, SampleRate to, unsigned& frames);

// Renames `from` to `to`; across file systems (EXDEV) copies and deletes the
// source instead. On failure returns false, sets `error` to the errno value,
// and leaves the source where it was. `renameFunction` is the rename to use
// (a seam for tests).
bool moveFile(const std::string& from, const std::string& to, int& error,
              int (*renameFunction)(const char*, const char*) = nullptr);

}  // namespace audioprocessorcontroller

class AudioProcessorController : public IProcessorListener,
                                 public IAudioFlowListener,
                                 public ILogListener,
                                 public IThriftProvider,
                                 public IMessengerListener,
                                 public INamedObject,
                                 private ActiveObject<AudioProcessorController> {
 public:
  // Signal codes of the controller's queue.
  enum Code {
    kRefresh = 0,
    kNTPUpdate = 1,
    kNTPFailed = 2,
    kGSMUpdate = 3,
    kGPSUpdate = 4,
    kThriftUpdate = 5,
    kAudioUpdate = 7,
    kConfigure = 8,
    kStart = 9,
    kStop = 10,
    kProcessBuffer = 11,
    kPrepareData = 12,
    kPowerStatus = 13,
    kQuit = 14,
  };
  enum class StateId {
    Initialising,
    Configuring,
    WaitingForValidSampleRate,
    Idle,
    Listening,
    PreparingData,
    PreparingDataWhileListening,
    Inactive,
    Done,
  };
  using SystemTime = IBufferedAudioProcessor::SystemTime;

  static constexpr int64_t kDefaultNTPFrequencyMillis = 86400000;
  static constexpr int64_t kDefaultPowerDetectorFrequencyMillis = 300000;
  static constexpr int64_t kNTPRetryMillis = 30000;
  // How long a processor may finish no buffer while three wait before its
  // buffers are dropped: under the 640 ms that the recorder's five capture
  // buffers hold, so that live capture loses nothing to a processor that
  // hangs.
  static constexpr std::chrono::milliseconds kDefaultStallLimit{500};

  // Starts the worker thread (std::system_error when none can be started).
  // A null processor is refused with std::invalid_argument. `identity1` and
  // `identity2` reach an identity-consuming processor after initialisation.
  // `stallLimit` is measured on `clock`.
  AudioProcessorController(std::unique_ptr<IAudioProcessor> processor,
                           IProcessorControllerListener* listener, IMessenger* messenger,
                           std::string identity1, std::string identity2,
                           const Clock& clock = Clock::real(),
                           std::chrono::milliseconds stallLimit = kDefaultStallLimit);
  // Stops the thread and the timers, leaves the bus, then deletes the
  // processor; queued signals are dropped.
  ~AudioProcessorController() override;

  // The processor's name and version.
  const std::string& GetName() const override { return name_; }
  const std::string& GetVersion() const { return processor_->GetVersion(); }

  void Configure(std::unique_ptr<ConfigurationMap> configuration);
  void SetDeviceId(int deviceId);
  void SetFilePath(std::string path);
  // The recorder's rate and frames per buffer.
  void SetAudioParameters(SampleRate rate, unsigned frames);
  // `samples` must stay valid until the worker thread has copied them. A
  // buffer longer than the frames given with the audio parameters is cut to
  // that length (with a Warning). `onReleased`, when given, runs once the
  // controller no longer reads `samples`: on the worker thread after the
  // buffer was handled or dropped, or in the destructor for a buffer still
  // queued. It must not block.
  void ProcessBuffer(const short* samples, unsigned short count,
                     std::chrono::steady_clock::time_point steadyTime, SystemTime systemTime,
                     std::function<void()> onReleased = nullptr);
  void Start();
  void Stop();
  void PrepareData();
  // Only for processors that consume network time (either form); else no-ops.
  void UpdateNTPInfo(std::shared_ptr<const NTPInfo> ntp, std::shared_ptr<const RawNTPInfo> raw);
  void NTPFailed();
  void UpdateGSMInfo(std::shared_ptr<const GSMInfo> info);
  void UpdateGPSInfo(std::shared_ptr<const GPSInfo> info);
  void updatePowerDetectorStatus(PowerDetectorStatus status);

  // True when the controller is idle and has nothing queued. Any thread.
  bool isIdle() const;
  // Buffers dropped because the processor had stopped finishing them. Any
  // thread.
  uint64_t droppedBuffers() const;
  // True while the worker holds a buffer back, waiting for the processor to
  // finish one of the three it has. Any thread.
  bool waitingForProcessor() const;
  StateId state() const { return stateId_.load(); }

  // The processor's side (IProcessorListener, ILogListener, IThriftProvider).
  void onProcessorEvent(const INamedObject* sender, const IProcessorEventParams* params) override;
  void onLogEvent(const INamedObject* sender, const LogParams* params) override;
  void onProcessorStatusChanged(const INamedObject* sender,
                                const IProcessorStatusParams* params) override;
  void onFailed(const FailureParams& failure) override;
  void onDecodersBuilt(const INamedObject* sender, const DecoderBuildReport& report) override;
  void onNTPRequired() override;
  security::IDataSigner* signer() const override;
  // IAudioFlowListener: a dropped buffer counts as finished; an ended
  // processor ends the controller, which reports `failure` to its listener.
  void onAudioDropped(const INamedObject* sender) override;
  void onProcessorEnded(const INamedObject* sender, const FailureParams& failure) override;
  void onLog(std::string senderName, const LogParams* params) override;
  // Registers this controller (not `consumer`) on the bus for `typeId`.
  void registerListener(int typeId, IThriftConsumer* consumer) override;
  void sendMessage(const std::string& senderName, std::unique_ptr<ThriftParams> params) override;
  // Bus thread: queues copies of the sender name and the message.
  void onReceive(const std::string& senderName, const ThriftParams& params) override;

  // A copy of `params` for the listener, with prepared files moved into the
  // ready-to-upload folder (FilePreparedEventParams become
  // CheckedFilePreparedEventParams; files that cannot be moved are left
  // out). Null for null.
  std::unique_ptr<IProcessorEventParams> CorrectReceivedEventParams(
      const IProcessorEventParams* params);
  // The file's new path in the ready-to-upload folder (its ".md5" side file
  // follows it), or "" when it cannot be moved.
  std::string moveToReadyForUploadDir(const std::string& path);

 private:
  friend class ActiveObject<AudioProcessorController>;
  struct ConfigurationProcess;
  struct Profiler {
    tembrolexin::Mutex mutex;
    int64_t lastReport = 0;
    int64_t total = 0;
  };

  // States.
  void stateInitialising();
  void stateConfiguring();
  void stateWaitingForValidSampleRate();
  void stateIdle();
  void stateListening();
  void statePreparingData();
  void statePreparingDataWhileListening();
  void stateInactive();
  void stateDone() {}
  void preparing(bool whileListening);

  void go(StateId id);
  bool in(StateId id) const { return stateId_.load() == id; }
  void unexpected(const char* prefix, int code);
  void initialise(const NTPInfo* ntp, const RawNTPInfo* raw);
  StateId tryCreateResampler(StateSignal& signal);
  void processBuffer(StateSignal& signal);
  // Waits until a rotating buffer is no longer read by the processor; false
  // when the buffer is to be dropped instead (the processor has stalled).
  bool awaitFreeBuffer();
  // One buffer handed to the processor is finished (decoded or dropped).
  void bufferFinished();
  // Ends a wait for the processor, and every later one.
  void stopWaitingForProcessor();
  // While preparing data: buffers then wait in the queue on copies.
  void holdBuffers(bool hold);
  void passThrift(StateSignal& signal);
  void passGSM(StateSignal& signal);
  void passGPS(StateSignal& signal);
  void reportStatus(const IProcessorStatusParams& params);
  void reportPrepared(std::unique_ptr<IProcessorEventParams> result);

  // Configuration, network time and power detector.
  void handle(StateSignal& signal);
  void handleConfigure(StateSignal& signal);
  void handleNTPUpdate(StateSignal& signal);
  void handleNTPFailed();
  void configure(ConfigurationProcess& process);
  void deactivate();
  void storeConfiguration(const ConfigurationMap& parameters);
  bool IsConfigurationDifferent(const ConfigurationMap& map) const;
  controllersettings::Enabled IsProcessorEnabled(const ConfigurationMap& map) const;
  std::unique_ptr<ConfigurationMap> FilterConfigurationParameters() const;
  int64_t getNTPFrequency();
  int64_t getPowerDetectorUpdateFrequency();
  int64_t readPeriod(const char* function, const std::string& suffix, int64_t& period);
  void handlePowerDetectorStatus(PowerDetectorStatus status);
  void DumpNTP(const NTPInfo* ntp, const RawNTPInfo* raw);
  void armNTP(int64_t millis);
  bool consumesNTP() const { return ntpConsumer_ != nullptr || rawNtpConsumer_ != nullptr; }
  bool needsNetworkTime() const { return ntpRequired_ || rawNtpConsumer_ != nullptr; }
  void onNTPTimer();
  void onPowerTimer();

  void uploadAllFilesInFolder(const std::string& folder);
  std::string filePath() const;
  std::string readyToUploadPath() const;

  void profile(Profiler& profiler, const std::string& label, int64_t startMillis);
  void onStateFailure(const std::exception* error) override;
  void onThreadEnd() override;

  const Clock& clock_;
  const std::string name_;
  std::unique_ptr<IAudioProcessor> processor_;
  IProcessorControllerListener* const listener_;
  IMessenger* const messenger_;
  // The processor's optional faces, null when it lacks them.
  INTPConsumer* const ntpConsumer_;
  IRawNTPConsumer* const rawNtpConsumer_;
  IGPSConsumer* const gpsConsumer_;
  IGSMConsumer* const gsmConsumer_;
  IThriftConsumer* const thriftConsumer_;
  IBufferedAudioProcessor* const buffered_;
  IIdentityConsumer* const identityConsumer_;
  IPowerDetectorStatusConsumer* const powerConsumer_;
  const bool ntpRequired_;
  const std::string identity1_;
  const std::string identity2_;

  // Worker thread only.
  bool listening_ = false;
  std::unique_ptr<ConfigurationProcess> pending_;
  std::unique_ptr<ConfigurationMap> configuration_;
  std::array<std::vector<short>, 3> buffers_;
  // A controller held by its processor goes on once at most this many of
  // the rotating buffers are unfinished (two free).
  static constexpr int kResumeInFlight = 1;
  int16_t bufferIndex_ = 0;
  SampleRate sampleRate_ = SampleRate_NotAvailable;
  SampleRate requiredSampleRate_ = SampleRate_8000;
  unsigned frames_ = 1024;
  unsigned inputFrames_ = 1024;
  std::unique_ptr<Resampler> resampler_;
  std::shared_ptr<const NTPInfo> keptNtp_;
  std::shared_ptr<const RawNTPInfo> keptRawNtp_;
  int64_t ntpFrequency_ = kDefaultNTPFrequencyMillis;
  int64_t powerDetectorFrequency_ = kDefaultPowerDetectorFrequencyMillis;

  mutable tembrolexin::Mutex mutex_;
  std::string filePath_;                            // guarded by mutex_
  std::string readyToUploadPath_;                   // guarded by mutex_
  std::optional<PowerDetectorStatus> powerStatus_;  // guarded by mutex_
  std::set<int> registrations_;                     // guarded by mutex_
  std::atomic<int> deviceId_{0};
  std::atomic<StateId> stateId_{StateId::Initialising};

  // The processor's failure when its worker ended; reported as the
  // controller's thread ends.
  std::unique_ptr<FailureParams> processorFailure_;  // guarded by mutex_

  // Buffers handed to the processor and not reported finished.
  const std::chrono::milliseconds stallLimit_;
  mutable tembrolexin::Mutex flightMutex_;
  tembrolexin::CondVar flightCv_;
  int buffersInFlight_ = 0;       // guarded by flightMutex_; at most three
  bool reportsBuffers_ = false;   // guarded by flightMutex_: it has finished one
  bool stalled_ = false;          // guarded by flightMutex_
  bool waiting_ = false;          // guarded by flightMutex_
  // The controller is going, or its processor has ended: nothing more is
  // waited for.
  bool stopWaiting_ = false;      // guarded by flightMutex_
  uint64_t droppedBuffers_ = 0;   // guarded by flightMutex_
  uint64_t stallDrops_ = 0;       // guarded by flightMutex_: in the current stall

  // Set while preparing data; ProcessBuffer then queues copies.
  tembrolexin::Mutex holdMutex_;
  bool holdingBuffers_ = false;  // guarded by holdMutex_
  Profiler stateProfiler_;
  Profiler listenerProfiler_;

  // Last, so that they are built after everything their actions touch.
  std::unique_ptr<TimedEvent> ntpTimer_;
  std::unique_ptr<TimedEvent> powerTimer_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_CONTROL_AUDIO_PROCESSOR_CONTROLLER_H_
