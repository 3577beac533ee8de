// TLWKWebView: the one host of content pages. It shows a bundle's entry page
// in a web view on top of the app, passes the content engine's events into
// the page through the page's bridge object `tembrolexin`, and passes the
// page's script messages back to the content engine.
//
// No browser is bundled: the app embeds its own web view behind WebEngine
// and creates the host with it (TLWKWebView::create); the content engine
// finds the host through sharedTLWKWebview(). Every page gets a web view with
// the three script message handlers "sendMessage", "sendMessageInternal" and
// "closeView"; closing removes the view and makes a fresh one 200 ms later.
//
// Events into the page:
//   - opening an action whose page is not shown loads the page (read access
//     to the documents folder) and evaluates
//       window.addEventListener('load', function() {
//         tembrolexin.setInitialState({netStatus: '<status JSON>', action: <JSON> }); } );
//   - anything else, while a page is shown and no other page is named:
//       tembrolexin.emit(<key as a JSON string>,<value>);
//     the value is inserted as it is (it is script text, usually JSON).
// Links: "bundle://<path>/<id>" posts TL_BUNDLE_OPEN_NOTIFICATION_NAME with
// {"bundle_id": id} on the notification centre and is allowed; other
// activated links go to the app's URL opener and are cancelled.
//
// Ownership: the host owns its WebEngine; the content delegate is held
// weakly (the content engine outlives pages, and tests make several).
//
// Thread safety: emit may be called from any thread: it updates the shown
// page and bundle under the host's lock on the calling thread and defers
// all web view work to the main queue. Every other operation, and every
// WebEngine call and callback, runs on the main thread.
#ifndef TL_PLATFORM_ENGINES_TL_WK_WEB_VIEW_H_
#define TL_PLATFORM_ENGINES_TL_WK_WEB_VIEW_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "platform/engines/tl_bundle.h"
#include "platform/engines/tl_copy_assets.h"
#include "platform/runtime/notification_center.h"
#include "platform/runtime/safe_dispatch.h"

