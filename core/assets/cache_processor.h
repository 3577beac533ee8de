// CacheProcessor: the processor plug-in "tembrolexin_CacheProcessor" that
// keeps content bundles acquired, unpacked, validated and ready for the
// engines. It runs under a generic ProcessorController and never sees audio.
//
// Below its file path it owns two folders:
//   Assets/Acquired  bundles that have arrived: gzip packages (SQLite asset
//                    packages inside) and unpacked bundle folders;
//   Assets/Ready     installed bundles.
// A bundle moves from a package in Acquired, to an unpacked folder in
// Acquired, to a folder in Ready once it is valid, active and not older than
// an installed copy of the same id. Installing a bundle emits, to the
// listener, one serialised EventData per EVENT2 sequence and an
// EventEngine2Affirm, the same for HEARTBEAT with a HeartbeatAffirm, and a
// CachedActionParams with the bundle's actions; these are also kept for a
// replay that the content engine asks for with a StringRequest
// {Request, CachedActions}. Withdrawing a bundle emits an unconfiguring
// CachedActionParams and the bundle's EVENT2 and HEARTBEAT sequences with an
// empty text and a time-out of -1, and drops its events that still wait for
// a replay, so a late engine never configures a withdrawn bundle; a bundle
// installed again in its folder replaces its earlier events in the replay.
// The bundle list (AssetInfoList) and audio-match database commands
// (AMDBSignal) go onto the bus through the listener's IThriftProvider face.
// Every start re-installs everything: Ready is moved back into Acquired and
// Acquired is installed again; only an installed bundle whose successor
// waits in Acquired under its folder name (a folder or a package) is
// installed again where it is, and the successor then goes through the
// rules of an installation, as it would during a run.
//
// Bundle lists are sent after every change, from whichever thread made it,
// through a LatestSender (latest_sender.h): the last list the app hears
// shows Ready as it is after the last change, and no thread waits for
// another's send.
//
// The asset cacher fetches new packages from the content server; its
// download statuses go to Options::statusSink, or, without one, to the
// listener's onProcessorEvent with the cacher as sender.
//
// A bundle folder handed in by the app (kAssetsPathKey) arrives in Acquired
// whole or not at all: copied (or moved across file systems) into a hidden
// folder that takes the bundle's place only once every byte is there; a move
// removes the app's folder only after that. A failure is logged with the
// file and the system's reason, and nothing of it is kept.
//
// The script bridge is written into a bundle's entry page before the bundle
// replaces an installed copy, reaching the page only from the bundle's own
// folder without following a link (a page behind a link is left out, with a
// Warning). A page that cannot be rewritten (a full disk) fails that
// installation: the installed copy stays and the new folder waits in
// Acquired for a later attempt, at this start and the next ones, until it
// installs over the installed copy.
//
// A bundle folder takes its name in Acquired only once its files are on the
// disk, and its package (or the app's folder it was moved from) is deleted
// only once that rename is on the disk too (bundle_disk.h, Options::disk),
// so a power cut leaves either the source or the whole bundle.
//
// Packages are bounded (PackageLimits, settable through the configuration
// keys kMaxPackageMegabytesKey, kMaxPackageSecondsKey): the size of a
// download, of the unzipped package and of what it unpacks to, the number of
// its files, and the time it takes to unpack. A package unpacks into a fresh
// hidden folder, which replaces the bundle folder of its name only when the
// package was read to its end, so a bundle is installed only from what its
// own package wrote. A package that is bad in itself (not gzip, not an asset
// package, past the size or file bound, a name too long for a folder, or an
// invalid bundle) is set aside once: deleted, with a Warning that names it
// and the reason; a downloaded one then also gets a failed download status.
// A package that the disk fails (a write refused: full, over quota, too
// large a file, an I/O error) or that runs out of time is kept in Acquired
// for a later attempt, with a Warning naming the path and the system's
// reason; nothing half-written is installed and an installed copy stays as
// it was. At start one time budget (PackageLimits::passTime) covers all
// packages, smallest first: each may use a share of what is left of it in
// proportion to its size, so a package that unpacks at the pace the whole
// budget allows is ready within the start whatever waits beside it, and
// slow packages never hold a quick one back. The packages that ran out of
// their share, or were not reached, are unpacked after start-up on a thread
// of the processor's own, one at a time, each within its own maxTime; none
// waits for a later start for want of start-up time alone. Leftovers of an
// earlier run (partial downloads, half-unpacked folders, the unzip's
// temporary files, unzipped packages whose ".gz" is gone, the temporary
// file of a page rewrite inside a bundle folder) are removed at start, and
// a plain file or link where a bundle's folder goes, or a folder where a
// package unzips to, is replaced. One failing package or folder, whatever
// it throws, never keeps the others from being installed.
//
// A bundle whose "actions.json" is there but is no readable JSON object
// (cut short, say) installs with what is sound of it (parseJsonFile), with a
// Warning naming the bundle and the file; nothing is deleted for it, and its
// CachedActionParams is sent as for any bundle, so the content engine lists
// it.
//
// Failures of one bundle folder are logged and leave its files in place;
// nothing thrown by bundle handling reaches the caller except a "Preparing
// assets from ready folder should never happen" runtime error for a folder
// outside Acquired, from prepareFolderAsset.
//
// Threads: Initialise, SetFilePath, SetIdentityInfo, Configure, onReceive
// and prepareAssets run on the controller's thread; the download callback
// runs on the asset cacher's thread, and the packages left over from
// start-up on the processor's unpacking thread, which SetFilePath,
// prepareAssets with packages, Initialise and destruction stop and join
// first (what it had not finished stays in Acquired for the next start).
// Work on one bundle folder is serialised by a mutex named after the
// folder's base name. The tables (ready paths, manifests, cached events,
// folder mutexes) and the two folder paths are guarded by one further
// mutex, never held while the listener or the provider is called.
// requestStop, which the controller calls before it joins its thread when
// the decoder goes or the library shuts down, ends a start-up pass within
// moments: the package that is unpacking stops and stays whole in Acquired
// with those not reached, and no unpacking thread starts.
// Destruction first asks any package that is unpacking to stop, joins the
// unpacking thread, then destroys the asset cacher (joining its thread), so
// a running download callback ends promptly with every table still alive;
// destroying the asset cacher alone stops its package too. It must not run
// on the cacher's thread. The listener is not owned and must outlive the
// processor.
#ifndef TL_CORE_ASSETS_CACHE_PROCESSOR_H_
#define TL_CORE_ASSETS_CACHE_PROCESSOR_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/assets/asset_cacher.h"
#include "core/assets/bundle_disk.h"
#include "core/assets/latest_sender.h"
#include "core/assets/manifest.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"
#include "core/runtime/i_consumers.h"
#include "core/runtime/i_processor.h"
#include "core/runtime/i_processor_listener.h"
#include "core/runtime/i_thrift_provider.h"
#include "core/runtime/log.h"

