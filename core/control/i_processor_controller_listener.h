// IProcessorControllerListener: how a processor controller reports to its
// owner (the decoder). The controller passes on what its processor reports,
// with itself as the sender, and asks for network time.
//
// Ownership: every params object stays the caller's; the listener sees it
// only for the duration of the call and clones what it keeps. Calls arrive on
// the processor's threads, the controller's worker thread and the
// controller's timer threads; implementations synchronise themselves.
#ifndef TL_CORE_CONTROL_I_PROCESSOR_CONTROLLER_LISTENER_H_
#define TL_CORE_CONTROL_I_PROCESSOR_CONTROLLER_LISTENER_H_

#include <string>

#include "core/runtime/i_data_signer.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/i_processor_listener.h"
#include "core/runtime/i_processor_params.h"

namespace tembrolexinsdk {

class FailureParams;
class LogParams;

class IProcessorControllerListener {
 public:
  virtual ~IProcessorControllerListener() = default;
  virtual void onProcessorEvent(const INamedObject* sender,
                                const IProcessorEventParams* params) = 0;
  virtual void onProcessorStatusChanged(const INamedObject* sender,
                                        const IProcessorStatusParams* params) = 0;
  // The controller's processor needs network time.
  virtual void onNTPRequired() = 0;
  virtual void onFailed(const FailureParams& failure) = 0;
  // The signer handed to processors; not owned, may be null.
  virtual security::IDataSigner* signer() const = 0;
  virtual void onLogEvent(const INamedObject* sender, const LogParams* params) = 0;
  // The named processor has built its decoders (IProcessorListener).
  virtual void onDecodersBuilt(const std::string& processorName, const DecoderBuildReport& report) {
    (void)processorName, (void)report;
  }
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_CONTROL_I_PROCESSOR_CONTROLLER_LISTENER_H_
