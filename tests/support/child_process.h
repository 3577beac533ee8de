// Runs a piece of a test in a forked child process, for faults that must not
// touch the test process itself, such as a file size limit (RLIMIT_FSIZE)
// standing in for a full disk.
//
//   std::string seen = tltest::inChild([&] {
//     tltest::limitFileSize(64 << 10);
//     ... return a text that sums up what happened ...
//   });
//
// Only the calling thread lives on in the child; the body must not wait for
// other threads of the test. Not thread-safe.
#ifndef TL_TESTS_SUPPORT_CHILD_PROCESS_H_
#define TL_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

namespace tltest {

// The text `body` returned in the child, or "child failed: ..." when it
// threw, died or could not be started.
std::string inChild(const std::function<std::string()>& body);

// From now on no file of this process may grow past `bytes`: a write beyond
// fails with EFBIG (the signal that would end the process is ignored).
void limitFileSize(std::size_t bytes);

// The user and group that a child of a test run by root acts as, for file
// permissions that root would pass: nobody's.
inline constexpr uid_t kOtherUser = 65534;
inline constexpr gid_t kOtherGroup = 65534;
// Whether the test runs as root, and so can act as kOtherUser.
bool runsAsRoot();
// In a child: from now on acts as kOtherUser and kOtherGroup, with no
// supplementary groups, when the test runs as root; as itself otherwise.
// Returns "" or what failed.
std::string actAsOtherUser();
// Gives `path` (not through a link) to the user a child acts as after
// actAsOtherUser (kOtherUser when the test runs as root; else nothing to do).
void giveToChildUser(const std::string& path);

// Whether another process could take the advisory lock (flock) of
// `lockFile` now: "locked", "free", or "no lock file". A second open file
// description conflicts as one of another process does.
std::string lockState(const std::string& lockFile);

}  // namespace tltest

#endif  // TL_TESTS_SUPPORT_CHILD_PROCESS_H_
