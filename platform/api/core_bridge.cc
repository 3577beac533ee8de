#include <stdexcept>

#include "platform/api/sdk_private_objcpp.h"
#include "platform/api/tl_recorder.h"

namespace tembrolexinplatform {

SDKPrivateObjcpp::CoreBridgeFactory SDKPrivateObjcpp::defaultCoreBridge() {
  // The core decoder's bridge is wired in with the core decoder itself.
  return {};
}

}  // namespace tembrolexinplatform

namespace tembrolexinplatform {

RecorderCore RecorderCore::standard() {
  RecorderCore core;
  core.make = [](int32_t) -> std::unique_ptr<tembrolexinsdk::IAudioRecorder> {
    throw std::runtime_error("no app-fed recorder in this build");
  };
  core.install = [](std::unique_ptr<tembrolexinsdk::IAudioRecorder>) {};
  return core;
}

}  // namespace tembrolexinplatform
