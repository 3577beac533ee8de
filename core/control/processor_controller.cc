#include "core/control/processor_controller.h"

#include <stdexcept>
#include <utility>

#include "core/control/controller_settings.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/dir_info.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/processor_params.h"

namespace tembrolexinsdk {

namespace {

struct ThriftUpdateSignal : StateSignal {
  ThriftUpdateSignal(std::string s, const ThriftParams& p, uint64_t a)
      : StateSignal(ProcessorController::kThriftUpdate), sender(std::move(s)), params(p),
        arrival(a) {}
  const std::string sender;
  const ThriftParams params;
  const uint64_t arrival;
};

struct ConfigureSignal : StateSignal {
  ConfigureSignal(std::unique_ptr<ConfigurationMap> m, uint64_t a)
      : StateSignal(ProcessorController::kConfigure), map(std::move(m)), arrival(a) {}
  std::unique_ptr<ConfigurationMap> map;
  const uint64_t arrival;
};

IProcessor* checked(const std::unique_ptr<IProcessor>& processor) {
  if (!processor) throw std::invalid_argument("ProcessorController needs a processor");
  return processor.get();
}

}  // namespace

ProcessorController::ProcessorController(std::unique_ptr<IProcessor> processor,
                                         IProcessorControllerListener* listener,
                                         IMessenger* messenger, std::string appPackageName,
                                         std::string deviceIdentity)
    : ActiveObject(&ProcessorController::stateInitialising, &ProcessorController::stateDone, kDone,
                   "AudioProcessorController"),
      processorName_(checked(processor)->GetName()),
      name_(processorName_ + "Controller"),
      processor_(std::move(processor)),
      listener_(listener),
      messenger_(messenger),
      identityConsumer_(dynamic_cast<IIdentityConsumer*>(processor_.get())),
      thriftConsumer_(dynamic_cast<IThriftConsumer*>(processor_.get())),
      stoppable_(dynamic_cast<IStoppableProcessor*>(processor_.get())),
      processorObject_(processor_.get()),
      appPackageName_(std::move(appPackageName)),
      deviceIdentity_(std::move(deviceIdentity)) {
  startThread();
}

ProcessorController::~ProcessorController() {
  logWithLogger<LogLevel::Debug>(this, "destructor (", name_, ") entry");
  // Work on the thread (the processor's SetFilePath, say) ends before the
  // join rather than running out its own time.
  requestStop();
  quitAndJoin();
  // After the thread: the processor registers only from the controller thread.
  std::set<int> registrations;
  {
    std::lock_guard lock(mutex_);
    registrations.swap(registrations_);
  }
  if (messenger_ != nullptr) {
    for (int type : registrations) messenger_->unregisterListener(type, this);
  }
  processor_.reset();
  configuration_.reset();
  signalQueue().clear();
  logWithLogger<LogLevel::Debug>(this, "destructor (", name_, ") exit");
}

void ProcessorController::requestStop() {
  if (stoppable_ != nullptr) stoppable_->requestStop();
}

const std::string& ProcessorController::GetName() const { return processorName_; }

const std::string& ProcessorController::GetVersion() const { return processor_->GetVersion(); }

void ProcessorController::Configure(std::unique_ptr<ConfigurationMap> configuration) {
  pushSignal(std::make_unique<ConfigureSignal>(std::move(configuration), arrivals_.fetch_add(1)));
}

void ProcessorController::SetFilePath(std::string path) {
  {
    std::lock_guard lock(mutex_);
    filePath_ = std::move(path);
  }
  pushSignal(std::make_unique<StateSignal>(kRefresh));
}

void ProcessorController::SetDeviceId(int deviceId) {
  deviceId_.store(deviceId);
  pushSignal(std::make_unique<StateSignal>(kRefresh));
}

std::string ProcessorController::filePath() const {
  std::lock_guard lock(mutex_);
  return filePath_;
}

void ProcessorController::go(StateId id) {
  switch (id) {
    case StateId::Initialising:
      setState(&ProcessorController::stateInitialising);
      break;
    case StateId::Idle:
      setState(&ProcessorController::stateIdle);
      break;
    case StateId::Inactive:
      setState(&ProcessorController::stateInactive);
      break;
    case StateId::Done:
      setState(&ProcessorController::stateDone);
      break;
  }
  stateId_.store(id);
}

void ProcessorController::stateInitialising() {
  go(StateId::Initialising);
  logWithLogger<LogLevel::Debug>(this, "thread entry (", name_, "))");
  logWithLogger<LogLevel::Info>(this, "Processor ", identityConsumer_ ? "is" : "is not",
                                " an Identity Consumer.");
  logWithLogger<LogLevel::Info>(this, "stateInitialising (", name_, " Controller) entry");
  if (!filePath().empty()) initialise();
  serveState(&ProcessorController::stateInitialising, {kRefresh, kDone},
             [this](StateSignal& signal) {
               if (signal.GetCode() == kDone) {
                 go(StateId::Done);
                 return;
               }
               if (!filePath().empty() && deviceId_.load() != 0) initialise();
             });
  if (!inState(&ProcessorController::stateDone) && identityConsumer_ != nullptr) {
    identityConsumer_->SetIdentityInfo(appPackageName_, deviceIdentity_);
  }
}

void ProcessorController::initialise() {
  logWithLogger<LogLevel::Debug>(this, "about to Initialise");
  logWithLogger<LogLevel::Debug>(this, "We are fine!");
  try {
    // A generic processor has no sample rate: all bits set.
    processor_->Initialise(this, static_cast<int>(0xFFFFFFFFu), nullptr);
    processor_->SetDeviceId(deviceId_.load());
    const std::string folder = filePath() + "/" + processorName_;
    if (!tembrolexin::DirInfo::mkdir(folder, false)) {
      throw std::runtime_error("cannot create the folder " + folder);
    }
    processor_->SetFilePath(folder);
    go(StateId::Idle);
  } catch (const std::exception& error) {
    fail("Initialise (" + name_ + "): Exception: " + error.what(), FailureParams(&error));
  } catch (...) {
    fail("Initialise (" + name_ + " Controller): unexpected exception",
         FailureParams(std::string("unexpected exception")));
  }
}

void ProcessorController::stateIdle() {
  logWithLogger<LogLevel::Info>(this, "stateIdle (", name_, ") entry");
  serveState(&ProcessorController::stateIdle, {kRefresh, kThriftUpdate, kConfigure, kDone},
             [this](StateSignal& signal) {
               switch (signal.GetCode()) {
                 case kThriftUpdate:
                   passThrift(signal);
                   break;
                 case kConfigure:
                   setConfiguration(std::move(static_cast<ConfigureSignal&>(signal).map));
                   break;
                 case kDone:
                   go(StateId::Done);
                   break;
                 default:
                   break;
               }
             });
}

void ProcessorController::passThrift(StateSignal& signal) {
  if (thriftConsumer_ == nullptr) return;
  auto& update = static_cast<ThriftUpdateSignal&>(signal);
  logWithLogger<LogLevel::Debug>(this, "Passing on a thrift message of type ",
                                 update.params.getMsgType());
  thriftConsumer_->onReceive(update.sender, update.params);
}

void ProcessorController::stateInactive() {
  logWithLogger<LogLevel::Info>(this, "stateInactive (", name_, ") entry");
  serveState(&ProcessorController::stateInactive, {kConfigure, kDone}, [this](StateSignal& signal) {
    if (signal.GetCode() == kDone) {
      go(StateId::Done);
      return;
    }
    // The map is Idle's to handle, after what waited here before it: the
    // bus messages that arrived before the map reach the processor first.
    // (Pushing the map back behind the queue would also put it behind maps
    // that came after it, and an older map would undo a newer one.)
    go(StateId::Idle);
    auto& configure = static_cast<ConfigureSignal&>(signal);
    const uint64_t arrival = configure.arrival;
    while (std::unique_ptr<StateSignal> older =
               signalQueue().tryTakeMatch([arrival](StateSignal* queued) {
                 return queued->GetCode() == kThriftUpdate &&
                        static_cast<ThriftUpdateSignal*>(queued)->arrival < arrival;
               })) {
      passThrift(*older);
    }
    // A map that leaves the processor disabled sends the controller back.
    setConfiguration(std::move(configure.map));
  });
}

void ProcessorController::setConfiguration(std::unique_ptr<ConfigurationMap> configuration) {
  if (!configuration || !isConfigurationDifferent(*configuration)) {
    logWithLogger<LogLevel::Info>(this, "New Configuration ignored: no changes");
    // Every map arrives twice: the repeated map must not undo a disabling.
    if (configuration_ && !isProcessorEnabled(*configuration_)) go(StateId::Inactive);
    return;
  }
  configuration_ = std::move(configuration);
  try {
    if (!isProcessorEnabled(*configuration_)) {
      go(StateId::Inactive);
      return;
    }
    const std::unique_ptr<ConfigurationMap> filtered = filterConfigurationParameters();
    processor_->Configure(&filtered->parameters(), nullptr);
    logWithLogger<LogLevel::Debug>(this, "just configured");
    go(StateId::Idle);
  } catch (const std::exception& error) {
    fail("stateConfiguring (" + name_ + "): exception: " + error.what(), FailureParams(&error));
  } catch (...) {
    fail("stateConfiguring (" + name_ + " Controller): unknown exception.",
         FailureParams(std::string("unknown exception.")));
  }
}

bool ProcessorController::isConfigurationDifferent(const ConfigurationMap& map) const {
  return !configuration_ || (*configuration_ != &map);
}

bool ProcessorController::isProcessorEnabled(const ConfigurationMap& map) const {
  return controllersettings::enabledSetting(map, processorName_) !=
         controllersettings::Enabled::kDisabled;
}

std::unique_ptr<ConfigurationMap> ProcessorController::filterConfigurationParameters() const {
  if (!configuration_) return std::make_unique<ConfigurationMap>();
  return controllersettings::withoutMetaKeys(*configuration_, this, name_);
}

void ProcessorController::fail(const std::string& logText, const FailureParams& failure) {
  logWithLogger<LogLevel::Error>(this, logText);
  go(StateId::Done);
  if (listener_ != nullptr) listener_->onFailed(failure);
}

void ProcessorController::onStateFailure(const std::exception* error) {
  try {
    if (error != nullptr) {
      fail("thread entry (" + name_ + "): thread died: exception: " + error->what(),
           FailureParams(error));
    } else {
      fail("thread entry (" + name_ + "): thread died for unknown reason.",
           FailureParams(std::string("ProcessController: thread died for unknown reason.")));
    }
  } catch (...) {
    go(StateId::Done);
  }
}

void ProcessorController::onThreadEnd() {
  go(StateId::Done);
  // Nobody reads the queue any more: later pushes are dropped at once.
  signalQueue().close();
  logWithLogger<LogLevel::Info>(this, "stateDone (", name_, ")");
}

void ProcessorController::onProcessorEvent(const INamedObject* sender,
                                           const IProcessorEventParams* params) {
  // The processor's own events go on under the controller (the processor's
  // name); a part of the processor that reports under a name of its own (the
  // cache processor's asset cacher) keeps that name.
  const INamedObject* from = sender == nullptr || sender == processorObject_ ? this : sender;
  if (listener_ != nullptr) listener_->onProcessorEvent(from, params);
}

void ProcessorController::onLogEvent(const INamedObject* sender, const LogParams* params) {
  Logger::getInstance()->Log(logpieces::senderName(sender), params);
}

void ProcessorController::onFailed(const FailureParams& failure) {
  if (listener_ != nullptr) listener_->onFailed(failure);
}

security::IDataSigner* ProcessorController::signer() const {
  return listener_ != nullptr ? listener_->signer() : nullptr;
}

void ProcessorController::registerListener(int typeId, IThriftConsumer*) {
  logWithLogger<LogLevel::Debug>(this, "Registering to thrift messages of type ", typeId);
  if (messenger_ == nullptr) return;
  {
    std::lock_guard lock(mutex_);
    registrations_.insert(typeId);
  }
  messenger_->registerListener(typeId, this);
}

void ProcessorController::sendMessage(const std::string& senderName,
                                      std::unique_ptr<ThriftParams> params) {
  if (messenger_ != nullptr) messenger_->send(senderName, std::move(params));
}

void ProcessorController::onReceive(const std::string& senderName, const ThriftParams& params) {
  logWithLogger<LogLevel::Debug>(this, "Received a thrift message of type ", params.getMsgType());
  pushSignal(std::make_unique<ThriftUpdateSignal>(senderName, params, arrivals_.fetch_add(1)));
}

}  // namespace tembrolexinsdk
