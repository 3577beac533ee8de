#include "platform/net/network_manager.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "platform/messages/message_types.h"
#include "platform/runtime/platform_environment.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

constexpr int32_t kStringRequestType = 21;

struct RetryClass {
  int32_t firstDelay;
  int32_t largestDelay;
};
constexpr RetryClass kRetryClasses[] = {{30, 600}, {30, 1800}, {600, 7200}};

struct PluginUpload {
  const char* pluginName;
  const char* path;
  const char* fileField;
};
constexpr PluginUpload kPluginUploads[] = {
    {"tembrolexin_EchoModPlugin", "upload", "uploadzip"},
    {kDebugPluginName, "uploaddbg", "uploadzip"},
    {"tembrolexin_TestPlugin", "uploadModuleData", "upload"},
    {"tembrolexin_Fingerprint", "uploadModuleData", "upload"},
    {"tembrolexin_FPServer", "uploadModuleData", "upload"},
    // Audio-match plug-ins of partner makers.
    {"tembrolexin_AMPartnerA", "uploadModuleData", "upload"},
    {"tembrolexin_AMPartnerB", "uploadModuleData", "upload"},
    {"tembrolexin_AMPartnerC", "uploadModuleData", "upload"},
};

// Every plug-in that uploads keeps room for its sequence number in the user
// defaults file.
constexpr bool everyUploaderHasRoomInTheDefaults() {
  for (const auto& entry : kPluginUploads) {
    bool reserved = false;
    for (std::string_view name : UserDefaults::kReservedSequencePlugins) {
      reserved = reserved || name == entry.pluginName;
    }
    if (!reserved) return false;
  }
  return true;
}
static_assert(everyUploaderHasRoomInTheDefaults(),
              "a plug-in that uploads needs its place in UserDefaults::kReservedSequencePlugins");

const PluginUpload* findPlugin(const std::string& name) {
  for (const auto& entry : kPluginUploads) {
    if (name == entry.pluginName) return &entry;
  }
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// UploadQueue

void UploadQueue::add(RequestPtr request) {
  std::lock_guard lock(mutex_);
  requests_.push_back(std::move(request));
}

void UploadQueue::insertRequestAtIndex(RequestPtr request, std::size_t index) {
  std::lock_guard lock(mutex_);
  index = std::min(index, requests_.size());
  requests_.insert(requests_.begin() + static_cast<std::ptrdiff_t>(index), std::move(request));
}

void UploadQueue::remove(const RequestPtr& request) {
  std::lock_guard lock(mutex_);
  requests_.erase(std::remove(requests_.begin(), requests_.end(), request), requests_.end());
}

UploadQueue::RequestPtr UploadQueue::requestAtIndex(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return index < requests_.size() ? requests_[index] : nullptr;
}

std::size_t UploadQueue::count() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

bool UploadQueue::isEmpty() const { return count() == 0; }

void UploadQueue::clear() {
  std::vector<RequestPtr> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(requests_);
  }
  // The requests go here, with the lock released: each logs as it goes.
}

UploadQueue::RequestPtr UploadQueue::current() const {
  std::lock_guard lock(mutex_);
  return current_;
}

void UploadQueue::setCurrentRequest(RequestPtr request) {
  std::lock_guard lock(mutex_);
  current_ = std::move(request);
}

bool UploadQueue::isUploading() const { return current() != nullptr; }

void UploadQueue::cancelCurrentRequest() {
  // The request logs the cancel (and its end, if this was the last
  // reference): the lines wait until the lock is released, since the bus
  // thread takes it to queue a plug-in's upload.
  TLLogger::HeldLines held;
  std::lock_guard lock(mutex_);
  if (current_) current_->cancelRequest();
  current_.reset();
}

// ---------------------------------------------------------------------------
// TLNetworkManager

std::shared_ptr<TLNetworkManager> TLNetworkManager::create(Options options) {
  return std::make_shared<TLNetworkManager>(Passkey{}, std::move(options));
}

std::shared_ptr<TLNetworkManager> TLNetworkManager::shared() {
  // The making's lines reach the app once it is made (see TLAnalyticsEngine).
  TLLogger::HeldLines held;
  static auto* instance = new std::shared_ptr<TLNetworkManager>(create({}));
  return *instance;
}

TLNetworkManager& TLNetworkManager::getInstance() { return *shared(); }

