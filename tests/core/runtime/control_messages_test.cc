#include "core/runtime/control_messages.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace tembrolexinsdk {
namespace {

TEST(ControlMessagesTest, FixedDescriptions) {
  EXPECT_EQ(EventEngine2Affirm().GetParamsDescription(), "Affirm EventEngine2 configuration");
  EXPECT_EQ(EventEngine2Priority("[1]").GetParamsDescription(), "Configure EventEngine2");
  EXPECT_EQ(HeartbeatAffirm().GetParamsDescription(), "Affirm Heartbeat configuration");
  EXPECT_EQ(HeartbeatPriority("[2]").GetParamsDescription(), "Configure Heartbeat");
  for (int state : {0, 1, 2, -1, 99}) {
    EXPECT_EQ(StartStopDecodingMsg(state).GetParamsDescription(), "Start/stopped decoder params");
  }
}

TEST(ControlMessagesTest, ClonesKeepTheirField) {
  const EventEngine2Priority e("[]");
  std::unique_ptr<IProcessorEventParams> ec(e.clone());
  ASSERT_NE(EventEngine2Priority::Cast(ec.get()), nullptr);
  EXPECT_EQ(EventEngine2Priority::Cast(ec.get())->getPriorities(), "[]");

  const HeartbeatPriority h("{\"s\":1}");
  std::unique_ptr<IProcessorEventParams> hc(h.clone());
  ASSERT_NE(HeartbeatPriority::Cast(hc.get()), nullptr);
  EXPECT_EQ(HeartbeatPriority::Cast(hc.get())->getPriorities(), "{\"s\":1}");

  for (int state : {0, 1, 2, 7}) {
    const StartStopDecodingMsg m(state);
    std::unique_ptr<IProcessorEventParams> c(m.clone());
    ASSERT_NE(StartStopDecodingMsg::Cast(c.get()), nullptr);
    EXPECT_EQ(StartStopDecodingMsg::Cast(c.get())->getState(), state);
  }

  std::unique_ptr<IProcessorEventParams> a(EventEngine2Affirm().clone());
  EXPECT_NE(EventEngine2Affirm::Cast(a.get()), nullptr);
  EXPECT_EQ(HeartbeatAffirm::Cast(a.get()), nullptr);
  std::unique_ptr<IProcessorEventParams> b(HeartbeatAffirm().clone());
  EXPECT_NE(HeartbeatAffirm::Cast(b.get()), nullptr);
  EXPECT_EQ(EventEngine2Affirm::Cast(b.get()), nullptr);
  EXPECT_EQ(StartStopDecodingMsg::Cast(nullptr), nullptr);
}

TEST(ControlMessagesTest, DecodingStatusWords) {
  EXPECT_STREQ(StartStopDecodingMsg::statusText(0), "start");
  EXPECT_STREQ(StartStopDecodingMsg::statusText(1), "pause");
  EXPECT_STREQ(StartStopDecodingMsg::statusText(2), "stop");
  EXPECT_STREQ(StartStopDecodingMsg::statusText(3), "unknown");
  EXPECT_STREQ(StartStopDecodingMsg::statusText(-1), "unknown");
}

TEST(ControlMessagesTest, PriorityKeys) {
  EXPECT_STREQ(kEventEngineSequencesDBKey, "tembrolexin_DB_EventEngineSequences");
  EXPECT_STREQ(kEventEngineSequencesEchoModKey, "tembrolexin_EchoMod_EventEngineSequences");
  EXPECT_STREQ(kCandidateStationsDBKey, "tembrolexin_DB_CandidateStations");
  EXPECT_STREQ(kCandidateStationsEchoModKey, "tembrolexin_EchoMod_CandidateStations");
}

}  // namespace
}  // namespace tembrolexinsdk
