// The whole road of analytics: generator audio fed through an app-fed
// recorder into the decoder, decoded by a real processor, recorded by the
// analytics engine, and handed in to a loopback upload service on request.
#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/analytics/analytics_engine.h"
#include "core/audio/base_audio_processor.h"
#include "core/audio/custom_recorder.h"
#include "core/control/audio_decoder.h"
#include "core/decoder/codeword_layouts.h"
#include "core/decoder/decoder_library.h"
#include "core/runtime/configuration_parameter.h"
#include "core/runtime/logger.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/messenger.h"
#include "tests/support/fake_clock.h"
#include "tests/support/http_test_server.h"
#include "tests/support/recording_messenger.h"
#include "tests/support/temp_dir.h"
#include "tools/signal/signal_generator.h"

namespace tembrolexinsdk {
namespace {

// The messages of `type` sent so far that pass `keep`, once there are `count`
// of them (20 s at most).
std::vector<tltest::RecordingMessenger::Sent> awaitSent(
    const tltest::RecordingMessenger& bus, int type, std::size_t count,
    const std::function<bool(const ThriftParams&)>& keep) {
  std::vector<tltest::RecordingMessenger::Sent> out;
  for (int i = 0; i < 2000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    out.clear();
    for (const auto& s : bus.sent()) {
      if (s.params->getMsgType() == type && keep(*s.params)) out.push_back(s);
    }
    if (out.size() >= count) break;
  }
  return out;
}

TEST(AnalyticsEndToEndTest, DecodedWordsReachTheUploadedRecordFile) {
  Logger::getInstance()->registerMessenger(getMessenger());  // log lines stay off `bus`
  tltest::TempDir dir;
  tltest::FakeClock clock;  // names the record file
  tltest::HttpTestServer server;
  const std::string file = "sdk_dev-1_2026-12-06_00.00.00_0.json";
  server.route("/up/" + file, tltest::replyWith(200, server.url("/put/" + file)));
  server.route("PUT", "/put/" + file, tltest::replyWith(200));
  AnalyticsEngine::Environment analytics;
  analytics.clock = &clock;
  registerAnalyticsEngineType(analytics);

  // Three words at 16 kHz, with a second of host before and after.
  const std::string config = std::string(TL_TEST_DATA_DIR) + "/scheme_t2_vtw.cfg";
  std::unique_ptr<DecoderLibraryContext, void (*)(DecoderLibraryContext*)> ctx(
      Tembrolexin_Init2(config.c_str(), 1), Tembrolexin_Close);
  ASSERT_NE(ctx, nullptr);
  const std::vector<int64_t> words = {createVorselTvCodeWord(4242, 700),
                                      createVorselTvCodeWord(4242, 701),
                                      createVorselTvCodeWord(17, 5)};
  tltest::GeneratorOptions options;
  options.leadIn = options.tail = 16000;
  const tltest::GeneratedSignal signal =
      tltest::generateSignal(*getEchoModParameters(ctx.get(), 0), words, options);

  tltest::RecordingMessenger bus;
  AudioDecoderEnvironment environment;
  environment.loadAudioPlugins = [&](const std::string&, const std::vector<std::string>&) {
    auto made = std::make_unique<BaseAudioProcessor>("tembrolexin_EchoMod", SampleRate_16000,
                                                     false, std::chrono::milliseconds(1000));
    made->setDecoderDescriptors({std::make_shared<EchoDecoderDescriptor>(
        config, std::vector<CodewordRange>{{0, INT64_MAX, "CONTENT"}}, false)});
    std::vector<std::unique_ptr<IAudioProcessor>> out;
    out.push_back(std::move(made));
    return out;
  };
  environment.sampleCheckTiming = TimingMode::kManual;
  {
    AudioDecoder decoder(&bus, environment);
    auto owned = std::make_unique<CustomRecorder>(16000, &bus);
    CustomRecorder* recorder = owned.get();
    decoder.useCustomRecorder(std::move(owned));
    ConfigurationMap map;
    const ConfigurationParameter<std::string> engines(
        "[{\"type\":\"SDKANALYTICS\",\"url\":\"" + server.url("/up") + "\"}]");
    map.set(AudioDecoder::kEnginesKey, &engines);
    decoder.configure(&map);
    decoder.setAvailableSampleRates(SampleRate_16000);
    decoder.setFilePath(dir.path());
    decoder.setDeviceId(7);
    ASSERT_TRUE(decoder.setIdentity("demoapp", "dev-1"));
    decoder.startDecoding(false);

    // As fast as the decoder takes it: the app's call waits for free buffers.
    const int chunk = static_cast<int>(recorder->getMaximumBufferSize() / 2);
    ASSERT_GT(chunk, 0);
    for (std::size_t at = 0; at < signal.samples.size(); at += chunk) {
      const int n = static_cast<int>(std::min<std::size_t>(chunk, signal.samples.size() - at));
      ASSERT_EQ(recorder->provideSamples(signal.samples.data() + at, n), 0);
    }
    const auto isWord = [](const ThriftParams& p) {  // not a quality report (-1)
      return ThriftParamsFactory::readThriftParams<CodewordSignal>(p)->msg >= 0;
    };
    ASSERT_EQ(awaitSent(bus, 9, words.size(), isWord).size(), words.size());
    decoder.stopDecoding();

    BackgroundData handIn;
    handIn.status = BackgroundDataStatus::Start;
    bus.sendSync("Platform", ThriftParamsFactory::createThriftParams(handIn));
    const auto replies =
        awaitSent(bus, 13, 2, [](const ThriftParams&) { return true; });  // ours and the reply
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1].senderName, "AnalyticsEngine");
    const auto& reply = replies[1].params->getData();
    EXPECT_EQ(std::string(reply.begin(), reply.end()),
              std::string("\x08\x00\x01\x00\x00\x00\x00\x08\x00\x02\x00\x00\x00\x01\x00", 15));
  }
  registerAnalyticsEngineType();

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].method, "PUT");
  // One record per line: what they are, and the words in the order decoded.
  std::vector<std::string> ids;
  std::vector<int64_t> decoded;
  std::istringstream lines(requests[1].body);
  for (std::string line; std::getline(lines, line);) {
    Json::Value record;
    ASSERT_TRUE(Json::Reader().parse(line, record)) << line;
    ids.push_back(record["id"].asString() + record.get("status", "").asString());
    if (record["id"] == "CODEWORD") decoded.push_back(record["msg"].asInt64());
    if (record["id"] == "FOOTER") {
      EXPECT_EQ(record["records"], 6) << line;
    }
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"HEADER", "DECODINGSTATUSstart", "CODEWORD", "CODEWORD",
                                           "CODEWORD", "DECODINGSTATUSpause",
                                           "DECODINGSTATUSstop", "FOOTER"}));
  EXPECT_EQ(decoded, words);
}

}  // namespace
}  // namespace tembrolexinsdk
