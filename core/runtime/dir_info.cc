#include "core/runtime/dir_info.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

#include "core/runtime/file_info.h"
#include "core/runtime/unique_fd.h"

namespace tembrolexin {

namespace {

// Folders inside a tree are opened by name relative to their parent's
// descriptor and never through a link, so a walk stays inside the tree even
// when another process swaps one of its folders for a link meanwhile.
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

Fd openFolderAt(int parent, const std::string& name) {
  return Fd(::openat(parent, name.c_str(), kFolderFlags));
}

// One entry of a folder as it is on disk (links not followed).
struct RawEntry {
  std::string name;
  mode_t mode;
};

// The entries of the open folder `folder` other than "." and "..", with
// their own types. False when the folder cannot be read to its end; then
// `error` holds the system's error number of the first failure.
bool readEntries(int folder, std::vector<RawEntry>& entries, int& error) {
  // fdopendir takes over the descriptor it is given, so it gets a copy.
  const int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    error = errno;
    return false;
  }
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    error = errno;
    ::close(copy);
    return false;
  }
  ::rewinddir(dir);  // the copy shares the read position
  bool ok = true;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0 && ok) error = errno;
      if (errno != 0) ok = false;
      break;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (ok) error = errno;
      ok = false;
      continue;
    }
    entries.push_back({name, st.st_mode});
  }
  ::closedir(dir);
  return ok;
}

// `path` without trailing "/" (keeping a lone "/"): "link/" would make the
// system resolve the link, and the tree operations must see the link itself.
std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool isFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool lexists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// True when `target` is `source` or lies inside it, after resolving links and
// relative parts; a tree moved or copied into itself would never end.
bool targetInsideSource(const std::string& source, const std::string& target) {
  std::error_code ec;
  const std::filesystem::path s = std::filesystem::weakly_canonical(source, ec);
  if (ec) return false;
  const std::filesystem::path t = std::filesystem::weakly_canonical(target, ec);
  if (ec) return false;
  const std::string sText = s.string();
  const std::string tText = t.string();
  if (tText == sText) return true;
  const std::string prefix = sText.back() == '/' ? sText : sText + "/";
  return tText.compare(0, prefix.size(), prefix) == 0;
}

// Copies every byte from `in` to `out`; on failure `error` holds the
// system's reason (a full disk shows here).
bool copyBytes(int in, int out, int& error) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return false;
    }
    if (n == 0) return true;
    const char* data = buffer;
    size_t left = static_cast<size_t>(n);
    while (left > 0) {
      const ssize_t w = ::write(out, data, left);
      if (w < 0) {
        if (errno == EINTR) continue;
        error = errno;
        return false;
      }
      data += w;
      left -= static_cast<size_t>(w);
    }
  }
}

// The text of the link `name` in the folder `folder` (AT_FDCWD for a path).
bool readLinkAt(int folder, const std::string& name, std::string& text) {
  text.assign(256, '\0');
  for (;;) {
    const ssize_t n = ::readlinkat(folder, name.c_str(), text.data(), text.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < text.size()) {
      text.resize(static_cast<size_t>(n));
      return true;
    }
    text.resize(text.size() * 2);
  }
}

// The functions below that take `int& error` set it, when they fail, to the
// system's error number of the failing step, read right after that step; 0
// when the failure has no system reason.

// Recreates the link `source` (in `sourceDir`) as `target` (in `targetDir`),
// replacing a non-folder there.
bool copyLinkAt(int sourceDir, const std::string& source, int targetDir, const std::string& target,
                int& error) {
  std::string text;
  if (!readLinkAt(sourceDir, source, text)) {
    error = errno;
    return false;
  }
  struct stat st;
  if (::fstatat(targetDir, target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(st.st_mode)) {
      error = EISDIR;
      return false;
    }
    if (::unlinkat(targetDir, target.c_str(), 0) != 0) {
      error = errno;
      return false;
    }
  }
  if (::symlinkat(text.c_str(), targetDir, target.c_str()) == 0) return true;
  error = errno;
  return false;
}

