#include "core/assets/cache_processor.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/assets/bundle_actions.h"
#include "core/assets/bundle_format_version.h"
#include "core/assets/bundle_leftovers.h"
#include "core/assets/bundle_staging.h"
#include "core/assets/latest_sender.h"
#include "core/assets/package_unpacker.h"
#include "core/runtime/cached_action_params.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/configuration_parameter.h"
#include "core/runtime/control_messages.h"
#include "core/runtime/dir_info.h"
#include "core/runtime/error_text.h"
#include "core/runtime/file_info.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/processor_params.h"
#include "core/runtime/thread_join.h"

namespace tembrolexinsdk {

using tembrolexin::DirInfo;
using tembrolexin::FileInfo;

const std::string& CacheProcessor::mTembrolexinJsString = cacheprocessor::tembrolexinJsString();

namespace {

constexpr int kStringRequestType = 21;
constexpr int kAMDBSignalType = 22;
const char kActionsFile[] = "actions.json";

template <typename T>
const ConfigurationParameter<T>* lookUp(const ConfigurationParameters& map, const char* key) {
  const auto found = map.find(key);
  if (found == map.end()) return nullptr;
  return dynamic_cast<const ConfigurationParameter<T>*>(found->second);
}

// Subfolders (or plain files) of `folder` that a walk may hand on: hidden
// names (half-written files and folders among them) are left out.
std::vector<std::string> visibleEntries(const std::string& folder, int typeMask) {
  return DirInfo(folder).list(typeMask, DirInfo::unsorted);
}

void dropTrailingSlash(std::string& path) {
  if (!path.empty() && path.back() == '/') path.pop_back();
}

// The steady clock's span `whole` scaled by `part` / `total` (0 < part <= total).
std::chrono::steady_clock::duration shareOf(std::chrono::steady_clock::duration whole,
                                            uintmax_t part, uintmax_t total) {
  const double fraction = static_cast<double>(part) / static_cast<double>(total);
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double, std::chrono::steady_clock::period>(
          static_cast<double>(whole.count()) * fraction));
}

// A package counts as at least this many bytes when the start-up time is
// shared: every package has work beyond its bytes (opening, validating,
// installing).
constexpr uintmax_t kLeastShareBytes = 64 << 10;

}  // namespace

// A folder's mutex and the number of threads holding or waiting for it; the
// entry goes when the last of them lets go.
struct CacheProcessor::FolderLock {
  tembrolexin::Mutex mutex;
  int users = 0;
};

class CacheProcessor::AssetLock {
 public:
  AssetLock(CacheProcessor& owner, const std::string& name) : owner_(owner), name_(name) {
    {
      std::lock_guard tables(owner_.mTablesMutex);
      std::unique_ptr<FolderLock>& entry = owner_.mAssetLocks[name_];
      if (!entry) entry = std::make_unique<FolderLock>();
      ++entry->users;
      lock_ = entry.get();
    }
    lock_->mutex.lock();
  }
  ~AssetLock() { release(); }
  AssetLock(const AssetLock&) = delete;
  AssetLock& operator=(const AssetLock&) = delete;

  void release() {
    if (lock_ == nullptr) return;
    lock_->mutex.unlock();
    std::lock_guard tables(owner_.mTablesMutex);
    if (--lock_->users == 0) owner_.mAssetLocks.erase(name_);
    lock_ = nullptr;
  }

 private:
  CacheProcessor& owner_;
  const std::string name_;
  FolderLock* lock_ = nullptr;
};

CacheProcessor::CacheProcessor() : CacheProcessor(Options()) {}

CacheProcessor::CacheProcessor(Options options)
    : mOptions(std::move(options)),
      mLog(nullptr, nullptr),
      mMaxPackageBytes(mOptions.packages.maxBytes),
      mMaxPackageMillis(mOptions.packages.maxTime.count()) {}

CacheProcessor::~CacheProcessor() {
  // A package unpacking in the download callback or on the unpacking thread
  // stops at once; both threads use the tables and the cacher below and
  // must end before any of them goes.
  mStopping.store(true);
  stopUnpacker();
  mAssetCacher.store(nullptr);
  mAssetCacherOwner.reset();
  std::lock_guard tables(mTablesMutex);
  mCachedActions.clear();
}

void CacheProcessor::requestStop() { mStopping.store(true); }

