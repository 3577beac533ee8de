// Logging for the app, the configuration converter, the error table, the
// parameter objects and the user defaults.

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/messenger.h"
#include "platform/runtime/decoder_errors.h"
#include "platform/runtime/messenger.h"
#include "platform/runtime/platform_environment.h"
#include "platform/runtime/thrift_converter.h"
#include "platform/runtime/tl_logger.h"
#include "schema/tembrolexin_types.h"
#include "tests/schema/wire.h"
#include "tests/platform/runtime/bus_probe.h"
#include "tests/support/pipe_release.h"
#include "tests/support/hang_guard.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinplatform {
namespace {

struct Line {
  std::string sender;
  int32_t level;
  std::string message;
  friend bool operator==(const Line&, const Line&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Line& l) {
    return os << l.sender << "/" << l.level << "/" << l.message;
  }
};

class RecordingSink : public TLLoggerDelegate {
 public:
  void logfromSender(const std::string& sender, const TLLogParams& params) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({sender, params.level, params.message});
  }
  std::vector<Line> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<Line> lines_;
};

// Installs a recording sink on the shared logger for one test.
class SharedSinkTest : public testing::Test {
 protected:
  void SetUp() override { TLLogger::sharedLogger().setDelegate(sink_); }
  void TearDown() override { TLLogger::sharedLogger().unsetDelegate(); }
  std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>();
};

using LoggerTest = SharedSinkTest;

TEST_F(LoggerTest, PlatformLinesOfEveryLevelReachTheSink) {
  TLLogger::traceInMethod("M0", 1, "t");
  TLLogger::debugInMethod("M1", 2, "d%s", "!");
  TLLogger::infoInMethod("M2", 3, "i");
  TLLogger::warnInMethod("M", 10, "x=%d", 3);
  TLLogger::errorInMethod("M4", 5, "%s", std::string(300, 'e').c_str());  // beyond the small buffer
  TLLogger::assertInMethod("M5", 6, "a");
  EXPECT_EQ(sink_->lines(), (std::vector<Line>{{"M0", 0, "t"},
                                               {"M1", 1, "d!"},
                                               {"M2", 2, "i"},
                                               {"M", 3, "x=3"},
                                               {"M4", 4, std::string(300, 'e')},
                                               {"M5", 5, "a"}}));
  TLLogger::sharedLogger().unsetDelegate();
  TLLogger::infoInMethod("M2", 3, "after");
  EXPECT_EQ(sink_->lines().size(), 6u);
}

TEST(LoggerCoreLinesTest, LevelsOneToFiveGoToTheSinkUnderTheCoreSender) {
  TLLogger logger;
  auto sink = std::make_shared<RecordingSink>();
  logger.setDelegate(sink);
  for (int32_t level : {0, 1, 2, 3, 4, 5, 6, -1}) {
    LogSignal line;
    line.__set_logType(level);
    line.__set_message("m" + std::to_string(level));
    line.__set_sender("Core");
    logger.onReceive(TLThriftParams(8, serializeMessage(line)), "bus");
  }
  FailureSignal other;
  other.__set_descriptionString("no");
  logger.onReceive(TLThriftParams(31, serializeMessage(other)), "bus");
  EXPECT_EQ(sink->lines(), (std::vector<Line>{{"Core", 1, "m1"},
                                              {"Core", 2, "m2"},
                                              {"Core", 3, "m3"},
                                              {"Core", 4, "m4"},
                                              {"Core", 5, "m5"}}));
}

TEST(LoggerMessengerTest, HearsCoreLinesOnTheOneMessengerItKeeps) {
  tembrolexinsdk::Messenger busA, busB;
  auto a = std::make_shared<Messenger>(&busA);
  auto b = std::make_shared<Messenger>(&busB);
  auto sink = std::make_shared<RecordingSink>();
  {
    TLLogger logger;
    logger.setDelegate(sink);
    logger.setMessenger(a);
    logger.setMessenger(a);  // the same one again: still one registration
    EXPECT_EQ(a->receiverCount(8), 1u);
    LogSignal line;
    line.__set_logType(3);
    line.__set_message("w");
    line.__set_sender("Core");
    a->receiveThriftMessage(TLThriftParams(8, serializeMessage(line)), "bus");
    EXPECT_EQ(sink->lines(), (std::vector<Line>{{"Core", 3, "w"}}));

    logger.setMessenger(b);  // moves: never heard twice
    EXPECT_EQ(a->receiverCount(8), 0u);
    EXPECT_EQ(b->receiverCount(8), 1u);
    EXPECT_EQ(logger.messenger(), b);
    logger.releaseMessenger(a.get());  // not the one kept: nothing changes
    EXPECT_EQ(b->receiverCount(8), 1u);
    logger.releaseMessenger(b.get());
    EXPECT_EQ(b->receiverCount(8), 0u);
    EXPECT_EQ(logger.messenger(), nullptr);
    logger.setMessenger(a);
  }
  EXPECT_EQ(a->receiverCount(8), 0u);  // a logger that goes unregisters
}

