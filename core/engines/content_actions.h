// The content engine's action tables and the helpers that fill, search and
// empty them from a bundle's "actions.json".
//
// Keys: a trigger is a codeword's decimal text or an audio-match id; an event
// key is trigger + "_" + event id; the completion key of an action is
// "schedule_engine_asset_" + bundle id + "_action_" + action id.
//
// The add* helpers read one section of the document. JSON of an unexpected
// type (an action that is not an object, a "codeword" given as text) throws
// Json::Exception at the point where it is met; what was added before stays.
// Section and action lists may be arrays or objects (values in key order);
// anything else counts as empty.
//
// Thread safety: the table helpers touch only the table they are given;
// callers guard it. findAction and getActions lock the mutex they are given
// for the copy only. Completion lookups hold the store's file lock.
#ifndef TL_CORE_ENGINES_CONTENT_ACTIONS_H_
#define TL_CORE_ENGINES_CONTENT_ACTIONS_H_

#include <json/json.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/engines/web_action.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/database.h"

namespace tembrolexinsdk {
namespace contentengine {

using ActionMap = std::map<std::string, WebAction>;
using ActionListMap = std::map<std::string, std::vector<WebAction>>;

// Decimal text of a signed 64-bit codeword ("0", "-5", "1234").
std::string createTrigger(int64_t codeword);
// trigger + "_" + eventId.
std::string createEventEngineActionId(const std::string& trigger, const std::string& eventId);
// "schedule_engine_asset_" + bundleId + "_action_" + actionId.
std::string getActionIdentifier(const std::string& bundleId, const std::string& actionId);

// The stored completion flag of `key`: false when the key is absent. A store
// that cannot answer (several rows for the key) counts as not completed and
// is logged under `sender`.
bool isActionCompleted(DB::Database* db, const std::string& key, const INamedObject* sender);

// The trigger an action names: its "codeword" as decimal text, or, when that
// is absent or null, its "am_id" as text.
std::string triggerOf(const Json::Value& action);
// A "timeStart"/"timeEnd" value in ms: -1 for absent, null, [] or {};
// otherwise seconds × 1000 truncated toward zero (clamped to 64 bits).
int64_t windowMillis(const Json::Value& value);

// "triggerEngine" section: one TRIGGER action per action, inserted under its
// trigger only when the trigger has no action yet.
void addTriggerActionsFromJson(ActionMap& table, DB::Database* db, const Json::Value& section,
                               const std::string& bundleId, const std::string& entryPoint);
// "events" entries of an "eventEngine" or "heartbeatEngine" section, under
// their event keys, only when the key has no action yet.
void addEventActionsFromJson(ActionMap& table, DB::Database* db, const Json::Value& section,
                             const std::string& bundleId, const std::string& entryPoint);
// The entries without an id that one configure of a bundle has met so far in
// one table, per trigger, beside how many of them the trigger's list held
// before that configure began.
struct UnnamedEntries {
  struct Count {
    std::size_t listedBefore = 0;
    std::size_t met = 0;
  };
  std::map<std::string, Count> byTrigger;
};

// "onSync" / "onDesync" entries, appended to their trigger's list; an entry
// with an id whose (bundle id, id) the list already holds is not added
// again, so a bundle configured twice is listed once. Entries without an id
// are each an action; the n-th of them under a trigger is taken as listed
// when the list held n such entries of the bundle before this configure
// began. `unnamed` carries that count across the sections of one configure
// (null: this section alone).
void addSyncDesyncActions(const std::string& listKey, ActionListMap& table, DB::Database* db,
                          const Json::Value& section, const std::string& bundleId,
                          const std::string& entryPoint, UnnamedEntries* unnamed = nullptr);
void addSyncActionsFromJson(ActionListMap& table, DB::Database* db, const Json::Value& section,
                            const std::string& bundleId, const std::string& entryPoint,
                            UnnamedEntries* unnamed = nullptr);
void addDesyncActionsFromJson(ActionListMap& table, DB::Database* db, const Json::Value& section,
                              const std::string& bundleId, const std::string& entryPoint,
                              UnnamedEntries* unnamed = nullptr);

// Erases every action of `bundleId`; a list left empty is erased too.
void removeBundle(ActionMap& table, const std::string& bundleId);
void removeBundle(ActionListMap& table, const std::string& bundleId);

// Sets `completed` on every action of (bundleId, actionId).
void markCompleted(ActionMap& table, const std::string& bundleId, const std::string& actionId);
void markCompleted(ActionListMap& table, const std::string& bundleId,
                   const std::string& actionId);

// A copy of the entry for `key`, taken under `mutex`; null when absent.
std::unique_ptr<WebAction> findAction(const ActionMap& table, const std::string& key,
                                      tembrolexin::Mutex& mutex);
std::unique_ptr<std::vector<WebAction>> getActions(const ActionListMap& table,
                                                   const std::string& key,
                                                   tembrolexin::Mutex& mutex);

}  // namespace contentengine
}  // namespace tembrolexinsdk

#endif  // TL_CORE_ENGINES_CONTENT_ACTIONS_H_