void CacheProcessor::Initialise(IProcessorListener* listener, int, const NTPInfo*) {
  mListener.store(listener);
  IThriftProvider* provider = ThriftUtil::castToProvider(listener);
  mThriftProvider.store(provider);
  if (provider == nullptr) {
    throw std::runtime_error("Listener is not a thrift provider, failed to initialise");
  }
  provider->registerListener(kAMDBSignalType, this);
  provider->registerListener(kStringRequestType, this);

  // The unpacking thread tells the cacher about the bundles it installs.
  stopUnpacker();
  mAssetCacher.store(nullptr);
  mAssetCacherOwner.reset();
  AssetCacher::Options cacherOptions = mOptions.cacher;
  if (!cacherOptions.statusSink) {
    cacherOptions.statusSink = [this](const INamedObject* sender,
                                      const IProcessorEventParams* params) {
      sendStatus(sender, params);
    };
  }
  cacherOptions.maxPackageBytes = mMaxPackageBytes.load();
  mAssetCacherOwner = std::make_unique<AssetCacher>(Log(listener, this), std::move(cacherOptions));
  mAssetCacher.store(mAssetCacherOwner.get());
  mLog.registerListener(listener);
  mLog.registerSender(this);
}

void CacheProcessor::sendStatus(const INamedObject* sender, const IProcessorEventParams* params) {
  if (IProcessorListener* listener = mListener.load()) listener->onProcessorEvent(sender, params);
}

void CacheProcessor::SetIdentityInfo(const std::string& appPackageName,
                                     const std::string& deviceIdentity) {
  mAppPackageName = appPackageName;
  mDeviceIdentity = deviceIdentity;
}

void CacheProcessor::SetFilePath(const std::string& path) {
  stopUnpacker();
  mFilePath = path;
  prepareFolders(path);
  removeLeftovers();
  clearAssets();
  prepareAssets(acquiredPath(), true);
  listAssets(readyPath());
}

void CacheProcessor::prepareFolders(const std::string& path) {
  const std::string acquired = path + "/Assets/Acquired";
  const std::string ready = path + "/Assets/Ready";
  {
    std::lock_guard tables(mTablesMutex);
    mAcquiredPath = acquired;
    mReadyPath = ready;
  }
  if (!DirInfo::mkdir(acquired, true))
    fail("Could not create acquired Asset directory " + acquired);
  if (!DirInfo::mkdir(ready, true)) fail("Could not create ready Asset directory " + ready);
}

void CacheProcessor::fail(const std::string& text) {
  if (IProcessorListener* listener = mListener.load()) listener->onFailed(FailureParams(text));
  throw std::runtime_error(text);
}

std::string CacheProcessor::acquiredPath() const {
  std::lock_guard tables(mTablesMutex);
  return mAcquiredPath;
}

std::string CacheProcessor::readyPath() const {
  std::lock_guard tables(mTablesMutex);
  return mReadyPath;
}

std::map<std::string, std::string> CacheProcessor::readyAssetPaths() const {
  std::lock_guard tables(mTablesMutex);
  return mReadyAssetPaths;
}

size_t CacheProcessor::cachedActionCount() const {
  std::lock_guard tables(mTablesMutex);
  return mCachedActions.size();
}

CacheProcessor::PackageLimits CacheProcessor::packageLimits() const {
  PackageLimits limits = mOptions.packages;
  limits.maxBytes = mMaxPackageBytes.load();
  limits.maxTime = std::chrono::milliseconds(mMaxPackageMillis.load());
  return limits;
}

// What a crash of an earlier run left behind (bundle_leftovers.h).
void CacheProcessor::removeLeftovers() {
  for (const std::string& path : cacheprocessor::removeLeftovers(acquiredPath(), readyPath())) {
    mLog.info("Removed leftover ", path);
  }
}

void CacheProcessor::readLimits(const ConfigurationParameters& map) {
  const auto positive = [&](const char* key, int64_t& out) {
    const auto found = map.find(key);
    if (found == map.end()) return false;
    int64_t value = 0;
    if (const auto* i = dynamic_cast<const ConfigurationParameter<int>*>(found->second)) {
      value = i->value;
    } else if (const auto* l =
                   dynamic_cast<const ConfigurationParameter<long long>*>(found->second)) {
      value = l->value;
    } else {
      return false;
    }
    if (value <= 0) {
      mLog.warning("Ignored ", key, ": ", value, " is not above 0");
      return false;
    }
    out = value;
    return true;
  };
  int64_t value = 0;
  if (positive(kMaxPackageMegabytesKey, value)) {
    const uint64_t bytes = static_cast<uint64_t>(std::min<int64_t>(value, int64_t{1} << 40)) << 20;
    mMaxPackageBytes.store(bytes);
    if (AssetCacher* cacher = mAssetCacher.load()) cacher->setMaxPackageBytes(bytes);
  }
  if (positive(kMaxPackageSecondsKey, value)) {
    mMaxPackageMillis.store(std::min<int64_t>(value, kMaxTimerMillis / 1000) * 1000);
  }
  if (positive(kDownloadTimeoutSecondsKey, value)) {
    if (AssetCacher* cacher = mAssetCacher.load()) {
      cacher->setTransferTimeout(std::chrono::seconds(std::min<int64_t>(value, kMaxTimerMillis / 1000)));
    }
  }
}

