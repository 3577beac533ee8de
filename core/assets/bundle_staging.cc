#include "core/assets/bundle_staging.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/runtime/dir_info.h"
#include "core/runtime/error_text.h"
#include "core/runtime/file_info.h"

namespace tembrolexinsdk {
namespace cacheprocessor {

using tembrolexin::DirInfo;
using tembrolexin::FileInfo;

namespace {

// Marks the hidden staging folders: ".<name>.unpacking-XXXXXX".
constexpr char kStagingMark[] = ".unpacking-";
// How much of a bundle's name its staging folder keeps (a name has at most
// 255 bytes).
constexpr size_t kStagingNameBytes = 200;

bool sameFileSystem(const std::string& a, const std::string& b) {
  struct stat sa;
  struct stat sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev;
}

}  // namespace

std::string makeStagingFolder(const std::string& acquired, const std::string& name, int* error) {
  std::string staging =
      acquired + "/." + name.substr(0, kStagingNameBytes) + kStagingMark + "XXXXXX";
  if (::mkdtemp(staging.data()) != nullptr) return staging;
  if (error != nullptr) *error = errno;
  return "";
}

bool isStagingFolderName(const std::string& name) {
  return !name.empty() && name.front() == '.' && name.find(kStagingMark) != std::string::npos;
}

std::optional<std::string> clearPlace(const std::string& target, int* error) {
  if (error != nullptr) *error = 0;
  struct stat st;
  if (::lstat(target.c_str(), &st) != 0) {
    const int lstatError = errno;
    if (lstatError == ENOENT) return std::nullopt;
    if (error != nullptr) *error = lstatError;
    return "cannot reach " + target + ": " + tembrolexin::errorText(lstatError);
  }
  if (S_ISDIR(st.st_mode)) {
    if (DirInfo::rmdir(target)) return std::nullopt;
    return "cannot remove the folder " + target;
  }
  if (::unlink(target.c_str()) == 0) return std::nullopt;
  const int unlinkError = errno;
  if (error != nullptr) *error = unlinkError;
  return "cannot remove " + target + ": " + tembrolexin::errorText(unlinkError);
}

std::optional<std::string> placeStaged(const std::string& staging, const std::string& target,
                                       BundleDisk& disk, int* error) {
  const auto failed = [&](int reason, const std::string& what) {
    if (error != nullptr) *error = reason;
    return what + ": " + tembrolexin::errorText(reason);
  };
  // The files before the name: a rename that reached the disk before them
  // would leave the bundle's name on empty or cut-off files.
  if (const int reason = disk.syncTree(staging)) {
    return failed(reason, "cannot write " + staging + " to the disk");
  }
  if (auto why = clearPlace(target, error)) return why;
  if (const int reason = disk.rename(staging, target)) {
    return failed(reason, "cannot rename " + staging);
  }
  if (const int reason = disk.syncFolder(target.substr(0, target.find_last_of('/')))) {
    return failed(reason, "cannot write the rename of " + target + " to the disk");
  }
  return std::nullopt;
}

std::optional<std::string> importFolder(const std::string& source, const std::string& target,
                                        const std::string& acquired, const std::string& name,
                                        bool move, BundleDisk& disk, bool& sourceLeft) {
  const std::string verb = move ? "Could not move " : "Could not copy ";
  struct stat st;
  if (::lstat(source.c_str(), &st) != 0) {
    const int error = errno;
    return verb + source + ": " + tembrolexin::errorText(error);
  }
  if (!S_ISDIR(st.st_mode)) return verb + source + ": not a folder";
  if (move && sameFileSystem(source, acquired)) {
    // The app may have written the files just now: they reach the disk
    // before the rename does, as a staged folder's would.
    if (const int error = disk.syncTree(source)) {
      return verb + source + ": cannot write it to the disk: " + tembrolexin::errorText(error);
    }
    if (auto why = clearPlace(target)) return verb + source + ": " + *why;
    const int error = disk.rename(source, target);
    if (error == 0) {
      if (const int unsynced = disk.syncFolder(acquired)) {
        return verb + source + ": cannot write the rename of " + target + " to the disk: " +
               tembrolexin::errorText(unsynced);
      }
      return std::nullopt;
    }
    // EXDEV: a bind mount lies between them; the tree is copied after all.
    if (error != EXDEV) return verb + source + ": " + tembrolexin::errorText(error);
  }
  int error = 0;
  const std::string staging = makeStagingFolder(acquired, name, &error);
  if (staging.empty()) {
    return verb + source + ": no folder to copy into: " + tembrolexin::errorText(error);
  }
  DirInfo::Fault fault;
  std::optional<std::string> why;
  if (!DirInfo::cpdir(source, staging, &fault)) {
    why = verb + FileInfo::addPath(source, fault.entry) + ": " +
          (fault.error != 0 ? tembrolexin::errorText(fault.error)
                            : std::string("not a file, folder or link that can be copied"));
  } else if (auto placed = placeStaged(staging, target, disk)) {
    why = verb + source + ": " + *placed;
  }
  if (why) {
    DirInfo::rmdir(staging);
    return why;
  }
  // placeStaged has put the copy and its name on the disk.
  sourceLeft = move && !disk.removeTree(source);
  return std::nullopt;
}

}  // namespace cacheprocessor
}  // namespace tembrolexinsdk
