// returnsDespitePipes: runs `call` on a thread of its own and tells whether
// it returned within 10 s. If not (it waits on one of the named pipes
// `pipes`), each pipe's other end is opened so that it goes on (a reader,
// kept open until the call returns, for a writer that waits; a writer,
// closed at once, for a reader that waits, again every 50 ms for a call that
// opens the pipe once more), and the test fails instead of hanging.
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
  }
  do {
    for (const std::string& pipe : pipes) {
      const int writer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (writer >= 0) ::close(writer);
    }
  } while (done.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready);
  for (int fd : readers) {
    if (fd >= 0) ::close(fd);
  }
  return false;
}

}  // namespace tltest

#endif  // TL_TESTS_SUPPORT_PIPE_RELEASE_H_
