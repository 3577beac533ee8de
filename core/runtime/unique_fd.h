// Fd: an owned file descriptor, closed when it goes out of scope.
//
// Thread safety: none; an Fd belongs to one thread at a time.
#ifndef TL_CORE_RUNTIME_UNIQUE_FD_H_
#define TL_CORE_RUNTIME_UNIQUE_FD_H_

#include <unistd.h>

#include <utility>

namespace tembrolexin {

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes the descriptor now; false when closing reports an error (a
  // delayed write failure).
  bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

}  // namespace tembrolexin

#endif  // TL_CORE_RUNTIME_UNIQUE_FD_H_