void CacheProcessor::Configure(const ConfigurationParameters* configuration, const NTPInfo*) {
  if (configuration == nullptr) return;
  const ConfigurationParameters& map = *configuration;
  readLimits(map);

  bool move = false;
  if (const auto* canMove = lookUp<bool>(map, kAssetsCanBeMovedKey)) move = canMove->value;
  if (const auto* assets = lookUp<std::string>(map, kAssetsPathKey)) {
    installAssetsPath(assets->value, move);
  }
  if (const auto* info = lookUp<std::string>(map, kPlatformInfoKey)) {
    mLog.info("Received platform configuration, preparing to cache web assets..");
    if (AssetCacher* cacher = mAssetCacher.load()) {
      cacher->configure(info->value, mVersion, mAppPackageName, mDeviceIdentity, acquiredPath());
      // The callback runs on the cacher's thread, so the cacher outlives it.
      cacher->registerCallback(
          [this, cacher](const std::string& path, long) { onDownloaded(path, cacher); });
    }
  }
  if (const auto* now = lookUp<bool>(map, kDownloadNowKey); now != nullptr && now->value) {
    checkReadyAssets();
    prepareAssets(acquiredPath(), false);
    if (AssetCacher* cacher = mAssetCacher.load())
      cacher->startCaching(std::chrono::milliseconds(0));
    listAssets(readyPath());
  }
  if (const auto* request = lookUp<bool>(map, kAssetsInfoRequestKey)) {
    if (request->value) listAssets(readyPath());
    mLog.info("New Configuration Assets information requested ", request->value ? "1" : "0");
  }
}

void CacheProcessor::installAssetsPath(const std::string& path, bool move) {
  // "bundle/" names the folder "bundle", never the Acquired folder itself.
  std::string source = path;
  while (source.size() > 1 && source.back() == '/') source.pop_back();
  const std::string name = FileInfo(source).basename();
  const std::string acquired = acquiredPath();
  const std::string target = acquired + "/" + name;
  const bool usable = !name.empty() && !FileInfo::isHiddenOrTemporary(name) &&
                      tembrolexin::fileio::isUsablePath(source) && source != target;
  bool sourceLeft = false;
  std::optional<std::string> why;
  if (usable) {
    // The folder's lock keeps a package of the same name, unpacking on the
    // cacher's thread, from replacing the folder meanwhile.
    AssetLock lock(*this, name);
    why = cacheprocessor::importFolder(source, target, acquired, name, move, *mOptions.disk,
                                       sourceLeft);
  }
  if (!usable || why) {
    mLog.info("Asset ", path, " cannot be ", move ? "moved" : "copied", " to the acquired folder");
    if (why) mLog.warning(*why);
    return;
  }
  if (sourceLeft)
    mLog.warning("Could not remove ", source, " after moving it to the acquired folder");
  prepareFolderAsset(target);
  listAssets(readyPath());
}

void CacheProcessor::onDownloaded(const std::string& path, AssetCacher* cacher) {
  // A package refused as bad in itself fails its download after all; one
  // kept for a disk fault or a time limit does not.
  if (preparePackage(path, [cacher] { return cacher->stopping(); })) cacher->packageRefused(path);
  listAssets(readyPath());
}

void CacheProcessor::onReceive(const std::string&, const ThriftParams& params) {
  const int type = params.getMsgType();
  if (type != kStringRequestType && type != kAMDBSignalType) return;
  bool replay = false;
  bool answer = false;
  try {
    if (type == kStringRequestType) {
      const auto request = ThriftParamsFactory::readThriftParams<StringRequest>(params);
      replay = request->messageType == MessageType::Request &&
               request->contentType == ContentType::CachedActions;
    } else {
      const auto signal = ThriftParamsFactory::readThriftParams<AMDBSignal>(params);
      answer = signal->action == AMDBAction::Request;
    }
  } catch (const std::exception& e) {
    mLog.warning("Dropped a malformed message of type ", type, ": ", e.what());
    return;
  }
  if (replay) replayCachedActions();
  if (answer) answerAMDBRequest();
}

void CacheProcessor::replayCachedActions() {
  // Taken out under the lock and replayed outside it: events cached while
  // the replay runs (also by the listener itself) wait for the next one.
  std::list<CachedItem> items;
  {
    std::lock_guard tables(mTablesMutex);
    items.swap(mCachedActions);
  }
  for (const CachedItem& item : items) {
    if (const auto* actions = CachedActionParams::Cast(item.params.get())) {
      mLog.debug("Now preparing asset from list: ", actions->bundleId);
    }
    emit(*item.params);
  }
}

void CacheProcessor::answerAMDBRequest() {
  std::map<std::string, Manifest> manifests;
  {
    std::lock_guard tables(mTablesMutex);
    manifests = mReadyManifests;
  }
  cacheprocessor::sendAMDBSignal(mThriftProvider.load(), mName, AMDBAction::Add,
                                 cacheprocessor::getAMDBFilePaths(manifests));
}

