// The content bundles an app can show, as app-facing value objects, and the
// store that keeps them.
//
// TLBundle is one ready (or half-known) bundle; TLBundleAction one of its
// actions. BundleStore fills them from two core messages: AssetInfoList (18),
// the bundles the cache holds ready, and AssetActionList (20), the actions
// the core's content engine configured per bundle. A bundle enters the store
// with whichever arrives first and is ready once it has both; when every
// bundle is ready, the store tells its delegate with the whole list.
//
// Ownership: the store owns its bundles (shared_ptr, handed out to readers);
// a bundle owns its actions; an action refers to its bundle weakly. The
// store's delegate is held weakly: it is usually the engine that owns the
// store.
//
// Thread safety: the store is updated on the bus thread and read on the main
// queue and the app's threads, so every object here guards its mutable state
// with its own lock; accessors return copies. The delegate is called on the
// updating thread with no store lock held. A new action list replaces the old
// one whole, so stamps set on the old action objects are not carried over.
#ifndef TL_PLATFORM_ENGINES_TL_BUNDLE_H_
#define TL_PLATFORM_ENGINES_TL_BUNDLE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "platform/messages/message_types.h"

namespace tembrolexinplatform {

class TLBundle;

// Which engine fires an action.
enum TLBundleActionEngine : int64_t {
  kActionEngineTrigger = 0,
  kActionEngineEvent2 = 1,
  kActionEngineSchedule = 2,
  kActionEngineDefault = 3,
  kActionEngineOther = 4,
};

class TLBundleAction {
 public:
  struct Fields {
    std::string actionId;
    std::string trigger;   // the code word or audio-match id text that fires it
    std::string scheme;    // the encoding scheme of its trigger
    int64_t engine = kActionEngineOther;
    int64_t secondsDelay = 0;     // delay of its local notification
    std::string entryPoint;       // the page, relative to the documents folder
    std::string notificationTitle;
    std::string notificationText;
    std::string notificationID;
    int64_t timeStamp = 0;                      // milliseconds
    int64_t scheduleEngineActionTimestamp = 0;  // fire time, seconds since 1970
    bool completed = false;
  };

  // timeInTrack starts at -1.
  TLBundleAction(const std::shared_ptr<TLBundle>& bundle, Fields fields);

  // The owning bundle; null once it is gone.
  std::shared_ptr<TLBundle> getBundle() const { return parent_.lock(); }
  bool isDefault() const { return f_.engine == kActionEngineDefault; }
  // A notification ID and a notification text, both non-empty.
  bool hasNotification() const;
  bool isCompleted() const { return f_.completed; }

  const std::string& actionId() const { return f_.actionId; }
  const std::string& trigger() const { return f_.trigger; }
  const std::string& scheme() const { return f_.scheme; }
  int64_t engine() const { return f_.engine; }
  int64_t secondsDelay() const { return f_.secondsDelay; }
  const std::string& entryPoint() const { return f_.entryPoint; }
  const std::string& notificationTitle() const { return f_.notificationTitle; }
  const std::string& notificationText() const { return f_.notificationText; }
  const std::string& notificationID() const { return f_.notificationID; }
  int64_t scheduleEngineActionTimestamp() const { return f_.scheduleEngineActionTimestamp; }

  int64_t timeStamp() const { return timeStamp_.load(); }
  void setTimeStamp(int64_t ms) { timeStamp_.store(ms); }
  int64_t timeInTrack() const { return timeInTrack_.load(); }
  void setTimeInTrack(int64_t ms) { timeInTrack_.store(ms); }

  // Pretty-printed JSON of "id", "timestamp" and, when it is 0 or more,
  // "timeInTrack"; "" when it cannot be made.
  std::string getJSON() const;

 private:
  const std::weak_ptr<TLBundle> parent_;
  const Fields f_;
  std::atomic<int64_t> timeStamp_;
  std::atomic<int64_t> timeInTrack_{-1};
};

class TLBundle : public std::enable_shared_from_this<TLBundle> {
 public:
  // Version -1, everything else empty, no action list.
  TLBundle() = default;
  explicit TLBundle(std::string bundleId);

