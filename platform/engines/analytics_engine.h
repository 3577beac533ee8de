// TLAnalyticsEngine ("ANALYTICS"): the engine through which the app watches
// the decoder's processors and takes part in uploads.
//
//  - Processor events, status changes, audio levels and signal reports and
//    the supported sample rate go to the app's delegate on the main queue,
//    in arrival order, when the delegate is a TLAnalyticsEngineDelegate.
//    Bus messages among the events are decoded first: a PartialCodewordSignal
//    (6) reaches the delegate as TLPartialCodewordParams; a
//    CheckedFilePreparedEventSignal (29) becomes plug-in file uploads, with
//    one TLPluginFileManager per sending plug-in, and the app is not told;
//    other messages are dropped.
//  - The app's upload server settings go to the network manager, and the
//    manager's question about the connection type is answered by the
//    delegate (0 without one).
//  - The device id, data preparation and network-time settings are passed
//    to the decoder that connected the engine, in effect when the call
//    returns (EngineContext); what comes before one did waits for it and
//    is passed on, in order, when it connects. Prepared files are ignored
//    until the app set a device id.
//
// The engine does not depend on its run state: it forwards and uploads
// whether or not it runs.
//
// Ownership: sharedEngine() is the process-wide one (made once); create()
// makes others for tests. The delegate is held strongly; the network
// manager and the file managers hold the engine only weakly. Each call that
// goes on after calling into the app (a log line, a delegate call run at
// once on the main thread, the decoder) holds the engine for its length: an
// engine made by create() and released meanwhile goes once the call has
// returned.
//
// Thread safety: every operation may be called from any thread; events come
// on the bus thread; the file-manager table and the delegate are guarded by
// the engine's lock, which is never held while calling out.
#ifndef TL_PLATFORM_ENGINES_ANALYTICS_ENGINE_H_
#define TL_PLATFORM_ENGINES_ANALYTICS_ENGINE_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "platform/engines/engine_context.h"
#include "platform/engines/engine_decoder.h"
#include "platform/engines/tl_engine.h"
#include "platform/net/network_manager.h"
#include "platform/net/plugin_file_manager.h"
#include "platform/runtime/safe_dispatch.h"
#include "platform/runtime/tl_thrift_params.h"

namespace tembrolexinplatform {

// What the app implements to hear from the engine (on the main queue).
class TLAnalyticsEngineDelegate : public TLEngineDelegate {
 public:
  virtual void processorWithNameRaisedEvent(const std::string& processorName,
                                            std::shared_ptr<const TLProcessorEventParams> event) = 0;
  virtual void processorWithNameChangedStatus(const std::string& processorName,
                                              std::shared_ptr<const TLGenericStatusParams> status) = 0;
  virtual void levelMeasured(int16_t level) = 0;
  virtual void audioSupport(int32_t sampleRates) = 0;
  // Asked on the network manager's thread.
  virtual int32_t currentNetworkConnectionType() = 0;
};

// Optional: a delegate that also derives from this gets each audio signal.
class TLAnalyticsAudioSignalReceiver {
 public:
  virtual ~TLAnalyticsAudioSignalReceiver() = default;
  virtual void audioSignalReceived(const TLAudioSignal& signal) = 0;
};

class TLAnalyticsEngine final : public TLEngine,
                                public TLAnalyticsEngineRole,
                                public TLNetworkTypeDelegate,
                                public TLPluginFileManagerDelegate,
                                public std::enable_shared_from_this<TLAnalyticsEngine> {
 public:
  static constexpr const char* kEngineName = "ANALYTICS";

  struct Options {
    Dispatcher* dispatcher = &Dispatcher::shared();
    // Null: TLNetworkManager::shared().
    std::shared_ptr<TLNetworkManager> networkManager;
    // A decoder connected at creation, held weakly as a connecting decoder
    // is (tests); null: none until one connects.
    std::shared_ptr<IEngineDecoder> decoder;
    // For the file managers it makes (the network manager is set above).
    TLPluginFileManager::Options fileManagers;
  };

  static std::shared_ptr<TLAnalyticsEngine> sharedEngine();
  // Logs Info "Starting shared analyticsEngine" and becomes the network
  // manager's network-type source.
  static std::shared_ptr<TLAnalyticsEngine> create(Options options);

  static std::string engineNameOfClass() { return kEngineName; }
  std::string engineName() const override { return kEngineName; }
  std::shared_ptr<TLEngineDelegate> delegate() const override;
  void setDelegate(std::shared_ptr<TLEngineDelegate> delegate) override;
  void setEngineParameters(const TLEngineParameters&) override {}
  void setMessenger(std::shared_ptr<Messenger> messenger) override;
  // The decoder the app's device id, data preparation and network-time
  // settings go to.
  void setDecoder(std::weak_ptr<IEngineDecoder> decoder) override;
  void processEventParams(std::shared_ptr<const TLProcessorEventParams> event,
                          const std::string& processorName) override;

  // TLAnalyticsEngineRole (from the decoder facade).
  void audioProcessorWithNameRaisedStatus(const std::string& processorName,
                                          std::shared_ptr<const TLGenericStatusParams> status) override;
  void audioDecoderAudioSignal(const TLAudioSignal& signal) override;
  void handleAudioSupport(int32_t sampleRate) override;

  // A replacement event for the delegate, or null.
  std::shared_ptr<const TLProcessorEventParams> handleThriftParams(const TLThriftParams& message,
                                                                   const std::string& sender);

  // What the app calls.
  void prepareData();
  void updateNTP();
  void setDeviceId(int32_t deviceId);
  void setSecureServerURL(const std::string& url, int64_t alertTimeoutHours, int32_t maxAttempts,
                          bool deleteAfterMaxAttempts, int32_t backoffBetweenAttemptsMs);
  void registerNTPReceiver(std::shared_ptr<NTPReceiver> receiver);
  void unRegisterNTPReceiver(const std::shared_ptr<NTPReceiver>& receiver);
  void setNTPServers(std::vector<std::string> servers);

  int32_t deviceId() override { return deviceId_.load(); }
  int32_t currentConnectionType() override;

  std::shared_ptr<TLPluginFileManager> fileManagerForPlugin(const std::string& pluginName) const;
  std::size_t fileManagerCount() const;

 private:
  struct Passkey {};

 public:
  TLAnalyticsEngine(Passkey, Options options);

 private:
  std::shared_ptr<TLAnalyticsEngineDelegate> analyticsDelegate() const;
  void onMain(Block block);

  Dispatcher& dispatcher_;
  const std::shared_ptr<TLNetworkManager> networkManager_;
  TLPluginFileManager::Options fileManagerOptions_;
  std::atomic<int32_t> deviceId_{-1};

  mutable tembrolexin::Mutex mutex_;
  std::shared_ptr<TLEngineDelegate> delegate_;
  // Shared, so the network manager's plain pointer stays valid while the
  // engine holds it.
  std::shared_ptr<Messenger> messenger_;
  std::map<std::string, std::shared_ptr<TLPluginFileManager>> fileManagers_;
  // Holds the connected decoder.
  EngineContext context_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_ANALYTICS_ENGINE_H_
