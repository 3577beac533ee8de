// AssetCacher: talks to the content server for the cache processor. It posts
// the asset-list request (app, device, SDK and accepted bundle format
// versions), decides for each offered bundle whether to fetch it, downloads
// the packages into the download folder at most four at a time, and reports
// every download as a DownloadStatusSignal (pending, complete, failed) to the
// status sink under its own name, "AssetCacher". A completed package goes to
// the registered callback; the owner then tells the cacher, through
// notifyAsset, which version it holds.
//
//   AssetCacher cacher(log, {.statusSink = sink});
//   cacher.configure(platformInfoJson, "v0.98.0", appId, deviceId, acquiredFolder);
//   cacher.registerCallback([](const std::string& path, long status) { ... });
//   cacher.startCaching(std::chrono::milliseconds(0));
//
// Decisions per offered bundle: an installed or downloaded copy at least as
// new (version and format version) is skipped; a download that failed or has
// not finished is performed again from the same address; anything else,
// including a newer version at a new address, is a new download. A download
// answered with a status outside 200..299 counts as failed and its file is
// deleted. A list reply with such a status, or one that is not a JSON
// object, is logged at Warning with the status or the parse error (binary
// bytes shown escaped) and starts nothing. A package the owner refuses after
// its complete status (packageRefused) gets a failed status as well.
//
// Files: the cacher names each package itself, never the server's
// Content-Disposition: the last segment of the address without its query and
// fragment, or else the bundle id, with every character other than letters,
// digits, '.', '-' and '_' replaced by '_' and leading dots dropped; an entry
// that yields no name is skipped. Each download writes a hidden partial file
// of its own beside that name (".<name>.<n>.part") and renames it to the name
// only when the package arrived whole; a failed download leaves nothing, and
// removePartialDownloads clears what an interrupted run left. Two downloads
// of the same name never run in one batch. A package larger than
// setMaxPackageBytes fails (code 63).
//
// List failures: "cannot resolve" (6) and "cannot connect" (7) wait for the
// owner to start again and reset the process-wide failure count; other codes
// retry after the back-off (3 s) up to three times per process until a 6 or
// 7 resets the count.
//
// Threads: the owner calls the public operations; the HTTP queue's own thread
// runs the list reply, the download decisions, the batches, the handlers, the
// status sink, the download callback and the retries. The known bundles, the
// download folder and the callback are guarded by one mutex. Every transfer
// has the queue's limits, and destruction aborts a running transfer and sets
// stopping() before it waits for the queue's thread, so a download callback
// that watches stopping() ends early and the destructor returns promptly; it
// must not run on the queue's thread. An exception from the status sink is
// caught and logged.
#ifndef TL_CORE_ASSETS_ASSET_CACHER_H_
#define TL_CORE_ASSETS_ASSET_CACHER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/net/async_queue.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/i_processor_params.h"
#include "core/runtime/log.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

class AssetCacher : public INamedObject {
 public:
  using DownloadCallback = std::function<void(const std::string& path, long httpCode)>;
  // Receives each serialised DownloadStatusSignal (type 5) with the cacher as
  // sender, synchronously and under the cacher's mutex, so it must not call
  // back into the cacher; the payload is valid only for the call. The cache
  // processor passes the decoder's onProcessorEvent.
  using StatusSink =
      std::function<void(const INamedObject* sender, const IProcessorEventParams* params)>;

  // Wait before an asset-list retry.
  static constexpr std::chrono::milliseconds backoffTime{3000};
  // Asset-list attempts after failures other than not reaching the server.
  static constexpr int retryAttempts = 3;
  static constexpr int maxConcurrentDownloads = 4;
  // Where the list goes until the platform information names a "url".
  static constexpr const char* kDefaultServerAddress = "http://127.0.0.1";

  struct Options {
    StatusSink statusSink;  // empty: statuses are not reported
    std::chrono::milliseconds backoff = backoffTime;
    Http::TransferLimits limits;
    const Clock* clock = &Clock::real();
    uint64_t maxPackageBytes = 256ull << 20;
  };

