#include "platform/runtime/tl_logger.h"

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <exception>
#include <iostream>
#include <memory>
#include <utility>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/logger.h"
#include "platform/runtime/messenger.h"

namespace tembrolexinplatform {

namespace {

std::string formatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[256];
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, n);
  std::vector<char> big(static_cast<std::size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), format, args);
  return std::string(big.data(), n);
}

// The lines of the calling thread's HeldLines scopes. Trivially destructible
// on purpose: exit() destroys the exiting thread's thread_local objects before
// its exit handlers run, and the library's handler logs through them. The
// list is owned by the first scope that needs it and freed as it ends.
struct HeldState {
  struct Line {
    TLLogger* logger;
    std::string sender;
    TLLogParams params;
  };
  int depth = 0;
  std::deque<Line>* lines = nullptr;
};

HeldState& held() {
  thread_local HeldState state;
  return state;
}

// The waits that the calling thread's DeferredMessengerWaits scopes took
// over: each logger with the messenger it left. Trivially destructible, as
// HeldState; the list is owned by the outermost scope.
struct DeferredState {
  struct Wait {
    TLLogger* logger;
    std::shared_ptr<Messenger> messenger;
  };
  int depth = 0;
  std::vector<Wait>* waits = nullptr;
};

DeferredState& deferred() {
  thread_local DeferredState state;
  return state;
}

void logLine(int32_t level, std::string_view method, const char* format, va_list args) {
  TLLogParams params{level, formatV(format, args)};
  TLLogger::sharedLogger().logFromSender(std::string(method), params);
}

}  // namespace

NSLogLogger::NSLogLogger(Writer writer) : writer_(std::move(writer)) {
  if (!writer_) {
    writer_ = [](const std::string& line) {
      // One write per line, so lines of several threads do not interleave.
      std::string out = line + "\n";
      std::fwrite(out.data(), 1, out.size(), stderr);
    };
  }
}

std::shared_ptr<NSLogLogger> NSLogLogger::sharedLogger() {
  static auto* shared = new std::shared_ptr<NSLogLogger>(std::make_shared<NSLogLogger>());
  return *shared;
}

void NSLogLogger::logfromSender(const std::string& sender, const TLLogParams& params) {
  const char* prefix = nullptr;
  switch (params.level) {
    case 2: prefix = "INF: "; break;
    case 3: prefix = "WRN: "; break;
    case 4: prefix = "ERR: "; break;
    default: return;
  }
  writer_(prefix + sender + ": " + params.message);
}

TLLogger::TLLogger(AppCallGate& appCalls)
    : appCalls_(appCalls), delegate_(NSLogLogger::sharedLogger()) {}

TLLogger::~TLLogger() { setMessenger(nullptr); }

TLLogger& TLLogger::sharedLogger() {
  static TLLogger* shared = new TLLogger();
  return *shared;
}

void TLLogger::setDelegate(std::shared_ptr<TLLoggerDelegate> delegate) {
  // The sink let go of is the app's: it ends after the lock is released,
  // so its destructor may log.
  std::shared_ptr<TLLoggerDelegate> old;
  std::lock_guard lock(mutex_);
  old = std::exchange(delegate_, delegate ? std::move(delegate) : NSLogLogger::sharedLogger());
}

void TLLogger::unsetDelegate() { setDelegate(nullptr); }

void TLLogger::setMessenger(const std::shared_ptr<Messenger>& messenger) {
  std::shared_ptr<Messenger> old;
  {
    std::lock_guard lock(messengerMutex_);
    old = messenger_.lock();
    if (old == messenger) return;
    if (old) old->removeReceiver(this, kMessageTypeId<LogSignal>);
    messenger_ = messenger;
    if (messenger) messenger->registerReceiver(this, kMessageTypeId<LogSignal>);
  }
  // A core line that the old messenger hands to the sink on its bus thread
  // ends before this returns. Waited for with no lock held: that sink may
  // make or release a decoder, which comes here.
  if (old) waitForLineOf(std::move(old));
}

void TLLogger::waitForLineOf(std::shared_ptr<Messenger> old) {
  DeferredState& state = deferred();
  if (state.depth > 0) {
    state.waits->push_back({this, std::move(old)});
    return;
  }
  old->waitForCalls(this, kMessageTypeId<LogSignal>);
}

TLLogger::DeferredMessengerWaits::DeferredMessengerWaits() : outermost_(deferred().depth++ == 0) {
  if (outermost_) deferred().waits = new std::vector<DeferredState::Wait>();
}

TLLogger::DeferredMessengerWaits::~DeferredMessengerWaits() {
  DeferredState& state = deferred();
  --state.depth;
  if (!outermost_) return;
  std::unique_ptr<std::vector<DeferredState::Wait>> waits(std::exchange(state.waits, nullptr));
  for (const DeferredState::Wait& wait : *waits) {
    wait.messenger->waitForCalls(wait.logger, kMessageTypeId<LogSignal>);
  }
}

