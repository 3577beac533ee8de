// AudioDecoder: the process-wide facade of the core. It owns the recorder,
// one AudioProcessorController per audio processor, one ProcessorController
// per generic processor, the reaction engines, the configuration cache, the
// key-value store and the data signer, and it tells its listeners (the bus
// bridge, engines) what happens.
//
// Life: Created -> Initialised (audio controllers exist) <-> Listening.
// Every setter and every configuration map tries to initialise; that needs a
// device id, a file path, sample rates, the app's identity and at least one
// configuration map. Initialisation opens "audiodecoder.db" (a file SQLite
// finds damaged is set aside as "audiodecoder.db.damaged" and a new one made;
// any other failure to open it refuses the start, naming the path and
// SQLite's reason), creates the engines once (the engine list
// "AudioDecoder_engines", JSON, from the cached maps; all four engines by
// default; a value that is no text holding one JSON list and nothing after
// it creates none, logged at Error), loads the plug-ins
// ("AudioDecoder_plugins", a comma-separated list; the three code-word
// plug-ins by default; a value of another kind than text names none) plus
// the app's processors, applies the cached maps in
// arrival order and sets an app-fed recorder up; the platform recorder is
// made and set up only as decoding starts, so that an app that installs its
// own first never opens the capture device. A start before initialisation
// is kept and carried out once it completes. An initialisation that fails
// (the store does not open, or a start waiting for it finds no capture
// device) keeps the configuration maps and an app-fed recorder, and the next
// start, setter or map tries again (the generic processors it loaded are
// kept, not loaded again); as for a plug-in list that runs nothing, the
// failure is logged once and each start it fails (or that waited for it)
// hears it with onFailed. A plug-in list that runs no audio processor, a
// rate of a plug-in the app chose (or of every default one) that the
// recorder's cannot be converted to, a
// "<processor name>_DecoderDescriptors" value of the app's that is no
// descriptor list (or no text) or whose every scheme configuration the
// decoding core refused (whatever else runs), and decoders that the decoding
// core refused all of refuse the start with onFailed. The app's bytes quoted
// in these texts and in the log (names, values, paths) have the bytes that
// are not UTF-8 escaped (StringChecker::escapeBytes).
//
// A start is decided once each code-word processor given such a value has
// answered it (DecoderBuildReport::answers): until then it is pending, and
// the control lock is free (a stop cancels it). A processor without a value
// of the app's, or one switched off ("_meta_enabled"), is not waited for; one
// that does not answer within 3 s (its worker has ended) is logged and the
// start goes on. A value that is refused while listening ends it with
// onFailed.
//
// Routing: each capture buffer goes by pointer to every audio controller (the
// buffer is not refilled until each has copied it: the app-fed recorder's
// caller waits, the platform recorder drops a block), to the raw capture
// file, the sample check and the volume meter, and one AudioSignal per buffer
// goes on the bus. Processor events pass the engines in name order, then go
// on the bus or to the listeners. Configuration maps are split among engines
// and controllers by name, or cached while no controller exists.
//
// A processor failure is reported to the listeners; when it ends an audio
// controller (the controller failed, or its processor's worker died), the
// decoder then stops and resets to Created (the next cached configuration
// map initialises it again). With a generic processor loaded (the bundle
// cache, or one of the app's) its controller outlives a reset and takes every
// later map, so none is cached and the decoder stays in Created for the rest
// of the process: each start after a failure that reset it hears that
// failure, followed by why it lasts and that the process must start again.
//
// Ownership: the decoder owns everything above; the messenger is not owned
// and must outlive the decoder. Listeners are not owned.
//
// Thread safety: control operations (setters, start, stop, configure, bus
// messages, useCustomRecorder) may come from any thread and are serialised by
// one control lock. Work that arises on processor, engine or recorder threads
// (priority configurations, interruptions, failure resets, the processors'
// reports of their decoders and the decision of a waiting start) runs on the
// decoder's own control thread, so no such thread ever waits for the control
// lock. The capture path (recorderCallback) reads the controllers, recorder,
// raw file and meter under a shared lock; changing them takes it exclusively,
// after the platform recorder has been stopped.
#ifndef TL_CORE_CONTROL_AUDIO_DECODER_H_
#define TL_CORE_CONTROL_AUDIO_DECODER_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/audio/audio_sample_check.h"
#include "core/audio/volume_measurer.h"
#include "core/control/audio_processor_controller.h"
#include "core/control/capture_buffer_leases.h"
#include "core/control/i_processor_controller_listener.h"
#include "core/control/processor_controller.h"
#include "core/net/data_signer.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"
#include "core/runtime/configuration_map.h"
#include "core/runtime/database.h"
#include "core/runtime/i_audio_decoder_listener.h"
#include "core/runtime/i_audio_recorder.h"
#include "core/runtime/i_engine.h"
#include "core/runtime/i_messenger.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/i_processor.h"
#include "core/runtime/i_processor_listener.h"
#include "core/runtime/timed_event.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

