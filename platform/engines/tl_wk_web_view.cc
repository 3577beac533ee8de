#include "platform/engines/tl_wk_web_view.h"

#include <json/json.h>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/json_text.h"
#include "platform/runtime/platform_environment.h"
#include "platform/runtime/tl_logger.h"
#include "platform/runtime/url_opener.h"

namespace tembrolexinplatform {

const char* const TL_BUNDLE_SCHEME = "bundle://";
const char* const TL_BUNDLE_OPEN_NOTIFICATION_NAME = "com.tembrolexin.sdk.BundleOpenNotification";
const char* const TL_BUNDLE_OPEN_ACTION_ID = "bundle_id";

namespace {

tembrolexin::Mutex& sharedMutex() {
  static tembrolexin::Mutex* m = new tembrolexin::Mutex();
  return *m;
}
std::weak_ptr<TLWKWebView>& sharedSlot() {
  static auto* slot = new std::weak_ptr<TLWKWebView>();
  return *slot;
}

std::string jsonString(const std::string& text) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = false;  // \u escapes keep U+2028 and friends out of the script
  return Json::writeString(builder, Json::Value(text));
}

}  // namespace

std::shared_ptr<TLWKWebView> TLWKWebView::create(std::unique_ptr<WebEngine> engine,
                                                 Options options) {
  if (!engine) return nullptr;
  if (options.documentsFolder.empty()) {
    options.documentsFolder = PlatformEnvironment::current().documentsFolder;
  }
  std::shared_ptr<TLWKWebView> host(new TLWKWebView(std::move(engine), std::move(options)));
  host->resetState();
  std::weak_ptr<TLWKWebView> weak = host;
  SafeDispatch(*host->options_.dispatcher).safeDispatchAsyncOnMainQueue([weak] {
    if (auto self = weak.lock()) self->createWebView();
  });
  return host;
}

std::shared_ptr<TLWKWebView> TLWKWebView::sharedTLWKWebview() {
  std::lock_guard lock(sharedMutex());
  return sharedSlot().lock();
}

TLWKWebView::TLWKWebView(std::unique_ptr<WebEngine> engine, Options options)
    : engine_(std::move(engine)), options_(std::move(options)) {}

void TLWKWebView::resetState() {
  {
    std::lock_guard lock(mutex_);
    currentURL_.clear();
    currentBundle_.reset();
  }
  std::lock_guard lock(sharedMutex());
  sharedSlot() = weak_from_this();
}

void TLWKWebView::setDelegate(std::weak_ptr<TLWebViewContentDelegate> delegate) {
  std::lock_guard lock(mutex_);
  contentDelegate_ = std::move(delegate);
}

std::string TLWKWebView::currentURL() const {
  std::lock_guard lock(mutex_);
  return currentURL_;
}

std::shared_ptr<TLBundle> TLWKWebView::currentBundle() const {
  std::lock_guard lock(mutex_);
  return currentBundle_;
}

void TLWKWebView::createWebView() {
  engine_->createView({kHandlerSendMessage, kHandlerSendMessageInternal, kHandlerCloseView}, this);
  std::lock_guard lock(mutex_);
  viewUsable_ = true;
}

std::string TLWKWebView::initialStateScript(const std::string& netStatusJson,
                                            const std::string& actionJson) {
  return "window.addEventListener('load', function() { tembrolexin.setInitialState({netStatus: '" +
         netStatusJson + "', action: " + actionJson + " }); } );";
}

std::string TLWKWebView::emitScript(const std::string& key, const std::string& value) {
  return "tembrolexin.emit(" + jsonString(key) + "," + value + ");";
}

void TLWKWebView::emit(const std::string& key, const std::string& value,
                       const std::optional<std::string>& url, std::shared_ptr<TLBundle> bundle) {
  std::weak_ptr<TLWKWebView> weak = weak_from_this();
  if (url && key == "action") {
    std::shared_ptr<TLWebViewContentDelegate> delegate;
    bool load = false;
    {
      std::lock_guard lock(mutex_);
      if (*url != currentURL_) {
        load = true;
        currentBundle_ = bundle;
        currentURL_ = *url;
        delegate = contentDelegate_.lock();
      }
    }
    if (load) {
      const std::string script =
          initialStateScript(delegate ? delegate->getCurrentNetworkStatusString() : "", value);
      const std::string path = *url;
      options_.dispatcher->mainQueue()->async([weak, path, script] {
        if (auto self = weak.lock()) self->loadPage(path, script);
      });
      return;
    }
  }
  const std::string shown = currentURL();
  if (shown.empty()) return;
  if (url && !url->empty() && *url != shown) return;
  const std::string script = emitScript(key, value);
  options_.dispatcher->mainQueue()->async([weak, script] {
    if (auto self = weak.lock()) self->evaluate(script);
  });
}

void TLWKWebView::loadPage(const std::string& path, const std::string& script) {
  bool usable;
  {
    std::lock_guard lock(mutex_);
    usable = viewUsable_;
  }
  if (!usable) createWebView();
  std::string file = path;
  std::string readable = options_.documentsFolder;
  if (options_.pageCopier) {
    const std::string url = options_.pageCopier->copyAssetsDir2TmpDir(path);
    if (url.empty()) {
      TLLogger::errorInMethod("-[TLWKWebView loadPage:]", __LINE__,
                              "Could not copy %s for the web view", path.c_str());
      std::lock_guard lock(mutex_);
      if (currentURL_ == path) {  // so that the next action tries again
        currentURL_.clear();
        currentBundle_.reset();
      }
      return;
    }
    file = url.substr(std::string("file://").size());
    readable = options_.pageCopier->tmpFolderPath() + "/www";
  }
  engine_->loadFile(file, readable);
  engine_->attach();
  evaluate(script);
}

