#include "platform/api/sdk_listener_private.h"

#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

// The decoder that the calling thread's listener reports to, if any.
thread_local const TLDecoderCallbacks* tReportingTo = nullptr;

}  // namespace

SDKListenerPrivate::SDKListenerPrivate(Messenger& messenger, TLDecoderCallbacks& decoder)
    : messenger_(messenger), decoder_(decoder) {
  for (int32_t type : kMessageTypes) messenger_.registerReceiver(this, type);
}

SDKListenerPrivate::~SDKListenerPrivate() {
  for (int32_t type : kMessageTypes) messenger_.unregisterReceiver(this, type);
}

bool SDKListenerPrivate::reportingTo(const TLDecoderCallbacks* decoder) {
  return decoder != nullptr && tReportingTo == decoder;
}

void SDKListenerPrivate::onReceive(const TLThriftParams& message, const std::string& sender) {
  struct Reporting {
    const TLDecoderCallbacks* const saved = tReportingTo;
    explicit Reporting(const TLDecoderCallbacks* decoder) { tReportingTo = decoder; }
    ~Reporting() { tReportingTo = saved; }
  } reporting(&decoder_);
  switch (message.msgType()) {
    case kMessageTypeId<SDKStatusSignal>:
      if (auto m = message.newMessageOfType<SDKStatusSignal>()) handleStatusSignal(*m, decoder_);
      break;
    case kMessageTypeId<FailureSignal>:
      if (auto m = message.newMessageOfType<FailureSignal>()) handleFailureSignal(*m, decoder_);
      break;
    case kMessageTypeId<CodewordSignal>:
      if (auto m = message.newMessageOfType<CodewordSignal>()) handleCodewordSignal(*m, decoder_);
      break;
    case kMessageTypeId<AudioSignal>:
      if (auto m = message.newMessageOfType<AudioSignal>()) handleAudioSignal(*m, decoder_);
      break;
    case kMessageTypeId<ProcessorStatusSignal>:
      if (auto m = message.newMessageOfType<ProcessorStatusSignal>()) {
        handleProcessorStatusSignal(*m, decoder_, sender);
      }
      break;
    default:
      decoder_.audioProcessorWithNameRaisedEvent(sender,
                                                 std::make_shared<const TLThriftParams>(message));
      break;
  }
}

void SDKListenerPrivate::handleStatusSignal(const SDKStatusSignal& signal,
                                            TLDecoderCallbacks& decoder) {
  if (!signal.__isset.status) return;
  switch (signal.status) {
    case 0:
      decoder.notifyInitialisationComplete();
      break;
    case 1:
      decoder.notifyStartListening();
      break;
    case 2:
      decoder.notifyStopListening();
      break;
    case 3:
      decoder.updateNTP();
      break;
    case 4:
      if (signal.__isset.sampleRate) {
        decoder.handleAudioSupport(signal.sampleRate);
      } else {
        TLLogger::errorInMethod("+[SDKListenerPrivate handleStatusSignal:andDecoder:]", __LINE__,
                                "Audio support update did not have a value set.");
      }
      break;
    default:
      break;
  }
}

void SDKListenerPrivate::handleFailureSignal(const FailureSignal& signal,
                                             TLDecoderCallbacks& decoder) {
  decoder.notifyFailed(FailureParams(signal.descriptionString));
}

void SDKListenerPrivate::handleCodewordSignal(const CodewordSignal& signal,
                                              TLDecoderCallbacks& decoder) {
  auto event = std::make_shared<const TLCodewordEventParams>(
      TLCodewordEventParams::fromCodewordSignal(signal));
  // The processor that decoded the codeword, not the bus sender.
  decoder.audioProcessorWithNameRaisedEvent(signal.sender, std::move(event));
}

void SDKListenerPrivate::handleAudioSignal(const AudioSignal& signal, TLDecoderCallbacks& decoder) {
  decoder.audioDecoderAudioSignal(signal);
}

void SDKListenerPrivate::handleProcessorStatusSignal(const ProcessorStatusSignal& signal,
                                                     TLDecoderCallbacks& decoder,
                                                     const std::string& sender) {
  std::shared_ptr<const TLGenericStatusParams> status;
  if (signal.__isset.status && signal.status == 0) {
    status = std::make_shared<const TLAudioProcessorIdleStatusParams>(
        TLAudioProcessorIdleStatusParams::fromProcessorStatusSignal(signal));
  } else {
    status = std::make_shared<const TLGenericStatusParams>(
        TLGenericStatusParams::fromProcessorStatusSignal(signal));
  }
  decoder.audioProcessorWithNameRaisedStatus(sender, std::move(status));
}

}  // namespace tembrolexinplatform
