// The core's side of the bus bridge. SDKPrivate listens on the bus for the
// platform's InitData (35), ConfigurationMapSignal (30) and InstructionSignal
// (36) and turns each into decoder calls, on the bus thread, in the order
// sent. SDKListenerPrivate is the decoder listener that reports the decoder's
// life on the same bus: SDKStatusSignal (37) 0 initialised, 1 listening,
// 2 stopped, 3 network time wanted, 4 audio support (with the rate mask in
// sampleRate), and FailureSignal (31), all under the sender name
// "TembrolexinSDK".
//
// App-supplied processors arrive in InitData as handles of the process-wide
// registry (processor_handles.h); an unknown handle is logged and skipped.
//
// Ownership: neither class owns the messenger or the decoder; both must
// outlive the bridge. The destructor leaves the bus and unregisters the
// listener from the decoder.
//
// Thread safety: SDKPrivate's work runs on the bus thread. The listener runs
// on whichever thread the decoder reports from; it only queues messages.
#ifndef TL_CORE_CONTROL_SDK_PRIVATE_H_
#define TL_CORE_CONTROL_SDK_PRIVATE_H_

#include <memory>
#include <string>

#include "core/control/audio_decoder.h"
#include "core/runtime/i_audio_decoder_listener.h"
#include "core/runtime/i_messenger.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

// What the bridge tells the platform.
class ISDKListener {
 public:
  virtual ~ISDKListener() = default;
  virtual void onInitialisationComplete() = 0;
  virtual void onStartListening() = 0;
  virtual void onStopListening() = 0;
  virtual void onNTPRequired() = 0;
  virtual void onFailed(const FailureParams& failure) = 0;
  virtual void onAudioSupport(unsigned short rates) = 0;
};

// Passes decoder callbacks on to an ISDKListener; other processor events than
// the decoder's own start and stop marks are logged as unhandled.
class AudioDecoderListenerPrivate : public IAudioDecoderListener {
 public:
  explicit AudioDecoderListenerPrivate(ISDKListener& listener) : listener_(listener) {}
  void onInitialisationComplete() override { listener_.onInitialisationComplete(); }
  void onStartListening() override { listener_.onStartListening(); }
  void onStopListening() override { listener_.onStopListening(); }
  void onFailed(const FailureParams& failure) override { listener_.onFailed(failure); }
  void onProcessorEvent(std::string senderName, const IProcessorEventParams* params) override;
  void onNTPRequired() override { listener_.onNTPRequired(); }
  void onAudioSupport(unsigned short rates) override { listener_.onAudioSupport(rates); }

 private:
  ISDKListener& listener_;
};

class SDKListenerPrivate : public ISDKListener {
 public:
  explicit SDKListenerPrivate(IMessenger* messenger);
  IAudioDecoderListener* adapter() { return &adapter_; }

  void onInitialisationComplete() override;
  void onStartListening() override;
  void onStopListening() override;
  void onNTPRequired() override;
  void onFailed(const FailureParams& failure) override;
  void onAudioSupport(unsigned short rates) override;

 private:
  void sendStatus(SDKStatus::type status, const int* sampleRate);

  AudioDecoderListenerPrivate adapter_;
  IMessenger* const messenger_;
  const std::string senderName_ = "TembrolexinSDK";
};

class SDKPrivate : public IMessengerListener {
 public:
  // On the process-wide decoder.
  explicit SDKPrivate(IMessenger* messenger);
  SDKPrivate(IMessenger* messenger, AudioDecoder* decoder);
  ~SDKPrivate() override;
  SDKPrivate(const SDKPrivate&) = delete;
  SDKPrivate& operator=(const SDKPrivate&) = delete;

  void onReceive(const std::string& senderName, const ThriftParams& params) override;
  void configure(std::unique_ptr<ConfigurationMapSignal> signal);
  void initialise(std::unique_ptr<InitData> data);
  // Throws std::runtime_error "Instruction not handled" for an unknown
  // instruction.
  void handleInstructionSignal(std::unique_ptr<InstructionSignal> signal);

 private:
  IMessenger* const messenger_;
  AudioDecoder* const decoder_;
  SDKListenerPrivate listener_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_CONTROL_SDK_PRIVATE_H_
