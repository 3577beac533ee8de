// TLNetworkManager: the platform layer's one owner of outgoing requests to
// the secure upload server.
//
// Requests wait in queues: five request-type queues (0..4), one queue per
// plug-in (made on demand) and the debug queue of "tembrolexin_DEBUG". Each
// queue sends its head when it has nothing on the wire, so a queue has at
// most one request in flight while different queues send in parallel.
// Queues are processed in that order: request-type queues by index, plug-in
// queues by name, then the debug queue.
//
// After each answer: 200 and 204 complete the request. Anything else is
// retried -- a new request at the head of the same queue, after a back-off
// shared by all queues -- while the attempt number for the next try (the
// server may move it on with "NextUploadAttempt") is at most the attempt
// limit; past it the request is given up and completed with code 400 and
// "deleteAfterMaxUploadAttempts". Retry delays, in seconds, by class:
//   class 2 (HTTP 400-599)                           600, doubling, at most 7200
//   class 0 (other failures, connection type 1)       30, doubling, at most 600
//   class 1 (other failures, any other type or none)  30, doubling, at most 1800
// When the server moved the attempt number on, the delay is
// backoffBetweenAttempts / 1000 s whatever the class. Any run of
// processQueues (a new request, a completion, retryNow) sends at once.
//
// Every completion resets the back-off, and (with alertTimeout >= 1 hour)
// arms the server-comms alert that fires when nothing completes for that
// long. Uploads queued before a server URL is set wait in their queue and
// are sent once one is set.
//
// The manager answers the core's StringRequest (21) Requests with the upload
// server's URL, sent as "TLNetworkManager".
//
// Ownership: made by create() (held by shared_ptr; requests refer back to it
// weakly) or getInstance() (the process-wide one, never destroyed). Holds the
// network-type source, the upload-status delegate and the Messenger given
// with the server settings strongly (shared), owners of uploads weakly.
//
// Thread safety: every operation may be called from any thread. Each queue
// has one re-entrant lock guarding its list and its current request; the
// settings, back-off, request state and alert flag are guarded by the
// manager's own lock. Neither is held while calling out or logging (the
// app's log delegate may call exit(), and the bus thread, which the
// library's shutdown waits for, takes both). Completions, the delayed
// processing and the alert run on the dispatcher's main queue.
#ifndef TL_PLATFORM_NET_NETWORK_MANAGER_H_
#define TL_PLATFORM_NET_NETWORK_MANAGER_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "platform/net/async_request.h"
#include "platform/runtime/messenger.h"
#include "platform/runtime/safe_dispatch.h"
#include "platform/runtime/tl_thrift_params.h"

namespace tembrolexinplatform {

inline constexpr char kDebugPluginName[] = "tembrolexin_DEBUG";

class UploadQueue final : public TLUploadQueue {
 public:
  using RequestPtr = std::shared_ptr<TLAsyncRequest>;

  void add(RequestPtr request);
  void insertRequestAtIndex(RequestPtr request, std::size_t index);
  void remove(const RequestPtr& request);
  // Null past the end.
  RequestPtr requestAtIndex(std::size_t index) const;
  std::size_t count() const;
  bool isEmpty() const;
  // Removes every request; the current one stays current.
  void clear();
  RequestPtr current() const;
  void setCurrentRequest(RequestPtr request);
  bool isUploading() const;
  // Cancels the current request's connection and clears it; the request
  // stays in the list.
  void cancelCurrentRequest();
  // Held by callers across several steps; re-entrant.
  tembrolexin::RecursiveMutex& lock() const { return mutex_; }