  // Sets these seven fields; times are milliseconds since 1970. The action
  // list is not touched. From then on the bundle's info has arrived.
  void updateWithBundleId(const std::string& bundleId, const std::string& title, int32_t version,
                          int64_t validFromMs, int64_t validToMs, const std::string& description,
                          const std::string& folderPath);
  // Replaces the action list (which may be empty, but then exists).
  void setActionsList(std::vector<std::shared_ptr<TLBundleAction>> actions);

  // The action list; none until one arrived.
  std::optional<std::vector<std::shared_ptr<TLBundleAction>>> getActions() const;
  // An action list and an id are present and the version is 0 or more.
  bool ready() const;
  // The bundle's info (its id, version and folder) arrived; a bundle made
  // from its actions alone has none yet, whatever its version says.
  bool hasInfo() const;
  // The first action with that id / the first default action; null if none.
  std::shared_ptr<TLBundleAction> getActionById(const std::string& actionId) const;
  std::shared_ptr<TLBundleAction> getDefaultAction() const;

  std::string bundleId() const;
  std::string title() const;
  std::string description() const;
  std::string folderPath() const;
  int32_t version() const;
  // Seconds since 1970 (milliseconds / 1000.0).
  double validFrom() const;
  double validTo() const;

 private:
  mutable tembrolexin::Mutex mutex_;
  int32_t version_ = -1;
  std::string bundleId_;
  std::string title_;
  double validFrom_ = 0;
  double validTo_ = 0;
  std::optional<std::vector<std::shared_ptr<TLBundleAction>>> actions_;
  std::string description_;
  std::string folderPath_;
  bool hasInfo_ = false;
};

using TLBundleList = std::vector<std::shared_ptr<TLBundle>>;

class BundleStoreDelegate {
 public:
  virtual ~BundleStoreDelegate() = default;
  virtual void onBundlesUpdated(const TLBundleList& bundles) = 0;
};

class BundleStore {
 public:
  // `documentsFolder` is the folder that action entry points are made
  // relative to.
  BundleStore(std::weak_ptr<BundleStoreDelegate> delegate, std::string documentsFolder);

  // Drops the bundles the list no longer names, then creates or updates one
  // bundle per entry in list order, then notifies.
  void updateBundles(const AssetInfoList& list);
  // Replaces the action list of every bundle the map names (creating the
  // bundle when unknown), then notifies. No bundle is removed.
  void updateActions(const AssetActionList& list);
  // Removes every bundle whose id no entry names, notifying once per removal.
  void removeExpiredBundle(const std::vector<AssetInfo>& infos);

  std::shared_ptr<TLBundle> getBundleById(const std::string& bundleId) const;
  TLBundleList bundles() const;

  // Calls the delegate's onBundlesUpdated with `bundles` when there is at
  // least one and every one is ready; otherwise logs that it defers. A
  // bundle that can never be ready as its info stands is left out of both:
  // one whose info arrived without an id or with a version below 0, with a
  // Warning naming its folder (and the version, except -2147483648, which
  // stands for any number below 0 that is no 32-bit integer, so the
  // manifest need not hold it), and one without an id whose info has not
  // arrived, silently (the Warning comes with its info). A bundle with an id
  // whose info has not arrived still defers the notification.
  static void notifyListener(BundleStoreDelegate* delegate, const TLBundleList& bundles);
  // The engine of an AssetAction (0 default, 1 trigger, 2 event sequence,
  // 3 schedule, else other) as an action engine.
  static int64_t convertEngineType(int64_t assetActionEngine);
  // The part of `absolutePath` below `documentsFolder`; a path outside it is
  // kept whole (absolute), so it still names the page.
  static std::string relativeEntryPoint(const std::string& absolutePath,
                                        const std::string& documentsFolder);

 private:
  void notify();

  const std::weak_ptr<BundleStoreDelegate> delegate_;
  const std::string documentsFolder_;
  mutable tembrolexin::Mutex mutex_;
  TLBundleList bundles_;
};

// The page of an entry point: a relative one below `documentsFolder`, an
// absolute one as it is.
std::string absoluteEntryPoint(const std::string& documentsFolder, const std::string& entryPoint);

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_TL_BUNDLE_H_