// Copies the regular file `name` from `sourceDir` to `targetDir`. Neither
// side is opened through a link: a link already at the target is replaced.
bool copyFileAt(int sourceDir, int targetDir, const std::string& name, int& error) {
  // Non-blocking so that something swapped in for the file (a named pipe) is
  // refused instead of waited on.
  const Fd in(::openat(sourceDir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat inStat;
  if (!in.valid() || ::fstat(in.get(), &inStat) != 0) {
    error = errno;
    return false;
  }
  error = 0;
  if (!S_ISREG(inStat.st_mode)) return false;
  constexpr int kOutFlags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
  Fd out(::openat(targetDir, name.c_str(), kOutFlags, 0666));
  if (!out.valid() && errno == ELOOP) {
    if (::unlinkat(targetDir, name.c_str(), 0) != 0) {
      error = errno;
      return false;
    }
    out = Fd(::openat(targetDir, name.c_str(), kOutFlags | O_EXCL, 0666));
  }
  struct stat outStat;
  if (!out.valid() || ::fstat(out.get(), &outStat) != 0) {
    error = errno;
    return false;
  }
  if (outStat.st_dev == inStat.st_dev && outStat.st_ino == inStat.st_ino) return false;
  if (::ftruncate(out.get(), 0) != 0 || !copyBytes(in.get(), out.get(), error)) {
    if (error == 0) error = errno;
    return false;
  }
  // A delayed write failure shows when the file is closed.
  if (out.close()) return true;
  error = errno;
  return false;
}

// Copies one entry that is not a folder: a file's bytes, a link as a link.
bool copyEntryAt(int sourceDir, int targetDir, const RawEntry& entry, int& error) {
  if (S_ISLNK(entry.mode)) return copyLinkAt(sourceDir, entry.name, targetDir, entry.name, error);
  error = 0;
  if (!S_ISREG(entry.mode)) return false;  // sockets, pipes and devices are not copied
  return copyFileAt(sourceDir, targetDir, entry.name, error);
}

// Moves one entry that is not a folder; across file systems, by copy and
// delete.
bool moveEntryAt(int sourceDir, int targetDir, const RawEntry& entry) {
  const char* name = entry.name.c_str();
  if (::renameat(sourceDir, name, targetDir, name) == 0) return true;
  if (errno != EXDEV) return false;
  int error = 0;
  if (!copyEntryAt(sourceDir, targetDir, entry, error)) return false;
  return ::unlinkat(sourceDir, name, 0) == 0;
}

// The folder `name` in `targetDir` to move or copy into, created when
// missing. A link (or file) where a folder should go gives an invalid Fd.
Fd prepareTargetAt(int targetDir, const std::string& name, int& error) {
  if (::mkdirat(targetDir, name.c_str(), 0755) != 0 && errno != EEXIST) {
    error = errno;
    return Fd();
  }
  Fd folder = openFolderAt(targetDir, name);
  if (!folder.valid()) error = errno;
  return folder;
}

// The folder given as the target at the top, created when missing; it may be
// a link to a folder.
Fd prepareTopTarget(const std::string& target) {
  if (!isFolder(target) && ::mkdir(target.c_str(), 0755) != 0 && errno != EEXIST) return Fd();
  return Fd(::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// The folder given as the source at the top, never through a link.
Fd openTopSource(const std::string& source) {
  return Fd(::open(withoutTrailingSlashes(source).c_str(), kFolderFlags));
}

// Checks of the folder given to mvdir and cpdir. Returns false when the
// operation must fail, with `error` set as for the copy helpers; sets
// `sourceIsLink` when `source` is itself a link.
bool checkTop(const std::string& source, const std::string& target, bool& sourceIsLink,
              int& error) {
  error = 0;
  if (!fileio::isUsablePath(source) || !fileio::isUsablePath(target)) return false;
  struct stat st;
  if (::lstat(withoutTrailingSlashes(source).c_str(), &st) != 0) {
    error = errno;
    return false;
  }
  sourceIsLink = S_ISLNK(st.st_mode);
  if (sourceIsLink) return !lexists(target);
  if (!S_ISDIR(st.st_mode)) {
    error = ENOTDIR;
    return false;
  }
  return !targetInsideSource(source, target);
}

// Moves the contents of the open folder `source` into the open folder
// `target`; the emptied subfolders of `source` are removed.
bool moveTree(int source, int target) {
  std::vector<RawEntry> entries;
  int error = 0;
  bool ok = readEntries(source, entries, error);
  for (const RawEntry& entry : entries) {
    if (!S_ISDIR(entry.mode)) {
      if (!moveEntryAt(source, target, entry)) ok = false;
      continue;
    }
    const Fd from = openFolderAt(source, entry.name);
    const Fd to = prepareTargetAt(target, entry.name, error);
    if (!from.valid() || !to.valid() || !moveTree(from.get(), to.get())) {
      ok = false;
      continue;
    }
    // Fails when anything stayed behind.
    if (::unlinkat(source, entry.name.c_str(), AT_REMOVEDIR) != 0) ok = false;
  }
  return ok;
}

// Keeps the first failure of a walk, when the caller asked for it.
class FaultNote {
 public:
  explicit FaultNote(DirInfo::Fault* out) : out_(out) {}
  void note(const std::string& entry, int error) {
    if (out_ != nullptr && !noted_) *out_ = DirInfo::Fault{entry, error};
    noted_ = true;
  }

 private:
  DirInfo::Fault* out_;
  bool noted_ = false;
};

std::string below(const std::string& prefix, const std::string& name) {
  return prefix.empty() ? name : prefix + "/" + name;
}

// Copies the contents of the open folder `source`, which lies at `prefix`
// below the top of the copy, into the open folder `target`.
bool copyTree(int source, int target, const std::string& prefix, FaultNote& fault) {
  std::vector<RawEntry> entries;
  int error = 0;
  bool ok = readEntries(source, entries, error);
  if (!ok) fault.note(prefix, error);
  for (const RawEntry& entry : entries) {
    const std::string path = below(prefix, entry.name);
    if (!S_ISDIR(entry.mode)) {
      if (!copyEntryAt(source, target, entry, error)) {
        fault.note(path, error);
        ok = false;
      }
      continue;
    }
    const Fd from = openFolderAt(source, entry.name);
    if (!from.valid()) error = errno;
    const Fd to = from.valid() ? prepareTargetAt(target, entry.name, error) : Fd();
    if (!from.valid() || !to.valid()) {
      fault.note(path, error);
      ok = false;
    } else if (!copyTree(from.get(), to.get(), path, fault)) {
      ok = false;
    }
  }
  return ok;
}

// Deletes everything inside the open folder `folder`. An entry that turns
// out not to be a folder when it is opened (a link swapped in) is removed as
// it is. Stops at the first entry that cannot be deleted.
bool removeContents(int folder) {
  std::vector<RawEntry> entries;
  int error = 0;
  readEntries(folder, entries, error);
  for (const RawEntry& entry : entries) {
    const char* name = entry.name.c_str();
    if (S_ISDIR(entry.mode)) {
      const Fd child = openFolderAt(folder, entry.name);
      if (child.valid()) {
        if (!removeContents(child.get())) return false;
      } else if (errno == ELOOP || errno == ENOTDIR) {
        if (::unlinkat(folder, name, 0) != 0) return false;
        continue;
      } else {
        return false;
      }
      if (::unlinkat(folder, name, AT_REMOVEDIR) != 0) return false;
    } else if (::unlinkat(folder, name, 0) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::vector<std::string> DirInfo::list(int typeMask, direction order, bool keepHidden) const {
  struct Item {
    std::string path;
    std::string name;
    struct timespec mtime;
  };
  std::vector<std::string> result;
  if (path_.empty() || !fileio::isUsablePath(path_)) return result;
  DIR* dir = ::opendir(path_.c_str());
  if (dir == nullptr) return result;

  std::vector<Item> items;
  while (const dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (!keepHidden && name[0] == '.') continue;
    std::string full = path_ + "/" + name;
    struct stat st;
    if (::stat(full.c_str(), &st) != 0) continue;
    const bool keep = (S_ISDIR(st.st_mode) && (typeMask & kFolders) != 0) ||
                      (S_ISREG(st.st_mode) && (typeMask & kFiles) != 0);
    if (keep) items.push_back({std::move(full), std::move(name), st.st_mtim});
  }
  ::closedir(dir);

  if (order == byModificationTime) {
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
      if (a.mtime.tv_sec != b.mtime.tv_sec) return a.mtime.tv_sec < b.mtime.tv_sec;
      return a.mtime.tv_nsec < b.mtime.tv_nsec;
    });
  } else if (order == byPath) {
    std::sort(items.begin(), items.end(),
              [](const Item& a, const Item& b) { return a.path < b.path; });
  }
  result.reserve(items.size());
  for (Item& item : items) result.push_back(std::move(item.path));
  return result;
}

bool DirInfo::mkdir(const std::string& path, bool recursive) {
  if (!fileio::isUsablePath(path) || path.size() >= PATH_MAX) return false;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (recursive) {
    // Each missing ancestor in turn, from the top down: the path is cut
    // short at every separator after a name.
    std::string prefix = path;
    for (size_t i = 1; i < prefix.size(); ++i) {
      if (prefix[i] != '/' || prefix[i - 1] == '/') continue;
      prefix[i] = '\0';
      const char* ancestor = prefix.c_str();
      if (::stat(ancestor, &st) != 0) {
        if (::mkdir(ancestor, 0755) != 0 && !(errno == EEXIST && isFolder(ancestor))) return false;
      } else if (!S_ISDIR(st.st_mode)) {
        return false;
      }
      prefix[i] = '/';
    }
  }
  if (::mkdir(path.c_str(), 0755) == 0) return true;
  // Another thread or process may have created it meanwhile.
  return errno == EEXIST && isFolder(path);
}

bool DirInfo::mvdir(const std::string& source, const std::string& target) {
  bool sourceIsLink = false;
  int error = 0;
  if (!checkTop(source, target, sourceIsLink, error)) return false;
  if (sourceIsLink) {
    const std::string from = withoutTrailingSlashes(source);
    const std::string to = withoutTrailingSlashes(target);
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    if (errno != EXDEV) return false;
    return copyLinkAt(AT_FDCWD, from, AT_FDCWD, to, error) && ::unlink(from.c_str()) == 0;
  }
  // One rename moves the whole tree when the target is free and on the same
  // file system.
  if (!lexists(target) && ::rename(source.c_str(), target.c_str()) == 0) return true;
  const Fd from = openTopSource(source);
  const Fd to = prepareTopTarget(target);
  if (!from.valid() || !to.valid()) return false;
  bool ok = moveTree(from.get(), to.get());
  // Fails when anything stayed behind.
  if (::rmdir(source.c_str()) != 0) ok = false;
  return ok;
}

bool DirInfo::cpdir(const std::string& source, const std::string& target, Fault* fault) {
  FaultNote note(fault);
  bool sourceIsLink = false;
  int error = 0;
  if (!checkTop(source, target, sourceIsLink, error)) {
    note.note("", error);
    return false;
  }
  if (sourceIsLink) {
    if (copyLinkAt(AT_FDCWD, withoutTrailingSlashes(source), AT_FDCWD,
                   withoutTrailingSlashes(target), error)) {
      return true;
    }
    note.note("", error);
    return false;
  }
  const Fd from = openTopSource(source);
  if (!from.valid()) error = errno;
  const Fd to = from.valid() ? prepareTopTarget(target) : Fd();
  if (from.valid() && !to.valid()) error = errno;
  if (!from.valid() || !to.valid()) {
    note.note("", error);
    return false;
  }
  return copyTree(from.get(), to.get(), "", note);
}

bool DirInfo::copyFile(const std::string& source, const std::string& target) {
  if (!fileio::isUsablePath(source) || !fileio::isUsablePath(target)) return false;
  // Non-blocking so that a named pipe is refused instead of waited on.
  const Fd in(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat inStat;
  struct stat outStat;
  if (!in.valid() || ::fstat(in.get(), &inStat) != 0 || !S_ISREG(inStat.st_mode) ||
      (::stat(target.c_str(), &outStat) == 0 && outStat.st_dev == inStat.st_dev &&
       outStat.st_ino == inStat.st_ino)) {
    // Copying a file onto itself would truncate it before reading it.
    return false;
  }
  Fd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!out.valid()) return false;
  int error = 0;
  const bool copied = copyBytes(in.get(), out.get(), error);
  return out.close() && copied;
}

bool DirInfo::rmdir(const std::string& folder) {
  if (!fileio::isUsablePath(folder)) return false;
  struct stat st;
  const std::string self = withoutTrailingSlashes(folder);
  if (::lstat(self.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode)) return ::unlink(self.c_str()) == 0;
  if (!S_ISDIR(st.st_mode)) return false;
  const Fd top(::open(self.c_str(), kFolderFlags));
  if (!top.valid() || !removeContents(top.get())) return false;
  return ::rmdir(self.c_str()) == 0;
}

}  // namespace tembrolexin
