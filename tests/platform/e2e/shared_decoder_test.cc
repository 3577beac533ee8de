// The shared decoder on the process-wide bus: told when another decoder takes
// or stops that bus, and made once even while the log delegate asks for it
// from a core line on the bus thread or from a line of its own making. Each
// scenario runs in a child (the shared decoder is made once per process, a
// stopped bus stays so), which shuts the library down as its exit would.
#include <gtest/gtest.h>

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

// The library's Error lines saying a decoder went deaf, as "<sender>: <text>".
struct DeafLines : TLLoggerDelegate {
  explicit DeafLines(Record& r) : r(r) {}
  void logfromSender(const std::string& sender, const TLLogParams& params) override {
    if (params.level == 4 &&
        params.message.find("this decoder hears nothing more") != std::string::npos) {
      r.add(sender + ": " + params.message);
    }
  }
  Record r;  // a copy: shares the test's record
};

// Ends the library in a child as its exit would: no thread of its is left.
void shutDown() {
  TLLogger::sharedLogger().unsetDelegate();
  TLDecoder::shutdown();
}

// How the shared decoder, listening, loses the process-wide bus to another
// decoder made on it.
enum class Other {
  kMadeAndKept,            // another decoder is made on the bus and kept
  kMadeAndReleased,        // ... and released at once, which stops the bus too
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
    TLLogger::sharedLogger().setDelegate(std::make_shared<DeafLines>(errors));
    auto before = other == Other::kMadeBeforeAndReleased ? TLDecoder::create({}) : nullptr;
    auto shared = TLDecoder::sharedDecoder();
    shared->addDelegate(std::make_shared<AppDelegate>(app));
    auto recorder =
        shared->useCustomRecorderWithListener(std::make_shared<NoRecorderEvents>(), 16000);
    shared->startDecoding();
    if (!app.waitForText("started")) return std::string("never started");
    auto kept = other == Other::kMadeAndKept ? TLDecoder::create({}) : nullptr;
    if (other == Other::kMadeAndReleased) TLDecoder::create({}).reset();
    before.reset();
    if (!app.waitForText("stopped")) return std::string("no stoppedListening");
    shutDown();  // runs the delegate calls still queued: the record is whole
    std::string told;
    for (const auto& text : app.texts()) {
      if (text.rfind("failed:", 0) == 0) told += text + "\n";
    }
    for (const auto& line : errors.texts()) told += line + "\n";
    return told;
  });
  EXPECT_EQ(seen, GetParam().told);
}

#define TL_TAKEN                                                                          \
  "Another decoder was made on this decoder's message bus, which delivers to the newest " \
  "decoder on it only: this decoder hears nothing more"
#define TL_STOPPED                                                                      \
  "The message bus was stopped for good by the release of another decoder on it: this " \
  "decoder hears nothing more"

INSTANTIATE_TEST_SUITE_P(
    Cases, SharedDecoderBusLoss,
    ::testing::Values(BusLossCase{"AnotherMadeOnItsBus", Other::kMadeAndKept,
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
struct AsksOnTheBusThread : TLLoggerDelegate {
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
    shutDown();
    return std::string(shared != nullptr && sink->got == shared ? "one" : "two") +
           " shared decoder";
  });
  EXPECT_EQ(seen, "one shared decoder");
}

// Asks for the shared decoder on the first line of its making, on the
// making's thread.
struct AsksOnTheMakingsLine : TLLoggerDelegate {
  void logfromSender(const std::string& sender, const TLLogParams&) override {
    if (std::this_thread::get_id() != caller || sender != "-[TLDecoder init]" || asked) return;
    asked = true;
    got = TLDecoder::sharedDecoder();
  }
  std::shared_ptr<TLDecoder> got;
  const std::thread::id caller = std::this_thread::get_id();
  bool asked = false;
};

TEST(SharedDecoder, AskedForFromTheLogDelegateOnALineOfItsMaking) {
  const std::string seen = inChild([] {
    HangGuard guard("sharedDecoder() from a line of its making");
    auto sink = std::make_shared<AsksOnTheMakingsLine>();
    TLLogger::sharedLogger().setDelegate(sink);
    auto shared = TLDecoder::sharedDecoder();
    shutDown();
    return std::string(shared != nullptr && sink->got == shared ? "the same" : "another") +
           " decoder on the line";
  });
  EXPECT_EQ(seen, "the same decoder on the line");
}

}  // namespace
}  // namespace tltest
