// The README's road from audio to the app's TRIGGER delegate, taken as an
// app takes it: the shared decoder with the built-in plug-ins, the two
// configuration keys that send the VorselTW plug-in's words to TRIGGER and
// give it its candidate stations, a custom recorder fed a 48 kHz recording
// of three words of station 4242 in noise, and the delegate on the main
// queue, which this thread runs. With the default engines, the run leaves
// its analytics record file, with every word, in the documents folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/decoder/codeword_layouts.h"
#include "core/decoder/decoder_library.h"
#include "platform/engines/tl_trigger_engine.h"
#include "tests/platform/app/readme_app.h"
#include "tools/signal/signal_generator.h"
#include "tools/signal/signal_impairments.h"

namespace tltest {
namespace {

using namespace tembrolexinplatform;

class Trigger : public TLTriggerReceivedDelegate, public TLCodewordReceivedDelegate {
 public:
  explicit Trigger(Heard heard) : heard_(std::move(heard)) {}
  void triggerReceived(const TLTrigger& t) override {
    heard_.add("trigger:" + std::to_string(t.type()) + ":" + t.triggerId() + ":" + t.name() + ":" +
               std::to_string(t.offset()));
  }
  void codewordReceived(int64_t codeword, TLDate) override { heard_.word(codeword); }

 private:
  Heard heard_;  // a copy: shares the test's record and keeps it alive
};

// Words 700..702 of station 4242 at 48 kHz, 10 dB SNR, a second of noise
// before and after.
GeneratedSignal threeWords(const std::string& scheme, std::vector<int64_t>* sent) {
  std::unique_ptr<tembrolexinsdk::DecoderLibraryContext,
                  void (*)(tembrolexinsdk::DecoderLibraryContext*)>
      ctx(tembrolexinsdk::Tembrolexin_Init2(scheme.c_str(), 1), tembrolexinsdk::Tembrolexin_Close);
  if (!ctx) return {};
  for (int counter = 700; counter < 703; ++counter) {
    sent->push_back(tembrolexinsdk::createVorselTvCodeWord(4242, counter));
  }
  GeneratorOptions gen;
  gen.outputRateHz = 48000;
  gen.leadIn = gen.tail = 16000;
  GeneratedSignal signal =
      generateSignal(*tembrolexinsdk::getEchoModParameters(ctx.get(), 0), *sent, gen);
  addNoise(&signal.samples, 48000, 10, NoiseKind::kWhite, 5, 100, 23900);
  return signal;
}

// The lines of every analytics record file in `folder`.
std::vector<std::string> recordLines(const std::string& folder) {
  std::vector<std::string> lines;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("sdk_", 0) != 0) continue;
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  return lines;
}

TEST(ReadmeApp, WordsOfTheBuiltInVorselTWPluginReachTheTriggerDelegate) {
  const std::string scheme = std::string(TL_TEST_DATA_DIR) + "/scheme_t2_vtw.cfg";
  TempDir dir;
  const PlatformEnvironment env = installApp(dir, "com.example.readme");

  // As the README shows it, before the decoder initialises: VorselTW words
  // (19-bit station, 21-bit counter) to TRIGGER, and to ANALYTICS, through
  // which the candidate stations reach the plug-in's decoder; then the
  // station it listens for.
  auto decoder = TLDecoder::sharedDecoder();
  decoder->configure({
      {"tembrolexin_VorselTW_DecoderDescriptors",
       std::string(R"([{"config": ")" + scheme + R"(",
                        "ranges": [{"low": 0, "high": 1099511627775, "engine": "TRIGGER"},
                                   {"low": 0, "high": 1099511627775, "engine": "ANALYTICS"}]}])")},
      {"tembrolexin_VorselTW_CandidateStations", std::string(R"([{"id": 4242, "lag": 0}])")},
  });
  Heard heard;
  ASSERT_NE(decoder->connectEngineDelegate(std::make_shared<Trigger>(heard), TLEngineType::kTrigger),
            nullptr);
  decoder->addDelegate(std::make_shared<App>(heard));
  auto recorder = decoder->useCustomRecorderWithListener(std::make_shared<NoRecorderEvents>(), 48000);
  ASSERT_NE(recorder, nullptr);

  std::vector<int64_t> sent;
  const GeneratedSignal signal = threeWords(scheme, &sent);
  ASSERT_EQ(signal.rateHz, 48000);
  // Silence until the decoder listens, then the recording: from then on
  // nothing is dropped.
  ASSERT_TRUE(startAndListen(*decoder, *recorder, heard)) << testing::PrintToString(heard.texts());
  for (std::size_t at = 0; at < signal.samples.size(); at += 4800) {
    const int32_t n = static_cast<int32_t>(std::min<std::size_t>(4800, signal.samples.size() - at));
    ASSERT_TRUE(feed(*recorder, signal.samples.data() + at, n)) << at;
  }
  EXPECT_TRUE(runMain([&] { return heard.words().size() >= sent.size(); }))
      << testing::PrintToString(heard.texts());
  EXPECT_EQ(heard.words(), std::set<int64_t>(sent.begin(), sent.end()));
  // Each word: the trigger (type 0, the word in decimal, "codeword", the
  // scheme's 2560 ms per word), then the plain code word, both on the main
  // queue.
  const std::vector<std::string> texts = heard.texts();
  for (int64_t word : sent) {
    const std::string trigger = "trigger:0:" + std::to_string(word) + ":codeword:2560@main";
    const auto at = std::find(texts.begin(), texts.end(), trigger);
    ASSERT_NE(at, texts.end()) << trigger;
    ASSERT_NE(at + 1, texts.end());
    EXPECT_EQ(*(at + 1), "codeword:" + std::to_string(word) + "@main");
  }
  for (const std::string& t : texts) EXPECT_EQ(t.rfind("failed:", 0), std::string::npos) << t;

  EXPECT_TRUE(stopAndWait(*decoder, heard));

  // The analytics record file of the run, which no service took (the
  // default address is loopback): a header with the device identity and
  // the app, and a record of every word.
  const std::string folder = env.documentsFolder + "/TL/Analytics";
  std::vector<std::string> lines;
  ASSERT_TRUE(runMain([&] {
    lines = recordLines(folder);
    return std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
             return l.find("\"CODEWORD\"") != std::string::npos;
           }) >= 3;
  })) << testing::PrintToString(lines);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines[0].find("\"udid\":\"" + decoder->udid() + "\""), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("\"app_id\":\"com.example.readme\""), std::string::npos) << lines[0];
  // One CODEWORD record per word, though the descriptor routes each word to
  // TRIGGER and to ANALYTICS.
  for (int64_t word : sent) {
    const std::string msg = "\"msg\":" + std::to_string(word) + ",";
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.find(msg) != std::string::npos; }),
              1)
        << msg << testing::PrintToString(lines);
  }
}

}  // namespace
}  // namespace tltest

// The process-wide decoder and its threads live until the process ends;
// ending it with the test's result, without static destructors, keeps those
// threads from meeting destroyed globals on the way out.
int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::fflush(nullptr);
  std::_Exit(result);
}