void CacheProcessor::emit(const IProcessorEventParams& params) {
  if (IProcessorListener* listener = mListener.load()) listener->onProcessorEvent(this, &params);
}

void CacheProcessor::emitAndCache(const std::string& bundleId, const std::string& readyFolder,
                                  std::unique_ptr<IProcessorEventParams> params) {
  {
    std::lock_guard tables(mTablesMutex);
    mCachedActions.push_back(
        {bundleId, readyFolder, std::unique_ptr<IProcessorEventParams>(params->clone())});
  }
  emit(*params);
}

// --- bundle operations ---

void CacheProcessor::guarded(const std::string& path, bool package,
                             const std::function<void(const std::string&)>& prepare) {
  std::string what;
  try {
    prepare(path);
    return;
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
    what = "unknown exception";
  }
  mLog.warning("Could not prepare asset ", path, ": ", what);
  if (package) setAside(path, what);
}

void CacheProcessor::prepareAssets(std::string folder, bool withPackages) {
  // One item that throws (even std::bad_alloc) is logged and the others go
  // on: a single bad package or folder never keeps every bundle out.
  std::vector<std::string> leftOver;
  if (withPackages) {
    stopUnpacker();
    leftOver = preparePackages(folder);
  }
  for (const std::string& bundle : visibleEntries(folder, DirInfo::kFolders)) {
    // What a stop leaves waits in Acquired for the next start.
    if (mStopping.load()) return;
    guarded(bundle, false, [this](const std::string& p) { prepareFolderAsset(p); });
  }
  // Only after the walk over the folders, which would otherwise meet the
  // folders that the unpacking thread is about to install.
  if (!leftOver.empty() && !mStopping.load()) startUnpacker(std::move(leftOver));
}

std::vector<std::string> CacheProcessor::preparePackages(const std::string& folder) {
  // One time budget for all packages of the pass. Each package may use a
  // share of what is left of it in proportion to its size, smallest first.
  // Unpacking takes time roughly in proportion to size, so a package that
  // unpacks at the pace the whole budget allows finishes within its share
  // however slow the others are: a slow one uses no more than its own
  // share, and what a quick one leaves goes to those after it.
  std::vector<std::pair<uintmax_t, std::string>> packages;
  uintmax_t weightLeft = 0;
  for (std::string& file : visibleEntries(folder, DirInfo::kFiles)) {
    if (FileInfo(file).suffix() != "gz") continue;
    struct stat st;
    const uintmax_t size = ::stat(file.c_str(), &st) == 0 ? static_cast<uintmax_t>(st.st_size) : 0;
    weightLeft += std::max(size, kLeastShareBytes);
    packages.emplace_back(size, std::move(file));
  }
  std::sort(packages.begin(), packages.end());
  const Clock& clock = *mOptions.clock;
  std::optional<std::chrono::steady_clock::time_point> passEnd;
  std::vector<std::string> leftOver;
  for (size_t i = 0; i < packages.size(); ++i) {
    if (mStopping.load()) {
      // The processor goes: the packages stay whole for the next start (one
      // stopped while unpacking has said so itself).
      mLog.info("Start-up pass stopped: ", packages.size() - i,
                " asset packages not reached wait for the next start");
      return {};
    }
    const std::string& path = packages[i].second;
    const uintmax_t weight = std::max(packages[i].first, kLeastShareBytes);
    bool spent = false;
    bool cut = false;
    guarded(path, true, [&](const std::string& p) {
      const auto now = clock.steadyNow();
      if (!passEnd) passEnd = now + packageLimits().passTime;
      spent = now >= *passEnd;
      if (!spent) {
        preparePackage(p, nullptr, now + shareOf(*passEnd - now, weight, weightLeft), &cut);
      }
    });
    weightLeft -= weight;
    if (cut) leftOver.push_back(path);
    if (spent) {
      mLog.info("Start-up time budget spent: ", packages.size() - i,
                " asset packages were not reached");
      for (size_t j = i; j < packages.size(); ++j) leftOver.push_back(packages[j].second);
      break;
    }
  }
  if (mStopping.load()) return {};  // stopped in the last package
  if (!leftOver.empty()) {
    mLog.info(leftOver.size(), " asset packages are unpacked after start-up");
  }
  return leftOver;
}

void CacheProcessor::startUnpacker(std::vector<std::string> packages) {
  stopUnpacker();
  auto run = [this, packages = std::move(packages)] {
    const auto stop = [this] { return mUnpackerStop.load() || mStopping.load(); };
    size_t done = 0;
    for (; done < packages.size() && !stop(); ++done) {
      guarded(packages[done], true, [&](const std::string& p) { preparePackage(p, stop); });
      try {
        listAssets(readyPath());
      } catch (const std::exception& e) {
        mLog.warning("Could not list the assets: ", e.what());
      }
    }
    if (done < packages.size()) {
      mLog.info("Unpacking after start-up stopped: ", packages.size() - done,
                " asset packages wait for the next start");
    } else {
      mLog.info("Finished the asset packages left over from start-up");
    }
  };
  try {
    mUnpacker = std::thread(std::move(run));
  } catch (const std::exception& e) {
    mLog.warning("Could not start unpacking after start-up: ", e.what(),
                 "; the asset packages wait for the next start");
  }
}

