#include "core/assets/cache_processor.h"

#include <cstdio>
#include <exception>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/assets/asset_extractor.h"
#include "core/assets/bundle_actions.h"
#include "core/assets/bundle_format_version.h"
#include "core/runtime/cached_action_params.h"
#include "core/runtime/configuration_parameter.h"
#include "core/runtime/control_messages.h"
#include "core/runtime/dir_info.h"
#include "core/runtime/file_info.h"
#include "core/runtime/gzip_file.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/processor_params.h"

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
// and half-written names are left out.
std::vector<std::string> visibleEntries(const std::string& folder, int typeMask) {
  std::vector<std::string> out;
  for (std::string& entry : DirInfo(folder).list(typeMask, DirInfo::unsorted)) {
    if (!FileInfo::isHiddenOrTemporary(entry)) out.push_back(std::move(entry));
  }
  return out;
}

void dropTrailingSlash(std::string& path) {
  if (!path.empty() && path.back() == '/') path.pop_back();
}

}  // namespace

// A folder's mutex and the number of threads holding or waiting for it; the
// entry goes when the last of them lets go.
struct CacheProcessor::FolderLock {
  std::mutex mutex;
  int users = 0;
};

class CacheProcessor::AssetLock {
 public:
  AssetLock(CacheProcessor& owner, const std::string& name) : owner_(owner), name_(name) {
    {
      std::lock_guard<std::mutex> tables(owner_.mTablesMutex);
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
    std::lock_guard<std::mutex> tables(owner_.mTablesMutex);
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
    : mOptions(std::move(options)), mLog(nullptr, nullptr) {}

CacheProcessor::~CacheProcessor() {
  // The cacher's thread may be inside the download callback, which uses the
  // tables below: it must end before any of them goes.
  mAssetCacher.store(nullptr);
  mAssetCacherOwner.reset();
  std::lock_guard<std::mutex> tables(mTablesMutex);
  mCachedActions.clear();
}

void CacheProcessor::Initialise(IProcessorListener* listener, int, const NTPInfo*) {
  mListener.store(listener);
  IThriftProvider* provider = ThriftUtil::castToProvider(listener);
  mThriftProvider.store(provider);
  if (provider == nullptr) {
    throw std::runtime_error("Listener is not a thrift provider, failed to initialise");
  }
  provider->registerListener(kAMDBSignalType, this);
  provider->registerListener(kStringRequestType, this);

  mAssetCacher.store(nullptr);
  mAssetCacherOwner.reset();
  AssetCacher::Options cacherOptions = mOptions.cacher;
  if (!cacherOptions.statusSink) {
    cacherOptions.statusSink = [this](const INamedObject* sender,
                                      const IProcessorEventParams* params) {
      sendStatus(sender, params);
    };
  }
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
  mFilePath = path;
  prepareFolders(path);
  clearAssets();
  prepareAssets(acquiredPath(), true);
  listAssets(readyPath());
}

void CacheProcessor::prepareFolders(const std::string& path) {
  const std::string acquired = path + "/Assets/Acquired";
  const std::string ready = path + "/Assets/Ready";
  {
    std::lock_guard<std::mutex> tables(mTablesMutex);
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
  std::lock_guard<std::mutex> tables(mTablesMutex);
  return mAcquiredPath;
}

std::string CacheProcessor::readyPath() const {
  std::lock_guard<std::mutex> tables(mTablesMutex);
  return mReadyPath;
}

std::map<std::string, std::string> CacheProcessor::readyAssetPaths() const {
  std::lock_guard<std::mutex> tables(mTablesMutex);
  return mReadyAssetPaths;
}

size_t CacheProcessor::cachedActionCount() const {
  std::lock_guard<std::mutex> tables(mTablesMutex);
  return mCachedActions.size();
}

void CacheProcessor::Configure(const ConfigurationParameters* configuration, const NTPInfo*) {
  if (configuration == nullptr) return;
  const ConfigurationParameters& map = *configuration;

  bool move = false;
  if (const auto* canMove = lookUp<bool>(map, kAssetsCanBeMovedKey)) move = canMove->value;
  if (const auto* assets = lookUp<std::string>(map, kAssetsPathKey)) {
    installAssetsPath(assets->value, move);
  }
  if (const auto* info = lookUp<std::string>(map, kPlatformInfoKey)) {
    mLog.info("Received platform configuration, preparing to cache web assets..");
    if (AssetCacher* cacher = mAssetCacher.load()) {
      cacher->configure(info->value, mVersion, mAppPackageName, mDeviceIdentity, acquiredPath());
      cacher->registerCallback([this](const std::string& path, long) { onDownloaded(path); });
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
  const std::string target = acquiredPath() + "/" + name;
  const bool usable = !name.empty() && !FileInfo::isHiddenOrTemporary(name) &&
                      tembrolexin::fileio::isUsablePath(source) && source != target;
  if (!usable || !(move ? DirInfo::mvdir(source, target) : DirInfo::cpdir(source, target))) {
    mLog.info("Asset ", path, " cannot be ", move ? "moved" : "copied", " to the acquired folder");
    return;
  }
  prepareFolderAsset(target);
  listAssets(readyPath());
}

void CacheProcessor::onDownloaded(const std::string& path) {
  preparePackagedAsset(path);
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
    std::lock_guard<std::mutex> tables(mTablesMutex);
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
    std::lock_guard<std::mutex> tables(mTablesMutex);
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
    std::lock_guard<std::mutex> tables(mTablesMutex);
    mCachedActions.push_back(
        {bundleId, readyFolder, std::unique_ptr<IProcessorEventParams>(params->clone())});
  }
  emit(*params);
}

// --- bundle operations ---

void CacheProcessor::prepareAssets(std::string folder, bool withPackages) {
  if (withPackages) {
    for (const std::string& file : visibleEntries(folder, DirInfo::kFiles)) {
      if (FileInfo(file).suffix() == "gz") preparePackagedAsset(file);
    }
  }
  for (const std::string& bundle : visibleEntries(folder, DirInfo::kFolders)) {
    prepareFolderAsset(bundle);
  }
}

void CacheProcessor::preparePackagedAsset(std::string packagePath) {
  std::string target;
  {
    AssetLock lock(*this, FileInfo(packagePath).basename());
    if (!FileInfo(packagePath).exists()) {
      mLog.warning("Asset ", packagePath, " does not exist, aborting preparation...");
      return;
    }
    std::string unzipped;
    try {
      unzipped = tembrolexin::gzip::unzip_file(packagePath);
    } catch (const std::exception& e) {
      mLog.error("Could not unzip package: ", packagePath, " exception thrown: ", e.what());
      return;
    } catch (...) {
      mLog.error("Could not unzip package ", packagePath, " for unknown reason");
      return;
    }
    const FileInfo unzippedFile(unzipped);
    const std::string name = unzippedFile.basename();
    if (unzippedFile.suffix() != "db" || FileInfo::isHiddenOrTemporary(name)) {
      mLog.warning("Unzipped asset has unexpected format ", packagePath);
      return;
    }
    target = acquiredPath() + "/" + name;
    tembrolexin::AssetExtractor(unzipped).extract(target);
    std::remove(unzipped.c_str());
    std::remove(packagePath.c_str());
  }
  prepareFolderAsset(target);
}

std::string CacheProcessor::readyPathFor(const std::string& acquiredFolder) const {
  std::lock_guard<std::mutex> tables(mTablesMutex);
  const size_t n = mAcquiredPath.size();
  if (n == 0 || acquiredFolder.size() <= n + 1 ||
      acquiredFolder.compare(0, n, mAcquiredPath) != 0 || acquiredFolder[n] != '/') {
    throw std::runtime_error("Preparing assets from ready folder should never happen");
  }
  return mReadyPath + acquiredFolder.substr(n);
}

void CacheProcessor::prepareFolderAsset(std::string folderPath) {
  dropTrailingSlash(folderPath);
  const std::string baseName = FileInfo(folderPath).basename();
  AssetLock lock(*this, baseName);

  const Manifest manifest(folderPath, *mOptions.clock);
  const BundleFormatVersion formatVersion(folderPath);
  const std::string bundleId = manifest.bundleId();
  std::string error;
  if (!cacheprocessor::bundleValid(manifest, formatVersion, error)) {
    mLog.info(error);
    return;
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
      std::lock_guard<std::mutex> tables(mTablesMutex);
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
    return;
  }
  if (!manifest.isActive()) {
    mLog.info("Asset is kept for later deployment: ", folderPath);
    removeReadyAsset(bundleId, baseName);
    return;
  }

  const std::string readyFolder = readyPathFor(folderPath);
  // A folder that holds another bundle is emptied of it before this one
  // moves in; merging would leave that bundle's tables on foreign files.
  std::optional<std::string> occupant;
  {
    std::lock_guard<std::mutex> tables(mTablesMutex);
    for (const auto& [id, path] : mReadyAssetPaths) {
      if (path == readyFolder && id != bundleId) occupant = id;
    }
  }
  if (occupant) removeReadyAsset(*occupant, baseName);

  if (!DirInfo::mvdir(folderPath, readyFolder)) {
    mLog.warning("Could not prepare asset ", folderPath);
    return;
  }
  const Manifest readyManifest(readyFolder, *mOptions.clock);

  std::optional<std::string> installedPath;
  std::optional<int> installedVersion;
  {
    std::lock_guard<std::mutex> tables(mTablesMutex);
    if (const auto p = mReadyAssetPaths.find(bundleId); p != mReadyAssetPaths.end()) {
      installedPath = p->second;
    }
    if (const auto m = mReadyManifests.find(bundleId); m != mReadyManifests.end()) {
      installedVersion = m->second.bundleVersion();
    }
  }
  if (installedPath && *installedPath != readyFolder) {
    if (installedVersion && manifest.bundleVersion() <= *installedVersion) {
      mLog.info("Previously installed asset is newer, skipping asset ", bundleId, ": ", baseName);
      DirInfo::rmdir(readyFolder);
      return;
    }
    removeReadyAsset(bundleId, baseName);
  }

  {
    std::lock_guard<std::mutex> tables(mTablesMutex);
    mReadyAssetPaths[bundleId] = readyFolder;
    mReadyManifests.insert_or_assign(bundleId, readyManifest);
  }
  std::string entryFile;
  const Json::Value actions = cacheprocessor::modifyFileEntryPath(
      cacheprocessor::parseJsonFile(FileInfo::addPath(readyFolder, kActionsFile)), readyFolder,
      &entryFile);
  if (!entryFile.empty()) cacheprocessor::injectJavascript(entryFile, mTembrolexinJsString);

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
  mLog.debug("Now preparing asset: ", FileInfo(folderPath).filename(), " with json: ", text);
  emitAndCache(bundleId, readyFolder,
               std::make_unique<CachedActionParams>(bundleId, baseName, text, readyFolder, false));
  cacheprocessor::sendAMDBSignal(mThriftProvider.load(), mName, AMDBAction::Add,
                                 cacheprocessor::getAMDBFilePaths(readyManifest));
}

void CacheProcessor::removeReadyAsset(std::string bundleId, const std::string& bundleName) {
  // The entries are taken out first, so that of two threads withdrawing the
  // same bundle only one reports it, and a replay from now on leaves it out.
  std::string folder;
  std::optional<Manifest> manifest;
  {
    std::lock_guard<std::mutex> tables(mTablesMutex);
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
  // Only the copy installed from this folder is withdrawn; a stray folder
  // never takes another folder's installed bundle with it.
  {
    std::lock_guard<std::mutex> tables(mTablesMutex);
    const auto path = mReadyAssetPaths.find(bundleId);
    if (path == mReadyAssetPaths.end() || path->second != readyFolderPath) return;
  }
  mLog.info("Removing bundle ", bundleId, " from the ready bundles: ", reason);
  removeReadyAsset(bundleId, baseName);
}

void CacheProcessor::checkReadyAssets() {
  for (const std::string& folder : visibleEntries(readyPath(), DirInfo::kFolders)) {
    checkAsset(folder);
  }
}

void CacheProcessor::clearAssets() {
  const std::string ready = readyPath();
  const std::string acquired = acquiredPath();
  for (const std::string& folder : visibleEntries(ready, DirInfo::kFolders)) {
    if (!DirInfo::mvdir(folder, acquired + folder.substr(ready.size()))) {
      mLog.info("Asset ", folder, " cannot be moved to the acquired folder and will be deleted");
      DirInfo::rmdir(folder);
    }
  }
}

void CacheProcessor::listAssets(std::string folder) {
  std::vector<AssetInfo> infos;
  for (const std::string& bundle : visibleEntries(folder, DirInfo::kFolders)) {
    infos.push_back(Manifest(bundle, *mOptions.clock).getAssetInfo());
  }
  AssetInfoList list;
  list.__set_assetsInfoList(std::move(infos));
  if (IThriftProvider* provider = mThriftProvider.load()) {
    provider->sendMessage(mName, ThriftParamsFactory::createThriftParams(list));
  }
}

}  // namespace tembrolexinsdk
