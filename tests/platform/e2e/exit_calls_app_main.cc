// An app whose delegates report any call that enters them once its exit has
// begun, for the exit test (exit_test.cc), which runs it as a child process:
//
//   platform_e2e_exit_calls_app PATH DATA_FOLDER
//
// The app plays the core itself, on a bus of its own, and has its decoder,
// engines and recorder call it through a dispatcher of its own (a global
// queue of one thread; a main queue on a thread of the library's, or bound
// to main's thread where PATH says so). Neither the bus nor that dispatcher
// is touched by the library's exit handler, so a call that reaches the app
// after the exit began is not lost by chance: it enters the app unless the
// library keeps it out. The played core holds the start in flight until the
// library's shutdown has begun, and only then sends what PATH names:
//
//   decoder       startedListening (the start it held)
//   engine        a word for TRIGGER's codewordReceived (main queue)
//   ntp           (a network-time outcome waits behind a block holding the
//                 global queue until the shutdown has begun)
//   recorder      the recorder listener's startedRecording (main queue)
//   log           (the shutdown's own lines; the app has a log delegate)
//   inline        a word for TRIGGER; main's thread is the main thread and
//                 pumps it on its way out, after the library's handler
//   exit-in-call  startedListening at once, which calls exit() from inside
//                 the call; then a word for TRIGGER
//   exit-pumping  startedRecording at once, on main's thread pumping the
//                 main queue, which calls exit() there; then a word for
//                 TRIGGER
//   running       startedListening at once; the call is still running as
//                 main returns, and ends 100 ms later ("call ended")
//   content       bundle b1 with action a1 at once, for the CONTENT engine
//                 (on a page host of the app's); late, a ContentSignal that
//                 opens a1. After the library's handler, the page asks to
//                 close, as the web engine would on the main thread: "close
//                 goes on" or "close kept" (the delegate would keep it)
//   exit-after-throw, exit-on-backoff
//                 the decoder asks the app's NTP server on 127.0.0.1, which
//                 answers with a kiss-of-death. The dispatcher is a test
//                 host's, so the network-time client takes the reply, and
//                 logs, on a serial queue of its own ("mine"). Late, a word
//                 for TRIGGER. exit-after-throw: the app's log delegate
//                 throws on the Warning about the kiss and calls
//                 exit(kLogExitStatus) on the Error line of the queue that
//                 caught it; the exception has left the client's callback,
//                 which held the client's state, so the shutdown lets the
//                 queue go on that very thread.
//                 exit-on-backoff: it calls exit(kLogExitStatus) on the Info
//                 line, logged after the Warning on that thread, that leaves
//                 the server alone for a while
//   exit-in-shutdown
//                 main shuts the library down itself; the app's log delegate
//                 calls exit(kLogExitStatus) on the shutdown's first line
//   shutdown-in-action
//                 bundle b1 with action a1 at once, then a ContentSignal that
//                 opens it: actionWillOpen (on the bus thread) calls
//                 TLDecoder::shutdown() and says "shut down" or "not shut
//                 down", and keeps the action from opening; late, a word for
//                 TRIGGER
//   exit-on-upload-line
//                 a network manager of the app's, on the process-wide bus,
//                 completes an upload on main's thread (its transport answers
//                 at once); the app's log delegate, on the line that
//                 schedules the server-comms alert, asks the manager for the
//                 server's address over that bus and calls
//                 exit(kLogExitStatus): the exit's shutdown has the bus
//                 deliver the question to the manager. Late, a word for
//                 TRIGGER
//
// Output (standard output; the library's own lines go to standard error):
// "return" as main returns, "exit" as a delegate calls exit(), "late WHAT"
// for every call that entered the app afterwards, and, last, after the
// library's handler and once everything sent was delivered, "refused N"
// with the number of calls the library kept out.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/i_audio_recorder.h"
#include "core/runtime/messenger.h"
#include "platform/api/tl_decoder.h"
#include "platform/engines/tl_content_engine.h"
#include "platform/engines/tl_trigger_engine.h"
#include "platform/messages/message_envelope.h"
#include "platform/messages/message_types.h"
#include "platform/net/network_manager.h"
#include "platform/runtime/app_call_gate.h"
#include "platform/runtime/platform_environment.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/engines/content_fixtures.h"
#include "tests/platform/net/fake_transport.h"
#include "tests/support/udp_test_server.h"

using namespace tembrolexinplatform;
using namespace std::chrono_literals;

