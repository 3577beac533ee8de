#include "platform/api/sdk_private_objcpp.h"

namespace tembrolexinplatform {

SDKPrivateObjcpp::CoreBridgeFactory SDKPrivateObjcpp::defaultCoreBridge() {
  // The core decoder's bridge is wired in with the core decoder itself.
  return {};
}

}  // namespace tembrolexinplatform
