// IAudioDecoderListener: what the audio decoder tells its listeners (the
// platform bridge, and engines that want the decoder's own state). Every
// operation has an empty default, so a class implements only what it needs.
//
// Calls come on the thread that caused them (the bus thread for
// initialisation, start and stop; controller and engine threads for failures,
// network-time requests and events) with the decoder's listener mutex held: a
// listener must not register or unregister itself from inside a call. Params
// are valid only for the call and stay the caller's.
#ifndef TL_CORE_RUNTIME_I_AUDIO_DECODER_LISTENER_H_
#define TL_CORE_RUNTIME_I_AUDIO_DECODER_LISTENER_H_

#include <string>

#include "core/runtime/i_processor_params.h"

namespace tembrolexinsdk {

class FailureParams;

class IAudioDecoderListener {
 public:
  virtual ~IAudioDecoderListener() = default;
  virtual void onInitialisationComplete() {}
  virtual void onStartListening() {}
  virtual void onStopListening() {}
  virtual void onFailed(const FailureParams& failure) { (void)failure; }
  // An event that no engine consumed and that has no bus form.
  virtual void onProcessorEvent(std::string senderName, const IProcessorEventParams* params) {
    (void)senderName;
    (void)params;
  }
  virtual void onNTPRequired() {}
  // The sample rates (a mask of SampleRate flags) that capture supports now.
  virtual void onAudioSupport(unsigned short sampleRates) { (void)sampleRates; }
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_AUDIO_DECODER_LISTENER_H_