namespace {

constexpr int kMarkerType = 99;
// What the log delegate of exit-after-throw, exit-on-backoff and
// exit-in-shutdown exits with.
constexpr int kLogExitStatus = 43;

// Set as main returns, or as a delegate calls exit(): from then on no call
// may enter the app.
std::atomic<bool> gExitBegan{false};

void say(const std::string& line) {
  const std::string out = line + "\n";
  [[maybe_unused]] ssize_t n = ::write(STDOUT_FILENO, out.data(), out.size());
}

// Reports a call that entered the app after its exit began.
void entered(const std::string& what) {
  if (gExitBegan.load()) say("late " + what);
}

void exitFromHere(int status = 0) {
  say("exit");
  gExitBegan = true;
  std::exit(status);
}

// Waits (real time) until `done`, at most 20 s.
bool waitUntil(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + 20s;
  while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
  return done();
}

template <typename T>
std::unique_ptr<tembrolexinsdk::ThriftParams> params(const T& message) {
  const MessageEnvelope e = MessageEnvelope::wrap(message);
  return std::make_unique<tembrolexinsdk::ThriftParams>(e.msgType(), e.data().size(),
                                                        e.data().data());
}

// What the played core sends: a bus sender name and a message.
struct Send {
  std::string sender;
  std::function<std::unique_ptr<tembrolexinsdk::ThriftParams>()> message;
};

Send startedListening() {
  return {"TembrolexinSDK", [] {
            SDKStatusSignal s;
            s.__set_status(1);
            return params(s);
          }};
}

Send word(int64_t msg) {
  return {"TembrolexinSDK", [msg] {
            CodewordSignal c;
            c.__set_sender("Decoder-P");
            c.__set_msg(msg);
            c.__set_engineRef("TRIGGER");
            c.__set_syncState(1);
            return params(c);
          }};
}

template <typename T>
Send cache(const T& message) {
  return {"CacheProcessor", [message] { return params(message); }};
}

Send openAction() {
  ContentSignal c;
  c.__set_bundleId("b1");
  c.__set_actionId("a1");
  c.__set_emitKey("action");
  return cache(c);
}

Send startedRecording() {
  return {Recorder::kCoreSenderName, [] {
            RecorderEvent r;
            r.__set_eventType(1);
            return params(r);
          }};
}

// The core, at the bus level: answers the start instruction with what it
// sends at once, then, once the library's shutdown has begun, with what it
// held back; hears the marker and the network time the decoder sends.
class PlayedCore : public tembrolexinsdk::IMessengerListener {
 public:
  PlayedCore(tembrolexinsdk::IMessenger& bus, std::vector<Send> atOnce, std::vector<Send> late)
      : bus_(bus), atOnce_(std::move(atOnce)), late_(std::move(late)) {
    for (int type : {36, 34, kMarkerType}) bus_.registerListener(type, this);
  }

  void onReceive(const std::string&, const tembrolexinsdk::ThriftParams& p) override {
    const auto& data = p.getData();
    const MessageEnvelope e(p.getMsgType(), std::string(data.begin(), data.end()));
    if (e.msgType() == 34) heardTime = true;
    if (e.msgType() == kMarkerType) markerHeard = true;
    auto instruction = e.newMessageOfType<InstructionSignal>();
    if (!instruction || instruction->instruction != 0) return;
    for (const Send& s : atOnce_) bus_.send(s.sender, s.message());
    std::thread([this] {
      waitUntil([] { return TLDecoder::isShutDown(); });
      for (const Send& s : late_) bus_.send(s.sender, s.message());
      lateSent = true;
    }).detach();
    started = true;
  }

  void sendMarker() {
    // An empty struct: its stop byte.
    bus_.send("Marker", std::make_unique<tembrolexinsdk::ThriftParams>(kMarkerType, 1, ""));
  }

  std::atomic<bool> started{false}, lateSent{false}, markerHeard{false}, heardTime{false};

 private:
  tembrolexinsdk::IMessenger& bus_;
  const std::vector<Send> atOnce_;
  const std::vector<Send> late_;
};

class App : public TLDecoderDelegate {
 public:
  explicit App(std::string path) : path_(std::move(path)) {}
  void initialisationDidComplete() override { entered("initialisationDidComplete"); }
  void startedListening() override {
    entered("startedListening");
    if (path_ == "exit-in-call") exitFromHere();
    if (path_ == "running") {
      listening = true;
      waitUntil([] { return gExitBegan.load(); });
      std::this_thread::sleep_for(100ms);
      say("call ended");
    }
  }
  void stoppedListening() override { entered("stoppedListening"); }
  void failedWithError(const std::string& d) override { entered("failedWithError " + d); }
  void confidenceChangedTo(int64_t) override { entered("confidenceChangedTo"); }
  std::atomic<bool> listening{false};

