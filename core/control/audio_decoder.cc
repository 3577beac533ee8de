#include "core/control/audio_decoder.h"

#include <json/json.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <utility>

#include "core/audio/base_audio_processor.h"
#include "core/audio/ios_audio_recorder.h"
#include "core/audio/plugin_loader.h"
#include "core/audio/resampler.h"
#include "core/control/builtin_plugins.h"
#include "core/control/configuration_filter.h"
#include "core/control/controller_settings.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/configuration_parameter.h"
#include "core/runtime/control_messages.h"
#include "core/runtime/core_exceptions.h"
#include "core/runtime/database_recovery.h"
#include "core/runtime/i_consumers.h"
#include "core/runtime/json_configuration.h"
#include "core/runtime/json_text.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/logger.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/message_transformer.h"
#include "core/runtime/messenger.h"
#include "core/runtime/network_time.h"
#include "core/runtime/thread_join.h"
#include "core/runtime/time_text.h"
#include "schema/gps_info.h"
#include "schema/gsm_info.h"

namespace tembrolexinsdk {

namespace {

constexpr int kBusTypes[] = {34, 33, 32, 7, 30};
const char* const kDefaultEngines[] = {"CONTENT", "EVENT2", "HEARTBEAT", "SDKANALYTICS"};
// How long a start waits for the processors' answers to the app's decoder
// descriptors; they take milliseconds, unless a processor's worker ended.
constexpr std::chrono::milliseconds kStartAnswerLimit{3000};

std::string nameOf(const INamedObject* sender) {
  return sender != nullptr ? sender->GetName() : std::string("<Unknown object>");
}

std::string compactJson(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

std::vector<std::string> splitNames(const std::string& text) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string name = text.substr(start, end - start);
    const size_t first = name.find_first_not_of(" \t");
    const size_t last = name.find_last_not_of(" \t");
    if (first != std::string::npos) names.push_back(name.substr(first, last - first + 1));
    start = end + 1;
  }
  return names;
}

// A mistake in the app's set-up that no retry mends by itself: every start
// is refused with its text until the app changes what it set.
class SetupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The names in double quotes, separated by ", "; bytes that are not UTF-8
// escaped (the names may be the app's).
std::string quotedList(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    text += (text.empty() ? "\"" : ", \"") + StringChecker::escapeBytes(name) + "\"";
  }
  return text;
}

}  // namespace

// Runs work that arises on foreign threads (processors, engines, recorders)
// one task at a time under the decoder's control lock, so that those threads
// never wait for it.
class AudioDecoder::ControlThread {
 public:
  ControlThread() : thread_([this] { run(); }) {}
  ~ControlThread() { stop(); }

  void post(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    tasks_.push_back(std::move(task));
    cv_.notify_all();
  }
  // Waits until everything posted before the call has run.
  void drain() {
    std::unique_lock lock(mutex_);
    const uint64_t target = posted_ + tasks_.size();
    if (std::this_thread::get_id() == thread_.get_id()) return;
    cv_.wait(lock, [&] { return done_ >= target || stopping_; });
  }
  // Drops what is still queued and joins the thread.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      tasks_.clear();
      cv_.notify_all();
    }
    // Detached on the control thread itself (an exit() from a call a task
    // made): should it return, it finds the queue stopping and ends.
    joinUnlessSelf(thread_);
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      cv_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
      if (stopping_) return;
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      ++posted_;
      lock.unlock();
      try {
        task();
      } catch (const std::exception& e) {
        logWithLogger<LogLevel::Error>(nullptr, "AudioDecoder control task failed: ", e.what());
      } catch (...) {
        logWithLogger<LogLevel::Error>(nullptr, "AudioDecoder control task failed");
      }
      lock.lock();
      ++done_;
      cv_.notify_all();
    }
  }

  tembrolexin::Mutex mutex_;
  tembrolexin::CondVar cv_;
  std::deque<std::function<void()>> tasks_;
  uint64_t posted_ = 0;  // tasks taken off the queue
  uint64_t done_ = 0;    // tasks finished
  bool stopping_ = false;
  std::thread thread_;
};

// What the controllers report to: the decoder itself, plus, for audio
// controllers, a reset once a failure has ended the controller.
class AudioDecoder::ControllerLink : public IProcessorControllerListener {
 public:
  ControllerLink(AudioDecoder& decoder, bool audio) : decoder_(decoder), audio_(audio) {}
  void onProcessorEvent(const INamedObject* sender, const IProcessorEventParams* params) override {
    decoder_.onProcessorEvent(sender, params);
  }
  void onProcessorStatusChanged(const INamedObject* sender,
                                const IProcessorStatusParams* params) override {
    decoder_.onProcessorStatusChanged(sender, params);
  }
  void onNTPRequired() override { decoder_.onNTPRequired(); }
  void onFailed(const FailureParams& failure) override {
    decoder_.onFailed(failure);
    if (audio_) {
      decoder_.controlThread_->post(
          [this, text = failure.GetDescription()] { decoder_.resetAfterProcessorFailure(text); });
    }
  }
  security::IDataSigner* signer() const override { return decoder_.signer(); }
  void onLogEvent(const INamedObject* sender, const LogParams* params) override {
    decoder_.onLogEvent(sender, params);
  }
  void onDecodersBuilt(const std::string& processorName,
                       const DecoderBuildReport& report) override {
    decoder_.onDecodersBuilt(processorName, report);
  }

 private:
  AudioDecoder& decoder_;
  const bool audio_;
};

// Marks a walk over the engines; the destructor waits for running walks
// before the engines go. Walks may nest (an engine reporting from inside
// processEventParams).
class AudioDecoder::EngineWalk {
 public:
  explicit EngineWalk(const AudioDecoder& decoder) : decoder_(decoder) {
    decoder_.engineWalks_.fetch_add(1);
    ready_ = decoder_.enginesReady_.load(std::memory_order_acquire);
  }
  ~EngineWalk() { decoder_.engineWalks_.fetch_sub(1); }
  explicit operator bool() const { return ready_; }

 private:
  const AudioDecoder& decoder_;
  bool ready_ = false;
};

AudioDecoderEnvironment AudioDecoderEnvironment::platform() {
  builtinplugins::registerAll();
  // One loader for the decoder's life, shared by the two load calls.
  std::shared_ptr<IPluginLoader> loader(createPluginLoader());
  AudioDecoderEnvironment env;
  env.loadAudioPlugins = [loader](const std::string& path, const std::vector<std::string>& names) {
    return loader->loadAudioPlugins(path, names);
  };
  env.loadProcessorPlugins = [loader](const std::string& path,
                                      const std::vector<std::string>& names) {
    return loader->loadProcessorPlugins(path, names);
  };
  env.knowsPlugin = [](const std::string& name) { return isKnownPluginName(name); };
  env.pluginNames = [] { return knownPluginNames(); };
  env.createPlatformRecorder = [] { return createAudioRecorder(); };
  return env;
}

namespace {

// The process-wide decoder once made, and whether it has been shut down.
std::atomic<AudioDecoder*> gInstance{nullptr};
std::atomic<bool> gInstanceShutDown{false};

}  // namespace

AudioDecoder* AudioDecoder::getInstance() {
  // A function-local static: concurrent first callers wait for the one
  // construction instead of seeing null.
  static AudioDecoder* instance = [] {
    auto* made = new AudioDecoder(getMessenger());
    gInstance.store(made);
    if (gInstanceShutDown.load()) made->shutdown();
    return made;
  }();
  return instance;
}

