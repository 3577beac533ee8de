#include "platform/engines/tl_content_engine.h"

#include <sys/utsname.h>
#include <utility>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include <json/json.h>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/json_text.h"
#include "platform/runtime/platform_environment.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

const char* const TLContentEngine_Type = "IContentEngine";

namespace {

constexpr int64_t kReferenceDateOffsetMs = 978307200000LL;  // 2001-01-01 in Unix milliseconds

std::optional<Json::Value> parseJson(const std::string& text) {
  Json::Value root;
  try {
    if (tembrolexinsdk::parseJsonText(text, root, false)) return root;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

tembrolexin::Mutex& sharedMutex() {
  static tembrolexin::Mutex* m = new tembrolexin::Mutex();
  return *m;
}
TLContentEngine::Options& sharedOptions() {
  static auto* o = new TLContentEngine::Options();
  return *o;
}

}  // namespace

// --- Creation -----------------------------------------------------------------

std::shared_ptr<TLContentEngine> TLContentEngine::sharedEngine() {
  // Made outside the options' lock: making the engine logs. Its lines reach
  // the app once it is made: the log delegate may ask for this engine,
  // which waits for the making to end.
  TLLogger::HeldLines held;
  static auto* engine = new std::shared_ptr<TLContentEngine>(create([] {
    std::lock_guard lock(sharedMutex());
    return sharedOptions();
  }()));
  return *engine;
}

void TLContentEngine::setSharedOptions(Options options) {
  // The options let go of hold the app's objects: they end after the lock
  // is released.
  Options old;
  std::lock_guard lock(sharedMutex());
  old = std::exchange(sharedOptions(), std::move(options));
}

std::shared_ptr<TLContentEngine> TLContentEngine::create(Options options) {
  std::shared_ptr<TLContentEngine> engine(new TLContentEngine(std::move(options)));
  engine->init();
  return engine;
}

TLContentEngine::TLContentEngine(Options options) : options_(std::move(options)) {
  if (options_.documentsFolder.empty()) {
    options_.documentsFolder = PlatformEnvironment::current().documentsFolder;
  }
  if (!options_.notifications) options_.notifications = LocalNotificationCenter::current();
}

void TLContentEngine::init() {
  host();
  std::weak_ptr<TLContentEngine> weak = weak_from_this();
  reachabilityToken_ = options_.notificationCenter->addObserver(
      kReachabilityChangedNotification, [weak](const Notification& n) {
        auto self = weak.lock();
        const auto* r = std::any_cast<std::shared_ptr<Reachability>>(&n.object);
        if (self && r && *r) self->onReachabilityChanged(*r);
      });
  reachability_ = options_.reachability;
  if (!reachability_) {
    reachability_ = Reachability::reachabilityForInternetConnection(*options_.notificationCenter,
                                                                    *options_.dispatcher);
  }
  reachability_->startNotifier();
  const NetworkStatus status = reachability_->currentReachabilityStatus();  // logs
  {
    std::lock_guard lock(mutex_);
    networkStatus_ = status;
    policy_ = 2;
  }
  store_ = std::make_unique<BundleStore>(weak_from_this(), options_.documentsFolder);
  scheduler_ = TimedActionScheduler::create(options_.notifications, *options_.clock);
  requestBundleInformation();
}

TLContentEngine::~TLContentEngine() {
  options_.notificationCenter->removeObserver(reachabilityToken_);
  std::shared_ptr<Messenger> messenger;
  {
    std::lock_guard lock(mutex_);
    messenger = messenger_;
  }
  if (messenger) {
    for (int32_t type : {18, 20, 26}) messenger->unregisterReceiver(this, type);
  }
}

// --- Plumbing -----------------------------------------------------------------

void TLContentEngine::configure(const ConfigDictionary& map) {
  if (options_.configure) {
    options_.configure(map);
  } else {
    context_.configure(map, "-[TLContentEngine configure:]");
  }
}

void TLContentEngine::setDecoder(std::weak_ptr<IEngineDecoder> decoder) {
  const auto self = weak_from_this().lock();  // whole until this returns
  const bool live = !decoder.expired();
  const bool changed = context_.setDecoder(std::move(decoder));
  bool takesOver = false;
  std::optional<std::string> info;
  {
    std::lock_guard lock(mutex_);
    takesOver = changed && live && decoderConnected_;
    decoderConnected_ = decoderConnected_ || live;
    info = platformInfoText_;
  }
  // The first decoder received what was asked before it connected; another
  // one has a cache of its own that knows nothing yet.
  if (!takesOver) return;
  TLLogger::infoInMethod("-[TLContentEngine setDecoder:]", __LINE__,
                         "Connected to another decoder: sending it the bundle settings again");
  if (info) configure({{"tembrolexin_CacheProcessor_platformInfo", *info}});
  requestBundleInformation();
  if (info) downloadAccordingToPolicy();
}

void TLContentEngine::onMain(Block block) { options_.dispatcher->mainQueue()->async(std::move(block)); }

std::shared_ptr<TLWKWebViewProtocol> TLContentEngine::host() {
  {
    std::lock_guard lock(mutex_);
    if (host_) return host_;
  }
  std::shared_ptr<TLWKWebViewProtocol> found =
      options_.webViewHost ? options_.webViewHost() : TLWKWebView::sharedTLWKWebview();
  if (!found) return nullptr;
  found->setDelegate(std::weak_ptr<TLWebViewContentDelegate>(weak_from_this()));
  std::lock_guard lock(mutex_);
  if (!host_) host_ = found;
  return host_;
}

std::shared_ptr<TLEngineDelegate> TLContentEngine::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

void TLContentEngine::setDelegate(std::shared_ptr<TLEngineDelegate> delegate) {
  // The delegate let go of is the app's: it ends after the lock is released.
  std::shared_ptr<TLEngineDelegate> old;
  std::lock_guard lock(mutex_);
  old = std::exchange(delegate_, std::move(delegate));
}

std::shared_ptr<TLContentEngineDelegate> TLContentEngine::contentDelegate() const {
  return std::dynamic_pointer_cast<TLContentEngineDelegate>(delegate());
}

void TLContentEngine::setMessenger(std::shared_ptr<Messenger> messenger) {
  std::shared_ptr<Messenger> old;
  {
    std::lock_guard lock(mutex_);
    old = messenger_;
    messenger_ = messenger;
  }
  // Registering again with the same messenger would deliver every message
  // twice.
  if (old == messenger) return;
  if (old) {
    for (int32_t type : {18, 20, 26}) old->unregisterReceiver(this, type);
  }
  if (messenger) {
    for (int32_t type : {18, 20, 26}) messenger->registerReceiver(this, type);
  }
}

void TLContentEngine::send(const ::apache::thrift::TBase& message) {
  std::shared_ptr<Messenger> messenger;
  {
    std::lock_guard lock(mutex_);
    messenger = messenger_;
  }
  if (messenger) messenger->sendMessage(message, TLContentEngine_Type);
}

void TLContentEngine::fail(int64_t code, std::shared_ptr<TLBundle> bundle,
                           std::shared_ptr<TLBundleAction> action) {
  if (auto d = contentDelegate()) {
    onMain([d, code, bundle, action] { d->contentEngineDidFail(code, bundle, action); });
  }
}

// --- App-facing operations ------------------------------------------------------

void TLContentEngine::prepareBundle(const std::string& path) {
  const auto self = weak_from_this().lock();  // whole until this returns
  configure({{"tembrolexin_CacheProcessor_assetsPath", path}});
}

void TLContentEngine::downloadBundles() {
  const auto self = weak_from_this().lock();  // whole until this returns
  configure({{"tembrolexin_CacheProcessor_downloadNow", true}});
  configure({{"tembrolexin_CacheProcessor_downloadNow", false}});
}

void TLContentEngine::requestBundleInformation() {
  const auto self = weak_from_this().lock();  // whole until this returns
  configure({{"tembrolexin_CacheProcessor_assetsInfoRequest", true}});
  configure({{"tembrolexin_CacheProcessor_assetsInfoRequest", false}});
  configure({{"CONTENT_assetsInfoRequest", true}});
  configure({{"CONTENT_assetsInfoRequest", false}});
}

int64_t TLContentEngine::downloadPolicy() const {
  std::lock_guard lock(mutex_);
  return policy_;
}

int64_t TLContentEngine::currentNetworkStatus() const {
  std::lock_guard lock(mutex_);
  return networkStatus_;
}

std::shared_ptr<TLBundle> TLContentEngine::getBundleById(const std::string& bundleId) const {
  return store_->getBundleById(bundleId);
}

Json::Value TLContentEngine::platformInfo(const std::optional<std::string>& url) const {
  const PlatformEnvironment env = PlatformEnvironment::current();
  std::string profile = options_.deviceProfile;
  std::string os = options_.osVersion;
  struct utsname names {};
  const bool haveNames = uname(&names) == 0;
  if (profile.empty() && haveNames) profile = names.machine;
  if (os.empty()) {
    long major = 0, minor = 0, patch = 0;
    if (haveNames) std::sscanf(names.release, "%ld.%ld.%ld", &major, &minor, &patch);
    os = std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
  }
  Json::Value info(Json::objectValue);
  info["app"]["id"] = env.bundleIdentifier;
  info["app"]["version"] = "Version " + env.appVersion;
  info["device"]["profile"] = profile;
  info["device"]["platform"] = "ios";
  info["device"]["os"] = os;
  info["device"]["locale"] = env.locale.empty() ? "Unknown" : env.locale;
  info["location"]["lat"] = 0.0;
  info["location"]["lon"] = 0.0;
  info["location"]["country"] = "UK";
  if (url) info["url"] = *url;
  return info;
}

void TLContentEngine::setUrl(const std::optional<std::string>& url, int64_t policy,
                             const Json::Value& additionalData) {
  const auto self = weak_from_this().lock();  // whole until this returns
  {
    std::lock_guard lock(mutex_);
    policy_ = policy;
  }
  Json::Value info = platformInfo(url);
  if (additionalData.isObject()) {
    for (const std::string& key : additionalData.getMemberNames()) info[key] = additionalData[key];
  }
  const std::string text = tembrolexinsdk::prettyJsonText(info);
  {
    std::lock_guard lock(mutex_);
    platformInfoText_ = text;
  }
  configure({{"tembrolexin_CacheProcessor_platformInfo", text}});
  downloadAccordingToPolicy();
}

void TLContentEngine::downloadAccordingToPolicy() {
  int64_t policy, status;
  {
    std::lock_guard lock(mutex_);
    policy = policy_;
    status = networkStatus_;
  }
  if ((policy == 1 && status == ReachableViaWiFi) || (policy == 2 && status != NotReachable)) {
    downloadBundles();
  }
}

void TLContentEngine::openBundleAction(const std::shared_ptr<TLBundleAction>& action) {
  const auto self = weak_from_this().lock();  // whole until this returns
  if (!action) return;
  auto bundle = action->getBundle();
  TLLogger::debugInMethod("-[TLContentEngine openBundleAction:]", __LINE__, "Manual bundle open %s",
                          bundle ? bundle->title().c_str() : "");
  openAction(action, true);
}

void TLContentEngine::openBundleNotification(const std::shared_ptr<TLBundleAction>& action) {
  const auto self = weak_from_this().lock();  // whole until this returns
  if (!action) return;
  TLLogger::debugInMethod("-[TLContentEngine openBundleNotification:]", __LINE__,
                          "Manual notification open");
  postNotification(action, true);
}

void TLContentEngine::sendMessage(const std::string& message,
                                  const std::shared_ptr<TLBundle>& bundle) {
  const auto self = weak_from_this().lock();  // whole until this returns
  webViewEmit("message", message, std::nullopt, bundle);
}

void TLContentEngine::closeWebview() {
  std::weak_ptr<TLContentEngine> weak = weak_from_this();
  onMain([weak] {
    auto self = weak.lock();
    if (!self) return;
    if (auto h = self->host()) h->closeWebView();
  });
}

// --- Opening actions ------------------------------------------------------------

void TLContentEngine::openAction(const std::shared_ptr<TLBundleAction>& action, bool withTimeStamp) {
  constexpr const char* kMethod = "-[TLContentEngine openAction:withTimeStamp:]";
  auto d = contentDelegate();
  if (d) {
    bool open = true;
    std::optional<std::string> thrown;
    const bool asked = options_.dispatcher->appCalls().run([&] {
      try {
        open = d->actionWillOpen(action);
      } catch (const std::exception& e) {
        thrown = e.what();
      } catch (...) {
        thrown = "unknown";
      }
    });
    if (!asked) {
      // The process is exiting: the app can no longer agree to the opening.
      TLLogger::debugInMethod(kMethod, __LINE__, "Action %s not opened: the app takes no more calls",
                              action->actionId().c_str());
      return;
    }
    if (thrown) {
      TLLogger::errorInMethod(kMethod, __LINE__,
                              "Lifecycle listener threw exception onBeforeBundleOpen %s",
                              thrown->c_str());
    } else if (!open) {
      TLLogger::debugInMethod(kMethod, __LINE__, "Action blocked by lifecycle listener");
      return;
    }
  }
  if (withTimeStamp) {
    action->setTimeStamp(options_.clock->wallMicros() / 1000 - kReferenceDateOffsetMs);
  }
  auto bundle = action->getBundle();
  const std::string json = action->getJSON();
  if (json.empty()) {
    TLLogger::errorInMethod(kMethod, __LINE__, "Bundle action with ID: %s could not render JSON",
                            action->actionId().c_str());
    fail(1, bundle, action);
    return;
  }
  // An action that never reached a web view is not reported as opened.
  if (!webViewEmit("action", json, action->entryPoint(), bundle)) return;
  if (d) onMain([d, action] { d->actionDidOpen(action); });
}

bool TLContentEngine::webViewEmit(const std::string& key, const std::string& value,
                                  const std::optional<std::string>& url,
                                  std::shared_ptr<TLBundle> bundle) {
  constexpr const char* kMethod = "-[TLContentEngine webViewEmit:withValue:forURL:bundle:]";
  auto h = host();
  if (!h) {
    TLLogger::errorInMethod(kMethod, __LINE__,
                            "Action for bundleId = %s , cannot be opened for the WebView is "
                            "currently set to null (action =  %s )",
                            bundle ? bundle->bundleId().c_str() : "(null)", value.c_str());
    fail(0, bundle, nullptr);
    return false;
  }
  std::optional<std::string> target = url;
  if (key == "action" && url) {
    target = absoluteEntryPoint(options_.documentsFolder, *url);
    TLLogger::debugInMethod(kMethod, __LINE__, "Emit the action. %s", value.c_str());
    TLLogger::debugInMethod(kMethod, __LINE__, "Emit the URL. %s", target->c_str());
  }
  onMain([h, key, value, target, bundle] { h->emit(key, value, target, bundle); });
  return true;
}

void TLContentEngine::postNotification(const std::shared_ptr<TLBundleAction>& action, bool atOnce) {
  if (!host()) return;
  auto bundle = action->getBundle();
  LocalNotificationRequest request;
  request.identifier = action->notificationID();
  request.title = action->notificationTitle();
  request.body = action->notificationText().empty() ? options_.defaultNotificationBody
                                                     : action->notificationText();
  request.userInfo = {{"key", "action"},
                      {"value", action->actionId()},
                      {"url", action->entryPoint()},
                      {"TYPE", TLContentEngine_Type},
                      {"uid", action->notificationID()},
                      {"assetId", bundle ? bundle->bundleId() : ""}};
  if (!atOnce) request.delaySeconds = static_cast<double>(action->secondsDelay());
  auto center = options_.notifications;
  onMain([center, request] {
    center->addNotificationRequest(request, [](const std::string& error) {
      if (!error.empty()) {
        TLLogger::errorInMethod("-[TLContentEngine postNotification:]_block_invoke", __LINE__,
                                "Error scheduling notification: %s", error.c_str());
      }
    });
  });
}

void TLContentEngine::webViewEmit(const std::map<std::string, std::string>& userInfo) {
  const auto self = weak_from_this().lock();  // whole until this returns
  constexpr const char* kMethod = "-[TLContentEngine webViewEmit:]";
  auto get = [&](const char* k) -> std::optional<std::string> {
    auto it = userInfo.find(k);
    return it == userInfo.end() ? std::nullopt : std::optional<std::string>(it->second);
  };
  const std::string key = get("key").value_or("");
  const std::string value = get("value").value_or("");
  const std::string assetId = get("assetId").value_or("");
  const std::string uid = get("uid").value_or("");
  const std::optional<std::string> rawUrl = get("url");
  std::optional<std::string> url;
  if (rawUrl) url = absoluteEntryPoint(options_.documentsFolder, *rawUrl);
  auto bundle = store_->getBundleById(assetId);
  if (key == "action") {
    if (!bundle) {
      TLLogger::errorInMethod(kMethod, __LINE__, "Bundle %s not found", assetId.c_str());
      fail(2, nullptr, nullptr);
      return;
    }
    auto action = bundle->getActionById(value);
    if (!action) {
      TLLogger::errorInMethod(kMethod, __LINE__, "BundleAction: %s was not found in: bundle: %s",
                              value.c_str(), assetId.c_str());
      return;
    }
    openAction(action, false);
  } else {
    webViewEmit(key, value, url, bundle);
  }
  if (!uid.empty()) {
    NotificationData data;
    data.__set_notificationId(uid);
    data.__set_type(key);
    if (rawUrl) data.__set_url(*rawUrl);
    data.__set_value(value);
    send(data);
  }
}

// --- Messages -------------------------------------------------------------------

void TLContentEngine::onReceive(const TLThriftParams& message, const std::string& /*sender*/) {
  const auto self = weak_from_this().lock();  // whole until this returns
  switch (message.msgType()) {
    case 18:
      if (auto list = message.newMessageOfType<AssetInfoList>()) store_->updateBundles(*list);
      break;
    case 20:
      if (auto list = message.newMessageOfType<AssetActionList>()) store_->updateActions(*list);
      break;
    case 26:
      handleJavascriptAnswer(message.newMessageOfType<JavascriptMessage>().get());
      break;
    default:
      break;
  }
}

void TLContentEngine::processEventParams(std::shared_ptr<const TLProcessorEventParams> event,
                                         const std::string& /*processorName*/) {
  const auto self = weak_from_this().lock();  // whole until this returns
  auto envelope = std::dynamic_pointer_cast<const TLThriftParams>(event);
  if (!envelope) return;
  if (envelope->msgType() == 5) {
    handleDownloadStatus(envelope->newMessageOfType<DownloadStatusSignal>().get());
  } else if (envelope->msgType() == 4) {
    handleContentSignal(envelope->newMessageOfType<ContentSignal>().get());
  }
}

void TLContentEngine::handleContentSignal(const ContentSignal* signal) {
  constexpr const char* kMethod = "-[TLContentEngine handleContentSignal:]";
  if (!signal) {
    TLLogger::errorInMethod(kMethod, __LINE__, "contentSignal is nil");
    return;
  }
  if (signal->emitKey != "action") {
    webViewEmit(signal->emitKey, signal->emitValue, std::string(), nullptr);
    return;
  }
  TLLogger::debugInMethod(kMethod, __LINE__, "Got Action");
  auto bundle = store_->getBundleById(signal->bundleId);
  auto action = bundle ? bundle->getActionById(signal->actionId) : nullptr;
  if (!action) {
    // Nothing to show: an unknown bundle or action is reported, never opened.
    TLLogger::errorInMethod(kMethod, __LINE__, "BundleAction: %s was not found in: bundle: %s",
                            signal->actionId.c_str(), signal->bundleId.c_str());
    fail(1, bundle, nullptr);
    return;
  }
  action->setTimeInTrack(signal->timeInTrack);
  TLLogger::debugInMethod(
      kMethod, __LINE__, "Got an action with value: %s for URL: %s Delay: %ld  Notification title: %s",
      action->getJSON().c_str(), action->entryPoint().c_str(),
      static_cast<long>(action->secondsDelay()), action->notificationTitle().c_str());
  if (action->notificationTitle().empty() && action->notificationText().empty()) {
    openAction(action, false);
  } else {
    postNotification(action, action->secondsDelay() == 0);
  }
}

void TLContentEngine::handleDownloadStatus(const DownloadStatusSignal* signal) {
  if (!signal) {
    TLLogger::errorInMethod("-[TLContentEngine handleDownloadStatus:]", __LINE__,
                            "downloadStatusSignal is nil");
    return;
  }
  auto d = contentDelegate();
  if (!d) return;
  const std::string id = signal->assetId;
  const std::string file = signal->filename;
  switch (signal->downloadStatusType) {
    case 0: onMain([d, id, file] { d->bundleDownloadPending(id, file); }); break;
    case 2: onMain([d, id, file] { d->bundleDownloadComplete(id, file); }); break;
    case 3: onMain([d, id, file] { d->bundleDownloadFailed(id, file); }); break;
    default: break;
  }
}

void TLContentEngine::handleJavascriptAnswer(const JavascriptMessage* message) {
  if (!message) {
    TLLogger::warnInMethod("-[TLContentEngine onReceive:sender:]", __LINE__,
                           "Failed parsing incoming javascriptmessage");
    return;
  }
  std::string name;
  if (message->messageType == 2) {
    name = "storeData-" + message->key;
  } else if (message->messageType == 1) {
    name = "loadData-" + message->key;
  } else {
    return;
  }
  if (auto h = host()) h->emit(name, message->messageContent, std::string(), nullptr);
}

// --- Pages, bundles and the network -------------------------------------------------

void TLContentEngine::sendMessage(const std::string& message, int64_t protectionLevel,
                                  const std::string& bundleId) {
  const auto self = weak_from_this().lock();  // whole until this returns
  AssetMessage assetMessage;
  assetMessage.__set_assetId(bundleId);
  assetMessage.__set_messageJson(message);
  send(assetMessage);
  auto bundle = store_->getBundleById(bundleId);
  const std::optional<Json::Value> parsed = parseJson(message);
  if (!parsed) fail(2, bundle, nullptr);
  auto d = contentDelegate();
  if (!d) {
    TLLogger::errorInMethod("-[TLContentEngine sendMessage:protectionLevel:bundleId:]", __LINE__,
                            "Current delegate is not a TLContentEngineDelegate");
    return;
  }
  if (protectionLevel == 1) {
    onMain([d, parsed, bundle] { d->messageReceived(parsed, bundle); });
  } else if (protectionLevel == 0) {
    JavascriptMessage request;
    request.__set_messageType(0);
    request.__set_bundleId(bundleId);
    request.__set_messageContent(message);
    request.__set_key("");
    send(request);
  }
}

void TLContentEngine::onBundlesUpdated(const TLBundleList& bundles) {
  const auto self = weak_from_this().lock();  // whole until this returns
  scheduler_->updateBundles(bundles);
  if (auto d = contentDelegate()) onMain([d, bundles] { d->bundlesDidUpdate(bundles); });
}

bool TLContentEngine::canWebViewClose(const std::shared_ptr<TLBundle>& bundle) {
  const auto self = weak_from_this().lock();  // whole until this returns
  constexpr const char* kMethod = "-[TLContentEngine canWebViewClose:]";
  auto d = contentDelegate();
  if (!d) return true;
  bool close = true;
  std::optional<std::string> thrown;
  // A closed gate (the process is exiting) keeps the app out: the close goes
  // on as if it had agreed.
  options_.dispatcher->appCalls().run([&] {
    try {
      close = d->bundleWillClose(bundle);
    } catch (const std::exception& e) {
      thrown = e.what();
    } catch (...) {
      thrown = "unknown";
    }
  });
  if (thrown) {
    TLLogger::errorInMethod(kMethod, __LINE__,
                            "Lifecycle listener threw exception onBeforeBundleClose %s",
                            thrown->c_str());
  } else if (!close) {
    TLLogger::debugInMethod(kMethod, __LINE__, "Action blocked by lifecycle listener");
    return false;
  }
  return true;
}

void TLContentEngine::notifyCloseWebview(const std::shared_ptr<TLBundle>& bundle) {
  if (auto d = contentDelegate()) onMain([d, bundle] { d->bundleDidClose(bundle); });
}

std::optional<std::string> TLContentEngine::networkStatusText(int64_t status) {
  switch (status) {
    case NotReachable: return "NotReachable";
    case ReachableViaWiFi: return "ReachableViaWiFi";
    case ReachableViaWWAN: return "ReachableViaWWAN";
    default: return std::nullopt;
  }
}

std::string TLContentEngine::getCurrentNetworkStatusString() {
  return "{\"id\":\"" + networkStatusText(currentNetworkStatus()).value_or("(null)") + "\"}";
}

void TLContentEngine::onReachabilityChanged(const std::shared_ptr<Reachability>& reachability) {
  const int64_t now = reachability->currentReachabilityStatus();
  int64_t old, policy;
  {
    std::lock_guard lock(mutex_);
    old = networkStatus_;
    policy = policy_;
  }
  if (now != old) {
    webViewEmit({{"key", "netStatus"},
                 {"value", "{\"id\":\"" + networkStatusText(now).value_or("(null)") + "\"}"}});
  }
  {
    std::lock_guard lock(mutex_);
    networkStatus_ = now;
  }
  if ((old == NotReachable && now != NotReachable && policy == 2) ||
      (now == ReachableViaWiFi && policy == 1)) {
    downloadBundles();
  }
}

}  // namespace tembrolexinplatform