namespace tembrolexinplatform {

extern const char* const TL_BUNDLE_SCHEME;                 // "bundle://"
extern const char* const TL_BUNDLE_OPEN_NOTIFICATION_NAME;  // posted for bundle links
extern const char* const TL_BUNDLE_OPEN_ACTION_ID;          // "bundle_id"

// What the web view tells its host.
class WebEngineClient {
 public:
  virtual ~WebEngineClient() = default;
  // A page posted `body` to the handler `name`.
  virtual void didReceiveScriptMessage(const std::string& name, const std::string& body) = 0;
  // Whether to follow a navigation to `url`; `linkActivated` when the user
  // activated a link.
  virtual bool decidePolicyForNavigation(const std::string& url, bool linkActivated) = 0;
};

// The app's embedded browser. Called on the main thread only.
class WebEngine {
 public:
  virtual ~WebEngine() = default;
  // Replaces the current web view with a new one whose script message
  // handlers are `handlerNames` (in that order), reporting to `client`
  // (not owned; it outlives the engine's use of it).
  virtual void createView(const std::vector<std::string>& handlerNames, WebEngineClient* client) = 0;
  // Loads the file at `path`, allowing the page to read below
  // `readAccessFolder`.
  virtual void loadFile(const std::string& path, const std::string& readAccessFolder) = 0;
  // Evaluates `script` in the page; `completion` gets the error's
  // description, or none.
  virtual void evaluateScript(const std::string& script,
                              std::function<void(std::optional<std::string> error)> completion) = 0;
  // Shows the view on top of the app's interface, filling it.
  virtual void attach() = 0;
  // Takes the view off the screen.
  virtual void remove() = 0;
};

// What the host asks of the content engine.
class TLWebViewContentDelegate {
 public:
  virtual ~TLWebViewContentDelegate() = default;
  virtual bool canWebViewClose(const std::shared_ptr<TLBundle>& bundle) = 0;
  virtual void notifyCloseWebview(const std::shared_ptr<TLBundle>& bundle) = 0;
  // Level 1 from "sendMessage", 0 from "sendMessageInternal".
  virtual void sendMessage(const std::string& message, int64_t protectionLevel,
                           const std::string& bundleId) = 0;
  // The status JSON text, e.g. {"id":"ReachableViaWiFi"}.
  virtual std::string getCurrentNetworkStatusString() = 0;
};

// What the content engine asks of the host.
class TLWKWebViewProtocol {
 public:
  virtual ~TLWKWebViewProtocol() = default;
  // `url` none: the page shown.
  virtual void emit(const std::string& key, const std::string& value,
                    const std::optional<std::string>& url, std::shared_ptr<TLBundle> bundle) = 0;
  virtual void setDelegate(std::weak_ptr<TLWebViewContentDelegate> delegate) = 0;
  virtual void closeWebView() = 0;
};

class TLWKWebView final : public TLWKWebViewProtocol,
                          public WebEngineClient,
                          public std::enable_shared_from_this<TLWKWebView> {
 public:
  struct Options {
    Dispatcher* dispatcher = &Dispatcher::shared();
    NotificationCenter* notifications = &NotificationCenter::defaultCenter();
    // Pages may read below it; empty: the installed environment's.
    std::string documentsFolder;
    // For web engines that cannot be limited to the documents folder: each
    // page is loaded from a copy of its folder made by this copier (not
    // owned), with read access to that copy only. A page whose copy fails
    // is not shown.
    TLCopyAssets2TmpDir* pageCopier = nullptr;
  };

  static constexpr const char* kHandlerSendMessage = "sendMessage";
  static constexpr const char* kHandlerSendMessageInternal = "sendMessageInternal";
  static constexpr const char* kHandlerCloseView = "closeView";
  static constexpr std::chrono::milliseconds kRecreateDelay{200};

  // Makes the host, resets its state (it becomes the shared host) and
  // creates its first web view (on the main queue).
  static std::shared_ptr<TLWKWebView> create(std::unique_ptr<WebEngine> engine, Options options);
  // The shared host; null when none has been made (or it is gone).
  static std::shared_ptr<TLWKWebView> sharedTLWKWebview();

  void emit(const std::string& key, const std::string& value,
            const std::optional<std::string>& url, std::shared_ptr<TLBundle> bundle) override;
  void setDelegate(std::weak_ptr<TLWebViewContentDelegate> delegate) override;
  // On the main thread.
  void closeWebView() override;

  // WebEngineClient, on the main thread.
  void didReceiveScriptMessage(const std::string& name, const std::string& body) override;
  bool decidePolicyForNavigation(const std::string& url, bool linkActivated) override;

  // The page shown ("" when none) and its bundle.
  std::string currentURL() const;
  std::shared_ptr<TLBundle> currentBundle() const;

  // The scripts the host evaluates.
  static std::string initialStateScript(const std::string& netStatusJson,
                                        const std::string& actionJson);
  static std::string emitScript(const std::string& key, const std::string& value);

 private:
  TLWKWebView(std::unique_ptr<WebEngine> engine, Options options);
  void resetState();
  // Main thread.
  void createWebView();
  void evaluate(std::string script);
  void dealWithBody(const std::string& body, int64_t level);
  void handleBundleLink(const std::string& link);
  // Main thread: loads and shows the page, with its initial state.
  void loadPage(const std::string& path, const std::string& script);

  const std::unique_ptr<WebEngine> engine_;
  const Options options_;
  mutable tembrolexin::Mutex mutex_;
  std::weak_ptr<TLWebViewContentDelegate> contentDelegate_;
  std::shared_ptr<TLBundle> currentBundle_;
  std::string currentURL_;
  // False from a close until a web view is made again; an action that comes
  // in that window makes the view itself instead of loading into the
  // removed one.
  bool viewUsable_ = false;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_TL_WK_WEB_VIEW_H_
