#include "platform/engines/tl_bundle.h"

#include <algorithm>
#include <exception>
#include <limits>

#include <json/json.h>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/json_text.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

// --- TLBundleAction -------------------------------------------------------------

TLBundleAction::TLBundleAction(const std::shared_ptr<TLBundle>& bundle, Fields fields)
    : parent_(bundle), f_(std::move(fields)), timeStamp_(f_.timeStamp) {}

bool TLBundleAction::hasNotification() const {
  return !f_.notificationID.empty() && !f_.notificationText.empty();
}

std::string TLBundleAction::getJSON() const {
  try {
    Json::Value root(Json::objectValue);
    root["id"] = f_.actionId;
    root["timestamp"] = Json::Int64(timeStamp());
    const int64_t inTrack = timeInTrack();
    if (inTrack >= 0) root["timeInTrack"] = Json::Int64(inTrack);
    return tembrolexinsdk::prettyJsonText(root);
  } catch (const std::exception& e) {
    TLLogger::errorInMethod("-[TLBundleAction getJSON]", __LINE__,
                            "Got an error parsing jSON: %s", e.what());
    return "";
  }
}

// --- TLBundle -------------------------------------------------------------------

TLBundle::TLBundle(std::string bundleId) : bundleId_(std::move(bundleId)) {}

void TLBundle::updateWithBundleId(const std::string& bundleId, const std::string& title,
                                  int32_t version, int64_t validFromMs, int64_t validToMs,
                                  const std::string& description, const std::string& folderPath) {
  std::lock_guard lock(mutex_);
  bundleId_ = bundleId;
  title_ = title;
  version_ = version;
  validFrom_ = static_cast<double>(validFromMs) / 1000.0;
  validTo_ = static_cast<double>(validToMs) / 1000.0;
  description_ = description;
  folderPath_ = folderPath;
  hasInfo_ = true;
}

void TLBundle::setActionsList(std::vector<std::shared_ptr<TLBundleAction>> actions) {
  std::lock_guard lock(mutex_);
  actions_ = std::move(actions);
}

std::optional<std::vector<std::shared_ptr<TLBundleAction>>> TLBundle::getActions() const {
  std::lock_guard lock(mutex_);
  return actions_;
}

bool TLBundle::ready() const {
  std::lock_guard lock(mutex_);
  return actions_.has_value() && !bundleId_.empty() && version_ >= 0;
}

bool TLBundle::hasInfo() const {
  std::lock_guard lock(mutex_);
  return hasInfo_;
}

std::shared_ptr<TLBundleAction> TLBundle::getActionById(const std::string& actionId) const {
  std::lock_guard lock(mutex_);
  if (!actions_) return nullptr;
  for (const auto& a : *actions_) {
    if (a->actionId() == actionId) return a;
  }
  return nullptr;
}

std::shared_ptr<TLBundleAction> TLBundle::getDefaultAction() const {
  std::lock_guard lock(mutex_);
  if (!actions_) return nullptr;
  for (const auto& a : *actions_) {
    if (a->isDefault()) return a;
  }
  return nullptr;
}

std::string TLBundle::bundleId() const {
  std::lock_guard lock(mutex_);
  return bundleId_;
}
std::string TLBundle::title() const {
  std::lock_guard lock(mutex_);
  return title_;
}
std::string TLBundle::description() const {
  std::lock_guard lock(mutex_);
  return description_;
}
std::string TLBundle::folderPath() const {
  std::lock_guard lock(mutex_);
  return folderPath_;
}
int32_t TLBundle::version() const {
  std::lock_guard lock(mutex_);
  return version_;
}
double TLBundle::validFrom() const {
  std::lock_guard lock(mutex_);
  return validFrom_;
}
double TLBundle::validTo() const {
  std::lock_guard lock(mutex_);
  return validTo_;
}

// --- BundleStore ----------------------------------------------------------------

BundleStore::BundleStore(std::weak_ptr<BundleStoreDelegate> delegate, std::string documentsFolder)
    : delegate_(std::move(delegate)), documentsFolder_(std::move(documentsFolder)) {}

std::shared_ptr<TLBundle> BundleStore::getBundleById(const std::string& bundleId) const {
  std::lock_guard lock(mutex_);
  for (const auto& b : bundles_) {
    if (b->bundleId() == bundleId) return b;
  }
  return nullptr;
}

TLBundleList BundleStore::bundles() const {
  std::lock_guard lock(mutex_);
  return bundles_;
}

void BundleStore::removeExpiredBundle(const std::vector<AssetInfo>& infos) {
  for (const auto& bundle : bundles()) {
    const std::string id = bundle->bundleId();
    const bool named = std::any_of(infos.begin(), infos.end(),
                                   [&](const AssetInfo& info) { return info.assetID == id; });
    if (named) continue;
    TLLogger::debugInMethod("-[BundleStore removeExpiredBundle:]", __LINE__, "Remove bundle %s",
                            id.c_str());
    {
      std::lock_guard lock(mutex_);
      bundles_.erase(std::remove(bundles_.begin(), bundles_.end(), bundle), bundles_.end());
    }
    notify();
  }
}

