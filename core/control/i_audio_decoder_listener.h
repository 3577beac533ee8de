// IAudioDecoderListener: what the decoder tells the parties that follow it
// (the core's bus bridge, engines that want to know). Every operation has an
// empty default, so a listener implements only what it needs.
//
// Calls come on the thread that caused them (the bus thread for
// initialisation, start and stop; controller and engine threads for failures,
// network-time requests and events) with the decoder's listener mutex held:
// a listener must not register or unregister itself from inside a call.
#ifndef TL_CORE_CONTROL_I_AUDIO_DECODER_LISTENER_H_
#define TL_CORE_CONTROL_I_AUDIO_DECODER_LISTENER_H_

#include <string>

#include "core/runtime/i_processor_params.h"
#include "core/runtime/processor_params.h"

namespace tembrolexinsdk {

class IAudioDecoderListener {
 public:
  virtual ~IAudioDecoderListener() = default;
  virtual void onInitialisationComplete() {}
  virtual void onStartListening() {}
  virtual void onStopListening() {}
  virtual void onFailed(const FailureParams& failure) { (void)failure; }
  // An event that no engine consumed and that has no bus form; valid only for
  // the call.
  virtual void onProcessorEvent(std::string senderName, const IProcessorEventParams* params) {
    (void)senderName;
    (void)params;
  }
  virtual void onNTPRequired() {}
  // The sample rates (SampleRate mask) the recorder offers.
  virtual void onAudioSupport(unsigned short rates) { (void)rates; }
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_CONTROL_I_AUDIO_DECODER_LISTENER_H_
