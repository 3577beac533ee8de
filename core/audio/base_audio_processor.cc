#include "core/audio/base_audio_processor.h"

#include <algorithm>
#include <limits>
#include <set>
#include <stdexcept>
#include <utility>

#include "core/audio/default_descriptors.h"
#include "core/audio/resampler.h"
#include "core/decoder/decoder_library.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/configuration_parameter.h"
#include "core/runtime/engine_refs.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/logger.h"
#include "core/runtime/processor_params.h"

namespace tembrolexinsdk {

namespace {

constexpr int64_t kNoRequest = std::numeric_limits<int64_t>::min();
constexpr int64_t kWeirdTimingMs = 500;
constexpr int64_t kProfileWindowMs = 60000;

// The twelve decoder options, in the order the decoding core takes them.
constexpr const char* kOptionSuffixes[BaseAudioProcessor::kDecoderOptionCount] = {
    "_Persistence",       "_GapFill",           "_MaxOffsetPast",   "_MaxOffsetFuture",
    "_RiseThreshold",     "_MaxOffsetPastCW",   "_MaxOffsetFutureCW", "_RiseThresholdCW",
    "_TimeShiftThreshold", "_PublishDelay",     "_MaxListeningDuration", "_FastReaction"};

template <typename T>
const T* lookUp(const ConfigurationParameters& configuration, const std::string& key) {
  const auto it = configuration.find(key);
  if (it == configuration.end()) return nullptr;
  const auto* parameter = dynamic_cast<const ConfigurationParameter<T>*>(it->second);
  return parameter != nullptr ? &parameter->value : nullptr;
}

bool isVorselTPlugin(const std::string& name) {
  return name == "tembrolexin_VorselT" || name == "tembrolexin_VorselTW";
}

}  // namespace

namespace {

// Buffers and signal objects kept for reuse: enough for the buffers a
// controller has in flight.
constexpr size_t kKeptBuffers = 16;
constexpr size_t kKeptSignals = 64;

// Memory of finished AudioArrivedSignals, process-wide; never destroyed, so
// that signals deleted during exit still find it.
struct SignalMemory {
  tembrolexin::Mutex mutex;
  std::vector<void*> free;
  SignalMemory() { free.reserve(kKeptSignals); }
};

SignalMemory& signalMemory() {
  static SignalMemory* memory = new SignalMemory();
  return *memory;
}

}  // namespace

std::vector<short> BaseAudioProcessor::SamplePool::take(const short* source, uint32_t count) {
  std::vector<short> buffer;
  {
    std::lock_guard lock(mutex_);
    if (!free_.empty()) {
      buffer = std::move(free_.back());
      free_.pop_back();
    }
  }
  if (source == nullptr) count = 0;
  buffer.assign(source, source + count);
  return buffer;
}

void BaseAudioProcessor::SamplePool::give(std::vector<short>&& buffer) {
  std::lock_guard lock(mutex_);
  if (free_.capacity() == 0) free_.reserve(kKeptBuffers);
  if (free_.size() < kKeptBuffers && buffer.capacity() > 0) free_.push_back(std::move(buffer));
}

void* BaseAudioProcessor::AudioArrivedSignal::operator new(std::size_t size) {
  if (size == sizeof(AudioArrivedSignal)) {
    SignalMemory& memory = signalMemory();
    std::lock_guard lock(memory.mutex);
    if (!memory.free.empty()) {
      void* block = memory.free.back();
      memory.free.pop_back();
      return block;
    }
  }
  return ::operator new(size);
}

void BaseAudioProcessor::AudioArrivedSignal::operator delete(void* block, std::size_t size) {
  if (block == nullptr) return;
  if (size == sizeof(AudioArrivedSignal)) {
    SignalMemory& memory = signalMemory();
    std::lock_guard lock(memory.mutex);
    if (memory.free.size() < kKeptSignals) {
      memory.free.push_back(block);
      return;
    }
  }
  ::operator delete(block);
}

const DecoderFunctions& DecoderFunctions::real() {
  static const DecoderFunctions functions;
  return functions;
}

BaseAudioProcessor::BaseAudioProcessor(std::string name, SampleRate rate, bool useNTP,
                                       std::chrono::milliseconds pingInterval,
                                       const Clock& clock, const DecoderFunctions& decoder)
    : ActiveObject<BaseAudioProcessor>(&BaseAudioProcessor::stateWaitingForDecoders,
                                       &BaseAudioProcessor::stateDone, kQuit, name),
      name_(std::move(name)),
      rate_(rate),
      useNTP_(useNTP),
      version_(TL_DECODER_BINDINGS_HEADER_VERSION),
      clock_(clock),
      fns_(decoder),
      pingInterval_(pingInterval),
      lastNTPRequest_(kNoRequest),
      workBuffer_(512),
      pingTimer_([this] { pushSignal(new StateSignal(kPing)); }, clock) {
  if (useNTP_) {
    auto provider = std::make_unique<ProcessorNTPTimeProvider>(clock_);
    ntpProvider_ = provider.get();
    timeProvider_ = std::move(provider);
  } else {
    timeProvider_ = std::make_unique<ProcessorTimeProvider>(clock_);
    ntpInterval_ = std::numeric_limits<int64_t>::max();
  }
  flow_->sender = this;
  logWithLogger<LogLevel::Debug>(this, "thread entry");
  logWithLogger<LogLevel::Debug>(this, timeProvider_->getTimeAdjustments());
  startThread();
}

BaseAudioProcessor::~BaseAudioProcessor() {
  logWithLogger<LogLevel::Debug>(this, "destructor entry");
  pingTimer_.Cancel();
  quitAndJoin();
  // Buffers still queued go with the queue; their owner is going too.
  flow_->listener = nullptr;
  {
    std::lock_guard lock(recordMutex_);
    if (recordFile_) recordFile_->close();
  }
  closeDecoders();
}

// ---------------------------------------------------------------------------
// Caller-side operations.

void BaseAudioProcessor::Initialise(IProcessorListener* listener, int sampleRateHz,
                                    const NTPInfo*) {
  logWithLogger<LogLevel::Debug>(this, "initialise entry");
  listener_ = listener;
  flow_->listener = dynamic_cast<IAudioFlowListener*>(listener);
  sampleRateHz_ = sampleRateHz;
  // Descriptors that waited for the rate are built now.
  if (awaitingRate_.exchange(false)) pushSignal(new StateSignal(kRebuild));
}

void BaseAudioProcessor::Configure(const ConfigurationParameters* configuration, const NTPInfo*) {
  logWithLogger<LogLevel::Debug>(this, "Configure entry");
  if (configuration == nullptr) return;
  const ConfigurationParameters& c = *configuration;
  {
    std::lock_guard lock(recordMutex_);
    if (const bool* record = lookUp<bool>(c, name_ + "_RecordAudio")) recordAudio_ = *record;
  }
  // Network-time settings mean nothing to a processor without network time.
  if (useNTP_) {
    if (const long long* v = lookUp<long long>(c, name_ + "_NTPinterval")) ntpInterval_ = *v;
  }
  if (const long long* v = lookUp<long long>(c, name_ + "_NTPminDelay")) ntpMinDelay_ = *v;
  logWithLogger<LogLevel::Debug>(this, "RecordAudio: ", recordAudio_, ", NTPinterval: ",
                                 ntpInterval_.load());

  if (const auto it = c.find(name_ + "_DecoderDescriptors"); it != c.end()) {
    if (const std::string* json = lookUp<std::string>(c, it->first)) {
      applyDescriptorText(*json);
    } else {
      refuseDescriptorValue(it->second);
    }
  }
  // Candidate stations of another kind than text are absent, and said so.
  std::vector<std::string> stationKeys{name_ + "_CandidateStations"};
  if (name_ == "tembrolexin_VorselTW") {
    stationKeys.push_back("tembrolexin_VorselT_CandidateStations");
  }
  std::vector<std::pair<std::string, const std::string*>> stations;
  for (const std::string& key : stationKeys) {
    const auto it = c.find(key);
    if (it == c.end()) continue;
    if (const std::string* json = lookUp<std::string>(c, key)) {
      if (json->empty()) continue;
      stationsConfigured_ = true;
      stations.emplace_back(key, json);
    } else {
      logWithLogger<LogLevel::Warning>(this, "\"", key, "\" is not a text but ",
                                       describeConfigurationValue(it->second), "; it is ignored");
    }
  }
  if (const std::string* json = lookUp<std::string>(c, name_ + "_EventEngineSequences")) {
    if (!json->empty()) pushSignal(new UpdateEventEngineSequenceSignal(*json));
  }
  for (const auto& [key, json] : stations) {
    pushSignal(new UpdateCandidateStationsSignal(*json, key));
  }
  std::array<int32_t, kDecoderOptionCount> options;
  options.fill(-1);
  bool anyOption = false;
  for (int i = 0; i < kDecoderOptionCount; ++i) {
    if (const long long* v = lookUp<long long>(c, name_ + kOptionSuffixes[i])) {
      options[i] = static_cast<int32_t>(*v);
      anyOption = true;
    }
  }
  if (anyOption) pushSignal(new UpdateDecoderSignal(options));
  manageFileRecording();
}

void BaseAudioProcessor::manageFileRecording() {
  std::string text;
  {
    std::lock_guard lock(recordMutex_);
    if (!recordAudio_) {
      if (!recordFile_) return;
      recordFile_->flush();
      recordFile_.reset();
      text = "Stopped Recording";
    } else {
      if (recordFile_) return;
      // Without a file path nothing is opened (never a file at the root).
      const std::string path = recordPathLocked();
      auto file = std::make_unique<std::ofstream>();
      if (!path.empty()) file->open(path, std::ios::binary | std::ios::trunc);
      if (file->is_open()) {
        recordFile_ = std::move(file);
        text = "recording to " + path;
      } else {
        text = path + " couldn't be opened";
      }
    }
  }
  reportLog(LogLevel::Debug, text);
}

std::string BaseAudioProcessor::recordPath() const {
  std::lock_guard lock(recordMutex_);
  return recordPathLocked();
}

std::string BaseAudioProcessor::recordPathLocked() const {
  return filePath_.empty() ? std::string() : filePath_ + "/" + name_ + "_AudioSamplesFile.raw";
}

void BaseAudioProcessor::SetFilePath(const std::string& path) {
  std::string text;
  if (path == "<none>" || path.empty()) {
    text = "BaseAudioProcessor::SetFilePath: ERROR (no path available) path => " + path;
    if (IProcessorListener* listener = listener_.load()) listener->onFailed(FailureParams(text));
  } else {
    std::lock_guard lock(recordMutex_);
    filePath_ = path;
    text = "ready to record to: " + recordPathLocked();
  }
  reportLog(LogLevel::Debug, text);
}

void BaseAudioProcessor::SetDeviceId(int deviceId) {
  setPinging(deviceId > 0);
  logWithLogger<LogLevel::Debug>(this, "setDeviceId entry, deviceId: ", deviceId);
}

void BaseAudioProcessor::setPinging(bool pinging) {
  // Switched on: a ping queued now starts the pings once processing runs (at
  // once when it already does).
  if (pinging && !pinging_.exchange(true)) {
    pushSignal(new StateSignal(kPing));
  } else if (!pinging) {
    pinging_ = false;
  }
}

void BaseAudioProcessor::ProcessBuffer(const short* samples, int sampleCount,
                                       std::chrono::steady_clock::time_point captureTime) {
  const uint32_t frames = samples == nullptr || sampleCount < 0 ? 0 : uint32_t(sampleCount);
  pushSignal(new AudioArrivedSignal(samplePool_, flow_, samples, frames, captureTime));
}

void BaseAudioProcessor::Start() {
  logWithLogger<LogLevel::Debug>(this, "Start entry");
  warnAboutStations();
  reportStatus(GenericStatusParams({"Started"}));
}

void BaseAudioProcessor::warnAboutStations() {
  // The VorselT plug-ins' decoders decode nothing until candidate stations
  // arrive, and take them only through a descriptor with a "HEARTBEAT" or
  // "ANALYTICS" range. Only the app's own descriptors are checked: the
  // built-in ones wait by design until the app brings stations.
  if (!isVorselTPlugin(name_)) return;
  bool takesStations = false;
  {
    std::lock_guard lock(settingsMutex_);
    if (descriptorText_.empty() || descriptors_.empty()) return;
    for (const auto& descriptor : descriptors_) {
      const auto& refs = descriptor->getEngineRefs();
      takesStations = takesStations || refs.count("HEARTBEAT") != 0 || refs.count("ANALYTICS") != 0;
    }
  }
  const std::string key = name_ + "_CandidateStations";
  if (!takesStations) {
    logWithLogger<LogLevel::Warning>(
        this, "The decoders of \"", name_, "_DecoderDescriptors\" wait for candidate stations, "
        "which only a descriptor with an \"ANALYTICS\" range receives: nothing is decoded");
  } else if (!stationsConfigured_.load()) {
    logWithLogger<LogLevel::Warning>(this, "The decoders of \"", name_,
                                     "_DecoderDescriptors\" wait for candidate stations, and \"",
                                     key, "\" is not configured: nothing is decoded until it is");
  }
}

void BaseAudioProcessor::Stop() {
  logWithLogger<LogLevel::Debug>(this, "Stop entry");
  reportStatus(GenericStatusParams({"Stopped"}));
}

IProcessorEventParams* BaseAudioProcessor::PrepareData(const NTPInfo*) {
  logWithLogger<LogLevel::Debug>(this, "PrepareData entry");
  return nullptr;
}

void BaseAudioProcessor::setDecoderDescriptors(Descriptors descriptors) {
  replaceDescriptors(std::move(descriptors), false);
}

void BaseAudioProcessor::replaceDescriptors(Descriptors descriptors, bool fromConfiguration) {
  {
    std::lock_guard lock(settingsMutex_);
    descriptors_ = std::move(descriptors);
    descriptorsFromConfiguration_ = fromConfiguration;
    ++buildsRequested_;
  }
  pushSignal(new StateSignal(kRebuild));
}

void BaseAudioProcessor::applyDescriptorText(const std::string& json) {
  bool unchanged = false;
  {
    std::lock_guard lock(settingsMutex_);
    if (json == descriptorText_) {
      // Unchanged: the decoders stay, and what they are answers the value.
      descriptorValue_ = json;
      descriptorProblem_.clear();
      unchanged = true;
    }
  }
  if (unchanged) {
    reportDecodersBuilt();
    return;
  }
  const std::string key = name_ + "_DecoderDescriptors";
  Descriptors descriptors;
  std::string problem;
  if (!parseDecoderDescriptors(json, descriptors, &problem)) {
    logWithLogger<LogLevel::Warning>(this, "Invalid JSON input in \"", key, "\"");
    {
      // The running decoders stay; the answer says why the value is not
      // taken (an empty text is no value and is not refused).
      std::lock_guard lock(settingsMutex_);
      descriptorValue_ = json;
      descriptorProblem_ = json.empty() ? std::string() : problem;
    }
    reportDecodersBuilt();
    return;
  }
  // A range whose engine does not exist sends its words nowhere.
  const std::vector<std::string> engines = enginerefs::names();
  if (!engines.empty()) {
    std::set<std::string> unknown;
    for (const auto& descriptor : descriptors) {
      for (const std::string& ref : descriptor->getEngineRefs()) {
        if (!std::binary_search(engines.begin(), engines.end(), ref)) unknown.insert(ref);
      }
    }
    for (const std::string& ref : unknown) {
      std::string known;
      for (const std::string& e : engines) known += (known.empty() ? "\"" : ", \"") + e + "\"";
      logWithLogger<LogLevel::Warning>(this, "Engine \"", StringChecker::escapeBytes(ref),
                                       "\" of a range in \"", key,
                                       "\" matches no engine; its words go nowhere (the engines "
                                       "are ", known, ")");
    }
  }
  {
    // The value and the build that answers it are set together: a build
    // finishing meanwhile does not answer this value.
    std::lock_guard lock(settingsMutex_);
    descriptorText_ = json;
    descriptorValue_ = json;
    descriptorProblem_.clear();
    descriptors_ = std::move(descriptors);
    descriptorsFromConfiguration_ = true;
    ++buildsRequested_;
  }
  pushSignal(new StateSignal(kRebuild));
}

void BaseAudioProcessor::refuseDescriptorValue(const IConfigurationParameter* value) {
  const std::string kind = describeConfigurationValue(value);
  logWithLogger<LogLevel::Warning>(this, "\"", name_, "_DecoderDescriptors\" is not a text but ",
                                   kind, "; the value is refused");
  {
    // As for text that is no descriptor list: the running decoders stay and
    // the answer says why the value is not taken.
    std::lock_guard lock(settingsMutex_);
    descriptorValue_ = descriptorAnswer(value);
    descriptorProblem_ = "not a text but " + kind;
  }
  reportDecodersBuilt();
}

std::string BaseAudioProcessor::descriptorAnswer(const IConfigurationParameter* value) {
  if (const auto* text = dynamic_cast<const ConfigurationParameter<std::string>*>(value)) {
    return text->value;
  }
  return std::string(1, '\0') + describeConfigurationValue(value);
}

void BaseAudioProcessor::setRateReadHook(std::function<void()> hook) {
  std::lock_guard lock(settingsMutex_);
  rateReadHook_ = std::move(hook);
}

void BaseAudioProcessor::setSchemeFilter(SchemeFilter filter) {
  std::lock_guard lock(settingsMutex_);
  schemeFilter_ = std::move(filter);
}

std::vector<BaseAudioProcessor::SchemeCopy> BaseAudioProcessor::copySchemeInfo() const {
  std::lock_guard lock(decodersMutex_);
  std::vector<SchemeCopy> out;
  out.reserve(decoders_.size());
  for (const DecoderEntry& entry : decoders_) {
    SchemeCopy copy;
    copy.scheme = entry.info.scheme;
    copy.name = entry.info.name != nullptr ? entry.info.name : "";
    copy.shortName = entry.info.shortName != nullptr ? entry.info.shortName : "";
    copy.codewordDuration = entry.info.codewordDuration;
    copy.codewordOffset = entry.info.codewordOffset;
    out.push_back(std::move(copy));
  }
  return out;
}

std::vector<const EncodingSchemeInfo*> BaseAudioProcessor::getSchemeInfo() const {
  std::lock_guard lock(decodersMutex_);
  std::vector<const EncodingSchemeInfo*> out;
  for (const DecoderEntry& entry : decoders_) out.push_back(&entry.info);
  return out;
}

void BaseAudioProcessor::updateNTPInfo(const NTPInfo* ntp) {
  // The next request depends only on the interval again. Lifted after the
  // reference moved (below), so that a check running meanwhile does not ask
  // again for the time that is arriving.
  if (ntpProvider_ == nullptr || ntp == nullptr) {
    lastNTPRequest_ = kNoRequest;
    if (ntpProvider_ != nullptr) logWithLogger<LogLevel::Warning>(this, "Received nullptr ntpInfo");
    return;
  }
  const int64_t now = clock_.upTimeMillis();
  logWithLogger<LogLevel::Debug>(this, "NTP latency: ", now - ntp->upTimeMillis,
                                 " current uptime: ", now, ", ntp uptime: ", ntp->upTimeMillis);
  const std::string text = name_ + "::UpdateNTPInfo: " + std::to_string(ntp->elapsedRealTime) +
                           ", " + std::to_string(ntp->transmitTimestamp) + ", " +
                           std::to_string(ntp->roundTripDelay) + ", " + std::to_string(ntp->drift);
  reportStatus(GenericStatusParams({text}));
  reportLog(LogLevel::Debug, text);
  ntpProvider_->updateReferenceWithNTP(ntp);
  lastNTPRequest_ = kNoRequest;
  logWithLogger<LogLevel::Info>(this, ntpProvider_->getTimeAdjustments());
}

int32_t BaseAudioProcessor::convertToConfidence(int32_t confidence) {
  switch (confidence) {
    case 1: return 3;
    case 2: return 2;
    case 3: return 1;
    case 4: return -1;
    default: return 0;
  }
}

int32_t BaseAudioProcessor::convertSyncStateToConfidence(int32_t syncState) {
  switch (syncState) {
    case 0: return 1;
    case 1: return 3;
    case 2: return 2;
    default: return 0;
  }
}

// ---------------------------------------------------------------------------
// Listener helpers.

void BaseAudioProcessor::reportEvent(const IProcessorEventParams& params) {
  if (IProcessorListener* listener = listener_.load()) listener->onProcessorEvent(this, &params);
}

void BaseAudioProcessor::reportStatus(const IProcessorStatusParams& params) {
  if (IProcessorListener* listener = listener_.load()) {
    listener->onProcessorStatusChanged(this, &params);
  }
}

void BaseAudioProcessor::reportLog(LogLevel level, const std::string& text) {
  if (IProcessorListener* listener = listener_.load()) {
    const LogParams params(level, text);
    listener->onLogEvent(this, &params);
  }
}

// ---------------------------------------------------------------------------
// Worker thread.

void BaseAudioProcessor::onStateFailure(const std::exception* error) {
  const std::string text = error != nullptr ? error->what() : "";
  if (error != nullptr) {
    logWithLogger<LogLevel::Error>(this, "thread died: Exception: ", text);
  } else {
    logWithLogger<LogLevel::Error>(this, "BaseAudioProcessor thread died for unknown reason.");
  }
  setState(&BaseAudioProcessor::stateDone);
  pingTimer_.Cancel();
  // Later signals are dropped instead of piling up for a thread that is gone.
  signalQueue().close();
  const FailureParams failure(error != nullptr
                                  ? text
                                  : std::string("BaseAudioProcessor thread died for unknown reason."));
  if (IAudioFlowListener* flow = flow_->listener.load()) {
    flow->onProcessorEnded(this, failure);
  } else if (IProcessorListener* listener = listener_.load()) {
    listener->onFailed(failure);
  }
}

void BaseAudioProcessor::onThreadEnd() {
  logWithLogger<LogLevel::Debug>(this, "BaseAudioProcessor thread exit");
}

void BaseAudioProcessor::stateWaitingForDecoders() {
  serveState(&BaseAudioProcessor::stateWaitingForDecoders, {kRebuild, kAudioArrived, kQuit},
             [this](StateSignal& signal) {
               switch (signal.GetCode()) {
                 case kRebuild:
                   buildDecoders();
                   break;
                 case kQuit:
                   setState(&BaseAudioProcessor::stateDone);
                   break;
                 default:  // audio before the decoders exist is dropped
                   break;
               }
             });
}

void BaseAudioProcessor::stateWaitingForConfiguration() {
  logWithLogger<LogLevel::Debug>(this, "stateWaitingForCandidateStations entry");
  serveState(&BaseAudioProcessor::stateWaitingForConfiguration,
             {kRebuild, kAudioArrived, kUpdateConfiguration, kQuit}, [this](StateSignal& signal) {
               switch (signal.GetCode()) {
                 case kRebuild:
                   if (!rebuildNeeded()) break;
                   setState(&BaseAudioProcessor::stateWaitingForDecoders);
                   pushSignal(new StateSignal(kRebuild));
                   break;
                 case kUpdateConfiguration:
                   updateConfiguration(signal);
                   break;
                 case kQuit:
                   logWithLogger<LogLevel::Debug>(
                       this, "stateWaitingForCandidateStations... shutting down");
                   setState(&BaseAudioProcessor::stateDone);
                   break;
                 default:
                   break;
               }
             });
}

void BaseAudioProcessor::stateProcessing() {
  logWithLogger<LogLevel::Debug>(this, "stateProcessing entry");
  setupStateProcessing();
  if (pinging_) pingTimer_.DoEventAfter(pingInterval_);
  reportStatus(AudioProcessorIdleStatusParams(name_));
  profileStart_ = clock_.upTimeMillis();
  profileBusy_ = 0;
  struct CancelPing {
    TimedEvent& timer;
    ~CancelPing() { timer.Cancel(); }
  } cancelPing{pingTimer_};
  serveState(&BaseAudioProcessor::stateProcessing, {0, 1, 2, 3, 4, 5, 6, 7, 8},
             [this](StateSignal& signal) {
               const int64_t began = clock_.upTimeMillis();
               switch (signal.GetCode()) {
                 case kRebuild:
                   if (!rebuildNeeded()) break;
                   setState(&BaseAudioProcessor::stateWaitingForDecoders);
                   pushSignal(new StateSignal(kRebuild));
                   break;
                 case kAudioArrived: {
                   auto* audio = dynamic_cast<AudioArrivedSignal*>(&signal);
                   if (audio == nullptr) {
                     logWithLogger<LogLevel::Warning>(
                         this, "signal expected to be an AudioArrivedSignal and wasn't");
                     break;
                   }
                   writeRecord(audio->samples, audio->frames);
                   audioArrivedProcess(*audio);
                   break;
                 }
                 case 2:
                 case 3:
                 case 4:
                 case 5:
                   updateConfiguration(signal);
                   break;
                 case kPing:
                   if (pinging_) {
                     pingTimer_.DoEventAfter(pingInterval_);
                     pingDecoder();
                   }
                   break;
                 case kStop:
                   Stop();
                   break;
                 case kQuit:
                   logWithLogger<LogLevel::Debug>(this, "stateProcessing... shutting down");
                   setState(&BaseAudioProcessor::stateDone);
                   break;
                 default:
                   break;
               }
               const int64_t now = clock_.upTimeMillis();
               profileBusy_ += now - began;
               const int64_t window = now - profileStart_;
               if (window > kProfileWindowMs) {
                 logWithLogger<LogLevel::Info>(
                     this, "PROFILER FOR ", "BAP_stateProcessing", ": ", profileBusy_, "ms/",
                     window, "ms, i.e. ",
                     static_cast<float>(profileBusy_) * 100.0f / static_cast<float>(window),
                     "% thread usage");
                 profileBusy_ = 0;
                 profileStart_ = now;
               }
             });
}

void BaseAudioProcessor::closeDecoders() {
  std::vector<DecoderEntry> old;
  {
    std::lock_guard lock(decodersMutex_);
    old.swap(decoders_);
  }
  for (DecoderEntry& entry : old) fns_.close(entry.context);
}

bool BaseAudioProcessor::rebuildNeeded() const {
  // Initialise asks for a build when it finds one waiting for the rate; one
  // that runs between the build's wait and its reading of the rate asks for
  // a build that has just run. The same descriptors at the same rate would
  // give the same decoders (and log the same refusals) again, and drop the
  // candidate stations given since.
  std::lock_guard lock(settingsMutex_);
  return buildsRequested_ == 0 || buildSettled_ != buildsRequested_ ||
         settledRateHz_ != sampleRateHz_.load();
}

void BaseAudioProcessor::buildDecoders() {
  if (!rebuildNeeded()) return;
  closeDecoders();
  Descriptors descriptors;
  SchemeFilter filter;
  std::function<void()> rateReadHook;
  uint64_t request = 0;
  bool fromConfiguration = false;
  {
    std::lock_guard lock(settingsMutex_);
    descriptors = descriptors_;
    filter = schemeFilter_;
    rateReadHook = rateReadHook_;
    request = buildsRequested_;
    fromConfiguration = descriptorsFromConfiguration_;
  }
  if (descriptors.empty()) {
    // Nothing runs (a "[]" value): that is the answer.
    finishBuild(request, sampleRateHz_.load(), 0, "", fromConfiguration);
    return;
  }
  // Raised before the rate is read, so that an Initialise in between sees it
  // and rebuilds.
  awaitingRate_ = true;
  if (rateReadHook) rateReadHook();
  const int32_t rateHz = sampleRateHz_.load();
  if (rateHz == 0) {
    logWithLogger<LogLevel::Debug>(this, "decoders wait for the sample rate");
    return;
  }
  awaitingRate_ = false;
  std::vector<DecoderEntry> built;
  std::string refusals;
  for (const auto& descriptor : descriptors) {
    if (!descriptor) continue;
    DecoderEntry entry;
    entry.descriptor = descriptor;
    entry.partial = std::make_unique<PartialCodewordProcessor>(name_);
    PartialCodewordProcessor::DecoderSetup setup =
        entry.partial->configurationForDecoder(*descriptor, name_);
    const char* config = descriptor->getName().c_str();
    entry.context = setup.fastReaction ? fns_.initFastReaction(config) : fns_.init(config);
    if (entry.context == nullptr) {
      // The core's error text says why (a file that does not open, a field
      // it cannot read); it belongs to this thread, which made the call.
      // Both hold the app's bytes (the path), escaped where they are not
      // UTF-8 so that the texts still reach the app.
      const std::string refusal = StringChecker::escapeBytes(descriptor->getName()) + ": " +
                                  StringChecker::escapeBytes(Tembrolexin_GetErrorMsg());
      logWithLogger<LogLevel::Error>(this, "the decoding core refused the configuration of a "
                                           "decoder; it does not run (", refusal, ")");
      refusals += (refusals.empty() ? "" : "; ") + refusal;
      continue;
    }
    fns_.getSchemeInfo(entry.context, 0, &entry.info);
    const char* schemeName = entry.info.name != nullptr ? entry.info.name : "";
    const int32_t decoderRate = fns_.fsIn(entry.context);
    if (decoderRate != rateHz) {
      logWithLogger<LogLevel::Info>(this, "will not run echo decoder for scheme: ", schemeName,
                                    ", sample rate is ", rateHz, " but decoder requires ",
                                    decoderRate);
      fns_.close(entry.context);
      continue;
    }
    if (filter && !filter(entry.info)) {
      logWithLogger<LogLevel::Info>(this, "will not run echo decoder for scheme: ", schemeName,
                                    ", filter does not allow it");
      fns_.close(entry.context);
      continue;
    }
    if (setup.list) {
      entry.list = std::move(setup.list);
      fns_.codewordSequences(entry.context, entry.list.get());
    }
    entry.waiting = setup.waitingForConfiguration;
    const int32_t schemes = std::max<int32_t>(1, fns_.nSchemes(entry.context));
    entry.performance.resize(static_cast<size_t>(schemes));
    entry.results.resize(static_cast<size_t>(schemes));
    logWithLogger<LogLevel::Info>(this, "will decode scheme: ", schemeName);
    built.push_back(std::move(entry));
  }
  const int count = static_cast<int>(built.size());
  if (count > 0) {
    {
      std::lock_guard lock(decodersMutex_);
      decoders_ = std::move(built);
    }
    applyReadinessRule();
  }
  // Once the next state is set: audio queued from now on is decoded.
  finishBuild(request, rateHz, count, refusals, fromConfiguration);
}

void BaseAudioProcessor::finishBuild(uint64_t request, int32_t rateHz, int built,
                                     const std::string& refusals, bool fromConfiguration) {
  {
    std::lock_guard lock(settingsMutex_);
    buildSettled_ = request;
    settledRateHz_ = rateHz;
    lastBuild_.built = built;
    lastBuild_.refusals = refusals;
    lastBuild_.fromConfiguration = fromConfiguration;
  }
  reportDecodersBuilt();
}

void BaseAudioProcessor::reportDecodersBuilt() {
  std::lock_guard order(reportMutex_);
  DecoderBuildReport report;
  {
    std::lock_guard lock(settingsMutex_);
    // Descriptors replaced since the last build: their build answers.
    if (buildSettled_ != buildsRequested_) return;
    report = lastBuild_;
    report.answers = descriptorValue_;
    report.unreadable = descriptorProblem_;
  }
  if (IProcessorListener* listener = listener_.load()) listener->onDecodersBuilt(this, report);
}

void BaseAudioProcessor::applyReadinessRule() {
  const bool waiting = std::any_of(decoders_.begin(), decoders_.end(),
                                   [](const DecoderEntry& e) { return e.waiting; });
  setState(waiting ? &BaseAudioProcessor::stateWaitingForConfiguration
                   : &BaseAudioProcessor::stateProcessing);
}

void BaseAudioProcessor::updateConfiguration(const StateSignal& signal) {
  if (const auto* stations = dynamic_cast<const UpdateCandidateStationsSignal*>(&signal)) {
    for (DecoderEntry& entry : decoders_) {
      const auto& refs = entry.descriptor->getEngineRefs();
      if (refs.count("HEARTBEAT") == 0 &&
          !(refs.count("ANALYTICS") != 0 && isVorselTPlugin(name_))) {
        continue;
      }
      CandidateStationsPtr list;
      std::string problem;
      try {
        list = entry.partial->parseCandidateStations(stations->json, name_, &problem);
      } catch (const std::invalid_argument& e) {
        // The app's text is at fault, not the processor: the decoder keeps
        // its previous list and the worker goes on.
        const std::string key =
            stations->key.empty() ? name_ + "_CandidateStations" : stations->key;
        logWithLogger<LogLevel::Warning>(this, e.what(), " in \"", key, "\" (",
                                         StringChecker::escapeBytes(problem), ")");
        continue;
      }
      if (!list) continue;
      fns_.candidateStations(entry.context, list.get());
      entry.list = std::move(list);
      entry.waiting = false;
    }
    applyReadinessRule();
  } else if (const auto* sequences =
                 dynamic_cast<const UpdateEventEngineSequenceSignal*>(&signal)) {
    for (DecoderEntry& entry : decoders_) {
      if (entry.descriptor->getEngineRefs().count("EVENT2") == 0) continue;
      CandidateStationsPtr list = entry.partial->parseEventEngineSequences(
          sequences->json, *entry.descriptor, entry.info.codewordDuration, name_);
      if (!list) continue;
      fns_.codewordSequences(entry.context, list.get());
      entry.list = std::move(list);
    }
  } else if (const auto* options = dynamic_cast<const UpdateDecoderSignal*>(&signal)) {
    for (DecoderEntry& entry : decoders_) {
      fns_.setOptions(entry.context, -1, options->options.data());
    }
  }
}

void BaseAudioProcessor::setupStateProcessing() {
  for (DecoderEntry& entry : decoders_) entry.partial->setup();
}

void BaseAudioProcessor::writeRecord(const short* samples, uint32_t frames) {
  std::lock_guard lock(recordMutex_);
  if (!recordFile_ || samples == nullptr || frames == 0) return;
  recordFile_->write(reinterpret_cast<const char*>(samples),
                     static_cast<std::streamsize>(frames) * 2);
}

void BaseAudioProcessor::warnWeirdTiming(const char* what, const DecoderEntry& entry,
                                         int64_t corrected, int64_t steady) {
  const int64_t previous = entry.partial->lastSystemTime();
  if (previous == 0) return;
  const int64_t d = corrected - previous;
  if (d >= -kWeirdTimingMs && d <= kWeirdTimingMs) return;
  logWithLogger<LogLevel::Warning>(this, what, " the Decoder with weird timing: dCorrected = ", d,
                                   ", dSteady = ", steady - entry.partial->lastSteadyTime(),
                                   ", correctedTime: ", corrected);
}

void BaseAudioProcessor::reportPartialResults(DecoderEntry& entry, int64_t corrected,
                                              int64_t steady) {
  const auto messages = entry.partial->processPartialResult(*entry.descriptor, corrected, steady,
                                                            entry.info.codewordDuration);
  for (const auto& message : messages) reportEvent(*message);
}

void BaseAudioProcessor::runDecoder(DecoderEntry& entry, short* samples, uint32_t count,
                                    int64_t corrected, int64_t steady, uint64_t totalSamples) {
  decode(entry, samples, count, corrected, steady);
  reportDecoded(entry, totalSamples);
}

void BaseAudioProcessor::decode(DecoderEntry& entry, short* samples, uint32_t count,
                                int64_t corrected, int64_t steady) {
  std::fill(entry.performance.begin(), entry.performance.end(), PerformanceData{});
  entry.results[0] = *entry.partial->result();
  fns_.processData(entry.context, samples, static_cast<int32_t>(count), entry.performance.data(),
                   corrected, entry.results.data());
  *entry.partial->result() = entry.results[0];
  entry.corrected = corrected;
  entry.steady = steady;
}

void BaseAudioProcessor::reportDecoded(DecoderEntry& entry, uint64_t totalSamples) {
  reportCodewords(entry.performance[0], entry.info, *entry.descriptor, entry.corrected,
                  entry.steady, totalSamples);
  reportPartialResults(entry, entry.corrected, entry.steady);
}

void BaseAudioProcessor::audioArrivedProcess(AudioArrivedSignal& signal) {
  const uint32_t n = signal.frames;
  if (n == 0) return;  // nothing decoded: the signal reports a drop
  const uint64_t total = totalSamples_.fetch_add(n) + n;
  const int32_t rateHz = sampleRateHz_.load();
  const int64_t duration = rateHz > 0 ? static_cast<int64_t>(n) * 1000 / rateHz : 0;
  if (workBuffer_.size() < n) workBuffer_.resize(n);
  for (DecoderEntry& entry : decoders_) {
    const int64_t age = std::chrono::duration_cast<std::chrono::milliseconds>(
                            clock_.steadyNow() - signal.time)
                            .count();
    // Steady stamps are on the core's up-time, the clock that every "now"
    // they are compared with reads: the capture's age, taken back from it.
    const int64_t captured = clock_.upTimeMillis() - age;
    const int64_t corrected = timeProvider_->getTimeSinceEpoch(captured) + duration;
    const int64_t steady = captured + duration;
    // The decoding core works in place on a copy.
    std::copy(signal.samples, signal.samples + n, workBuffer_.begin());
    warnWeirdTiming("Processing", entry, corrected, steady);
    decode(entry, workBuffer_.data(), n, corrected, steady);
  }
  // Every scheme's reports of the buffer leave together, in the decoders'
  // order, once all have run: the bus then wakes once for them.
  for (DecoderEntry& entry : decoders_) reportDecoded(entry, total);
  signal.decoded = true;
  reportEvent(ProcessingCompleteParams());
  checkNTPRequest();
}

void BaseAudioProcessor::checkNTPRequest() {
  if (!useNTP_) return;
  IProcessorListener* listener = listener_.load();
  if (listener == nullptr) return;
  const int64_t sinceUpdate = timeProvider_->secondsSinceLastReferenceUpdate();
  if (sinceUpdate < ntpInterval_.load()) return;
  // Measured in up time, so that requests stay throttled (and never
  // overflow) while the reference has never been updated.
  const int64_t now = clock_.upTimeMillis() / 1000;
  const int64_t last = lastNTPRequest_.load();
  if (last != kNoRequest && now - last < ntpMinDelay_.load()) return;
  lastNTPRequest_ = now;
  listener->onNTPRequired();
}

void BaseAudioProcessor::pingDecoder() {
  for (DecoderEntry& entry : decoders_) {
    const int64_t steady = clock_.upTimeMillis();
    const int64_t corrected = timeProvider_->getTimeSinceEpoch(steady);
    warnWeirdTiming("Pinging", entry, corrected, steady);
    runDecoder(entry, nullptr, 0, corrected, steady, totalSamples_.load());
  }
}

void BaseAudioProcessor::reportCodewords(PerformanceData& p, const EncodingSchemeInfo& info,
                                         const EchoDecoderDescriptor& descriptor,
                                         int64_t corrected, int64_t steady,
                                         uint64_t totalSamples) {
  const int32_t rateHz = sampleRateHz_.load();
  const int64_t offset = rateHz > 0 ? static_cast<int64_t>(p.cwSampleNo) * 1000 / rateHz : 0;
  auto report = [&](const std::string& ref) {
    const CodewordEventParams event(
        convertSyncStateToConfidence(p.syncState), p.meanVolume, p.meanSignalStrength,
        p.currentVolume, p.currentSignalStrength, convertToConfidence(p.sigConfidence),
        convertToConfidence(p.msgConfidence), p.bitSlicePosSig, p.bitSlicePosMsg, p.nFecErrors,
        p.msgSignalStrength95pc, p.msgVolume, p.msg, p.msgScheme, p.sigScheme, steady - offset,
        corrected - offset, ref, info.codewordOffset, info.codewordDuration,
        static_cast<int64_t>(totalSamples) - p.cwSampleNo);
    reportEvent(event);
  };
  if (p.msg < 0) {
    // A quality report, with nearly every buffer, to one fixed reference.
    static const std::string& kConfidence = *new std::string("CONFIDENCE");  // never destroyed
    if (p.currentSignalStrength >= 0) report(kConfidence);
    return;
  }
  // A decoded word goes to each engine with a range holding it, in the
  // engines' name order; walking the descriptor's sorted engine names
  // builds no set per report.
  const int64_t word = p.msg;
  p.msg = descriptor.transformCodeword(word);
  for (const std::string& ref : descriptor.getEngineRefs()) {
    if (descriptor.codewordInRangeOf(word, ref)) report(ref);
  }
}

}  // namespace tembrolexinsdk
