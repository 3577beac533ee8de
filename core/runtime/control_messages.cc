#include "core/runtime/control_messages.h"

namespace tembrolexinsdk {

std::string EventEngine2Affirm::GetParamsDescription() const {
  return "Affirm EventEngine2 configuration";
}

std::string EventEngine2Priority::GetParamsDescription() const { return "Configure EventEngine2"; }

std::string HeartbeatAffirm::GetParamsDescription() const {
  return "Affirm Heartbeat configuration";
}

std::string HeartbeatPriority::GetParamsDescription() const { return "Configure Heartbeat"; }

std::string StartStopDecodingMsg::GetParamsDescription() const {
  return "Start/stopped decoder params";
}

const char* StartStopDecodingMsg::statusText(int32_t state) {
  switch (state) {
    case kStarted:
      return "start";
    case kPaused:
      return "pause";
    case kStopped:
      return "stop";
    default:
      return "unknown";
  }
}

}  // namespace tembrolexinsdk