namespace tembrolexinsdk {

class CacheProcessor : public IProcessor,
                       public IIdentityConsumer,
                       public IThriftConsumer,
                       public IStoppableProcessor {
 public:
  static constexpr const char* kName = "tembrolexin_CacheProcessor";
  static constexpr const char* kVersion = "v0.98.0";
  // The library name under which the plug-in loader creates this processor.
  static constexpr const char* kLibraryName = "libCacheEngine.so";

  // Configuration keys.
  static constexpr const char* kAssetsCanBeMovedKey = "tembrolexin_CacheProcessor_assetsCanBeMoved";
  static constexpr const char* kAssetsPathKey = "tembrolexin_CacheProcessor_assetsPath";
  static constexpr const char* kPlatformInfoKey = "tembrolexin_CacheProcessor_platformInfo";
  static constexpr const char* kDownloadNowKey = "tembrolexin_CacheProcessor_downloadNow";
  static constexpr const char* kAssetsInfoRequestKey =
      "tembrolexin_CacheProcessor_assetsInfoRequest";
  // Package bounds (int or long long, above 0), read before the other keys.
  static constexpr const char* kMaxPackageMegabytesKey =
      "tembrolexin_CacheProcessor_maxPackageMegabytes";
  static constexpr const char* kMaxPackageSecondsKey = "tembrolexin_CacheProcessor_maxPackageSeconds";
  // The longest a list request or a package download may take, in seconds.
  static constexpr const char* kDownloadTimeoutSecondsKey =
      "tembrolexin_CacheProcessor_downloadTimeoutSeconds";

  struct PackageLimits {
    // A download, the unzipped package, and what it unpacks to, each.
    uint64_t maxBytes = 256ull << 20;
    // Unzipping and unpacking together.
    std::chrono::milliseconds maxTime{std::chrono::seconds(60)};
    std::size_t maxFiles = 20000;
    // All packages of one start-up pass together (see SetFilePath).
    std::chrono::milliseconds passTime{std::chrono::seconds(20)};
  };

  // The script bridge placed in every installed bundle's entry page.
  static const std::string& mTembrolexinJsString;

  struct Options {
    // Options of the asset cacher made by Initialise. An empty statusSink
    // sends the statuses to the listener's onProcessorEvent.
    AssetCacher::Options cacher;
    // The clock that bundles' validity periods and unpacking deadlines are
    // judged by; must outlive the processor.
    const Clock* clock = &Clock::real();
    PackageLimits packages;
    // The file operations that put an arriving bundle on the disk before
    // its source goes; must outlive the processor.
    cacheprocessor::BundleDisk* disk = &cacheprocessor::BundleDisk::real();
  };

  // Throws std::runtime_error when the headers do not match the library.
  CacheProcessor();
  explicit CacheProcessor(Options options);
  ~CacheProcessor() override;
  CacheProcessor(const CacheProcessor&) = delete;
  CacheProcessor& operator=(const CacheProcessor&) = delete;

  const std::string& GetName() const override { return mName; }
  const std::string& GetVersion() const override { return mVersion; }
  // Needs a listener that is also an IThriftProvider, else throws
  // std::runtime_error "Listener is not a thrift provider, failed to
  // initialise". Registers for AMDBSignal (22) and StringRequest (21) and
  // makes a new asset cacher.
  void Initialise(IProcessorListener* listener, int sampleRateHz, const NTPInfo* ntp) override;
  // Acts on the cache keys the map carries (see kAssetsCanBeMovedKey ...).
  void Configure(const ConfigurationParameters* configuration, const NTPInfo* ntp) override;
  // Creates the two folders (a failure is reported through onFailed and
  // thrown), moves Ready back to Acquired, installs Acquired and publishes
  // the bundle list.
  void SetFilePath(const std::string& path) override;
  void SetIdentityInfo(const std::string& appPackageName,
                       const std::string& deviceIdentity) override;
  // The processor is about to be destroyed: a package that is unpacking
  // stops (and stays for the next start), and the start-up pass, when it
  // runs, ends without installing anything more or starting the unpacking
  // thread. Any thread; returns at once.
  void requestStop() override;
  // StringRequest {Request, CachedActions}: replays the cached events once.
  // AMDBSignal {Request}: sends the "amdb" files of every ready bundle.
  // Malformed messages are logged and dropped.
  void onReceive(const std::string& senderName, const ThriftParams& params) override;

  // Bundle operations.
  // Installs the "gz" packages of `folder` (when `withPackages`), then its
  // subfolders; the packages that ran out of the start-up time go on after
  // it on the unpacking thread.
  void prepareAssets(std::string folder, bool withPackages);
  // Unpacks one package into a folder of Acquired and installs it; a
  // package that fails is set aside.
  void preparePackagedAsset(std::string packagePath);
  // Checks one bundle folder of Acquired and installs it into Ready.
  void prepareFolderAsset(std::string folderPath);
  // Withdraws the installed copy of `bundleId`; `bundleName` names it in the
  // unconfiguring CachedActionParams.
  void removeReadyAsset(std::string bundleId, const std::string& bundleName);
  // Withdraws a Ready bundle that became invalid or expired; a Ready folder
  // that no installed bundle came from is deleted.
  void checkAsset(std::string readyFolderPath);
  void checkReadyAssets();
  // Moves every Ready folder back to Acquired (deleting what cannot move),
  // but installs where it is a Ready folder whose successor waits in
  // Acquired under its name.
  void clearAssets();
  // Sends the bundles found in `folder` as an AssetInfoList (18), unless a
  // list whose reading began later has been sent or waits (see above).
  void listAssets(std::string folder);

  // For tests and diagnostics.
  std::string acquiredPath() const;
  std::string readyPath() const;
  std::map<std::string, std::string> readyAssetPaths() const;
  size_t cachedActionCount() const;
  PackageLimits packageLimits() const;

 private:
  struct FolderLock;
  class AssetLock;
  enum class FolderOutcome { kInstalled, kInvalid, kOther };

  // The reason when the package was set aside as bad in itself; nothing
  // when it was installed, kept for a later attempt, or stopped. Sets
  // `*passSpent` when `passDeadline` cut it short.
  std::optional<std::string> preparePackage(const std::string& packagePath,
                                            const std::function<bool()>& stop,
                                            std::chrono::steady_clock::time_point passDeadline =
                                                std::chrono::steady_clock::time_point::max(),
                                            bool* passSpent = nullptr);
  // The start-up pass over the packages of `folder`; returns those that
  // ran out of their share of it or were not reached, smallest first.
  std::vector<std::string> preparePackages(const std::string& folder);
  // Runs `prepare(path)`; whatever it throws is logged, and a package that
  // threw is set aside, so it is not tried at every start.
  void guarded(const std::string& path, bool package,
               const std::function<void(const std::string&)>& prepare);
  // Unpacks `packages` on the unpacking thread (stopping an earlier run).
  void startUnpacker(std::vector<std::string> packages);
  // Stops the unpacking thread and waits for it; on the controller's thread.
  void stopUnpacker();
  FolderOutcome prepareFolder(std::string folderPath, bool discardInvalid,
                              std::string* invalidReason);
  // The same with the folder's AssetLock already held by the caller.
  FolderOutcome prepareFolderLocked(std::string folderPath, bool discardInvalid,
                                    std::string* invalidReason);
  // The installation of a bundle in place in `readyFolder`: the decision
  // against a copy of its id installed elsewhere (`version` against its
  // version), then the tables and the events. `sourceName` names it in the
  // log. Needs the folder's AssetLock.
  FolderOutcome installReady(const std::string& bundleId, int version,
                             const std::string& readyFolder, const std::string& baseName,
                             const std::string& sourceName);
  // At start: the installed copy in `readyFolder` installed again where it
  // is, while its successor `successor` waits in Acquired.
  void installInPlace(const std::string& readyFolder, const std::string& successor);
  void setAside(const std::string& path, const std::string& reason);
  void removeLeftovers();
  void readLimits(const ConfigurationParameters& map);

  void prepareFolders(const std::string& path);
  void fail(const std::string& text);
  void installAssetsPath(const std::string& path, bool move);
  void onDownloaded(const std::string& path, AssetCacher* cacher);
  void replayCachedActions();
  void answerAMDBRequest();
  // An installation's event, kept for the next replay under its bundle.
  struct CachedItem {
    std::string bundleId;
    std::string readyFolder;
    std::unique_ptr<IProcessorEventParams> params;
  };

  void emitAndCache(const std::string& bundleId, const std::string& readyFolder,
                    std::unique_ptr<IProcessorEventParams> params);
  void emit(const IProcessorEventParams& params);
  void withdrawSequences(const std::string& readyFolder);
  std::string readyPathFor(const std::string& acquiredFolder) const;
  void sendStatus(const INamedObject* sender, const IProcessorEventParams* params);

  const Options mOptions;
  const std::string mName = kName;
  std::string mAppPackageName;
  std::string mDeviceIdentity;
  const std::string mVersion = kVersion;
  std::string mFilePath;
  std::string mAcquiredPath;  // guarded by mTablesMutex
  std::string mReadyPath;     // guarded by mTablesMutex
  Log mLog;
  std::atomic<IProcessorListener*> mListener{nullptr};
  // Set by requestStop or when destruction begins: a package that is
  // unpacking stops, and nothing new starts.
  std::atomic<bool> mStopping{false};
  std::atomic<uint64_t> mMaxPackageBytes;
  std::atomic<int64_t> mMaxPackageMillis;
  std::atomic<IThriftProvider*> mThriftProvider{nullptr};
  // Unpacks the packages left over from start-up. The thread object is
  // touched on the controller's thread only.
  std::thread mUnpacker;
  std::atomic<bool> mUnpackerStop{false};
  // Owned by mAssetCacherOwner; the atomic copy is what the download
  // callback's thread reads while the controller thread may replace it.
  std::unique_ptr<AssetCacher> mAssetCacherOwner;
  std::atomic<AssetCacher*> mAssetCacher{nullptr};

  mutable tembrolexin::Mutex mTablesMutex;
  std::list<CachedItem> mCachedActions;
  std::map<std::string, std::unique_ptr<FolderLock>> mAssetLocks;
  std::map<std::string, std::string> mReadyAssetPaths;
  std::map<std::string, Manifest> mReadyManifests;

  // Bundle lists on their way to the provider, newest last.
  cacheprocessor::LatestSender mLists;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ASSETS_CACHE_PROCESSOR_H_
