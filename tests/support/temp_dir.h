// A fresh, empty folder under the system's temporary directory that is removed
// with everything in it when the object is destroyed. Not thread-safe; one
// per test.
#ifndef TL_TESTS_SUPPORT_TEMP_DIR_H_
#define TL_TESTS_SUPPORT_TEMP_DIR_H_

#include <string>

namespace tltest {

class TempDir {
 public:
  TempDir();
  // A folder under `base` instead when one can be made there (such as
  // "/dev/shm", a memory file system where commits cost no disk flush),
  // else under the system's temporary directory.
  explicit TempDir(const std::string& base);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Absolute path without a trailing slash.
  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The whole content of the file at `path` ("" when it cannot be read).
std::string readFile(const std::string& path);
// Makes the file at `path` hold exactly `text`, making missing parent folders.
void writeFile(const std::string& path, const std::string& text);

}  // namespace tltest

#endif  // TL_TESTS_SUPPORT_TEMP_DIR_H_
