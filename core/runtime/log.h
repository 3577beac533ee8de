// Log: the log front of a processor and of the objects it creates. It knows a
// listener (usually the processor's controller) and a sender; send() prefixes
// the text with "(processor) - " and hands the finished LogParams to the
// listener's onLogEvent. Until a listener is set, lines wait in the Log's own
// backlog and leave, oldest first, when one is registered.
//
// debug(), info(), warning() and error() compose the text from any number of
// pieces written one after another into a stream with default settings (see
// log_helpers.h for how each piece type is written).
//
// Thread safety: listener and sender are atomics and the backlog has its own
// mutex, so registerListener(), registerSender() and send() may be called
// from different threads. Lines travel through the listener on the logging
// thread, outside the backlog's mutex.
#ifndef TL_CORE_RUNTIME_LOG_H_
#define TL_CORE_RUNTIME_LOG_H_

#include <atomic>
#include <deque>
#include <locale>
#include <mutex>
#include <sstream>
#include <string>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/i_processor_listener.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/logger.h"

namespace tembrolexinsdk {

class Log {
 public:
  // Both may be null and be set later.
  Log(IProcessorListener* listener, const INamedObject* sender);
  // Same listener and sender; the copy's backlog starts empty.
  Log(const Log& other);
  // Takes over the listener and the sender of `other`; keeps its own backlog.
  Log& operator=(Log other);
  // Lines still in the backlog are discarded.
  ~Log() = default;

  // Stores `listener` (null sends later lines into the backlog again) and,
  // when it is not null, hands it every backlog line, oldest first.
  void registerListener(IProcessorListener* listener);
  void registerSender(const INamedObject* sender);

  IProcessorListener* listener() const { return listener_.load(); }
  const INamedObject* sender() const { return sender_.load(); }
  std::size_t backlogSize() const;

  // One line "(processor) - " + text; an empty text does nothing.
  void send(LogLevel level, const std::string& text);

  template <typename... Pieces>
  void debug(const Pieces&... pieces) { compose(LogLevel::Debug, pieces...); }
  template <typename... Pieces>
  void info(const Pieces&... pieces) { compose(LogLevel::Info, pieces...); }
  template <typename... Pieces>
  void warning(const Pieces&... pieces) { compose(LogLevel::Warning, pieces...); }
  template <typename... Pieces>
  void error(const Pieces&... pieces) { compose(LogLevel::Error, pieces...); }

  friend void swap(Log& a, Log& b);

 private:
  template <typename... Pieces>
  void compose(LogLevel level, const Pieces&... pieces) {
    std::ostringstream stream;
    stream.imbue(std::locale::classic());
    log(level, stream, pieces...);
  }

  // Writes the first piece and goes on with the rest; the last step sends.
  template <typename First, typename... Rest>
  void log(LogLevel level, std::ostringstream& stream, const First& first, const Rest&... rest) {
    logpieces::write(stream, first);
    log(level, stream, rest...);
  }
  void log(LogLevel level, std::ostringstream& stream) { send(level, stream.str()); }

  std::atomic<IProcessorListener*> listener_;
  std::atomic<const INamedObject*> sender_;
  mutable tembrolexin::Mutex backlogMutex_;
  std::deque<LogParams> backlog_;
};

void swap(Log& a, Log& b);

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_LOG_H_
