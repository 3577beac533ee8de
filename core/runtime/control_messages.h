// Control messages that the core's own components pass to each other along
// the road of processor events (IProcessorListener::onProcessorEvent). None
// has a bus form: the message transformer gives nothing for them, so they
// never leave the core.
//
//   EventEngine2Affirm / HeartbeatAffirm: the bundle cache has reported the
//     engine configurations of a bundle; the engine selects its priorities.
//   EventEngine2Priority / HeartbeatPriority: the engine's priorities as JSON
//     text; the decoder applies them as configuration under the keys below.
//   StartStopDecodingMsg: decoding started (0), paused (1) or stopped (2).
//
// Immutable values. The sender owns each; a receiver sees it only during the
// (synchronous) report and clones what it keeps. Const objects may be read
// from any thread.
#ifndef TL_CORE_RUNTIME_CONTROL_MESSAGES_H_
#define TL_CORE_RUNTIME_CONTROL_MESSAGES_H_

#include <cstdint>
#include <string>
#include <utility>

#include "core/runtime/i_processor_params.h"

namespace tembrolexinsdk {

// The configuration keys under which the decoder stores the priority texts.
inline constexpr const char kEventEngineSequencesDBKey[] = "tembrolexin_DB_EventEngineSequences";
inline constexpr const char kEventEngineSequencesEchoModKey[] =
    "tembrolexin_EchoMod_EventEngineSequences";
inline constexpr const char kCandidateStationsDBKey[] = "tembrolexin_DB_CandidateStations";
inline constexpr const char kCandidateStationsEchoModKey[] =
    "tembrolexin_EchoMod_CandidateStations";

class EventEngine2Affirm : public IProcessorEventParams {
 public:
  IProcessorEventParams* clone() const override { return new EventEngine2Affirm(); }
  // "Affirm EventEngine2 configuration".
  std::string GetParamsDescription() const override;
  static const EventEngine2Affirm* Cast(const IProcessorEventParams* p) {
    return dynamic_cast<const EventEngine2Affirm*>(p);
  }
};

class EventEngine2Priority : public IProcessorEventParams {
 public:
  explicit EventEngine2Priority(std::string priorities) : priorities_(std::move(priorities)) {}
  IProcessorEventParams* clone() const override { return new EventEngine2Priority(priorities_); }
  // "Configure EventEngine2", whatever the priorities.
  std::string GetParamsDescription() const override;
  // The track priorities as JSON.
  const std::string& getPriorities() const { return priorities_; }
  static const EventEngine2Priority* Cast(const IProcessorEventParams* p) {
    return dynamic_cast<const EventEngine2Priority*>(p);
  }

 private:
  const std::string priorities_;
};

class HeartbeatAffirm : public IProcessorEventParams {
 public:
  IProcessorEventParams* clone() const override { return new HeartbeatAffirm(); }
  // "Affirm Heartbeat configuration".
  std::string GetParamsDescription() const override;
  static const HeartbeatAffirm* Cast(const IProcessorEventParams* p) {
    return dynamic_cast<const HeartbeatAffirm*>(p);
  }
};

class HeartbeatPriority : public IProcessorEventParams {
 public:
  explicit HeartbeatPriority(std::string priorities) : priorities_(std::move(priorities)) {}
  IProcessorEventParams* clone() const override { return new HeartbeatPriority(priorities_); }
  // "Configure Heartbeat", whatever the priorities.
  std::string GetParamsDescription() const override;
  // The candidate stations as JSON.
  const std::string& getPriorities() const { return priorities_; }
  static const HeartbeatPriority* Cast(const IProcessorEventParams* p) {
    return dynamic_cast<const HeartbeatPriority*>(p);
  }

 private:
  const std::string priorities_;
};

class StartStopDecodingMsg : public IProcessorEventParams {
 public:
  enum State : int32_t { kStarted = 0, kPaused = 1, kStopped = 2 };

  explicit StartStopDecodingMsg(int32_t state) : state_(state) {}
  IProcessorEventParams* clone() const override { return new StartStopDecodingMsg(state_); }
  // "Start/stopped decoder params", whatever the state.
  std::string GetParamsDescription() const override;
  int32_t getState() const { return state_; }
  // The "status" word of a decoding-status record: "start", "pause" or
  // "stop" for 0, 1 and 2, "unknown" for anything else.
  static const char* statusText(int32_t state);
  static const StartStopDecodingMsg* Cast(const IProcessorEventParams* p) {
    return dynamic_cast<const StartStopDecodingMsg*>(p);
  }

 private:
  const int32_t state_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_CONTROL_MESSAGES_H_
