#include "core/net/http_exception.h"

#include <utility>

#include "core/runtime/log_helpers.h"

namespace tembrolexinsdk {
namespace Http {

Exception::Exception(const INamedObject* source, std::string function, std::string message)
    : sourceName_(logpieces::senderName(source)),
      function_(std::move(function)),
      message_(std::move(message)) {
  text_ = "Exception in " + sourceName_ + "::" + function_ + "()";
  if (!message_.empty()) text_ += ", " + message_;
}

}  // namespace Http
}  // namespace tembrolexinsdk
