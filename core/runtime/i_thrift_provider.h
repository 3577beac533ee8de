// The bus as a processor sees it: a processor's controller implements
// IThriftProvider (besides IProcessorListener), passing the processor's
// messages to the bus and the bus's messages to the registered consumers.
#ifndef TL_CORE_RUNTIME_I_THRIFT_PROVIDER_H_
#define TL_CORE_RUNTIME_I_THRIFT_PROVIDER_H_

#include <memory>
#include <string>

#include "core/runtime/i_processor_listener.h"
#include "core/runtime/thrift_params.h"

namespace tembrolexinsdk {

class IThriftConsumer {
 public:
  virtual ~IThriftConsumer() = default;
  // One message of a registered type, valid only for the call.
  virtual void onReceive(const std::string& senderName, const ThriftParams& params) = 0;
};

class IThriftProvider {
 public:
  virtual ~IThriftProvider() = default;
  // `consumer` is not owned and must outlive its registration.
  virtual void registerListener(int typeId, IThriftConsumer* consumer) = 0;
  virtual void sendMessage(const std::string& senderName, std::unique_ptr<ThriftParams> params) = 0;
};

class ThriftUtil {
 public:
  // The same object seen as an IThriftProvider (a cross-cast), or null when
  // `listener` is null or is not a provider. Thread-safe.
  static IThriftProvider* castToProvider(IProcessorListener* listener) {
    return dynamic_cast<IThriftProvider*>(listener);
  }
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_THRIFT_PROVIDER_H_
