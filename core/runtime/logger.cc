#include "core/runtime/logger.h"

#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/messenger.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {
namespace {

constexpr int kLogSignalType = 8;

// The length of the acceptable character that starts at p[0] (n bytes are
// available, n >= 1), or 0 when p[0] cannot start one or a following byte is
// out of its range or missing.
std::size_t characterLength(const unsigned char* p, std::size_t n) {
  const auto follows = [p, n](std::size_t i, unsigned lo, unsigned hi) {
    return i < n && p[i] >= lo && p[i] <= hi;
  };
  const unsigned b = p[0];
  if (b == 0x09 || b == 0x0A || b == 0x0D || (b >= 0x20 && b <= 0x7E)) return 1;
  if (b >= 0xC2 && b <= 0xDF) return follows(1, 0x80, 0xBF) ? 2 : 0;
  if (b == 0xE0) return follows(1, 0xA0, 0xBF) && follows(2, 0x80, 0xBF) ? 3 : 0;
  if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
    return follows(1, 0x80, 0xBF) && follows(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (b == 0xED) return follows(1, 0x80, 0x9F) && follows(2, 0x80, 0xBF) ? 3 : 0;
  if (b == 0xF0) {
    return follows(1, 0x90, 0xBF) && follows(2, 0x80, 0xBF) && follows(3, 0x80, 0xBF) ? 4 : 0;
  }
  if (b >= 0xF1 && b <= 0xF3) {
    return follows(1, 0x80, 0xBF) && follows(2, 0x80, 0xBF) && follows(3, 0x80, 0xBF) ? 4 : 0;
  }
  if (b == 0xF4) {
    return follows(1, 0x80, 0x8F) && follows(2, 0x80, 0xBF) && follows(3, 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

// Walks `length` bytes; a NUL either ends the walk (C strings) or counts as
// one acceptable character.
bool walk(const char* text, std::size_t length, bool nulEnds) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  std::size_t i = 0;
  while (i < length) {
    if (p[i] == 0) {
      if (nulEnds) return true;
      ++i;
      continue;
    }
    const std::size_t step = characterLength(p + i, length - i);
    if (step == 0) return false;
    i += step;
  }
  return true;
}

}  // namespace

// ---- StringChecker -------------------------------------------------------

const char StringChecker::kRemovedText[] = "Message removed: invalid UTF-8 string";

bool StringChecker::isValidUTF8(const char* text) {
  if (text == nullptr) return false;
  return walk(text, std::strlen(text), /*nulEnds=*/true);
}

bool StringChecker::isValidUTF8(const char* text, std::size_t length) {
  if (text == nullptr) return length == 0;
  return walk(text, length, /*nulEnds=*/false);
}

std::string StringChecker::makeUTF8(const std::string& text) {
  if (isValidUTF8(text.data(), text.size())) return text;
  return kRemovedText;
}

std::string StringChecker::escapeBytes(const std::string& bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t length = bytes.size();
  std::string text;
  text.reserve(length);
  std::size_t i = 0;
  while (i < length) {
    const std::size_t step = p[i] == 0 ? 0 : characterLength(p + i, length - i);
    if (step == 0) {
      text += "\\x";
      text += kHex[p[i] >> 4];
      text += kHex[p[i] & 0xF];
      ++i;
      continue;
    }
    text.append(bytes, i, step);
    i += step;
  }
  return text;
}

// ---- LogQueueWatcher -----------------------------------------------------

void LogQueueWatcher::setMessenger(IMessenger* messenger) {
  if (messenger == nullptr) return;
  messenger->registerListener(kLogSignalType, this);
  const auto* bus = dynamic_cast<const Messenger*>(messenger);
  std::lock_guard lock(mutex_);
  messenger_ = messenger;
  stopped_ = bus != nullptr && bus->isStopped();
  cond_.notify_all();
}

void LogQueueWatcher::clearMessenger(IMessenger* messenger) {
  {
    std::lock_guard lock(mutex_);
    if (messenger == nullptr || messenger_ != messenger) return;
  }
  // Leave the bus first: it may still deliver a line until unregistering has
  // returned, and that delivery must not count against the next bus.
  messenger->unregisterListener(kLogSignalType, this);
  std::lock_guard lock(mutex_);
  if (messenger_ != messenger) return;
  messenger_ = nullptr;
  stopped_ = false;
  // Lines in flight on a forgotten bus are not followed any more.
  count_ = 0;
  cond_.notify_all();
}

void LogQueueWatcher::onMessengerStopped(IMessenger* messenger) {
  std::lock_guard lock(mutex_);
  if (messenger == nullptr || messenger_ != messenger) return;
  stopped_ = true;
  cond_.notify_all();
}

void LogQueueWatcher::onLog() {
  std::lock_guard lock(mutex_);
  ++count_;
  cond_.notify_all();
}

void LogQueueWatcher::onReceive(const std::string&, const ThriftParams&) {
  std::lock_guard lock(mutex_);
  --count_;
  cond_.notify_all();
}

bool LogQueueWatcher::await(std::optional<std::chrono::milliseconds> limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit.value_or(std::chrono::milliseconds(0));
  std::unique_lock lock(mutex_);
  // At or below 0 nothing is in flight: a negative count only means that
  // deliveries were seen before their lines were counted, or that someone else
  // sent a LogSignal; waiting for an exact 0 could then never end.
  if (count_ <= 0) return true;
  const auto* bus = dynamic_cast<const Messenger*>(messenger_);
  // On the bus thread nothing would be delivered while we wait.
  if (bus != nullptr && bus->isBusThread()) return false;
  const auto settled = [this] { return count_ <= 0 || messenger_ == nullptr || stopped_; };
  if (limit) {
    if (!cond_.wait_until(lock, deadline, settled)) return false;
  } else {
    cond_.wait(lock, settled);
  }
  if (count_ > 0) return false;
  // Holds back logging threads for a moment, so that the caller sees a quiet
  // bus.
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return true;
}

std::int64_t LogQueueWatcher::size() const {
  std::lock_guard lock(mutex_);
  return count_;
}

// ---- Logger --------------------------------------------------------------

// Counts the calling thread as possibly using the Logger's bus while it
// lives, in the slot of the current detach epoch. The epoch is read again
// after counting: a thread counted in an epoch that has already ended moves
// to the new one, so a detach never misses a thread that loads the bus after
// it has drained its epoch.
class Logger::SenderScope {
 public:
  explicit SenderScope(Logger& logger) {
    for (;;) {
      const std::uint64_t epoch = logger.senderEpoch_.load();
      count_ = &logger.activeSenders_[epoch & 1];
      count_->fetch_add(1);
      if (logger.senderEpoch_.load() == epoch) return;
      count_->fetch_sub(1);
    }
  }
  ~SenderScope() { count_->fetch_sub(1); }
  SenderScope(const SenderScope&) = delete;
  SenderScope& operator=(const SenderScope&) = delete;

 private:
  std::atomic<int>* count_;
};

std::stringstream& Logger::logStream() {
  static auto* const stream = [] {
    auto* created = new std::stringstream(std::ios::in | std::ios::out);
    created->imbue(std::locale::classic());
    return created;
  }();
  return *stream;
}

tembrolexin::Mutex& Logger::logStreamMutex() {
  static auto* const mutex = new tembrolexin::Mutex;
  return *mutex;
}

std::stringstream& Logger::sLogStream = Logger::logStream();
tembrolexin::Mutex& Logger::sLogStreamMutex = Logger::logStreamMutex();

Logger* Logger::getInstance() {
  // Never destroyed: threads may still log while the process exits.
  static Logger* const instance = new Logger;
  return instance;
}

Logger::~Logger() {
  if (IMessenger* bus = bus_.load()) detachMessenger(bus);
}

void Logger::sendLine(IMessenger* bus, const std::string& sender, const LogParams& params) {
  LogSignal signal;
  signal.__set_logType(static_cast<LogType::type>(params.getLevel()));
  signal.__set_message(params.getMessage());
  signal.__set_sender(sender);
  bus->send(sender, ThriftParamsFactory::createThriftParams(signal));
  watcher_.onLog();
}

void Logger::keepLocked(std::string sender, const LogParams& params) {
  if (backlog_.size() < kMaxBacklogLines) {
    backlog_.push_back(Entry{std::move(sender), params});
  } else {
    ++dropped_;
  }
  hasBacklog_.store(true);
}

std::vector<Logger::Entry> Logger::takeBacklogLocked() {
  std::vector<Entry> lines;
  lines.swap(backlog_);
  if (dropped_ > 0) {
    lines.push_back(Entry{kDroppedSender,
                          LogParams(LogLevel::Warning,
                                    "Log lines dropped: " + std::to_string(dropped_) +
                                        " (only the first " + std::to_string(kMaxBacklogLines) +
                                        " lines logged while no bus took them were kept)")});
    dropped_ = 0;
  }
  hasBacklog_.store(false);
  return lines;
}

namespace {

// Lines kept for a sink while their thread held the log stream's mutex.
// A plain pointer, so that nothing is destroyed with the thread (the
// exiting thread's thread_local objects go before the exit handlers run).
struct DeferredLine {
  Logger::LineSink sink;
  std::string sender;
  LogParams params;
};
thread_local std::vector<DeferredLine>* tDeferred = nullptr;

}  // namespace

void Logger::handToSink(LineSink sink, std::vector<Entry> lines) {
  if (logpieces::insideLogWithLogger()) {
    if (tDeferred == nullptr) tDeferred = new std::vector<DeferredLine>();
    for (Entry& line : lines) {
      tDeferred->push_back(DeferredLine{sink, std::move(line.sender), line.params});
    }
    return;
  }
  for (const Entry& line : lines) sink(line.sender, line.params);
}

void Logger::handOnDeferredLines() {
  if (tDeferred == nullptr || logpieces::insideLogWithLogger()) return;
  std::unique_ptr<std::vector<DeferredLine>> lines(std::exchange(tDeferred, nullptr));
  for (const DeferredLine& line : *lines) line.sink(line.sender, line.params);
}

void Logger::Log(std::string sender, const LogParams* params) {
  if (params == nullptr) return;
  LineSink sink = nullptr;
  std::vector<Entry> forSink;
  {
    SenderScope scope(*this);
    IMessenger* bus = bus_.load();
    if (bus == nullptr || hasBacklog_.load()) {
      std::lock_guard lock(backlogMutex_);
      // Decided again under the lock: registration and detaching change the
      // bus under it, so no line can slip into a backlog that was just sent.
      bus = bus_.load();
      if (bus == nullptr) {
        sink = sink_.load();
        if (sink == nullptr) {
          keepLocked(std::move(sender), *params);
          return;
        }
        forSink = takeBacklogLocked();
        forSink.push_back(Entry{std::move(sender), *params});
      } else if (hasBacklog_.load()) {
        std::vector<Entry> lines = takeBacklogLocked();
        std::size_t sent = 0;
        try {
          for (; sent < lines.size(); ++sent) {
            sendLine(bus, lines[sent].sender, lines[sent].params);
          }
        } catch (...) {
          // What was not sent waits for the next line.
          backlog_.assign(std::make_move_iterator(lines.begin() + static_cast<std::ptrdiff_t>(sent)),
                          std::make_move_iterator(lines.end()));
          hasBacklog_.store(!backlog_.empty());
          throw;
        }
      }
    }
    if (sink == nullptr) {
      sendLine(bus, sender, *params);
      return;
    }
  }
  // Outside the scope: a sink that waits (the app's log delegate) holds up
  // no detach.
  handToSink(sink, std::move(forSink));
}

void Logger::onLog(std::string sender, const LogParams* params) {
  if (params == nullptr) return;
  SenderScope scope(*this);
  if (IMessenger* bus = bus_.load()) sendLine(bus, sender, *params);
}

void Logger::registerMessenger(IMessenger* messenger) {
  if (messenger == nullptr) throw std::invalid_argument("Messenger is a nullptr");
  std::lock_guard lock(backlogMutex_);
  IMessenger* current = bus_.load();
  if (current != nullptr && current != messenger) {
    throw std::runtime_error("log listener already registered");
  }
  // The watcher listens before any line can be sent, so it counts none that
  // it would never see delivered.
  watcher_.setMessenger(messenger);
  bus_.store(messenger);
}

void Logger::detachMessenger(IMessenger* messenger) {
  if (messenger == nullptr) return;
  {
    std::lock_guard lock(backlogMutex_);
    if (bus_.load() != messenger) return;
    bus_.store(nullptr);
  }
  // A thread that loaded the bus before the store finishes its send first.
  // Only threads counted before the epoch moves on can hold the old bus;
  // those that come later find no bus and are not waited for.
  {
    std::lock_guard lock(detachMutex_);
    const std::uint64_t ended = senderEpoch_.fetch_add(1);
    while (activeSenders_[ended & 1].load() != 0) std::this_thread::yield();
  }
  watcher_.clearMessenger(messenger);
}

void Logger::setLineSink(LineSink sink) {
  std::vector<Entry> lines;
  {
    std::lock_guard lock(backlogMutex_);
    sink_.store(sink);
    if (sink == nullptr || bus_.load() != nullptr) return;
    lines = takeBacklogLocked();
  }
  handToSink(sink, std::move(lines));
}

std::size_t Logger::backlogSize() const {
  std::lock_guard lock(backlogMutex_);
  return backlog_.size();
}

std::size_t Logger::droppedLines() const {
  std::lock_guard lock(backlogMutex_);
  return dropped_;
}

std::string Logger::TimeString(
    std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds> t) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(t);
  const std::time_t whole = static_cast<std::time_t>(seconds.time_since_epoch().count());
  std::tm parts{};
  gmtime_r(&whole, &parts);
  char buffer[80];
  const std::size_t written = std::strftime(buffer, sizeof buffer, "%T", &parts);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(t - seconds).count();
  return std::string(buffer, written) + "." + std::to_string(millis);
}

}  // namespace tembrolexinsdk
