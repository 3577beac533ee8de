#include "platform/runtime/exclusive_file_lock.h"

#include <string>

#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

ExclusiveFileLock::ExclusiveFileLock(const std::string& path, const char* method,
                                     const std::string& subject, const char* goingOn,
                                     bool warnUnavailable)
    : lock_(path, Lock::Mode::kExclusive) {
  if (lock_.moved()) {
    TLLogger::warnInMethod(method, __LINE__, "%s: %s", subject.c_str(),
                           lock_.moved()->text().c_str());
  }
  if (!warnUnavailable || !unavailable()) return;
  const std::string reason =
      lock_.state() == Lock::State::kBusy
          ? "still locked after " +
                std::to_string(tembrolexinsdk::DB::storefiles::lockWait().count()) + " ms"
          : lock_.failed();
  TLLogger::warnInMethod(method, __LINE__, "%s: locking %s failed: %s; %s", subject.c_str(),
                         lock_.file().c_str(), reason.c_str(), goingOn);
}

}  // namespace tembrolexinplatform
