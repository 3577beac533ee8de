// TLContentEngine: the engine "CONTENT". It keeps the platform's picture of
// the ready content bundles and their actions (a BundleStore), opens an
// action as a page in the shared web view host or as a local notification,
// hands the scheduled actions to the TimedActionScheduler, carries messages
// between a page and the app or the core, asks the cache for bundle
// information and downloads, and tells the app through its delegate.
//
// From the core it takes AssetInfoList (18), AssetActionList (20) and
// JavascriptMessage (26) as a Messenger receiver, and ContentSignal (4) and
// DownloadStatusSignal (5) through processEventParams. It asks the core by
// configuration keys (through the decoder's configure) and sends
// AssetMessage (16), JavascriptMessage (26) and NotificationData (12) with
// the sender name "IContentEngine".
//
// Entry points of actions are relative to the documents folder; the engine
// makes them absolute again (an absolute one is kept) before the host loads
// the page.
//
// Ownership: the engine owns its store and scheduler and holds the
// reachability object, the local notification centre and the delegate
// strongly; the Messenger and the dispatcher are not owned and outlive it.
// Each call that goes on after calling into the app (actionWillOpen, a
// configuration the app's function or the decoder takes, a log line that
// reaches the app's log delegate) holds the engine for its length: an
// engine made by create() and released meanwhile goes once the call has
// returned, on its thread.
//
// Thread safety: messages arrive on the bus thread; app-facing calls may
// come from any thread. Delegate calls marked "main queue" are queued there;
// actionWillOpen runs synchronously on the thread that opens the action and
// bundleWillClose on the main thread, both through the dispatcher's
// AppCallGate: once it has closed (the process is exiting), an action is not
// opened and a close goes on as if the app had agreed. The engine's own
// state (delegate, messenger, network status, policy, host) is guarded by its
// lock, which is never held while calling out.
#ifndef TL_PLATFORM_ENGINES_TL_CONTENT_ENGINE_H_
#define TL_PLATFORM_ENGINES_TL_CONTENT_ENGINE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <json/value.h>

#include "core/runtime/checked_mutex.h"
#include "platform/engines/engine_context.h"
#include "platform/engines/timed_action_scheduler.h"
#include "platform/engines/tl_bundle.h"
#include "platform/engines/tl_engine.h"
#include "platform/engines/tl_wk_web_view.h"
#include "platform/net/reachability.h"
#include "platform/runtime/local_notifications.h"
#include "platform/runtime/messenger.h"
#include "platform/runtime/notification_center.h"
#include "platform/runtime/thrift_converter.h"

