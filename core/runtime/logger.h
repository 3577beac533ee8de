// Logging: the process-wide Logger, its records and its two companions.
//
// A log line is a LogParams (a level and a UTF-8 text) plus the name of the
// object that logged it. The Logger sends each line on its registered bus as
// one LogSignal (message type 8). Until a bus is registered, lines wait in a
// backlog; the first line logged afterwards sends the backlog ahead of itself.
// The backlog keeps the first kMaxBacklogLines lines and counts the rest,
// which one Warning names as it leaves. Once a line sink is set (the library
// has shut down, and no bus will come), lines that find no bus go there.
// The LogQueueWatcher counts lines on their way through the bus so that a
// caller can wait until they are delivered; the StringChecker keeps invalid
// UTF-8 off the bus.
//
// Lock order, outermost first: Logger::sLogStreamMutex (log helpers), the
// Logger's backlog lock, the bus's queue lock, the watcher's mutex. Nothing
// that runs under one of them logs.
#ifndef TL_CORE_RUNTIME_LOGGER_H_
#define TL_CORE_RUNTIME_LOGGER_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/i_messenger.h"
#include "core/runtime/thrift_params.h"

namespace tembrolexinsdk {

// The numbers are those of the schema's LogType.
enum class LogLevel : std::int32_t {
  Trace = 0,
  Debug = 1,
  Info = 2,
  Warning = 3,
  Error = 4,
  Assert = 5,
};

// Keeps invalid UTF-8 off the bus. Stateless; thread-safe.
class StringChecker {
 public:
  // Whether the NUL-terminated `text` is acceptable: well-formed UTF-8 whose
  // single-byte characters are tab, line feed, carriage return and printable
  // ASCII. The walk ends at the first NUL; null is not acceptable.
  static bool isValidUTF8(const char* text);
  // The same over `length` bytes, where a NUL byte counts as one acceptable
  // character and the walk goes on behind it.
  static bool isValidUTF8(const char* text, std::size_t length);
  // `text` itself when all of its bytes are acceptable (a NUL is, the bytes
  // behind it are judged too), else "Message removed: invalid UTF-8 string".
  static std::string makeUTF8(const std::string& text);
  // Bytes an app gave (a configuration value, a file path) made fit to be
  // quoted in a log line or a failure text, which makeUTF8 would otherwise
  // replace whole: every byte that is no part of an acceptable character
  // (bytes that are not UTF-8, control characters but tab, line feed and
  // carriage return) and every NUL becomes "\xNN", two upper-case
  // hexadecimal digits ("lat\xE9in" for Latin-1 "latéin"); the rest stays
  // as it is. A backslash of the bytes is not escaped.
  static std::string escapeBytes(const std::string& bytes);

  static const char kRemovedText[];
};

// One log line's level and text. The text is always acceptable UTF-8 (the
// constructor replaces anything else). Immutable value.
class LogParams {
 public:
  LogParams(LogLevel level, const std::string& message)
      : level_(level), message_(StringChecker::makeUTF8(message)) {}

  LogLevel getLevel() const { return level_; }
  const std::string& getMessage() const { return message_; }

 private:
  LogLevel level_;
  std::string message_;
};

// Counts the Logger's lines that are on their way through the bus. Registered
// on the bus as a listener of type 8, it counts down for every delivered
// LogSignal. Thread-safe.
class LogQueueWatcher : public IMessengerListener {
 public:
  LogQueueWatcher() = default;
  ~LogQueueWatcher() override = default;

  // Registers the watcher on `messenger` for message type 8.
  void setMessenger(IMessenger* messenger);
  // Unregisters from `messenger` and forgets it, if it is the current one.
  // Lines still counted can no longer arrive, so await() stops waiting.
  void clearMessenger(IMessenger* messenger);
  // The bus `messenger` has stopped delivering (no-op for another bus). The
  // core's Messenger calls it on its registered watchers when its thread ends.
  void onMessengerStopped(IMessenger* messenger);

  // One more line in flight.
  void onLog();
  // The bus delivered a line: one fewer in flight. Arguments unused.
  void onReceive(const std::string& senderName, const ThriftParams& params) override;

  // Returns when no line is in flight (the count is 0 or below), and then
  // after a pause of 10 ms during which onLog() blocks. Returns at once,
  // without the pause, when nothing is in flight, when called on the bus
  // thread itself (waiting there would never end), when the bus has stopped
  // or been forgotten, or when `limit` has run out. True when nothing was in
  // flight at the end.
  bool await(std::optional<std::chrono::milliseconds> limit = std::nullopt);

  // The count of lines in flight; may stand at -1 for a moment, as a line can
  // be delivered before its sender has counted it.
  std::int64_t size() const;

