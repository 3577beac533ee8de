// An app whose capture device does not open (TL_AUDIO_SOURCE names an ALSA
// device that is not there): the start fails and the configuration maps
// after it initialise the decoder again, but the app hears the failure once,
// naming the device and the reason, and never hears that the decoder listens.
#include <algorithm>
#include <chrono>
#include <cstdlib>

#include <gtest/gtest.h>

#include "core/runtime/messenger.h"
#include "tests/platform/e2e/e2e_app.h"

namespace tltest {
namespace {

using namespace tembrolexinplatform;

constexpr int kMarkerType = 99;

TEST(BadCaptureDevice, FailureReachesTheAppOnceAndListeningNever) {
  ::setenv("TL_AUDIO_SOURCE", "alsa:hw:97", 1);
  TempDir dir;
  installEnvironment(dir);
  tembrolexinsdk::Messenger* bus = tembrolexinsdk::getMessenger();
  BusProbe failures(*bus, {31, kMarkerType});
  Record app;
  auto decoder = TLDecoder::sharedDecoder();
  decoder->configure({{"first", std::string("1")}});
  decoder->addDelegate(std::make_shared<AppDelegate>(app));
  decoder->startDecoding();
  decoder->configure({{"second", std::string("2")}});
  decoder->configure({{"third", std::string("3")}});
  // The reason after the device's name is ALSA's own text.
  const std::string failure =
      "failed:Cannot get the sample rates of alsa:hw:97: Cannot open ALSA capture device hw:97: ";
  ASSERT_TRUE(app.waitForPrefix(failure)) << testing::PrintToString(app.texts());
  // Two markers behind everything above: what its handling sent is queued
  // before the second.
  // Waited for by number (the probe may hear a marker before send returns).
  for (std::size_t marker = 1; marker <= 2; ++marker) {
    bus->send("Test", std::make_unique<tembrolexinsdk::ThriftParams>(kMarkerType, 0, nullptr));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::size_t heard = 0;
    for (;;) {
      const std::vector<BusMessage> all = failures.messages();
      heard = static_cast<std::size_t>(std::count_if(
          all.begin(), all.end(), [](const BusMessage& m) { return m.type == kMarkerType; }));
      if (heard >= marker || std::chrono::steady_clock::now() > deadline) break;
      failures.waitFor(all.size() + 1);
    }
    ASSERT_EQ(heard, marker);
  }
  std::size_t reports = 0;
  for (const BusMessage& m : failures.messages()) reports += m.type == 31;
  EXPECT_EQ(reports, 1u);
  const std::vector<std::string> heard = app.texts();
  ASSERT_EQ(std::count_if(heard.begin(), heard.end(),
                          [](const std::string& t) { return t.rfind("failed:", 0) == 0; }),
            1);
  const auto failed = std::find_if(heard.begin(), heard.end(), [](const std::string& t) {
    return t.rfind("failed:", 0) == 0;
  });
  EXPECT_GT(failed->size(), failure.size());  // a reason follows the name
  EXPECT_FALSE(app.contains("started"));
  EXPECT_FALSE(decoder->isListening());
}

}  // namespace
}  // namespace tltest
