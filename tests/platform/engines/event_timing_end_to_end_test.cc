// A track followed from audio to the app's EVENT delegate on one fake clock
// whose up-time runs a minute ahead of where its steady clock would put it,
// as after a suspend: generator audio carrying a track code word and a sync
// code word goes through the decoding processor, each decoded word reaches
// the EVENT engine as the platform receives it (a CodewordSignal), and the
// timed events must fire when the up-time reaches them on the track's
// timeline, anchored at the moment the sync word was captured.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/audio/base_audio_processor.h"
#include "core/audio/echo_decoder_descriptor.h"
#include "core/decoder/decoder_library.h"
#include "core/runtime/message_transformer.h"
#include "platform/engines/tl_event_engine.h"
#include "platform/runtime/event_params.h"
#include "platform/runtime/safe_dispatch.h"
#include "platform/runtime/tl_thrift_params.h"
#include "tests/core/audio/recording_listener.h"
#include "tests/support/fake_clock.h"
#include "tools/signal/signal_generator.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;
using tembrolexinsdk::BaseAudioProcessor;
using tembrolexinsdk::CodewordEventParams;

constexpr int64_t kTrack = 1001;
constexpr int64_t kSync = 31744;  // marks one sync period plus the offset
constexpr int32_t kRate = 16000;
constexpr int64_t kBufferMs = 128;

// Each delegate call, with the up-time at which it was made.
class App : public TLEventEngineDelegate {
 public:
  explicit App(const tembrolexinsdk::Clock& clock) : clock_(clock) {}
  using V = const std::optional<std::string>&;
  void eventEngineDetectedTrack(V v, TLDate) override { add("track:" + v.value_or("nil")); }
  void eventEngineDetectedTimedEvent(V v, TLDate) override { add("timed:" + v.value_or("nil")); }
  void eventEngineSequenceEnded(V, TLDate) override { add("ended"); }
  void eventEngineMissedCodewords(V, TLDate) override { add("missed"); }
  void eventEngineSynchronised(V, TLDate) override { add("synced"); }
  void eventEngineInterrupted(V, TLDate) override { add("interrupted"); }

  std::vector<std::string> calls;
  std::vector<int64_t> upTimes;

 private:
  void add(std::string call) {
    calls.push_back(std::move(call));
    upTimes.push_back(clock_.upTimeMillis());
  }
  const tembrolexinsdk::Clock& clock_;
};

std::size_t completedBuffers(tltest::RecordingListener& listener) {
  std::size_t n = 0;
  listener.withEvents([&](const auto& all) {
    for (const auto& e : all) n += tembrolexinsdk::ProcessingCompleteParams::Cast(e.get()) != nullptr;
  });
  return n;
}