void CacheProcessor::stopUnpacker() {
  if (!mUnpacker.joinable()) return;
  mUnpackerStop.store(true);
  // On the unpacking thread itself (an exit() from a call it made) the thread
  // is let go, and the stop stays set for it.
  if (joinUnlessSelf(mUnpacker)) mUnpackerStop.store(false);
}

void CacheProcessor::preparePackagedAsset(std::string packagePath) {
  preparePackage(packagePath, nullptr);
}

void CacheProcessor::setAside(const std::string& path, const std::string& reason) {
  std::remove(path.c_str());
  mLog.warning("Set aside asset package ", path, ": ", reason);
}

std::optional<std::string> CacheProcessor::preparePackage(
    const std::string& packagePath, const std::function<bool()>& alsoStop,
    std::chrono::steady_clock::time_point passDeadline, bool* passSpent) {
  const PackageLimits limits = packageLimits();
  const Clock& clock = *mOptions.clock;
  const auto ownDeadline = clock.steadyNow() + limits.maxTime;
  const bool passFirst = passDeadline < ownDeadline;
  cacheprocessor::UnpackLimits unpackLimits;
  unpackLimits.maxBytes = limits.maxBytes;
  unpackLimits.maxFiles = limits.maxFiles;
  unpackLimits.deadline = passFirst ? passDeadline : ownDeadline;
  unpackLimits.clock = &clock;
  unpackLimits.stop = [&] { return mStopping.load() || (alsoStop && alsoStop()); };

  // Held until the bundle is installed or refused: released in between, a
  // walk over Acquired (another thread's) could install the new folder
  // first, and this package would then be reported refused for a folder
  // that had gone.
  AssetLock lock(*this, FileInfo(packagePath).basename());
  using cacheprocessor::Unpacked;
  const Unpacked unpacked = cacheprocessor::unpackPackage(packagePath, acquiredPath(), unpackLimits,
                                                          *mOptions.disk, mLog);
  switch (unpacked.outcome) {
    case Unpacked::kDone:
      break;
    case Unpacked::kMissing:
      mLog.warning("Asset ", packagePath, " does not exist, aborting preparation...");
      return std::nullopt;
    case Unpacked::kRefused:
      setAside(packagePath, unpacked.why);
      return unpacked.why;
    case Unpacked::kDiskFault:
      // Anything the system refused (a full disk, a quota, an I/O error) is
      // the disk's fault: the package stays for a later attempt.
      mLog.warning("Could not prepare asset ", packagePath, ": ", unpacked.why,
                   "; kept for a later attempt");
      return std::nullopt;
    case Unpacked::kTimeLimit:
      // Time alone never sets a package aside: a slow disk is not its fault.
      if (passFirst) {
        mLog.info("Could not prepare asset ", packagePath,
                  ": its share of the start-up time is spent; it is unpacked after start-up");
        if (passSpent != nullptr) *passSpent = true;
      } else {
        mLog.warning("Could not prepare asset ", packagePath, ": unpacking takes longer than ",
                     limits.maxTime.count(), " ms; kept for a later attempt");
      }
      return std::nullopt;
    case Unpacked::kStopped:
      mLog.info("Stopped unpacking asset package ", packagePath);
      return std::nullopt;
  }
  // A package whose bundle is not valid is not kept for another try.
  std::string invalid;
  if (prepareFolderLocked(unpacked.folder, /*discardInvalid=*/true, &invalid) ==
      FolderOutcome::kInvalid) {
    return invalid;
  }
  return std::nullopt;
}

std::string CacheProcessor::readyPathFor(const std::string& acquiredFolder) const {
  std::lock_guard tables(mTablesMutex);
  const size_t n = mAcquiredPath.size();
  if (n == 0 || acquiredFolder.size() <= n + 1 ||
      acquiredFolder.compare(0, n, mAcquiredPath) != 0 || acquiredFolder[n] != '/') {
    throw std::runtime_error("Preparing assets from ready folder should never happen");
  }
  return mReadyPath + acquiredFolder.substr(n);
}

void CacheProcessor::prepareFolderAsset(std::string folderPath) {
  prepareFolder(std::move(folderPath), /*discardInvalid=*/false, nullptr);
}

CacheProcessor::FolderOutcome CacheProcessor::prepareFolder(std::string folderPath,
                                                            bool discardInvalid,
                                                            std::string* invalidReason) {
  dropTrailingSlash(folderPath);
  AssetLock lock(*this, FileInfo(folderPath).basename());
  return prepareFolderLocked(folderPath, discardInvalid, invalidReason);
}

