// returnsDespitePipes: runs a call that must not wait on the named pipes at
// the given paths, on a thread of its own, and tells whether it returned
// within 10 s. When it did not, each pipe's other end is opened so that the
// call can go on (a reader for a writer that waits, kept open until the call
// returns so that its few bytes fit the pipe; a writer, closed at once, for a
// reader that waits, which then reads the end of the file), and the test
// fails instead of hanging.
//
//   EXPECT_TRUE(tltest::returnsDespitePipes([&] { defaults.setString("k", "v"); }, {path}));
#ifndef TL_TESTS_SUPPORT_PIPE_RELEASE_H_
#define TL_TESTS_SUPPORT_PIPE_RELEASE_H_

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

namespace tltest {

inline bool returnsDespitePipes(std::function<void()> call, const std::vector<std::string>& pipes) {
  std::future<void> done = std::async(std::launch::async, std::move(call));
  if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready) {
    done.get();
    return true;
  }
  std::vector<int> readers;
  for (const std::string& pipe : pipes) {
    readers.push_back(::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    const int writer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) ::close(writer);
  }
  done.wait();
  for (int fd : readers) {
    if (fd >= 0) ::close(fd);
  }
  return false;
}

}  // namespace tltest

#endif  // TL_TESTS_SUPPORT_PIPE_RELEASE_H_
