#include "core/audio/plugin_loader.h"

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/audio/base_audio_processor.h"
#include "core/audio/default_descriptors.h"
#include "core/audio/hybrid_audio_processor.h"
#include "core/runtime/configuration_parameter.h"
#include "core/decoder/vorselt_decoder.h"
#include "tests/core/audio/fake_decoder_core.h"
#include "tests/core/audio/recording_listener.h"
#include "tests/support/fake_clock.h"

namespace tembrolexinsdk {
namespace {

class FakeCacheProcessor : public IProcessor {
 public:
  const std::string& GetName() const override { return name_; }
  const std::string& GetVersion() const override { return name_; }
  void Initialise(IProcessorListener*, int, const NTPInfo*) override {}
  void Configure(const ConfigurationParameters*, const NTPInfo*) override {}
  void SetFilePath(const std::string&) override {}

 private:
  std::string name_ = "tembrolexin_CacheProcessor";
};

std::vector<std::string> Names(const std::vector<std::unique_ptr<IAudioProcessor>>& list) {
  std::vector<std::string> names;
  for (const auto& p : list) names.push_back(p->GetName());
  return names;
}

TEST(PluginLoaderTest, MixedListGivesEachKindItsProcessors) {
  PluginRegistry::instance().registerProcessor(
      "libCacheEngine.so", [] { return std::make_unique<FakeCacheProcessor>(); });
  auto loader = createPluginLoader();
  EXPECT_EQ(loader->GetName(), "IOSPluginLoader");
  EXPECT_TRUE(loader->hasValidLibraryPath());
  const std::vector<std::string> names = {"libVorselTPlugin.so", "libCacheEngine.so",
                                          "libHybridPlugin.so"};
  const auto audio = loader->loadAudioPlugins("/ignored", names);
  EXPECT_EQ(Names(audio), (std::vector<std::string>{"tembrolexin_VorselT", "tembrolexin_Hybrid"}));
  const auto others = loader->loadProcessorPlugins("/ignored", names);
  ASSERT_EQ(others.size(), 1u);
  EXPECT_EQ(others[0]->GetName(), "tembrolexin_CacheProcessor");
  PluginRegistry::instance().unregister("libCacheEngine.so");
  EXPECT_TRUE(loader->loadProcessorPlugins("", names).empty());
}

TEST(PluginLoaderTest, NamesMatchWholeAndExactly) {
  auto loader = createPluginLoader();
  EXPECT_TRUE(loader->loadAudioPlugins("", {"libvorseltplugin.so", "libVorselTPlugin",
                                            "libVorselTPlugin.so.1", ""})
                  .empty());
  EXPECT_TRUE(loader->loadAudioPlugins("", {}).empty());
  const auto twice =
      loader->loadAudioPlugins("", {"libDBPlugin.so", "libDBPlugin.so", "libEchoModPlugin.so",
                                    "libVorselTWPlugin.so"});
  EXPECT_EQ(Names(twice), (std::vector<std::string>{"tembrolexin_DB", "tembrolexin_DB",
                                                    "tembrolexin_EchoMod",
                                                    "tembrolexin_VorselTW"}));
  const SampleRate rates[] = {SampleRate_16000, SampleRate_16000, SampleRate_8000,
                              SampleRate_16000};
  for (size_t i = 0; i < twice.size(); ++i) {
    EXPECT_EQ(twice[i]->GetPreferredSampleRate(), rates[i]) << i;
  }
}

struct FilterCase {
  const char* shortName;
  bool general;
  bool vorselT;
  bool vorselTW;
  bool hybrid;
};

class SchemeFilterTest : public testing::TestWithParam<FilterCase> {};

TEST_P(SchemeFilterTest, ByShortName) {
  EncodingSchemeInfo info{0, "", GetParam().shortName, 0, 0};
  EXPECT_EQ(pluginloader::acceptsGeneralSchemes(info), GetParam().general);
  EXPECT_EQ(pluginloader::acceptsVorselT(info), GetParam().vorselT);
  EXPECT_EQ(pluginloader::acceptsVorselTW(info), GetParam().vorselTW);
  EXPECT_EQ(pluginloader::acceptsHybridSchemes(info), GetParam().hybrid);
}

INSTANTIATE_TEST_SUITE_P(
    ShortNames, SchemeFilterTest,
    testing::Values(FilterCase{"CH4", true, false, false, false},
                    FilterCase{"CA9", false, false, false, true},
                    FilterCase{"CA4", false, false, false, true},
                    FilterCase{"VT", false, true, false, false},
                    FilterCase{"VTW", false, false, true, false},
                    FilterCase{"vt", true, false, false, false},
                    FilterCase{"C", true, false, false, false}),
    [](const testing::TestParamInfo<FilterCase>& info) {
      return std::string(info.param.shortName);
    });

// Every default descriptor is a configuration that the decoding core takes,
// at the plug-in's rate, for a scheme that the plug-in's filter accepts.
TEST(DefaultDescriptorsTest, MatchTheirPlugins) {
  struct Row {
    const char* processor;
    int32_t hz;
    bool (*filter)(const EncodingSchemeInfo&);
    const char* engine;
  };
  const Row rows[] = {
      {"tembrolexin_VorselT", 8000, pluginloader::acceptsVorselT, "ANALYTICS"},
      {"tembrolexin_VorselTW", 16000, pluginloader::acceptsVorselTW, "ANALYTICS"},
      {"tembrolexin_EchoMod", 8000, pluginloader::acceptsGeneralSchemes, "EVENT2"},
      {"tembrolexin_DB", 16000, pluginloader::acceptsGeneralSchemes, "HEARTBEAT"},
  };
  for (const Row& row : rows) {
    const DecoderDescriptorList list = defaultDecoderDescriptors(row.processor);
    ASSERT_EQ(list.size(), 1u) << row.processor;
    EXPECT_EQ(list[0]->getEngineRefs(), std::set<std::string>{row.engine}) << row.processor;
    VorselTContext* ctx = TembrolexinVorselT_Init(list[0]->getName().c_str());
    ASSERT_NE(ctx, nullptr) << row.processor;
    EncodingSchemeInfo info{};
    TembrolexinVorselT_GetSchemeInfo(ctx, 0, &info);
    EXPECT_EQ(TembrolexinVorselT_FsIn(ctx), row.hz) << row.processor;
    EXPECT_TRUE(row.filter(info)) << row.processor;
    TembrolexinVorselT_Close(ctx);
  }
  EXPECT_TRUE(defaultDecoderDescriptors("tembrolexin_Hybrid").empty());
}

struct DescriptorText {
  const char* name;
  std::string json;
  // What is wrong with the text, "" for a list that is read.
  std::string problem;
};

void PrintTo(const DescriptorText& t, std::ostream* os) { *os << t.name; }

class DescriptorTextTest : public testing::TestWithParam<DescriptorText> {};

TEST_P(DescriptorTextTest, Parses) {
  DecoderDescriptorList list = defaultDecoderDescriptors("tembrolexin_DB");
  std::string problem = "untouched";
  const bool ok = parseDecoderDescriptors(GetParam().json, list, &problem);
  const std::string& expected = GetParam().problem;
  EXPECT_EQ(ok, expected.empty());
  if (!ok) {
    EXPECT_EQ(problem, expected);
    EXPECT_EQ(list.size(), 1u);  // untouched
    return;
  }
  EXPECT_EQ(problem, "untouched");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]->getName(), "a.cfg");
  EXPECT_EQ(list[0]->getCWRanges(),
            (std::vector<CodewordRange>{{1, 2, "EVENT2"}, {5000000000, 6000000000, "X"}}));
  EXPECT_TRUE(list[0]->doTransformCodewords());
  EXPECT_TRUE(list[1]->getCWRanges().empty());
  EXPECT_FALSE(list[1]->doTransformCodewords());
}