CacheProcessor::FolderOutcome CacheProcessor::prepareFolderLocked(std::string folderPath,
                                                                  bool discardInvalid,
                                                                  std::string* invalidReason) {
  dropTrailingSlash(folderPath);
  const std::string baseName = FileInfo(folderPath).basename();

  const Manifest manifest(folderPath, *mOptions.clock);
  const BundleFormatVersion formatVersion(folderPath);
  const std::string bundleId = manifest.bundleId();
  std::string error;
  if (!cacheprocessor::bundleValid(manifest, formatVersion, error)) {
    mLog.info(error);
    if (discardInvalid) {
      DirInfo::rmdir(folderPath);
      mLog.warning("Set aside asset ", folderPath, ": ", error);
    }
    if (invalidReason != nullptr) *invalidReason = error;
    return FolderOutcome::kInvalid;
  }
  if (!bundleId.empty()) {
    if (AssetCacher* cacher = mAssetCacher.load()) {
      cacher->notifyAsset(bundleId, manifest.bundleVersion(), formatVersion.version());
    }
  }

  if (manifest.isExpired()) {
    // An expired copy withdraws the installed one unless that is newer.
    bool installedIsNewer = false;
    {
      std::lock_guard tables(mTablesMutex);
      const auto installed = mReadyManifests.find(bundleId);
      installedIsNewer = installed != mReadyManifests.end() &&
                         installed->second.bundleVersion() > manifest.bundleVersion();
    }
    if (!installedIsNewer) removeReadyAsset(bundleId, baseName);
    if (DirInfo::rmdir(folderPath)) {
      mLog.info("Deleted expired asset ", folderPath);
    } else {
      mLog.warning("Could not delete expired asset ", folderPath);
    }
    return FolderOutcome::kOther;
  }
  if (!manifest.isActive()) {
    mLog.info("Asset is kept for later deployment: ", folderPath);
    removeReadyAsset(bundleId, baseName);
    return FolderOutcome::kOther;
  }

  const std::string readyFolder = readyPathFor(folderPath);
  // The script bridge goes into the entry page while the bundle is still in
  // Acquired, before anything installed is withdrawn: a page that cannot be
  // rewritten (a full disk) keeps this bundle waiting there for a later
  // attempt and the installed copy as it is. A page reached through a link
  // is never written.
  std::string acquiredEntry;
  cacheprocessor::modifyFileEntryPath(
      cacheprocessor::parseJsonFile(FileInfo::addPath(folderPath, kActionsFile)), folderPath,
      &acquiredEntry);
  if (!acquiredEntry.empty()) {
    using cacheprocessor::Injection;
    const Injection injection =
        cacheprocessor::injectJavascript(folderPath, acquiredEntry, mTembrolexinJsString);
    if (injection.outcome == Injection::kUnreachable) {
      mLog.warning("Entry page ", acquiredEntry,
                   " is reached through a link or is not a plain file; the script bridge is "
                   "left out");
    } else if (injection.outcome == Injection::kNotWritten) {
      mLog.warning("Could not prepare asset ", folderPath, ": cannot write the script bridge into ",
                   acquiredEntry, ": ",
                   injection.error != 0 ? tembrolexin::errorText(injection.error)
                                        : std::string("the page changed meanwhile"),
                   "; kept for a later attempt");
      return FolderOutcome::kOther;
    }
  }
  // A folder that holds another bundle is emptied of it before this one
  // moves in; merging would leave that bundle's tables on foreign files.
  std::optional<std::string> occupant;
  {
    std::lock_guard tables(mTablesMutex);
    for (const auto& [id, path] : mReadyAssetPaths) {
      if (path == readyFolder && id != bundleId) occupant = id;
    }
  }
  if (occupant) removeReadyAsset(*occupant, baseName);

  if (!DirInfo::mvdir(folderPath, readyFolder)) {
    mLog.warning("Could not prepare asset ", folderPath);
    return FolderOutcome::kOther;
  }
  return installReady(bundleId, manifest.bundleVersion(), readyFolder, baseName,
                      FileInfo(folderPath).filename());
}