TEST(EventTimingEndToEndTest, TimedEventsFireOnTheUpTimeAfterASuspend) {
  tltest::FakeClock clock;
  clock.setUpTimeMillis(clock.upTimeMillis() + 60000);  // a minute asleep before listening
  Dispatcher dispatcher({&clock, TimerMode::kManual, 1, false});
  dispatcher.mainQueue()->bindToCurrentThread();
  auto app = std::make_shared<App>(clock);
  std::shared_ptr<TLEventEngine> engine = TLEventEngine::create(dispatcher, clock);
  engine->setDelegate(app);
  engine->start();

  const std::string config = std::string(TL_TEST_DATA_DIR) + "/scheme_t2_vtw.cfg";
  tltest::RecordingListener listener;
  BaseAudioProcessor processor("tembrolexin_EchoMod", tembrolexinsdk::SampleRate_16000, false,
                               250ms, clock);
  processor.Initialise(&listener, kRate, nullptr);
  processor.setDecoderDescriptors({std::make_shared<tembrolexinsdk::EchoDecoderDescriptor>(
      config, std::vector<tembrolexinsdk::CodewordRange>{{0, INT64_MAX, "EVENT"}}, false)});
  ASSERT_TRUE(listener.waitFor([&] { return processor.getSchemeInfo().size() == 1; }));
  const int64_t duration = processor.getSchemeInfo()[0]->codewordDuration;
  const int64_t offset = processor.getSchemeInfo()[0]->codewordOffset;
  ASSERT_GT(duration, 0);

  tltest::GeneratedSignal signal;
  {
    std::unique_ptr<tembrolexinsdk::DecoderLibraryContext,
                    void (*)(tembrolexinsdk::DecoderLibraryContext*)>
        ctx(tembrolexinsdk::Tembrolexin_Init2(config.c_str(), 1), tembrolexinsdk::Tembrolexin_Close);
    ASSERT_NE(ctx, nullptr);
    tltest::GeneratorOptions options;
    options.leadIn = options.tail = kRate;
    signal = tltest::generateSignal(*tembrolexinsdk::getEchoModParameters(ctx.get(), 0),
                                    {kTrack, kSync}, options);
  }
  ASSERT_EQ(signal.words.size(), 2u);

  // The sync word, captured when its last sample was, marks S seconds on the
  // timeline; the two timed events lie 3 and 5 s beyond where the timeline
  // stands when the audio has ended.
  const double syncTime = 2.0 * static_cast<double>(duration) / 1000.0 + offset / 1000.0;
  const int64_t audioMs = static_cast<int64_t>(signal.samples.size()) * 1000 / kRate;
  const int64_t syncCapturedMs = (signal.words[1].lastSample + 1) * 1000 / kRate;
  const double soon = syncTime + static_cast<double>(audioMs - syncCapturedMs) / 1000.0 + 3.0;
  const double later = soon + 2.0;
  char events[160];
  std::snprintf(events, sizeof events,
                R"({"events": [{"id": "soon", "time": %.3f}, {"id": "later", "time": %.3f}]})",
                soon, later);
  ASSERT_TRUE(engine->registerEventSequence(kTrack, events, 60));

  // Buffers of 128 ms in real time on the fake clock; each decoded word goes
  // on to the engine as the platform receives it.
  const int64_t startUpTime = clock.upTimeMillis();
  const std::size_t frames = kRate * kBufferMs / 1000;
  std::size_t seen = 0;
  std::size_t done = 0;
  for (std::size_t at = 0; at + frames <= signal.samples.size(); at += frames) {
    processor.ProcessBuffer(signal.samples.data() + at, static_cast<int>(frames), clock.steadyNow());
    ++done;
    ASSERT_TRUE(listener.waitFor([&] { return completedBuffers(listener) >= done; }));
    std::vector<std::unique_ptr<tembrolexinsdk::ThriftParams>> words;
    listener.withEvents([&](const auto& all) {
      for (; seen < all.size(); ++seen) {
        const auto* word = CodewordEventParams::Cast(all[seen].get());
        if (word != nullptr && word->msg >= 0) {
          words.push_back(tembrolexinsdk::MessageTransformer::transform("tembrolexin_EchoMod", word));
        }
      }
    });
    for (const auto& message : words) {
      const std::vector<signed char>& bytes = message->getData();
      const TLThriftParams envelope(message->getMsgType(), std::string(bytes.begin(), bytes.end()));
      const std::unique_ptr<CodewordSignal> cw = envelope.newMessageOfType<CodewordSignal>();
      ASSERT_NE(cw, nullptr);
      engine->processEventParams(
          std::make_shared<TLCodewordEventParams>(TLCodewordEventParams::fromCodewordSignal(*cw)),
          "tembrolexin_EchoMod");
    }
    dispatcher.mainQueue()->drain();
    clock.advance(std::chrono::milliseconds(kBufferMs));
  }
  ASSERT_EQ(app->calls, (std::vector<std::string>{"track:" + std::to_string(kTrack), "synced"}));

  // The timeline is anchored at the up-time at which the sync word was
  // captured.
  const auto upTimeOf = [&](double timeline) {
    return startUpTime + syncCapturedMs + static_cast<int64_t>((timeline - syncTime) * 1000.0);
  };
  const auto called = [&](const std::string& call) {
    return std::find(app->calls.begin(), app->calls.end(), call) != app->calls.end();
  };
  const auto fires = [&](const std::string& id, int64_t at) {
    // Not yet 300 ms before its moment: the timing thread has looked at the
    // clock again without firing.
    clock.advance(std::chrono::milliseconds(at - 300 - clock.upTimeMillis()));
    EXPECT_TRUE(clock.awaitWaits(clock.waitCount() + 2));
    dispatcher.mainQueue()->drain();
    EXPECT_FALSE(called("timed:" + id));
    // Fired within 300 ms after it.
    clock.advance(600ms);
    return dispatcher.mainQueue()->runUntil([&] { return called("timed:" + id); }, 5s);
  };
  EXPECT_TRUE(fires("soon", upTimeOf(soon)));
  EXPECT_TRUE(fires("later", upTimeOf(later)));
  EXPECT_TRUE(dispatcher.mainQueue()->runUntil([&] { return called("ended"); }, 5s));
  EXPECT_EQ(app->calls, (std::vector<std::string>{"track:" + std::to_string(kTrack), "synced",
                                                   "timed:soon", "timed:later", "ended"}));
  engine->stop();
}

}  // namespace
}  // namespace tembrolexinplatform
