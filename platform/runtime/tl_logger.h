// Logging for the app: every log line of the library, from the platform
// layer and from the core, ends at one sink that the app chooses.
//
// Platform code logs through the six class methods (traceInMethod ...
// assertInMethod), naming the calling method as sender, e.g.
//   TLLogger::warnInMethod("-[TLDecoder start]", __LINE__, "x=%d", 3);
// The core's lines arrive as LogSignal messages on the bus (onReceive) once
// the bridge has given the logger its platform Messenger (setMessenger);
// those of levels Debug to Assert reach the sink under the core component's
// name, Trace lines of the core never do.
//
// After the library has shut down its bus, the core's lines reach the sink
// directly (takeCoreLinesWithoutBus).
//
// Until the app installs a sink (setDelegate), NSLogLogger prints lines of
// levels Info, Warning and Error to the system log (standard error here) as
// "INF: <sender>: <text>", "WRN: ..." and "ERR: ...".
//
// The app's sink is a call into the app: each line passes the logger's
// AppCallGate (the process's), and once that has closed (the process is
// exiting) the lines go to NSLogLogger::sharedLogger() instead.
//
// Thread safety: every operation may be called from any thread. Lines are
// handed to the sink synchronously on the logging thread (core lines on the
// bus thread), so a sink must accept calls from several threads at once.
#ifndef TL_PLATFORM_RUNTIME_TL_LOGGER_H_
#define TL_PLATFORM_RUNTIME_TL_LOGGER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/app_call_gate.h"
#include "platform/runtime/event_params.h"
#include "platform/runtime/tl_thrift_params.h"

namespace tembrolexinplatform {

class Messenger;

// The app's log sink.
class TLLoggerDelegate {
 public:
  virtual ~TLLoggerDelegate() = default;
  virtual void logfromSender(const std::string& sender, const TLLogParams& params) = 0;
};

// The default sink.
class NSLogLogger final : public TLLoggerDelegate {
 public:
  using Writer = std::function<void(const std::string& line)>;
  // Lines go to `writer`; without one, to standard error with a newline.
  explicit NSLogLogger(Writer writer = {});
  // The one default sink, writing to standard error; never destroyed.
  static std::shared_ptr<NSLogLogger> sharedLogger();

  // Level 2 "INF: %s: %s", 3 "WRN: %s: %s", 4 "ERR: %s: %s" with sender and
  // text; levels 0, 1, 5 and others print nothing.
  void logfromSender(const std::string& sender, const TLLogParams& params) override;

 private:
  Writer writer_;
};

class TLLogger final : public IThriftMessageReceiver {
 public:
  // Keeps the lines the calling thread logs, through any logger, while it
  // lives, and hands them to their loggers' sinks in order at release() and
  // when it ends. For code that logs while it holds a lock that a call from
  // the sink could take again on the same thread: an app's log delegate may
  // call back into the library, or call exit(), whose shutdown takes the
  // locks of what it stops. Scopes nest; an inner one leaves its lines to
  // the outermost. Lines reach the sinks only with no scope active, so what
  // a sink logs, or an exit it makes, is logged as usual. The loggers named
  // must outlive the lines held for them. A sink's exception leaves
  // release() and the scope's end as it would have left the logging call,
  // the lines after it still held, except while the scope ends by an
  // exception: then it is dropped. Bound to its thread; not copyable.
  class HeldLines {
   public:
    HeldLines();
    ~HeldLines() noexcept(false);
    HeldLines(const HeldLines&) = delete;
    HeldLines& operator=(const HeldLines&) = delete;
    // Hands the lines held so far to their sinks and goes on holding. Call
    // only with the locks released; does nothing in an inner scope.
    void release();

   private:
    const bool outermost_;
    const bool ownsLines_;
    const int uncaught_;
  };

