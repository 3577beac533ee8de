#include "core/control/processor_controller.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "tests/core/control/controller_fakes.h"
#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/recording_messenger.h"
#include "tests/support/temp_dir.h"

namespace tltest {
namespace {

class ProcessorControllerTest : public ::testing::Test {
 protected:
  void make(std::set<std::string> throwOn = {}) {
    ProcessorSetup setup;
    setup.name = "tembrolexin_CacheProcessor";
    setup.log = &log_;
    setup.throwOn = std::move(throwOn);
    controller_ = std::make_unique<ProcessorController>(std::make_unique<GenericProcessor>(setup),
                                                        &listener_, &bus_, "app.pkg", "dev-1");
  }
  void initialise() {
    controller_->SetFilePath(dir_.path());
    controller_->SetDeviceId(42);
    ASSERT_TRUE(log_.await("Identity:app.pkg,dev-1"));
  }

  TempDir dir_;
  CallLog log_;
  RecordingListener listener_{log_};
  RecordingMessenger bus_;
  std::unique_ptr<ProcessorController> controller_;
};

TEST_F(ProcessorControllerTest, InitialisesThenPassesEarlyBusMessagesInOrder) {
  LogCapture logs;
  make();
  controller_->onReceive("first", ThriftParams(77, 0, nullptr));
  controller_->onReceive("second", ThriftParams(78, 0, nullptr));
  initialise();
  ASSERT_TRUE(log_.await("onReceive:second:78"));
  const std::string folder = dir_.path() + "/tembrolexin_CacheProcessor";
  EXPECT_EQ(log_.entries(),
            (std::vector<std::string>{"Initialise:-1", "SetDeviceId:42", "SetFilePath:" + folder,
                                      "Identity:app.pkg,dev-1", "onReceive:first:77",
                                      "onReceive:second:78"}));
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_EQ(bus_.listeners(77).size(), 1u);
  EXPECT_EQ(controller_->GetName(), "tembrolexin_CacheProcessor");
  EXPECT_FALSE(logs.matching("stateIdle (tembrolexin_CacheProcessorController) entry").empty());

  controller_.reset();
  EXPECT_TRUE(bus_.listeners(77).empty());
  EXPECT_EQ(log_.count("~"), 1);
}

// After the maps, a bus message and then an enabling map: the message is
// handled before that map either way (while Inactive it waits, and reaches
// the processor as the enabling map ends the inactivity, before the map).
struct ConfigCase {
  std::string name;
  std::vector<std::vector<Entry>> maps;
  std::vector<std::string> calls;  // Configure and onReceive calls, in order
};

class ProcessorControllerConfigTest : public ProcessorControllerTest,
                                      public ::testing::WithParamInterface<ConfigCase> {};

const std::string kEnabled = "tembrolexin_CacheProcessor_meta_enabled";

TEST_P(ProcessorControllerConfigTest, AppliesMapsInOrder) {
  make();
  initialise();
  for (const auto& entries : GetParam().maps) controller_->Configure(config(entries));
  controller_->onReceive("end", ThriftParams(9, 0, nullptr));
  controller_->Configure(config({kv("end", 1), kv(kEnabled, true)}));
  ASSERT_TRUE(log_.await("onReceive:end:9"));
  ASSERT_TRUE(log_.await("Configure:end=1"));
  std::vector<std::string> calls;
  for (const std::string& e : log_.entries()) {
    if (e.rfind("Configure:", 0) == 0 || e.rfind("onReceive:", 0) == 0) calls.push_back(e);
  }
  EXPECT_EQ(calls, GetParam().calls);
}

const char kIdleEnd[] = "onReceive:end:9";
const char kEndMap[] = "Configure:end=1";

INSTANTIATE_TEST_SUITE_P(
    Maps, ProcessorControllerConfigTest,
    ::testing::Values(
        ConfigCase{"EqualMapTwiceConfiguresOnce",
                   {{kv("a", 1)}, {kv("a", 1)}},
                   {"Configure:a=1", kIdleEnd, kEndMap}},
        ConfigCase{"ChangedMapReplacesWhole",
                   {{kv("a", 1)}, {kv("b", 2)}},
                   {"Configure:a=1", "Configure:b=2", kIdleEnd, kEndMap}},
        ConfigCase{"MetaKeysNeverReachProcessor",
                   {{kv("a", 1), kv(kEnabled, true), kv(std::string("x_meta_y"), 3)}},
                   {"Configure:a=1", kIdleEnd, kEndMap}},
        ConfigCase{"DisabledThenEnabled",
                   {{kv("a", 1), kv(kEnabled, false)}, {kv("a", 1), kv(kEnabled, true)}},
                   {"Configure:a=1", kIdleEnd, kEndMap}},
        ConfigCase{"WildcardDisables",
                   {{kv("a", 1), kv(std::string("*_meta_enabled"), false)}},
                   {kIdleEnd, kEndMap}},
        ConfigCase{"OwnKeyBeatsWildcard",
                   {{kv("a", 1), kv(kEnabled, true), kv(std::string("*_meta_enabled"), false)}},
                   {"Configure:a=1", kIdleEnd, kEndMap}},
        ConfigCase{"DisabledMapDeliveredTwiceStaysOff",
                   {{kv("a", 1), kv(kEnabled, false)}, {kv("a", 1), kv(kEnabled, false)}},
                   {kIdleEnd, kEndMap}},
        ConfigCase{"TextEnabledValueCountsAsEnabled",
                   {{kv("a", 1), kv(kEnabled, std::string("false"))}},
                   {"Configure:a=1", kIdleEnd, kEndMap}}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return info.param.name; });

TEST_F(ProcessorControllerTest, IgnoredRepeatLogsAndDisabledRepeatKeepsBusMessagesWaiting) {
  LogCapture logs;
  make();
  initialise();
  controller_->Configure(config({kv("a", 1), kv(kEnabled, false)}));
  controller_->Configure(config({kv("a", 1), kv(kEnabled, false)}));
  controller_->onReceive("late", ThriftParams(5, 0, nullptr));
  controller_->Configure(config({kv("a", 1), kv(kEnabled, true)}));
  ASSERT_TRUE(log_.await("Configure:a=1"));
  EXPECT_EQ(log_.since(4), (std::vector<std::string>{"onReceive:late:5", "Configure:a=1"}));
  EXPECT_EQ(logs.matching("New Configuration ignored: no changes").size(), 1u);
}

// Maps that queue up while the controller is inactive keep their order: an
// enabling map and then a disabling one leave the processor off, after the
// message that waited reached it before the enabling map.
TEST_F(ProcessorControllerTest, MapsQueuedWhileInactiveKeepTheirOrder) {
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  ProcessorSetup setup;
  setup.name = "tembrolexin_CacheProcessor";
  setup.log = &log_;
  setup.onReceive = [open](const std::string& sender) {
    if (sender == "gate") open.wait();
  };
  controller_ = std::make_unique<ProcessorController>(std::make_unique<GenericProcessor>(setup),
                                                      &listener_, &bus_, "app.pkg", "dev-1");
  initialise();
  // The controller thread waits in the processor while everything queues.
  controller_->onReceive("gate", ThriftParams(1, 0, nullptr));
  controller_->Configure(config({kv("a", 1), kv(kEnabled, false)}));
  controller_->onReceive("waiting", ThriftParams(2, 0, nullptr));
  controller_->Configure(config({kv("a", 2), kv(kEnabled, true)}));
  controller_->Configure(config({kv("a", 3), kv(kEnabled, false)}));
  gate.set_value();
  ASSERT_TRUE(log_.await("Configure:a=2"));
  for (int i = 0; i < 10000 && controller_->state() != ProcessorController::StateId::Inactive;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(controller_->state(), ProcessorController::StateId::Inactive);
  EXPECT_EQ(log_.since(4), (std::vector<std::string>{"onReceive:gate:1", "onReceive:waiting:2",
                                                     "Configure:a=2"}));
}

TEST_F(ProcessorControllerTest, ProcessorFailuresEndTheController) {
  make({"Configure"});
  initialise();
  controller_->Configure(config({kv("a", 1)}));
  ASSERT_TRUE(log_.await("failed:Configure failed"));
  controller_->Configure(config({kv("b", 1)}));  // dropped: nobody reads any more
  controller_.reset();
  EXPECT_EQ(log_.count("threw:Configure"), 1);
}

TEST_F(ProcessorControllerTest, InitialiseFailureIsReported) {
  make({"Initialise"});
  controller_->SetFilePath(dir_.path());
  controller_->SetDeviceId(1);
  ASSERT_TRUE(log_.await("failed:Initialise failed"));
  controller_.reset();
  EXPECT_EQ(log_.count("Identity:app.pkg,dev-1"), 0);
}

}  // namespace
}  // namespace tltest
