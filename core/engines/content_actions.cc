#include "core/engines/content_actions.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/log_helpers.h"

namespace tembrolexinsdk {
namespace contentengine {

namespace {

// The values of an array or an object, in order; nothing for anything else.
// (Iterating a scalar with JsonCpp yields nothing as well; this states it.)
bool isList(const Json::Value& v) { return v.isArray() || v.isObject(); }

struct Notification {
  std::string text;
  std::string title;
  int64_t delay = 0;
};

// "notification" members of an action or entry; absent members default.
Notification notificationOf(const Json::Value& owner) {
  const Json::Value& n = owner["notification"];
  Notification out;
  out.text = n["text"].asString();
  out.title = n["title"].asString();
  out.delay = n["delay"].asInt64();
  return out;
}

}  // namespace

std::string createTrigger(int64_t codeword) { return std::to_string(codeword); }

std::string createEventEngineActionId(const std::string& trigger, const std::string& eventId) {
  return trigger + "_" + eventId;
}

std::string getActionIdentifier(const std::string& bundleId, const std::string& actionId) {
  return "schedule_engine_asset_" + bundleId + "_action_" + actionId;
}

bool isActionCompleted(DB::Database* db, const std::string& key, const INamedObject* sender) {
  if (db == nullptr) return false;
  try {
    auto lock = db->lockFile();
    if (!db->exists(lock, key)) return false;
    return db->select<bool>(lock, key);
  } catch (const std::exception& e) {
    logWithLogger<LogLevel::Warning>(sender, "Completion of ", key, " unreadable: ", e.what());
    return false;
  }
}

std::string triggerOf(const Json::Value& action) {
  const Json::Value& codeword = action["codeword"];
  if (!codeword.isNull()) return createTrigger(codeword.asInt64());
  return action["am_id"].asString();
}

int64_t windowMillis(const Json::Value& value) {
  if (value.empty()) return -1;  // absent, null, [] or {}
  const double ms = value.asDouble() * 1000.0;
  // Out-of-range values would make the conversion undefined: hold them at
  // the ends of the range.
  if (std::isnan(ms)) return -1;
  if (ms >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (ms <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(ms);
}

void addTriggerActionsFromJson(ActionMap& table, DB::Database* db, const Json::Value& section,
                               const std::string& bundleId, const std::string& entryPoint) {
  const std::string scheme = section["scheme"].asString();
  const Json::Value& actions = section["actions"];
  if (!isList(actions)) return;
  for (const Json::Value& action : actions) {
    std::string trigger = triggerOf(action);
    const std::string id = action["id"].asString();
    const Notification n = notificationOf(action);
    const bool completed = isActionCompleted(db, getActionIdentifier(bundleId, id), db);
    if (table.count(trigger) != 0) continue;  // the first bundle keeps a trigger
    table.emplace(trigger, WebAction(trigger, scheme, EngineType::TRIGGER, id, entryPoint,
                                     bundleId, n.delay, n.text, n.title, bundleId + id, 0,
                                     completed, -1, -1));
  }
}

void addEventActionsFromJson(ActionMap& table, DB::Database* db, const Json::Value& section,
                             const std::string& bundleId, const std::string& entryPoint) {
  const std::string scheme = section["scheme"].asString();
  const Json::Value& actions = section["actions"];
  if (!isList(actions)) return;
  for (const Json::Value& action : actions) {
    const std::string trigger = triggerOf(action);
    const Json::Value& events = action["events"];
    if (!isList(events)) continue;
    for (const Json::Value& entry : events) {
      const std::string id = entry["id"].asString();
      const std::string key = getActionIdentifier(bundleId, id);
      const bool completed = isActionCompleted(db, key, db);
      const Notification n = notificationOf(entry);
      const std::string eventKey = createEventEngineActionId(trigger, id);
      if (table.count(eventKey) != 0) continue;
      table.emplace(eventKey, WebAction(trigger, scheme, EngineType::EVENT2, id, entryPoint,
                                        bundleId, n.delay, n.text, n.title, key, 0, completed,
                                        -1, -1));
    }
  }
}

void addSyncDesyncActions(const std::string& listKey, ActionListMap& table, DB::Database* db,
                          const Json::Value& section, const std::string& bundleId,
                          const std::string& entryPoint, UnnamedEntries* unnamed) {
  UnnamedEntries local;
  if (unnamed == nullptr) unnamed = &local;
  const std::string scheme = section["scheme"].asString();
  const Json::Value& actions = section["actions"];
  if (!isList(actions)) return;
  for (const Json::Value& action : actions) {
    const std::string trigger = triggerOf(action);
    const Json::Value& entries = action[listKey];
    if (!isList(entries)) continue;
    for (const Json::Value& entry : entries) {
      const std::string id = entry["id"].asString();
      const std::string key = getActionIdentifier(bundleId, id);
      const bool completed = isActionCompleted(db, key, db);
      const Notification n = notificationOf(entry);
      const int64_t timeStart = windowMillis(entry["timeStart"]);
      const int64_t timeEnd = windowMillis(entry["timeEnd"]);
      std::vector<WebAction>& list = table[trigger];
      const auto mine = [&](const WebAction& a) { return a.bundleId == bundleId && a.id == id; };
      if (id.empty()) {
        const auto [count, first] = unnamed->byTrigger.try_emplace(trigger);
        if (first) {
          count->second.listedBefore =
              static_cast<std::size_t>(std::count_if(list.begin(), list.end(), mine));
        }
        if (++count->second.met <= count->second.listedBefore) continue;
      } else if (std::any_of(list.begin(), list.end(), mine)) {
        continue;
      }
      list.emplace_back(trigger, scheme, EngineType::EVENT2, id, entryPoint, bundleId, n.delay,
                        n.text, n.title, key, 0, completed, timeStart, timeEnd);
    }
  }
}

void addSyncActionsFromJson(ActionListMap& table, DB::Database* db, const Json::Value& section,
                            const std::string& bundleId, const std::string& entryPoint,
                            UnnamedEntries* unnamed) {
  addSyncDesyncActions("onSync", table, db, section, bundleId, entryPoint, unnamed);
}

void addDesyncActionsFromJson(ActionListMap& table, DB::Database* db, const Json::Value& section,
                              const std::string& bundleId, const std::string& entryPoint,
                              UnnamedEntries* unnamed) {
  addSyncDesyncActions("onDesync", table, db, section, bundleId, entryPoint, unnamed);
}

void removeBundle(ActionMap& table, const std::string& bundleId) {
  std::erase_if(table, [&](const auto& entry) { return entry.second.bundleId == bundleId; });
}

void removeBundle(ActionListMap& table, const std::string& bundleId) {
  for (auto it = table.begin(); it != table.end();) {
    std::erase_if(it->second, [&](const WebAction& a) { return a.bundleId == bundleId; });
    it = it->second.empty() ? table.erase(it) : std::next(it);
  }
}

void markCompleted(ActionMap& table, const std::string& bundleId, const std::string& actionId) {
  for (auto& entry : table) {
    if (entry.second.bundleId == bundleId && entry.second.id == actionId) {
      entry.second.completed = true;
    }
  }
}

void markCompleted(ActionListMap& table, const std::string& bundleId,
                   const std::string& actionId) {
  for (auto& entry : table) {
    for (WebAction& a : entry.second) {
      if (a.bundleId == bundleId && a.id == actionId) a.completed = true;
    }
  }
}

std::unique_ptr<WebAction> findAction(const ActionMap& table, const std::string& key,
                                      tembrolexin::Mutex& mutex) {
  std::lock_guard lock(mutex);
  const auto it = table.find(key);
  if (it == table.end()) return nullptr;
  return std::make_unique<WebAction>(it->second);
}

std::unique_ptr<std::vector<WebAction>> getActions(const ActionListMap& table,
                                                   const std::string& key,
                                                   tembrolexin::Mutex& mutex) {
  std::lock_guard lock(mutex);
  const auto it = table.find(key);
  if (it == table.end()) return nullptr;
  return std::make_unique<std::vector<WebAction>>(it->second);
}

}  // namespace contentengine
}  // namespace tembrolexinsdk