 private:
  const std::string path_;
};

class Words : public TLCodewordReceivedDelegate {
 public:
  void codewordReceived(int64_t codeword, TLDate) override {
    entered("codewordReceived " + std::to_string(codeword));
  }
};

class RecorderEvents : public TLRecorderListener {
 public:
  explicit RecorderEvents(std::string path) : path_(std::move(path)) {}
  void recorderInitialised(Recorder&) override { entered("recorderInitialised"); }
  void startedRecording(Recorder&) override {
    entered("startedRecording");
    if (path_ == "exit-pumping") exitFromHere();
  }
  void stoppedRecording(Recorder&) override { entered("stoppedRecording"); }

 private:
  const std::string path_;
};

class Receiver : public NTPReceiver {
 public:
  void onNTPUpdate(const std::optional<NTPResult>&) override { entered("onNTPUpdate"); }
};

class Bundles : public TLContentEngineDelegate {
 public:
  void messageReceived(const std::optional<Json::Value>&, std::shared_ptr<TLBundle>) override {
    entered("messageReceived");
  }
  void contentEngineDidFail(int64_t code, std::shared_ptr<TLBundle>,
                            std::shared_ptr<TLBundleAction>) override {
    entered("contentEngineDidFail " + std::to_string(code));
  }
  void bundlesDidUpdate(const TLBundleList&) override {
    entered("bundlesDidUpdate");
    updated = true;
  }
  bool actionWillOpen(const std::shared_ptr<TLBundleAction>& action) override {
    entered("actionWillOpen " + action->actionId());
    if (shutDownInAction) {
      TLDecoder::shutdown();
      say(TLDecoder::isShutDown() ? "shut down" : "not shut down");
      actionAsked = true;
      return false;  // no page opens while main returns
    }
    return true;
  }
  bool shutDownInAction = false;
  std::atomic<bool> actionAsked{false};
  bool bundleWillClose(const std::shared_ptr<TLBundle>&) override {
    entered("bundleWillClose");
    return false;
  }
  std::atomic<bool> updated{false};
};

// The app's page host: what reaches it opens or changes a page.
class PageHost : public TLWKWebViewProtocol {
 public:
  void emit(const std::string& key, const std::string&, const std::optional<std::string>&,
            std::shared_ptr<TLBundle>) override {
    entered("page " + key);
  }
  void setDelegate(std::weak_ptr<TLWebViewContentDelegate>) override {}
  void closeWebView() override {}
};

// Throws on the line `throwOn` and calls exit() on the line `exitOn`, if
// given, after `beforeExit`.
class LogSink : public TLLoggerDelegate {
 public:
  explicit LogSink(std::string exitOn = {}, std::string throwOn = {},
                   std::function<void()> beforeExit = {})
      : exitOn_(std::move(exitOn)),
        throwOn_(std::move(throwOn)),
        beforeExit_(std::move(beforeExit)) {}
  void logfromSender(const std::string& sender, const TLLogParams& params) override {
    entered("log " + sender + ": " + params.message);
    if (!throwOn_.empty() && params.message == throwOn_) {
      throw std::runtime_error("the app's log delegate");
    }
    if (!exitOn_.empty() && params.message == exitOn_) {
      if (beforeExit_) beforeExit_();
      exitFromHere(kLogExitStatus);
    }
  }

 private:
  const std::string exitOn_, throwOn_;
  const std::function<void()> beforeExit_;
};

// The core's recorder, played: it takes nothing and is never fed.
class PlayedRecorder : public tembrolexinsdk::IAudioRecorder {
 public:
  const std::string& GetName() const override { return name_; }
  void initialise(tembrolexinsdk::IAudioRecorderListener*) override {}
  void setup(unsigned int) override {}
  unsigned short getAvailableSampleRates(unsigned short) override { return 0; }
  void createRecorder(tembrolexinsdk::SampleRate, unsigned int) override {}
  void setFilePath(const std::string&) override {}
  void startRecording() override {}
  void stopRecording() override {}
  short* getShortBuffer(unsigned char) override { return nullptr; }
  bool hasFailed() override { return false; }

