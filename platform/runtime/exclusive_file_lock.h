// ExclusiveFileLock: one process at a time, across the app's processes, for
// a step that reads a file of the app's, changes it and writes it whole (the
// user defaults file, the key store's pair). It holds the advisory lock on
// "<path>.lock" exclusively, as the stores hold theirs
// (DB::storefiles::StoreLock: flock on an empty file that stays, waited for
// at most storefiles::lockWait(), 10 s; what is no regular file at that name
// is moved to "<path>.lock.<n>" first).
//
// What was moved out of the lock file's way is logged at Warning ("<subject>:
// a folder at <file> is in the way; it is moved to <file>.1"), and so is,
// when asked, a lock that cannot be had ("<subject>: locking <file> failed:
// Read-only file system; <goingOn>", or "... failed: still locked after
// 10000 ms; ..."): the step then goes on without it. Nothing is logged when
// the folder is missing, where the step can write nothing either. Open a
// TLLogger::HeldLines scope before the process's own lock when the lines are
// logged under it.
//
// Two holds in one process conflict as they would in two, so take it after
// the process's own lock for the step and never twice on one thread.
//
// Ownership: owns the lock file's descriptor; the hold ends when it is
// destroyed. Thread safety: none; one thread uses an object.
#ifndef TL_PLATFORM_RUNTIME_EXCLUSIVE_FILE_LOCK_H_
#define TL_PLATFORM_RUNTIME_EXCLUSIVE_FILE_LOCK_H_

#include <string>

#include "core/runtime/store_files.h"

namespace tembrolexinplatform {

class ExclusiveFileLock {
 public:
  // Takes the lock on "<path>.lock"; `method` is the log lines' sender.
  // `warnUnavailable`: whether a lock that cannot be had is logged.
  ExclusiveFileLock(const std::string& path, const char* method, const std::string& subject,
                    const char* goingOn, bool warnUnavailable);
  ExclusiveFileLock(const ExclusiveFileLock&) = delete;
  ExclusiveFileLock& operator=(const ExclusiveFileLock&) = delete;

  bool held() const { return lock_.state() == Lock::State::kHeld; }
  // Whether the lock could not be had where it could have been: not held,
  // and the folder is there.
  bool unavailable() const { return !held() && lock_.state() != Lock::State::kNoFolder; }

 private:
  using Lock = tembrolexinsdk::DB::storefiles::StoreLock;
  Lock lock_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_EXCLUSIVE_FILE_LOCK_H_