TLNetworkManager::TLNetworkManager(Passkey, Options options)
    : dispatcher_(*options.dispatcher),
      transport_(std::move(options.transport)),
      debugQueue_(std::make_shared<UploadQueue>()) {
  if (!transport_) {
    CurlHttpTransport::Options curl;
    curl.callbackQueue = dispatcher_.mainQueue();
    transport_ = std::make_shared<CurlHttpTransport>(curl);
  }
  for (int i = 0; i < kRequestTypeQueues; ++i) {
    requestTypeQueues_.push_back(std::make_shared<UploadQueue>());
  }
}

TLNetworkManager::~TLNetworkManager() {
  std::shared_ptr<Messenger> messenger;
  {
    std::lock_guard lock(mutex_);
    messenger = std::move(messenger_);
    for (auto& handle : pendingProcessing_) handle.cancel();
    pendingAlert_.cancel();
  }
  if (messenger) messenger->unregisterReceiver(this, kStringRequestType);
  for (const auto& queue : allQueues()) queue->cancelCurrentRequest();
}

void TLNetworkManager::setSecureServerURL(const std::string& url, int64_t alertTimeoutHours,
                                          int32_t maxAttempts, bool deleteAfterMaxAttempts,
                                          int32_t backoffBetweenAttemptsMs,
                                          std::shared_ptr<Messenger> messenger) {
  std::shared_ptr<Messenger> previous;
  {
    std::lock_guard lock(mutex_);
    settings_ = Settings{url, alertTimeoutHours, maxAttempts, deleteAfterMaxAttempts,
                         backoffBetweenAttemptsMs};
    previous = messenger_;
    messenger_ = messenger;
  }
  if (previous) previous->unregisterReceiver(this, kStringRequestType);
  if (messenger) messenger->registerReceiver(this, kStringRequestType);
  // Uploads that waited for a server URL go now.
  processQueues();
}

std::optional<std::string> TLNetworkManager::uploadPathForPlugin(const std::string& pluginName) {
  const PluginUpload* entry = findPlugin(pluginName);
  if (!entry) return std::nullopt;
  return std::string(entry->path);
}

std::optional<std::string> TLNetworkManager::uploadPostParamForPlugin(const std::string& pluginName) {
  const PluginUpload* entry = findPlugin(pluginName);
  if (!entry) return std::nullopt;
  return std::string(entry->fileField);
}

void TLNetworkManager::requestUpload(const std::string& pluginName, const FormParams& params,
                                     std::weak_ptr<TLNetworkManagerDelegate> owner) {
  constexpr const char* kMethod = "-[TLNetworkManager requestUpload:params:delegate:]";
  std::optional<std::string> path = uploadPathForPlugin(pluginName);
  if (!path) {
    TLLogger::errorInMethod(kMethod, __LINE__, "No upload path for plugin %s, upload request aborted",
                            pluginName.c_str());
    return;
  }
  std::shared_ptr<UploadQueue> queue;
  std::string serverUrl;
  int32_t maxAttempts;
  {
    std::lock_guard lock(mutex_);
    if (pluginName == kDebugPluginName) {
      queue = debugQueue_;
    } else {
      auto& slot = pluginQueues_[pluginName];
      if (!slot) slot = std::make_shared<UploadQueue>();
      queue = slot;
    }
    serverUrl = settings_.serverUrl;
    maxAttempts = settings_.maxAttempts;
  }
  // Without a server URL the request waits for one (processQueue forms it).
  std::string url = serverUrl.empty() ? std::string() : serverUrl + "/" + *path;
  auto request = TLAsyncRequest::create(TLAsyncRequest::Context{transport_, &dispatcher_.clock()}, url,
                                        "POST", params, std::move(owner), networkTypeSource(),
                                        weak_from_this(), queue, 1, maxAttempts);
  if (url.empty()) request->setUploadPath(*path);
  {
    std::lock_guard lock(queue->lock());
    queue->add(request);
  }
  // Logged with no lock held, here and below: the app's log delegate may call
  // exit(), and the bus thread, whose deliveries the shutdown waits for,
  // takes these locks (a plug-in's upload, the server address asked for).
  TLLogger::traceInMethod(kMethod, __LINE__, "queued request to %s", path->c_str());
  reportUploadState();
  processQueues();
}