void BundleStore::updateBundles(const AssetInfoList& list) {
  removeExpiredBundle(list.assetsInfoList);
  for (const AssetInfo& info : list.assetsInfoList) {
    std::shared_ptr<TLBundle> bundle = getBundleById(info.assetID);
    if (!bundle) {
      bundle = std::make_shared<TLBundle>();
      std::lock_guard lock(mutex_);
      bundles_.push_back(bundle);
    }
    bundle->updateWithBundleId(info.assetID, info.assetTitle, info.version, info.validFrom,
                               info.validTo, info.assetDescription, info.assetFolderPath);
    TLLogger::debugInMethod("-[BundleStore updateBundles:]", __LINE__, "UpdateBundles: bundle %s",
                            info.assetID.c_str());
  }
  notify();
}

void BundleStore::updateActions(const AssetActionList& list) {
  for (const auto& [bundleId, assetActions] : list.assetActionMap) {
    std::shared_ptr<TLBundle> bundle = getBundleById(bundleId);
    if (!bundle) {
      bundle = std::make_shared<TLBundle>(bundleId);
      std::lock_guard lock(mutex_);
      bundles_.push_back(bundle);
    }
    std::vector<std::shared_ptr<TLBundleAction>> actions;
    actions.reserve(assetActions.size());
    for (const AssetAction& a : assetActions) {
      TLBundleAction::Fields f;
      f.actionId = a.actionID;
      f.trigger = a.trigger;
      f.scheme = a.scheme;
      f.engine = convertEngineType(a.engine);
      f.secondsDelay = a.secondsDelay;
      f.entryPoint = relativeEntryPoint(a.entryPoint, documentsFolder_);
      f.notificationTitle = a.notificationTitle;
      f.notificationText = a.notificationText;
      f.notificationID = a.notificationID;
      f.timeStamp = a.timeStamp;
      f.scheduleEngineActionTimestamp = a.scheduleEngineActionTimestamp;
      f.completed = a.completed;
      actions.push_back(std::make_shared<TLBundleAction>(bundle, std::move(f)));
    }
    bundle->setActionsList(std::move(actions));
    TLLogger::debugInMethod("-[BundleStore updateActions:]", __LINE__,
                            "Actions for bundle %s received", bundleId.c_str());
  }
  notify();
}

void BundleStore::notify() {
  std::shared_ptr<BundleStoreDelegate> delegate = delegate_.lock();
  notifyListener(delegate.get(), bundles());
}

void BundleStore::notifyListener(BundleStoreDelegate* delegate, const TLBundleList& bundles) {
  constexpr const char* kMethod = "+[BundleStore notifyListener:ofBundles:]";
  // A bundle that can never be ready as its info stands is left out rather
  // than holding back every other bundle: one installed without an id (its
  // manifest names none), or with a version below 0. A bundle known only by
  // its actions has no folder yet: one without an id is left out silently
  // until its info arrives and names the folder; one with an id is waited
  // for, as its info will come.
  TLBundleList listed;
  listed.reserve(bundles.size());
  for (const auto& b : bundles) {
    const std::string id = b->bundleId();
    if (!b->hasInfo()) {
      if (!id.empty()) listed.push_back(b);
      continue;
    }
    if (id.empty()) {
      TLLogger::warnInMethod(kMethod, __LINE__,
                             "The bundle in %s has no id in its manifest and is not listed",
                             b->folderPath().c_str());
      continue;
    }
    const int32_t version = b->version();
    if (version == std::numeric_limits<int32_t>::min()) {
      // The core's reading of any number below 0 that is no 32-bit integer
      // (-0.5, -1e30): the manifest need not hold this one.
      TLLogger::warnInMethod(kMethod, __LINE__,
                             "The bundle %s in %s has a version below 0 in its manifest and is "
                             "not listed",
                             id.c_str(), b->folderPath().c_str());
      continue;
    }
    if (version < 0) {
      TLLogger::warnInMethod(kMethod, __LINE__,
                             "The bundle %s in %s has version %d in its manifest, below 0, and "
                             "is not listed",
                             id.c_str(), b->folderPath().c_str(), static_cast<int>(version));
      continue;
    }
    listed.push_back(b);
  }
  const bool allReady = !listed.empty() && std::all_of(listed.begin(), listed.end(),
                                                       [](const auto& b) { return b->ready(); });
  if (!allReady) {
    TLLogger::debugInMethod(kMethod, __LINE__,
                            "Not all bundles are complete, deferring bundle notification");
    return;
  }
  TLLogger::debugInMethod(kMethod, __LINE__, "Notifying listeners of bundle update");
  if (delegate) delegate->onBundlesUpdated(listed);
}

int64_t BundleStore::convertEngineType(int64_t assetActionEngine) {
  switch (assetActionEngine) {
    case 0: return kActionEngineDefault;
    case 1: return kActionEngineTrigger;
    case 2: return kActionEngineEvent2;
    case 3: return kActionEngineSchedule;
    default: return kActionEngineOther;
  }
}

std::string BundleStore::relativeEntryPoint(const std::string& absolutePath,
                                            const std::string& documentsFolder) {
  std::string base = documentsFolder;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (base.empty() || absolutePath.size() <= base.size() + 1) return absolutePath;
  if (absolutePath.compare(0, base.size(), base) != 0) return absolutePath;
  if (base != "/" && absolutePath[base.size()] != '/') return absolutePath;
  std::size_t start = base == "/" ? 1 : base.size() + 1;
  while (start < absolutePath.size() && absolutePath[start] == '/') ++start;
  return absolutePath.substr(start);
}

std::string absoluteEntryPoint(const std::string& documentsFolder, const std::string& entryPoint) {
  if (!entryPoint.empty() && entryPoint.front() == '/') return entryPoint;
  return documentsFolder + "/" + entryPoint;
}

}  // namespace tembrolexinplatform