namespace tembrolexinplatform {

// The sender name of every message the engine sends.
extern const char* const TLContentEngine_Type;  // "IContentEngine"

class TLContentEngineDelegate : public TLEngineDelegate {
 public:
  // A page's "sendMessage" body, parsed; none when it is not JSON.
  virtual void messageReceived(const std::optional<Json::Value>& message,
                               std::shared_ptr<TLBundle> bundle) = 0;
  // 0 no web view host, 1 no action JSON, 2 unknown bundle or bad page JSON.
  virtual void contentEngineDidFail(int64_t code, std::shared_ptr<TLBundle> bundle,
                                    std::shared_ptr<TLBundleAction> action) = 0;
  virtual void bundleDownloadPending(const std::string& /*bundleId*/, const std::string& /*file*/) {}
  virtual void bundleDownloadComplete(const std::string& /*bundleId*/, const std::string& /*file*/) {}
  virtual void bundleDownloadFailed(const std::string& /*bundleId*/, const std::string& /*file*/) {}
  virtual void bundlesDidUpdate(const TLBundleList& /*bundles*/) {}
  // False blocks the opening. Synchronous; an exception counts as true.
  virtual bool actionWillOpen(const std::shared_ptr<TLBundleAction>& /*action*/) { return true; }
  virtual void actionDidOpen(const std::shared_ptr<TLBundleAction>& /*action*/) {}
  // False keeps the page. Synchronous; an exception counts as true.
  virtual bool bundleWillClose(const std::shared_ptr<TLBundle>& /*bundle*/) { return true; }
  virtual void bundleDidClose(const std::shared_ptr<TLBundle>& /*bundle*/) {}
};

class TLContentEngine final : public TLEngine,
                              public IThriftMessageReceiver,
                              public BundleStoreDelegate,
                              public TLWebViewContentDelegate,
                              public std::enable_shared_from_this<TLContentEngine> {
 public:
  static constexpr const char* kEngineName = "CONTENT";
  static constexpr const char* kDefaultNotificationBody =
      "We heard something you may be interested in!";

  struct Options {
    // Sends one configuration map to the core; empty: the configure() of
    // the decoder that connected the engine.
    std::function<void(const ConfigDictionary&)> configure;
    Dispatcher* dispatcher = &Dispatcher::shared();
    // The web view host; empty: TLWKWebView::sharedTLWKWebview.
    std::function<std::shared_ptr<TLWKWebViewProtocol>()> webViewHost;
    // Empty: LocalNotificationCenter::current().
    std::shared_ptr<LocalNotificationCenter> notifications;
    NotificationCenter* notificationCenter = &NotificationCenter::defaultCenter();
    // Empty: Reachability::reachabilityForInternetConnection.
    std::shared_ptr<Reachability> reachability;
    // Empty: the installed environment's.
    std::string documentsFolder;
    const tembrolexinsdk::Clock* clock = &tembrolexinsdk::Clock::real();
    // The body of a notification without text (the app's localised text).
    std::string defaultNotificationBody = kDefaultNotificationBody;
    // Values of the platform information; empty fields are read from the
    // machine and the installed environment.
    std::string deviceProfile;
    std::string osVersion;
  };

  // The one engine of the process, made on first use with the options set
  // by setSharedOptions (else the defaults).
  static std::shared_ptr<TLContentEngine> sharedEngine();
  // Must come before the first sharedEngine call to take effect.
  static void setSharedOptions(Options options);
  // An engine of its own (the creation steps run here).
  static std::shared_ptr<TLContentEngine> create(Options options);
  ~TLContentEngine() override;

  // App-facing operations.
  void prepareBundle(const std::string& path);
  void setUrl(const std::optional<std::string>& url, int64_t policy,
              const Json::Value& additionalData = Json::Value(Json::objectValue));
  void downloadBundles();
  void requestBundleInformation();
  void openBundleAction(const std::shared_ptr<TLBundleAction>& action);
  void openBundleNotification(const std::shared_ptr<TLBundleAction>& action);
  // The user info of an opened notification.
  void webViewEmit(const std::map<std::string, std::string>& userInfo);
  void sendMessage(const std::string& message, const std::shared_ptr<TLBundle>& bundle);
  void closeWebview();
  std::shared_ptr<TLBundle> getBundleById(const std::string& bundleId) const;
  TLBundleList bundles() const { return store_->bundles(); }
  int64_t downloadPolicy() const;
  int64_t currentNetworkStatus() const;

  // TLEngine. start, pause and stop change nothing: always running.
  void start() override {}
  void pause() override {}
  void stop() override {}
  bool isRunning() const override { return true; }
  bool isPaused() const override { return false; }
  std::shared_ptr<TLEngineDelegate> delegate() const override;
  void setDelegate(std::shared_ptr<TLEngineDelegate> delegate) override;
  std::string engineName() const override { return kEngineName; }
  void setEngineParameters(const TLEngineParameters&) override {}
  void processEventParams(std::shared_ptr<const TLProcessorEventParams> event,
                          const std::string& processorName) override;
  // Registers for 18, 20 and 26, in that order (and leaves an earlier one).
  void setMessenger(std::shared_ptr<Messenger> messenger) override;
  // The decoder whose configure() carries the engine's configuration keys.
  // A decoder that takes over from an earlier one (a second decoder of the
  // app, or one made after the first went) has a cache that heard none of
  // them: it is sent the platform information last set, the requests for
  // bundle information and, as the policy allows, a download.
  void setDecoder(std::weak_ptr<IEngineDecoder> decoder) override;

  // IThriftMessageReceiver.
  void onReceive(const TLThriftParams& message, const std::string& sender) override;
  // BundleStoreDelegate.
  void onBundlesUpdated(const TLBundleList& bundles) override;
  // TLWebViewContentDelegate.
  bool canWebViewClose(const std::shared_ptr<TLBundle>& bundle) override;
  void notifyCloseWebview(const std::shared_ptr<TLBundle>& bundle) override;
  void sendMessage(const std::string& message, int64_t protectionLevel,
                   const std::string& bundleId) override;
  std::string getCurrentNetworkStatusString() override;

  // The status texts: 0 "NotReachable", 1 "ReachableViaWiFi",
  // 2 "ReachableViaWWAN"; none for others.
  static std::optional<std::string> networkStatusText(int64_t status);
  // The platform information JSON object (without the additional data).
  Json::Value platformInfo(const std::optional<std::string>& url) const;

 private:
  explicit TLContentEngine(Options options);
  void init();
  void configure(const ConfigDictionary& map);
  void onMain(Block block);
  std::shared_ptr<TLWKWebViewProtocol> host();
  std::shared_ptr<TLContentEngineDelegate> contentDelegate() const;
  void send(const ::apache::thrift::TBase& message);
  void downloadAccordingToPolicy();
  void onReachabilityChanged(const std::shared_ptr<Reachability>& reachability);
  void handleContentSignal(const ContentSignal* signal);
  void handleDownloadStatus(const DownloadStatusSignal* signal);
  void handleJavascriptAnswer(const JavascriptMessage* message);
  void openAction(const std::shared_ptr<TLBundleAction>& action, bool withTimeStamp);
  void postNotification(const std::shared_ptr<TLBundleAction>& action, bool atOnce);
  // False when there is no host.
  bool webViewEmit(const std::string& key, const std::string& value,
                   const std::optional<std::string>& url, std::shared_ptr<TLBundle> bundle);
  void fail(int64_t code, std::shared_ptr<TLBundle> bundle, std::shared_ptr<TLBundleAction> action);

  Options options_;
  std::unique_ptr<BundleStore> store_;
  std::shared_ptr<TimedActionScheduler> scheduler_;
  std::shared_ptr<Reachability> reachability_;
  NotificationCenter::Token reachabilityToken_ = 0;

  mutable tembrolexin::Mutex mutex_;
  std::shared_ptr<TLEngineDelegate> delegate_;
  std::shared_ptr<Messenger> messenger_;
  // Holds the connected decoder only (the messenger above has registrations
  // of its own).
  EngineContext context_;
  std::shared_ptr<TLWKWebViewProtocol> host_;
  int64_t networkStatus_ = NotReachable;
  int64_t policy_ = 2;
  // The platform information text last sent; none before setUrl.
  std::optional<std::string> platformInfoText_;
  bool decoderConnected_ = false;  // a live decoder was connected before
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_TL_CONTENT_ENGINE_H_