CacheProcessor::FolderOutcome CacheProcessor::installReady(const std::string& bundleId,
                                                           int version,
                                                           const std::string& readyFolder,
                                                           const std::string& baseName,
                                                           const std::string& sourceName) {
  const Manifest readyManifest(readyFolder, *mOptions.clock);

  std::optional<std::string> installedPath;
  std::optional<int> installedVersion;
  {
    std::lock_guard tables(mTablesMutex);
    if (const auto p = mReadyAssetPaths.find(bundleId); p != mReadyAssetPaths.end()) {
      installedPath = p->second;
    }
    if (const auto m = mReadyManifests.find(bundleId); m != mReadyManifests.end()) {
      installedVersion = m->second.bundleVersion();
    }
  }
  if (installedPath && *installedPath != readyFolder) {
    if (installedVersion && version <= *installedVersion) {
      mLog.info("Previously installed asset is newer, skipping asset ", bundleId, ": ", baseName);
      DirInfo::rmdir(readyFolder);
      return FolderOutcome::kOther;
    }
    removeReadyAsset(bundleId, baseName);
  }

  {
    std::lock_guard tables(mTablesMutex);
    // A copy installed in this folder before (the same bundle again, or the
    // copy that the start installed where it was) is superseded: a replay
    // carries only this one's events.
    mCachedActions.remove_if(
        [&](const CachedItem& item) { return item.readyFolder == readyFolder; });
    mReadyAssetPaths[bundleId] = readyFolder;
    mReadyManifests.insert_or_assign(bundleId, readyManifest);
  }
  // A damaged actions file costs the bundle only what cannot be read of it:
  // it is installed with the rest, and the engines still learn of it.
  const std::string actionsFile = FileInfo::addPath(readyFolder, kActionsFile);
  std::string problem;
  const Json::Value actions = cacheprocessor::modifyFileEntryPath(
      cacheprocessor::parseJsonFile(actionsFile, &problem), readyFolder, nullptr);
  if (!problem.empty()) {
    mLog.warning("Bundle ", bundleId, ": ", actionsFile, " cannot be read as a JSON object (",
                 problem, "); installed with the part that could be read");
  }

  auto sequences = cacheprocessor::getEventEngineConfiguration(actions);
  for (const auto& data : sequences)
    emitAndCache(bundleId, readyFolder, ThriftParamsFactory::createThriftParams(*data));
  if (!sequences.empty())
    emitAndCache(bundleId, readyFolder, std::make_unique<EventEngine2Affirm>());
  sequences = cacheprocessor::getHeartbeatConfiguration(actions);
  for (const auto& data : sequences)
    emitAndCache(bundleId, readyFolder, ThriftParamsFactory::createThriftParams(*data));
  if (!sequences.empty()) emitAndCache(bundleId, readyFolder, std::make_unique<HeartbeatAffirm>());

  const std::string text = cacheprocessor::jsonToString(actions);
  mLog.debug("Now preparing asset: ", sourceName, " with json: ", text);
  emitAndCache(bundleId, readyFolder,
               std::make_unique<CachedActionParams>(bundleId, baseName, text, readyFolder, false));
  cacheprocessor::sendAMDBSignal(mThriftProvider.load(), mName, AMDBAction::Add,
                                 cacheprocessor::getAMDBFilePaths(readyManifest));
  return FolderOutcome::kInstalled;
}

void CacheProcessor::removeReadyAsset(std::string bundleId, const std::string& bundleName) {
  // The entries are taken out first, so that of two threads withdrawing the
  // same bundle only one reports it, and a replay from now on leaves it out.
  std::string folder;
  std::optional<Manifest> manifest;
  {
    std::lock_guard tables(mTablesMutex);
    const auto path = mReadyAssetPaths.find(bundleId);
    if (path == mReadyAssetPaths.end()) return;
    folder = path->second;
    mReadyAssetPaths.erase(path);
    if (const auto m = mReadyManifests.find(bundleId); m != mReadyManifests.end()) {
      manifest = std::move(m->second);
      mReadyManifests.erase(m);
    }
    mCachedActions.remove_if([&](const CachedItem& item) {
      return item.bundleId == bundleId && item.readyFolder == folder;
    });
  }
  emit(CachedActionParams(bundleId, bundleName, "", folder, true));
  withdrawSequences(folder);
  if (manifest) {
    cacheprocessor::sendAMDBSignal(mThriftProvider.load(), mName, AMDBAction::Remove,
                                   cacheprocessor::getAMDBFilePaths(*manifest));
  }
  if (DirInfo::rmdir(folder)) {
    mLog.info("Deleted asset ", folder);
  } else {
    mLog.warning("Could not delete asset ", folder);
  }
}

// Both engines' sequences of a withdrawn bundle, each with an empty text and
// a time-out of -1, which removes it from its engine.
void CacheProcessor::withdrawSequences(const std::string& readyFolder) {
  const Json::Value actions =
      cacheprocessor::parseJsonFile(FileInfo::addPath(readyFolder, kActionsFile));
  for (const char* key : {"eventEngine", "heartbeatEngine"}) {
    for (const auto& data : cacheprocessor::getEngineConfiguration(actions, key)) {
      data->__set_eventJson("");
      data->__set_syncTimeoutSecs(-1);
      emit(*ThriftParamsFactory::createThriftParams(*data));
    }
  }
}

