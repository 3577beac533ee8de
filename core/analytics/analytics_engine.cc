#include "core/analytics/analytics_engine.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>

#include "core/engines/engine_factory.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/configuration_map.h"
#include "core/runtime/configuration_parameter.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/processor_params.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

// Never destroyed: threads still running at exit may use them.
const std::string& AnalyticsEngine::engineName = *new std::string("SDKANALYTICS");
// None until the app names its upload service (the "url" of the
// "SDKANALYTICS" entry of "AudioDecoder_engines", read when the engine is
// made): this library knows no service of its own, so record files are
// kept (bounded) and nothing is sent.
const std::string& AnalyticsEngine::defaultUrl = *new std::string();

namespace {

constexpr int kBackgroundDataType = kMessageTypeId<BackgroundData>;

template <typename T>
const ConfigurationParameter<T>* parameter(const ConfigurationMap* map, const std::string& key) {
  if (map == nullptr) return nullptr;
  const auto it = map->find(key);
  if (it == map->end()) return nullptr;
  return dynamic_cast<const ConfigurationParameter<T>*>(it->second);
}

}  // namespace

AnalyticsEngine::AnalyticsEngine(IProcessorListener* listener, IMessenger* messenger)
    : AnalyticsEngine(listener, messenger, Environment()) {}

AnalyticsEngine::AnalyticsEngine(IProcessorListener* listener, IMessenger* messenger,
                                 Environment environment)
    : listener_(listener),
      messenger_(messenger),
      environment_(std::move(environment)),
      url_(defaultUrl),
      log_(listener, this) {
  const Clock& clock = *environment_.clock;
  creators_.push_back(std::make_unique<CodewordRecordCreator>(clock));
  creators_.push_back(std::make_unique<AudioMatchRecordCreator>(clock));
  creators_.push_back(std::make_unique<EventRecordCreator>(clock));
  creators_.push_back(std::make_unique<ContentRecordCreator>(clock));
  creators_.push_back(std::make_unique<DecodingStatusRecordCreator>(clock));
  for (const auto& creator : creators_) {
    for (int type : creator->listensTo()) registeredTypes_.push_back(type);
  }
  registeredTypes_.push_back(kBackgroundDataType);
  if (messenger_ != nullptr) {
    for (int type : registeredTypes_) messenger_->registerListener(type, this);
  }
}

AnalyticsEngine::~AnalyticsEngine() {
  // No delivery may reach a half-destroyed engine.
  if (messenger_ != nullptr) {
    for (int type : registeredTypes_) messenger_->unregisterListener(type, this);
  }
  // Writes what is queued and ends the uploads (whose completions use this
  // engine) before anything else goes.
  writer_.store(nullptr, std::memory_order_release);
  writerOwner_.reset();
}

void AnalyticsEngine::setEngineParameters(const ConfigurationMap* parameters) {
  if (const auto* enabled = parameter<bool>(parameters, "enabled")) enabled_.store(enabled->value);
  if (const auto* url = parameter<std::string>(parameters, "url")) {
    std::lock_guard lock(configMutex_);
    url_ = url->value;
  }
  std::optional<long long> maxPending;
  if (const auto* count = parameter<long long>(parameters, "maxPendingFiles")) {
    maxPending = count->value;
  } else if (const auto* small = parameter<int>(parameters, "maxPendingFiles")) {
    maxPending = small->value;
  }
  if (maxPending && *maxPending >= 1) {
    std::lock_guard lock(configMutex_);
    maxPendingFiles_ = static_cast<std::size_t>(std::min<long long>(*maxPending, 1000000));
  } else if (maxPending) {
    logWithLogger<LogLevel::Warning>(this, "maxPendingFiles must be at least 1, not ",
                                     *maxPending, "; keeping ", maxPendingFiles_);
  }
  logWithLogger<LogLevel::Info>(this, "SDK Analytics ",
                                enabled_.load() ? "enabled." : "disabled.");
}

void AnalyticsEngine::setFilePath(const std::string& path) {
  {
    std::lock_guard lock(configMutex_);
    filePath_ = path;
  }
  initWriter();
}

void AnalyticsEngine::SetIdentityInfo(const std::string& appId, const std::string& udid) {
  {
    std::lock_guard lock(configMutex_);
    appId_ = appId;
    udid_ = udid;
  }
  initWriter();
}

