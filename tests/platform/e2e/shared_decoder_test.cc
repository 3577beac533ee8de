// The shared decoder on the process-wide bus: told when another decoder's
// release stops that bus under it, and made once even while the app's log
// delegate asks for it from a core line on the bus thread or from a line of
// its own making. Each scenario runs in a child process of its own, since
// the shared decoder is made once per process and a stopped bus stays so;
// the child shuts the library down before it ends, as its exit would, so
// that no thread of the library's is left unjoined.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "core/runtime/messenger.h"
#include "platform/messages/message_envelope.h"
#include "platform/runtime/messenger.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/e2e/e2e_app.h"
#include "tests/support/child_process.h"
#include "tests/support/hang_guard.h"

namespace tltest {
namespace {

using namespace tembrolexinplatform;
using namespace std::chrono_literals;

// The library's Error lines, as "<sender>: <text>".
class ErrorLines : public TLLoggerDelegate {
 public:
  explicit ErrorLines(Record& r) : r_(r) {}
  void logfromSender(const std::string& sender, const TLLogParams& params) override {
    if (params.level == 4) r_.add(sender + ": " + params.message);
  }

 private:
  Record r_;  // a copy: shares the test's record and keeps it alive
};

// How the shared decoder, listening, loses the process-wide bus to another
// decoder made on it.
enum class Other {
  kMadeAndKept,      // another decoder is made on the bus and kept
  kMadeAndReleased,  // ... and released at once, which stops the bus too
  kMadeBeforeAndReleased,  // one made before the shared decoder is released
};

struct BusLossCase {
  const char* name;
  Other other;
  const char* told;  // what the shared decoder's delegates hear, in one text
};

void PrintTo(const BusLossCase& c, std::ostream* os) { *os << c.name; }

class SharedDecoderBusLoss : public ::testing::TestWithParam<BusLossCase> {};

// Every failedWithError the shared decoder's delegates heard, whether they
// heard stoppedListening, and each Error line saying why it went deaf.
TEST_P(SharedDecoderBusLoss, ToldOnceWhyItHearsNothingMore) {
  const Other other = GetParam().other;
  const std::string seen = inChild([other] {
    HangGuard guard("the shared decoder told it lost its bus", 90s);
    TempDir dir;
    installEnvironment(dir);
    Record app, errors;
    TLLogger::sharedLogger().setDelegate(std::make_shared<ErrorLines>(errors));
    std::shared_ptr<TLDecoder> before;
    if (other == Other::kMadeBeforeAndReleased) before = TLDecoder::create(TLDecoder::Options{});
    auto shared = TLDecoder::sharedDecoder();
    shared->addDelegate(std::make_shared<AppDelegate>(app));
    auto recorder =
        shared->useCustomRecorderWithListener(std::make_shared<NoRecorderEvents>(), 16000);
    shared->startDecoding();
    if (!app.waitForText("started")) return std::string("never started");
    std::shared_ptr<TLDecoder> kept;
    switch (other) {
      case Other::kMadeAndKept: kept = TLDecoder::create(TLDecoder::Options{}); break;
      case Other::kMadeAndReleased: TLDecoder::create(TLDecoder::Options{}).reset(); break;
      case Other::kMadeBeforeAndReleased: before.reset(); break;
    }
    if (!app.waitForText("stopped")) return std::string("no stoppedListening");
    // The shutdown runs the delegate calls still queued: the record is whole.
    TLLogger::sharedLogger().unsetDelegate();
    TLDecoder::shutdown();
    std::string told;
    for (const auto& text : app.texts()) {
      if (text.rfind("failed:", 0) == 0) told += text + "\n";
    }
    for (const auto& line : errors.texts()) {
      if (line.find("this decoder hears nothing more") != std::string::npos) told += line + "\n";
    }
    return told;
  });
  EXPECT_EQ(seen, GetParam().told);
}

#define TL_TAKEN                                                                      \
  "Another decoder was made on this decoder's message bus, which delivers to the newest " \
  "decoder on it only: this decoder hears nothing more"
#define TL_STOPPED                                                                          \
  "The message bus was stopped for good by the release of another decoder on it: this " \
  "decoder hears nothing more"

INSTANTIATE_TEST_SUITE_P(
    Cases, SharedDecoderBusLoss,
    ::testing::Values(
        BusLossCase{"AnotherMadeOnItsBus", Other::kMadeAndKept,
                    "failed:" TL_TAKEN "\n-[TLDecoder init]: " TL_TAKEN "\n"},
        BusLossCase{"AnotherMadeAndReleasedIsToldOnce", Other::kMadeAndReleased,
                    "failed:" TL_TAKEN "\n-[TLDecoder init]: " TL_TAKEN "\n"},
        BusLossCase{"OneMadeBeforeReleasedStopsTheBus", Other::kMadeBeforeAndReleased,
                    // The one made before was told as the shared decoder was made.
                    "failed:" TL_STOPPED "\n-[TLDecoder init]: " TL_TAKEN
                    "\n-[TLDecoder dealloc]: " TL_STOPPED "\n"}),
    [](const ::testing::TestParamInfo<BusLossCase>& info) { return info.param.name; });

#undef TL_TAKEN
#undef TL_STOPPED

// Hands the core line "probe" to the app's log delegate on the bus thread,
// while another thread makes the shared decoder: once that making has
// moved the logger off the messenger the line came from (from then on it
// would wait for this line), the delegate asks for the shared decoder too.
class AsksOnTheBusThread : public TLLoggerDelegate {
 public:
  void logfromSender(const std::string&, const TLLogParams& params) override {
    if (params.message != "probe") return;
    entered.open();
    while (from->receiverCount(kMessageTypeId<LogSignal>) != 0) std::this_thread::yield();
    got = TLDecoder::sharedDecoder();
    returned.open();
  }
  std::shared_ptr<Messenger> from;
  std::shared_ptr<TLDecoder> got;
  Gate entered, returned;
};

TEST(SharedDecoder, FirstMadeWhileTheLogDelegateAsksForItOnACoreLine) {
  const std::string seen = inChild([] {
    HangGuard guard("the first sharedDecoder() while the log delegate asks for it");
    TLDecoder::Options options;
    options.coreBridge = {};
    auto first = TLDecoder::create(options);  // on the process-wide bus
    auto sink = std::make_shared<AsksOnTheBusThread>();
    sink->from = first->sharedMessenger();
    TLLogger::sharedLogger().setDelegate(sink);
    LogSignal line;
    line.__set_logType(3);
    line.__set_message("probe");
    line.__set_sender("Core");
    const std::string bytes = serializeMessage(line);
    tembrolexinsdk::getMessenger()->send(
        "Core", std::make_unique<tembrolexinsdk::ThriftParams>(kMessageTypeId<LogSignal>,
                                                               bytes.size(), bytes.data()));
    if (!sink->entered.wait()) return std::string("the line never came");
    auto shared = TLDecoder::sharedDecoder();
    if (!sink->returned.wait()) return std::string("the delegate's call never returned");
    TLLogger::sharedLogger().unsetDelegate();
    TLDecoder::shutdown();
    return std::string(shared != nullptr && sink->got == shared ? "one" : "two") +
           " shared decoder";
  });
  EXPECT_EQ(seen, "one shared decoder");
}

// Asks for the shared decoder on the first line of its making, on the
// making's thread.
class AsksOnTheMakingsLine : public TLLoggerDelegate {
 public:
  void logfromSender(const std::string& sender, const TLLogParams&) override {
    if (std::this_thread::get_id() != caller_ || sender != "-[TLDecoder init]" || asked_) return;
    asked_ = true;
    got = TLDecoder::sharedDecoder();
  }
  std::shared_ptr<TLDecoder> got;

 private:
  const std::thread::id caller_ = std::this_thread::get_id();
  bool asked_ = false;
};

TEST(SharedDecoder, AskedForFromTheLogDelegateOnALineOfItsMaking) {
  const std::string seen = inChild([] {
    HangGuard guard("sharedDecoder() from a line of its making");
    auto sink = std::make_shared<AsksOnTheMakingsLine>();
    TLLogger::sharedLogger().setDelegate(sink);
    auto shared = TLDecoder::sharedDecoder();
    TLLogger::sharedLogger().unsetDelegate();
    TLDecoder::shutdown();
    return std::string(shared != nullptr && sink->got == shared ? "the same" : "another") +
           " decoder on the line";
  });
  EXPECT_EQ(seen, "the same decoder on the line");
}

}  // namespace
}  // namespace tltest