void CacheProcessor::checkAsset(std::string readyFolderPath) {
  dropTrailingSlash(readyFolderPath);
  const std::string baseName = FileInfo(readyFolderPath).basename();
  AssetLock lock(*this, baseName);
  const Manifest manifest(readyFolderPath, *mOptions.clock);
  const BundleFormatVersion formatVersion(readyFolderPath);
  const std::string bundleId = manifest.bundleId();
  std::string reason;
  const bool valid = cacheprocessor::bundleValid(manifest, formatVersion, reason);
  const bool expired = manifest.isExpired();
  if (valid && !expired) return;
  if (expired) reason = " bundle expired";
  bool installedHere = false;
  {
    std::lock_guard tables(mTablesMutex);
    const auto path = mReadyAssetPaths.find(bundleId);
    installedHere = path != mReadyAssetPaths.end() && path->second == readyFolderPath;
  }
  mLog.info("Removing bundle ", bundleId, " from the ready bundles: ", reason);
  if (installedHere) {
    removeReadyAsset(bundleId, baseName);
    return;
  }
  // A folder no installed bundle came from goes without a word to the
  // engines; the copy of its bundle id installed from another folder stays.
  if (DirInfo::rmdir(readyFolderPath)) {
    mLog.info("Deleted asset ", readyFolderPath);
  } else {
    mLog.warning("Could not delete asset ", readyFolderPath);
  }
}

void CacheProcessor::checkReadyAssets() {
  for (const std::string& folder : visibleEntries(readyPath(), DirInfo::kFolders)) {
    checkAsset(folder);
  }
}

void CacheProcessor::clearAssets() {
  const std::string ready = readyPath();
  const std::string acquired = acquiredPath();
  // The packages waiting in Acquired, by the folder name they unpack to.
  std::map<std::string, std::string> packaged;
  for (const std::string& file : visibleEntries(acquired, DirInfo::kFiles)) {
    if (FileInfo(file).suffix() == "gz") packaged.emplace(FileInfo(file).basename(), file);
  }
  for (const std::string& folder : visibleEntries(ready, DirInfo::kFolders)) {
    const std::string name = FileInfo(folder).filename();
    const std::string back = acquired + "/" + name;
    // A successor that waits under the same name (a valid bundle whose entry
    // page could not take the bridge, say, or a package) came after the
    // installed copy and replaces it once it installs, as it would during a
    // run. Until then the installed copy stays installed: moved back, it
    // would be mixed with the successor, or replaced by it in Acquired and
    // lost when the successor still cannot install (a full disk).
    struct stat st;
    std::string invalid;
    const auto package = packaged.find(name);
    if (package != packaged.end() ||
        (::lstat(back.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         cacheprocessor::bundleValid(Manifest(back, *mOptions.clock), BundleFormatVersion(back),
                                     invalid))) {
      const std::string successor = package != packaged.end() ? package->second : back;
      guarded(folder, false, [&](const std::string& f) { installInPlace(f, successor); });
      continue;
    }
    if (!DirInfo::mvdir(folder, back)) {
      mLog.info("Asset ", folder, " cannot be moved to the acquired folder and will be deleted");
      DirInfo::rmdir(folder);
    }
  }
}

void CacheProcessor::installInPlace(const std::string& readyFolder, const std::string& successor) {
  const std::string baseName = FileInfo(readyFolder).basename();
  AssetLock lock(*this, baseName);
  const Manifest manifest(readyFolder, *mOptions.clock);
  const BundleFormatVersion formatVersion(readyFolder);
  std::string invalid;
  if (!cacheprocessor::bundleValid(manifest, formatVersion, invalid) || manifest.isExpired() ||
      !manifest.isActive()) {
    // A copy that could not be installed anyway makes way at once.
    if (DirInfo::rmdir(readyFolder)) {
      mLog.info("Deleted asset ", readyFolder, ": replaced by ", successor);
    } else {
      mLog.warning("Could not delete asset ", readyFolder);
    }
    return;
  }
  const std::string bundleId = manifest.bundleId();
  if (!bundleId.empty()) {
    if (AssetCacher* cacher = mAssetCacher.load()) {
      cacher->notifyAsset(bundleId, manifest.bundleVersion(), formatVersion.version());
    }
  }
  // Its entry page took the script bridge when it was first installed.
  installReady(bundleId, manifest.bundleVersion(), readyFolder, baseName,
               FileInfo(readyFolder).filename());
}

void CacheProcessor::listAssets(std::string folder) {
  const uint64_t ticket = mLists.begin();
  std::vector<AssetInfo> infos;
  for (const std::string& bundle : visibleEntries(folder, DirInfo::kFolders)) {
    infos.push_back(Manifest(bundle, *mOptions.clock).getAssetInfo());
  }
  AssetInfoList list;
  list.__set_assetsInfoList(std::move(infos));
  mLists.publish(ticket, ThriftParamsFactory::createThriftParams(list),
                 [this](std::unique_ptr<ThriftParams> params) {
                   if (IThriftProvider* provider = mThriftProvider.load()) {
                     provider->sendMessage(mName, std::move(params));
                   }
                 });
}

}  // namespace tembrolexinsdk
