// ProcessorController: runs one generic processor (an IProcessor that is not
// an audio processor, such as the bundle cache) on a thread of its own.
//
// The controller initialises the processor once it has a file path and a
// device id, hands it configuration maps (ignoring unchanged ones and
// switching the processor off while its "_meta_enabled" setting is false),
// passes it the bus messages it registered for and reports its events and
// failures to its listener (the decoder) with itself as the sender.
//
// States: Initialising -> Idle <-> Inactive, and Done from everywhere. A
// failure of the processor ends the controller in Done after one onFailed;
// it does not restart. Bus messages that arrive while Inactive wait; the
// next configuration map sends the controller to Idle, where the messages
// that came before that map reach the processor first, then the map (maps
// keep their order among themselves).
//
// Destruction first asks a processor that is an IStoppableProcessor to stop
// (so that work running on the controller thread, such as the bundle cache's
// start-up pass, ends promptly), then ends the thread.
//
// Ownership: the controller owns the processor; the listener and the
// messenger are not owned and must outlive the controller.
//
// Thread safety: Configure, SetFilePath, SetDeviceId and onReceive may be
// called from any thread; they only queue signals. Only the controller thread
// calls the processor's Initialise, SetDeviceId, SetFilePath, Configure,
// SetIdentityInfo and onReceive. The processor's reports (onProcessorEvent,
// onFailed, ...) go to the listener on the processor's own calling thread;
// its events under the controller as sender, unless they name another
// sender than the processor, which is kept.
#ifndef TL_CORE_CONTROL_PROCESSOR_CONTROLLER_H_
#define TL_CORE_CONTROL_PROCESSOR_CONTROLLER_H_

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "core/control/i_processor_controller_listener.h"
#include "core/runtime/active_object.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/configuration_map.h"
#include "core/runtime/i_consumers.h"
#include "core/runtime/i_messenger.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/i_processor.h"
#include "core/runtime/i_processor_listener.h"
#include "core/runtime/i_thrift_provider.h"

namespace tembrolexinsdk {

class ProcessorController : public IProcessorListener,
                            public IThriftProvider,
                            public IMessengerListener,
                            public INamedObject,
                            private ActiveObject<ProcessorController> {
 public:
  // Signal codes of the controller's queue.
  enum Code { kRefresh = 0, kThriftUpdate = 2, kConfigure = 3, kDone = 4 };
  enum class StateId { Initialising, Idle, Inactive, Done };

  // Starts the controller thread; throws std::system_error when no thread
  // can be started. A null processor is refused with std::invalid_argument.
  ProcessorController(std::unique_ptr<IProcessor> processor, IProcessorControllerListener* listener,
                      IMessenger* messenger, std::string appPackageName,
                      std::string deviceIdentity);
  // Asks the processor to stop (requestStop), leaves the bus, stops the
  // thread (queued signals are dropped) and deletes the processor.
  ~ProcessorController() override;

  // Asks a processor that is an IStoppableProcessor to end its work: the
  // controller is about to be destroyed. Any thread; returns at once.
  void requestStop();

  // The processor's name.
  const std::string& GetName() const override;
  const std::string& GetVersion() const;
  // The processor's name followed by "Controller"; used in log lines.
  const std::string& controllerName() const { return name_; }

  // Queues a configuration map; it replaces the current one when it differs.
  void Configure(std::unique_ptr<ConfigurationMap> configuration);
  void SetFilePath(std::string path);
  void SetDeviceId(int deviceId);

  // The current state; any thread.
  StateId state() const { return stateId_.load(); }

  // IProcessorListener (called by the processor).
  void onProcessorEvent(const INamedObject* sender, const IProcessorEventParams* params) override;
  void onLogEvent(const INamedObject* sender, const LogParams* params) override;
  void onProcessorStatusChanged(const INamedObject*, const IProcessorStatusParams*) override {}
  void onFailed(const FailureParams& failure) override;
  void onNTPRequired() override {}
  security::IDataSigner* signer() const override;

  // IThriftProvider: registers this controller (not `consumer`) on the bus
  // for `typeId`; the messages reach the processor on the controller thread.
  void registerListener(int typeId, IThriftConsumer* consumer) override;
  void sendMessage(const std::string& senderName, std::unique_ptr<ThriftParams> params) override;

  // IMessengerListener (bus thread): queues a copy of the message.
  void onReceive(const std::string& senderName, const ThriftParams& params) override;

 private:
  friend class ActiveObject<ProcessorController>;

  void stateInitialising();
  void stateIdle();
  void stateInactive();
  void stateDone() {}

  void go(StateId id);
  void initialise();
  void passThrift(StateSignal& signal);
  void setConfiguration(std::unique_ptr<ConfigurationMap> configuration);
  bool isConfigurationDifferent(const ConfigurationMap& map) const;
  bool isProcessorEnabled(const ConfigurationMap& map) const;
  std::unique_ptr<ConfigurationMap> filterConfigurationParameters() const;
  void fail(const std::string& logText, const FailureParams& failure);
  void onStateFailure(const std::exception* error) override;
  void onThreadEnd() override;

  std::string filePath() const;

  const std::string processorName_;
  const std::string name_;
  std::unique_ptr<IProcessor> processor_;
  IProcessorControllerListener* const listener_;
  IMessenger* const messenger_;
  IIdentityConsumer* const identityConsumer_;
  IThriftConsumer* const thriftConsumer_;
  IStoppableProcessor* const stoppable_;
  // The processor as the sender of its own events; fixed, so threads that
  // report while the processor is being destroyed read no changing pointer.
  const INamedObject* const processorObject_;
  const std::string appPackageName_;
  const std::string deviceIdentity_;

  std::unique_ptr<ConfigurationMap> configuration_;  // controller thread only

  mutable tembrolexin::Mutex mutex_;
  std::string filePath_;         // guarded by mutex_
  std::set<int> registrations_;  // guarded by mutex_
  std::atomic<int> deviceId_{0};
  std::atomic<StateId> stateId_{StateId::Initialising};
  // Arrival order of bus messages and configuration maps.
  std::atomic<uint64_t> arrivals_{0};
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_CONTROL_PROCESSOR_CONTROLLER_H_