const char* const kRangeShape = R"({"low": integer, "high": integer, "engine": text})";
const std::string kFullList = R"([{"config": "a.cfg", "transform": true, "ranges": [
                                   {"low": 1, "high": 2, "engine": "EVENT2"},
                                   {"low": 5000000000, "high": 6000000000, "engine": "X"}]},
                                 {"config": "b.cfg"}])";

INSTANTIATE_TEST_SUITE_P(
    Texts, DescriptorTextTest,
    testing::Values(
        DescriptorText{"Full", kFullList, ""},
        DescriptorText{"FullThenComments", kFullList + " // the app's note\n/* end */\n", ""},
        // More than white space after the list: the byte where it starts
        // (the blank behind the list, then the word).
        DescriptorText{"FullThenAWord", kFullList + " hello",
                       "not JSON: Extra non-whitespace after JSON value. (byte " +
                           std::to_string(kFullList.size() + 1) + ")"},
        DescriptorText{"TwoListsBackToBack", "[][]",
                       "not JSON: Extra non-whitespace after JSON value. (byte 2)"},
        // The decoding core would open "a.cfg": refused, the bytes shown.
        DescriptorText{"EscapedNulInConfig", R"([{"config": "a.cfg\u0000b.cfg"}])",
                       R"("config" of descriptor 1 holds a NUL byte: "a.cfg\x00b.cfg")"},
        DescriptorText{"RawNulInConfig", std::string("[{\"config\": \"a.cfg\0\xE9\"}]", 23),
                       R"("config" of descriptor 1 holds a NUL byte: "a.cfg\x00\xE9")"},
        // Not JSON: the reader's complaint and the byte where it stands.
        DescriptorText{"NotJson", "[{", "not JSON: Missing '}' or object member name (byte 2)"},
        DescriptorText{"NestedTooDeep", std::string(2000, '['),
                       "not JSON: Exceeded stackLimit in readValue()."},
        DescriptorText{"NotAList", R"({"config": "a"})", "not a list"},
        DescriptorText{"NumberElement", "[1]", "descriptor 1 is not an object"},
        DescriptorText{"NoConfig", R"([{"ranges": []}])", R"(descriptor 1 has no "config")"},
        DescriptorText{"NumberConfig", R"([{"config": 5}])",
                       R"("config" of descriptor 1 is not a text)"},
        DescriptorText{"RangesObject", R"([{"config": "a", "ranges": {}}])",
                       R"("ranges" of descriptor 1 is not a list)"},
        DescriptorText{"TextBound", R"([{"config": "a", "ranges": [{"low": "1", "high": 2,
                                       "engine": "E"}]}])",
                       std::string("range 1 of descriptor 1 is not ") + kRangeShape},
        DescriptorText{"NoEngine",
                       R"([{"config": "a", "ranges": [{"low": 1, "high": 2, "engine": "E"},
                                                       {"low": 1, "high": 2}]}])",
                       std::string("range 2 of descriptor 1 is not ") + kRangeShape},
        DescriptorText{"TransformText", R"([{"config": "a"}, {"config": "b", "transform": "yes"}])",
                       R"("transform" of descriptor 2 is not true or false)"}),
    [](const testing::TestParamInfo<DescriptorText>& info) { return std::string(info.param.name); });

