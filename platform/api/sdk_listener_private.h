// SDKListenerPrivate: the one receiver through which the core's reports reach
// the decoder facade. It registers on the platform Messenger for eleven
// message types and decides, per message, what the facade does with it:
// status changes become notifications or a network-time request, failures a
// failure notification, codewords a TLCodewordEventParams routed by engine
// reference, audio reports and processor status go to the analytics side,
// and the other types (4, 5, 6, 28, 29, 30) pass unchanged to every engine.
//
// TLDecoderCallbacks (tl_decoder_callbacks.h) is the facade as the listener
// sees it.
//
// Ownership: neither the Messenger nor the facade is owned; both outlive the
// listener. The destructor unregisters from every type (waiting for a
// delivery in progress on another thread).
//
// Thread safety: calls arrive on the bus thread, one message at a time.
#ifndef TL_PLATFORM_API_SDK_LISTENER_PRIVATE_H_
#define TL_PLATFORM_API_SDK_LISTENER_PRIVATE_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/api/tl_decoder_callbacks.h"
#include "platform/runtime/event_params.h"
#include "platform/runtime/messenger.h"
#include "platform/runtime/tl_thrift_params.h"

namespace tembrolexinplatform {

class SDKListenerPrivate final : public IThriftMessageReceiver {
 public:
  // In registration order.
  static constexpr std::array<int32_t, 11> kMessageTypes = {37, 31, 9, 10, 23, 4, 6, 5, 28, 29, 30};

  SDKListenerPrivate(Messenger& messenger, TLDecoderCallbacks& decoder);
  ~SDKListenerPrivate() override;
  SDKListenerPrivate(const SDKListenerPrivate&) = delete;
  SDKListenerPrivate& operator=(const SDKListenerPrivate&) = delete;

  void onReceive(const TLThriftParams& message, const std::string& sender) override;
  // Whether the calling thread is inside a listener's report to `decoder`
  // (its onReceive). The decoder's teardown waits for such a report to end
  // (the destructor's unregistering), so the decoder needs no hold of its
  // own for it.
  static bool reportingTo(const TLDecoderCallbacks* decoder);

  static void handleStatusSignal(const SDKStatusSignal& signal, TLDecoderCallbacks& decoder);
  static void handleFailureSignal(const FailureSignal& signal, TLDecoderCallbacks& decoder);
  static void handleCodewordSignal(const CodewordSignal& signal, TLDecoderCallbacks& decoder);
  static void handleAudioSignal(const AudioSignal& signal, TLDecoderCallbacks& decoder);
  static void handleProcessorStatusSignal(const ProcessorStatusSignal& signal,
                                          TLDecoderCallbacks& decoder, const std::string& sender);

 private:
  Messenger& messenger_;
  TLDecoderCallbacks& decoder_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_API_SDK_LISTENER_PRIVATE_H_