// The app's log delegate, handed a core line on the bus thread of the
// logger's messenger, makes a decoder (which moves the logger to that
// decoder's messenger) while another thread takes the logger off that
// messenger -- moving it on, or releasing it as the messenger's bridge
// goes -- and waits for that very line.
struct TakeOffCase {
  std::string name;
  std::function<void(TLLogger&, Messenger& from, const std::shared_ptr<Messenger>& other)> takeOff;
};

class LoggerTakeOffTest : public testing::TestWithParam<TakeOffCase> {};

TEST_P(LoggerTakeOffTest, ASinkMayMoveTheLoggerWhileATakeOffWaitsForItsLine) {
  tltest::HangGuard guard("Moving the logger from its sink during " + GetParam().name);
  tembrolexinsdk::Messenger busA, busB, busC;
  auto a = std::make_shared<Messenger>(&busA);
  auto b = std::make_shared<Messenger>(&busB);
  auto c = std::make_shared<Messenger>(&busC);
  TLLogger logger;
  struct MovingSink : TLLoggerDelegate {
    void logfromSender(const std::string&, const TLLogParams&) override {
      entered.open();
      // Until the other thread has taken the logger off `a`: it waits for
      // this call from then on.
      while (from->receiverCount(8) != 0) std::this_thread::yield();
      logger->setMessenger(to);
    }
    TLLogger* logger;
    Messenger* from;
    std::shared_ptr<Messenger> to;
    tltest::Gate entered;
  };
  auto sink = std::make_shared<MovingSink>();
  sink->logger = &logger;
  sink->from = a.get();
  sink->to = c;
  logger.setDelegate(sink);
  logger.setMessenger(a);
  LogSignal line;
  line.__set_logType(3);
  line.__set_message("w");
  const std::string bytes = serializeMessage(line);
  busA.send("Core", std::make_unique<tembrolexinsdk::ThriftParams>(8, bytes.size(), bytes.data()));
  ASSERT_TRUE(sink->entered.wait());
  GetParam().takeOff(logger, *a, b);
  EXPECT_EQ(logger.messenger(), c);
  EXPECT_EQ(a->receiverCount(8) + b->receiverCount(8), 0u);
  EXPECT_EQ(c->receiverCount(8), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    TakeOffs, LoggerTakeOffTest,
    testing::Values(TakeOffCase{"Move", [](TLLogger& logger, Messenger&,
                                           const std::shared_ptr<Messenger>& other) {
                                  logger.setMessenger(other);
                                }},
                    TakeOffCase{"Release", [](TLLogger& logger, Messenger& from,
                                              const std::shared_ptr<Messenger>&) {
                                  logger.releaseMessenger(&from);
                                }}),
    [](const testing::TestParamInfo<TakeOffCase>& info) { return info.param.name; });

TEST(NSLogLoggerTest, PrintsInfoWarningAndErrorOnly) {
  std::vector<std::string> out;
  NSLogLogger printer([&](const std::string& line) { out.push_back(line); });
  for (int32_t level = 0; level <= 6; ++level) printer.logfromSender("M", {level, "x=3"});
  EXPECT_EQ(out, (std::vector<std::string>{"INF: M: x=3", "WRN: M: x=3", "ERR: M: x=3"}));
}

using ConverterTest = SharedSinkTest;

TEST_F(ConverterTest, TypesEachKindAndRoundTrips) {
  const ConfigDictionary in = {{"s", std::string("text")},   {"b", true},
                               {"c", static_cast<signed char>(5)}, {"i", int32_t{-7}},
                               {"d", 2.5},                    {"q", int64_t{1} << 40}};
  ConfigurationMapSignal signal = ThriftConverter::convertWithDictionary(in);
  EXPECT_TRUE(signal.__isset.target);
  EXPECT_EQ(signal.target, 0);
  ASSERT_EQ(signal.config.size(), 6u);
  EXPECT_EQ(signal.config["s"].type, 4);
  EXPECT_EQ(signal.config["s"].stringValue, "text");
  EXPECT_EQ(signal.config["b"].type, 0);
  EXPECT_EQ(signal.config["c"].type, 0);
  EXPECT_TRUE(signal.config["c"].boolValue);
  EXPECT_EQ(signal.config["i"].type, 1);
  EXPECT_EQ(signal.config["d"].type, 2);
  EXPECT_EQ(signal.config["q"].type, 3);
  EXPECT_EQ(signal.config["q"].longlongValue, int64_t{1} << 40);
  // Exactly one value field per entry.
  EXPECT_FALSE(signal.config["i"].__isset.stringValue || signal.config["i"].__isset.boolValue);

  // The core reads it.
  tembrolexinsdk::ConfigurationMapSignal core;
  tl_test::Deserialize(serializeMessage(signal), core);
  EXPECT_EQ(core.config["q"].longlongValue, int64_t{1} << 40);

  ConfigDictionary back = ThriftConverter::convertWithConfigurationMapSignal(signal);
  ConfigDictionary expected = in;
  expected["c"] = true;
  EXPECT_EQ(back, expected);
  EXPECT_TRUE(sink_->lines().empty());
}

TEST_F(ConverterTest, UnsupportedValuesAreLoggedAndLeftOut) {
  const ConfigDictionary in = {{"f", 1.5f},
                               {"h", int16_t{3}},
                               {"u", uint64_t{4}},
                               {"a", UnsupportedConfigValue{"array"}},
                               {"ok", int32_t{1}}};
  ConfigurationMapSignal signal = ThriftConverter::convertWithDictionary(in);
  ASSERT_EQ(signal.config.size(), 1u);
  EXPECT_EQ(signal.config.count("ok"), 1u);
  const Line failure{"+[ThriftConverter convertWithDictionary:]", 4,
                     "Failed to determine the type of a configuration parameter"};
  EXPECT_EQ(sink_->lines(), (std::vector<Line>(4, failure)));
}

// The keys whose rules name a value of the wrong kind get these values as
// their kind's description, every one still with its Error line; no other
// key gets one.
TEST_F(ConverterTest, OtherKindsReachOnlyTheKeysThatNameThem) {
  const ConfigDictionary in = {
      {"tembrolexin_VorselTW_DecoderDescriptors", 2.5f},
      {"AudioDecoder_plugins", int16_t{-7}},
      {"AudioDecoder_engines", UINT64_MAX},
      {"tembrolexin_VorselT_CandidateStations", UnsupportedConfigValue{"array"}},
      {"myProcessor_CandidateStations", UnsupportedConfigValue{}},
      {"tembrolexin_VorselTW_enabled", 1.5f},
      {"AudioDecoder_pluginsX", int16_t{1}}};
  ConfigurationMapSignal signal = ThriftConverter::convertWithDictionary(in);
  std::map<std::string, std::string> described;
  for (const auto& [key, param] : signal.config) {
    EXPECT_EQ(param.type, 5) << key;
    described[key] = param.stringValue;
  }
  EXPECT_EQ(described, (std::map<std::string, std::string>{
                           {"tembrolexin_VorselTW_DecoderDescriptors", "a float: 2.5"},
                           {"AudioDecoder_plugins", "a short: -7"},
                           {"AudioDecoder_engines",
                            "an unsigned 64-bit number: 18446744073709551615"},
                           {"tembrolexin_VorselT_CandidateStations", "a value of kind \"array\""},
                           {"myProcessor_CandidateStations", "a value of another kind"}}));
  const Line failure{"+[ThriftConverter convertWithDictionary:]", 4,
                     "Failed to determine the type of a configuration parameter"};
  EXPECT_EQ(sink_->lines(), (std::vector<Line>(7, failure)));
}

TEST(ConverterBackTest, SkipsUntypedAndValuelessEntries) {
  ConfigurationMapSignal signal;
  ConfigParam untyped, outside, valueless, good;
  untyped.__set_intValue(1);
  outside.__set_type(7);
  outside.__set_intValue(1);
  valueless.__set_type(1);
  good.__set_type(1);
  good.__set_intValue(9);
  signal.__set_config({{"a", untyped}, {"b", outside}, {"c", valueless}, {"d", good}});
  EXPECT_EQ(ThriftConverter::convertWithConfigurationMapSignal(signal),
            (ConfigDictionary{{"d", int32_t{9}}}));
}

struct ErrorCase {
  int64_t code;
  const char* text;  // null: no description
};

class ErrorTableTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorTableTest, DescribesKnownCodesOnly) {
  auto text = TLDecoderErrors::debugDesciptionForCode(GetParam().code);
  if (GetParam().text == nullptr) {
    EXPECT_FALSE(text);
  } else {
    EXPECT_EQ(text, std::string(GetParam().text));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ErrorTableTest,
    testing::Values(ErrorCase{0, "No error"}, ErrorCase{1, "Unknown error"},
                    ErrorCase{10, "The mic is not available"},
                    ErrorCase{11, "The user did not allow the app to use the mic"},
                    ErrorCase{12, "Could not parse the events file"},
                    ErrorCase{13, "No events were found in the XML"},
                    ErrorCase{14, "No events were found in the JSON"},
                    ErrorCase{15, "The heartbeat engine desynchronised"},
                    ErrorCase{16, "AudioDecoder hasn't been initialized on time"},
                    ErrorCase{17, "IOSAudioRecoder exception"},
                    ErrorCase{18, "Cannot convert sample rates"}, ErrorCase{19, nullptr},
                    ErrorCase{2, nullptr}, ErrorCase{9, nullptr}, ErrorCase{-1, nullptr},
                    ErrorCase{(int64_t{1} << 32) + 17, nullptr}),
    [](const testing::TestParamInfo<ErrorCase>& info) {
      return "Code" + std::to_string(info.index);
    });

TEST(ParamsTest, CodewordFromMessageKeepsWidthsAndSignsAndUnsetIsZero) {
  CodewordSignal s;
  s.__set_syncState(4);
  s.__set_sigConfidence(-3);  // out of table: kept, widened
  s.__set_meanVolume(-32768);
  s.__set_msg(-5);
  s.__set_msgScheme(-1);
  s.__set_engineRef("TRIGGER");
  s.__set_steadyTimeStamp(int64_t{1} << 40);
  s.__set_systemTimeStamp(7);
  s.__set_codewordDuration(1200);
  s.msgVolume = 99;  // stored but not set: reads as 0
  auto p = TLCodewordEventParams::fromCodewordSignal(s);
  EXPECT_EQ(p.syncState(), 4);
  EXPECT_EQ(p.sigConfidence(), -3);
  EXPECT_EQ(p.meanVolume(), -32768);
  EXPECT_EQ(p.msg(), -5);
  EXPECT_EQ(p.msgScheme(), -1);
  EXPECT_EQ(p.engineRef(), std::optional<std::string>("TRIGGER"));
  EXPECT_EQ(p.steadyTimeStamp(), int64_t{1} << 40);
  EXPECT_EQ(p.systemTimeStamp(), 7);
  EXPECT_EQ(p.codewordDuration(), 1200);
  EXPECT_EQ(p.msgVolume(), 0);

  TLCodewordEventParams shortForm(42, 1, 2, 3);
  EXPECT_FALSE(shortForm.engineRef());
  EXPECT_EQ(shortForm.sigScheme(), 0);
  EXPECT_EQ(shortForm.msg(), 42);
}

TEST(ParamsTest, OtherObjectsFromTheirMessages) {
  TLPartialCodewordParams::Fields f;
  f.stopTime = 1500;
  TLPartialCodewordParams partial(f);
  EXPECT_EQ(partial.systemTimeStamp(), 1500);
  EXPECT_EQ(partial.steadyTimeStamp(), 0);

  EXPECT_EQ(FailureParams().description(), "Error: Unknown failure.");

  AudioSignal a;
  a.__set_numberInvalidSamples(12);
  a.__set_audioLevel(-4);
  TLAudioSignal audio(a);
  EXPECT_EQ(audio.numberOfInvalidSamples(), 12);
  EXPECT_EQ(audio.audioLevel(), -4);

  ProcessorStatusSignal status;
  status.__set_statusDescription("idle");
  EXPECT_EQ(TLAudioProcessorIdleStatusParams::fromProcessorStatusSignal(status).statusDescription(), "idle");
}

using EnvelopeLogTest = SharedSinkTest;

TEST_F(EnvelopeLogTest, ObjectWithoutATypeIdIsLoggedAndNotWrapped) {
  EXPECT_EQ(TLThriftParams::initWithMessage(ConfigParam()), nullptr);
  EXPECT_EQ(sink_->lines(), (std::vector<Line>{{"-[TLThriftParams initWithMessage:]", 4,
                                                "No TLThriftParams implemented for class ConfigParam"}}));
  auto wrapped = TLThriftParams::initWithMessage(SDKStatusSignal());
  ASSERT_TRUE(wrapped);
  EXPECT_EQ(wrapped->msgType(), 37);
}

TEST(UserDefaultsTest, ValuesSurviveAReloadAndABrokenFileStartsEmpty) {
  tltest::TempDir dir;
  const std::string path = dir.file("defaults.json");
  {
    UserDefaults defaults(path);
    EXPECT_FALSE(defaults.stringForKey("PluginIdentityUdid"));
    EXPECT_TRUE(defaults.setString("PluginIdentityUdid", "abc"));
    EXPECT_TRUE(defaults.setInteger("seq", (int64_t{1} << 40) + 1));
    EXPECT_TRUE(defaults.setBool("flag", true));
    EXPECT_TRUE(defaults.setDouble("ratio", 0.25));
    EXPECT_TRUE(defaults.setString("gone", "x"));
    EXPECT_TRUE(defaults.removeObjectForKey("gone"));
  }
  UserDefaults again(path);
  EXPECT_EQ(again.stringForKey("PluginIdentityUdid"), "abc");
  EXPECT_EQ(again.integerForKey("seq"), (int64_t{1} << 40) + 1);
  EXPECT_EQ(again.boolForKey("flag"), true);
  EXPECT_EQ(again.doubleForKey("ratio"), 0.25);
  EXPECT_FALSE(again.stringForKey("gone"));
  EXPECT_FALSE(again.integerForKey("PluginIdentityUdid"));  // another kind

  std::ofstream(path) << "[1, 2";
  again.reload();
  EXPECT_FALSE(again.stringForKey("PluginIdentityUdid"));
  std::ofstream(path) << R"({"PluginIdentityUdid": )" << std::string(1000, '[')
                      << std::string(1000, ']') << "}";
  EXPECT_FALSE(UserDefaults(path).stringForKey("PluginIdentityUdid"));
  EXPECT_TRUE(again.setBool("flag", false));
  EXPECT_EQ(UserDefaults(path).boolForKey("flag"), false);
}

using UserDefaultsBoundTest = SharedSinkTest;

// The Error of a change refused for the size it would give the file at
// `path`: past the 16 MiB for the library's own values, past 16 MiB less
// their 954 bytes for the app's.
Line refusedForSize(const std::string& path, std::size_t bytes, bool own) {
  return Line{"-[UserDefaults synchronize]", 4,
              "User defaults file " + path + " is not written: it would be " +
                  std::to_string(bytes) + " bytes, more than the " +
                  (own ? "16 MiB it may hold"
                       : "16776262 it may hold beside the 954 kept for the library's own values") +
                  "; the change is refused and the values stay as they were"};
}

// A change that would take the file's text past its bound is refused and
// undone, so the changes after it are written; one that makes the text no
// larger is written even past the bound (a compact file read from elsewhere
// grows when written indented).
TEST_F(UserDefaultsBoundTest, ARefusedChangeLeavesTheValuesAndLaterChangesAreWritten) {
  tltest::TempDir dir;
  const std::string path = dir.file("defaults.json");
  const auto refused = [&](std::size_t bytes) { return refusedForSize(path, bytes, false); };
  UserDefaults defaults(path);
  ASSERT_TRUE(defaults.setString("k", "a"));
  // {\n  "big" : "<n bytes>",\n  "k" : "a"\n}\n is n + 30 bytes long.
  EXPECT_FALSE(defaults.setString("big", std::string(16777216 - 30 + 1, 'x')));
  // {\n  "k" : "<n bytes>"\n}\n: n + 15.
  EXPECT_FALSE(defaults.setString("k", std::string(17000000, 'y')));
  EXPECT_EQ(sink_->lines(), (std::vector<Line>{refused(16777217), refused(17000015)}));
  EXPECT_FALSE(defaults.hasValueForKey("big"));
  EXPECT_EQ(defaults.stringForKey("k"), "a");
  EXPECT_TRUE(defaults.setString("n", "1"));
  EXPECT_TRUE(defaults.setString("k", "b"));
  UserDefaults again(path);
  EXPECT_EQ(again.stringForKey("n"), "1");
  EXPECT_EQ(again.stringForKey("k"), "b");
  EXPECT_FALSE(again.hasValueForKey("big"));

  // 16 MiB as written elsewhere, n + 16 bytes; ours is n + 28 (with 10 for
  // "k", n + 29), and n + 17 without "k".
  const std::size_t n = 16777216 - 16;
  tltest::writeFile(path, R"({"big":")" + std::string(n, 'x') + R"(","k":1})");
  again.reload();
  EXPECT_TRUE(again.setInteger("k", 2));
  EXPECT_EQ(std::filesystem::file_size(path), n + 28);
  EXPECT_FALSE(again.setInteger("k", 10));
  EXPECT_EQ(again.integerForKey("k"), 2);
  EXPECT_TRUE(again.removeObjectForKey("k"));
  EXPECT_EQ(std::filesystem::file_size(path), n + 17);
  EXPECT_EQ(sink_->lines(),
            (std::vector<Line>{refused(16777217), refused(17000015), refused(n + 29)}));
}

// The app's values leave 954 bytes of the 16 MiB free: enough for the
// identity at 64 characters and every reserved plug-in's sequence number at
// 20, which then fill the file to 16 MiB exactly. Values of another kind
// under those keys, and integers under another plug-in's, are the app's.
TEST_F(UserDefaultsBoundTest, TheAppsValuesLeaveTheLibrarysOwnTheirRoom) {
  tltest::TempDir dir;
  const std::string path = dir.file("defaults.json");
  UserDefaults defaults(path);
  // {\n  "app" : "<n bytes>"\n}\n is n + 17 bytes long.
  const std::size_t atBound = 16777216 - 954 - 17;
  EXPECT_FALSE(defaults.setString("app", std::string(atBound + 1, 'x')));
  ASSERT_TRUE(defaults.setString("app", std::string(atBound, 'x')));
  // ,\n  "PluginIdentityUdid" : "<65 bytes>": 94 more.
  EXPECT_FALSE(defaults.setString("PluginIdentityUdid", std::string(65, 'f')));
  // ,\n  "tembrolexin_DB_meta_sequenceNum" : "1": 43 more.
  EXPECT_FALSE(defaults.setString("tembrolexin_DB_meta_sequenceNum", "1"));
  EXPECT_TRUE(defaults.setString("PluginIdentityUdid", std::string(64, 'f')));
  for (std::string_view plugin : UserDefaults::kReservedSequencePlugins) {
    EXPECT_TRUE(defaults.setInteger(std::string(plugin) + "_meta_sequenceNum", INT64_MIN));
  }
  EXPECT_EQ(std::filesystem::file_size(path), 16777216u);
  // ,\n  "other_meta_sequenceNum" : 1: 32 more.
  EXPECT_FALSE(defaults.setInteger("other_meta_sequenceNum", 1));
  EXPECT_EQ(UserDefaults(path).stringForKey("app")->size(), atBound);
  EXPECT_EQ(sink_->lines(), (std::vector<Line>{refusedForSize(path, 16776263, false),
                                               refusedForSize(path, 16776262 + 94, false),
                                               refusedForSize(path, 16776262 + 43, false),
                                               refusedForSize(path, 16777216 + 32, false)}));
}

// What may stand at the defaults file's path instead of a file of ours.
struct DefaultsEntryCase {
  std::string name;
  std::function<void(const std::string& path, const std::string& elsewhere)> make;
  std::string loaded;  // the value of "k" read from it; "" for none
  std::string error;   // the load's Error after "User defaults file <path> is "; "" for none
};
void PrintTo(const DefaultsEntryCase& c, std::ostream* os) { *os << c.name; }

class UserDefaultsEntryTest : public SharedSinkTest,
                              public testing::WithParamInterface<DefaultsEntryCase> {};

// Whatever stands there, a change goes into a new regular file: nothing is
// written through a link or into a pipe, no link's target changes (none is
// made), and what is not a JSON object file is kept beside as ".damaged".
TEST_P(UserDefaultsEntryTest, AChangeNeverWritesThroughWhatStandsThere) {
  const DefaultsEntryCase& c = GetParam();
  tltest::TempDir dir;
  const std::string path = dir.file("defaults.json");
  const std::string elsewhere = dir.file("elsewhere/prefs");
  c.make(path, elsewhere);
  const auto kindBefore = std::filesystem::symlink_status(path).type();
  const auto sizeBefore =
      kindBefore == std::filesystem::file_type::regular ? std::filesystem::file_size(path) : 0;
  const auto target = [&] {
    return std::filesystem::exists(elsewhere) ? tltest::readFile(elsewhere) : "(none)";
  };
  const std::string targetBefore = target();
  std::optional<UserDefaults> defaults;
  bool stored = false;
  ASSERT_TRUE(tltest::returnsDespitePipes(
      [&] { stored = defaults.emplace(path).setString("n", "1"); }, {path}));
  EXPECT_EQ(defaults->stringForKey("k").value_or(""), c.loaded);
  EXPECT_TRUE(stored);
  EXPECT_EQ(std::filesystem::symlink_status(path).type(), std::filesystem::file_type::regular);
  UserDefaults again(path);
  EXPECT_EQ(again.stringForKey("k").value_or("") + again.stringForKey("n").value_or(""),
            c.loaded + "1");
  EXPECT_EQ(target(), targetBefore);
  const std::string aside = path + ".damaged";
  std::vector<Line> expected;
  if (!c.error.empty()) {
    EXPECT_EQ(std::filesystem::symlink_status(aside).type(), kindBefore);
    if (sizeBefore != 0) {
      EXPECT_EQ(std::filesystem::file_size(aside), sizeBefore);
    }
    expected.push_back({"-[UserDefaults load]", 4,
                        "User defaults file " + path + " is " + c.error +
                            "; starting empty (the file is now " + aside + ")"});
  }
  EXPECT_EQ(std::filesystem::exists(std::filesystem::symlink_status(aside)), !c.error.empty());
  EXPECT_EQ(sink_->lines(), expected);
}

void linkTo(const std::string& target, const std::string& link) {
  std::filesystem::create_directories(std::filesystem::path(target).parent_path());
  std::filesystem::create_symlink(target, link);
}
auto linkToFile(const char* text) {
  return [text](const std::string& path, const std::string& elsewhere) {
    tltest::writeFile(elsewhere, text);
    linkTo(elsewhere, path);
  };
}

auto objectThenZeros(uintmax_t size) {
  return [size](const std::string& path, const std::string&) {
    tltest::writeFile(path, R"({"k": "v"})");
    std::filesystem::resize_file(path, size);
  };
}

INSTANTIATE_TEST_SUITE_P(
    Entries, UserDefaultsEntryTest,
    testing::Values(
        DefaultsEntryCase{"LinkToAJsonFileElsewhere", linkToFile(R"({"k": "v"})"), "v", ""},
        DefaultsEntryCase{"LinkToAFileElsewhereThatIsNotJson", linkToFile("build-host-7\n"), "",
                          "not a JSON object"},
        DefaultsEntryCase{"LinkToNothing", [](const auto& p, const auto& e) { linkTo(e, p); }, "",
                          "not a regular file"},
        DefaultsEntryCase{"NamedPipe",
                          [](const auto& p, const auto&) { ::mkfifo(p.c_str(), 0600); }, "",
                          "not a regular file"},
        DefaultsEntryCase{"FileThatIsNotAnObject",
                          [](const auto& p, const auto&) { tltest::writeFile(p, "[1, 2]"); }, "",
                          "not a JSON object"},
        // Sparse: the object, then zeros. Within the bound what follows the
        // object is ignored; past it nothing is read.
        DefaultsEntryCase{"ObjectThenZerosTo16MiB", objectThenZeros(16 << 20), "v", ""},
        DefaultsEntryCase{"ObjectThenZerosTo1GiB", objectThenZeros(1 << 30), "",
                          "larger than 16 MiB"}),
    [](const auto& info) { return info.param.name; });

TEST(UserDefaultsTest, StandardFollowsTheInstalledEnvironment) {
  tltest::TempDir dir;
  PlatformEnvironment env;
  env.bundleIdentifier = "com.example.app";
  env.userDefaultsFile = dir.file("a.json");
  PlatformEnvironment::install(env);
  UserDefaults::standard()->setString("k", "a");
  env.userDefaultsFile = dir.file("b.json");
  PlatformEnvironment::install(env);
  EXPECT_FALSE(UserDefaults::standard()->stringForKey("k"));
  PlatformEnvironment::install(PlatformEnvironment{});
}

}  // namespace
}  // namespace tembrolexinplatform
