#include "core/engines/content_engine.h"

#include <json/json.h>

#include <exception>
#include <utility>

#include "core/engines/content_signals.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/configuration_parameter.h"
#include "core/runtime/database_recovery.h"
#include "core/runtime/file_info.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/processor_params.h"

namespace tembrolexinsdk {

// Never destroyed: threads still running at exit may use it.
const std::string& ContentEngine::engineName = *new std::string("CONTENT");

namespace {

constexpr int kAssetMessageType = kMessageTypeId<AssetMessage>;
constexpr int kJavascriptMessageType = kMessageTypeId<JavascriptMessage>;
constexpr int kSyncEngineSignalType = kMessageTypeId<SyncEngineSignal>;
constexpr const char* kBundleDataFile = "BundleData.db";

// Reads a T from `params`; null when it holds another type or unreadable
// bytes (whose fault is logged under `sender`).
template <typename T>
std::unique_ptr<T> readMessage(const ThriftParams& params, const INamedObject* sender,
                               const char* failure) {
  try {
    return ThriftParamsFactory::readThriftParams<T>(params);
  } catch (const std::exception& e) {
    logWithLogger<LogLevel::Warning>(sender, failure, " ", e.what());
    return nullptr;
  }
}

// The member `name` of an object as text ("" when absent). Throws
// Json::Exception for members that have no text form (arrays, objects).
std::string memberText(const Json::Value& root, const char* name) {
  return root[name].asString();
}

}  // namespace

ContentEngine::ContentEngine(IProcessorListener* listener, IMessenger* messenger,
                             DB::Database* database, const Clock& clock)
    : mListener(listener),
      mMessenger(messenger),
      mDatabase(database),
      mClock(clock),
      mScheduleEngine(database) {
  logWithLogger<LogLevel::Debug>(this, "Constructor");
  if (mMessenger == nullptr) return;
  mMessenger->registerListener(kAssetMessageType, this);
  mMessenger->registerListener(kJavascriptMessageType, this);
  StringRequest request;
  request.__set_messageType(MessageType::Request);
  request.__set_contentType(ContentType::CachedActions);
  mMessenger->send(engineName, ThriftParamsFactory::createThriftParams(request));
}

ContentEngine::~ContentEngine() {
  if (mMessenger == nullptr) return;
  mMessenger->unregisterListener(kAssetMessageType, this);
  mMessenger->unregisterListener(kJavascriptMessageType, this);
}

const std::string& ContentEngine::GetName() const { return engineName; }

void ContentEngine::setEngineParameters(const ConfigurationMap*) {}

void ContentEngine::setFilePath(const std::string& path) {
  std::lock_guard lock(mFilePathMutex);
  mFilePath = path;
}

void ContentEngine::Configure(const ConfigurationParameters* configuration) {
  if (configuration == nullptr) return;
  const auto it = configuration->find("CONTENT_assetsInfoRequest");
  if (it == configuration->end()) return;
  const auto* request = dynamic_cast<const ConfigurationParameter<bool>*>(it->second);
  const bool push = request != nullptr && request->value;
  if (push) assetsInformationPush();
  logWithLogger<LogLevel::Info>(this, "New Configuration Assets information requested ", push);
}

// ---------------------------------------------------------------------------
// Bundles and the action list

void ContentEngine::configureAction(const CachedActionParams* params) {
  if (params == nullptr) return;
  {
    std::lock_guard lock(mMutex);
    if (params->unconfigure) {
      mBundles.erase(params->bundleId);
      for (auto* table : {&mTriggerActions, &mDefaultActions, &mEventActions, &mHeartbeatActions}) {
        contentengine::removeBundle(*table, params->bundleId);
      }
      for (auto* table : {&mEventSyncActions, &mEventDesyncActions, &mHeartbeatSyncActions,
                          &mHeartbeatDesyncActions}) {
        contentengine::removeBundle(*table, params->bundleId);
      }
      logWithLogger<LogLevel::Debug>(this, "Just unconfigured all actions for ",
                                     params->bundleName);
    } else {
      // Listed from now on, whatever its document yields.
      mBundles.insert(params->bundleId);
      try {
        Json::Value document;
        Json::Reader reader;
        if (!reader.parse(params->actionsJson, document, true)) {
          throw std::runtime_error("unparsable");
        }
        const Json::Value& root = document;  // reads never add members
        const std::string entryPoint = root["entryPoint"].asString();
        const std::string& bundle = params->bundleId;
        for (const Json::Value& section : root["triggerEngine"]) {
          contentengine::addTriggerActionsFromJson(mTriggerActions, mDatabase, section, bundle,
                                                   entryPoint);
        }
        // A sync engine's sections: sync, event and desync actions, in that order.
        const auto addSyncEngineSections = [&](const Json::Value& sections, auto& syncTable,
                                               auto& eventTable, auto& desyncTable) {
          contentengine::UnnamedEntries unnamedSync, unnamedDesync;
          for (const Json::Value& section : sections) {
            contentengine::addSyncActionsFromJson(syncTable, mDatabase, section, bundle,
                                                  entryPoint, &unnamedSync);
            contentengine::addEventActionsFromJson(eventTable, mDatabase, section, bundle,
                                                   entryPoint);
            contentengine::addDesyncActionsFromJson(desyncTable, mDatabase, section, bundle,
                                                    entryPoint, &unnamedDesync);
          }
        };
        addSyncEngineSections(root["eventEngine"], mEventSyncActions, mEventActions,
                              mEventDesyncActions);
        addSyncEngineSections(root["heartbeatEngine"], mHeartbeatSyncActions, mHeartbeatActions,
                              mHeartbeatDesyncActions);
        const Json::Value& defaultAction = root["defaultAction"];
        if (!defaultAction.isNull() && !defaultAction["id"].isNull() &&
            mDefaultActions.count(bundle) == 0) {
          mDefaultActions.emplace(
              bundle, WebAction("", "", static_cast<WebAction::Engine>(0),
                                defaultAction["id"].asString(), entryPoint, bundle, 0, "", "", "",
                                0, false, -1, -1));
        }
        logWithLogger<LogLevel::Debug>(this, "Just configured action ", params->bundleName);
      } catch (const std::exception&) {
        // A text that does not parse, or values of unexpected JSON types: the
        // actions read before the fault stay.
        logWithLogger<LogLevel::Warning>(this, "Failed to parse json from CachedActionParams",
                                         params->bundleName, ": ", params->bundleId);
      }
    }
  }
  mScheduleEngine.configureAction(params);
  assetsInformationPush();
}

void ContentEngine::completeAction(std::string bundleId, std::string actionId) {
  const std::string key = contentengine::getActionIdentifier(bundleId, actionId);
  logWithLogger<LogLevel::Debug>(this, "Marking ", key, " as complete.");
  try {
    auto lock = mDatabase->lockFile();
    mDatabase->remove(lock, key);
    if (!mDatabase->insert(lock, key, true)) {
      logWithLogger<LogLevel::Warning>(this, "Could not store completion of ", key);
    }
  } catch (const std::exception& e) {
    logWithLogger<LogLevel::Warning>(this, "Could not store completion of ", key, ": ", e.what());
  }
  {
    std::lock_guard lock(mMutex);
    for (auto* table : {&mTriggerActions, &mEventActions, &mHeartbeatActions}) {
      contentengine::markCompleted(*table, bundleId, actionId);
    }
    for (auto* table : {&mEventSyncActions, &mEventDesyncActions, &mHeartbeatSyncActions,
                        &mHeartbeatDesyncActions}) {
      contentengine::markCompleted(*table, bundleId, actionId);
    }
  }
  mScheduleEngine.completeAction(bundleId, actionId);
}

AssetActionList ContentEngine::buildActionList() {
  AssetActionList list;
  {
    std::lock_guard lock(mMutex);
    contentengine::fillActionList(list, mDefaultActions);
    contentengine::fillActionList(list, mTriggerActions);
    contentengine::fillActionList(list, mEventActions);
    contentengine::fillActionList(list, mEventSyncActions);
    contentengine::fillActionList(list, mEventDesyncActions);
    contentengine::fillActionList(list, mHeartbeatActions);
    contentengine::fillActionList(list, mHeartbeatSyncActions);
    contentengine::fillActionList(list, mHeartbeatDesyncActions);
    // A bundle without actions is listed too, with an empty list: the
    // platform counts a bundle ready only once the list names it.
    for (const std::string& bundleId : mBundles) list.assetActionMap[bundleId];
  }
  mScheduleEngine.fillActionList(list);
  list.__isset.assetActionMap = true;
  return list;
}

void ContentEngine::assetsInformationPush() {
  logWithLogger<LogLevel::Info>(this, "assetsInformationPush entry.");
  AssetActionList list = buildActionList();
  if (mMessenger != nullptr) {
    mMessenger->send(engineName, ThriftParamsFactory::createThriftParams(list));
  }
}

// ---------------------------------------------------------------------------
// Events

const IProcessorEventParams* ContentEngine::processEventParams(
    const IProcessorEventParams* params) {
  if (params == nullptr) return nullptr;
  if (const auto* codeword = CodewordEventParams::Cast(params)) {
    if (codeword->msg < 0 && codeword->engineRef == "CONFIDENCE") {
      emit(contentengine::makePerformanceDataSignal(
          codeword->syncState, codeword->currentSignalStrength, codeword->currentVolume));
    } else if (codeword->msg >= 0 && codeword->engineRef == "TRIGGER") {
      onTriggerReceived(contentengine::createTrigger(codeword->msg), codeword->systemTimeStamp);
    }
    return params;
  }
  if (const auto* cached = CachedActionParams::Cast(params)) {
    configureAction(cached);
    return nullptr;
  }
  if (const auto* thrift = dynamic_cast<const ThriftParams*>(params)) {
    if (thrift->getMsgType() == kSyncEngineSignalType) {
      const auto signal = readMessage<SyncEngineSignal>(*thrift, this,
                                                        "Unreadable SyncEngineSignal passed on:");
      if (signal) handleSyncEngineSignal(*signal);
    }
    return params;
  }
  if (const auto* match = AMEvent::Cast(params)) {
    onTriggerReceived(match->amId, match->timeStamp + match->offset);
  }
  return params;
}

void ContentEngine::onTriggerReceived(const std::string& trigger, int64_t time) {
  auto action = contentengine::findAction(mTriggerActions, trigger, mMutex);
  if (!action) return;
  action->timestamp = time;
  if (action->completed) return;
  emit(contentengine::makeContentSignal(action->bundleId, action->id, time, "action", "", -1));
}

void ContentEngine::handleSyncEngineSignal(const SyncEngineSignal& signal) {
  std::vector<std::unique_ptr<ThriftParams>> signals;
  if (signal.engineType == EngineType::HEARTBEAT) {
    signals = contentengine::getActionsForEvent(signal, mHeartbeatActions, mHeartbeatSyncActions,
                                                mHeartbeatDesyncActions, mMutex);
  } else if (signal.engineType == EngineType::EVENT2) {
    signals = contentengine::getActionsForEvent(signal, mEventActions, mEventSyncActions,
                                                mEventDesyncActions, mMutex);
  }
  for (const auto& s : signals) emit(*s);
}

void ContentEngine::onStartListening() {
  emit(contentengine::makeContentSignal(
      "", "", nowMillis(), "decoder", contentengine::decoderStatusJson("DECODER_STARTED"), -1));
}

void ContentEngine::onStopListening() {
  emit(contentengine::makeContentSignal(
      "", "", nowMillis(), "decoder", contentengine::decoderStatusJson("DECODER_STOPPED"), -1));
}

void ContentEngine::onFailed(const FailureParams& failure) {
  Json::Value root(Json::objectValue);
  root["message"] = failure.GetDescription();
  emit(contentengine::makeContentSignal("", "", nowMillis(), "decoder", root.toStyledString(),
                                        -1));
}

// ---------------------------------------------------------------------------
// Page messages

void ContentEngine::onReceive(const std::string&, const ThriftParams& params) {
  if (params.getMsgType() == kJavascriptMessageType) {
    handleJavascriptMessage(params);
  } else if (params.getMsgType() == kAssetMessageType) {
    handleAssetMessage(params);
  }
}

void ContentEngine::handleAssetMessage(const ThriftParams& params) {
  const auto message = readMessage<AssetMessage>(params, this, "Failed to read AssetMessage.");
  if (!message) return;
  std::string id;
  try {
    Json::Value root;
    Json::Reader reader;
    if (!reader.parse(message->messageJson, root, true)) throw std::runtime_error("unparsable");
    if (!root.isObject()) return;  // no "type": not a message for this engine
    const Json::Value& type = root["type"];
    const Json::Value& completed = root["completed"];
    if (!type.isString() || type.asString() != "questionnaire") return;
    if (!completed.isBool() || !completed.asBool()) return;
    id = memberText(root, "id");
  } catch (const std::exception&) {
    logWithLogger<LogLevel::Warning>(this, "Failed to read AssetMessage.");
    return;
  }
  completeAction(message->assetId, id);
  assetsInformationPush();
}

void ContentEngine::handleJavascriptMessage(const ThriftParams& params) {
  const auto message =
      readMessage<JavascriptMessage>(params, this, "Failed to read JavascriptMessage.");
  if (!message || message->messageType != JavascriptMessageType::Request) return;
  std::string filePath;
  {
    std::lock_guard lock(mFilePathMutex);
    filePath = mFilePath;
  }
  if (filePath.empty()) {
    logWithLogger<LogLevel::Warning>(this, "Filepath for DB not valid");
    return;
  }
  std::string action, key, value;
  try {
    Json::Value root;
    Json::Reader reader;
    if (!reader.parse(message->messageContent, root, true) ||
        !(root.isObject() || root.isNull())) {
      throw std::runtime_error("unparsable");
    }
    action = memberText(root, "action");
    key = memberText(root, "key");
    value = memberText(root, "value");
  } catch (const std::exception&) {
    logWithLogger<LogLevel::Warning>(this, "Failed to read JavascriptMessage.");
    return;
  }
  const std::string& bundleId = message->bundleId;
  DB::Database* store = bundleStore(bundleId, filePath);
  if (key.empty()) {
    logWithLogger<LogLevel::Warning>(this, "Key not found");
    return;
  }
  if (action == "storeData") {
    bool success = false;
    if (store != nullptr) {
      try {
        auto lock = store->lockFile();
        store->remove(lock, key);
        success = store->insert(lock, key, value);
      } catch (const std::exception& e) {
        logWithLogger<LogLevel::Warning>(this, "Store for ", bundleId, " failed: ", e.what());
      }
    }
    logWithLogger<LogLevel::Debug>(this, "Sending store response for ", bundleId, " key ", key,
                                   "success is ", success);
    Json::Value reply(Json::objectValue);
    reply["success"] = success;
    emit(contentengine::makeJavascriptMessage(JavascriptMessageType::StoreResponse, bundleId, key,
                                              Json::FastWriter().write(reply)));
  } else if (action == "loadData") {
    if (store == nullptr) return;  // already logged when opening failed
    std::string loaded;
    try {
      auto lock = store->lockFile();
      loaded = store->select<std::string>(lock, key);
    } catch (const std::exception& e) {
      logWithLogger<LogLevel::Warning>(this, "Load for ", bundleId, " failed: ", e.what());
      return;
    }
    logWithLogger<LogLevel::Debug>(this, "Sending load response for ", bundleId, " key ", key,
                                   " value ", loaded);
    emit(contentengine::makeJavascriptMessage(JavascriptMessageType::LoadResponse, bundleId, key,
                                              loaded));
  } else {
    logWithLogger<LogLevel::Warning>(this, "Bad action type ", action, " for JavascriptMessage.");
  }
}

DB::Database* ContentEngine::bundleStore(const std::string& bundleId,
                                         const std::string& filePath) {
  std::lock_guard lock(mStoresMutex);
  const auto it = mBundleDatabases.find(bundleId);
  if (it != mBundleDatabases.end()) return it->second.get();
  try {
    // A damaged file is set aside unless a store of another bundle has it
    // open; then it is at the next start.
    auto store = DB::openSettingDamageAside(
        tembrolexin::FileInfo::addPath(filePath, kBundleDataFile), bundleId, this);
    return mBundleDatabases.emplace(bundleId, std::move(store)).first->second.get();
  } catch (const std::exception& e) {
    logWithLogger<LogLevel::Warning>(this, "Could not open the store of ", bundleId, ": ",
                                     e.what());
    return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Emission

template <typename T>
void ContentEngine::emit(const T& message) {
  emit(*ThriftParamsFactory::createThriftParams(message));
}

void ContentEngine::emit(const ThriftParams& params) {
  if (mListener != nullptr) mListener->onProcessorEvent(this, &params);
}

int64_t ContentEngine::nowMillis() const { return mClock.wallMicros() / 1000; }

}  // namespace tembrolexinsdk