void TLNetworkManager::requestForURL(const std::string& url, const FormParams& params,
                                     std::weak_ptr<TLNetworkManagerDelegate> owner,
                                     std::shared_ptr<UploadQueue> queue) {
  constexpr const char* kMethod = "-[TLNetworkManager requestForURL:params:delegate:queue:]";
  if (url.empty()) return;
  TLLogger::traceInMethod(kMethod, __LINE__, "Adding request to queue...");
  bool makerServer = queue != nullptr;
  if (!queue) queue = requestTypeQueues_[4];
  int32_t maxAttempts;
  {
    std::lock_guard lock(mutex_);
    maxAttempts = settings_.maxAttempts;
  }
  auto request = TLAsyncRequest::create(TLAsyncRequest::Context{transport_, &dispatcher_.clock()}, url,
                                        "POST", params, std::move(owner), networkTypeSource(),
                                        weak_from_this(), queue, 1, maxAttempts);
  request->setTembrolexinRequest(makerServer);
  {
    std::lock_guard lock(queue->lock());
    queue->add(request);
  }
  TLLogger::traceInMethod(kMethod, __LINE__, "queued request to %s", url.c_str());
  processQueues();
}

void TLNetworkManager::cancelPendingProcessing() {
  std::vector<TimerHandle> pending;
  {
    std::lock_guard lock(mutex_);
    pending.swap(pendingProcessing_);
  }
  for (auto& handle : pending) handle.cancel();
}

void TLNetworkManager::processQueues() {
  cancelPendingProcessing();
  for (const auto& queue : allQueues()) processQueue(queue);
}

bool TLNetworkManager::processQueue(const std::shared_ptr<UploadQueue>& queue) {
  std::shared_ptr<TLAsyncRequest> head;
  {
    std::lock_guard lock(queue->lock());
    if (queue->isUploading()) return false;
    head = queue->requestAtIndex(0);
    if (!head) return true;
    if (head->requestUrl().empty() && !head->uploadPath().empty()) {
      std::string serverUrl = secureServerURL();
      if (serverUrl.empty()) return false;
      head->setRequestUrl(serverUrl + "/" + head->uploadPath());
    }
    queue->setCurrentRequest(head);
  }
  // Started outside the queue's lock: a connection that cannot be made
  // completes at once, and that completion processes the other queues, whose
  // locks must never nest inside this one.
  TLLogger::debugInMethod("-[TLNetworkManager processQueue:]", __LINE__, "Starting request to %s",
                          head->requestUrl().c_str());
  head->startRequest();
  return false;
}

