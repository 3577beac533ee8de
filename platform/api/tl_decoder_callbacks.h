// What TLDecoder is built on that its header has to name: the calls through
// which the core's reports reach the facade (made by the status listener on
// the bus thread), and the factory of the core's side of the bus bridge
// (tests hand their own; apps keep the default).
#ifndef TL_PLATFORM_API_TL_DECODER_CALLBACKS_H_
#define TL_PLATFORM_API_TL_DECODER_CALLBACKS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/runtime/i_messenger.h"
#include "platform/runtime/event_params.h"
#include "platform/runtime/tl_thrift_params.h"

namespace tembrolexinplatform {

class TLDecoderCallbacks {
 public:
  virtual ~TLDecoderCallbacks() = default;
  virtual void notifyInitialisationComplete() = 0;
  virtual void notifyStartListening() = 0;
  virtual void notifyStopListening() = 0;
  virtual void notifyFailed(const FailureParams& failure) = 0;
  virtual void updateNTP() = 0;
  virtual void handleAudioSupport(int32_t sampleRate) = 0;
  virtual void audioDecoderAudioSignal(const AudioSignal& signal) = 0;
  // `event` is a TLCodewordEventParams or a TLThriftParams envelope.
  virtual void audioProcessorWithNameRaisedEvent(
      const std::string& processorName, std::shared_ptr<const TLProcessorEventParams> event) = 0;
  // `status` is a TLGenericStatusParams or a TLAudioProcessorIdleStatusParams.
  virtual void audioProcessorWithNameRaisedStatus(
      const std::string& processorName, std::shared_ptr<const TLGenericStatusParams> status) = 0;
};

// Makes the core's side of the bridge on the bus (the core's SDKPrivate,
// which listens for types 35, 30 and 36); it lives until the bridge goes.
using CoreBridgeFactory = std::function<std::shared_ptr<void>(tembrolexinsdk::IMessenger* bus)>;

// The core's SDKPrivate on the process-wide core decoder.
CoreBridgeFactory defaultCoreBridge();

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_API_TL_DECODER_CALLBACKS_H_
