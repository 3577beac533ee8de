// EVENT2 and HEARTBEAT as the README shows them: sequences registered after
// connectEngineDelegate but before addDelegate (so before the core has made
// its engines), then audio of EVENT2 words (the EchoMod plug-in, CH8) and of
// heartbeat words sent just now (the DB plug-in, CS4, counted by the day),
// through a custom recorder at 48 kHz. Both sequences must fire, and the
// heartbeat station must be dated now.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/decoder/codeword_layouts.h"
#include "core/decoder/decoder_library.h"
#include "platform/engines/tl_sync_engines.h"
#include "tests/platform/app/readme_app.h"
#include "tools/signal/signal_generator.h"

namespace tltest {
namespace {

using namespace tembrolexinplatform;

class Event2 : public TLEventEngine2Delegate {
 public:
  explicit Event2(Heard heard) : heard_(std::move(heard)) {}
  void onEventEngineEvent(const TLEventEngine2Event& e) override {
    heard_.add("event2:" + std::to_string(e.eventStatus()) + ":" + e.eventId() + ":" + e.event());
  }

 private:
  Heard heard_;  // a copy: shares the test's record and keeps it alive
};

class Heartbeat : public TLHeartbeatEngineDelegate {
 public:
  explicit Heartbeat(Heard heard) : heard_(std::move(heard)) {}
  void onHeartbeatEngineEvent(const TLHeartbeatEngineEvent& e) override {
    heard_.add("heartbeat:" + std::to_string(e.eventType()) + ":" + e.stationId() + ":" +
               e.event());
    if (e.eventType() == 0) syncedAt = e.millisecondsSinceEpoch();
  }
  int64_t syncedAt = -1;  // on the main queue, which the test runs