void TLWKWebView::evaluate(std::string script) {
  engine_->evaluateScript(script, [](std::optional<std::string> error) {
    if (error) {
      TLLogger::errorInMethod("-[TLWKWebView emit:withValue:forURL:bundle:]", __LINE__,
                              "JavaScript handler error: %s", error->c_str());
    }
  });
}

void TLWKWebView::closeWebView() {
  constexpr const char* kMethod = "-[TLWKWebView closeWebView]";
  std::shared_ptr<TLWebViewContentDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    delegate = contentDelegate_.lock();
  }
  if (!delegate) {
    TLLogger::errorInMethod(kMethod, __LINE__, "contentDelegate_ is nil");
    return;
  }
  if (!delegate->canWebViewClose(currentBundle())) {
    TLLogger::errorInMethod(kMethod, __LINE__, "Content engine blocked closure of webview");
    return;
  }
  std::shared_ptr<TLBundle> kept;
  {
    std::lock_guard lock(mutex_);
    kept = std::move(currentBundle_);
    currentBundle_.reset();
    currentURL_.clear();
    viewUsable_ = false;
  }
  engine_->remove();
  std::weak_ptr<TLWKWebView> weak = weak_from_this();
  std::weak_ptr<TLWebViewContentDelegate> weakDelegate = delegate;
  options_.dispatcher->timers().schedule(
      kRecreateDelay, options_.dispatcher->mainQueue(), [weak, weakDelegate, kept] {
        auto self = weak.lock();
        if (!self) return;
        bool usable;
        {
          std::lock_guard lock(self->mutex_);
          usable = self->viewUsable_;
        }
        if (!usable) self->createWebView();
        TLLogger::debugInMethod("-[TLWKWebView closeWebView]_block_invoke", __LINE__,
                                "closing WebView");
        if (auto d = weakDelegate.lock()) d->notifyCloseWebview(kept);
      });
}

void TLWKWebView::didReceiveScriptMessage(const std::string& name, const std::string& body) {
  constexpr const char* kMethod = "-[TLWKWebView userContentController:didReceiveScriptMessage:]";
  TLLogger::debugInMethod(kMethod, __LINE__, "Received event %s = %s", name.c_str(), body.c_str());
  if (name == kHandlerCloseView) {
    closeWebView();
  } else if (name == kHandlerSendMessage || name == kHandlerSendMessageInternal) {
    TLLogger::debugInMethod(kMethod, __LINE__, "sendMessage from JS, msg.body = %s", body.c_str());
    dealWithBody(body, name == kHandlerSendMessage ? 1 : 0);
  }
}

void TLWKWebView::dealWithBody(const std::string& body, int64_t level) {
  constexpr const char* kMethod = "-[TLWKWebView dealWithBody:protectionLevel:]";
  std::shared_ptr<TLBundle> bundle;
  std::shared_ptr<TLWebViewContentDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    bundle = currentBundle_;
    delegate = contentDelegate_.lock();
  }
  if (bundle && delegate) {
    delegate->sendMessage(body, level, bundle->bundleId());
  } else {
    TLLogger::warnInMethod(kMethod, __LINE__,
                           "Could not notify decoder of tembrolexin.js::sendMessage due to nil "
                           "assetId!");
  }
  Json::Value root;
  bool parsed = false;
  try {
    parsed = tembrolexinsdk::parseJsonText(body, root, false);
  } catch (const std::exception&) {
    parsed = false;
  }
  if (!parsed) {
    TLLogger::debugInMethod(kMethod, __LINE__, "Error parsing JSON: %s", body.c_str());
    return;
  }
  if (!root.isObject()) return;
  TLLogger::debugInMethod(kMethod, __LINE__, "jsonDictionary - %s", body.c_str());
  const Json::Value& action = root["action"];
  const Json::Value& value = root["value"];
  if (action.isString() && action.asString() == "openURL" && value.isString()) {
    openURLThroughApp(value.asString());
  }
}

bool TLWKWebView::decidePolicyForNavigation(const std::string& url, bool linkActivated) {
  if (!linkActivated) return true;
  TLLogger::debugInMethod("-[TLWKWebView webView:decidePolicyForNavigationAction:decisionHandler:]",
                          __LINE__, "Link activated to %s", url.c_str());
  if (url.rfind(TL_BUNDLE_SCHEME, 0) == 0) {
    handleBundleLink(url);
    return true;
  }
  std::shared_ptr<URLOpener> opener = URLOpener::shared();
  if (opener && opener->canOpenURL(url)) opener->openURL(url);
  return false;
}

void TLWKWebView::handleBundleLink(const std::string& link) {
  const std::size_t slash = link.rfind('/');
  const std::string bundleId = slash == std::string::npos ? link : link.substr(slash + 1);
  TLLogger::debugInMethod("-[TLWKWebView handleBundleLink:]", __LINE__,
                          "Handling deeplink for bundle %s", bundleId.c_str());
  options_.notifications->postNotification(
      {TL_BUNDLE_OPEN_NOTIFICATION_NAME, shared_from_this(), {{TL_BUNDLE_OPEN_ACTION_ID, bundleId}}});
}

}  // namespace tembrolexinplatform