 private:
  mutable tembrolexin::RecursiveMutex mutex_;
  std::vector<RequestPtr> requests_;
  RequestPtr current_;
};

// Told about the uploads; every method is optional. Called on the main queue
// and, when an upload is queued, on the thread that queued it.
class TLUploadStatusDelegate {
 public:
  virtual ~TLUploadStatusDelegate() = default;
  virtual void httpRequestFailed(int32_t delaySeconds) { (void)delaySeconds; }
  virtual void serverCommsAlert(bool raised) { (void)raised; }
  virtual void uploadComplete() {}
  virtual void logsUploadState(int32_t uploadRequests) { (void)uploadRequests; }
};

class TLNetworkManager final : public TLAsyncRequestDelegate,
                               public IThriftMessageReceiver,
                               public std::enable_shared_from_this<TLNetworkManager> {
 public:
  static constexpr const char* kSenderName = "TLNetworkManager";
  static constexpr int kRequestTypeQueues = 5;

  struct Options {
    Dispatcher* dispatcher = &Dispatcher::shared();
    // Null: libcurl with callbacks on the dispatcher's main queue.
    std::shared_ptr<IHttpTransport> transport;
  };

  static std::shared_ptr<TLNetworkManager> create(Options options);
  static TLNetworkManager& getInstance();
  // The same process-wide manager, for holders of a shared reference.
  static std::shared_ptr<TLNetworkManager> shared();

  // Unregisters from the messenger; cancels the timers and every request.
  ~TLNetworkManager() override;

  // Replaces all five settings; moves the type-21 registration from the
  // previous messenger to `messenger` (which may be null), which the manager
  // then holds until it is replaced or the manager goes; sends what waits
  // for a server URL.
  void setSecureServerURL(const std::string& url, int64_t alertTimeoutHours, int32_t maxAttempts,
                          bool deleteAfterMaxAttempts, int32_t backoffBetweenAttemptsMs,
                          std::shared_ptr<Messenger> messenger);

  // Queues a POST upload of `params` for the plug-in; refused (Error "No
  // upload path for plugin %@, upload request aborted") for a plug-in
  // without an upload path.
  void requestUpload(const std::string& pluginName, const FormParams& params,
                     std::weak_ptr<TLNetworkManagerDelegate> owner);
  // Queues a POST to a full URL on `queue`, or on request-type queue 4 as a
  // request that is not to the maker's server. Nothing for an empty URL.
  void requestForURL(const std::string& url, const FormParams& params,
                     std::weak_ptr<TLNetworkManagerDelegate> owner,
                     std::shared_ptr<UploadQueue> queue = nullptr);

  void processQueues();
  // True only when the queue is idle and empty.
  bool processQueue(const std::shared_ptr<UploadQueue>& queue);

  void requestComplete(const std::shared_ptr<TLAsyncRequest>& request) override;
  void onReceive(const TLThriftParams& message, const std::string& sender) override;

  void stop();
  void cancelAll();
  void cancelQueue(int index);
  void cancelUploadQueue(const std::string& pluginName);
  void cancelDebugUploadQueue();
  int32_t totalRequests() const;
  int32_t uploadRequests() const;
  int32_t requestsForType(int index) const;
  int32_t uploadRequestsForPlugin(const std::string& pluginName) const;
  int32_t debugUploadRequests() const;
  void retryNow();
  int64_t serverCommsResumeTimeStamp() const;
  int32_t getRequestState() const;
  std::string formatUploadDate(std::optional<int64_t> wallMicros) const {
    return tembrolexinplatform::formatUploadDate(wallMicros);
  }
  void setNetworkTypeDelegate(std::shared_ptr<TLNetworkTypeDelegate> source);
  void setUploadStatusDelegate(std::shared_ptr<TLUploadStatusDelegate> delegate);

  static std::optional<std::string> uploadPathForPlugin(const std::string& pluginName);
  static std::optional<std::string> uploadPostParamForPlugin(const std::string& pluginName);

  // The queues themselves, for inspection.
  std::shared_ptr<UploadQueue> requestTypeQueue(int index) const;
  std::shared_ptr<UploadQueue> uploadQueueForPlugin(const std::string& pluginName) const;
  const std::shared_ptr<UploadQueue>& debugQueue() const { return debugQueue_; }
  std::string secureServerURL() const;
  bool serverCommsAlertRaised() const;

 private:
  struct Passkey {};

 public:
  TLNetworkManager(Passkey, Options options);

 private:
  struct Settings {
    std::string serverUrl;
    int64_t alertTimeoutHours = 0;
    int32_t maxAttempts = 3;
    bool deleteAfterMaxAttempts = true;
    int32_t backoffBetweenAttemptsMs = 300000;
  };

  std::vector<std::shared_ptr<UploadQueue>> allQueues() const;
  bool isRequestTypeQueue(const UploadQueue* queue) const;
  std::shared_ptr<TLUploadStatusDelegate> statusDelegate() const;
  std::shared_ptr<TLNetworkTypeDelegate> networkTypeSource() const;
  void cancelPendingProcessing();
  void serverCommsAlertCallback();
  void reportUploadState();

  Dispatcher& dispatcher_;
  std::shared_ptr<IHttpTransport> transport_;
  std::vector<std::shared_ptr<UploadQueue>> requestTypeQueues_;
  std::shared_ptr<UploadQueue> debugQueue_;

  mutable tembrolexin::Mutex mutex_;
  std::map<std::string, std::shared_ptr<UploadQueue>> pluginQueues_;
  Settings settings_;
  int32_t currentBackoff_ = 0;
  int32_t requestState_ = 0;
  bool alertRaised_ = false;
  std::vector<TimerHandle> pendingProcessing_;
  TimerHandle pendingAlert_;
  std::shared_ptr<TLNetworkTypeDelegate> networkTypeSource_;
  std::shared_ptr<TLUploadStatusDelegate> statusDelegate_;
  std::shared_ptr<Messenger> messenger_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_NET_NETWORK_MANAGER_H_
