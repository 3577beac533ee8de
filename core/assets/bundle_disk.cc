#include "core/assets/bundle_disk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/runtime/dir_info.h"
#include "core/runtime/file_info.h"
#include "core/runtime/unique_fd.h"

namespace tembrolexinsdk {
namespace cacheprocessor {

namespace {

using tembrolexin::Fd;
using tembrolexin::fileio::syncFd;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

class RealDisk final : public BundleDisk {
 public:
  // One syncfs of the folder's file system: a bundle of a thousand small
  // files costs one journal commit and one cache flush instead of a
  // thousand (docs/performance.md), at the price of writing out whatever
  // else is waiting to be written on that file system, which the system
  // would write within seconds anyway.
  int syncTree(const std::string& folder) override {
    const Fd top(::open(folder.c_str(), kFolderFlags));
    if (!top.valid()) return errno;
    return ::syncfs(top.get()) == 0 ? 0 : errno;
  }
  int syncFolder(const std::string& folder) override {
    const Fd top(::open(folder.c_str(), kFolderFlags));
    if (!top.valid()) return errno;
    return syncFd(top.get());
  }
  int rename(const std::string& from, const std::string& to) override {
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }
  int removeFile(const std::string& path) override {
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
  }
  bool removeTree(const std::string& folder) override {
    return tembrolexin::DirInfo::rmdir(folder);
  }
};

}  // namespace

BundleDisk& BundleDisk::real() {
  static BundleDisk& disk = *new RealDisk();  // never destroyed
  return disk;
}

}  // namespace cacheprocessor
}  // namespace tembrolexinsdk
