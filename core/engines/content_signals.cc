#include "core/engines/content_signals.h"

#include <json/json.h>

#include <string>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/message_factory.h"

namespace tembrolexinsdk {
namespace contentengine {

namespace {

const char* confidenceText(int32_t confidence) {
  switch (confidence) {
    case 1:
      return "CONFIDENCE_LOW";
    case 2:
      return "CONFIDENCE_MEDIUM";
    case 3:
      return "CONFIDENCE_HIGH";
    default:
      return "CONFIDENCE_UNKNOWN";
  }
}

std::string streamStatusJson(const SyncEngineSignal& signal, const std::string& trigger) {
  Json::Value root(Json::objectValue);
  root["status"] = signal.eventType == EventType::sync ? "DECODER_SYNC" : "DECODER_DESYNC";
  root["engine"] = signal.engineType == EngineType::EVENT2 ? "EVENT2" : "HEARTBEAT";
  root["trigger"] = trigger;
  return root.toStyledString();
}

std::unique_ptr<ThriftParams> actionSignal(const WebAction& action,
                                           const SyncEngineSignal& signal) {
  return ThriftParamsFactory::createThriftParams(
      makeContentSignal(action.bundleId, action.id, signal.millisecondsSinceEpochDeviceTime,
                        "action", "", signal.millisecondsInMediaStream));
}

// Whether a sync or desync action applies at stream position `position` (ms).
bool inWindow(const WebAction& action, int64_t position) {
  if (action.timeStart != -1 && position < action.timeStart) return false;
  if (action.timeEnd != -1 && position > action.timeEnd) return false;
  return true;
}

}  // namespace

ContentSignal makeContentSignal(const std::string& bundleId, const std::string& actionId,
                                int64_t timestamp, const std::string& emitKey,
                                const std::string& emitValue, int64_t timeInTrack) {
  ContentSignal signal;
  signal.__set_bundleId(bundleId);
  signal.__set_actionId(actionId);
  signal.__set_timestamp(timestamp);
  signal.__set_emitKey(emitKey);
  signal.__set_emitValue(emitValue);
  signal.__set_timeInTrack(timeInTrack);
  return signal;
}

ContentSignal makePerformanceDataSignal(int32_t confidence, int16_t signalStrength,
                                        int16_t volume) {
  // The text JsonCpp's styled writer gives for this object (keys in their
  // sorted order, a tab per level), written directly: it goes out with
  // nearly every capture buffer, and the styled writer's set-up per call
  // cost more than the rest of the report.
  std::string text = "{\n\t\"confidence\" : \"";
  text += confidenceText(confidence);
  text += "\",\n\t\"signalStrength\" : ";
  text += std::to_string(signalStrength);
  text += ",\n\t\"volume\" : ";
  text += std::to_string(volume);
  text += "\n}\n";
  ContentSignal signal;
  signal.__set_emitKey("performance");
  signal.__set_emitValue(std::move(text));
  return signal;
}

std::string decoderStatusJson(const std::string& status) {
  Json::Value root(Json::objectValue);
  root["status"] = status;
  return root.toStyledString();
}

JavascriptMessage makeJavascriptMessage(JavascriptMessageType::type type,
                                        const std::string& bundleId, const std::string& key,
                                        const std::string& content) {
  JavascriptMessage message;
  message.__set_messageType(type);
  message.__set_bundleId(bundleId);
  message.__set_key(key);
  message.__set_messageContent(content);
  return message;
}

std::vector<std::unique_ptr<ThriftParams>> getActionsForEvent(const SyncEngineSignal& signal,
                                                              const ActionMap& timed,
                                                              const ActionListMap& sync,
                                                              const ActionListMap& desync,
                                                              tembrolexin::Mutex& mutex) {
  std::vector<std::unique_ptr<ThriftParams>> out;
  const std::string trigger = signal.signalType == SignalType::codeword
                                  ? createTrigger(signal.mediaStreamId)
                                  : signal.mediaStreamAMId;
  const int64_t position = signal.millisecondsInMediaStream;
  if (signal.eventType == EventType::sync || signal.eventType == EventType::desync) {
    out.push_back(ThriftParamsFactory::createThriftParams(
        makeContentSignal("", "", signal.millisecondsSinceEpochDeviceTime, "decoder",
                          streamStatusJson(signal, trigger), position)));
    const auto actions =
        getActions(signal.eventType == EventType::sync ? sync : desync, trigger, mutex);
    if (!actions) return out;
    for (const WebAction& action : *actions) {
      if (!inWindow(action, position) || action.completed) continue;
      out.push_back(actionSignal(action, signal));
    }
  } else if (signal.eventType == EventType::timedEvent) {
    const auto action = findAction(timed, createEventEngineActionId(trigger, signal.eventId), mutex);
    if (action && !action->completed) out.push_back(actionSignal(*action, signal));
  }
  return out;
}

}  // namespace contentengine
}  // namespace tembrolexinsdk
