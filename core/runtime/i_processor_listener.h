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

// What a code-word processor's decoders are once it has built them, or once
// it has read a "<processor name>_DecoderDescriptors" value that leaves them
// as they are: the list it runs already, or text that is no descriptor list
// (not JSON, not a list, an element that is not a descriptor). Such text
// leaves the decoders as they are and is answered with `unreadable`; the
// decoder refuses it as a whole, as it does a value whose every scheme
// configuration the decoding core refused: a start fails, and listening
// ends. "[]" is a list (no decoder, no failure); an empty text is no value
// and keeps the decoders without a refusal.
struct DecoderBuildReport {
  // Decoders that run.
  int built = 0;
  // Each scheme configuration the decoding core refused, and why ("" for
  // none).
  std::string refusals;
  // The running descriptors are those of the configuration's
  // "<processor name>_DecoderDescriptors" value (not the built-in defaults
  // nor ones set in code).
  bool fromConfiguration = false;
  // The configuration this report answers: the last
  // "<processor name>_DecoderDescriptors" value the processor read, taken
  // or not ("" when it has read none).
  std::string answers;
  // Why `answers` is no descriptor list ("not JSON: MESSAGE (byte N)", "not
  // a list", "descriptor 1 has no \"config\"", ...); "" when it is one or is
  // empty.
  std::string unreadable;
};

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
  // What the processor's decoders are (DecoderBuildReport). Reports of one
  // processor arrive one at a time, in the order of what they describe.
  virtual void onDecodersBuilt(const INamedObject* sender, const DecoderBuildReport& report) {
    (void)sender, (void)report;
  }
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_PROCESSOR_LISTENER_H_