void AudioDecoder::shutdownInstance() {
  gInstanceShutDown.store(true);
  if (AudioDecoder* instance = gInstance.load()) instance->shutdown();
}

AudioDecoder::AudioDecoder(IMessenger* messenger, AudioDecoderEnvironment environment)
    : messenger_(messenger), env_(std::move(environment)) {
  sampleCheck_ = std::make_unique<AudioSampleCheck>([this] { return listening_.load(); },
                                                    *env_.clock, env_.sampleCheckTiming);
  audioLink_ = std::make_unique<ControllerLink>(*this, true);
  genericLink_ = std::make_unique<ControllerLink>(*this, false);
  try {
    Logger::getInstance()->registerMessenger(messenger_);
    loggerRegistered_ = true;
  } catch (const std::exception& e) {
    // Another bus already carries the log; ours stays without it.
    logWithLogger<LogLevel::Debug>(this, "Logger keeps its bus: ", e.what());
  }
  signer_ = std::make_unique<security::DataSigner>(messenger_);
  controlThread_ = std::make_unique<ControlThread>();
  startDeadline_ = std::make_unique<TimedEvent>(
      [this] {
        const uint64_t round = startRound_.load();
        controlThread_->post([this, round] {
          ControlLock lock(controlMutex_);
          if (!startPending_ || round != startRound_.load()) return;
          std::string names;
          for (const std::string& n : unansweredDescriptors())
            names += (names.empty() ? "" : ", ") + n;
          logWithLogger<LogLevel::Warning>(
              this, "startDecoding: no answer to the decoder descriptors of ", names, " within ",
              kStartAnswerLimit.count(), " ms; decoding starts with the decoders that run");
          completeStart(pendingRecord_);
        });
      },
      *env_.clock);
  for (int type : kBusTypes) messenger_->registerListener(type, this);
}

AudioDecoder::~AudioDecoder() {
  shutdown();
  if (loggerRegistered_) Logger::getInstance()->detachMessenger(messenger_);
  messenger_->stop();
}

