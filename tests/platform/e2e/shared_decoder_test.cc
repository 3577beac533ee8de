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

constexpr char kBusStoppedUnderIt[] =
    "The message bus was stopped for good by the release of another decoder on it: this decoder "
    "hears nothing more";

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

TEST(SharedDecoder, ToldWhenAnotherDecodersReleaseStopsTheBus) {
  const std::string seen = inChild([] {
    HangGuard guard("the shared decoder told of the stopped bus", 90s);
    TempDir dir;
    installEnvironment(dir);
    Record app, errors;
    TLLogger::sharedLogger().setDelegate(std::make_shared<ErrorLines>(errors));
    auto shared = TLDecoder::sharedDecoder();
    shared->addDelegate(std::make_shared<AppDelegate>(app));
    auto recorder =
        shared->useCustomRecorderWithListener(std::make_shared<NoRecorderEvents>(), 16000);
    shared->startDecoding();
    if (!app.waitForText("started")) return std::string("never started");
    TLDecoder::create(TLDecoder::Options{}).reset();
    const bool failed = app.waitForText(std::string("failed:") + kBusStoppedUnderIt);
    const bool stopped = app.waitForText("stopped");
    const auto lines = errors.texts();
    const auto told = std::count(lines.begin(), lines.end(),
                                 std::string("-[TLDecoder dealloc]: ") + kBusStoppedUnderIt);
    TLLogger::sharedLogger().unsetDelegate();
    TLDecoder::shutdown();
    return "failedWithError " + std::to_string(failed) + ", stoppedListening " +
           std::to_string(stopped) + ", Error lines " + std::to_string(told);
  });
  EXPECT_EQ(seen, "failedWithError 1, stoppedListening 1, Error lines 1");
}

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
