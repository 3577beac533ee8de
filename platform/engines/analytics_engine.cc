#include "platform/engines/analytics_engine.h"

#include <utility>

#include "core/runtime/checked_mutex.h"
#include "platform/messages/message_types.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

// The engine as the network manager's network-type source and as the file
// managers' device-id source, held weakly so neither keeps the engine alive.
class WeakEngineProxy final : public TLNetworkTypeDelegate, public TLPluginFileManagerDelegate {
 public:
  explicit WeakEngineProxy(std::weak_ptr<TLAnalyticsEngine> engine) : engine_(std::move(engine)) {}
  int32_t currentConnectionType() override {
    auto engine = engine_.lock();
    return engine ? engine->currentConnectionType() : 0;
  }
  int32_t deviceId() override {
    auto engine = engine_.lock();
    return engine ? engine->deviceId() : -1;
  }

 private:
  const std::weak_ptr<TLAnalyticsEngine> engine_;
};

constexpr int32_t kPartialCodewordType = 6;
constexpr int32_t kCheckedFilePreparedType = 29;

}  // namespace

std::shared_ptr<TLAnalyticsEngine> TLAnalyticsEngine::sharedEngine() {
  // The making's lines reach the app once it is made: the log delegate may
  // ask for this engine, which waits for the making to end.
  TLLogger::HeldLines held;
  static auto* engine = new std::shared_ptr<TLAnalyticsEngine>(create({}));
  return *engine;
}

std::shared_ptr<TLAnalyticsEngine> TLAnalyticsEngine::create(Options options) {
  auto engine = std::make_shared<TLAnalyticsEngine>(Passkey{}, std::move(options));
  engine->networkManager_->setNetworkTypeDelegate(std::make_shared<WeakEngineProxy>(engine));
  return engine;
}

TLAnalyticsEngine::TLAnalyticsEngine(Passkey, Options options)
    : dispatcher_(*options.dispatcher),
      networkManager_(options.networkManager ? options.networkManager : TLNetworkManager::shared()),
      fileManagerOptions_(std::move(options.fileManagers)) {
  if (options.decoder) context_.setDecoder(options.decoder);
  fileManagerOptions_.networkManager = networkManager_;
  TLLogger::infoInMethod("-[TLAnalyticsEngine init]", __LINE__, "Starting shared analyticsEngine");
}

std::shared_ptr<TLEngineDelegate> TLAnalyticsEngine::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

void TLAnalyticsEngine::setDelegate(std::shared_ptr<TLEngineDelegate> delegate) {
  // The delegate let go of is the app's: it ends after the lock is released.
  std::shared_ptr<TLEngineDelegate> old;
  std::lock_guard lock(mutex_);
  old = std::exchange(delegate_, std::move(delegate));
}

void TLAnalyticsEngine::setMessenger(std::shared_ptr<Messenger> messenger) {
  std::lock_guard lock(mutex_);
  messenger_ = std::move(messenger);
}

std::shared_ptr<TLAnalyticsEngineDelegate> TLAnalyticsEngine::analyticsDelegate() const {
  return std::dynamic_pointer_cast<TLAnalyticsEngineDelegate>(delegate());
}

void TLAnalyticsEngine::setDecoder(std::weak_ptr<IEngineDecoder> decoder) {
  context_.setDecoder(std::move(decoder));
}

void TLAnalyticsEngine::onMain(Block block) {
  SafeDispatch(dispatcher_).safeDispatchAsyncOnMainQueue(std::move(block));
}

void TLAnalyticsEngine::processEventParams(std::shared_ptr<const TLProcessorEventParams> event,
                                           const std::string& processorName) {
  const auto self = weak_from_this().lock();  // whole until this returns
  if (!event) return;
  if (auto message = std::dynamic_pointer_cast<const TLThriftParams>(event)) {
    event = handleThriftParams(*message, processorName);
    if (!event) return;
  }
  if (auto d = analyticsDelegate()) {
    onMain([d, processorName, event] { d->processorWithNameRaisedEvent(processorName, event); });
  }
}

std::shared_ptr<const TLProcessorEventParams> TLAnalyticsEngine::handleThriftParams(
    const TLThriftParams& message, const std::string& sender) {
  const auto self = weak_from_this().lock();  // whole until this returns
  switch (message.msgType()) {
    case kPartialCodewordType: {
      auto signal = message.newMessageOfType<PartialCodewordSignal>();
      if (!signal) return nullptr;
      return std::make_shared<TLPartialCodewordParams>(
          TLPartialCodewordParams::fromPartialCodewordSignal(*signal));
    }
    case kCheckedFilePreparedType: {
      auto signal = message.newMessageOfType<CheckedFilePreparedEventSignal>();
      if (!signal) return nullptr;
      std::shared_ptr<TLPluginFileManager> manager = fileManagerForPlugin(sender);
      if (!manager) {
        // Made without the lock: making one reads the user defaults and logs,
        // and the app's log delegate may call exit(), whose shutdown waits
        // for the main queue's thread, which takes the lock to ask the
        // delegate for the connection type.
        auto made = TLPluginFileManager::initWithPluginName(
            sender, std::make_shared<WeakEngineProxy>(weak_from_this()), fileManagerOptions_);
        std::lock_guard lock(mutex_);
        auto& slot = fileManagers_[sender];
        if (!slot) slot = std::move(made);
        manager = slot;
      }
      manager->uploadFiles(*signal);
      return nullptr;
    }
    default:
      return nullptr;
  }
}

