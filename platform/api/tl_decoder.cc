#include "platform/api/tl_decoder.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <json/value.h>

#include "core/control/audio_decoder.h"
#include "core/net/http_request.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/dir_info.h"
#include "core/runtime/error_text.h"
#include "core/runtime/log.h"
#include "core/runtime/logger.h"
#include "core/runtime/messenger.h"
#include "core/runtime/thread_join.h"
#include "platform/api/sdk_listener_private.h"
#include "platform/api/sdk_private_objcpp.h"
#include "platform/engines/tl_event_engine.h"
#include "platform/runtime/app_call_gate.h"
#include "platform/runtime/dispatch.h"
#include "platform/runtime/platform_environment.h"
#include "platform/runtime/teardown_threads.h"
#include "platform/runtime/tl_logger.h"
#include "platform/runtime/tl_runtime.h"

namespace tembrolexinplatform {

namespace {

constexpr const char* kCodewordAnalyticsRef = "CONFIDENCE";
constexpr const char* kAnalyticsEngine = "ANALYTICS";

// The decoders made so far (held weakly) and the state of the library's
// shutdown. Never destroyed: the exit handler and late threads use them.
struct Library {
  tembrolexin::Mutex mutex;
  std::vector<std::weak_ptr<TLDecoder>> decoders;
  // The shutdown runs on the thread that claimed it, with no lock held: the
  // calls into the app that it makes (the app's log delegate on its lines)
  // may call exit(), whose shutdown must then find its way.
  tembrolexin::Mutex shutdownMutex;  // guards the three below
  tembrolexin::CondVar shutdownEnded;
  enum class Phase { kNone, kRunning, kDone } phase = Phase::kNone;
  std::thread::id runner;  // the thread that runs it
  std::atomic<bool> shutDown{false};
  // The teardowns of decoders released inside a call into the app
  // (TLDecoder::release); all of them joined by the shutdown.
  TeardownThreads teardowns;
  // The decoders' start-ups pass this gate from their beginning until the
  // decoder is on the list above, and again on their way to the key pair,
  // identity and private folder. The shutdown closes it, so that no start-up
  // begins that work afterwards, and waits for those under way: the exit
  // goes on to clean up what that work uses (OpenSSL's state).
  AppCallGate startUps;
  tembrolexin::Mutex seamsMutex;
  TLDecoder::StartUpSeams seams;  // guarded by seamsMutex
};

Library& library() {
  static auto* lib = new Library();
  return *lib;
}

// Whether `bus` is stopped for good, as the release of a decoder on it
// leaves it (known of the library's own bus class only).
bool busStoppedForGood(tembrolexinsdk::IMessenger* bus) {
  const auto* own = dynamic_cast<const tembrolexinsdk::Messenger*>(bus);
  return own != nullptr && own->isStopping();
}

}  // namespace

// The SNTP client holds its delegate strongly; this adapter holds the
// decoder weakly, so neither keeps the other alive.
class TLDecoder::SntpDelegate final : public TLSntpClientDelegate {
 public:
  explicit SntpDelegate(std::weak_ptr<TLDecoder> decoder) : decoder_(std::move(decoder)) {}
  void sntpClientReceivedNTPInfo(const NTPResult& result) override {
    if (auto d = decoder_.lock()) d->sntpClientReceivedNTPInfo(result);
  }
  void sntpClientFailed(const TLError& error) override {
    if (auto d = decoder_.lock()) d->sntpClientFailed(error);
  }
  void sntpClientTimedOut() override {
    if (auto d = decoder_.lock()) d->sntpClientTimedOut();
  }

