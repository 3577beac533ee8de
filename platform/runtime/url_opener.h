// URLOpener: how the library hands a link to the system. There is no system
// handler here; the app supplies one (setShared), and without one every link
// is refused. The library never starts a program with text from a page.
//
// Thread safety: setShared and shared may be called from any thread; the
// opener itself is called on the main queue.
#ifndef TL_PLATFORM_RUNTIME_URL_OPENER_H_
#define TL_PLATFORM_RUNTIME_URL_OPENER_H_

#include <memory>
#include <string>

namespace tembrolexinplatform {

class URLOpener {
 public:
  virtual ~URLOpener() = default;
  virtual bool canOpenURL(const std::string& url) = 0;
  // Opens it; false when it could not.
  virtual bool openURL(const std::string& url) = 0;

  // The app's opener; null until the app sets one.
  static std::shared_ptr<URLOpener> shared();
  static void setShared(std::shared_ptr<URLOpener> opener);
};

// Through the app's opener; false (logged at Warning) when there is none or
// it refuses.
bool openURLThroughApp(const std::string& url);

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_URL_OPENER_H_
