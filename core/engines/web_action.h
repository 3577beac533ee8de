// WebAction: one configured action of a content bundle (what triggers it,
// which page it opens, its local notification, whether the user completed
// it), and the helpers that turn actions into the platform's AssetAction
// records.
//
// A plain value type; copies are independent. The fillActionList helpers only
// write into the list they are given. Thread safety: none inside.
#ifndef TL_CORE_ENGINES_WEB_ACTION_H_
#define TL_CORE_ENGINES_WEB_ACTION_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

class WebAction {
 public:
  // 0 marks a bundle's default action; the rest are the schema's values.
  using Engine = EngineType::type;

  WebAction(std::string trigger, std::string scheme, Engine engine, std::string id,
            std::string entryPoint, std::string bundleId, int64_t delay,
            std::string notificationText, std::string notificationTitle,
            std::string notificationId, int64_t scheduleTimestamp, bool completed,
            int64_t timeStart, int64_t timeEnd);

  // {"engine", "id", "timestamp", "trigger"} in the multi-line styled form.
  std::string toJson() const;
  // 1 "TRIGGER", 2 "EVENT2", 3 "SCHEDULE", 4 "HEARTBEAT", anything else
  // "UNKNOWN".
  std::string stringifyEngineType(Engine engine) const;

  std::string trigger;     // codeword text, audio-match id, "scheduled", or empty
  std::string scheme;
  Engine engine;
  std::string id;
  std::string entryPoint;
  std::string bundleId;
  int64_t delay;           // notification delay, seconds
  std::string notificationText;
  std::string notificationTitle;
  std::string notificationId;
  int64_t timestamp = 0;   // when it last fired; set only on reported copies
  int64_t scheduleTimestamp;  // scheduled actions: UTC seconds since the epoch
  bool completed;
  int64_t timeStart;       // window in ms of stream position; -1 = no bound
  int64_t timeEnd;
};

namespace contentengine {

// The AssetAction of one action (its window is not passed on).
AssetAction toAssetAction(const WebAction& action);

// Appends each action, in order, to the list entry of its bundle id (created
// when missing). The map forms take the values in key order; vectors are
// concatenated in key order.
void fillActionList(AssetActionList& list, const std::vector<WebAction>& actions);
void fillActionList(AssetActionList& list, const std::map<std::string, WebAction>& actions);
void fillActionList(AssetActionList& list,
                    const std::map<std::string, std::vector<WebAction>>& actions);

}  // namespace contentengine

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ENGINES_WEB_ACTION_H_