 private:
  Heard heard_;  // a copy: shares the test's record and keeps it alive
};

// `words` of the scheme in `config` at 48 kHz, a second of noise host
// before and after; `durationMs` the scheme's word length.
GeneratedSignal render(const std::string& config, const std::vector<int64_t>& words,
                       int64_t* durationMs) {
  std::unique_ptr<tembrolexinsdk::DecoderLibraryContext,
                  void (*)(tembrolexinsdk::DecoderLibraryContext*)>
      ctx(tembrolexinsdk::Tembrolexin_Init2(config.c_str(), 1), tembrolexinsdk::Tembrolexin_Close);
  if (!ctx) return {};
  const tembrolexinsdk::SchemeConfig* scheme = tembrolexinsdk::getEchoModParameters(ctx.get(), 0);
  *durationMs = tembrolexinsdk::schemeCodewordDurationMs(scheme);
  GeneratorOptions gen;
  gen.outputRateHz = 48000;
  gen.leadIn = gen.tail = tembrolexinsdk::rateCodeToHertz(scheme->rateCode);
  return generateSignal(*scheme, words, gen);
}

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TEST(ReadmeApp, SequencesRegisteredBeforeInitialisationFireOnWordsFromAudio) {
  const std::string data = TL_TEST_DATA_DIR;
  TempDir dir;
  installApp(dir, "com.example.sync");

  // EVENT2 words of track 7, offsets 0 and 1; heartbeat words of station 5
  // sent in the two word periods before the one before now.
  int64_t event2Ms = 0, heartbeatMs = 0;
  const std::vector<int64_t> trackWords = {tembrolexinsdk::createEventEngine2CodeWord(7, 0),
                                           tembrolexinsdk::createEventEngine2CodeWord(7, 1)};
  const GeneratedSignal track = render(data + "/scheme_t3_ch8.cfg", trackWords, &event2Ms);
  ASSERT_GT(event2Ms, 0);
  const int64_t now = nowMs();
  const int64_t dayStart = now / 86400000 * 86400000;
  const int64_t d = 3584;  // CS4: 28 symbols of 128 ms
  const int64_t last = (now - dayStart) / d - 2;
  ASSERT_GE(last, 1) << "too close to midnight";
  const std::vector<int64_t> stationWords = {
      tembrolexinsdk::createHeartBeat2CodeWord(5, static_cast<int32_t>(1900000 + last - 1)),
      tembrolexinsdk::createHeartBeat2CodeWord(5, static_cast<int32_t>(1900000 + last))};
  const GeneratedSignal station = render(data + "/scheme_t4_cs4.cfg", stationWords, &heartbeatMs);
  ASSERT_EQ(heartbeatMs, d);
  const int64_t firstEnd = dayStart + last * d;  // end of the first heartbeat word

  auto decoder = TLDecoder::sharedDecoder();
  decoder->configure({
      {"AudioDecoder_plugins", std::string("libEchoModPlugin.so, libDBPlugin.so")},
      {"tembrolexin_DB_CandidateStations", std::string(R"([{"id": 5, "lag": 0}])")},
  });
  Heard heard;
  auto heartbeat = std::make_shared<Heartbeat>(heard);
  auto event2 = std::dynamic_pointer_cast<TLEventEngine2>(
      decoder->connectEngineDelegate(std::make_shared<Event2>(heard), TLEngineType::kEvent2));
  auto heartbeatEngine = std::dynamic_pointer_cast<TLHeartbeatEngine>(
      decoder->connectEngineDelegate(heartbeat, TLEngineType::kHeartbeat));
  ASSERT_TRUE(event2 && heartbeatEngine);
  // Track 7: half a second after the end of its second word. Station 5: a
  // second after the end of its second word, in wall-clock seconds.
  ASSERT_TRUE(
      event2->registerEventSequenceWithID(7,
                                          R"({"events": [{"id": "on-track", "time": )" +
                                              std::to_string((2 * event2Ms + 500) / 1000.0) + "}]}",
                                          30));
  ASSERT_TRUE(heartbeatEngine->registerEventSequenceWithID(
      5,
      R"({"events": [{"id": "on-air", "time": )" + std::to_string((firstEnd + d + 1000) / 1000.0) +
          "}]}",
      30));
  decoder->addDelegate(std::make_shared<App>(heard));
  auto recorder =
      decoder->useCustomRecorderWithListener(std::make_shared<NoRecorderEvents>(), 48000);
  ASSERT_NE(recorder, nullptr);
  ASSERT_TRUE(startAndListen(*decoder, *recorder, heard)) << testing::PrintToString(heard.texts());

  // The plug-ins build their decoders as listening starts: half a second of
  // silence first. Then each recording at about its own pace.
  const std::vector<int16_t> silence(24000, 0);
  ASSERT_TRUE(feed(*recorder, silence.data(), 24000));
  for (const GeneratedSignal* signal : {&track, &station}) {
    for (std::size_t at = 0; at < signal->samples.size(); at += 4800) {
      const int32_t n =
          static_cast<int32_t>(std::min<std::size_t>(4800, signal->samples.size() - at));
      ASSERT_TRUE(feed(*recorder, signal->samples.data() + at, n)) << at;
    }
  }
  const auto fired = [&] {
    return heard.has("event2:2:7:on-track@main") && heard.has("heartbeat:2:5:on-air@main");
  };
  for (int i = 0; i < 300 && !fired(); ++i) feed(*recorder, silence.data(), 4800);
  EXPECT_TRUE(runMain(fired)) << testing::PrintToString(heard.texts());
  // Dated when it was sent: the sync names the end of the first word heard
  // (plus the time the signal took to arrive), within one word of it.
  EXPECT_GE(heartbeat->syncedAt, firstEnd);
  EXPECT_LE(heartbeat->syncedAt, firstEnd + 2 * d);
  EXPECT_TRUE(stopAndWait(*decoder, heard));
}

}  // namespace
}  // namespace tltest

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::fflush(nullptr);
  std::_Exit(result);
}
