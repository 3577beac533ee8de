#include "core/engines/web_action.h"

#include <json/json.h>

#include <utility>

namespace tembrolexinsdk {

WebAction::WebAction(std::string trigger, std::string scheme, Engine engine, std::string id,
                     std::string entryPoint, std::string bundleId, int64_t delay,
                     std::string notificationText, std::string notificationTitle,
                     std::string notificationId, int64_t scheduleTimestamp, bool completed,
                     int64_t timeStart, int64_t timeEnd)
    : trigger(std::move(trigger)),
      scheme(std::move(scheme)),
      engine(engine),
      id(std::move(id)),
      entryPoint(std::move(entryPoint)),
      bundleId(std::move(bundleId)),
      delay(delay),
      notificationText(std::move(notificationText)),
      notificationTitle(std::move(notificationTitle)),
      notificationId(std::move(notificationId)),
      scheduleTimestamp(scheduleTimestamp),
      completed(completed),
      timeStart(timeStart),
      timeEnd(timeEnd) {}

std::string WebAction::toJson() const {
  Json::Value root(Json::objectValue);
  root["engine"] = stringifyEngineType(engine);
  root["id"] = id;
  root["timestamp"] = Json::Int64{timestamp};
  root["trigger"] = trigger;
  return root.toStyledString();
}

std::string WebAction::stringifyEngineType(Engine e) const {
  switch (static_cast<int>(e)) {
    case EngineType::TRIGGER:
      return "TRIGGER";
    case EngineType::EVENT2:
      return "EVENT2";
    case EngineType::SCHEDULE:
      return "SCHEDULE";
    case EngineType::HEARTBEAT:
      return "HEARTBEAT";
    default:
      return "UNKNOWN";
  }
}

namespace contentengine {

AssetAction toAssetAction(const WebAction& action) {
  AssetAction out;
  out.__set_actionID(action.id);
  out.__set_assetID(action.bundleId);
  out.__set_engine(action.engine);
  out.__set_scheme(action.scheme);
  out.__set_trigger(action.trigger);
  out.__set_entryPoint(action.entryPoint);
  out.__set_secondsDelay(action.delay);
  out.__set_notificationText(action.notificationText);
  out.__set_notificationTitle(action.notificationTitle);
  out.__set_notificationID(action.notificationId);
  out.__set_timeStamp(action.timestamp);
  out.__set_scheduleEngineActionTimestamp(action.scheduleTimestamp);
  out.__set_json(action.toJson());
  out.__set_completed(action.completed);
  return out;
}

void fillActionList(AssetActionList& list, const std::vector<WebAction>& actions) {
  for (const WebAction& action : actions) {
    list.assetActionMap[action.bundleId].push_back(toAssetAction(action));
  }
}

void fillActionList(AssetActionList& list, const std::map<std::string, WebAction>& actions) {
  for (const auto& entry : actions) {
    list.assetActionMap[entry.second.bundleId].push_back(toAssetAction(entry.second));
  }
}

void fillActionList(AssetActionList& list,
                    const std::map<std::string, std::vector<WebAction>>& actions) {
  for (const auto& entry : actions) fillActionList(list, entry.second);
}

}  // namespace contentengine

}  // namespace tembrolexinsdk
