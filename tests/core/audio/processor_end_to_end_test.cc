// A BaseAudioProcessor over the real decoding core, fed generator audio of
// a station's VorselT words at the scheme's rate on a fake clock that runs
// with the audio: the words come out as CodewordEventParams per engine
// reference, and the partial search reports the station as
// PartialCodewordSignal messages.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/audio/base_audio_processor.h"
#include "core/decoder/codeword_layouts.h"
#include "core/runtime/configuration_parameter.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/processor_params.h"
#include "schema/tembrolexin_types.h"
#include "tests/core/audio/recording_listener.h"
#include "tests/support/fake_clock.h"
#include "tools/signal/signal_generator.h"
#include "tools/signal/signal_impairments.h"

namespace tembrolexinsdk {
namespace {

constexpr int32_t kStation = 1234;

struct EndToEndCase {
  const char* name;
  const char* plugin;
  const char* config;
  SampleRate rate;
};

class ProcessorEndToEnd : public testing::TestWithParam<EndToEndCase> {};

TEST_P(ProcessorEndToEnd, WordsAndPartialMessages) {
  const EndToEndCase& c = GetParam();
  const int32_t hz = SampleRateToHz(c.rate);
  const std::string config = std::string(TL_TEST_DATA_DIR) + "/" + c.config;
  tltest::RecordingListener listener;
  tltest::FakeClock clock;

  // Learn the word duration d, then start the clock 4 s before word j0 of
  // the station's time line, whose words the audio carries from 4 s on.
  int64_t d = 0;
  {
    BaseAudioProcessor probe("tembrolexin_DB", c.rate, false, std::chrono::milliseconds(250), clock);
    probe.Initialise(&listener, hz, nullptr);
    probe.setDecoderDescriptors({std::make_shared<EchoDecoderDescriptor>(
        config, std::vector<CodewordRange>{}, false)});
    ASSERT_TRUE(listener.waitFor([&] { return !listener.statuses().empty(); }));
    ASSERT_EQ(probe.getSchemeInfo().size(), 1u);
    d = probe.getSchemeInfo()[0]->codewordDuration;
  }
  ASSERT_GT(d, 0);
  const int64_t origin = getVorselBaseTime() * 1000;
  const int64_t j0 = 40LL * 86400000 / d + 3;
  clock.setWallMicros((origin + j0 * d - 4000) * 1000);

  tltest::RecordingListener events;
  BaseAudioProcessor processor(c.plugin, c.rate, false, std::chrono::milliseconds(250), clock);
  processor.Initialise(&events, hz, nullptr);
  const int64_t first = createVorselTvCodeWord(kStation, 0);
  processor.setDecoderDescriptors({std::make_shared<EchoDecoderDescriptor>(
      config,
      std::vector<CodewordRange>{{first, first + 0x1fffff, "ANALYTICS"},
                                 {first, first + 0x1fffff, "CONTENT"}},
      false)});
  ConfigurationParameter<std::string> stations(R"([{"id": 1234, "lag": 0}])");
  const ConfigurationParameters configuration{{c.plugin + std::string("_CandidateStations"),
                                               &stations}};
  processor.Configure(&configuration, nullptr);

  std::vector<int64_t> words;
  for (int k = 0; k < 6; ++k) words.push_back(createVorselTvCodeWord(kStation, j0 + k));
  tltest::GeneratorOptions options;
  options.seed = 5;
  options.leadIn = hz * 4;
  options.tail = hz * 6;
  VorselTContext* ctx = TembrolexinVorselT_Init(config.c_str());
  ASSERT_NE(ctx, nullptr);
  tltest::GeneratedSignal signal =
      tltest::generateSignal(*getEchoModParameters(ctx->library, 0), words, options);
  TembrolexinVorselT_Close(ctx);
  tltest::addNoise(&signal.samples, hz, 0.0, tltest::NoiseKind::kWhite, 9, 100, hz / 2 - 100);

  // One buffer of 128 ms at a time; the clock moves on once it is processed.
  const size_t frames = static_cast<size_t>(hz) * 128 / 1000;
  size_t done = 0;
  for (size_t at = 0; at + frames <= signal.samples.size(); at += frames) {
    processor.ProcessBuffer(signal.samples.data() + at, static_cast<int>(frames),
                            clock.steadyNow());
    ++done;
    ASSERT_TRUE(events.waitFor([&] {
      size_t n = 0;
      events.withEvents([&](const auto& all) {
        for (const auto& e : all) n += ProcessingCompleteParams::Cast(e.get()) != nullptr;
      });
      return n >= done;
    }));
    clock.advance(std::chrono::milliseconds(128));
  }

  std::vector<int64_t> analytics, content;
  std::vector<std::string> partialRefs;
  events.withEvents([&](const auto& all) {
    for (const auto& e : all) {
      if (const auto* word = CodewordEventParams::Cast(e.get())) {
        if (word->msg < 0) continue;
        (word->engineRef == "ANALYTICS" ? analytics : content).push_back(word->msg);
      } else if (const auto* message = dynamic_cast<const ThriftParams*>(e.get())) {
        auto signal = ThriftParamsFactory::readThriftParams<PartialCodewordSignal>(*message);
        if (!signal) continue;
        EXPECT_EQ(signal->encoderID, kStation);
        EXPECT_EQ(signal->codewordDuration, d);
        partialRefs.push_back(signal->engineRef);
      }
    }
  });
  EXPECT_GE(analytics.size(), words.size() - 1);
  EXPECT_EQ(analytics, content);
  for (int64_t w : analytics) {
    EXPECT_NE(std::find(words.begin(), words.end(), w), words.end()) << w;
  }
  // The station's word 0 lies in both ranges: one message per engine, in
  // ascending order, for every publication.
  ASSERT_FALSE(partialRefs.empty());
  ASSERT_EQ(partialRefs.size() % 2, 0u);
  for (size_t i = 0; i < partialRefs.size(); i += 2) {
    EXPECT_EQ(partialRefs[i], "ANALYTICS");
    EXPECT_EQ(partialRefs[i + 1], "CONTENT");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, ProcessorEndToEnd,
    testing::Values(EndToEndCase{"VorselTAt8k", "tembrolexin_VorselT", "scheme_t1_vt.cfg",
                                 SampleRate_8000},
                    EndToEndCase{"VorselTWAt16k", "tembrolexin_VorselTW", "scheme_t2_vtw.cfg",
                                 SampleRate_16000}),
    [](const testing::TestParamInfo<EndToEndCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tembrolexinsdk