  // What the cacher knows of one bundle.
  struct AssetRecord {
    enum class State { kInstalled, kPending, kComplete, kFailed };
    std::string assetId;
    std::string url;  // empty for an installed bundle
    int version = 0;
    int formatVersion = 0;
    int requestId = -1;
    State state = State::kInstalled;
  };

  // Does no I/O; the queue's clock waits for the first startCaching.
  explicit AssetCacher(Log log);
  AssetCacher(Log log, Options options);
  ~AssetCacher() override;
  AssetCacher(const AssetCacher&) = delete;
  AssetCacher& operator=(const AssetCacher&) = delete;

  // "AssetCacher"
  const std::string& GetName() const override;

  // Builds the asset-list request from the platform information (a JSON
  // object with "app", "device" and "location") and prepares it without
  // performing it. Invalid information is logged and leaves an earlier
  // request in place.
  void configure(std::string platformInfo, std::string sdkVersion, std::string appId,
                 std::string deviceId, std::string downloadFolder);
  void registerCallback(DownloadCallback callback);
  // Performs the prepared list request `delay` from now; nothing without one.
  void startCaching(std::chrono::milliseconds delay);
  // Nothing scheduled fires until startCaching.
  void stopCaching();
  // Records the version of a bundle the owner now holds.
  void notifyAsset(std::string assetId, int version, int formatVersion);
  // Downloads scheduled from now on fail past `bytes`.
  void setMaxPackageBytes(uint64_t bytes);
  // The longest a request built from now on may take.
  void setTransferTimeout(std::chrono::milliseconds timeout);
  // True once destruction has begun.
  bool stopping() const { return stopping_.load(); }
  // The package downloaded to `path` was refused as bad in itself after its
  // complete status: its download is marked failed and a failed status is
  // sent for it. A path of no known download sends nothing and is logged at
  // Warning. Called from the download callback.
  void packageRefused(const std::string& path);

  // A new hidden file beside `target` for a download to write until it is
  // whole; each call names another.
  static std::string partialPath(const std::string& target);
  // Deletes the partial downloads in `folder`.
  static void removePartialDownloads(const std::string& folder);

  // For tests and diagnostics.
  const std::string& requestBody() const { return requestBody_; }
  std::map<std::string, AssetRecord> records() const;
  // The process-wide count of list failures counted towards retryAttempts.
  static int failureCount();

 private:
  void prepareAssetListRequest(const std::string& body);
  void handleAssetList(const std::string& body, long httpCode);
  void onListFailure(int code);
  int downloadAsset(const std::string& url, const std::string& assetId, int version,
                    int formatVersion, const std::string& title);
  void downloadIdList(std::list<int> ids);
  void onDownloaded(int requestId, const std::string& assetId, const std::string& title,
                    const std::string& partial, const std::string& target, long httpCode);
  void onDownloadFailed(int requestId, const std::string& assetId, const std::string& title,
                        const std::string& partial, const std::string& target, int code);
  void setState(int requestId, AssetRecord::State state);
  void sendStatus(DownloadStatusSignalType::type type, const std::string& assetId,
                  const std::string& path);

  Log log_;
  const Options options_;
  std::string serverAddress_ = kDefaultServerAddress;
  std::string requestBody_;
  std::atomic<int> listRequestId_{-1};  // also read by retries on the queue thread
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> maxPackageBytes_;
  Http::TransferLimits limits_;  // guarded by mutex_

  mutable tembrolexin::Mutex mutex_;
  std::string downloadFolder_;
  std::map<std::string, AssetRecord> known_;
  std::map<int, std::string> targets_;  // download request id -> target path
  DownloadCallback callback_;

  // Last member: destroyed first, so its thread has stopped before anything
  // its handlers touch goes away.
  std::unique_ptr<Http::AsyncQueue> queue_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ASSETS_ASSET_CACHER_H_
