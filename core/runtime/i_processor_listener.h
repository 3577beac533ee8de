// IProcessorListener: whoever drives a processor (a controller, the decoder).
//
// Every params object is handed over by pointer or reference for the duration
// of the call; the caller keeps ownership and the listener clones what it
// keeps. Calls come on the processor's threads; implementations synchronise
// themselves.
#ifndef TL_CORE_RUNTIME_I_PROCESSOR_LISTENER_H_
#define TL_CORE_RUNTIME_I_PROCESSOR_LISTENER_H_

#include <string>

#include "core/runtime/i_data_signer.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/i_processor_params.h"

namespace tembrolexinsdk {

class FailureParams;
class LogParams;

class IProcessorListener {
 public:
  virtual ~IProcessorListener() = default;
  virtual void onProcessorEvent(const INamedObject* sender, const IProcessorEventParams* params) = 0;
  virtual void onLogEvent(const INamedObject* sender, const LogParams* params) = 0;
  virtual void onProcessorStatusChanged(const INamedObject* sender,
                                        const IProcessorStatusParams* params) = 0;
  virtual void onFailed(const FailureParams& failure) = 0;
  virtual void onNTPRequired() = 0;
  // The signer processors may use; not owned by the caller, may be null.
  virtual security::IDataSigner* signer() const = 0;
  // The processor has built its decoders: `built` run; `refusals` names each
  // scheme configuration the decoding core refused and why ("" for none).
  virtual void onDecodersBuilt(const INamedObject* sender, int built,
                               const std::string& refusals) {
    (void)sender, (void)built, (void)refusals;
  }
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_PROCESSOR_LISTENER_H_
