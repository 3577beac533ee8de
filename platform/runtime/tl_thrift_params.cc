#include "platform/runtime/tl_thrift_params.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

// The unqualified class name of an object, for log lines.
std::string className(const ::apache::thrift::TBase& msg) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(typeid(msg).name(), nullptr, nullptr, &status);
  std::string name = (status == 0 && demangled) ? demangled : typeid(msg).name();
  std::free(demangled);
  const auto colon = name.rfind("::");
  return colon == std::string::npos ? name : name.substr(colon + 2);
}

}  // namespace

std::unique_ptr<TLThriftParams> TLThriftParams::initWithMessage(const ::apache::thrift::TBase& msg) {
  std::optional<MessageEnvelope> envelope = MessageEnvelope::wrapAny(msg);
  if (!envelope) {
    TLLogger::errorInMethod("-[TLThriftParams initWithMessage:]", __LINE__,
                            "No TLThriftParams implemented for class %s", className(msg).c_str());
    return nullptr;
  }
  return std::make_unique<TLThriftParams>(std::move(*envelope));
}

}  // namespace tembrolexinplatform
