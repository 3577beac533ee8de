#include "tests/support/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

bool runsAsRoot() { return ::geteuid() == 0; }

std::string actAsOtherUser() {
  if (!runsAsRoot()) return std::string();
  // Groups first: once the user is changed, they may not be.
  if (::setgroups(0, nullptr) != 0 || ::setgid(kOtherGroup) != 0 || ::setuid(kOtherUser) != 0) {
    return std::string("acting as another user failed: ") + std::strerror(errno);
  }
  return std::string();
}

void giveToChildUser(const std::string& path) {
  if (runsAsRoot()) ::lchown(path.c_str(), kOtherUser, kOtherGroup);
}

std::string lockState(const std::string& lockFile) {
  const int fd = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "no lock file";
  const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return locked ? "locked" : "free";
}

}  // namespace tltest