 private:
  mutable tembrolexin::Mutex mutex_;
  tembrolexin::CondVar cond_;
  std::int64_t count_ = 0;
  IMessenger* messenger_ = nullptr;  // guarded by mutex_
  bool stopped_ = false;             // guarded by mutex_
};

// The process-wide logger (also constructible on its own for tests).
// Thread-safe: any thread may log, the bus thread included.
class Logger {
 public:
  // The most lines the backlog keeps while no bus takes them: the first ones
  // logged. Later ones are counted and dropped, and one Warning under
  // kDroppedSender follows the kept lines when they leave: "Log lines
  // dropped: N (only the first 1000 lines logged while no bus took them were
  // kept)".
  static constexpr std::size_t kMaxBacklogLines = 1000;
  static constexpr const char* kDroppedSender = "Logger";

  // Where lines that find no bus go once set: called on the logging thread,
  // holding no lock of the Logger's nor the log stream's mutex (a line that
  // logWithLogger logs reaches it as that call returns). The line is the
  // caller's; the sink copies what it keeps.
  using LineSink = void (*)(const std::string& sender, const LogParams& params);

  // The one instance: created on first use, never destroyed, so that threads
  // still logging during process exit find it.
  static Logger* getInstance();

  Logger() = default;
  // Unregisters its watcher from the bus, if one is registered.
  virtual ~Logger();

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Logs one line under `sender`. Without a bus the line joins the backlog;
  // with one, the backlog is sent first, then the line. The caller keeps
  // `params`; null is ignored.
  void Log(std::string sender, const LogParams* params);

  // Sends one line on the registered bus as a LogSignal (message type 8) and
  // counts it with the watcher. Null `params`, or no bus, sends nothing.
  void onLog(std::string sender, const LogParams* params);

  // Gives the Logger its bus. Throws std::invalid_argument "Messenger is a
  // nullptr" for null and std::runtime_error "log listener already
  // registered" for a second, different bus (the first stays). Registering
  // the same bus again only registers the watcher again. Sends nothing.
  void registerMessenger(IMessenger* messenger);

  // Forgets `messenger` if it is the registered bus: later lines join the
  // backlog again (or go to the line sink, once set), and the call returns
  // only when no thread is still handing a line to it. Called by a bus that
  // is going away. Must not be called while logging on the same thread.
  void detachMessenger(IMessenger* messenger);

  // From now on lines logged while no bus is registered go to `sink` (null:
  // to the backlog again); the backlog goes there at once when no bus is
  // registered. Call it with no lock of the library's held.
  void setLineSink(LineSink sink);
  // Hands the lines that the calling thread kept for a sink while it held
  // the log stream's mutex to that sink. logWithLogger calls it once it has
  // released the mutex.
  static void handOnDeferredLines();

  LogQueueWatcher* getWatcher() { return &watcher_; }

  // The number of lines waiting in the backlog (kMaxBacklogLines at most).
  std::size_t backlogSize() const;
  // The lines dropped since the backlog last left.
  std::size_t droppedLines() const;

  // The UTC time of day of `t`: "HH:MM:SS." followed by the milliseconds
  // within the second without leading zeros (00:00:00.5 for 5 ms).
  static std::string TimeString(
      std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds> t);

  // The stream in which the logWithLogger helpers compose their lines, and
  // the mutex that guards it. Both live until the process ends.
  static std::stringstream& sLogStream;
  static tembrolexin::Mutex& sLogStreamMutex;
  // The same objects, safe to use before static initialisation has reached
  // this file.
  static std::stringstream& logStream();
  static tembrolexin::Mutex& logStreamMutex();

 private:
  struct Entry {
    std::string sender;
    LogParams params;
  };

  // Sends one line on `bus` and counts it.
  void sendLine(IMessenger* bus, const std::string& sender, const LogParams& params);
  // Under backlogMutex_: keeps the line, or counts it as dropped.
  void keepLocked(std::string sender, const LogParams& params);
  // Under backlogMutex_: empties the backlog, returning its lines followed
  // by the Warning that names the lines dropped, if any.
  std::vector<Entry> takeBacklogLocked();
  // Hands `lines` to `sink` now, or as logWithLogger returns when this
  // thread holds the log stream's mutex.
  static void handToSink(LineSink sink, std::vector<Entry> lines);

  LogQueueWatcher watcher_;
  std::atomic<IMessenger*> bus_{nullptr};
  std::atomic<LineSink> sink_{nullptr};
  mutable tembrolexin::Mutex backlogMutex_;
  std::vector<Entry> backlog_;
  std::size_t dropped_ = 0;  // guarded by backlogMutex_
  // Whether backlog_ holds entries: lets the common path skip the lock.
  std::atomic<bool> hasBacklog_{false};
  // Threads that may be using bus_, counted per detach epoch: a detach moves
  // to the next epoch and waits only for the threads counted in the one
  // before, so threads that keep logging meanwhile cannot hold it up.
  std::atomic<std::uint64_t> senderEpoch_{0};
  std::atomic<int> activeSenders_[2] = {0, 0};
  // Serialises detaches, so that each drains the epoch it ended.
  tembrolexin::Mutex detachMutex_;

  class SenderScope;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_LOGGER_H_