TEST(DescriptorKeyTest, OnlyANewTextRebuilds) {
  FakeCore::get().reset();
  {
    std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
    FakeCore::get().templates["a.cfg"] = FakeDecoder();
  }
  tltest::FakeClock clock;
  tltest::RecordingListener listener;
  BaseAudioProcessor processor("tembrolexin_DB", SampleRate_8000, false,
                               std::chrono::milliseconds(250), clock, FakeFunctions());
  processor.Initialise(&listener, 8000, nullptr);
  ConfigurationParameter<std::string> text(R"([{"config": "a.cfg"}])");
  ConfigurationParameter<std::string> bad("[");
  const ConfigurationParameters first{{"tembrolexin_DB_DecoderDescriptors", &text}};
  const ConfigurationParameters invalid{{"tembrolexin_DB_DecoderDescriptors", &bad}};
  processor.Configure(&first, nullptr);
  ASSERT_TRUE(listener.waitFor([&] { return listener.statuses().size() == 1; }));
  processor.Configure(&first, nullptr);    // unchanged
  processor.Configure(&invalid, nullptr);  // logged, kept
  processor.ProcessBuffer(nullptr, 0, clock.steadyNow());
  std::vector<short> samples(64, 1);
  processor.ProcessBuffer(samples.data(), 64, clock.steadyNow());
  ASSERT_TRUE(listener.waitForEvents(1));
  std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
  EXPECT_EQ(FakeCore::get().inits, 1);
}

}  // namespace
}  // namespace tembrolexinsdk