 private:
  const std::string name_ = "CustomRecorder";
};

RecorderCore playedRecorderCore() {
  RecorderCore core;
  core.make = [](int32_t) -> std::unique_ptr<tembrolexinsdk::IAudioRecorder> {
    return std::make_unique<PlayedRecorder>();
  };
  core.provideSamples = [](tembrolexinsdk::IAudioRecorder&, const int16_t*, int32_t) { return 1; };
  core.maximumBufferSize = [](tembrolexinsdk::IAudioRecorder&) { return 0; };
  core.instanceId = [](const tembrolexinsdk::IAudioRecorder&) { return int64_t{1}; };
  // The core would own it until it goes; this one is kept for good.
  core.install = [](std::unique_ptr<tembrolexinsdk::IAudioRecorder> r) { r.release(); };
  return core;
}

// What the exit handler below works with; never destroyed.
struct World {
  Dispatcher* dispatcher = nullptr;
  PlayedCore* core = nullptr;
  bool mainBound = false;
  // Kept for as long as the library may call in.
  std::shared_ptr<TLDecoder> decoder;
  std::shared_ptr<Recorder> recorder;
  std::shared_ptr<TLContentEngine> content;
};

World& world() {
  static World* w = new World();
  return *w;
}

// Registered before the library's handler, so it runs after it, on the
// exiting thread: once what the played core held back is out, a marker
// behind it tells that the bus has delivered it all (main's thread, when it
// is the main thread, pumps the main queue meanwhile); then the dispatcher's
// queues run what the library put there.
void afterTheLibrarysExitHandler() {
  World& w = world();
  if (w.core->started) waitUntil([&] { return w.core->lateSent.load(); });
  w.core->sendMarker();
  waitUntil([&] {
    if (w.mainBound) w.dispatcher->mainQueue()->drain();
    return w.core->markerHeard.load();
  });
  w.dispatcher->globalQueue()->sync([] {});  // one thread: after what is queued
  if (w.mainBound) {
    w.dispatcher->mainQueue()->drain();
  } else {
    w.dispatcher->mainQueue()->sync([] {});
  }
  if (w.content) {
    say(w.content->canWebViewClose(w.content->getBundleById("b1")) ? "close goes on"
                                                                    : "close kept");
  }
  say("refused " + std::to_string(AppCallGate::process().refusedCount()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PATH DATA_FOLDER\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  const std::string data = argv[2];

  PlatformEnvironment env;
  env.documentsFolder = data + "/Documents";
  env.keyStoreFolder = data + "/keys";
  env.userDefaultsFile = data + "/defaults.json";
  env.bundleIdentifier = "com.example.exitcalls";
  PlatformEnvironment::install(env);

  World& w = world();
  Dispatcher::Options options;
  options.globalThreads = 1;
  options.mainQueueMode = MainQueueMode::kOwnThreadUnlessBound;
  const bool exitOnLog = path == "exit-after-throw" || path == "exit-on-backoff";
  options.testHost = exitOnLog;
  w.dispatcher = new Dispatcher(options);
  w.mainBound = path == "inline" || path == "exit-pumping";
  if (w.mainBound) w.dispatcher->mainQueue()->bindToCurrentThread();

  std::vector<Send> atOnce, late;
  if (path == "decoder") late = {startedListening()};
  if (path == "engine" || path == "inline") late = {word(8)};
  if (path == "recorder") late = {startedRecording()};
  if (path == "exit-in-call" || path == "running") atOnce = {startedListening()};
  if (path == "exit-pumping") atOnce = {startedRecording()};
  if (path == "exit-in-call" || path == "exit-pumping" || exitOnLog || path == "exit-in-shutdown" ||
      path == "exit-on-upload-line") {
    late = {word(8)};
  }
  const bool content = path == "content" || path == "shutdown-in-action";
  if (content) {
    atOnce = {cache(tltest::infoList({tltest::info("b1")})),
              cache(tltest::actionList("b1", {tltest::ActionSpec("a1")}))};
    late = {openAction()};
  }
  if (path == "shutdown-in-action") late = {word(8)};
  auto* bus = new tembrolexinsdk::Messenger();
  w.core = new PlayedCore(*bus, atOnce, late);
  std::atexit(afterTheLibrarysExitHandler);

  if (path == "log") TLLogger::sharedLogger().setDelegate(std::make_shared<LogSink>());
  if (path == "exit-after-throw") {
    TLLogger::sharedLogger().setDelegate(
        std::make_shared<LogSink>("A block on queue mine threw: the app's log delegate",
                                  "Kiss-of-death from [127.0.0.1]: RATE"));
  }
  if (path == "exit-on-backoff") {
    TLLogger::sharedLogger().setDelegate(
        std::make_shared<LogSink>("NTP server 127.0.0.1 is not asked for the next 15 minutes"));
  }
  if (path == "exit-in-shutdown") {
    TLLogger::sharedLogger().setDelegate(std::make_shared<LogSink>("Shutting the library down"));
  }
  TLDecoder::Options decoderOptions;
  decoderOptions.bus = bus;
  decoderOptions.coreBridge = {};
  decoderOptions.dispatcher = w.dispatcher;
  decoderOptions.recorderCore = playedRecorderCore();
  if (exitOnLog) {
    // Never destroyed: it still serves while the process ends.
    auto* server = new tltest::UdpTestServer([](const std::string& request) {
      std::string reply = tltest::sntpReply(request, 1000, 1000);
      reply[1] = 0;  // stratum 0
      reply.replace(12, 4, "RATE");
      return std::vector<std::string>{reply};
    });
    decoderOptions.ntpPort = server->port();
  }
  w.decoder = TLDecoder::create(decoderOptions);
  const std::shared_ptr<TLDecoder>& decoder = w.decoder;
  auto app = std::make_shared<App>(path);
  decoder->addDelegate(app);
  TLTriggerEngine::sharedEngine()->setDispatcher(w.dispatcher);
  decoder->connectEngineDelegate(std::make_shared<Words>(), TLEngineType::kTrigger);
  w.recorder = decoder->useCustomRecorderWithListener(std::make_shared<RecorderEvents>(path), 16000);
  if (!w.recorder) return 3;
  decoder->registerNTPReceiver(std::make_shared<Receiver>());
  auto bundles = std::make_shared<Bundles>();
  bundles->shutDownInAction = path == "shutdown-in-action";
  if (content) {
    TLContentEngine::Options content;
    content.dispatcher = w.dispatcher;
    auto host = std::make_shared<PageHost>();
    content.webViewHost = [host] { return host; };
    content.reachability = Reachability::withSource(
        std::make_unique<FakeReachabilitySource>(kFlagReachable), NotificationCenter::defaultCenter());
    TLContentEngine::setSharedOptions(content);
    w.content = std::dynamic_pointer_cast<TLContentEngine>(
        decoder->connectEngineDelegate(bundles, TLEngineType::kContent));
    if (!w.content) return 8;
  }

  if (path == "ntp") {
    // The outcome of a round that fails at once ("" cannot be asked) waits
    // behind this block for the shutdown to begin.
    w.dispatcher->globalQueue()->async([] { waitUntil([] { return TLDecoder::isShutDown(); }); });
    decoder->setNTPServers({""});
    decoder->updateNTP();
    if (!waitUntil([&] { return w.core->heardTime.load(); })) return 4;
    // The main-queue block that sent it has queued the receiver's call.
    w.dispatcher->mainQueue()->sync([] {});
  }

  decoder->startDecoding();
  if (!waitUntil([&] { return w.core->started.load(); })) return 5;
  if (path == "running" && !waitUntil([&] { return app->listening.load(); })) return 6;
  if (content && !waitUntil([&] { return bundles->updated.load(); })) return 9;
  if (path == "shutdown-in-action") {
    const Send open = openAction();
    bus->send(open.sender, open.message());
    if (!waitUntil([&] { return bundles->actionAsked.load(); })) return 10;
  }
  if (path == "exit-in-call") {
    std::this_thread::sleep_for(20s);  // the delegate ends the process
    return 7;
  }
  if (path == "exit-pumping") {
    w.dispatcher->mainQueue()->runUntil([] { return false; }, 20s);
    return 7;
  }
  if (exitOnLog) {
    decoder->setNTPServers({"127.0.0.1"});
    decoder->updateNTP();
    std::this_thread::sleep_for(20s);  // the log delegate ends the process
    return 7;
  }
  if (path == "exit-in-shutdown") {
    TLDecoder::shutdown();
    std::this_thread::sleep_for(20s);  // the log delegate ends the process
    return 7;
  }
  if (path == "exit-on-upload-line") {
    auto transport = std::make_shared<tltest::FakeTransport>();
    auto network = TLNetworkManager::create({w.dispatcher, transport});
    auto processBus = std::make_shared<Messenger>();
    network->setSecureServerURL("https://srv", 1, 3, true, 300000, processBus);
    TLLogger::sharedLogger().setDelegate(
        std::make_shared<LogSink>("Scheduling server comms failure in 3600 secs", "", [processBus] {
          StringRequest question;
          question.__set_messageType(0);
          processBus->sendMessage(question, "App");
        }));
    network->requestForURL("https://srv/x", {}, {});
    transport->last()->ok();  // the log delegate ends the process
    return 7;
  }
  gExitBegan = true;
  say("return");
  return 0;
}
