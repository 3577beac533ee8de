// ScheduleEngine: the calendar-timed actions of the bundles' "scheduleEngine"
// sections. It fires nothing and sends nothing: its actions reach the
// platform only inside the content engine's action list, which the platform
// turns into local notifications.
//
// Owned by the content engine, which forwards bundle configuration,
// completion and list requests to it. Completion flags are read from the
// store it is given (not owned; must outlive the engine).
//
// Thread safety: every operation may be called from any thread; each holds
// the engine's mutex for its whole run, and configureAction takes the store's
// file lock inside it (order: this engine's mutex, then the file lock).
#ifndef TL_CORE_ENGINES_SCHEDULE_ENGINE_H_
#define TL_CORE_ENGINES_SCHEDULE_ENGINE_H_

#include <mutex>
#include <string>
#include <vector>

#include "core/engines/web_action.h"
#include "core/runtime/cached_action_params.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/database.h"
#include "core/runtime/i_named_object.h"

namespace tembrolexinsdk {

class ScheduleEngine : public INamedObject {
 public:
  // Throws std::runtime_error "Failed to initialise Schedule Engine. No
  // database provided." for a null store.
  explicit ScheduleEngine(DB::Database* database);
  ~ScheduleEngine() override = default;

  ScheduleEngine(const ScheduleEngine&) = delete;
  ScheduleEngine& operator=(const ScheduleEngine&) = delete;

  // "ScheduleEngine".
  const std::string& GetName() const override;

  // Replaces the bundle's scheduled actions with those of its actions text
  // (an unconfigure only removes them). A text that does not parse, or whose
  // values have unexpected JSON types, is logged; what was read before the
  // fault stays.
  void configureAction(const CachedActionParams* params);
  // Marks every scheduled action of (bundleId, actionId) completed; the
  // stored flag is the caller's to write.
  void completeAction(const std::string& bundleId, const std::string& actionId);
  // Appends the scheduled actions, in configuration order.
  void fillActionList(AssetActionList& list);

  // A copy of the scheduled actions, in configuration order.
  std::vector<WebAction> actions() const;

 private:
  void addActions(const std::string& bundleId, const std::string& actionsJson,
                  const std::string& bundleName);

  DB::Database* const mDatabase;
  mutable tembrolexin::Mutex mMutex;
  std::vector<WebAction> mActions;  // guarded by mMutex
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ENGINES_SCHEDULE_ENGINE_H_
