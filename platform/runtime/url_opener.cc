#include "platform/runtime/url_opener.h"

#include <mutex>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {
tembrolexin::Mutex& openerMutex() {
  static tembrolexin::Mutex* m = new tembrolexin::Mutex();
  return *m;
}
std::shared_ptr<URLOpener>& openerSlot() {
  static auto* slot = new std::shared_ptr<URLOpener>();
  return *slot;
}
}  // namespace

std::shared_ptr<URLOpener> URLOpener::shared() {
  std::lock_guard lock(openerMutex());
  return openerSlot();
}

void URLOpener::setShared(std::shared_ptr<URLOpener> opener) {
  // The opener let go of is the app's: it ends after the lock is released.
  std::shared_ptr<URLOpener> old;
  std::lock_guard lock(openerMutex());
  old = std::exchange(openerSlot(), std::move(opener));
}

bool openURLThroughApp(const std::string& url) {
  std::shared_ptr<URLOpener> opener = URLOpener::shared();
  if (!opener) {
    TLLogger::warnInMethod("openURLThroughApp", __LINE__, "No URL opener set, cannot open %s",
                           url.c_str());
    return false;
  }
  if (!opener->openURL(url)) {
    TLLogger::warnInMethod("openURLThroughApp", __LINE__, "The app refused to open %s",
                           url.c_str());
    return false;
  }
  return true;
}

}  // namespace tembrolexinplatform