// What the decoder builds its parts with; tests replace pieces.
struct AudioDecoderEnvironment {
  using AudioLoader = std::function<std::vector<std::unique_ptr<IAudioProcessor>>(
      const std::string& libraryPath, const std::vector<std::string>& names)>;
  using ProcessorLoader = std::function<std::vector<std::unique_ptr<IProcessor>>(
      const std::string& libraryPath, const std::vector<std::string>& names)>;

  // The plug-ins by name (the plug-in loader in platform()); none when empty.
  AudioLoader loadAudioPlugins;
  ProcessorLoader loadProcessorPlugins;
  // Whether a plug-in name means anything to the loaders; names it does not
  // know are logged at Warning. Unset: every name counts as known.
  std::function<bool(const std::string&)> knowsPlugin;
  // Every plug-in name the loaders know, for the failure that names them
  // when none of the app's runs. Unset: not named.
  std::function<std::vector<std::string>()> pluginNames;
  // The platform recorder, made when no custom recorder is installed.
  std::function<std::unique_ptr<IAudioRecorder>()> createPlatformRecorder;
  const Clock* clock = &Clock::real();
  TimingMode sampleCheckTiming = TimingMode::kThreaded;
  // Longest wait of an app-fed recorder for a buffer still being read.
  std::chrono::milliseconds bufferWaitLimit{10000};
  // How long an audio processor may finish no buffer before its controller
  // drops its buffers instead of waiting (measured on `clock`).
  std::chrono::milliseconds processorStallLimit = AudioProcessorController::kDefaultStallLimit;

  // The plug-in loader with every row registered (builtin_plugins.h) and
  // the platform recorder.
  static AudioDecoderEnvironment platform();
};

