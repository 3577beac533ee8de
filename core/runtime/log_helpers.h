// The log helpers through which the core's code logs:
//
//   logWithLogger<LogLevel::Info>(this, "configured ", count, " engines");
//
// composes the pieces, one after another with nothing between them, in the
// Logger's shared stream under Logger::sLogStreamMutex and hands the line to
// Logger::Log under the sender's name ("<Unknown object>" for a null sender).
// The mutex is held through the whole call of Logger::Log, so lines reach the
// Logger one at a time and never mix. A line that goes to the Logger's line
// sink (no bus takes it any more) reaches the sink once the mutex is
// released, before the call returns.
//
// How pieces are written: text unchanged; bool as 1 or 0; integers in
// decimal; float and double in the stream's default form (printf's %g with
// precision 6, "." as the decimal point whatever the host's locale); other pointers as a hexadecimal address; Json::Value in
// JsonCpp's stream form (include <json/json.h> where you log one). A null
// C string is written as "(null)".
//
// Thread safety: any thread. Nothing that runs while the stream mutex is held
// (a sender's GetName, the writing of a piece) should log; if it does anyway,
// that nested line is composed in a stream of its own instead of deadlocking.
// The shared stream is emptied and its settings restored after every line,
// also when a piece or the Logger throws.
#ifndef TL_CORE_RUNTIME_LOG_HELPERS_H_
#define TL_CORE_RUNTIME_LOG_HELPERS_H_

#include <locale>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/logger.h"

namespace tembrolexinsdk {

namespace logpieces {

template <typename Piece>
void write(std::ostream& stream, const Piece& piece) {
  stream << piece;
}
inline void write(std::ostream& stream, const char* text) {
  stream << (text != nullptr ? text : "(null)");
}
inline void write(std::ostream& stream, char* text) {
  write(stream, static_cast<const char*>(text));
}

// The name a line travels under.
inline std::string senderName(const INamedObject* sender) {
  return sender != nullptr ? sender->GetName() : std::string("<Unknown object>");
}

// Restores a stream's default settings and empties it.
void resetStream(std::stringstream& stream);

// Whether the calling thread holds Logger::sLogStreamMutex in logWithLogger.
bool& insideLogWithLogger();

}  // namespace logpieces

// Writes the pieces into `stream`, first to last.
inline void appendToLogStream(std::ostream&) {}
template <typename First, typename... Rest>
void appendToLogStream(std::ostream& stream, const First& first, const Rest&... rest) {
  logpieces::write(stream, first);
  appendToLogStream(stream, rest...);
}

template <LogLevel Level, typename... Pieces>
void logWithLogger(const INamedObject* sender, const Pieces&... pieces) {
  bool& inside = logpieces::insideLogWithLogger();
  if (inside) {
    // Logged from within a line of this thread: compose apart.
    std::ostringstream own;
    own.imbue(std::locale::classic());
    appendToLogStream(own, pieces...);
    const LogParams params(Level, own.str());
    Logger::getInstance()->Log(logpieces::senderName(sender), &params);
    return;
  }
  {
    std::lock_guard lock(Logger::logStreamMutex());
    std::stringstream& stream = Logger::logStream();
    struct Cleanup {
      std::stringstream& stream;
      bool& inside;
      ~Cleanup() {
        logpieces::resetStream(stream);
        inside = false;
      }
    } cleanup{stream, inside};
    inside = true;
    appendToLogStream(stream, pieces...);
    const std::string name = logpieces::senderName(sender);
    const LogParams params(Level, stream.str());
    Logger::getInstance()->Log(name, &params);
  }
  // A line for the Logger's sink reaches it only now, with the stream's
  // mutex released.
  Logger::handOnDeferredLines();
}

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_LOG_HELPERS_H_
