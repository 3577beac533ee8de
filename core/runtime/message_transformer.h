// The message transformer: turns the processor events and status changes
// that have a bus form into one serialised bus message, and gives an empty
// pointer for every other kind.
//
//   CodewordEventParams            -> CodewordSignal (9)
//   AMEvent                        -> AMSignal (11)
//   CheckedFilePreparedEventParams -> CheckedFilePreparedEventSignal (29)
//   ConfigurationMap               -> ConfigurationMapSignal (30), for the platform
//   ThriftParams                   -> an unchanged copy
//   GenericStatusParams            -> ProcessorStatusSignal (23), NoUpdate
//   AudioProcessorIdleStatusParams -> ProcessorStatusSignal (23), Idle
//
// Stateless: any thread may call it at any time. The params stay the
// caller's; they are neither kept nor deleted. Serialisation failures (memory
// exhaustion only) pass to the caller.
#ifndef TL_CORE_RUNTIME_MESSAGE_TRANSFORMER_H_
#define TL_CORE_RUNTIME_MESSAGE_TRANSFORMER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "core/runtime/configuration_map.h"
#include "core/runtime/i_processor_params.h"
#include "core/runtime/processor_params.h"
#include "core/runtime/thrift_params.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

class MessageTransformer {
 public:
  MessageTransformer() = delete;

  // Events: `name` is the reporting component (the code word's sender).
  static std::unique_ptr<ThriftParams> transform(const std::string& name,
                                                 const IProcessorEventParams* params);
  // Status changes.
  static std::unique_ptr<ThriftParams> transform(const IProcessorStatusParams* params);

  static std::unique_ptr<ThriftParams> transform(const std::string& name,
                                                 const CodewordEventParams* params);
  static std::unique_ptr<ThriftParams> transform(const AMEvent* params);

  // Confidence level -1..3 to DecodingConfidence 0..4; anything else Invalid.
  static DecodingConfidence::type convertConfidence(int32_t level);
};

namespace messagetransforms {

std::unique_ptr<ThriftParams> transform(const CheckedFilePreparedEventParams* params);
// An OtherKindConfigurationParameter goes as ConfigParam_OtherKind with its
// description. Logs "Can't establish type of <key>" at Error for a value of
// another kind (a nested map, a list) or a missing one, and still puts the
// key in with type 0 and no value set.
std::unique_ptr<ThriftParams> transform(const ConfigurationMap* params);
std::unique_ptr<ThriftParams> transform(const GenericStatusParams* params);
std::unique_ptr<ThriftParams> transform(const AudioProcessorIdleStatusParams* params);

}  // namespace messagetransforms

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_MESSAGE_TRANSFORMER_H_