 private:
  std::weak_ptr<TLDecoder> decoder_;
};

std::shared_ptr<TLDecoder> TLDecoder::sharedDecoder() {
  // What the making logs reaches the app once it is made: the log delegate
  // may ask for the shared decoder, which waits for the making to end.
  TLLogger::HeldLines held;
  // Nor does the making wait, under the static's guard, for a core line that
  // the bus thread is handing to the log delegate as the logger moves to the
  // new decoder's messenger: that delegate may ask for the shared decoder
  // too. The wait comes once the decoder is made, before this returns.
  TLLogger::DeferredMessengerWaits waits;
  static std::shared_ptr<TLDecoder>* shared = new std::shared_ptr<TLDecoder>(create(Options()));
  return *shared;
}

std::shared_ptr<TLDecoder> TLDecoder::create(Options options) {
  // Before the start-up: an exit that begins while it runs finds the handler
  // that waits for it.
  arrangeExitHandler();
  std::shared_ptr<TLDecoder> decoder(new TLDecoder(std::move(options)), &TLDecoder::release);
  Library& lib = library();
  bool admitted = false;
  {
    // Counted until the decoder is on the shutdown's list: a shutdown that
    // begins meanwhile waits for it, then stops it with the others.
    AppCallGate::Call startUp(lib.startUps);
    admitted = static_cast<bool>(startUp);
    decoder->startUp(/*setUp=*/admitted);
    std::lock_guard lock(lib.mutex);
    lib.decoders.erase(std::remove_if(lib.decoders.begin(), lib.decoders.end(),
                                      [](const std::weak_ptr<TLDecoder>& d) { return d.expired(); }),
                       lib.decoders.end());
    lib.decoders.push_back(decoder);
  }
  if (!admitted || isShutDown()) {
    TLLogger::errorInMethod("-[TLDecoder init]", __LINE__,
                            "The library has shut down: this decoder will not decode");
  } else if (busStoppedForGood(decoder->options_.bus)) {
    // Nothing the core says reaches this decoder, nor anything it sends the
    // core: without this line the app would see only silence. Said once.
    decoder->busLost_.store(true);
    TLLogger::errorInMethod("-[TLDecoder init]", __LINE__,
                            "The message bus was stopped for good by the release of a decoder on "
                            "it: this decoder will hear nothing");
  } else {
    // A bus hands what it delivers to the newest decoder's Messenger alone:
    // the decoders made on it before hear nothing from now on, and are told.
    decoder->tellOthersOnTheBus("-[TLDecoder init]", kBusTakenText);
  }
  return decoder;
}

void TLDecoder::arrangeExitHandler() {
  static std::once_flag atExit;
  std::call_once(atExit, [] {
    // Everything the shutdown, or a start-up it waits for, uses that is
    // destroyed at exit is made before the handler is registered, so that it
    // is destroyed after the handler has run: OpenSSL's process-wide state
    // (the key pair's), libcurl's process-wide set-up (made here, on the
    // app's thread, before any thread of the library can need it) and the
    // bus's exit guard.
    OPENSSL_init_crypto(0, nullptr);
    tembrolexinsdk::Http::CurlGlobalEnv::Instance(tembrolexinsdk::Log(nullptr, nullptr));
    tembrolexinsdk::getMessenger();
    std::atexit([] { shutdownLibrary(/*atExit=*/true); });
  });
}

void TLDecoder::setStartUpSeams(StartUpSeams seams) {
  Library& lib = library();
  std::lock_guard lock(lib.seamsMutex);
  lib.seams = std::move(seams);
}

void TLDecoder::awaitStartUps(std::chrono::nanoseconds limit) {
  Library& lib = library();
  std::function<void()> seam;
  {
    std::lock_guard lock(lib.seamsMutex);
    seam = lib.seams.awaitingStartUps;
  }
  if (seam) seam();
  // A start-up on this thread (the app's log delegate on one of its lines
  // called shutdown() or exit()) is not waited for: it goes on after this
  // returns, if ever.
  if (!lib.startUps.close(limit)) {
    TLLogger::warnInMethod("+[TLDecoder shutdown]", __LINE__,
                           "A decoder's start-up did not end within %lld ms of the shutdown; the "
                           "shutdown goes on without it",
                           static_cast<long long>(AppCallGate::kExitWaitLimit.count()));
  }
}

bool TLDecoder::isShutDown() { return library().shutDown.load(); }

void TLDecoder::shutdown() {
  // A forked child: the library's threads, files and locks are its parent's.
  // Nothing here may take a lock (one copied while held stays held), so the
  // line goes straight to standard error, in the default log's form.
  if (tembrolexinsdk::ProcessExit::inForkedChild()) {
    static constexpr char kLine[] =
        "ERR: +[TLDecoder shutdown]: shutdown() ignored: this process is a child made by fork(), "
        "and the library belongs to its parent (its threads, the files it writes and its "
        "locks); a child uses the library only after exec\n";
    for (std::size_t done = 0; done < sizeof(kLine) - 1;) {
      const ssize_t n = ::write(STDERR_FILENO, kLine + done, sizeof(kLine) - 1 - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    return;
  }
  // Called from a call into the app while the exit-time shutdown runs: that
  // shutdown does the work, and may be waiting for this very call to return.
  const AppCallGate& appCalls = AppCallGate::process();
  if (appCalls.isClosed() && appCalls.callerInside()) return;
  // A thread of the library's waits for the call this one is inside (an
  // engine's delegate call on the main queue), and the shutdown would join
  // that thread: it would wait for itself.
  if (appCalls.callerAwaited()) {
    TLLogger::errorInMethod("+[TLDecoder shutdown]", __LINE__,
                            "shutdown() refused: called from inside a delegate call that a thread "
                            "of the library waits for, which the shutdown would wait for in turn; "
                            "call it after the delegate call has returned");
    return;
  }
  // The bus thread's calls (the app's log delegate on a core line, the
  // content engine's actionWillOpen and bundleWillClose): the shutdown
  // stops that thread and waits for the calls it runs.
  if (Messenger::callerDelivering()) {
    TLLogger::errorInMethod("+[TLDecoder shutdown]", __LINE__,
                            "shutdown() refused: called from inside a call on the library's bus "
                            "thread, which the shutdown would stop and wait for; call it after the "
                            "call has returned");
    return;
  }
  shutdownLibrary(/*atExit=*/false);
}

void TLDecoder::shutdownLibrary(bool atExit) {
  // The exit of a forked child leaves the parent's library alone: no thread
  // of its to join, no lock of its to take, no file of its to write.
  if (tembrolexinsdk::ProcessExit::inForkedChild()) return;
  Library& lib = library();
  const auto exitDeadline = std::chrono::steady_clock::now() + AppCallGate::kExitWaitLimit;
  if (atExit) {
    // From now on nothing of the library's waits for this thread: it runs
    // the exit and never returns to the calls it is inside. A shutdown that
    // the app runs on another thread goes on without it, and this one waits
    // for that shutdown below.
    tembrolexinsdk::ProcessExit::begin();
    // No start-up begins its key work from now on; those under way are
    // waited for below.
    lib.startUps.close(std::chrono::nanoseconds::zero());
    // Main has returned: what the app's delegates, receivers, listeners and
    // log delegate refer to may be gone. From now on none of them is called
    // (the library's lines go to the default log), and the calls running
    // now end first, unless this thread runs inside one of them itself:
    // those never return, and the threads of the library's that wait for
    // one (the bus thread, the EVENT engine's timing thread) stop waiting,
    // so that the shutdown below can join them.
    if (!AppCallGate::process().close(AppCallGate::kExitWaitLimit)) {
      TLLogger::warnInMethod("+[TLDecoder shutdown]", __LINE__,
                             "A call into the app did not return within %lld ms of the exit; the "
                             "shutdown goes on without it",
                             static_cast<long long>(AppCallGate::kExitWaitLimit.count()));
    }
    // What the start-ups under way use goes once this handler has returned;
    // they share the bound with the calls above.
    awaitStartUps(std::max(exitDeadline - std::chrono::steady_clock::now(),
                           std::chrono::steady_clock::duration::zero()));
  }
  const std::thread::id self = std::this_thread::get_id();
  bool announced = false;
  {
    std::unique_lock lock(lib.shutdownMutex);
    if (lib.phase == Library::Phase::kRunning && lib.runner != self) {
      // A call into the app on another thread while the app's own shutdown
      // runs: that shutdown may wait for the call to return.
      if (!atExit && AppCallGate::process().callerInside()) return;
      lib.shutdownEnded.wait(lock, [&] { return lib.phase == Library::Phase::kDone; });
    }
    if (lib.phase == Library::Phase::kDone) {
      // Decoders released inside a call since then leave no thread behind
      // at exit.
      lock.unlock();
      if (atExit) {
        lib.teardowns.joinAll();
        TLEventEngine::joinTeardownThreads();
      }
      return;
    }
    if (lib.phase == Library::Phase::kRunning) {
      // This thread runs the shutdown and is inside a call into the app that
      // it made (the app's log delegate on one of its lines). A shutdown()
      // from there has nothing to add; an exit() from there never returns
      // to it, so the exit's shutdown does it all here, from the start: no
      // step holds a lock while the app is called, and each may run again.
      if (!atExit) return;
      announced = true;
    }
    lib.phase = Library::Phase::kRunning;
    lib.runner = self;
    lib.shutDown.store(true);
  }
  // No start-up begins its key work from now on; those under way are
  // waited for once the shutdown has said it begins.
  lib.startUps.close(std::chrono::nanoseconds::zero());
  // Before every line that the shutdown causes, on any thread.
  if (!announced) {
    TLLogger::infoInMethod("+[TLDecoder shutdown]", __LINE__, "Shutting the library down");
  }
  // A decoder whose start-up is under way ends it and joins the list below.
  if (!atExit) awaitStartUps(AppCallGate::kExitWaitLimit);
  std::vector<std::shared_ptr<TLDecoder>> live;
  {
    std::lock_guard lock(lib.mutex);
    for (const auto& weak : lib.decoders) {
      if (auto decoder = weak.lock()) live.push_back(std::move(decoder));
    }
  }
  // Nothing waits for the main queue any more: the engines' last delegate
  // calls are dropped rather than holding the bus.
  Dispatcher::shared().mainQueue()->shutDown();
  // At exit what is queued would find the gate closed: it is dropped.
  if (atExit) Dispatcher::shared().shutDown(/*runQueued=*/false);
  tembrolexinsdk::AudioDecoder::shutdownInstance();
  tembrolexinsdk::Messenger::shutdownInstance();
  for (const auto& decoder : live) decoder->shutDownParts();
  // A decoder the app released meanwhile goes here; if this thread is inside
  // a call into the app, on a teardown thread, which is joined with those of
  // the decoders released before: the calls they waited for have returned,
  // or were let go, and the buses they waited for have stopped.
  live.clear();
  lib.teardowns.joinAll();
  // So are those of EVENT engines of the app's own released inside their
  // own calls.
  TLEventEngine::joinTeardownThreads();
  // The EVENT engine's timing thread ends for good and is joined; what it
  // waited for on the main queue was dropped above.
  TLEventEngine::shutDownSharedTiming();
  Dispatcher::shared().shutDown();
  // The core has stopped: its lines have no bus to take them any more, and
  // from now on reach the log's sink at once (at exit the default log, the
  // gate being closed), those kept meanwhile first. Not before: a core
  // thread still running logs under its own locks, and the sink may be the
  // app's log delegate.
  TLLogger::takeCoreLinesWithoutBus();
  {
    std::lock_guard lock(lib.shutdownMutex);
    lib.phase = Library::Phase::kDone;
    lib.shutdownEnded.notify_all();
  }
  TLLogger::infoInMethod("+[TLDecoder shutdown]", __LINE__, "The library has shut down");
}

void TLDecoder::shutDownParts() {
  std::unique_ptr<SntpClient> sntp;
  {
    std::lock_guard lock(ntpMutex_);
    sntp = std::move(sntpClient_);
    ntpRoundActive_ = false;
  }
  sntp.reset();
  std::vector<std::shared_ptr<TLEngine>> engines;
  {
    std::lock_guard lock(enginesMutex_);
    for (const auto& [name, engine] : engines_) engines.push_back(engine);
  }
  for (const auto& engine : engines) engine->stop();
  // The core's own report has arrived by now, unless its bus could not
  // deliver it (its thread runs the exit): the app hears it either way.
  if (listening_.exchange(false)) {
    notifyDelegates([](TLDecoderDelegate& d) { d.stoppedListening(); });
  }
}

TLDecoder::TLDecoder(Options options) : options_(std::move(options)) {
  if (options_.bus == nullptr) options_.bus = tembrolexinsdk::getMessenger();
  if (!options_.randomBytes) {
    options_.randomBytes = [](unsigned char* out, std::size_t n) {
      return RAND_bytes(out, static_cast<int>(n)) == 1 ? 0 : -1;
    };
  }
}

void TLDecoder::release(TLDecoder* decoder) {
  std::unique_ptr<TLDecoder> owned(decoder);
  const bool insideACall = decoder->releasedInsideACall();
  // Outside any call into the app, and off the main thread, the teardown
  // runs here, at once.
  if (!insideACall && !MainQueue::callerIsMainThread()) return;
  // Inside one, a thread of the library's may wait for that call (the bus
  // thread delivering to an engine, which runs its delegate call on the main
  // queue), and the teardown waits for that thread: the call would wait for
  // itself. What needs no wait happens now; the rest on a thread of its own
  // once the call has returned. The decoder stays whole until then, as the
  // delivery under way still runs in it. On the main thread, outside any
  // call, the teardown may wait for a thread that waits for a delegate call
  // queued to this one: the release waits for it only until such a call is
  // queued, and the teardown ends once this thread pumps the call (or it is
  // dropped).
  decoder->stopHearing();
  auto held = std::make_shared<std::unique_ptr<TLDecoder>>(std::move(owned));
  try {
    if (insideACall) {
      library().teardowns.start([held] { held->reset(); });
    } else {
      library().teardowns.runUnlessAwaited([held] { held->reset(); });
    }
  } catch (const std::system_error& e) {
    TLLogger::errorInMethod("-[TLDecoder dealloc]", __LINE__,
                            "No thread for the decoder's teardown (%s): it runs on this thread",
                            e.what());
  }
}

std::shared_ptr<TLDecoder> TLDecoder::holdUnlessReported() {
  // Held there, a release that the app makes on its own thread meanwhile
  // would leave the last reference, and the teardown, to the bus thread:
  // the release would return before the teardown has ended.
  if (SDKListenerPrivate::reportingTo(this)) return nullptr;
  return weak_from_this().lock();
}

bool TLDecoder::releasedInsideACall() const {
  return AppCallGate::process().callerInside() || options_.dispatcher->appCalls().callerInside() ||
         Messenger::callerDelivering();
}

void TLDecoder::stopHearing() {
  if (released_->exchange(true)) return;
  // The delegates and receivers are the app's: they end once the locks are
  // released, so their destructors may log.
  decltype(delegates_) delegates;
  decltype(ntpReceivers_) receivers;
  {
    std::lock_guard lock(delegatesMutex_);
    delegates.swap(delegates_);
  }
  {
    std::lock_guard lock(ntpReceiversMutex_);
    receivers.swap(ntpReceivers_);
  }
  if (bridge_) {
    // No receiver of this decoder's Messenger (its status listener, the
    // engines', the logger's) hears another message, and the bus stops.
    bridge_->getMessenger().close();
    bridge_->getMessenger().stop();
  }
  tellDecodersLeftOnTheBus();
}

void TLDecoder::tellDecodersLeftOnTheBus() {
  tellOthersOnTheBus("-[TLDecoder dealloc]",
                     "The message bus was stopped for good by the release of another decoder on "
                     "it: this decoder hears nothing more");
}

void TLDecoder::tellOthersOnTheBus(const char* method, const char* text) {
  // The library's shutdown has stopped every bus and told the decoders.
  if (isShutDown()) return;
  std::vector<std::shared_ptr<TLDecoder>> left;
  {
    Library& lib = library();
    std::lock_guard lock(lib.mutex);
    for (const auto& weak : lib.decoders) {
      auto other = weak.lock();
      if (other && other.get() != this && other->options_.bus == options_.bus) {
        left.push_back(std::move(other));
      }
    }
  }
  // Told with no lock held: the app's delegates and log delegate may call in.
  for (const auto& other : left) other->loseBus(method, text);
  // A decoder that the app released meanwhile goes here, with its own
  // release's rules.
}

void TLDecoder::loseBus(const char* method, const char* text) {
  if (released_->load() || busLost_.exchange(true)) return;
  TLLogger::errorInMethod(method, __LINE__, "%s", text);
  notifyFailed(FailureParams(text));
  if (listening_.exchange(false)) {
    notifyDelegates([](TLDecoderDelegate& d) { d.stoppedListening(); });
  }
}

TLDecoder::~TLDecoder() {
  stopHearing();
  // The status listener goes first: its call under way on the bus thread,
  // which may reach any member, returns before one of them goes.
  if (bridge_) bridge_->removeListener();
}

void TLDecoder::startUp(bool setUp) {
  bridge_ = std::make_unique<SDKPrivateObjcpp>(*this, options_.bus, options_.coreBridge);
  TLLogger::debugInMethod("-[TLDecoder init]", __LINE__, "Starting Decoder...");
  analytics_ = std::make_unique<TLSDKAnalytics>(bridge_->getMessenger());

  SntpClient::Options sntp;
  sntp.dispatcher = options_.dispatcher;
  sntp.serverPort = options_.ntpPort;
  sntpClient_ = std::make_unique<SntpClient>(sntp);
  sntpDelegate_ = std::make_shared<SntpDelegate>(weak_from_this());
  sntpClient_->setDelegate(sntpDelegate_);

  // An app may install its environment after taking the decoder; only a
  // start without one is a mistake, which startDecoding reports (Error line
  // and failedWithError). Until then the decoder just waits for it.
  if (setUp && setUpWithEnvironment() == SetUp::kNoEnvironment) {
    TLLogger::debugInMethod("-[TLDecoder init]", __LINE__,
                            "No PlatformEnvironment yet; set-up waits for the first start");
  }
  // The core initialises only after a first configuration; an empty one lets
  // it start without any from the app.
  bridge_->configureWithMap({});
}

std::string TLDecoder::missingEnvironmentText() {
  const PlatformEnvironment env = PlatformEnvironment::current();
  std::string missing;
  if (env.documentsFolder.empty()) missing = "documentsFolder";
  if (env.keyStoreFolder.empty()) missing += missing.empty() ? "keyStoreFolder" : " and keyStoreFolder";
  if (missing.empty()) return {};
  return "The decoder cannot start: no PlatformEnvironment is installed (its " + missing +
         (missing.find(" and ") != std::string::npos ? " are" : " is") +
         " empty); install the app's with PlatformEnvironment::install before starting";
}

TLDecoder::SetUp TLDecoder::setUpWithEnvironment() {
  // The shutdown waits for this work, or it is not begun: at exit OpenSSL's
  // state, which the key pair needs, is cleaned up once the shutdown ends.
  Library& lib = library();
  AppCallGate::Call keyWork(lib.startUps);
  if (!keyWork) return SetUp::kShutDown;
  // The set-up's lines reach the log once the lock is released: the app's
  // log delegate may call exit(), and a start made from a delegate call, on
  // a thread the shutdown waits for, takes the lock.
  TLLogger::HeldLines held;
  std::lock_guard lock(setUpMutex_);
  if (environmentReady_) return SetUp::kDone;
  // Without the app's folders the decoder would keep its files and its
  // private key wherever the process happens to run: it waits for them.
  if (!missingEnvironmentText().empty()) return SetUp::kNoEnvironment;
  std::function<void()> seam;
  {
    std::lock_guard seamsLock(lib.seamsMutex);
    seam = lib.seams.beforeKeyWork;
  }
  if (seam) seam();
  signer_ = std::make_unique<DataSigner>(bridge_->getMessenger());
  makePrivateFolder();
  loadIdentity();
  bridge_->initialise(InitDataBuilder()
                          .setSampleRates(getSampleRates())
                          .setFilePath(privateFolder_)
                          .setExternalFilePath(privateFolder_)
                          .setPackageName(runtimeBundleIdentifierForClass("TLDecoder"))
                          .setUdId(udid_)
                          .build());
  environmentReady_ = true;
  return SetUp::kDone;
}

Messenger& TLDecoder::messenger() { return bridge_->getMessenger(); }

const std::shared_ptr<Messenger>& TLDecoder::sharedMessenger() const {
  return bridge_->sharedMessenger();
}

void TLDecoder::makePrivateFolder() {
  std::string documents = PlatformEnvironment::current().documentsFolder;
  if (!documents.empty() && documents.back() == '/') documents.pop_back();
  privateFolder_ = documents + "/TL";
  if (!tembrolexin::DirInfo::mkdir(privateFolder_, true)) {
    const int error = errno;
    TLLogger::errorInMethod("-[TLDecoder init]", __LINE__,
                            "Cannot make the private folder %s: %s; the core cannot keep its files",
                            privateFolder_.c_str(), tembrolexin::errorText(error).c_str());
  }
  // Backup tools that follow the shared-metadata convention skip folders
  // marked with this attribute.
  static const char kNoBackup[] = "false";
  if (::setxattr(privateFolder_.c_str(), "user.xdg.robots.backup", kNoBackup,
                 sizeof(kNoBackup) - 1, 0) != 0) {
    TLLogger::warnInMethod("-[TLDecoder init]", __LINE__,
                           "Failed to exclude the internal app directory from iCloud backup");
  }
}

namespace {

// What is wrong with a stored identity, or "": the core needs a text it can
// carry whole in its record files and their names.
std::string identityFault(const Json::Value& stored) {
  const char* begin = nullptr;
  const char* end = nullptr;
  if (!stored.getString(&begin, &end)) return "is not a text";
  const auto size = static_cast<std::size_t>(end - begin);
  if (size == 0) return "is empty";
  if (size > TLDecoder::kMaxIdentityBytes) {
    return "is " + std::to_string(size) + " bytes long, more than " +
           std::to_string(TLDecoder::kMaxIdentityBytes);
  }
  if (std::string_view(begin, size).find('\0') != std::string_view::npos ||
      !tembrolexinsdk::StringChecker::isValidUTF8(begin, size)) {
    return "is not valid UTF-8 text";
  }
  return {};
}

}  // namespace

void TLDecoder::loadIdentity() {
  std::shared_ptr<UserDefaults> defaults = UserDefaults::standard();
  // A new identity, should the file hold none that can be used: made before
  // the defaults are locked, as the random source is the app's to give.
  unsigned char bytes[8] = {};
  const int status = options_.randomBytes(bytes, sizeof(bytes));
  char text[17];
  for (int i = 0; i < 8; ++i) std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
  // Taken or stored in one step with the file read again, so that decoders
  // set up at once, in this process or another, run on the one identity.
  const UserDefaults::Claimed claimed =
      defaults->claimString(kIdentityKey, std::string(text, 16), identityFault);
  udid_ = claimed.value;
  if (!claimed.fault.empty()) {
    TLLogger::warnInMethod("-[TLDecoder init]", __LINE__,
                           "The stored device identity (%s) %s; a new one replaces it",
                           kIdentityKey, claimed.fault.c_str());
  }
  if (!claimed.made) return;
  if (status != 0) {
    // The identity is still formed (from whatever the buffer holds) and kept.
    TLLogger::errorInMethod("-[TLDecoder init]", __LINE__, "Could not create udid, error code %d",
                            status);
  }
  if (!claimed.written) {
    TLLogger::warnInMethod("-[TLDecoder init]", __LINE__,
                           "The device identity is not kept: the user defaults file \"%s\" cannot "
                           "be written, so it changes at every start",
                           defaults->path().c_str());
  }
}

void TLDecoder::addDelegate(std::shared_ptr<TLDecoderDelegate> delegate) {
  const auto self = weak_from_this().lock();  // whole until this returns
  if (!delegate) return;
  if (dynamic_cast<TLDeviceIdProviderDecoderDelegate*>(delegate.get()) == nullptr) {
    bridge_->initialise(InitDataBuilder().setDeviceId(-1).build());
  }
  std::lock_guard lock(delegatesMutex_);
  delegates_.push_back(std::move(delegate));
}

void TLDecoder::removeDelegate(const std::shared_ptr<TLDecoderDelegate>& delegate) {
  std::lock_guard lock(delegatesMutex_);
  delegates_.erase(std::remove(delegates_.begin(), delegates_.end(), delegate), delegates_.end());
}

std::vector<std::shared_ptr<TLDecoderDelegate>> TLDecoder::getCurrentDelegates() const {
  std::lock_guard lock(delegatesMutex_);
  return delegates_;
}

void TLDecoder::setDeviceId(int32_t deviceId) {
  const auto self = weak_from_this().lock();  // whole until this returns
  bridge_->initialise(InitDataBuilder().setDeviceId(deviceId).build());
}

std::shared_ptr<TLEngine> TLDecoder::connectEngineDelegate(std::shared_ptr<TLEngineDelegate> delegate,
                                                           TLEngineType type) {
  const auto self = weak_from_this().lock();  // whole until this returns
  constexpr const char* kMethod = "-[TLDecoder connectEngineDelegate:toEngineType:]";
  TLLogger::debugInMethod(kMethod, __LINE__, "entry");
  std::shared_ptr<TLEngine> engine = TLEngine::getEngineOfType(type);
  if (!engine) {
    TLLogger::debugInMethod(kMethod, __LINE__, "cannot create required engine");
    notifyFailed(FailureParams("No engine is available for the requested engine type."));
    return nullptr;
  }
  const std::string name = engine->engineName();
  TLLogger::debugInMethod(kMethod, __LINE__, "connectEngineListener, engine: %s", name.c_str());
  // The messenger first: an engine registers for its answers before what
  // it kept for a decoder goes out and asks for them; the delegate before
  // the decoder, so that it hears those answers.
  engine->setMessenger(bridge_->sharedMessenger());
  engine->setDelegate(std::move(delegate));
  engine->setDecoder(weak_from_this());
  // An engine of the app's class that this one replaces ends after the lock
  // is released.
  std::shared_ptr<TLEngine> replaced;
  std::lock_guard lock(enginesMutex_);
  replaced = std::exchange(engines_[name], engine);
  return engine;
}

void TLDecoder::disconnectEngineDelegate(const std::shared_ptr<TLEngine>& engine) {
  const auto self = weak_from_this().lock();  // whole until this returns
  if (!engine) return;
  const std::string name = engine->engineName();
  TLLogger::debugInMethod("-[TLDecoder disconnectEngineDelegate:]", __LINE__,
                          "removed %s from the _engines dictionary", name.c_str());
  engine->setDelegate(nullptr);
  std::shared_ptr<TLEngine> removed;  // ends after the lock is released
  std::lock_guard lock(enginesMutex_);
  const auto it = engines_.find(name);
  if (it == engines_.end()) return;
  removed = std::move(it->second);
  engines_.erase(it);
}

std::shared_ptr<TLEngine> TLDecoder::engineNamed(const std::string& name) const {
  std::lock_guard lock(enginesMutex_);
  auto it = engines_.find(name);
  return it == engines_.end() ? nullptr : it->second;
}

void TLDecoder::startDecoding() {
  const auto self = weak_from_this().lock();  // whole until this returns
  TLLogger::debugInMethod("-[TLDecoder startDecoding]", __LINE__,
                          "startDecoding ENTRY (not recording)");
  const SetUp setUp = isShutDown() ? SetUp::kShutDown : setUpWithEnvironment();
  if (setUp == SetUp::kShutDown) {
    TLLogger::errorInMethod("-[TLDecoder startDecoding]", __LINE__,
                            "startDecoding refused: the library has shut down");
    return;
  }
  if (setUp == SetUp::kNoEnvironment) {
    const std::string text = missingEnvironmentText();
    TLLogger::errorInMethod("-[TLDecoder startDecoding]", __LINE__, "%s", text.c_str());
    notifyFailed(FailureParams(text));
    return;
  }
  bridge_->startAndRecordToFile(false);
  analytics_->start();
}

void TLDecoder::stopDecoding() {
  const auto self = weak_from_this().lock();  // whole until this returns
  bridge_->stop();
  analytics_->stop();
}

void TLDecoder::prepareData() {
  const auto self = weak_from_this().lock();  // whole until this returns
  bridge_->prepareData();
}

void TLDecoder::configure(const ConfigDictionary& configuration) {
  const auto self = weak_from_this().lock();  // whole until this returns
  bridge_->configureWithMap(configuration);
}

std::shared_ptr<Recorder> TLDecoder::useCustomRecorderWithListener(
    std::shared_ptr<TLRecorderListener> listener, int32_t sampleRateHz) {
  const auto self = weak_from_this().lock();  // whole until this returns
  std::shared_ptr<Recorder> recorder =
      Recorder::create(bridge_->sharedMessenger(), std::move(listener), sampleRateHz,
                       options_.recorderCore, SafeDispatch(*options_.dispatcher));
  if (recorder) recorder->apply();
  return recorder;
}

void TLDecoder::useDefaultRecorder() {
  const auto self = weak_from_this().lock();  // whole until this returns
  Recorder::useDefaultRecorder(options_.recorderCore);
}

void TLDecoder::setNTPServers(std::vector<std::string> servers) {
  const auto self = weak_from_this().lock();  // whole until this returns
  TLLogger::debugInMethod("-[TLDecoder setNTPServers:]", __LINE__, "Setting custom NTPServers");
  bool askNow = false;
  {
    std::lock_guard lock(ntpMutex_);
    ntpServers_ = std::move(servers);
    // Network time asked for while there was no server to ask: the
    // processors that asked wait for an answer (or their next interval).
    askNow = ntpWantedWithoutServer_ && !ntpServers_->empty();
  }
  if (askNow) updateNTP();
}

void TLDecoder::registerNTPReceiver(std::shared_ptr<NTPReceiver> receiver) {
  if (!receiver) return;
  std::lock_guard lock(ntpReceiversMutex_);
  ntpReceivers_.push_back(std::move(receiver));
}

void TLDecoder::unRegisterNTPReceiver(const std::shared_ptr<NTPReceiver>& receiver) {
  std::lock_guard lock(ntpReceiversMutex_);
  ntpReceivers_.erase(std::remove(ntpReceivers_.begin(), ntpReceivers_.end(), receiver),
                      ntpReceivers_.end());
}

std::vector<std::shared_ptr<NTPReceiver>> TLDecoder::getCurrentNTPDelegates() const {
  std::lock_guard lock(ntpReceiversMutex_);
  return ntpReceivers_;
}

void TLDecoder::updateGSMInfo(const std::string& countryCode, const std::string& network,
                              int64_t lac, int64_t cid) {
  const auto self = weak_from_this().lock();  // whole until this returns
  bridge_->updateGSMInfo(countryCode, network, lac, cid);
}

void TLDecoder::updateGPSInfo(double longitude, double latitude) {
  const auto self = weak_from_this().lock();  // whole until this returns
  bridge_->updateGPSInfo(longitude, latitude);
}

int64_t TLDecoder::currentConfidence() const {
  std::lock_guard lock(confidenceMutex_);
  return currentConfidence_;
}

// --- Reports from the core --------------------------------------------------

void TLDecoder::notifyDelegates(std::function<void(TLDecoderDelegate&)> call) {
  auto shared = std::make_shared<std::function<void(TLDecoderDelegate&)>>(std::move(call));
  AppCallGate* appCalls = &options_.dispatcher->appCalls();
  for (const std::shared_ptr<TLDecoderDelegate>& delegate : getCurrentDelegates()) {
    options_.dispatcher->globalQueue()->async([appCalls, delegate, shared, released = released_] {
      if (released->load()) return;
      appCalls->run([&] { (*shared)(*delegate); });
    });
  }
}

void TLDecoder::notifyInitialisationComplete() {
  const auto self = holdUnlessReported();  // whole until this returns
  // The core's engines exist from now on: engines whose messages only they
  // take send again what found no one before.
  std::vector<std::shared_ptr<TLEngine>> engines;
  {
    std::lock_guard lock(enginesMutex_);
    for (const auto& [name, engine] : engines_) engines.push_back(engine);
  }
  for (const std::shared_ptr<TLEngine>& engine : engines) engine->decoderInitialised();
  notifyDelegates([](TLDecoderDelegate& d) { d.initialisationDidComplete(); });
}

void TLDecoder::notifyStartListening() {
  listening_ = true;
  notifyDelegates([](TLDecoderDelegate& d) { d.startedListening(); });
}

void TLDecoder::notifyStopListening() {
  listening_ = false;
  notifyDelegates([](TLDecoderDelegate& d) { d.stoppedListening(); });
}

void TLDecoder::notifyFailed(const FailureParams& failure) {
  const std::string text = failure.description();
  notifyDelegates([text](TLDecoderDelegate& d) { d.failedWithError(text); });
}

void TLDecoder::notifyDecoderConfidenceChanged(int64_t confidence) {
  notifyDelegates([confidence](TLDecoderDelegate& d) { d.confidenceChangedTo(confidence); });
}

void TLDecoder::handleAudioSupport(int32_t sampleRate) {
  if (auto role = std::dynamic_pointer_cast<TLAnalyticsEngineRole>(engineNamed(kAnalyticsEngine))) {
    role->handleAudioSupport(sampleRate);
  }
}

void TLDecoder::audioDecoderAudioSignal(const AudioSignal& signal) {
  if (auto role = std::dynamic_pointer_cast<TLAnalyticsEngineRole>(engineNamed(kAnalyticsEngine))) {
    role->audioDecoderAudioSignal(TLAudioSignal(signal));
  }
}

void TLDecoder::audioProcessorWithNameRaisedStatus(
    const std::string& processorName, std::shared_ptr<const TLGenericStatusParams> status) {
  if (auto role = std::dynamic_pointer_cast<TLAnalyticsEngineRole>(engineNamed(kAnalyticsEngine))) {
    role->audioProcessorWithNameRaisedStatus(processorName, std::move(status));
  }
}

void TLDecoder::audioProcessorWithNameRaisedEvent(
    const std::string& processorName, std::shared_ptr<const TLProcessorEventParams> event) {
  const auto self = holdUnlessReported();  // whole until this returns
  if (!event) return;
  // Each engine may call its delegate, which may release this decoder: the
  // app hears nothing more from it then.
  if (auto codeword = std::dynamic_pointer_cast<const TLCodewordEventParams>(event)) {
    const std::string ref = codeword->engineRef().value_or("");
    if (!ref.empty()) {
      if (auto engine = engineNamed(ref)) engine->processEventParams(event, processorName);
    }
    if (ref == kCodewordAnalyticsRef && !released_->load()) {
      if (auto analytics = engineNamed(kAnalyticsEngine)) {
        analytics->processEventParams(event, processorName);
      }
    }
    if (!released_->load()) applyConfidenceRule(*codeword);
    return;
  }
  std::vector<std::shared_ptr<TLEngine>> snapshot;
  {
    std::lock_guard lock(enginesMutex_);
    for (const auto& [name, engine] : engines_) snapshot.push_back(engine);
  }
  for (const auto& engine : snapshot) {
    if (released_->load()) return;
    engine->processEventParams(event, processorName);
  }
}

void TLDecoder::applyConfidenceRule(const TLCodewordEventParams& codeword) {
  const int64_t s = codeword.syncState();
  const int32_t k = codeword.sigScheme();
  {
    std::lock_guard lock(confidenceMutex_);
    if (s == 1 || k < 0) return;
    // The scheme that set the confidence moves it freely; another scheme can
    // only lower it.
    if (lastScheme_ != 0 && k != lastScheme_ && !(s < currentConfidence_)) return;
    if (s == currentConfidence_) return;
    currentConfidence_ = s;
    lastScheme_ = k;
  }
  notifyDecoderConfidenceChanged(s);
}

// --- Network time -------------------------------------------------------------

void TLDecoder::updateNTP() {
  const auto self = holdUnlessReported();  // whole until this returns
  bool roundFailed = false;
  {
    // The lines logged under ntpMutex_ reach the log once it is released:
    // the app's log delegate may call exit(), whose shutdown takes it.
    TLLogger::HeldLines held;
    std::lock_guard lock(ntpMutex_);
    // One round answers every processor that asks while it is under way:
    // its outcome reaches them all.
    if (!sntpClient_ || ntpRoundActive_ || sntpClient_->requestInProgress()) return;
    if (!ntpServers_ || ntpServers_->empty()) {
      ntpWantedWithoutServer_ = true;
      return;
    }
    ntpWantedWithoutServer_ = false;
    ntpRoundHosts_ = serversToAskLocked();
    ntpRoundAsked_ = 0;
    ntpRoundActive_ = true;
    // A request that did not start counts as that server's failure, so that
    // the round still ends.
    roundFailed = !askNextServerLocked("-[TLDecoder updateNTP]");
    if (roundFailed) ntpRoundActive_ = false;
  }
  if (roundFailed) {
    TLLogger::debugInMethod("-[TLDecoder updateNTP]", __LINE__,
                            "Failed to get NTP from default and fallback servers");
    onNTPUpdate(std::nullopt);
  }
}

std::vector<std::string> TLDecoder::serversToAskLocked() {
  const auto now = options_.dispatcher->clock().steadyNow();
  for (auto it = ntpBackOffUntil_.begin(); it != ntpBackOffUntil_.end();) {
    it = now < it->second ? std::next(it) : ntpBackOffUntil_.erase(it);
  }
  std::vector<std::string> hosts;
  for (std::size_t i = 0; i < std::min<std::size_t>(ntpServers_->size(), 2); ++i) {
    const std::string& host = (*ntpServers_)[i];
    if (backedOffLocked(host, now)) {
      const auto left =
          std::chrono::duration_cast<std::chrono::seconds>(ntpBackOffUntil_[host] - now);
      TLLogger::debugInMethod("-[TLDecoder updateNTP]", __LINE__,
                              "Not asking NTP server %s: it sent a kiss-of-death (%lld s left)",
                              host.c_str(), static_cast<long long>(left.count()));
    } else {
      hosts.push_back(host);
    }
  }
  return hosts;
}

bool TLDecoder::backedOffLocked(const std::string& host,
                                std::chrono::steady_clock::time_point now) {
  const auto it = ntpBackOffUntil_.find(host);
  return it != ntpBackOffUntil_.end() && now < it->second;
}

bool TLDecoder::askNextServerLocked(const char* method) {
  const auto now = options_.dispatcher->clock().steadyNow();
  while (ntpRoundAsked_ < ntpRoundHosts_.size()) {
    const std::string host = ntpRoundHosts_[ntpRoundAsked_++];
    // The same host twice in the list: its kiss-of-death in this round
    // counts for the second entry too.
    if (backedOffLocked(host, now)) continue;
    if (sntpClient_->requestTimeWithHost(host, serverNTPTimeout_)) {
      TLLogger::debugInMethod(method, __LINE__, "Requested NTP from server: %s", host.c_str());
      return true;
    }
  }
  return false;
}

void TLDecoder::sntpClientReceivedNTPInfo(const NTPResult& result) {
  const auto self = weak_from_this().lock();  // whole until this returns
  {
    std::lock_guard lock(ntpMutex_);
    if (!ntpRoundActive_) return;
    ntpRoundActive_ = false;
  }
  TLLogger::debugInMethod("-[TLDecoder sntpClientReceivedNTPInfo:]", __LINE__,
                          "Received NTP from Server: %s", result.ntpSource().c_str());
  onNTPUpdate(result);
}

void TLDecoder::sntpClientFailed(const TLError& error) {
  const auto self = weak_from_this().lock();  // whole until this returns
  TLLogger::errorInMethod("-[TLDecoder sntpClientFailed:]", __LINE__,
                          "Failed to get NTP with error: %s", error.localizedDescription.c_str());
  if (error.domain == kSntpClientErrorDomain && error.code == kSntpKissOfDeathError) {
    // The server asks us to stop or to slow down: it is left alone for a
    // while, and the rounds ask the other server meanwhile.
    TLLogger::HeldLines held;  // see updateNTP
    std::lock_guard lock(ntpMutex_);
    if (ntpRoundActive_ && ntpRoundAsked_ > 0) {
      const std::string& host = ntpRoundHosts_[ntpRoundAsked_ - 1];
      ntpBackOffUntil_[host] = options_.dispatcher->clock().steadyNow() + kKissOfDeathBackOff;
      TLLogger::infoInMethod("-[TLDecoder sntpClientFailed:]", __LINE__,
                             "NTP server %s is not asked for the next %lld minutes", host.c_str(),
                             static_cast<long long>(kKissOfDeathBackOff.count()));
    }
  }
  askNextServerAfterFailure();
}

void TLDecoder::sntpClientTimedOut() {
  const auto self = weak_from_this().lock();  // whole until this returns
  TLLogger::errorInMethod("-[TLDecoder sntpClientTimedOut]", __LINE__, "NTP request timed out");
  askNextServerAfterFailure();
}

void TLDecoder::askNextServerAfterFailure() {
  constexpr const char* kMethod = "-[TLDecoder sntpClientFailed:]";
  {
    TLLogger::HeldLines held;  // see updateNTP
    std::lock_guard lock(ntpMutex_);
    if (!ntpRoundActive_ || !sntpClient_) return;
    // With a single server to ask there is no fallback: its failure ends
    // the round.
    if (askNextServerLocked(kMethod)) return;
    ntpRoundActive_ = false;
  }
  TLLogger::debugInMethod(kMethod, __LINE__, "Failed to get NTP from default and fallback servers");
  onNTPUpdate(std::nullopt);
}

void TLDecoder::onNTPUpdate(const std::optional<NTPResult>& result) {
  bridge_->updateNTP(result ? &*result : nullptr);
  AppCallGate* appCalls = &options_.dispatcher->appCalls();
  for (const std::shared_ptr<NTPReceiver>& receiver : getCurrentNTPDelegates()) {
    options_.dispatcher->globalQueue()->async([appCalls, receiver, result, released = released_] {
      if (released->load()) return;
      appCalls->run([&] { receiver->onNTPUpdate(result); });
    });
  }
}

}  // namespace tembrolexinplatform
