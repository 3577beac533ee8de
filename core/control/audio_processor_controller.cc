#include "core/control/audio_processor_controller.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/configuration_parameter.h"
#include "core/runtime/dir_info.h"
#include "core/runtime/file_info.h"
#include "core/runtime/log_helpers.h"

namespace tembrolexinsdk {

using controllersettings::Enabled;
using tembrolexin::DirInfo;
using tembrolexin::FileInfo;

namespace {

using Self = AudioProcessorController;

struct NTPUpdateSignal : StateSignal {
  NTPUpdateSignal(std::shared_ptr<const NTPInfo> n, std::shared_ptr<const RawNTPInfo> r)
      : StateSignal(Self::kNTPUpdate), ntp(std::move(n)), raw(std::move(r)) {}
  std::shared_ptr<const NTPInfo> ntp;
  std::shared_ptr<const RawNTPInfo> raw;
};

struct GSMUpdateSignal : StateSignal {
  explicit GSMUpdateSignal(std::shared_ptr<const GSMInfo> i)
      : StateSignal(Self::kGSMUpdate), info(std::move(i)) {}
  std::shared_ptr<const GSMInfo> info;
};

struct GPSUpdateSignal : StateSignal {
  explicit GPSUpdateSignal(std::shared_ptr<const GPSInfo> i)
      : StateSignal(Self::kGPSUpdate), info(std::move(i)) {}
  std::shared_ptr<const GPSInfo> info;
};

struct ThriftUpdateSignal : StateSignal {
  ThriftUpdateSignal(std::string s, const ThriftParams& p)
      : StateSignal(Self::kThriftUpdate), sender(std::move(s)), params(p) {}
  const std::string sender;
  const ThriftParams params;
};

struct AudioUpdateSignal : StateSignal {
  AudioUpdateSignal(SampleRate r, unsigned f)
      : StateSignal(Self::kAudioUpdate), rate(r), frames(f) {}
  SampleRate rate;
  unsigned frames;
};

struct ConfigureSignal : StateSignal {
  explicit ConfigureSignal(std::unique_ptr<ConfigurationMap> m)
      : StateSignal(Self::kConfigure), map(std::move(m)) {}
  std::unique_ptr<ConfigurationMap> map;
};

struct ProcessBufferSignal : StateSignal {
  ProcessBufferSignal(const short* s, unsigned short c, std::chrono::steady_clock::time_point st,
                      Self::SystemTime sy, std::function<void()> released)
      : StateSignal(Self::kProcessBuffer),
        samples(s),
        count(c),
        steadyTime(st),
        systemTime(sy),
        onReleased(std::move(released)) {}
  // Whoever lent the samples learns that they are no longer read, however
  // the signal ends (handled, dropped, or cleared with the queue).
  ~ProcessBufferSignal() override {
    if (onReleased) onReleased();
  }
  // Reads the lent samples into a copy of its own and gives the lender its
  // buffer back at once.
  void keepCopy() {
    if (!onReleased) return;
    if (samples != nullptr) {
      copy.assign(samples, samples + count);
      samples = copy.data();
    }
    std::function<void()> release = std::move(onReleased);
    onReleased = nullptr;
    release();
  }
  const short* samples;
  unsigned short count;
  std::chrono::steady_clock::time_point steadyTime;
  Self::SystemTime systemTime;
  std::function<void()> onReleased;
  std::vector<short> copy;
};

struct PowerStatusSignal : StateSignal {
  explicit PowerStatusSignal(PowerDetectorStatus s) : StateSignal(Self::kPowerStatus), status(s) {}
  PowerDetectorStatus status;
};

IAudioProcessor* checked(const std::unique_ptr<IAudioProcessor>& processor) {
  if (!processor) throw std::invalid_argument("AudioProcessorController needs a processor");
  return processor.get();
}

bool pathExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

}  // namespace

// A configuration waiting to be applied, with the network time it waits for.
struct AudioProcessorController::ConfigurationProcess {
  ConfigurationProcess(const AudioProcessorController& controller,
                       std::unique_ptr<ConfigurationMap> map)
      : needsRawNTP(controller.rawNtpConsumer_ != nullptr),
        needsNTP(controller.ntpRequired_),
        parameters(std::move(map)) {}

  bool NTPRequired() const { return needsRawNTP || needsNTP; }
  bool isReady() const { return (!needsRawNTP || rawNtp) && (!needsNTP || ntp); }

