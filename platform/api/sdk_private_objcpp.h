// The bridge between the decoder facade and the core: SDKPrivateObjcpp owns
// the platform Messenger, the core's side of the bridge and the platform
// status listener, and turns each facade command into one bus message with
// the sender name "SDKPrivateObjcpp". Nothing here waits for the core: the
// core's bus thread handles each message later, in sending order.
//
// InitDataBuilder / BuiltInitData assemble an InitData (type 35) of exactly
// the fields that were set; the core applies only those, so several partial
// InitData messages add up.
//
// Ownership: the bridge owns the core side and the listener, and shares its
// Messenger with engines and recorders (which may outlive the bridge);
// the facade (TLDecoderCallbacks) is not owned and outlives the bridge.
// Destruction order: listener, core side, Messenger.
//
// Thread safety: every command may be called from any thread.
#ifndef TL_PLATFORM_API_SDK_PRIVATE_OBJCPP_H_
#define TL_PLATFORM_API_SDK_PRIVATE_OBJCPP_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/runtime/i_messenger.h"
#include "platform/api/sdk_listener_private.h"
#include "platform/net/sntp_client.h"
#include "platform/runtime/messenger.h"
#include "platform/runtime/thrift_converter.h"

namespace tembrolexinplatform {

class BuiltInitData {
 public:
  explicit BuiltInitData(InitData data) : data_(std::move(data)) {}
  const InitData& getData() const { return data_; }

 private:
  InitData data_;
};

class InitDataBuilder {
 public:
  InitDataBuilder& setSampleRates(uint16_t rates);
  InitDataBuilder& setDeviceId(int32_t deviceId);
  InitDataBuilder& setFilePath(const std::string& path);
  InitDataBuilder& setLibraryPath(const std::string& path);
  InitDataBuilder& setExternalFilePath(const std::string& path);
  InitDataBuilder& setUdId(const std::string& udid);
  InitDataBuilder& setPackageName(const std::string& name);
  // Stored as sets: duplicates collapse.
  InitDataBuilder& setProcessorPlugins(const std::vector<int64_t>& handles);
  InitDataBuilder& setAudioProcessorPlugins(const std::vector<int64_t>& handles);
  BuiltInitData build() const { return BuiltInitData(data_); }

 private:
  InitData data_;
};

class SDKPrivateObjcpp {
 public:
  using CoreBridgeFactory = tembrolexinplatform::CoreBridgeFactory;
  static constexpr const char* kSenderName = "SDKPrivateObjcpp";

  // In this order: the Messenger over `bus`; the shared logger gets it
  // (TLLogger::setMessenger, which registers for LogSignal 8); the core
  // side; the status listener for `decoder`.
  SDKPrivateObjcpp(TLDecoderCallbacks& decoder, tembrolexinsdk::IMessenger* bus,
                   const CoreBridgeFactory& coreBridge);
  // Removes the status listener (if still there), the core side, and the
  // logger's hold on the Messenger, each waiting for its call under way on
  // another thread.
  ~SDKPrivateObjcpp();
  SDKPrivateObjcpp(const SDKPrivateObjcpp&) = delete;
  SDKPrivateObjcpp& operator=(const SDKPrivateObjcpp&) = delete;

  Messenger& getMessenger() { return *messenger_; }
  // Shared with the engines and recorders that may outlive the bridge.
  const std::shared_ptr<Messenger>& sharedMessenger() const { return messenger_; }

  // The status listener stops hearing the Messenger, once its call under
  // way on another thread has returned: nothing reaches the facade
  // afterwards. Idempotent; the destructor starts with it.
  void removeListener() { listenerPrivate_.reset(); }

  void initialise(const BuiltInitData& data);
  // InstructionSignal 0 with shouldRecordToFile set to the argument.
  void startAndRecordToFile(bool recordToFile);
  // InstructionSignal 1 / 2, shouldRecordToFile unset.
  void stop();
  void prepareData();
  void configureWithMap(const ConfigDictionary& map);
  void updateGPSInfo(double longitude, double latitude);
  void updateGSMInfo(const std::string& countryCode, const std::string& network, int64_t lac,
                     int64_t cid);
  // From a result its six values; for none a signal with no field set (a
  // failed time request for the core).
  void updateNTP(const NTPResult* result);

 private:
  void sendInstruction(int32_t instruction, std::optional<bool> recordToFile);

  const std::string tag_ = kSenderName;
  std::shared_ptr<Messenger> messenger_;
  std::shared_ptr<void> sdkPrivate_;
  std::unique_ptr<SDKListenerPrivate> listenerPrivate_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_API_SDK_PRIVATE_OBJCPP_H_