void AnalyticsEngine::initWriter() {
  std::lock_guard lock(configMutex_);
  if (appId_.empty() || udid_.empty() || filePath_.empty()) return;
  if (writerOwner_) return;
  logWithLogger<LogLevel::Info>(this, "Initializing Analytics record writer");
  try {
    writerOwner_ = std::make_unique<Writer>(
        log_, listener_, appId_, udid_, filePath_ + "/Analytics/", url_, *environment_.clock,
        environment_.limits, environment_.caFile,
        RecordWriterOptions{maxPendingFiles_, environment_.write});
  } catch (const std::exception& e) {
    logWithLogger<LogLevel::Error>(this, "Could not create the Analytics record writer: ",
                                   e.what());
    return;
  }
  writer_.store(writerOwner_.get(), std::memory_order_release);
}

void AnalyticsEngine::write(Writer* writer, std::unique_ptr<AnalyticsMessage> record) {
  if (record) writer->writeRecord(std::move(record));
}

const IProcessorEventParams* AnalyticsEngine::processEventParams(
    const IProcessorEventParams* event) {
  Writer* writer = writer_.load(std::memory_order_acquire);
  if (writer == nullptr || !enabled_.load()) return event;
  if (recordedBefore(event)) return event;
  for (const auto& creator : creators_) {
    try {
      write(writer, creator->processEventParams(event));
    } catch (const std::exception& e) {
      logWithLogger<LogLevel::Warning>(this, "Could not record event: ", e.what());
    }
  }
  return event;
}

bool AnalyticsEngine::recordedBefore(const IProcessorEventParams* event) {
  const auto* codeword = CodewordEventParams::Cast(event);
  if (codeword == nullptr) return false;
  const CodewordKey key = {
      (int64_t{codeword->msgScheme} << 32) | static_cast<uint32_t>(codeword->sigScheme),
      codeword->msg, codeword->steadyTimeStamp, codeword->systemTimeStamp};
  std::lock_guard lock(recentMutex_);
  for (std::size_t i = 0; i < recentCount_; ++i) {
    if (recent_[i] == key) return true;
  }
  recent_[recentNext_] = key;
  recentNext_ = (recentNext_ + 1) % kRecentCodewords;
  if (recentCount_ < kRecentCodewords) ++recentCount_;
  return false;
}

void AnalyticsEngine::onReceive(const std::string&, const ThriftParams& message) {
  if (!enabled_.load()) return;
  Writer* writer = writer_.load(std::memory_order_acquire);
  if (message.getMsgType() == kBackgroundDataType) {
    std::unique_ptr<BackgroundData> request;
    try {
      request = ThriftParamsFactory::readThriftParams<BackgroundData>(message);
    } catch (const std::exception& e) {
      logWithLogger<LogLevel::Warning>(this, "Could not read BackgroundData: ", e.what());
      return;
    }
    if (request->backgroundType != BackgroundDataType::SDKAnalytics ||
        request->status != BackgroundDataStatus::Start) {
      return;
    }
    // Only the writer can hand in: without one the request is not answered.
    if (writer == nullptr) return;
    logWithLogger<LogLevel::Info>(this, "App went to background, requesting upload");
    writer->finish(ReasonForClose::kUploadRequested,
                   [this](bool succeeded) { completion(succeeded); });
    return;
  }
  if (writer == nullptr) return;
  for (const auto& creator : creators_) {
    try {
      write(writer, creator->processThriftParams(message));
    } catch (const std::exception& e) {
      logWithLogger<LogLevel::Warning>(this, "Could not record message: ", e.what());
    }
  }
}

void AnalyticsEngine::completion(bool succeeded) {
  logWithLogger<LogLevel::Info>(this, "Background upload ", succeeded ? "succeeded" : "failed",
                                ", notifying app");
  BackgroundData reply;
  reply.__set_backgroundType(BackgroundDataType::SDKAnalytics);
  reply.__set_status(BackgroundDataStatus::Complete);
  auto params = ThriftParamsFactory::createThriftParams(reply);
  if (messenger_ != nullptr) {
    messenger_->send("AnalyticsEngine", std::move(params));
  } else {
    IMessenger::sendMessage("AnalyticsEngine", std::move(params));
  }
}

void registerAnalyticsEngineType(AnalyticsEngine::Environment environment) {
  enginefactory::registerEngineType(
      AnalyticsEngine::engineName,
      [environment](IProcessorListener* listener, IMessenger* messenger, DB::Database*) {
        return std::make_unique<AnalyticsEngine>(listener, messenger, environment);
      });
}

}  // namespace tembrolexinsdk