void TLAnalyticsEngine::audioProcessorWithNameRaisedStatus(const std::string& processorName,
                                                           std::shared_ptr<const TLGenericStatusParams> status) {
  const auto self = weak_from_this().lock();  // whole until this returns
  if (auto d = analyticsDelegate()) {
    onMain([d, processorName, status] { d->processorWithNameChangedStatus(processorName, status); });
  }
}

void TLAnalyticsEngine::audioDecoderAudioSignal(const TLAudioSignal& signal) {
  const auto self = weak_from_this().lock();  // whole until this returns
  auto d = analyticsDelegate();
  if (!d) return;
  const int16_t level = signal.audioLevel();
  onMain([d, level] { d->levelMeasured(level); });
  if (auto receiver = std::dynamic_pointer_cast<TLAnalyticsAudioSignalReceiver>(d)) {
    onMain([receiver, signal] { receiver->audioSignalReceived(signal); });
  }
}

void TLAnalyticsEngine::handleAudioSupport(int32_t sampleRate) {
  const auto self = weak_from_this().lock();  // whole until this returns
  if (auto d = analyticsDelegate()) {
    onMain([d, sampleRate] { d->audioSupport(sampleRate); });
  }
}

int32_t TLAnalyticsEngine::currentConnectionType() {
  auto d = analyticsDelegate();
  int32_t type = 0;
  // Asked on the network code's threads, not the main queue: the gate is
  // passed here.
  if (d) dispatcher_.appCalls().run([&] { type = d->currentNetworkConnectionType(); });
  return type;
}

void TLAnalyticsEngine::setDeviceId(int32_t deviceId) {
  const auto self = weak_from_this().lock();  // whole until this returns
  deviceId_.store(deviceId);
  context_.withDecoder([deviceId](IEngineDecoder& d) { d.setDeviceId(deviceId); },
                       "-[TLAnalyticsEngine setDeviceId:]");
}

void TLAnalyticsEngine::setSecureServerURL(const std::string& url, int64_t alertTimeoutHours,
                                           int32_t maxAttempts, bool deleteAfterMaxAttempts,
                                           int32_t backoffBetweenAttemptsMs) {
  const auto self = weak_from_this().lock();  // whole until this returns
  std::shared_ptr<Messenger> messenger;
  {
    std::lock_guard lock(mutex_);
    messenger = messenger_;
  }
  networkManager_->setSecureServerURL(url, alertTimeoutHours, maxAttempts, deleteAfterMaxAttempts,
                                      backoffBetweenAttemptsMs, messenger);
}

void TLAnalyticsEngine::prepareData() {
  const auto self = weak_from_this().lock();  // whole until this returns
  context_.withDecoder([](IEngineDecoder& d) { d.prepareData(); },
                       "-[TLAnalyticsEngine prepareData]");
}
void TLAnalyticsEngine::updateNTP() {
  const auto self = weak_from_this().lock();  // whole until this returns
  context_.withDecoder([](IEngineDecoder& d) { d.updateNTP(); }, "-[TLAnalyticsEngine updateNTP]");
}
void TLAnalyticsEngine::registerNTPReceiver(std::shared_ptr<NTPReceiver> receiver) {
  const auto self = weak_from_this().lock();  // whole until this returns
  context_.withDecoder([receiver](IEngineDecoder& d) { d.registerNTPReceiver(receiver); },
                       "-[TLAnalyticsEngine registerNTPReceiver:]");
}
void TLAnalyticsEngine::unRegisterNTPReceiver(const std::shared_ptr<NTPReceiver>& receiver) {
  const auto self = weak_from_this().lock();  // whole until this returns
  context_.withDecoder([receiver](IEngineDecoder& d) { d.unRegisterNTPReceiver(receiver); },
                       "-[TLAnalyticsEngine unRegisterNTPReceiver:]");
}
void TLAnalyticsEngine::setNTPServers(std::vector<std::string> servers) {
  const auto self = weak_from_this().lock();  // whole until this returns
  context_.withDecoder([servers](IEngineDecoder& d) { d.setNTPServers(servers); },
                       "-[TLAnalyticsEngine setNTPServers:]");
}

std::shared_ptr<TLPluginFileManager> TLAnalyticsEngine::fileManagerForPlugin(const std::string& pluginName) const {
  std::lock_guard lock(mutex_);
  auto it = fileManagers_.find(pluginName);
  return it == fileManagers_.end() ? nullptr : it->second;
}

std::size_t TLAnalyticsEngine::fileManagerCount() const {
  std::lock_guard lock(mutex_);
  return fileManagers_.size();
}

}  // namespace tembrolexinplatform
