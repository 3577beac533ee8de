// ContentEngine: the reaction engine "CONTENT". It reads the actions of every
// content bundle the bundle cache reports (CachedActionParams), keeps them in
// tables keyed by what triggers them, and turns decoded codewords,
// audio-match results and the sync engines' signals into ContentSignals for
// the platform. It tells the platform which actions exist (AssetActionList,
// type 20), keeps the actions' completion flags in the decoder's store, and
// serves bundle pages: completed questionnaires (AssetMessage, type 16) and
// key-value storage (JavascriptMessage, type 26) in "BundleData.db", one
// table per bundle.
//
// Ownership: the listener, the bus and the store are not owned and must
// outlive the engine. The engine owns its ScheduleEngine and its page stores.
//
// Threads: processEventParams and the decoder-listener operations run on the
// reporting thread (processor threads, the sync engines' timing threads, the
// bundle cache's controller thread); onReceive runs on the bus thread. The
// action tables are guarded by one mutex, held while a bundle is configured,
// while flags are marked and while a lookup copies one entry; signals are
// sent with no engine lock held. Lock order: the table mutex, then a store's
// file lock. The table mutex and the ScheduleEngine's mutex are never held
// together.
#ifndef TL_CORE_ENGINES_CONTENT_ENGINE_H_
#define TL_CORE_ENGINES_CONTENT_ENGINE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/engines/content_actions.h"
#include "core/engines/schedule_engine.h"
#include "core/engines/web_action.h"
#include "core/runtime/cached_action_params.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"
#include "core/runtime/database.h"
#include "core/runtime/i_audio_decoder_listener.h"
#include "core/runtime/i_engine.h"
#include "core/runtime/i_messenger.h"
#include "core/runtime/i_processor_listener.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

class ContentEngine : public IEngine, public IAudioDecoderListener, public IMessengerListener {
 public:
  static const std::string& engineName;  // "CONTENT"

  // Registers for message types 16 and 26 on `messenger` and asks the bundle
  // cache, with a StringRequest {Request, CachedActions} (type 21), to report
  // its bundles again. Throws std::runtime_error when `database` is null.
  // `clock` gives "now" of the decoder status signals.
  ContentEngine(IProcessorListener* listener, IMessenger* messenger, DB::Database* database,
                const Clock& clock = Clock::real());
  // Unregisters from types 16 and 26 (waits for running deliveries).
  ~ContentEngine() override;

  ContentEngine(const ContentEngine&) = delete;
  ContentEngine& operator=(const ContentEngine&) = delete;

  // IEngine.
  const std::string& GetName() const override;
  void setEngineParameters(const ConfigurationMap* parameters) override;
  // Consumes CachedActionParams (configures the bundle); everything else is
  // passed on after the engine has reacted to it.
  const IProcessorEventParams* processEventParams(const IProcessorEventParams* params) override;
  // "CONTENT_assetsInfoRequest" as a bool true publishes the action list.
  void Configure(const ConfigurationParameters* configuration) override;
  // The folder of "BundleData.db"; expected before the first page request.
  void setFilePath(const std::string& path) override;

  // IMessengerListener: type 26 page storage, type 16 page messages.
  void onReceive(const std::string& senderName, const ThriftParams& params) override;

  // IAudioDecoderListener: start, stop and failure become "decoder" signals.
  void onStartListening() override;
  void onStopListening() override;
  void onFailed(const FailureParams& failure) override;

  // Adds (or, for an unconfigure, removes) one bundle's actions, hands the
  // params to the ScheduleEngine and publishes the action list.
  void configureAction(const CachedActionParams* params);
  // Stores the completion flag of (bundleId, actionId) and marks the actions.
  void completeAction(std::string bundleId, std::string actionId);
  // Sends the AssetActionList of every action on the bus; it names every
  // configured bundle, one without actions with an empty list.
  void assetsInformationPush();

  // Fires the trigger action of `trigger` (unless completed), stamped `time`.
  void onTriggerReceived(const std::string& trigger, int64_t time);
  void handleSyncEngineSignal(const SyncEngineSignal& signal);
  void handleAssetMessage(const ThriftParams& params);
  void handleJavascriptMessage(const ThriftParams& params);

  // The action list as assetsInformationPush would send it.
  AssetActionList buildActionList();

 private:
  // Serialises `message` and hands it to the listener with this engine as
  // sender.
  template <typename T>
  void emit(const T& message);
  void emit(const ThriftParams& params);
  // The page store of `bundleId`, opened on first use; null when it cannot be
  // opened (then it is not kept, and the next request tries again). A file
  // SQLite finds damaged is set aside as "BundleData.db.damaged" while no
  // other store has it open, so every bundle's page data starts anew.
  DB::Database* bundleStore(const std::string& bundleId, const std::string& filePath);
  int64_t nowMillis() const;

  mutable tembrolexin::Mutex mMutex;  // guards the eight action tables
  IProcessorListener* const mListener;
  IMessenger* const mMessenger;
  DB::Database* const mDatabase;
  const Clock& mClock;

  tembrolexin::Mutex mStoresMutex;  // guards mBundleDatabases
  std::map<std::string, std::unique_ptr<DB::Database>> mBundleDatabases;

  ScheduleEngine mScheduleEngine;

  contentengine::ActionMap mTriggerActions;
  contentengine::ActionMap mDefaultActions;
  contentengine::ActionMap mEventActions;
  contentengine::ActionListMap mEventSyncActions;
  contentengine::ActionListMap mEventDesyncActions;
  contentengine::ActionMap mHeartbeatActions;
  contentengine::ActionListMap mHeartbeatSyncActions;
  contentengine::ActionListMap mHeartbeatDesyncActions;
  // Every bundle configured and not since unconfigured, with or without
  // actions; guarded by mMutex.
  std::set<std::string> mBundles;

  mutable tembrolexin::Mutex mFilePathMutex;
  std::string mFilePath;  // guarded by mFilePathMutex
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ENGINES_CONTENT_ENGINE_H_