class AudioDecoder : public IProcessorControllerListener,
                     public IProcessorListener,
                     public INamedObject,
                     public IAudioRecorderListener,
                     public IMessengerListener {
 public:
  static constexpr const char* kPluginsKey = "AudioDecoder_plugins";
  static constexpr const char* kEnginesKey = "AudioDecoder_engines";
  static constexpr const char* kDefaultPlugins =
      "libEchoModPlugin.so,libVorselTPlugin.so,libVorselTWPlugin.so";
  static constexpr unsigned kCaptureBuffers = 5;

  // The process-wide decoder on the process-wide bus, created by the first
  // caller (concurrent first callers wait for it). Never destroyed; after
  // shutdownInstance() it is (or is made) shut down.
  static AudioDecoder* getInstance();
  // shutdown() of the process-wide decoder, if one was made; one made later
  // starts shut down. Idempotent.
  static void shutdownInstance();

  // A decoder of its own on `messenger` (tests, embedding). Registers the
  // messenger with the Logger when no other bus is registered there.
  explicit AudioDecoder(IMessenger* messenger,
                        AudioDecoderEnvironment environment = AudioDecoderEnvironment::platform());
  // shutdown(), then leaves the Logger and stops the messenger.
  ~AudioDecoder() override;

  // Final: leaves the bus, stops the control thread, stops decoding (the
  // listeners hear onStopListening when it was listening, and the engines
  // the stop), resets (the recorder stopped before the controllers that read
  // its buffers go), then stops and destroys the generic controllers and the
  // engines (the analytics writer writes every record queued before) and the
  // sample check, joining every thread of theirs. An app-fed recorder is
  // kept, stopped, so that a thread still feeding it finds it. From then on
  // setters, starts, configurations and recorders are refused. Idempotent;
  // not to be called on a thread of the decoder's.
  void shutdown();
  bool isShutDown() const { return shutDown_.load(); }
  AudioDecoder(const AudioDecoder&) = delete;
  AudioDecoder& operator=(const AudioDecoder&) = delete;

  void registerDecoderListener(IAudioDecoderListener* listener);
  void unRegisterDecoderListener(IAudioDecoderListener* listener);

  // Each stores its value and tries to initialise; true when initialised.
  bool setAvailableSampleRates(unsigned short rates);
  bool setFilePath(std::string path);
  bool setExternalFilePath(std::string path);
  bool setIdentity(std::string appPackageName, std::string udid);
  bool setDeviceId(int deviceId);
  bool setPlugins(std::vector<std::unique_ptr<IProcessor>> processors,
                  std::vector<std::unique_ptr<IAudioProcessor>> audioProcessors);
  // Installs an app-fed recorder (empty: back to the platform recorder). On
  // an initialised decoder the audio controllers are stopped, kept, and set
  // up again for the new recorder; decoding does not restart by itself.
  bool useCustomRecorder(std::unique_ptr<IAudioRecorder> recorder);

  void startDecoding(bool recordToFile);
  void stopDecoding();
  void pauseDecoding();
  void stopListeningInternal();
  void prepareData();
  bool isListening() const { return listening_.load(); }
  bool isInitialised() const;
  std::string getAudioProcessorFilePath(const std::string& name) const;

  // Applies the map (a copy) now, or caches it while no controller exists.
  void configure(const ConfigurationMap* map);
  void configure(std::unique_ptr<ConfigurationMapSignal> signal);

  // IProcessorListener / IProcessorControllerListener.
  void onProcessorEvent(const INamedObject* sender, const IProcessorEventParams* params) override;
  void onProcessorStatusChanged(const INamedObject* sender,
                                const IProcessorStatusParams* params) override;
  void onNTPRequired() override;
  void onFailed(const FailureParams& failure) override;
  security::IDataSigner* signer() const override;
  void onLogEvent(const INamedObject* sender, const LogParams* params) override;
  // What an audio processor's decoders are (see the start above and
  // startRefusal). Any thread.
  void onDecodersBuilt(const std::string& processorName, const DecoderBuildReport& report) override;
  const std::string& GetName() const override { return name_; }

  // IAudioRecorderListener (the recorder's threads).
  void recorderCallback(unsigned char index, std::chrono::steady_clock::time_point steadyTime,
                        std::chrono::time_point<std::chrono::system_clock,
                                                std::chrono::microseconds> systemTime) override;
  void audioSessionCallback(InterruptionState state) override;
  bool isBufferFree(unsigned char index) override;
  bool awaitBufferFree(unsigned char index, std::chrono::milliseconds limit) override;

  // IMessengerListener (bus thread): 7, 30, 32, 33, 34.
  void onReceive(const std::string& senderName, const ThriftParams& params) override;

  // Waits until the control thread has run everything queued so far.
  void waitForControlTasks();
  // Buffers of an app-fed recorder whose successor was still in use when the
  // wait limit ran out (the platform recorder counts the blocks it drops
  // itself, IOSAudioRecorder::droppedBlocks).
  uint64_t droppedBuffers() const { return droppedBuffers_.load(); }
  // Buffers that the controller of the named audio processor dropped while
  // that processor finished none (0 for an unknown name).
  uint64_t processorDroppedBuffers(const std::string& processorName) const;
  // Whether the controller of the named audio processor holds a buffer back
  // while it waits for that processor to finish one (false when unknown).
  bool waitingForProcessor(const std::string& processorName) const;
  // The engines' names, in order (empty before the first initialisation).
  std::vector<std::string> engineNames() const;
  SampleRate chosenSampleRate() const;

 private:
  class ControllerLink;
  class ControlThread;
  class EngineWalk;
  using ControlLock = std::unique_lock<tembrolexin::RecursiveMutex>;

  // The capture caller waits (bounded) until the buffer after `index` is
  // no longer read by any controller.
  void awaitNextBuffer(unsigned char index);
  // A failure of the initialisation is told to the listeners only with
  // `forStart` or while a start waits for it: it answers that start.
  bool tryInitialise(bool forStart = false);
  void initialiseProcessors();
  void createEngines();
  void loadAllProcessors();
  // Sets the recorder up for the controllers. The platform recorder is made
  // only with `forStart` (an app that installs its own recorder before it
  // starts never opens the capture device); without it, and without an
  // app-fed recorder, nothing is done.
  bool initialiseAudio(bool forStart);
  bool audioReady() const { return recorder_ != nullptr && chosenRate_ != SampleRate_NotAvailable; }
  // Why a start cannot decode (no plug-in runs, a plug-in's rate cannot be
  // reached from the recorder's, every decoder of a descriptor value of the
  // app's, or of every processor, was refused); empty when nothing is known
  // against it.
  std::string startRefusal() const;
  // What the processors' reports say against decoding ("" for nothing).
  std::string decoderRefusal() const;
  // Takes decoderRefusal as the decode failure; true (and logged at Error)
  // when it is a new one.
  bool updateDecodeFailure();
  // Takes the processors' latest reports: updates the refusal, decides a
  // pending start, ends listening that a new refusal leaves without decoder.
  void checkDecodersBuilt();
  // Remembers the app's descriptor value and the on/off setting of the
  // named audio processor from a map for it.
  void noteProcessorSettings(const std::string& name, const ConfigurationMap& map);
  // The processors whose answer to the app's descriptor value a start waits
  // for.
  std::vector<std::string> unansweredDescriptors() const;
  void startDecodingLocked(bool recordToFile);
  // What a start hears of the failure that reset the decoder: its text, and
  // with a generic processor loaded, that the reset lasts for the process.
  std::string lastingFailure() const;
  // The decided start: refused with onFailed, or listening.
  void completeStart(bool recordToFile);
  void stopAllProcessors();
  void stopDecodingLocked();
  void fail(const std::string& description, const std::exception* exception);
  // An initialisation that failed: logged (once per text in a row), told to
  // the listeners when `startWaits`, then stopped and reset, keeping `maps`
  // (what the attempt applied) and an app-fed recorder for the next attempt.
  void initialisationFailed(const std::string& description,
                            std::deque<std::unique_ptr<ConfigurationMap>> maps,
                            bool startWaits);
  // With `keepRecorder` the recorder is stopped and retired instead of
  // destroyed.
  void resetInternal(bool keepRecorder = false);
  // After `failure` of an audio processor: resets when it ended a controller.
  void resetAfterProcessorFailure(const std::string& failure);
  bool updateProcessorsConfigurations(const ConfigurationMap* map);
  void configureLocked(const ConfigurationMap* map);
  bool internalHandling(const IProcessorEventParams* params);
  void postConfiguration(std::unique_ptr<ConfigurationMap> map);
  // The newest value of `key` among the cached maps, of whatever kind; null
  // when none has it. Owned by the cache.
  const IConfigurationParameter* cachedValue(const std::string& key) const;
  void updateNTPInfo(std::unique_ptr<NTPInfoSignal> signal);
  void sendStartStop(int state);
  // Calls `call` on every engine that is a decoder listener (name order),
  // then on every registered listener under the listener mutex.
  void notifyListeners(const std::function<void(IAudioDecoderListener&)>& call);
  // Stops the recorder, then takes the capture lock exclusively.
  std::unique_lock<tembrolexin::SharedMutex> quietCapture();

  IMessenger* const messenger_;
  AudioDecoderEnvironment env_;
  const std::string name_ = "AudioDecoder";
  bool loggerRegistered_ = false;
  std::unique_ptr<ControllerLink> audioLink_;
  std::unique_ptr<ControllerLink> genericLink_;
  std::unique_ptr<security::DataSigner> signer_;

  mutable tembrolexin::RecursiveMutex controlMutex_;
  // Control state: guarded by controlMutex_.
  std::deque<std::unique_ptr<ConfigurationMap>> configurationCache_;
  std::vector<std::unique_ptr<ProcessorController>> processorControllers_;
  // What the app knows each generic processor by, in the controllers' order:
  // its plug-in's name in double quotes, or "the app's" and its own name.
  std::vector<std::string> genericNames_;
  bool deferredStart_ = false;
  bool recordAudio_ = false;
  // The failure last reported to the listeners since the last successful
  // initialisation (fail() reports each once).
  std::string lastReportedFailure_;
  // Why the last attempt to initialise failed; "" once one succeeded, or
  // when the last tryInitialise found something missing or a plug-in list
  // that runs nothing.
  std::string initialisationFailure_;
  // Set-up mistakes that refuse every start with failedWithError: the
  // plug-in list runs nothing (until a load runs one), a plug-in's rate is
  // out of the recorder's reach (until the recorder is set up again), no
  // decoder runs and one was refused (until the decoders are built again).
  std::string pluginFailure_;
  std::string rateFailure_;
  std::string decodeFailure_;
  // Each audio processor's rate, by processor name.
  std::vector<std::pair<std::string, SampleRate>> processorRates_;
  // Whether the plug-ins are the app's choice ("AudioDecoder_plugins").
  bool pluginsChosen_ = false;
  // The audio processors that report their builds of decoders, and the
  // latest report of each.
  mutable tembrolexin::Mutex buildMutex_;
  std::set<std::string> buildReporters_;                     // guarded by buildMutex_
  std::map<std::string, DecoderBuildReport> decodersBuilt_;  // guarded by buildMutex_
  // By processor name: the last "<name>_DecoderDescriptors" value of the
  // app's configuration, and the processors switched off.
  std::map<std::string, std::string> appDescriptors_;
  std::set<std::string> disabledProcessors_;
  // A start waiting for the processors' answers (and whether it records),
  // and the number of such starts so far (the deadline's own).
  bool startPending_ = false;
  bool pendingRecord_ = false;
  std::atomic<uint64_t> startRound_{0};
  unsigned short availableRates_ = 0;
  unsigned short requiredRates_ = 0;
  std::string libraryPath_;
  std::string filePath_;
  std::string externalFilePath_;
  std::string appPackageName_;
  std::string udid_;
  std::vector<std::unique_ptr<IProcessor>> appProcessors_;
  std::vector<std::unique_ptr<IAudioProcessor>> appAudioProcessors_;
  std::unique_ptr<DB::Database> database_;
  std::atomic<int> deviceId_{0};
  std::atomic<bool> listening_{false};
  std::atomic<bool> shutDown_{false};
  tembrolexin::Mutex shutdownMutex_;

  // Engines: filled once, before any controller exists, then only read.
  std::map<std::string, std::unique_ptr<IEngine>> engines_;
  std::atomic<bool> enginesReady_{false};
  // Walks over engines_ in progress on any thread (see EngineWalk).
  mutable std::atomic<int> engineWalks_{0};

  tembrolexin::Mutex listenerMutex_;
  std::set<IAudioDecoderListener*> listeners_;  // guarded by listenerMutex_

  // Capture path: changed under the exclusive capture lock (and the control
  // lock), read under the shared one.
  mutable tembrolexin::SharedMutex captureMutex_;
  std::unique_ptr<IAudioRecorder> recorder_;
  bool customRecorder_ = false;
  std::vector<std::unique_ptr<AudioProcessorController>> audioControllers_;
  std::unique_ptr<VolumeMeasurer> meter_;
  std::ofstream rawFile_;
  bool recordingToFile_ = false;
  SampleRate chosenRate_ = SampleRate_NotAvailable;
  unsigned short bufferFrames_ = 0;
  CaptureBufferLeases leases_;
  std::atomic<uint64_t> droppedBuffers_{0};
  // Recorders whose buffers were still read when they were replaced.
  std::vector<std::unique_ptr<IAudioRecorder>> retiredRecorders_;

  std::unique_ptr<AudioSampleCheck> sampleCheck_;
  // Last: its thread ends before anything it runs goes.
  std::unique_ptr<ControlThread> controlThread_;
  // The limit of a pending start's wait; it posts to the control thread,
  // so it goes first.
  std::unique_ptr<TimedEvent> startDeadline_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_CONTROL_AUDIO_DECODER_H_