void TLNetworkManager::requestComplete(const std::shared_ptr<TLAsyncRequest>& request) {
  constexpr const char* kMethod = "-[TLNetworkManager requestComplete:]";
  auto queue = std::dynamic_pointer_cast<UploadQueue>(request->requestQueue().lock());
  const int32_t code = request->responseCode();
  const bool success = code == 200 || code == 204;
  const bool uploadQueue = queue && !isRequestTypeQueue(queue.get());
  const std::string url = request->requestUrl();

  if (queue) {
    std::size_t left;
    {
      std::lock_guard lock(queue->lock());
      if (queue->current() == request) queue->setCurrentRequest(nullptr);
      queue->remove(request);
      left = queue->count();
    }
    TLLogger::debugInMethod(kMethod, __LINE__,
                            "Request to %s %s, response %d '%s', removed from queue (%d left)",
                            url.c_str(), success ? "successful" : "failed", code,
                            request->responseMsg().c_str(), static_cast<int>(left));
  }
  auto owner = request->netMgrDelegate().lock();

  if (!success && queue && request->responseAttempt() <= request->maxUploadAttempts()) {
    Settings settings;
    {
      std::lock_guard lock(mutex_);
      settings = settings_;
    }
    auto retry = TLAsyncRequest::create(TLAsyncRequest::Context{transport_, &dispatcher_.clock()}, url,
                                        request->requestType(), request->requestParams(),
                                        request->netMgrDelegate(), request->netTypeDelegate(),
                                        weak_from_this(), queue, request->responseAttempt(),
                                        settings.maxAttempts);
    retry->setTembrolexinRequest(request->tembrolexinRequest());
    retry->setUploadPath(request->uploadPath());
    {
      std::lock_guard lock(queue->lock());
      queue->insertRequestAtIndex(retry, 0);
    }
    TLLogger::debugInMethod(kMethod, __LINE__, "Re-queued request to %s at queue head", url.c_str());

    int retryClass = 1;
    if ((code >= 400 && code <= 499) || (code >= 500 && code <= 599)) {
      retryClass = 2;
    } else if (auto source = networkTypeSource(); source && source->currentConnectionType() == 1) {
      retryClass = 0;
    }
    int32_t delay;
    {
      std::lock_guard lock(mutex_);
      if (request->responseAttempt() > request->uploadAttempt()) {
        delay = settings.backoffBetweenAttemptsMs / 1000;
      } else if (currentBackoff_ == 0) {
        delay = kRetryClasses[retryClass].firstDelay;
      } else {
        int64_t doubled = 2 * static_cast<int64_t>(currentBackoff_);
        delay = static_cast<int32_t>(std::min<int64_t>(doubled, kRetryClasses[retryClass].largestDelay));
      }
      currentBackoff_ = delay;
      requestState_ = 1;
      std::weak_ptr<TLNetworkManager> weak = weak_from_this();
      pendingProcessing_.push_back(dispatcher_.timers().schedule(
          std::chrono::seconds(std::max(delay, 0)), dispatcher_.mainQueue(), [weak] {
            if (auto self = weak.lock()) self->processQueues();
          }));
    }
    TLLogger::debugInMethod(kMethod, __LINE__, "Queue processing will resume in %d secs", delay);
    if (auto status = statusDelegate()) status->httpRequestFailed(delay);
    if (owner) {
      owner->requestFailed(url, request->requestParams(), code, request->responseMsg(),
                           request->receivedData(), request->serverTime());
    }
  } else {
    Settings settings;
    {
      std::lock_guard lock(mutex_);
      settings = settings_;
      requestState_ = 2;
    }
    if (!success) {
      // Given up: reported as a final 400 with the deletion rule.
      request->setResponseCode(400);
      request->setReceivedData(std::string());
      FormParams params = request->requestParams();
      params.set("deleteAfterMaxUploadAttempts", settings.deleteAfterMaxAttempts);
      request->setRequestParams(std::move(params));
    }
    if (owner) {
      owner->requestComplete(url, request->requestParams(), request->responseCode(),
                             request->responseMsg(), request->receivedData(), request->serverTime());
    }
    {
      std::lock_guard lock(mutex_);
      currentBackoff_ = 0;
    }
    processQueues();
    bool lowerAlert = false;
    const bool alert = settings.alertTimeoutHours >= 1;
    const int64_t seconds = alert ? settings.alertTimeoutHours * 3600 : 0;
    if (alert) {
      TLLogger::debugInMethod(kMethod, __LINE__, "Scheduling server comms failure in %ld secs",
                              static_cast<long>(seconds));
    }
    {
      std::lock_guard lock(mutex_);
      pendingAlert_.cancel();
      pendingAlert_ = TimerHandle();
      if (alert) {
        std::weak_ptr<TLNetworkManager> weak = weak_from_this();
        pendingAlert_ = dispatcher_.timers().schedule(std::chrono::seconds(seconds), dispatcher_.mainQueue(),
                                                      [weak] {
                                                        if (auto self = weak.lock()) self->serverCommsAlertCallback();
                                                      });
      }
      if (alertRaised_) {
        alertRaised_ = false;
        lowerAlert = true;
      }
    }
    if (lowerAlert) {
      if (auto status = statusDelegate()) status->serverCommsAlert(false);
    }
  }

  if (uploadQueue) {
    auto status = statusDelegate();
    int32_t uploads = uploadRequests();
    if (status && uploads == 0) status->uploadComplete();
    if (status) status->logsUploadState(uploads);
  }
}

void TLNetworkManager::serverCommsAlertCallback() {
  bool raise = false;
  {
    std::lock_guard lock(mutex_);
    if (!alertRaised_) {
      alertRaised_ = true;
      raise = true;
    }
  }
  if (raise) {
    if (auto status = statusDelegate()) status->serverCommsAlert(true);
  }
}

void TLNetworkManager::onReceive(const TLThriftParams& message, const std::string& sender) {
  (void)sender;
  auto request = message.newMessageOfType<StringRequest>();
  if (!request || !request->__isset.messageType || request->messageType != 0) return;
  std::shared_ptr<Messenger> messenger;
  StringRequest answer = *request;
  {
    std::lock_guard lock(mutex_);
    messenger = messenger_;
    answer.__set_response(settings_.serverUrl);
  }
  answer.__set_messageType(1);
  if (messenger) messenger->sendMessage(answer, kSenderName);
}

void TLNetworkManager::stop() {
  cancelPendingProcessing();
  for (const auto& queue : allQueues()) queue->cancelCurrentRequest();
  std::lock_guard lock(mutex_);
  if (!alertRaised_) {
    pendingAlert_.cancel();
    pendingAlert_ = TimerHandle();
  }
}

void TLNetworkManager::reportUploadState() {
  if (auto status = statusDelegate()) status->logsUploadState(uploadRequests());
}

void TLNetworkManager::cancelAll() {
  stop();
  for (const auto& queue : allQueues()) queue->clear();
  reportUploadState();
}

