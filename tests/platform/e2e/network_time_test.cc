// Network time asked for by the library itself: processors that use network
// time (the built-in EchoMod one and an app's) ask as decoding starts; the
// app sets its servers only after both asked, and the decoder then sends one
// SNTP request to the loopback server, without updateNTP(), whose answer
// reaches the core once and the app's NTP receiver. Audio fed afterwards
// asks nothing more.
#include <algorithm>
#include <chrono>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/messenger.h"
#include "platform/messages/message_envelope.h"
#include "tests/platform/e2e/e2e_app.h"
#include "tests/support/udp_test_server.h"

namespace tltest {
namespace {

using namespace std::chrono_literals;
using namespace tembrolexinplatform;

class NtpRecord : public NTPReceiver {
 public:
  explicit NtpRecord(Record& r) : r_(r) {}
  void onNTPUpdate(const std::optional<NTPResult>& result) override {
    r_.add(result ? "ntp:" + std::to_string(result->transmitTime()) : "ntp:none");
  }

 private:
  Record r_;  // a copy: shares the test's record and keeps it alive
};

// How many of the core's status reports ask for network time (status 3).
std::size_t networkTimeAsks(BusProbe& statuses) {
  std::size_t n = 0;
  for (const BusMessage& m : statuses.messages()) {
    SDKStatusSignal s;
    n += parseMessage(m.bytes, s) && s.__isset.status && s.status == 3;
  }
  return n;
}

TEST(NetworkTime, DecodingAsksOnceWithoutUpdateNTP) {
  TempDir dir;
  installEnvironment(dir);
  constexpr uint64_t kServerMillis = 1796688000000;  // 2026-12-08 00:00:00 UTC
  UdpTestServer server([](const std::string& request) {
    return std::vector<std::string>{sntpReply(request, kServerMillis, kServerMillis)};
  });
  Dispatcher dispatcher(Dispatcher::Options{});
  dispatcher.mainQueue()->bindToCurrentThread();
  tembrolexinsdk::Messenger* bus = tembrolexinsdk::getMessenger();
  BusProbe statuses(*bus, {37});
  BusProbe ntpSignals(*bus, {34});

  TLDecoder::Options options;
  options.dispatcher = &dispatcher;
  options.ntpPort = server.port();
  auto decoder = TLDecoder::create(options);
  Record app, receiver;
  decoder->registerNTPReceiver(std::make_shared<NtpRecord>(receiver));
  // Beside the built-in plug-ins (of which EchoMod decodes at once), the
  // app's processor with network time on.
  auto processor = std::make_unique<tembrolexinsdk::BaseAudioProcessor>(
      "tembrolexin_Example", tembrolexinsdk::SampleRate_16000, true, 250ms);
  processor->setDecoderDescriptors({std::make_shared<tembrolexinsdk::EchoDecoderDescriptor>(
      testScheme(), std::vector<tembrolexinsdk::CodewordRange>{{0, INT64_MAX, "TRIGGER"}}, false)});
  std::vector<TLPlugin> plugins(1);
  plugins[0].audioProcessor = std::move(processor);
  decoder->initWithPlugins(std::move(plugins));
  decoder->addDelegate(std::make_shared<AppDelegate>(app));
  ASSERT_TRUE(app.waitForText("initialised"));
  auto recorder =
      decoder->useCustomRecorderWithListener(std::make_shared<NoRecorderEvents>(), 16000);
  ASSERT_NE(recorder, nullptr);
  decoder->startDecoding();
  ASSERT_TRUE(app.waitForText("started"));

  // Silence until both processors have decoded a block and asked.
  const std::vector<int16_t> silence(4000, 0);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (networkTimeAsks(statuses) < 2 && std::chrono::steady_clock::now() < deadline) {
    ASSERT_TRUE(feedAll(*recorder, silence));
    dispatcher.mainQueue()->runUntil([] { return false; }, 5ms);
  }
  ASSERT_EQ(networkTimeAsks(statuses), 2u);
  EXPECT_TRUE(server.requests().empty());  // no server to ask yet

  decoder->setNTPServers({"127.0.0.1"});
  ASSERT_TRUE(
      dispatcher.mainQueue()->runUntil([&] { return !ntpSignals.messages().empty(); }, 10s));
  EXPECT_EQ(receiver.waitFor(1),
            (std::vector<std::string>{"ntp:" + std::to_string(kServerMillis)}));
  NTPInfoSignal info;
  ASSERT_TRUE(parseMessage(ntpSignals.messages()[0].bytes, info));
  EXPECT_EQ(info.inTransmitTimestamp, static_cast<int64_t>(kServerMillis));

  // The reference is fresh: more audio asks nothing more.
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(feedAll(*recorder, silence));
  decoder->stopDecoding();
  ASSERT_TRUE(app.waitForText("stopped"));
  dispatcher.mainQueue()->drain();
  EXPECT_EQ(networkTimeAsks(statuses), 2u);
  EXPECT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(ntpSignals.messages().size(), 1u);
  EXPECT_EQ(receiver.texts().size(), 1u);
}

}  // namespace
}  // namespace tltest