  // While it lives, a move of a logger off a messenger on the calling
  // thread (setMessenger, releaseMessenger) returns without waiting for a
  // core line that messenger is handing to the sink on another thread; the
  // scope waits for those lines as it ends. For a making that holds a guard
  // which such a line's sink may ask for in turn (the first sharedDecoder():
  // the app's log delegate may ask for the shared decoder). Scopes nest; the
  // outermost waits. The loggers named must outlive it. Bound to its thread;
  // not copyable.
  class DeferredMessengerWaits {
   public:
    DeferredMessengerWaits();
    ~DeferredMessengerWaits();
    DeferredMessengerWaits(const DeferredMessengerWaits&) = delete;
    DeferredMessengerWaits& operator=(const DeferredMessengerWaits&) = delete;

   private:
    const bool outermost_;
  };

  // A logger whose sink is NSLogLogger::sharedLogger(), and whose lines for
  // the app's sink pass `appCalls` (which must outlive it). Apps use the
  // shared one; tests may make their own.
  explicit TLLogger(AppCallGate& appCalls = AppCallGate::process());
  // Unregisters from the messenger kept.
  ~TLLogger() override;
  TLLogger(const TLLogger&) = delete;
  TLLogger& operator=(const TLLogger&) = delete;
  // The one logger, created on first use; never destroyed, so threads that
  // still log during exit find it.
  static TLLogger& sharedLogger();

  // Keeps `messenger` and registers the logger with it for LogSignal (8),
  // after unregistering from the messenger kept before, so a core line is
  // never heard twice; null keeps none. Held weakly: the messenger's owner
  // (the bridge) decides its life. Given by the bridge at start-up.
  // Returns once a core line that the old messenger hands to the sink on
  // another thread has been handed (unless a DeferredMessengerWaits scope
  // takes that wait over); that wait holds no lock of the logger's, so the
  // sink may call this (make or release a decoder) meanwhile.
  void setMessenger(const std::shared_ptr<Messenger>& messenger);
  // Unregisters from `messenger` and forgets it, when it is the one kept
  // (the bridge, as it goes); waits as setMessenger does.
  void releaseMessenger(const Messenger* messenger);
  std::shared_ptr<Messenger> messenger() const;

  void setDelegate(std::shared_ptr<TLLoggerDelegate> delegate);
  // Back to NSLogLogger::sharedLogger().
  void unsetDelegate();

  // Hands the line to the current sink (the default one when the app's is
  // closed off).
  void logFromSender(const std::string& sender, const TLLogParams& params);

  // A core line: a LogSignal (type 8) with logType 1 to 5 goes to the sink
  // with its own sender field as sender; anything else is dropped.
  void onReceive(const TLThriftParams& message, const std::string& sender) override;

  // From now on the core's lines that no bus takes (the library has shut
  // down, and its bus with it) reach the shared logger's sink directly, on
  // the thread that logged them, as platform lines do; so do those the
  // core's logger kept, if no bus is registered. Levels as onReceive.
  static void takeCoreLinesWithoutBus();

  // Platform lines of level 0 to 5 through the shared logger; `format` is
  // printf-style. The line number is not part of the line.
  static void traceInMethod(std::string_view method, int line, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void debugInMethod(std::string_view method, int line, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void infoInMethod(std::string_view method, int line, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void warnInMethod(std::string_view method, int line, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void errorInMethod(std::string_view method, int line, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void assertInMethod(std::string_view method, int line, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

 private:
  std::shared_ptr<TLLoggerDelegate> delegate() const;
  // Hands the line to the current sink at once.
  void deliver(const std::string& sender, const TLLogParams& params);
  // Waits for a core line that `old`, which this logger has just left,
  // hands to the sink on another thread; in a DeferredMessengerWaits scope,
  // leaves the wait to the scope's end.
  void waitForLineOf(std::shared_ptr<Messenger> old);
  // A core line of level `logType`: 1 to 5 go to the sink, others nowhere.
  void logCoreLine(int32_t logType, std::string message, std::string sender);

  AppCallGate& appCalls_;
  mutable tembrolexin::Mutex mutex_;
  std::shared_ptr<TLLoggerDelegate> delegate_;
  // Guards messenger_ and serialises the switches' register and remove
  // steps; never held by a delivery, nor while a switch waits for one.
  mutable tembrolexin::Mutex messengerMutex_;
  std::weak_ptr<Messenger> messenger_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_TL_LOGGER_H_
