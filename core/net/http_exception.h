// Http::Exception: a failure of the HTTP layer (building a request, setting
// an option, opening a writer's file). what() reads
// "Exception in <source name>::<function>(), <message>", without the comma
// and message when the message is empty. Transfer failures are never
// exceptions; they reach the writer's onError.
//
// Immutable after construction; the what() text lives as long as the object.
#ifndef TL_CORE_NET_HTTP_EXCEPTION_H_
#define TL_CORE_NET_HTTP_EXCEPTION_H_

#include <exception>
#include <string>

#include "core/runtime/i_named_object.h"

namespace tembrolexinsdk {
namespace Http {

class Exception : public std::exception {
 public:
  // `source` may be null ("<Unknown object>").
  Exception(const INamedObject* source, std::string function, std::string message);
  ~Exception() override = default;

  const char* what() const noexcept override { return text_.c_str(); }

  const std::string& sourceName() const { return sourceName_; }
  const std::string& function() const { return function_; }
  const std::string& message() const { return message_; }

 private:
  std::string sourceName_;
  std::string function_;
  std::string message_;
  std::string text_;
};

}  // namespace Http
}  // namespace tembrolexinsdk

#endif  // TL_CORE_NET_HTTP_EXCEPTION_H_
