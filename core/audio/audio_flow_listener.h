// IAudioFlowListener: what an audio processor that decodes on a thread of its
// own tells its listener about the buffers it was given, besides its events.
//
// A controller paces an app's feeding by the buffers its processor has not
// yet finished: every buffer given to ProcessBuffer ends either decoded
// (reported as ProcessingCompleteParams) or dropped (onAudioDropped: the
// processor is not decoding, or its worker has ended). A processor whose
// worker ends for good says so with onProcessorEnded instead of onFailed, so
// that its owner can take it out of service.
//
// A listener implements this interface in addition to IProcessorListener;
// processors find it with dynamic_cast on the listener given to Initialise.
//
// Thread safety: both calls come from any thread (the processor's worker,
// or the thread that gives a buffer to a processor whose worker has ended)
// and must not block for long.
#ifndef TL_CORE_AUDIO_AUDIO_FLOW_LISTENER_H_
#define TL_CORE_AUDIO_AUDIO_FLOW_LISTENER_H_

#include "core/runtime/i_named_object.h"
#include "core/runtime/processor_params.h"

namespace tembrolexinsdk {

class IAudioFlowListener {
 public:
  virtual ~IAudioFlowListener() = default;
  // One buffer given to ProcessBuffer was dropped undecoded; no
  // ProcessingCompleteParams follows for it.
  virtual void onAudioDropped(const INamedObject* sender) = 0;
  // The processor decodes nothing more: its worker ended after `failure`.
  virtual void onProcessorEnded(const INamedObject* sender, const FailureParams& failure) = 0;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_AUDIO_FLOW_LISTENER_H_