void TLLogger::releaseMessenger(const Messenger* messenger) {
  std::shared_ptr<Messenger> held;
  {
    std::lock_guard lock(messengerMutex_);
    held = messenger_.lock();
    if (!held || held.get() != messenger) return;
    held->removeReceiver(this, kMessageTypeId<LogSignal>);
    messenger_.reset();
  }
  waitForLineOf(std::move(held));
}

std::shared_ptr<Messenger> TLLogger::messenger() const {
  std::lock_guard lock(messengerMutex_);
  return messenger_.lock();
}

std::shared_ptr<TLLoggerDelegate> TLLogger::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

TLLogger::HeldLines::HeldLines()
    : outermost_(held().depth++ == 0),
      ownsLines_(held().lines == nullptr),
      uncaught_(std::uncaught_exceptions()) {
  if (ownsLines_) held().lines = new std::deque<HeldState::Line>();
}

TLLogger::HeldLines::~HeldLines() noexcept(false) {
  struct Leave {
    const bool ownsLines;
    ~Leave() {
      HeldState& state = held();
      --state.depth;
      if (ownsLines) {
        delete state.lines;
        state.lines = nullptr;
      }
    }
  } leave{ownsLines_};
  if (std::uncaught_exceptions() > uncaught_) {
    // Already unwinding: a second exception would end the process.
    try {
      release();
    } catch (...) {
    }
    return;
  }
  release();
}

void TLLogger::HeldLines::release() {
  if (!outermost_) return;
  HeldState& state = held();
  // No scope is active while the sinks run: their own lines, and those of an
  // exit() made from one, go out at once.
  struct Restore {
    HeldState& state;
    const int depth;
    ~Restore() { state.depth = depth; }
  } restore{state, state.depth};
  state.depth = 0;
  while (!state.lines->empty()) {
    const HeldState::Line line = std::move(state.lines->front());
    state.lines->pop_front();
    line.logger->deliver(line.sender, line.params);
  }
}

void TLLogger::logFromSender(const std::string& sender, const TLLogParams& params) {
  HeldState& state = held();
  if (state.depth > 0) {
    state.lines->push_back({this, sender, params});
    return;
  }
  deliver(sender, params);
}

void TLLogger::deliver(const std::string& sender, const TLLogParams& params) {
  // In the test builds: a line handed on while the thread holds a library
  // lock aborts here, whichever the sink, since with the app's it would be a
  // call into the app.
  tembrolexin::lockcheck::expectNoneHeld("TLLogger::deliver");
  // The sink is called outside the lock: it may log or change the sink.
  const std::shared_ptr<TLLoggerDelegate> sink = delegate();
  const std::shared_ptr<NSLogLogger> standard = NSLogLogger::sharedLogger();
  if (sink != standard) {
    AppCallGate::Call call(appCalls_);
    if (call) {
      sink->logfromSender(sender, params);
      return;
    }
  }
  standard->logfromSender(sender, params);
}

void TLLogger::onReceive(const TLThriftParams& message, const std::string& /*sender*/) {
  std::unique_ptr<LogSignal> signal = message.newMessageOfType<LogSignal>();
  if (!signal || !signal->__isset.logType) return;
  logCoreLine(signal->logType, signal->__isset.message ? std::move(signal->message) : std::string(),
              signal->__isset.sender ? std::move(signal->sender) : std::string());
}

void TLLogger::logCoreLine(int32_t logType, std::string message, std::string sender) {
  // The core's Trace lines never reach the app.
  if (logType < 1 || logType > 5) return;
  logFromSender(sender, TLLogParams{logType, std::move(message)});
}

void TLLogger::takeCoreLinesWithoutBus() {
  tembrolexinsdk::Logger::getInstance()->setLineSink(
      [](const std::string& sender, const tembrolexinsdk::LogParams& params) {
        sharedLogger().logCoreLine(static_cast<int32_t>(params.getLevel()), params.getMessage(),
                                   sender);
      });
}

#define TL_LOGGER_LEVEL_METHOD(name, level)                                          \
  void TLLogger::name(std::string_view method, int /*line*/, const char* format, ...) { \
    va_list args;                                                                   \
    va_start(args, format);                                                         \
    logLine(level, method, format, args);                                           \
    va_end(args);                                                                   \
  }
TL_LOGGER_LEVEL_METHOD(traceInMethod, 0)
TL_LOGGER_LEVEL_METHOD(debugInMethod, 1)
TL_LOGGER_LEVEL_METHOD(infoInMethod, 2)
TL_LOGGER_LEVEL_METHOD(warnInMethod, 3)
TL_LOGGER_LEVEL_METHOD(errorInMethod, 4)
TL_LOGGER_LEVEL_METHOD(assertInMethod, 5)
#undef TL_LOGGER_LEVEL_METHOD

}  // namespace tembrolexinplatform