void AudioDecoder::shutdown() {
  // The first caller does the work; a concurrent one waits for it to end.
  std::lock_guard once(shutdownMutex_);
  if (shutDown_.exchange(true)) return;
  for (int type : kBusTypes) messenger_->unregisterListener(type, this);
  startDeadline_->Cancel();
  controlThread_->stop();
  {
    ControlLock lock(controlMutex_);
    // Long work on their threads (the bundle cache's start-up pass) ends
    // while the rest shuts down; all stop at once and are then waited for in
    // turn.
    for (auto& c : processorControllers_) c->requestStop();
    deferredStart_ = false;
    // An app that stopped already has had its stop; it is not told again.
    if (listening_.load()) stopDecodingLocked();
    resetInternal(/*keepRecorder=*/true);
    processorControllers_.clear();
    genericNames_.clear();
  }
  enginesReady_.store(false);
  while (engineWalks_.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  for (auto& [name, engine] : engines_) engine->stop();
  engines_.clear();
  {
    std::unique_lock capture(captureMutex_);
    sampleCheck_.reset();
  }
  // A feeding thread waiting for a buffer to come free stops waiting.
  leases_.reset(0);
  logWithLogger<LogLevel::Info>(this, "AudioDecoder shut down");
}

void AudioDecoder::registerDecoderListener(IAudioDecoderListener* listener) {
  logWithLogger<LogLevel::Debug>(this, "registerDecoderListener entry, listener = ",
                                 static_cast<const void*>(listener));
  if (listener == nullptr) return;
  std::lock_guard lock(listenerMutex_);
  listeners_.insert(listener);
}

void AudioDecoder::unRegisterDecoderListener(IAudioDecoderListener* listener) {
  logWithLogger<LogLevel::Debug>(this, "unRegisterDecoderListener entry, listener = ",
                                 static_cast<const void*>(listener));
  if (listener == nullptr) return;
  std::lock_guard lock(listenerMutex_);
  listeners_.erase(listener);
}

void AudioDecoder::notifyListeners(const std::function<void(IAudioDecoderListener&)>& call) {
  if (EngineWalk walk{*this}) {
    for (auto& [name, engine] : engines_) {
      if (auto* listener = dynamic_cast<IAudioDecoderListener*>(engine.get())) call(*listener);
    }
  }
  std::lock_guard lock(listenerMutex_);
  for (IAudioDecoderListener* listener : listeners_) call(*listener);
}

bool AudioDecoder::setAvailableSampleRates(unsigned short rates) {
  ControlLock lock(controlMutex_);
  availableRates_ = rates;
  return tryInitialise();
}

bool AudioDecoder::setFilePath(std::string path) {
  ControlLock lock(controlMutex_);
  filePath_ = std::move(path);
  return tryInitialise();
}

bool AudioDecoder::setExternalFilePath(std::string path) {
  ControlLock lock(controlMutex_);
  externalFilePath_ = std::move(path);
  return tryInitialise();
}

bool AudioDecoder::setIdentity(std::string appPackageName, std::string udid) {
  ControlLock lock(controlMutex_);
  appPackageName_ = std::move(appPackageName);
  udid_ = std::move(udid);
  return tryInitialise();
}

bool AudioDecoder::setDeviceId(int deviceId) {
  ControlLock lock(controlMutex_);
  deviceId_.store(deviceId);
  return tryInitialise();
}

bool AudioDecoder::setPlugins(std::vector<std::unique_ptr<IProcessor>> processors,
                              std::vector<std::unique_ptr<IAudioProcessor>> audioProcessors) {
  ControlLock lock(controlMutex_);
  logWithLogger<LogLevel::Debug>(this, "setPlugins");
  appProcessors_ = std::move(processors);
  appAudioProcessors_ = std::move(audioProcessors);
  return tryInitialise();
}

bool AudioDecoder::isInitialised() const {
  std::shared_lock lock(captureMutex_);
  return !audioControllers_.empty();
}

uint64_t AudioDecoder::processorDroppedBuffers(const std::string& processorName) const {
  std::shared_lock lock(captureMutex_);
  for (const auto& c : audioControllers_) {
    if (c->GetName() == processorName) return c->droppedBuffers();
  }
  return 0;
}

bool AudioDecoder::waitingForProcessor(const std::string& processorName) const {
  std::shared_lock lock(captureMutex_);
  for (const auto& c : audioControllers_) {
    if (c->GetName() == processorName) return c->waitingForProcessor();
  }
  return false;
}

SampleRate AudioDecoder::chosenSampleRate() const {
  std::shared_lock lock(captureMutex_);
  return chosenRate_;
}

std::vector<std::string> AudioDecoder::engineNames() const {
  std::vector<std::string> names;
  EngineWalk walk(*this);
  if (!walk) return names;
  for (const auto& [name, engine] : engines_) names.push_back(name);
  return names;
}

std::string AudioDecoder::getAudioProcessorFilePath(const std::string& name) const {
  ControlLock lock(controlMutex_);
  return filePath_ + "/" + name;
}

security::IDataSigner* AudioDecoder::signer() const {
  logWithLogger<LogLevel::Info>(this, "DataSigner. Passing signer. It is ",
                                signer_ ? "not null" : "null");
  return signer_.get();
}

// ---------------------------------------------------------------------------
// Initialisation.

bool AudioDecoder::tryInitialise(bool forStart) {
  if (shutDown_.load()) return false;
  if (isInitialised()) {
    logWithLogger<LogLevel::Warning>(this, "Processor initialization already complete, skipping");
    return true;
  }
  std::string missing;
  if (deviceId_.load() == 0) missing += "Device Id should not be 0\n";
  if (filePath_.empty()) missing += "mFilePath should not be empty.\n";
  if (availableRates_ == 0) missing += "mAvailableSampleRates should not be 0\n";
  if (appPackageName_.empty()) missing += "mAppPackageName should not be empty\n";
  if (udid_.empty()) missing += "mUdid should not be empty\n";
  if (configurationCache_.empty()) missing += "mConfigurationCache should not be empty\n";
  if (!missing.empty()) {
    logWithLogger<LogLevel::Debug>(this, "initialiseProcessors not ready:: \n", missing);
    initialisationFailure_.clear();
    return false;
  }
  // What this attempt applies, for the next one should it fail.
  std::deque<std::unique_ptr<ConfigurationMap>> maps;
  for (const auto& map : configurationCache_) {
    maps.push_back(std::make_unique<ConfigurationMap>(*map));
  }
  try {
    initialiseProcessors();
    if (!initialiseAudio(deferredStart_)) return false;
  } catch (const SetupError& e) {
    // Logged once; the app hears it when it starts.
    if (pluginFailure_ != e.what()) {
      logWithLogger<LogLevel::Error>(this, "AudioDecoder failure: ", e.what());
    }
    pluginFailure_ = e.what();
    initialisationFailure_.clear();
    return false;
  } catch (const std::exception& e) {
    initialisationFailed(e.what(), std::move(maps), forStart || deferredStart_);
    return false;
  }
  lastReportedFailure_.clear();
  initialisationFailure_.clear();
  notifyListeners([](IAudioDecoderListener& l) { l.onInitialisationComplete(); });
  if (deferredStart_) startDecodingLocked(false);
  return true;
}

const IConfigurationParameter* AudioDecoder::cachedValue(const std::string& key) const {
  for (auto it = configurationCache_.rbegin(); it != configurationCache_.rend(); ++it) {
    auto found = (*it)->find(key);
    if (found != (*it)->end()) return found->second;
  }
  return nullptr;
}

void AudioDecoder::initialiseProcessors() {
  logWithLogger<LogLevel::Debug>(this, "Creating key map database");
  // The engines keep the store they were created with, so it is opened once.
  if (!database_) {
    // A damaged file is set aside and the store starts anew: it holds only
    // the completion flags of content actions, which may then run once more.
    const std::string path = filePath_ + "/audiodecoder.db";
    try {
      database_ = DB::openSettingDamageAside(path, "audiodecoder", this);
    } catch (const DB::OpenError& e) {
      throw std::runtime_error(std::string(e.what()) + " (" + path + ": " + e.reason() + ")");
    }
  }
  createEngines();
  loadAllProcessors();
  for (auto& c : audioControllers_) {
    c->SetDeviceId(deviceId_.load());
    c->SetFilePath(filePath_);
  }
  for (auto& c : processorControllers_) {
    c->SetDeviceId(deviceId_.load());
    c->SetFilePath(filePath_);
  }
  while (!configurationCache_.empty()) {
    std::unique_ptr<ConfigurationMap> front = std::move(configurationCache_.front());
    configurationCache_.pop_front();
    updateProcessorsConfigurations(front.get());
  }
}

void AudioDecoder::createEngines() {
  if (enginesReady_.load()) return;
  Json::Value list(Json::arrayValue);
  const IConfigurationParameter* value = cachedValue(kEnginesKey);
  const auto* text = dynamic_cast<const ConfigurationParameter<std::string>*>(value);
  if (value == nullptr) {
    for (const char* type : kDefaultEngines) {
      Json::Value entry(Json::objectValue);
      entry["type"] = type;
      list.append(entry);
    }
  } else if (text == nullptr) {
    // No engine is made, as for text that is no list.
    logWithLogger<LogLevel::Error>(this, "Engine list is not a JSON list: ", kEnginesKey,
                                   " is not a text but ", describeConfigurationValue(value));
  } else {
    std::string problem;
    if (!readWholeJsonValue(text->value, list, &problem) || !list.isArray()) {
      // Text after the list is named with the byte where it starts.
      const bool extra = problem.find(kExtraAfterJsonValue) != std::string::npos;
      logWithLogger<LogLevel::Error>(this, "Engine list is not a JSON list: ",
                                     StringChecker::escapeBytes(text->value),
                                     extra ? " (" + problem + ")" : std::string());
      list = Json::Value(Json::arrayValue);
    }
  }
  std::map<std::string, std::unique_ptr<IEngine>> engines;
  for (const Json::Value& item : list) {
    // The factory skips what it cannot make without a word; say which entry
    // and why.
    const Json::Value type = item.isObject() ? item.get("type", Json::Value()) : Json::Value();
    if (!type.isString()) {
      logWithLogger<LogLevel::Warning>(this, "An entry of ", kEnginesKey,
                                       " has no \"type\" text; it is skipped: ",
                                       compactJson(item));
      continue;
    }
    const std::string name = type.asString();
    if (engines.count(name) != 0) {
      logWithLogger<LogLevel::Warning>(this, "Engine \"", StringChecker::escapeBytes(name),
                                       "\" is listed twice in ", kEnginesKey,
                                       "; the second entry is skipped");
      continue;
    }
    auto entry = JSONMap::mapFromObject(item);
    try {
      IEngine::addEngineForMap(engines, entry.get(), this, messenger_, database_.get());
    } catch (const std::exception& e) {
      logWithLogger<LogLevel::Error>(this, "Engine not created: ", e.what());
      continue;
    }
    if (engines.count(name) == 0) {
      logWithLogger<LogLevel::Warning>(this, "Engine \"", StringChecker::escapeBytes(name),
                                       "\" of ", kEnginesKey,
                                       " matches no engine type; it is not created");
    }
  }
  for (auto& [name, engine] : engines) {
    logWithLogger<LogLevel::Info>(this, "engine created: ", name);
    engine->setFilePath(filePath_);
    // Engines that keep records per app and device (analytics) need both.
    if (auto* identity = dynamic_cast<IIdentityConsumer*>(engine.get())) {
      identity->SetIdentityInfo(appPackageName_, udid_);
    }
  }
  engines_ = std::move(engines);
  enginesReady_.store(true, std::memory_order_release);
}

void AudioDecoder::loadAllProcessors() {
  const IConfigurationParameter* pluginValue = cachedValue(kPluginsKey);
  pluginsChosen_ = pluginValue != nullptr;
  std::string pluginText = kDefaultPlugins;
  // A value of another kind than text names no plug-in.
  std::string notText;
  if (const auto* text = dynamic_cast<const ConfigurationParameter<std::string>*>(pluginValue)) {
    pluginText = text->value;
  } else if (pluginValue != nullptr) {
    pluginText.clear();
    notText = describeConfigurationValue(pluginValue);
    if (pluginFailure_.empty()) {
      logWithLogger<LogLevel::Warning>(this, kPluginsKey, " is not a text but ", notText,
                                       "; it names no plug-in");
    }
  }
  const std::vector<std::string> names = splitNames(pluginText);
  std::vector<std::string> unknown;
  if (env_.knowsPlugin) {
    for (const std::string& name : names) {
      if (!env_.knowsPlugin(name)) {
        unknown.push_back(name);
        // A list that ran nothing is tried again by every setter: once is
        // enough (the failure names them).
        if (!pluginFailure_.empty()) continue;
        logWithLogger<LogLevel::Warning>(this, "Plug-in \"", StringChecker::escapeBytes(name),
                                         "\" of ", kPluginsKey,
                                         " matches no plug-in of this library; it does not run");
      }
    }
  }

  std::vector<std::unique_ptr<IAudioProcessor>> audio;
  if (env_.loadAudioPlugins) audio = env_.loadAudioPlugins(libraryPath_, names);
  for (auto& p : appAudioProcessors_) audio.push_back(std::move(p));
  appAudioProcessors_.clear();
  audio.erase(std::remove(audio.begin(), audio.end(), nullptr), audio.end());
  if (audio.empty()) {
    // Without an audio processor the decoder never initialises: the app
    // would wait for listening for ever.
    std::string text = "No audio plug-in runs: ";
    if (!notText.empty()) {
      text += std::string(kPluginsKey) + " is not a text but " + notText;
    } else if (unknown.empty()) {
      text += std::string(kPluginsKey) + " \"" + StringChecker::escapeBytes(pluginText) +
              "\" names none";
    } else {
      text += quotedList(unknown) + " of " + kPluginsKey +
              (unknown.size() == 1 ? " matches" : " match") + " no plug-in of this library";
    }
    if (env_.pluginNames) text += "; the plug-ins are " + quotedList(env_.pluginNames());
    throw SetupError(text);
  }
  pluginFailure_.clear();
  std::vector<IAudioProcessor*> all;
  for (auto& p : audio) all.push_back(p.get());
  for (auto& p : audio) {
    if (auto* hybrid = dynamic_cast<IHybridAudioProcessor*>(p.get())) hybrid->combineWith(all);
  }
  for (auto& p : audio) {
    const std::string version = p->GetVersion();
    logWithLogger<LogLevel::Debug>(this, "loaded audio processor; ", p->GetName(), ", ", version);
    requiredRates_ |= p->GetPreferredSampleRate();
    processorRates_.emplace_back(p->GetName(), p->GetPreferredSampleRate());
    if (dynamic_cast<BaseAudioProcessor*>(p.get()) != nullptr) {
      std::lock_guard lock(buildMutex_);
      buildReporters_.insert(p->GetName());
    }
    auto controller = std::make_unique<AudioProcessorController>(
        std::move(p), audioLink_.get(), messenger_, appPackageName_, udid_, *env_.clock,
        env_.processorStallLimit);
    AudioProcessorController* sender = controller.get();
    {
      std::unique_lock lock(captureMutex_);
      audioControllers_.push_back(std::move(controller));
    }
    const GenericStatusParams status({"VER " + version});
    onProcessorStatusChanged(sender, &status);
  }
  logWithLogger<LogLevel::Info>(this, "number of audio processors: ", audioControllers_.size());
  Resampler::LogSampleRates(this, "audio processors preferred sample rates:", requiredRates_);

  // Each with what the app knows it by: its plug-in's name (loaded one name
  // at a time for that), or the name of a processor of the app's. The
  // plug-ins' ones are loaded once: they outlive a reset, so an
  // initialisation tried again after one that failed keeps them.
  std::vector<std::pair<std::string, std::unique_ptr<IProcessor>>> generic;
  if (env_.loadProcessorPlugins && processorControllers_.empty()) {
    for (const std::string& name : names) {
      for (auto& p : env_.loadProcessorPlugins(libraryPath_, {name})) {
        generic.emplace_back(quotedList({name}), std::move(p));
      }
    }
  }
  for (auto& p : appProcessors_) {
    if (p) generic.emplace_back("the app's " + quotedList({p->GetName()}), std::move(p));
  }
  appProcessors_.clear();
  for (auto& [known, p] : generic) {
    if (!p) continue;
    logWithLogger<LogLevel::Debug>(this, "loaded generic processor; ", p->GetName());
    processorControllers_.push_back(std::make_unique<ProcessorController>(
        std::move(p), genericLink_.get(), messenger_, appPackageName_, udid_));
    genericNames_.push_back(known);
  }
}

bool AudioDecoder::initialiseAudio(bool forStart) {
  if (!isInitialised()) {
    logWithLogger<LogLevel::Debug>(
        this, "Processor initialization not yet complete, required before audio initialisation");
    return false;
  }
  unsigned short available = 0;
  {
    std::unique_lock lock(captureMutex_);
    if (!recorder_) {
      if (!forStart) {
        logWithLogger<LogLevel::Debug>(this, "the platform recorder is set up when decoding starts");
        return true;
      }
      if (!env_.createPlatformRecorder) throw std::runtime_error("No audio recorder available");
      recorder_ = env_.createPlatformRecorder();
      customRecorder_ = false;
      logWithLogger<LogLevel::Info>(this, "using real audio recorder");
    }
  }
  recorder_->initialise(this);
  recorder_->setup(kCaptureBuffers);
  recorder_->setFilePath(filePath_);
  available = recorder_->getAvailableSampleRates(availableRates_);
  availableRates_ = available;
  Resampler::LogSampleRates(this, "available sample rates:", availableRates_);
  notifyListeners([available](IAudioDecoderListener& l) { l.onAudioSupport(available); });

  unsigned short frames = 0;
  SampleRate rate = Resampler::ChooseSampleRateAndBufferFrames(requiredRates_, availableRates_,
                                                               frames);
  if (rate == SampleRate_NotAvailable) rate = SampleRate_8000;
  // An app-fed recorder delivers its own rate, whatever is chosen.
  const SampleRate from = customRecorder_ ? static_cast<SampleRate>(available) : rate;
  rateFailure_.clear();
  std::string unreachable;
  std::size_t reachable = 0;
  for (const auto& [name, need] : processorRates_) {
    if (Resampler::CanConvertSampleRate(from, need)) {
      ++reachable;
      continue;
    }
    unreachable += (unreachable.empty() ? "" : "; ") + std::string("The recorder's ") +
                   std::to_string(Resampler::ConvertSampleRateToHzInt(from)) +
                   " Hz cannot be converted to the " +
                   std::to_string(Resampler::ConvertSampleRateToHzInt(need)) +
                   " Hz of the plug-in \"" + name + "\"";
  }
  // A plug-in the app chose must run; of the default list, those the
  // recorder can feed run (an 8 kHz recorder feeds the 8 kHz ones).
  if (!unreachable.empty() && (pluginsChosen_ || reachable == 0)) {
    rateFailure_ = unreachable;
    logWithLogger<LogLevel::Error>(this, rateFailure_);
  } else if (!unreachable.empty()) {
    logWithLogger<LogLevel::Warning>(this, unreachable, "; it decodes nothing");
  }
  logWithLogger<LogLevel::Info>(this, "creating AudioRecorder with ",
                                Resampler::ConvertSampleRateToString(rate), " sample rate and ",
                                frames, " buffer frames");
  {
    // The capture path skips buffers while there is no meter.
    std::unique_lock lock(captureMutex_);
    meter_.reset();
  }
  // Outside the capture lock: an app-fed recorder waits here for deliveries
  // in progress, which take that lock.
  recorder_->createRecorder(rate, frames);
  std::unique_lock lock(captureMutex_);
  leases_.reset(kCaptureBuffers);
  sampleCheck_->setSampleRateAndBufferFrames(rate, frames);
  for (auto& c : audioControllers_) c->SetAudioParameters(rate, frames);
  meter_ = std::make_unique<VolumeMeasurer>(rate);
  chosenRate_ = rate;
  bufferFrames_ = frames;
  return true;
}

// ---------------------------------------------------------------------------
// Start, stop, failure.

void AudioDecoder::startDecoding(bool recordToFile) {
  ControlLock lock(controlMutex_);
  startDecodingLocked(recordToFile);
}

void AudioDecoder::startDecodingLocked(bool recordToFile) {
  if (shutDown_.load()) {
    logWithLogger<LogLevel::Warning>(this, "startDecoding refused: the decoder has shut down");
    return;
  }
  if (!isInitialised() && !tryInitialise(/*forStart=*/true)) {
    // The initialisation failed just now, and its failure answered.
    if (!initialisationFailure_.empty()) return;
    if (!pluginFailure_.empty()) {
      notifyListeners([this](IAudioDecoderListener& l) { l.onFailed(FailureParams(pluginFailure_)); });
      return;
    }
    // A failure (a capture device that did not open as decoding started)
    // reset the decoder, and the configurations it had went with it: no
    // start can be carried out until new ones come, so this one hears that
    // failure rather than nothing.
    if (!lastReportedFailure_.empty()) {
      const std::string text = lastingFailure();
      notifyListeners([&text](IAudioDecoderListener& l) { l.onFailed(FailureParams(text)); });
      return;
    }
    deferredStart_ = true;
    return;
  }
  deferredStart_ = false;
  try {
    if (!audioReady()) initialiseAudio(/*forStart=*/true);
  } catch (const std::exception& e) {
    fail(e.what(), nullptr);
    return;
  }
  // The processors build their decoders from the app's descriptors as they
  // get them: the start is decided once each has answered, so that a refusal
  // is heard instead of startedListening. The wait holds no lock.
  if (!listening_.load()) {
    const std::vector<std::string> waiting = unansweredDescriptors();
    if (!waiting.empty()) {
      pendingRecord_ = pendingRecord_ || recordToFile;
      if (!startPending_) {
        startPending_ = true;
        startRound_.fetch_add(1);
        std::string names;
        for (const std::string& n : waiting) names += (names.empty() ? "" : ", ") + n;
        logWithLogger<LogLevel::Debug>(this, "startDecoding waits for the decoders of ", names);
        startDeadline_->DoEventAfter(kStartAnswerLimit);
      }
      return;
    }
  }
  completeStart(recordToFile || pendingRecord_);
}

void AudioDecoder::completeStart(bool recordToFile) {
  startPending_ = false;
  pendingRecord_ = false;
  updateDecodeFailure();
  if (const std::string refusal = startRefusal(); !refusal.empty()) {
    logWithLogger<LogLevel::Info>(this, "startDecoding refused: ", refusal);
    notifyListeners([&refusal](IAudioDecoderListener& l) { l.onFailed(FailureParams(refusal)); });
    return;
  }
  logWithLogger<LogLevel::Debug>(this, "startDecoding entry(", recordToFile ? "true" : "false",
                                 ")");
  recordAudio_ = recordAudio_ || recordToFile;
  {
    std::unique_lock capture(captureMutex_);
    if (recordAudio_ && !recordingToFile_) {
      const std::string path =
          externalFilePath_ + "/AudioSamples" + "_" +
          Resampler::ConvertSampleRateToString(chosenRate_) + "_" +
          tembrolexin::TimeUtilities::formatIntoString(env_.clock->wallMicros() / 1000,
                                                       "%Y_%m_%d_%H_%M_%S",
                                                       tembrolexin::TimeUtilities::kUTC) +
          ".raw";
      logWithLogger<LogLevel::Info>(this, "Start Recording to file: ", path);
      rawFile_.open(path, std::ios::binary | std::ios::trunc);
      if (!rawFile_.is_open()) {
        logWithLogger<LogLevel::Warning>(this, "Couldn't open file to record to.");
        rawFile_.clear();
      } else {
        recordingToFile_ = true;
      }
    }
  }
  try {
    // The controllers start first: a source that delivers at once (a file
    // read as fast as it is decoded) must not meet a controller that is
    // still idle, which drops what it gets.
    for (auto& c : audioControllers_) c->Start();
    recorder_->startRecording();
    if (!listening_.load()) notifyListeners([](IAudioDecoderListener& l) { l.onStartListening(); });
    listening_.store(true);
    sendStartStop(0);
  } catch (const MicUnavailableException& e) {
    logWithLogger<LogLevel::Warning>(this, "stateListening: Exception: ", e.what());
    for (auto& c : audioControllers_) c->Stop();
    try {
      recorder_->stopRecording();
    } catch (const std::exception& stopError) {
      logWithLogger<LogLevel::Warning>(this, "stopRecording: ", stopError.what());
    }
  } catch (const std::exception& e) {
    // A recorder that does not start among them: fail logs it, once.
    fail(e.what(), nullptr);
  }
}

std::string AudioDecoder::lastingFailure() const {
  if (processorControllers_.empty()) return lastReportedFailure_;
  // The generic controllers outlive the reset and take every configuration
  // from then on, so none is cached to initialise with again.
  std::string names;
  for (const std::string& name : genericNames_) names += (names.empty() ? "" : ", ") + name;
  return lastReportedFailure_ +
         "; the decoder cannot initialise again in this process while a generic processor is "
         "loaded (" +
         names + "); start the process again once the cause is mended";
}

void AudioDecoder::sendStartStop(int state) {
  const StartStopDecodingMsg message(state);
  onProcessorEvent(this, &message);
}

void AudioDecoder::stopAllProcessors() {
  // A start still waiting for the processors' answers is called off.
  startPending_ = false;
  pendingRecord_ = false;
  for (auto& c : audioControllers_) c->Stop();
  bool closed = false;
  {
    std::unique_lock capture(captureMutex_);
    if (recordingToFile_) {
      rawFile_.close();
      recordingToFile_ = false;
      closed = true;
    }
  }
  if (closed) logWithLogger<LogLevel::Info>(this, "stop Recording to file");
  if (listening_.load()) notifyListeners([](IAudioDecoderListener& l) { l.onStopListening(); });
  listening_.store(false);
}

void AudioDecoder::stopDecoding() {
  ControlLock lock(controlMutex_);
  stopDecodingLocked();
}

void AudioDecoder::stopDecodingLocked() {
  stopAllProcessors();
  sendStartStop(1);
  stopListeningInternal();
  sendStartStop(2);
}

void AudioDecoder::pauseDecoding() {
  ControlLock lock(controlMutex_);
  stopAllProcessors();
  sendStartStop(1);
}

void AudioDecoder::stopListeningInternal() {
  ControlLock lock(controlMutex_);
  if (!recorder_) return;
  try {
    recorder_->stopRecording();
  } catch (const std::exception& e) {
    logWithLogger<LogLevel::Warning>(this, "stopRecording: ", e.what());
  }
}

void AudioDecoder::prepareData() {
  ControlLock lock(controlMutex_);
  for (auto& c : audioControllers_) c->PrepareData();
}

void AudioDecoder::fail(const std::string& description, const std::exception* exception) {
  const FailureParams failure =
      exception != nullptr ? FailureParams(exception) : FailureParams(description);
  // Every configuration map after a failure initialises again, and a cause
  // that stays (a capture device that is not there) fails again: the
  // listeners hear each failure once, until the decoder has initialised.
  if (failure.GetDescription() != lastReportedFailure_) {
    lastReportedFailure_ = failure.GetDescription();
    notifyListeners([&failure](IAudioDecoderListener& l) { l.onFailed(failure); });
    logWithLogger<LogLevel::Error>(this, "AudioDecoder failure: ", description);
  } else {
    logWithLogger<LogLevel::Debug>(this, "AudioDecoder failure again (reported before): ",
                                   description);
  }
  stopDecodingLocked();
  resetInternal();
}

void AudioDecoder::initialisationFailed(const std::string& description,
                                        std::deque<std::unique_ptr<ConfigurationMap>> maps,
                                        bool startWaits) {
  // As a plug-in list that runs nothing: logged once (every map and setter
  // tries again), heard by each start it fails.
  if (description != initialisationFailure_) {
    logWithLogger<LogLevel::Error>(this, "AudioDecoder failure: ", description);
  } else {
    logWithLogger<LogLevel::Debug>(this, "AudioDecoder failure again (logged before): ",
                                   description);
  }
  initialisationFailure_ = description;
  if (startWaits) {
    notifyListeners([&description](IAudioDecoderListener& l) {
      l.onFailed(FailureParams(description));
    });
  }
  // An app-fed recorder stays installed for the next attempt: the app feeds
  // it, and the microphone must not take its place. Nothing has started it.
  std::unique_ptr<IAudioRecorder> appRecorder;
  if (customRecorder_) {
    std::unique_lock capture(captureMutex_);
    appRecorder = std::move(recorder_);
    customRecorder_ = false;
  }
  // Controllers this attempt made go here, before the recorder they read.
  stopDecodingLocked();
  resetInternal();
  if (appRecorder) {
    std::unique_lock capture(captureMutex_);
    recorder_ = std::move(appRecorder);
    customRecorder_ = true;
  }
  // The maps stay for the next attempt (a full disk may have room by then).
  configurationCache_ = std::move(maps);
}

std::unique_lock<tembrolexin::SharedMutex> AudioDecoder::quietCapture() {
  if (recorder_) {
    try {
      recorder_->stopRecording();
    } catch (const std::exception& e) {
      logWithLogger<LogLevel::Warning>(this, "stopRecording: ", e.what());
    }
  }
  return std::unique_lock<tembrolexin::SharedMutex>(captureMutex_);
}

void AudioDecoder::resetInternal(bool keepRecorder) {
  logWithLogger<LogLevel::Info>(this, "resetting AudioDecoder state");
  std::vector<std::unique_ptr<AudioProcessorController>> controllers;
  std::unique_ptr<IAudioRecorder> recorder;
  {
    auto capture = quietCapture();
    controllers = std::move(audioControllers_);
    audioControllers_.clear();
    recorder = std::move(recorder_);
    customRecorder_ = false;
    meter_.reset();
    if (recordingToFile_) rawFile_.close();
    recordingToFile_ = false;
    chosenRate_ = SampleRate_NotAvailable;
    bufferFrames_ = 0;
  }
  // The controllers' queued buffers point into the recorder's: they go first.
  controllers.clear();
  if (keepRecorder && recorder) {
    std::unique_lock capture(captureMutex_);
    retiredRecorders_.push_back(std::move(recorder));
  }
  recorder.reset();
  configurationCache_.clear();
  requiredRates_ = 0;
  processorRates_.clear();
  {
    std::lock_guard lock(buildMutex_);
    buildReporters_.clear();
    decodersBuilt_.clear();
  }
  appDescriptors_.clear();
  disabledProcessors_.clear();
  startPending_ = false;
  pendingRecord_ = false;
  rateFailure_.clear();
  decodeFailure_.clear();
  listening_.store(false);
  deferredStart_ = false;
  logWithLogger<LogLevel::Info>(this, "AudioDecoder reset complete");
}

void AudioDecoder::resetAfterProcessorFailure(const std::string& failure) {
  ControlLock lock(controlMutex_);
  bool ended = false;
  for (auto& c : audioControllers_) {
    ended = ended || c->state() == AudioProcessorController::StateId::Done;
  }
  if (!ended) return;
  logWithLogger<LogLevel::Error>(this, "AudioDecoder failure: an audio processor has stopped");
  stopDecodingLocked();
  resetInternal();
  // Without a generic processor the next map initialises again and carries
  // out a start kept until then; with one, no map is cached any more, so a
  // start is answered with this failure instead of being kept for ever.
  if (!processorControllers_.empty()) lastReportedFailure_ = failure;
}

bool AudioDecoder::useCustomRecorder(std::unique_ptr<IAudioRecorder> recorder) {
  ControlLock lock(controlMutex_);
  if (shutDown_.load()) {
    logWithLogger<LogLevel::Warning>(this, "Custom recorder refused: the decoder has shut down");
    // Kept, not destroyed: the app may already feed it.
    std::unique_lock capture(captureMutex_);
    if (recorder) retiredRecorders_.push_back(std::move(recorder));
    return false;
  }
  logWithLogger<LogLevel::Info>(this, "Installing custom recorder");
  stopAllProcessors();
  std::unique_ptr<IAudioRecorder> old;
  {
    auto capture = quietCapture();
    old = std::move(recorder_);
    recorder_ = std::move(recorder);
    customRecorder_ = recorder_ != nullptr;
    meter_.reset();
    chosenRate_ = SampleRate_NotAvailable;
    bufferFrames_ = 0;
  }
  // Buffers of the old recorder may still wait in the controllers' queues.
  for (unsigned i = 0; i < leases_.size(); ++i) {
    if (!leases_.awaitFree(i, env_.bufferWaitLimit)) {
      logWithLogger<LogLevel::Warning>(this, "Old recorder kept: its buffers are still read");
      std::unique_lock capture(captureMutex_);
      retiredRecorders_.push_back(std::move(old));
      break;
    }
  }
  old.reset();
  if (!isInitialised()) return tryInitialise();
  try {
    return initialiseAudio(/*forStart=*/false);
  } catch (const std::exception& e) {
    fail(e.what(), nullptr);
    return false;
  }
}

// ---------------------------------------------------------------------------
// The capture path.

bool AudioDecoder::isBufferFree(unsigned char index) { return leases_.isFree(index); }

bool AudioDecoder::awaitBufferFree(unsigned char index, std::chrono::milliseconds limit) {
  return leases_.awaitFree(index, limit);
}

void AudioDecoder::recorderCallback(
    unsigned char index, std::chrono::steady_clock::time_point steadyTime,
    std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds> systemTime) {
  bool waitForNext = false;
  try {
    std::shared_lock capture(captureMutex_);
    if (!recorder_ || !meter_ || audioControllers_.empty()) {
      // Controllers taken away by a reset or shutdown may still read the
      // buffers queued to them while they end: the caller must not refill
      // the next one before it is free.
      capture.unlock();
      awaitNextBuffer(index);
      return;
    }
    const short* samples = recorder_->getShortBuffer(index);
    if (samples == nullptr) return;
    const unsigned short frames = bufferFrames_;
    CaptureBufferLeases* leases = &leases_;
    for (auto& c : audioControllers_) {
      const unsigned generation = leases->acquire(index);
      c->ProcessBuffer(samples, frames, steadyTime, systemTime,
                       [leases, index, generation] { leases->release(index, generation); });
    }
    if (recordingToFile_) {
      rawFile_.write(reinterpret_cast<const char*>(samples),
                     static_cast<std::streamsize>(frames) * 2);
    }
    sampleCheck_->samplesReceived(frames);
    sampleCheck_->setSampleRateAndBufferFrames(chosenRate_, frames);
    meter_->ProcessBuffer(samples, frames);
    const AudioIntegrity integrity = meter_->getAudioIntegrityCheck();
    const int64_t t = systemTime.time_since_epoch().count() / 1000;
    const double step = 1000.0 / Resampler::ConvertSampleRateToHzInt(chosenRate_);
    AudioSignal signal;
    signal.audioLevel = meter_->getCurrentVolume();
    signal.firstInvalidSample =
        integrity.firstIndex < 0 ? -1
                                 : t + static_cast<int64_t>(integrity.firstIndex * step);
    signal.lastInvalidSample =
        integrity.lastIndex < 0 ? -1 : t + static_cast<int64_t>(integrity.lastIndex * step);
    signal.numberInvalidSamples = integrity.length;
    signal.repeatedBuffer = integrity.repeatedBuffer;
    signal.systemTimeStamp = t;
    messenger_->send(name_, ThriftParamsFactory::createThriftParams(signal));
    waitForNext = customRecorder_;
  } catch (const std::exception& e) {
    logWithLogger<LogLevel::Error>(this, "recorderCallback: ", e.what());
    return;
  }
  // An app-fed recorder fills the buffers in turn: its caller waits until the
  // next one is no longer read, so feeding runs at the decoder's pace.
  if (waitForNext) awaitNextBuffer(index);
}

void AudioDecoder::awaitNextBuffer(unsigned char index) {
  const unsigned count = leases_.size();
  if (count == 0) return;
  // With three buffers or more, a wait lasts until two are free (see
  // CaptureBufferLeases::awaitFree): one thread wake-up per two buffers.
  const unsigned then = count >= 3 ? (index + 2u) % count : (index + 1u) % count;
  if (!leases_.awaitFree((index + 1u) % count, env_.bufferWaitLimit, then)) {
    droppedBuffers_.fetch_add(1);
    logWithLogger<LogLevel::Warning>(this, "Capture buffer still in use after ",
                                     env_.bufferWaitLimit.count(), " ms");
  }
}

void AudioDecoder::audioSessionCallback(InterruptionState state) {
  controlThread_->post([this, state] {
    ControlLock lock(controlMutex_);
    switch (state) {
      case InterruptionBegan:
        logWithLogger<LogLevel::Info>(this, " AudioSessionBeginInterruption");
        stopAllProcessors();
        sendStartStop(1);
        break;
      case InterruptionEnded:
        logWithLogger<LogLevel::Info>(this, " AudioSessionEndInterruption");
        startDecodingLocked(false);
        break;
      default:
        logWithLogger<LogLevel::Assert>(this, "Unrecognised AudioSessionInterruption type");
        break;
    }
  });
}

void AudioDecoder::waitForControlTasks() { controlThread_->drain(); }

// ---------------------------------------------------------------------------
// Events, status, failures, log.

void AudioDecoder::onProcessorEvent(const INamedObject* sender,
                                    const IProcessorEventParams* params) {
  if (params == nullptr || internalHandling(params)) return;
  const IProcessorEventParams* current = params;
  if (EngineWalk walk{*this}) {
    for (auto& [name, engine] : engines_) {
      current = engine->processEventParams(current);
      if (current == nullptr) return;
    }
  }
  const std::string senderName = nameOf(sender);
  if (auto message = MessageTransformer::transform(senderName, current)) {
    messenger_->send(senderName, std::move(message));
    return;
  }
  notifyListeners(
      [&senderName, current](IAudioDecoderListener& l) { l.onProcessorEvent(senderName, current); });
}

bool AudioDecoder::internalHandling(const IProcessorEventParams* params) {
  if (ProcessingCompleteParams::Cast(params) != nullptr) return true;
  const char* keys[2] = {nullptr, nullptr};
  std::string text;
  if (const auto* p = EventEngine2Priority::Cast(params)) {
    keys[0] = "tembrolexin_DB_EventEngineSequences";
    keys[1] = "tembrolexin_EchoMod_EventEngineSequences";
    text = p->getPriorities();
  } else if (const auto* h = HeartbeatPriority::Cast(params)) {
    keys[0] = "tembrolexin_DB_CandidateStations";
    keys[1] = "tembrolexin_EchoMod_CandidateStations";
    text = h->getPriorities();
  } else {
    return false;
  }
  auto map = std::make_unique<ConfigurationMap>();
  const ConfigurationParameter<std::string> value(text);
  map->set(keys[0], &value);
  map->set(keys[1], &value);
  postConfiguration(std::move(map));
  return true;
}

void AudioDecoder::postConfiguration(std::unique_ptr<ConfigurationMap> map) {
  std::shared_ptr<ConfigurationMap> shared(std::move(map));
  controlThread_->post([this, shared] {
    ControlLock lock(controlMutex_);
    configureLocked(shared.get());
  });
}

void AudioDecoder::onProcessorStatusChanged(const INamedObject* sender,
                                            const IProcessorStatusParams* params) {
  if (auto message = MessageTransformer::transform(params)) {
    messenger_->send(nameOf(sender), std::move(message));
  }
}

void AudioDecoder::onNTPRequired() {
  notifyListeners([](IAudioDecoderListener& l) { l.onNTPRequired(); });
}

void AudioDecoder::onFailed(const FailureParams& failure) {
  const FailureParams copy(failure);
  notifyListeners([&copy](IAudioDecoderListener& l) { l.onFailed(copy); });
}

void AudioDecoder::onLogEvent(const INamedObject* sender, const LogParams* params) {
  Logger::getInstance()->Log(nameOf(sender), params);
}

std::string AudioDecoder::startRefusal() const {
  if (!pluginFailure_.empty()) return pluginFailure_;
  if (!rateFailure_.empty()) return rateFailure_;
  return decodeFailure_;
}

void AudioDecoder::onDecodersBuilt(const std::string& processorName,
                                   const DecoderBuildReport& report) {
  {
    std::lock_guard lock(buildMutex_);
    decodersBuilt_[processorName] = report;
  }
  controlThread_->post([this] {
    ControlLock lock(controlMutex_);
    checkDecodersBuilt();
  });
}

std::vector<std::string> AudioDecoder::unansweredDescriptors() const {
  std::vector<std::string> names;
  std::lock_guard lock(buildMutex_);
  for (const auto& [name, value] : appDescriptors_) {
    if (buildReporters_.count(name) == 0 || disabledProcessors_.count(name) != 0) continue;
    const auto it = decodersBuilt_.find(name);
    if (it == decodersBuilt_.end() || it->second.answers != value) names.push_back(name);
  }
  return names;
}

std::string AudioDecoder::decoderRefusal() const {
  std::map<std::string, DecoderBuildReport> builds;
  {
    std::lock_guard lock(buildMutex_);
    builds = decodersBuilt_;
  }
  std::string appRefused;
  std::string refused;
  bool allKnown = true;
  bool anyRuns = false;
  for (const auto& c : audioControllers_) {
    const std::string& name = c->GetName();
    const auto it = builds.find(name);
    if (it == builds.end()) {
      allKnown = false;  // not built yet, or never told: it may decode
      continue;
    }
    const DecoderBuildReport& build = it->second;
    const auto app = appDescriptors_.find(name);
    const bool answersApp = app != appDescriptors_.end() && build.answers == app->second;
    if (answersApp && !build.unreadable.empty()) {
      // The app's value is no descriptor list: refused as a whole, whatever
      // the processor still runs.
      appRefused += std::string(appRefused.empty() ? "" : "; ") + "No decoder of \"" + name +
                    "_DecoderDescriptors\" runs: the value is not a list of decoder descriptors (" +
                    build.unreadable + ")";
      continue;
    }
    anyRuns = anyRuns || build.built > 0;
    if (build.built > 0 || build.refusals.empty()) continue;
    refused += (refused.empty() ? "" : "; ") + build.refusals;
    // The app's own value, answered, with nothing of it running: its
    // mistake, whatever the other processors run.
    if (build.fromConfiguration && answersApp) {
      appRefused += std::string(appRefused.empty() ? "" : "; ") + "No decoder of \"" + name +
                    "_DecoderDescriptors\" runs: the decoding core refused every scheme "
                    "configuration (" +
                    build.refusals + ")";
    }
  }
  if (!appRefused.empty()) return appRefused;
  if (allKnown && !anyRuns && !refused.empty()) {
    return "No decoder runs: the decoding core refused every scheme configuration (" + refused +
           ")";
  }
  return "";
}

bool AudioDecoder::updateDecodeFailure() {
  const std::string text = decoderRefusal();
  if (text == decodeFailure_) return false;
  decodeFailure_ = text;
  if (text.empty()) return false;
  logWithLogger<LogLevel::Error>(this, "AudioDecoder failure: ", text);
  return true;
}

void AudioDecoder::checkDecodersBuilt() {
  const bool news = updateDecodeFailure();
  if (startPending_) {
    if (unansweredDescriptors().empty()) completeStart(pendingRecord_);
    return;
  }
  // Listening without a decoder would never bring a word.
  if (news && listening_.load()) {
    const std::string text = decodeFailure_;
    notifyListeners([&text](IAudioDecoderListener& l) { l.onFailed(FailureParams(text)); });
    stopDecodingLocked();
  }
}

// ---------------------------------------------------------------------------
// Configuration and bus messages.

void AudioDecoder::configure(const ConfigurationMap* map) {
  ControlLock lock(controlMutex_);
  configureLocked(map);
}

void AudioDecoder::configure(std::unique_ptr<ConfigurationMapSignal> signal) {
  if (!signal || signal->target != ConfigTarget::Target_Cpp) return;
  auto map = ThriftConversions::convert(*signal);
  configure(map.get());
}

void AudioDecoder::configureLocked(const ConfigurationMap* map) {
  if (shutDown_.load()) return;
  if (map == nullptr) {
    updateProcessorsConfigurations(nullptr);
    return;
  }
  auto copy = std::make_unique<ConfigurationMap>(*map);
  if (updateProcessorsConfigurations(copy.get())) return;
  configurationCache_.push_back(std::move(copy));
  tryInitialise();
}

bool AudioDecoder::updateProcessorsConfigurations(const ConfigurationMap* map) {
  if (map == nullptr) {
    logWithLogger<LogLevel::Debug>(this, "Empty configuration for AudioDecoder, ignoring");
    return false;
  }
  if (processorControllers_.empty() && audioControllers_.empty()) return false;
  for (const auto& [key, value] : *map) {
    if (key.rfind("tembrolexin_RecordAudio", 0) != 0 ||
        key.find("*_meta_*") != std::string::npos) {
      continue;
    }
    if (const auto* flag = dynamic_cast<const ConfigurationParameter<bool>*>(value)) {
      logWithLogger<LogLevel::Debug>(this, "Recording to file: ", flag->value);
      recordAudio_ = flag->value;
    }
  }
  if (EngineWalk walk{*this}) {
    for (auto& [name, engine] : engines_) {
      // The filtered copy is ours: it goes when the call returns.
      auto filtered = filterConfigMap(map, name);
      try {
        engine->Configure(&filtered->parameters());
      } catch (const std::exception& e) {
        logWithLogger<LogLevel::Error>(this, "Configure of engine ", name, ": ", e.what());
      }
    }
  }
  for (auto& c : audioControllers_) {
    auto filtered = filterConfigMap(map, c->GetName());
    noteProcessorSettings(c->GetName(), *filtered);
    c->Configure(std::move(filtered));
  }
  for (auto& c : processorControllers_) c->Configure(filterConfigMap(map, c->GetName()));
  return true;
}

void AudioDecoder::noteProcessorSettings(const std::string& name, const ConfigurationMap& map) {
  // As the processor answers them (a value of another kind than text is
  // refused), and a switched-off processor passes no configuration on.
  const auto value = map.find(name + "_DecoderDescriptors");
  if (value != map.end()) {
    appDescriptors_[name] = BaseAudioProcessor::descriptorAnswer(value->second);
  }
  switch (controllersettings::enabledSetting(map, name)) {
    case controllersettings::Enabled::kDisabled:
      disabledProcessors_.insert(name);
      break;
    case controllersettings::Enabled::kEnabled:
      disabledProcessors_.erase(name);
      break;
    default:
      break;
  }
}

void AudioDecoder::onReceive(const std::string&, const ThriftParams& params) {
  try {
    switch (params.getMsgType()) {
      case 7: {
        auto msg = ThriftParamsFactory::readThriftParams<PowerDetectorMsg>(params);
        if (!msg) return;
        ControlLock lock(controlMutex_);
        for (auto& c : audioControllers_) c->updatePowerDetectorStatus(msg->powerDetectorMsgStatus);
        return;
      }
      case 30:
        configure(ThriftParamsFactory::readThriftParams<ConfigurationMapSignal>(params));
        return;
      case 32: {
        auto msg = ThriftParamsFactory::readThriftParams<GPSInfoSignal>(params);
        if (!msg) return;
        auto info = std::make_shared<const GPSInfo>(msg->longitude, msg->latitude);
        ControlLock lock(controlMutex_);
        for (auto& c : audioControllers_) c->UpdateGPSInfo(info);
        return;
      }
      case 33: {
        auto msg = ThriftParamsFactory::readThriftParams<GSMInfoSignal>(params);
        if (!msg) return;
        auto info = std::make_shared<const GSMInfo>(msg->countryCode, msg->network,
                                                    static_cast<uint32_t>(msg->LAC),
                                                    static_cast<uint32_t>(msg->CId));
        ControlLock lock(controlMutex_);
        for (auto& c : audioControllers_) c->UpdateGSMInfo(info);
        return;
      }
      case 34:
        updateNTPInfo(ThriftParamsFactory::readThriftParams<NTPInfoSignal>(params));
        return;
      default:
        return;
    }
  } catch (const std::exception& e) {
    // A message that does not read back as its type is ignored.
    logWithLogger<LogLevel::Warning>(this, "Unreadable message of type ", params.getMsgType(),
                                     ": ", e.what());
  }
}

void AudioDecoder::updateNTPInfo(std::unique_ptr<NTPInfoSignal> signal) {
  ControlLock lock(controlMutex_);
  if (!signal || signal->rawNTP.empty()) {
    logWithLogger<LogLevel::Warning>(this, signal ? "NTP Failed: rawNTP string was empty"
                                                  : "Received null NtpInfoSignal object, ignoring");
    for (auto& c : audioControllers_) c->NTPFailed();
    return;
  }
  auto ntp = std::make_shared<const NTPInfo>(signal->inElapsedRealTime,
                                             signal->inTransmitTimestamp,
                                             signal->inRoundTripDelay, signal->inDrift,
                                             signal->upTimeMillis);
  // A short packet is padded with zeros rather than read past its end.
  std::array<unsigned char, RawNTPInfo::kPacketSize> packet{};
  std::copy_n(signal->rawNTP.begin(), std::min(signal->rawNTP.size(), packet.size()),
              packet.begin());
  auto raw = std::make_shared<const RawNTPInfo>(packet.data(), signal->upTimeMillis);
  for (auto& c : audioControllers_) c->UpdateNTPInfo(ntp, raw);
}

}  // namespace tembrolexinsdk
