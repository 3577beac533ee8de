#include "core/assets/bundle_leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "core/assets/asset_cacher.h"
#include "core/assets/bundle_staging.h"
#include "core/runtime/dir_info.h"
#include "core/runtime/file_info.h"
#include "core/runtime/unique_fd.h"

namespace tembrolexinsdk {
namespace cacheprocessor {

using tembrolexin::DirInfo;
using tembrolexin::FileInfo;

namespace {

// How deep the search for temporaries goes into a bundle folder; a bundle's
// own tree is far shallower, and each level holds a descriptor open.
constexpr int kTemporarySearchDepth = 32;

// A temporary of another run: one with the same process id too, since an
// app in a container starts as process 1 every time. This run's own may be
// being written.
bool isLeftoverTemporary(const std::string& name) {
  return tembrolexin::fileio::classifyTemporaryName(name) ==
         tembrolexin::fileio::TemporaryName::kEarlierRun;
}

// Removes the leftover temporaries below the open folder `at`, whose path is
// `path`, and adds their paths to `removed`.
void removeTemporariesBelow(int at, const std::string& path, int depth,
                            std::vector<std::string>& removed) {
  const int copy = ::fcntl(at, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return;
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    ::close(copy);
    return;
  }
  std::vector<std::string> folders;
  std::vector<std::string> temporaries;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      folders.push_back(name);
    } else if (S_ISREG(st.st_mode) && isLeftoverTemporary(name)) {
      temporaries.push_back(name);
    }
  }
  ::closedir(dir);
  for (const std::string& name : temporaries) {
    if (::unlinkat(at, name.c_str(), 0) == 0) removed.push_back(path + "/" + name);
  }
  if (depth <= 0) return;
  for (const std::string& name : folders) {
    const tembrolexin::Fd sub(
        ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sub.valid()) removeTemporariesBelow(sub.get(), path + "/" + name, depth - 1, removed);
  }
}

void removeTemporariesInBundles(const std::string& folder, std::vector<std::string>& removed) {
  const tembrolexin::Fd root(
      ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root.valid()) return;
  for (const std::string& bundle : DirInfo(folder).list(DirInfo::kFolders)) {
    const std::string name = FileInfo(bundle).filename();
    const tembrolexin::Fd sub(
        ::openat(root.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sub.valid()) removeTemporariesBelow(sub.get(), bundle, kTemporarySearchDepth, removed);
  }
}

}  // namespace

std::vector<std::string> removeLeftovers(const std::string& acquired, const std::string& ready) {
  AssetCacher::removePartialDownloads(acquired);
  for (const std::string& folder :
       DirInfo(acquired).list(DirInfo::kFolders, DirInfo::unsorted, /*keepHidden=*/true)) {
    if (isStagingFolderName(FileInfo(folder).filename())) DirInfo::rmdir(folder);
  }
  std::vector<std::string> removed;
  for (const std::string& file :
       DirInfo(acquired).list(DirInfo::kFiles, DirInfo::unsorted, /*keepHidden=*/true)) {
    const std::string name = FileInfo(file).filename();
    // Each unzip writes its file anew, so an unzipped package whose ".gz"
    // is gone has no use.
    const bool orphan = name.front() != '.' && FileInfo(file).suffix() == "db" &&
                        ::access((file + ".gz").c_str(), F_OK) != 0;
    if ((isLeftoverTemporary(name) || orphan) && std::remove(file.c_str()) == 0) {
      removed.push_back(file);
    }
  }
  removeTemporariesInBundles(acquired, removed);
  removeTemporariesInBundles(ready, removed);
  return removed;
}

}  // namespace cacheprocessor
}  // namespace tembrolexinsdk