void TLNetworkManager::cancelQueue(int index) {
  if (auto queue = requestTypeQueue(index)) queue->clear();
  reportUploadState();
}

void TLNetworkManager::cancelUploadQueue(const std::string& pluginName) {
  if (auto queue = uploadQueueForPlugin(pluginName)) queue->clear();
  reportUploadState();
}

void TLNetworkManager::cancelDebugUploadQueue() {
  debugQueue_->clear();
  reportUploadState();
}

int32_t TLNetworkManager::totalRequests() const {
  std::size_t total = 0;
  for (const auto& queue : allQueues()) total += queue->count();
  return static_cast<int32_t>(total);
}

int32_t TLNetworkManager::uploadRequests() const {
  std::size_t total = debugQueue_->count();
  std::vector<std::shared_ptr<UploadQueue>> plugins;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [name, queue] : pluginQueues_) plugins.push_back(queue);
  }
  for (const auto& queue : plugins) total += queue->count();
  return static_cast<int32_t>(total);
}

int32_t TLNetworkManager::requestsForType(int index) const {
  auto queue = requestTypeQueue(index);
  return queue ? static_cast<int32_t>(queue->count()) : 0;
}

int32_t TLNetworkManager::uploadRequestsForPlugin(const std::string& pluginName) const {
  auto queue = uploadQueueForPlugin(pluginName);
  return queue ? static_cast<int32_t>(queue->count()) : 0;
}

int32_t TLNetworkManager::debugUploadRequests() const {
  return static_cast<int32_t>(debugQueue_->count());
}

void TLNetworkManager::retryNow() {
  {
    std::lock_guard lock(mutex_);
    currentBackoff_ = 0;
  }
  processQueues();
}

int64_t TLNetworkManager::serverCommsResumeTimeStamp() const {
  std::lock_guard lock(mutex_);
  return std::max<int64_t>(currentBackoff_, 0);
}

int32_t TLNetworkManager::getRequestState() const {
  std::lock_guard lock(mutex_);
  return requestState_;
}

void TLNetworkManager::setNetworkTypeDelegate(std::shared_ptr<TLNetworkTypeDelegate> source) {
  // What is let go of may be the app's: it ends after the lock is released.
  std::shared_ptr<TLNetworkTypeDelegate> old;
  std::lock_guard lock(mutex_);
  old = std::exchange(networkTypeSource_, std::move(source));
}

void TLNetworkManager::setUploadStatusDelegate(std::shared_ptr<TLUploadStatusDelegate> delegate) {
  // The delegate let go of is the app's: it ends after the lock is released.
  std::shared_ptr<TLUploadStatusDelegate> old;
  std::lock_guard lock(mutex_);
  old = std::exchange(statusDelegate_, std::move(delegate));
}

std::shared_ptr<UploadQueue> TLNetworkManager::requestTypeQueue(int index) const {
  if (index < 0 || index >= kRequestTypeQueues) return nullptr;
  return requestTypeQueues_[static_cast<std::size_t>(index)];
}

std::shared_ptr<UploadQueue> TLNetworkManager::uploadQueueForPlugin(const std::string& pluginName) const {
  std::lock_guard lock(mutex_);
  auto it = pluginQueues_.find(pluginName);
  return it == pluginQueues_.end() ? nullptr : it->second;
}

std::string TLNetworkManager::secureServerURL() const {
  std::lock_guard lock(mutex_);
  return settings_.serverUrl;
}

bool TLNetworkManager::serverCommsAlertRaised() const {
  std::lock_guard lock(mutex_);
  return alertRaised_;
}

std::vector<std::shared_ptr<UploadQueue>> TLNetworkManager::allQueues() const {
  std::vector<std::shared_ptr<UploadQueue>> queues = requestTypeQueues_;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [name, queue] : pluginQueues_) queues.push_back(queue);
  }
  queues.push_back(debugQueue_);
  return queues;
}

bool TLNetworkManager::isRequestTypeQueue(const UploadQueue* queue) const {
  for (const auto& q : requestTypeQueues_) {
    if (q.get() == queue) return true;
  }
  return false;
}

std::shared_ptr<TLUploadStatusDelegate> TLNetworkManager::statusDelegate() const {
  std::lock_guard lock(mutex_);
  return statusDelegate_;
}

std::shared_ptr<TLNetworkTypeDelegate> TLNetworkManager::networkTypeSource() const {
  std::lock_guard lock(mutex_);
  return networkTypeSource_;
}

}  // namespace tembrolexinplatform
