// TLSDKAnalytics: the facade's analytics bridge, told when decoding starts
// and stops. Keeping the app alive in the background until the core's
// analytics records are uploaded is built with the uploads; until then both
// calls do nothing.
//
// Thread safety: start and stop may be called from any thread.
#ifndef TL_PLATFORM_API_TL_SDK_ANALYTICS_H_
#define TL_PLATFORM_API_TL_SDK_ANALYTICS_H_

#include "platform/api/messenger.h"

namespace tembrolexinplatform {

class ITLSDKAnalytics {
 public:
  virtual ~ITLSDKAnalytics() = default;
  virtual void start() = 0;
  virtual void stop() = 0;
};

class TLSDKAnalytics final : public ITLSDKAnalytics {
 public:
  // The Messenger is not owned and outlives this object.
  explicit TLSDKAnalytics(Messenger& messenger) : messenger_(messenger) {}
  void start() override {}
  void stop() override {}

 private:
  [[maybe_unused]] Messenger& messenger_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_API_TL_SDK_ANALYTICS_H_
