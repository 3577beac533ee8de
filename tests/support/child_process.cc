#include "tests/support/child_process.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exception>

namespace tltest {

std::string inChild(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "child failed: no pipe";
  const pid_t pid = ::fork();
  if (pid < 0) return "child failed: no fork";
  if (pid == 0) {
    ::close(fds[0]);
    std::string text;
    try {
      text = body();
    } catch (const std::exception& e) {
      text = std::string("child failed: threw ") + e.what();
    }
    for (size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::_exit(0);  // no destructors or handlers of the test process
  }
  ::close(fds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed: died; " + text;
  return text;
}

void limitFileSize(std::size_t bytes) {
  ::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{bytes, bytes};
  ::setrlimit(RLIMIT_FSIZE, &limit);
}

}  // namespace tltest
