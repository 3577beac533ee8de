#include "core/engines/schedule_engine.h"

#include <json/json.h>

#include <stdexcept>

#include "core/engines/content_actions.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/time_text.h"

namespace tembrolexinsdk {

namespace {
// Never destroyed (threads still running at exit may use them).
const std::string& kName = *new std::string("ScheduleEngine");

bool isList(const Json::Value& v) { return v.isArray() || v.isObject(); }
}  // namespace

ScheduleEngine::ScheduleEngine(DB::Database* database) : mDatabase(database) {
  if (database == nullptr) {
    throw std::runtime_error("Failed to initialise Schedule Engine. No database provided.");
  }
}

const std::string& ScheduleEngine::GetName() const { return kName; }

void ScheduleEngine::configureAction(const CachedActionParams* params) {
  if (params == nullptr) return;
  std::lock_guard lock(mMutex);
  std::erase_if(mActions, [&](const WebAction& a) { return a.bundleId == params->bundleId; });
  if (params->unconfigure) {
    logWithLogger<LogLevel::Debug>(this, "Invalidate action");
    return;
  }
  try {
    addActions(params->bundleId, params->actionsJson, params->bundleName);
  } catch (const std::exception&) {
    // Values of unexpected JSON types: reported like a text that does not
    // parse; the actions read before the fault stay.
    logWithLogger<LogLevel::Warning>(this, "Could not parse actions list for ",
                                     params->bundleName, ": ", params->bundleId);
  }
}

void ScheduleEngine::addActions(const std::string& bundleId, const std::string& actionsJson,
                                const std::string& bundleName) {
  Json::Value document;
  Json::Reader reader;
  if (!reader.parse(actionsJson, document, true)) {
    logWithLogger<LogLevel::Warning>(this, "Could not parse actions list for ", bundleName, ": ",
                                     bundleId);
    return;
  }
  logWithLogger<LogLevel::Debug>(this, "Adding action");
  const Json::Value& root = document;  // reads never add members
  const std::string entryPoint = root["entryPoint"].asString();
  const Json::Value& items = root["scheduleEngine"];
  if (!isList(items)) return;
  for (const Json::Value& item : items) {
    const Json::Value& actions = item["actions"];
    if (!isList(actions)) continue;
    for (const Json::Value& action : actions) {
      const std::string id = action["id"].asString();
      const Json::Value& notification = action["notification"];
      const std::string text = notification["text"].asString();
      const std::string title = notification["title"].asString();
      const bool completed = contentengine::isActionCompleted(
          mDatabase, contentengine::getActionIdentifier(bundleId, id), this);
      const Json::Value& timestamps = action["timestamps"];
      if (!isList(timestamps)) continue;
      for (const Json::Value& entry : timestamps) {
        const std::string when = entry.asString();
        const int64_t t = tembrolexin::TimeUtilities::stringToUTCTime(when);
        logWithLogger<LogLevel::Debug>(this, "timestamp1: ", t, " from string: ", when,
                                       "timeMakeTIme:", t);
        mActions.emplace_back("scheduled", "", EngineType::SCHEDULE, id, entryPoint, bundleId, 0,
                              text, title, bundleId + id + std::to_string(t), t, completed, -1,
                              -1);
      }
    }
  }
}

void ScheduleEngine::completeAction(const std::string& bundleId, const std::string& actionId) {
  std::lock_guard lock(mMutex);
  for (WebAction& a : mActions) {
    if (a.id == actionId && a.bundleId == bundleId) a.completed = true;
  }
}

void ScheduleEngine::fillActionList(AssetActionList& list) {
  std::lock_guard lock(mMutex);
  contentengine::fillActionList(list, mActions);
}

std::vector<WebAction> ScheduleEngine::actions() const {
  std::lock_guard lock(mMutex);
  return mActions;
}

}  // namespace tembrolexinsdk