  std::shared_ptr<const NTPInfo> ntp;
  std::shared_ptr<const RawNTPInfo> rawNtp;
  const bool needsRawNTP;
  const bool needsNTP;
  std::unique_ptr<ConfigurationMap> parameters;
};

namespace audioprocessorcontroller {

std::unique_ptr<Resampler> createResampler(SampleRate from, SampleRate to, unsigned& frames) {
  if (from == SampleRate_8000 && to == SampleRate_24000) frames *= 3;
  if (!Resampler::CanConvertSampleRate(from, to)) return nullptr;
  return std::make_unique<Resampler>(from, to);
}

bool moveFile(const std::string& from, const std::string& to, int& error,
              int (*renameFunction)(const char*, const char*)) {
  if (renameFunction == nullptr) renameFunction = &std::rename;
  errno = 0;
  if (renameFunction(from.c_str(), to.c_str()) == 0) return true;
  error = errno;
  if (error != EXDEV) return false;
  // Another file system: copy, then delete the source; undo the copy when the
  // source cannot go, so the file is never reported twice.
  if (!DirInfo::copyFile(from, to)) {
    std::remove(to.c_str());
    return false;
  }
  if (std::remove(from.c_str()) != 0) {
    error = errno;
    std::remove(to.c_str());
    return false;
  }
  return true;
}

}  // namespace audioprocessorcontroller

AudioProcessorController::AudioProcessorController(std::unique_ptr<IAudioProcessor> processor,
                                                   IProcessorControllerListener* listener,
                                                   IMessenger* messenger, std::string identity1,
                                                   std::string identity2, const Clock& clock,
                                                   std::chrono::milliseconds stallLimit)
    : ActiveObject(&Self::stateInitialising, &Self::stateDone, kQuit, "AudioProcessorController"),
      clock_(clock),
      name_(checked(processor)->GetName()),
      processor_(std::move(processor)),
      listener_(listener),
      messenger_(messenger),
      ntpConsumer_(dynamic_cast<INTPConsumer*>(processor_.get())),
      rawNtpConsumer_(dynamic_cast<IRawNTPConsumer*>(processor_.get())),
      gpsConsumer_(dynamic_cast<IGPSConsumer*>(processor_.get())),
      gsmConsumer_(dynamic_cast<IGSMConsumer*>(processor_.get())),
      thriftConsumer_(dynamic_cast<IThriftConsumer*>(processor_.get())),
      buffered_(dynamic_cast<IBufferedAudioProcessor*>(processor_.get())),
      identityConsumer_(dynamic_cast<IIdentityConsumer*>(processor_.get())),
      powerConsumer_(dynamic_cast<IPowerDetectorStatusConsumer*>(processor_.get())),
      ntpRequired_(ntpConsumer_ != nullptr && ntpConsumer_->isNTPRequired()),
      identity1_(std::move(identity1)),
      identity2_(std::move(identity2)),
      stallLimit_(stallLimit) {
  const int64_t now = clock_.upTimeMillis();
  stateProfiler_.lastReport = now;
  listenerProfiler_.lastReport = now;
  ntpTimer_ = std::make_unique<TimedEvent>([this] { onNTPTimer(); }, clock_);
  powerTimer_ = std::make_unique<TimedEvent>([this] { onPowerTimer(); }, clock_);
  startThread();
}

AudioProcessorController::~AudioProcessorController() {
  logWithLogger<LogLevel::Debug>(this, "destructor (", name_, " Controller) entry");
  stopWaitingForProcessor();
  quitAndJoin();
  // The timers' actions use the controller and the listener: end them before
  // anything goes.
  ntpTimer_.reset();
  powerTimer_.reset();
  std::set<int> registrations;
  {
    std::lock_guard lock(mutex_);
    registrations.swap(registrations_);
  }
  if (messenger_ != nullptr) {
    for (int type : registrations) messenger_->unregisterListener(type, this);
  }
  processor_.reset();
  signalQueue().clear();
  logWithLogger<LogLevel::Debug>(this, "destructor (", name_, " Controller) exit");
}

// ---- Public operations: queue a signal --------------------------------------

void AudioProcessorController::Configure(std::unique_ptr<ConfigurationMap> configuration) {
  pushSignal(std::make_unique<ConfigureSignal>(std::move(configuration)));
}

void AudioProcessorController::SetDeviceId(int deviceId) {
  deviceId_.store(deviceId);
  pushSignal(std::make_unique<StateSignal>(kRefresh));
}

void AudioProcessorController::SetFilePath(std::string path) {
  {
    std::lock_guard lock(mutex_);
    filePath_ = std::move(path);
  }
  pushSignal(std::make_unique<StateSignal>(kRefresh));
}

void AudioProcessorController::SetAudioParameters(SampleRate rate, unsigned frames) {
  pushSignal(std::make_unique<AudioUpdateSignal>(rate, frames));
}

void AudioProcessorController::ProcessBuffer(const short* samples, unsigned short count,
                                             std::chrono::steady_clock::time_point steadyTime,
                                             SystemTime systemTime,
                                             std::function<void()> onReleased) {
  auto signal = std::make_unique<ProcessBufferSignal>(samples, count, steadyTime, systemTime,
                                                      std::move(onReleased));
  std::lock_guard lock(holdMutex_);
  if (holdingBuffers_) signal->keepCopy();
  pushSignal(std::move(signal));
}

void AudioProcessorController::holdBuffers(bool hold) {
  std::lock_guard lock(holdMutex_);
  holdingBuffers_ = hold;
  if (!hold) return;
  // Buffers queued before: copied in place (the filter takes nothing).
  signalQueue().checkForSignal([](StateSignal* signal) {
    if (signal->GetCode() == kProcessBuffer) static_cast<ProcessBufferSignal*>(signal)->keepCopy();
    return false;
  });
}

void AudioProcessorController::Start() {
  std::optional<PowerDetectorStatus> status;
  {
    std::lock_guard lock(mutex_);
    status = powerStatus_;
  }
  if (status) pushSignal(std::make_unique<PowerStatusSignal>(*status));
  pushSignal(std::make_unique<StateSignal>(kStart));
}

void AudioProcessorController::Stop() { pushSignal(std::make_unique<StateSignal>(kStop)); }

void AudioProcessorController::PrepareData() {
  pushSignal(std::make_unique<StateSignal>(kPrepareData));
}

void AudioProcessorController::UpdateNTPInfo(std::shared_ptr<const NTPInfo> ntp,
                                             std::shared_ptr<const RawNTPInfo> raw) {
  if (!consumesNTP()) return;
  pushSignal(std::make_unique<NTPUpdateSignal>(std::move(ntp), std::move(raw)));
}

void AudioProcessorController::NTPFailed() {
  if (!consumesNTP()) return;
  pushSignal(std::make_unique<StateSignal>(kNTPFailed));
}

void AudioProcessorController::UpdateGSMInfo(std::shared_ptr<const GSMInfo> info) {
  pushSignal(std::make_unique<GSMUpdateSignal>(std::move(info)));
}

void AudioProcessorController::UpdateGPSInfo(std::shared_ptr<const GPSInfo> info) {
  pushSignal(std::make_unique<GPSUpdateSignal>(std::move(info)));
}

void AudioProcessorController::updatePowerDetectorStatus(PowerDetectorStatus status) {
  pushSignal(std::make_unique<PowerStatusSignal>(status));
}

bool AudioProcessorController::isIdle() const {
  return in(StateId::Idle) && signalQueue().size() == 0;
}

uint64_t AudioProcessorController::droppedBuffers() const {
  std::lock_guard lock(flightMutex_);
  return droppedBuffers_;
}

bool AudioProcessorController::waitingForProcessor() const {
  std::lock_guard lock(flightMutex_);
  return waiting_;
}

std::string AudioProcessorController::filePath() const {
  std::lock_guard lock(mutex_);
  return filePath_;
}

std::string AudioProcessorController::readyToUploadPath() const {
  std::lock_guard lock(mutex_);
  return readyToUploadPath_;
}

// ---- States -----------------------------------------------------------------

void AudioProcessorController::go(StateId id) {
  static constexpr State kStates[] = {
      &Self::stateInitialising,
      &Self::stateConfiguring,
      &Self::stateWaitingForValidSampleRate,
      &Self::stateIdle,
      &Self::stateListening,
      &Self::statePreparingData,
      &Self::statePreparingDataWhileListening,
      &Self::stateInactive,
      &Self::stateDone,
  };
  setState(kStates[static_cast<int>(id)]);
  stateId_.store(id);
}

void AudioProcessorController::unexpected(const char* prefix, int code) {
  logWithLogger<LogLevel::Error>(this, prefix, name_, " Controller) unexpected signal: ", code);
  go(StateId::Done);
}

void AudioProcessorController::stateInitialising() {
  go(StateId::Initialising);
  logWithLogger<LogLevel::Debug>(this, "thread entry (", name_, " Controller))");
  const auto face = [this](const void* p, const char* what) {
    logWithLogger<LogLevel::Info>(this, "Audio processor ", p != nullptr ? "is" : "is not", what);
  };
  face(ntpConsumer_, " a NTP Consumer.");
  face(rawNtpConsumer_, " a Raw NTP Consumer.");
  face(gpsConsumer_, " a GPS Consumer.");
  face(gsmConsumer_, " a GSM Consumer.");
  face(identityConsumer_, " an Identity Consumer.");
  face(buffered_, " a Buffered Processor.");
  face(thriftConsumer_, " a Thrift Processor.");

  logWithLogger<LogLevel::Info>(this, "stateInitialising (", name_, " Controller) entry");
  if (needsNetworkTime()) {
    onNTPRequired();
    armNTP(ntpFrequency_);
  } else if (deviceId_.load() != 0 && !filePath().empty()) {
    initialise(nullptr, nullptr);
  }
  serveState(&Self::stateInitialising, {kRefresh, kNTPUpdate, kNTPFailed, kProcessBuffer, kQuit},
             [this](StateSignal& signal) {
               switch (signal.GetCode()) {
                 case kQuit:
                   go(StateId::Done);
                   return;
                 case kNTPUpdate: {
                   auto& update = static_cast<NTPUpdateSignal&>(signal);
                   keptNtp_ = update.ntp;
                   keptRawNtp_ = update.raw;
                   if (consumesNTP()) armNTP(ntpFrequency_);
                   break;
                 }
                 case kNTPFailed:
                   logWithLogger<LogLevel::Warning>(this, "NTP failed for (", name_,
                                                    " Controller) in initialising state, "
                                                    "retrying after 30s");
                   armNTP(kNTPRetryMillis);
                   break;
                 default:
                   break;
               }
               if (deviceId_.load() != 0 && !filePath().empty() &&
                   (keptNtp_ || keptRawNtp_ || !needsNetworkTime())) {
                 initialise(keptNtp_.get(), keptRawNtp_.get());
               }
             });
  if (!in(StateId::Done) && identityConsumer_ != nullptr) {
    identityConsumer_->SetIdentityInfo(identity1_, identity2_);
  }
}

void AudioProcessorController::initialise(const NTPInfo* ntp, const RawNTPInfo* raw) {
  try {
    logWithLogger<LogLevel::Debug>(this, "about to Initialise");
    requiredSampleRate_ = processor_->GetPreferredSampleRate();
    const int hz = SampleRateToHz(requiredSampleRate_);
    logWithLogger<LogLevel::Debug>(this, "Required SampleRate: ", hz);
    DumpNTP(ntp, raw);
    if (buffered_ != nullptr) {
      buffered_->InitialiseBuffered(this, hz);
    } else if (!needsNetworkTime()) {
      processor_->Initialise(this, hz, ntp);
    } else {
      if (ntpRequired_) {
        logWithLogger<LogLevel::Debug>(this, "about to initialise with NTP");
        processor_->Initialise(this, hz, ntp);
        logWithLogger<LogLevel::Debug>(this, "just initialised with NTP");
      }
      if (rawNtpConsumer_ != nullptr) {
        logWithLogger<LogLevel::Debug>(this, "about to initialise with Raw NTP");
        rawNtpConsumer_->InitialiseWithRawNTP(this, hz, raw);
        logWithLogger<LogLevel::Debug>(this, "just initialised with Raw NTP");
      }
    }
    processor_->SetDeviceId(deviceId_.load());
    const std::string base = filePath();
    const std::string dataFolder = FileInfo::addPath(base, name_);
    const std::string readyFolder =
        FileInfo::addPath(FileInfo::addPath(base, "readyToUpload"), name_);
    {
      std::lock_guard lock(mutex_);
      readyToUploadPath_ = readyFolder;
    }
    DirInfo::mkdir(dataFolder, false);
    DirInfo::mkdir(readyFolder, true);
    uploadAllFilesInFolder(readyFolder);
    processor_->SetFilePath(dataFolder);
    go(StateId::Configuring);
  } catch (const std::exception& error) {
    logWithLogger<LogLevel::Error>(this, "Initialise (", name_,
                                   " Controller): Exception: ", error.what());
    go(StateId::Done);
    if (listener_ != nullptr) listener_->onFailed(FailureParams(&error));
  } catch (...) {
    logWithLogger<LogLevel::Error>(this, "Initialise (", name_,
                                   " Controller): unexpected exception");
    go(StateId::Done);
    if (listener_ != nullptr)
      listener_->onFailed(FailureParams(std::string("unexpected exception")));
  }
}

void AudioProcessorController::stateConfiguring() {
  logWithLogger<LogLevel::Info>(this, "stateConfiguring (", name_, " Controller) entry");
  serveState(&Self::stateConfiguring, {kNTPUpdate, kNTPFailed, kConfigure, kProcessBuffer, kQuit},
             [this](StateSignal& signal) {
               switch (signal.GetCode()) {
                 case kQuit:
                   go(StateId::Done);
                   break;
                 case kProcessBuffer:
                   break;
                 default:
                   handle(signal);
                   break;
               }
             });
}

void AudioProcessorController::stateWaitingForValidSampleRate() {
  logWithLogger<LogLevel::Info>(this, "StateWaitingForValidSampleRate (", name_,
                                " Controller) entry");
  reportStatus(GenericStatusParams({"Inactive"}));
  // A start given while no rate fitted takes effect once one does.
  const auto resume = [this] {
    if (in(StateId::Idle) && listening_) Start();
  };
  if (resampler_) {
    logWithLogger<LogLevel::Info>(this, "Resampler already set up, moving to stateIdle");
    go(StateId::Idle);
    resume();
    return;
  }
  // A configuration stays queued for Idle rather than being lost here.
  serveState(&Self::stateWaitingForValidSampleRate,
             {kNTPUpdate, kNTPFailed, kGSMUpdate, kGPSUpdate, kThriftUpdate, kAudioUpdate, kStart,
              kStop, kProcessBuffer, kPrepareData, kPowerStatus, kQuit},
             [&](StateSignal& signal) {
               switch (signal.GetCode()) {
                 case kQuit:
                   go(StateId::Done);
                   break;
                 case kAudioUpdate:
                   go(tryCreateResampler(signal));
                   resume();
                   break;
                 case kStart:
                   listening_ = true;
                   break;
                 case kStop:
                   listening_ = false;
                   break;
                 default:
                   break;
               }
             });
}

void AudioProcessorController::stateIdle() {
  logWithLogger<LogLevel::Info>(this, "stateIdle (", name_, " Controller) entry");
  if (signalQueue().empty()) reportStatus(AudioProcessorIdleStatusParams(name_));
  serveState(&Self::stateIdle,
             {kRefresh, kNTPUpdate, kNTPFailed, kGSMUpdate, kGPSUpdate, kThriftUpdate, kAudioUpdate,
              kConfigure, kStart, kStop, kProcessBuffer, kPrepareData, kPowerStatus, kQuit},
             [this](StateSignal& signal) {
               const int64_t start = clock_.upTimeMillis();
               switch (signal.GetCode()) {
                 case kQuit:
                   go(StateId::Done);
                   return;
                 case kRefresh:
                 case kProcessBuffer:
                   break;
                 case kGSMUpdate:
                   passGSM(signal);
                   break;
                 case kGPSUpdate:
                   passGPS(signal);
                   break;
                 case kThriftUpdate:
                   passThrift(signal);
                   break;
                 case kAudioUpdate:
                   go(tryCreateResampler(signal));
                   break;
                 case kStart:
                   processor_->Start();
                   go(StateId::Listening);
                   listening_ = true;
                   break;
                 case kStop:
                   listening_ = false;
                   break;
                 case kPrepareData:
                   go(StateId::PreparingData);
                   break;
                 case kPowerStatus:
                   logWithLogger<LogLevel::Info>(this, "stateIdle (", name_,
                                                 " Controller) PowerDetectorStatus update");
                   handlePowerDetectorStatus(static_cast<PowerStatusSignal&>(signal).status);
                   break;
                 default:
                   handle(signal);
                   break;
               }
               if (in(StateId::Idle) && signalQueue().empty()) {
                 logWithLogger<LogLevel::Info>(this, "stateIdle  sending status (", name_,
                                               " Controller) entry");
                 reportStatus(AudioProcessorIdleStatusParams(name_));
               }
               profile(stateProfiler_, name_ + "_stateIdle", start);
             });
}

void AudioProcessorController::stateListening() {
  logWithLogger<LogLevel::Info>(this, "stateListening (", name_, " Controller) entry");
  {
    const ProcessingCompleteParams complete;
    if (listener_ != nullptr) listener_->onProcessorEvent(this, &complete);
  }
  serveState(&Self::stateListening,
             {kNTPUpdate, kNTPFailed, kGSMUpdate, kGPSUpdate, kThriftUpdate, kConfigure, kStart,
              kStop, kProcessBuffer, kPrepareData, kPowerStatus, kQuit},
             [this](StateSignal& signal) {
               const int64_t start = clock_.upTimeMillis();
               switch (signal.GetCode()) {
                 case kQuit:
                   go(StateId::Done);
                   return;
                 case kGSMUpdate:
                   passGSM(signal);
                   break;
                 case kGPSUpdate:
                   passGPS(signal);
                   break;
                 case kThriftUpdate:
                   passThrift(signal);
                   break;
                 case kStart:
                   break;
                 case kStop:
                   logWithLogger<LogLevel::Info>(this, "stateListening (", name_,
                                                 " Controller) stop() signal");
                   processor_->Stop();
                   listening_ = false;
                   go(StateId::Idle);
                   break;
                 case kProcessBuffer:
                   processBuffer(signal);
                   break;
                 case kPrepareData:
                   go(StateId::PreparingDataWhileListening);
                   break;
                 case kPowerStatus:
                   logWithLogger<LogLevel::Info>(this, "stateListening (", name_,
                                                 " Controller) New PowerDetector update");
                   handlePowerDetectorStatus(static_cast<PowerStatusSignal&>(signal).status);
                   break;
                 default:
                   handle(signal);
                   break;
               }
               profile(stateProfiler_, name_ + "_stateListening", start);
             });
}

void AudioProcessorController::statePreparingData() { preparing(false); }

void AudioProcessorController::statePreparingDataWhileListening() { preparing(true); }

void AudioProcessorController::preparing(bool whileListening) {
  const char* prefix =
      whileListening ? "statePreparingDataWhileListening (" : "statePreparingData (";
  const StateId back = whileListening ? StateId::Listening : StateId::Idle;
  const State self =
      whileListening ? &Self::statePreparingDataWhileListening : &Self::statePreparingData;
  const std::string label =
      name_ + (whileListening ? "_statePreparingDataWhileListening" : "_statePreparingData");
  logWithLogger<LogLevel::Info>(this, prefix, name_, " Controller) entry");
  const auto failed = [&](const std::exception& error) {
    const std::string text =
        std::string(prefix) + name_ + " Controller): exception: " + error.what();
    logWithLogger<LogLevel::Error>(this, text);
    go(StateId::Done);
    if (listener_ != nullptr) listener_->onFailed(FailureParams(text));
  };
  // Not listening, buffers wait for the state after this one (a start
  // queued meanwhile has them decoded); they wait on copies, so that the
  // recorder's buffers stay free while the network time is awaited.
  struct Hold {
    Self* self;
    bool on = false;
    ~Hold() {
      if (on) self->holdBuffers(false);
    }
  } hold{this};
  try {
    if (!needsNetworkTime()) {
      reportPrepared(std::unique_ptr<IProcessorEventParams>(processor_->PrepareData(nullptr)));
      go(back);
      return;
    }
    if (!whileListening) {
      hold.on = true;
      holdBuffers(true);
    }
    onNTPRequired();
    armNTP(ntpFrequency_);
  } catch (const std::exception& error) {
    failed(error);
    return;
  }
  const auto handler = [&](StateSignal& signal) {
    const int64_t start = clock_.upTimeMillis();
    try {
      switch (signal.GetCode()) {
        case kQuit:
          go(StateId::Done);
          return;
        case kNTPUpdate: {
          auto& update = static_cast<NTPUpdateSignal&>(signal);
          logWithLogger<LogLevel::Debug>(this, "about to Prepare Data");
          DumpNTP(update.ntp.get(), update.raw.get());
          std::unique_ptr<IProcessorEventParams> result;
          if (rawNtpConsumer_ == nullptr) {
            logWithLogger<LogLevel::Debug>(this, "about to prepare data with NTP");
            result.reset(processor_->PrepareData(update.ntp.get()));
            logWithLogger<LogLevel::Debug>(this, "just prepared data with NTP");
          } else {
            logWithLogger<LogLevel::Debug>(this, "about to prepare data with Raw NTP");
            result.reset(rawNtpConsumer_->PrepareDataWithRawNTP(update.raw.get()));
            logWithLogger<LogLevel::Debug>(this, "just prepared data with Raw NTP");
          }
          reportPrepared(std::move(result));
          if (consumesNTP()) armNTP(ntpFrequency_);
          go(back);
          break;
        }
        case kNTPFailed: {
          logWithLogger<LogLevel::Warning>(
              this, "NTP failed for (", name_,
              whileListening
                  ? " Controller), going back to listening state and sending empty file list"
                  : " Controller), going back to idle state and sending empty file list");
          const CheckedFilePreparedEventParams empty;
          if (listener_ != nullptr) listener_->onProcessorEvent(this, &empty);
          go(back);
          if (consumesNTP()) armNTP(whileListening ? ntpFrequency_ : getNTPFrequency());
          break;
        }
        case kProcessBuffer:
          processBuffer(signal);
          break;
        case kPowerStatus:
          logWithLogger<LogLevel::Info>(this, "StatePreparingDataWhileListening (", name_,
                                        " Controller) New PowerDetector update");
          handlePowerDetectorStatus(static_cast<PowerStatusSignal&>(signal).status);
          break;
        default:
          unexpected(prefix, signal.GetCode());
          break;
      }
    } catch (const std::exception& error) {
      failed(error);
      return;
    }
    profile(stateProfiler_, label, start);
  };
  if (whileListening) {
    serveState(self, {kNTPUpdate, kNTPFailed, kProcessBuffer, kPowerStatus, kQuit}, handler);
  } else {
    serveState(self, {kNTPUpdate, kNTPFailed, kQuit}, handler);
  }
}

void AudioProcessorController::stateInactive() {
  logWithLogger<LogLevel::Info>(this, "stateInactive (", name_, " Controller) entry");
  reportStatus(GenericStatusParams({"Inactive"}));
  serveState(&Self::stateInactive,
             {kNTPUpdate, kNTPFailed, kGSMUpdate, kGPSUpdate, kThriftUpdate, kConfigure, kStart,
              kStop, kProcessBuffer, kPrepareData, kPowerStatus, kQuit},
             [this](StateSignal& signal) {
               const int64_t start = clock_.upTimeMillis();
               switch (signal.GetCode()) {
                 case kQuit:
                   go(StateId::Done);
                   return;
                 case kNTPUpdate:
                 case kNTPFailed:
                 case kConfigure:
                   handle(signal);
                   break;
                 case kStart:
                   listening_ = true;
                   break;
                 case kStop:
                   listening_ = false;
                   break;
                 default:
                   break;
               }
               profile(stateProfiler_, name_ + "_stateInactive", start);
             });
}

// ---- Audio path -------------------------------------------------------------

AudioProcessorController::StateId AudioProcessorController::tryCreateResampler(
    StateSignal& signal) {
  auto* update = dynamic_cast<AudioUpdateSignal*>(&signal);
  if (update == nullptr) {
    logWithLogger<LogLevel::Debug>(this, "Invalid audio update signal, leaving state as is");
    return stateId_.load();
  }
  // A buffer count is 16 bits wide: longer frames could never be filled.
  inputFrames_ = std::min(update->frames, 65535u);
  frames_ = inputFrames_;
  sampleRate_ = update->rate;
  resampler_ = audioprocessorcontroller::createResampler(sampleRate_, requiredSampleRate_, frames_);
  logWithLogger<LogLevel::Info>(
      this,
      "Resampler required SampleRate: ", Resampler::ConvertSampleRateToString(requiredSampleRate_),
      ", sample rate: ", Resampler::ConvertSampleRateToString(sampleRate_),
      ", buffer frames: ", frames_);
  if (!resampler_) {
    logWithLogger<LogLevel::Debug>(this, "Cannot create resampler for sample rate: ",
                                   Resampler::ConvertSampleRateToString(sampleRate_),
                                   "with required sample rate",
                                   Resampler::ConvertSampleRateToString(requiredSampleRate_),
                                   ", waiting for other audio frequency");
    return StateId::WaitingForValidSampleRate;
  }
  for (auto& buffer : buffers_) buffer.assign(frames_, 0);
  return configuration_ ? StateId::Idle : StateId::Configuring;
}

void AudioProcessorController::processBuffer(StateSignal& signal) {
  auto& buffer = static_cast<ProcessBufferSignal&>(signal);
  if (!resampler_ || buffer.samples == nullptr) {
    logWithLogger<LogLevel::Debug>(this, "No audio parameters yet: buffer dropped");
    return;
  }
  unsigned short count = buffer.count;
  if (count > inputFrames_) {
    logWithLogger<LogLevel::Warning>(this, "Buffer of ", count, " samples cut to ", inputFrames_);
    count = static_cast<unsigned short>(inputFrames_);
  }
  if (!awaitFreeBuffer()) return;
  std::vector<short>& target = buffers_[bufferIndex_];
  const unsigned short n = resampler_->ResampleBuffer(buffer.samples, count, target.data());
  {
    // Counted before the processor sees it: it may finish it at once.
    std::lock_guard lock(flightMutex_);
    buffersInFlight_ = std::min(buffersInFlight_ + 1, static_cast<int>(buffers_.size()));
  }
  if (buffered_ != nullptr) {
    buffered_->ProcessBufferWithTimes(target.data(), n, buffer.steadyTime, buffer.systemTime);
  } else {
    processor_->ProcessBuffer(target.data(), n, buffer.steadyTime);
  }
  bufferIndex_ = static_cast<int16_t>((bufferIndex_ + 1) % 3);
}

bool AudioProcessorController::awaitFreeBuffer() {
  const int rotating = static_cast<int>(buffers_.size());
  std::unique_lock lock(flightMutex_);
  if (stalled_) {
    ++droppedBuffers_;
    ++stallDrops_;
    return false;
  }
  // A processor that never reports its buffers (one that decodes inside
  // ProcessBuffer, say) cannot be waited for.
  if (!reportsBuffers_ || buffersInFlight_ < rotating) return true;
  // Behind: waits until two buffers are free, so that this thread and the
  // processor's worker wake each other once per two buffers. When the stall
  // limit passes with only one finished, that one is used; with none, the
  // processor has stalled.
  const auto deadline = clock_.steadyNow() + stallLimit_;
  waiting_ = true;
  while (buffersInFlight_ > kResumeInFlight && !stopWaiting_ && clock_.steadyNow() < deadline) {
    clock_.waitUntil(flightCv_, lock, deadline);
  }
  waiting_ = false;
  if (buffersInFlight_ < rotating) return true;
  if (stopWaiting_) return false;
  stalled_ = true;
  ++droppedBuffers_;
  stallDrops_ = 1;
  lock.unlock();
  logWithLogger<LogLevel::Warning>(this, name_, " has finished no buffer for ",
                                   stallLimit_.count(),
                                   " ms: its buffers are dropped until it does");
  return false;
}

void AudioProcessorController::stopWaitingForProcessor() {
  std::lock_guard lock(flightMutex_);
  stopWaiting_ = true;
  flightCv_.notify_all();
}

void AudioProcessorController::bufferFinished() {
  bool resumed = false;
  bool wake = false;
  uint64_t dropped = 0;
  {
    std::lock_guard lock(flightMutex_);
    if (buffersInFlight_ > 0) --buffersInFlight_;
    reportsBuffers_ = true;
    resumed = stalled_;
    stalled_ = false;
    dropped = stallDrops_;
    stallDrops_ = 0;
    // Only a finish that ends the controller's wait wakes it.
    wake = waiting_ && buffersInFlight_ <= kResumeInFlight;
  }
  // After the unlock: the controller's thread, woken, takes the mutex at once.
  if (wake) flightCv_.notify_all();
  if (resumed) {
    logWithLogger<LogLevel::Warning>(this, name_, " finishes buffers again; ", dropped,
                                     " buffers were dropped meanwhile");
  }
}

void AudioProcessorController::passThrift(StateSignal& signal) {
  if (thriftConsumer_ == nullptr) return;
  auto& update = static_cast<ThriftUpdateSignal&>(signal);
  thriftConsumer_->onReceive(update.sender, update.params);
}

void AudioProcessorController::passGSM(StateSignal& signal) {
  if (gsmConsumer_ != nullptr)
    gsmConsumer_->updateGSMInfo(static_cast<GSMUpdateSignal&>(signal).info.get());
}

void AudioProcessorController::passGPS(StateSignal& signal) {
  if (gpsConsumer_ != nullptr)
    gpsConsumer_->updateGPSInfo(static_cast<GPSUpdateSignal&>(signal).info.get());
}

void AudioProcessorController::reportStatus(const IProcessorStatusParams& params) {
  if (listener_ != nullptr) listener_->onProcessorStatusChanged(this, &params);
}

void AudioProcessorController::reportPrepared(std::unique_ptr<IProcessorEventParams> result) {
  if (!result) return;
  const std::unique_ptr<IProcessorEventParams> corrected = CorrectReceivedEventParams(result.get());
  if (corrected && listener_ != nullptr) listener_->onProcessorEvent(this, corrected.get());
}

// ---- Configuration ----------------------------------------------------------

void AudioProcessorController::handle(StateSignal& signal) {
  switch (signal.GetCode()) {
    case kNTPUpdate:
      handleNTPUpdate(signal);
      break;
    case kConfigure:
      handleConfigure(signal);
      break;
    case kNTPFailed:
      handleNTPFailed();
      break;
    default:
      break;
  }
}

void AudioProcessorController::handleConfigure(StateSignal& signal) {
  auto* signalled = dynamic_cast<ConfigureSignal*>(&signal);
  if (signalled == nullptr) throw std::runtime_error("WTF: invalid config signal");
  if (!signalled->map || !IsConfigurationDifferent(*signalled->map)) {
    logWithLogger<LogLevel::Info>(this, "New Configuration ignored: no changes");
    // Every map arrives twice: the repeat must not leave a disabled
    // processor running.
    if (signalled->map && IsProcessorEnabled(*signalled->map) == Enabled::kDisabled) deactivate();
    return;
  }
  if (!pending_) {
    pending_ = std::make_unique<ConfigurationProcess>(*this, std::move(signalled->map));
  } else {
    pending_->parameters = std::move(signalled->map);
  }
  if (IsProcessorEnabled(*pending_->parameters) == Enabled::kDisabled || pending_->isReady()) {
    std::unique_ptr<ConfigurationProcess> process = std::move(pending_);
    configure(*process);
    return;
  }
  logWithLogger<LogLevel::Debug>(this, "Request NTP for config change");
  if (pending_->NTPRequired()) onNTPRequired();
}

void AudioProcessorController::handleNTPUpdate(StateSignal& signal) {
  auto* update = dynamic_cast<NTPUpdateSignal*>(&signal);
  if (update == nullptr) throw std::runtime_error("WTF: invalid signal");
  if (!pending_) {
    logWithLogger<LogLevel::Debug>(this, "about to Update NTP");
    DumpNTP(update->ntp.get(), update->raw.get());
    if (rawNtpConsumer_ != nullptr) {
      rawNtpConsumer_->updateRawNTPInfo(update->raw.get());
    } else if (ntpConsumer_ != nullptr) {
      ntpConsumer_->updateNTPInfo(update->ntp.get());
    }
    if (!in(StateId::Inactive) && consumesNTP()) armNTP(ntpFrequency_);
    return;
  }
  std::unique_ptr<ConfigurationProcess> process = std::move(pending_);
  process->ntp = update->ntp;
  process->rawNtp = update->raw;
  // An update that still leaves a requirement unmet drops the configuration.
  if (IsProcessorEnabled(*process->parameters) == Enabled::kDisabled || process->isReady()) {
    configure(*process);
  }
}

void AudioProcessorController::handleNTPFailed() {
  if (in(StateId::Configuring)) {
    logWithLogger<LogLevel::Warning>(this, "NTP failed for (", name_,
                                     " Controller) in first configuring state, retrying after 30s");
    armNTP(kNTPRetryMillis);
    return;
  }
  logWithLogger<LogLevel::Warning>(this, "NTP Failed for (", name_, " Controller)");
  if (consumesNTP()) armNTP(getNTPFrequency());
}

void AudioProcessorController::configure(ConfigurationProcess& process) {
  const Enabled enabled = IsProcessorEnabled(*process.parameters);
  if (enabled != Enabled::kDisabled && !process.isReady()) return;
  storeConfiguration(*process.parameters);
  if (enabled == Enabled::kEnabled && in(StateId::Inactive)) {
    logWithLogger<LogLevel::Info>(this, "Re-activating module: meta-enabled set to true");
    go(StateId::Idle);
  }
  if (enabled == Enabled::kDisabled) {
    deactivate();
    return;
  }
  const bool listeningNow = in(StateId::Listening);
  const std::unique_ptr<ConfigurationMap> filtered = FilterConfigurationParameters();
  const ConfigurationParameters* parameters = &filtered->parameters();
  if (buffered_ != nullptr) {
    logWithLogger<LogLevel::Debug>(this, "Configuring");
    buffered_->ConfigureBuffered(parameters);
  } else if (ntpConsumer_ != nullptr || rawNtpConsumer_ != nullptr) {
    const bool raw = ntpConsumer_ == nullptr;
    const bool stopAround = listeningNow && (raw || ntpRequired_);
    if (stopAround) {
      logWithLogger<LogLevel::Debug>(this, "Sending pre-configuration stop() signal");
      processor_->Stop();
    }
    logWithLogger<LogLevel::Debug>(this, "Configuring");
    if (raw) {
      rawNtpConsumer_->ConfigureWithRawNTP(parameters, process.rawNtp.get());
    } else {
      processor_->Configure(parameters, process.ntp.get());
    }
    if (stopAround) {
      logWithLogger<LogLevel::Debug>(this, "Sending post-configuration start() signal");
      processor_->Start();
    }
  } else {
    logWithLogger<LogLevel::Debug>(this, "Configuring");
    processor_->Configure(parameters, nullptr);
  }
  if (consumesNTP()) {
    ntpFrequency_ = getNTPFrequency();
    armNTP(ntpFrequency_);
  }
  if (in(StateId::Configuring) || in(StateId::Idle)) {
    go(StateId::Idle);
    if (listening_) Start();
  }
}

void AudioProcessorController::deactivate() {
  if (!in(StateId::Inactive)) {
    logWithLogger<LogLevel::Warning>(this, "Stopping and deactivating module");
    if (in(StateId::Listening)) processor_->Stop();
  }
  go(StateId::Inactive);
}

void AudioProcessorController::storeConfiguration(const ConfigurationMap& parameters) {
  if (!configuration_) configuration_ = std::make_unique<ConfigurationMap>();
  for (const auto& [key, value] : parameters) {
    auto it = configuration_->find(key);
    if (it == configuration_->end() || (*it->second != value)) configuration_->set(key, value);
  }
}

bool AudioProcessorController::IsConfigurationDifferent(const ConfigurationMap& map) const {
  if (!configuration_) return true;
  if (map.empty()) return false;
  for (const auto& [key, value] : map) {
    auto it = configuration_->find(key);
    if (it == configuration_->end() || (*it->second != value)) return true;
  }
  return false;
}

controllersettings::Enabled AudioProcessorController::IsProcessorEnabled(
    const ConfigurationMap& map) const {
  return controllersettings::enabledSetting(map, name_);
}

std::unique_ptr<ConfigurationMap> AudioProcessorController::FilterConfigurationParameters() const {
  if (!configuration_) return std::make_unique<ConfigurationMap>();
  return controllersettings::withoutMetaKeys(*configuration_, this, name_);
}

int64_t AudioProcessorController::readPeriod(const char* function, const std::string& suffix,
                                             int64_t& period) {
  if (!configuration_) return period;
  const IConfigurationParameter* value = controllersettings::lookUp(*configuration_, name_, suffix);
  if (value == nullptr) return period;
  std::optional<long long> millis;
  if (const auto* i = dynamic_cast<const ConfigurationParameter<int>*>(value)) millis = i->value;
  if (const auto* l = dynamic_cast<const ConfigurationParameter<long long>*>(value)) {
    millis = l->value;
  }
  const std::string key = name_ + suffix;
  if (millis && *millis > 0) {
    period = *millis;
    logWithLogger<LogLevel::Info>(this, function, " (", name_, " Controller) ", key,
                                  ", frequency set to: ", period, "msecs");
  } else {
    logWithLogger<LogLevel::Warning>(this, function, " (", name_, " Controller) ", key,
                                     " is not of type ConfigurationParameter<int>");
  }
  return period;
}

int64_t AudioProcessorController::getNTPFrequency() {
  return readPeriod("getNTPFrequency", "_meta_NTPfrequency", ntpFrequency_);
}

int64_t AudioProcessorController::getPowerDetectorUpdateFrequency() {
  return readPeriod("getPowerDetectorUpdateFrequency", "_meta_PowerDetectorUpdateFrequency",
                    powerDetectorFrequency_);
}

void AudioProcessorController::handlePowerDetectorStatus(PowerDetectorStatus status) {
  if (powerConsumer_ == nullptr) {
    logWithLogger<LogLevel::Debug>(this, "AudioProcessor is not a power detector consumer.");
    return;
  }
  powerConsumer_->UpdatePowerDetectorStatus(status);
  {
    std::lock_guard lock(mutex_);
    powerStatus_ = status;
  }
  powerDetectorFrequency_ = getPowerDetectorUpdateFrequency();
  powerTimer_->DoEventAfter(std::chrono::milliseconds(powerDetectorFrequency_));
}

void AudioProcessorController::DumpNTP(const NTPInfo* ntp, const RawNTPInfo* raw) {
  if (ntpConsumer_ != nullptr) {
    if (ntp != nullptr) {
      logWithLogger<LogLevel::Debug>(
          this, "providing ntp: mElaspedRealTime: ", ntp->elapsedRealTime,
          ", mTransmitTimeStamp: ", ntp->transmitTimestamp,
          ", mRoundTripDelay: ", ntp->roundTripDelay, ", mDrift: ", ntp->drift);
    } else {
      logWithLogger<LogLevel::Debug>(this, "providing ntp: null");
    }
  }
  if (rawNtpConsumer_ != nullptr) {
    if (raw != nullptr) {
      logWithLogger<LogLevel::Debug>(this, "providing raw ntp: ", raw->Dump());
    } else {
      logWithLogger<LogLevel::Debug>(this, "providing raw ntp: null");
    }
  }
}

void AudioProcessorController::armNTP(int64_t millis) {
  if (consumesNTP()) ntpTimer_->DoEventAfter(std::chrono::milliseconds(millis));
}

void AudioProcessorController::onNTPTimer() {
  const StateId state = stateId_.load();
  if (state == StateId::Inactive || state == StateId::Done || listener_ == nullptr) return;
  const GenericStatusParams status({name_ + "::onNTPRequired"});
  listener_->onProcessorStatusChanged(this, &status);
  listener_->onNTPRequired();
}

void AudioProcessorController::onPowerTimer() {
  std::optional<PowerDetectorStatus> status;
  {
    std::lock_guard lock(mutex_);
    status = powerStatus_;
  }
  if (status) pushSignal(std::make_unique<PowerStatusSignal>(*status));
}

// ---- Prepared files ---------------------------------------------------------

std::unique_ptr<IProcessorEventParams> AudioProcessorController::CorrectReceivedEventParams(
    const IProcessorEventParams* params) {
  if (params == nullptr) return nullptr;
  std::unique_ptr<IProcessorEventParams> result;
  if (const auto* prepared = FilePreparedEventParams::Cast(params)) {
    logWithLogger<LogLevel::Warning>(
        this, "Received FilePreparedEventParams from processor: converting...");
    auto checked = std::make_unique<CheckedFilePreparedEventParams>();
    for (const std::string& path : prepared->getFilePaths()) {
      logWithLogger<LogLevel::Info>(this, "AudioProcessorController prepareData for path :=> ",
                                    path);
      checked->AddCheckedFilePath(path, {});
    }
    result = std::move(checked);
  } else {
    result.reset(params->clone());
  }
  if (const auto* checked = CheckedFilePreparedEventParams::Cast(result.get())) {
    std::vector<CheckedFilePreparedEventParams::CheckedPath> kept;
    for (const auto& [path, check] : checked->getCheckedFilePaths()) {
      std::string target = moveToReadyForUploadDir(path);
      if (target.empty()) continue;
      if (!check.empty()) {
        logWithLogger<LogLevel::Debug>(
            this, "Checksum passed with file: ", std::string(check.begin(), check.end()));
      }
      kept.emplace_back(std::move(target), check);
    }
    result = std::make_unique<CheckedFilePreparedEventParams>(std::move(kept));
  }
  return result;
}

std::string AudioProcessorController::moveToReadyForUploadDir(const std::string& path) {
  const std::string folder = readyToUploadPath();
  const FileInfo file(path);
  const std::string target = folder + "/" + file.filename();
  if (folder.empty() || file.filename().empty()) {
    logWithLogger<LogLevel::Error>(this, "(AudioProcessorController) Failed to move file ", path,
                                   "to ", target, ": error ", EINVAL);
    return std::string();
  }
  if (target == path) return target;  // already in place: never delete it
  if (pathExists(target)) {
    logWithLogger<LogLevel::Warning>(this, "(AudioProcessorController) Replace existing file ",
                                     target);
    std::remove(target.c_str());
  }
  int error = 0;
  if (!audioprocessorcontroller::moveFile(path, target, error)) {
    logWithLogger<LogLevel::Error>(this, "(AudioProcessorController) Failed to move file ", path,
                                   "to ", target, ": error ", error);
    return std::string();
  }
  logWithLogger<LogLevel::Debug>(this, "(AudioProcessorController) Successfully  moved file from ",
                                 path, " to ", target);
  if (file.suffix() != "md5") {
    const std::string side = file.path() + file.longBasename() + ".md5";
    if (pathExists(side)) moveToReadyForUploadDir(side);
  }
  return target;
}

void AudioProcessorController::uploadAllFilesInFolder(const std::string& folder) {
  std::vector<CheckedFilePreparedEventParams::CheckedPath> waiting;
  for (std::string& path : DirInfo(folder).list(DirInfo::kFiles, DirInfo::byModificationTime)) {
    // Side files travel with their file; hidden names are half-written.
    if (FileInfo(path).suffix() == "md5" || FileInfo::isHiddenOrTemporary(path)) continue;
    logWithLogger<LogLevel::Info>(
        this, "AudioProcessorController found file prepared for upload: ", path);
    waiting.emplace_back(std::move(path), std::vector<unsigned char>());
  }
  if (waiting.empty() || listener_ == nullptr) return;
  const CheckedFilePreparedEventParams event(std::move(waiting));
  listener_->onProcessorEvent(this, &event);
}

// ---- The processor's side ---------------------------------------------------

void AudioProcessorController::profile(Profiler& profiler, const std::string& label,
                                       int64_t startMillis) {
  const int64_t now = clock_.upTimeMillis();
  int64_t total = 0;
  int64_t elapsed = 0;
  {
    std::lock_guard lock(profiler.mutex);
    profiler.total += now - startMillis;
    elapsed = now - profiler.lastReport;
    if (elapsed <= 60000) return;
    total = profiler.total;
    profiler.total = 0;
    profiler.lastReport = now;
  }
  logWithLogger<LogLevel::Info>(this, "PROFILER FOR ", label, ": ", total, "ms/", elapsed,
                                "ms, i.e. ", static_cast<float>(total * 100.0 / elapsed),
                                "% thread usage");
}

void AudioProcessorController::onProcessorEvent(const INamedObject*,
                                                const IProcessorEventParams* params) {
  if (ProcessingCompleteParams::Cast(params) != nullptr) bufferFinished();
  const int64_t start = clock_.upTimeMillis();
  const std::unique_ptr<IProcessorEventParams> corrected = CorrectReceivedEventParams(params);
  if (corrected && listener_ != nullptr) listener_->onProcessorEvent(this, corrected.get());
  profile(listenerProfiler_, "Listener_onProcessorEvent", start);
}

void AudioProcessorController::onProcessorStatusChanged(const INamedObject*,
                                                        const IProcessorStatusParams* params) {
  const int64_t start = clock_.upTimeMillis();
  if (listener_ != nullptr) listener_->onProcessorStatusChanged(this, params);
  profile(listenerProfiler_, "Listener_onStatusChanged", start);
}

void AudioProcessorController::onLogEvent(const INamedObject*, const LogParams* params) {
  const int64_t start = clock_.upTimeMillis();
  Logger::getInstance()->Log(name_, params);
  profile(listenerProfiler_, "Listener_LogEvent", start);
}

void AudioProcessorController::onLog(std::string, const LogParams* params) {
  const int64_t start = clock_.upTimeMillis();
  Logger::getInstance()->Log(name_, params);
  profile(listenerProfiler_, "Listener_Log", start);
}

void AudioProcessorController::onNTPRequired() {
  const int64_t start = clock_.upTimeMillis();
  if (listener_ != nullptr) listener_->onNTPRequired();
  profile(listenerProfiler_, "Listener_onNTP", start);
}

void AudioProcessorController::onFailed(const FailureParams& failure) {
  if (listener_ != nullptr) listener_->onFailed(failure);
}

void AudioProcessorController::onDecodersBuilt(const INamedObject*,
                                               const DecoderBuildReport& report) {
  if (listener_ != nullptr) listener_->onDecodersBuilt(name_, report);
}

void AudioProcessorController::onAudioDropped(const INamedObject*) { bufferFinished(); }

void AudioProcessorController::onProcessorEnded(const INamedObject*,
                                                const FailureParams& failure) {
  logWithLogger<LogLevel::Error>(this, "thread entry (", name_,
                                 " Controller): processor died: ", failure.GetDescription());
  {
    std::lock_guard lock(mutex_);
    if (!processorFailure_) {
      processorFailure_ = std::make_unique<FailureParams>(failure.GetDescription());
    }
  }
  // The controller ends after what is queued before (without waiting for
  // the processor any more); its thread then reports the failure.
  stopWaitingForProcessor();
  quit();
}

security::IDataSigner* AudioProcessorController::signer() const {
  return listener_ != nullptr ? listener_->signer() : nullptr;
}

void AudioProcessorController::registerListener(int typeId, IThriftConsumer*) {
  if (messenger_ == nullptr) return;
  {
    std::lock_guard lock(mutex_);
    registrations_.insert(typeId);
  }
  messenger_->registerListener(typeId, this);
}

void AudioProcessorController::sendMessage(const std::string& senderName,
                                           std::unique_ptr<ThriftParams> params) {
  const int64_t start = clock_.upTimeMillis();
  if (messenger_ != nullptr) messenger_->send(senderName, std::move(params));
  profile(listenerProfiler_, "Listener_ThriftSend", start);
}

void AudioProcessorController::onReceive(const std::string& senderName,
                                         const ThriftParams& params) {
  pushSignal(std::make_unique<ThriftUpdateSignal>(senderName, params));
}

void AudioProcessorController::onStateFailure(const std::exception* error) {
  try {
    if (error != nullptr) {
      logWithLogger<LogLevel::Error>(this, "thread entry (", name_,
                                     " Controller): thread died: exception: ", error->what());
      go(StateId::Done);
      if (listener_ != nullptr) listener_->onFailed(FailureParams(error));
    } else {
      logWithLogger<LogLevel::Error>(this, "thread entry (", name_,
                                     " Controller): thread died for unknown reason.");
      go(StateId::Done);
      if (listener_ != nullptr) {
        listener_->onFailed(
            FailureParams(std::string("AudioProcessController: thread died for unknown reason.")));
      }
    }
  } catch (...) {
    go(StateId::Done);
  }
}

void AudioProcessorController::onThreadEnd() {
  go(StateId::Done);
  // Nobody reads the queue any more: later pushes are dropped at once.
  signalQueue().close();
  logWithLogger<LogLevel::Info>(this, "stateDone (", name_, " Controller)");
  std::unique_ptr<FailureParams> failure;
  {
    std::lock_guard lock(mutex_);
    failure = std::move(processorFailure_);
  }
  if (failure && listener_ != nullptr) listener_->onFailed(*failure);
}

}  // namespace tembrolexinsdk
