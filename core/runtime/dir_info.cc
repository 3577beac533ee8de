#include "core/runtime/dir_info.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "core/runtime/file_info.h"

namespace tembrolexin {

namespace {

// One entry of a folder as it is on disk (links not followed).
struct RawEntry {
  std::string name;
  mode_t mode;
};

// The entries of `folder` other than "." and "..", with their own types.
// False when the folder cannot be read to its end.
bool readEntries(const std::string& folder, std::vector<RawEntry>& entries) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return false;
  bool ok = true;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) ok = false;
      break;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (::lstat((folder + "/" + name).c_str(), &st) != 0) {
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

// Recreates the link `source` at `target`, replacing a non-folder there.
bool copyLink(const std::string& source, const std::string& target) {
  std::string linkText(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(source.c_str(), linkText.data(), linkText.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < linkText.size()) {
      linkText.resize(static_cast<size_t>(n));
      break;
    }
    linkText.resize(linkText.size() * 2);
  }
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode) || ::unlink(target.c_str()) != 0) return false;
  }
  return ::symlink(linkText.c_str(), target.c_str()) == 0;
}

// Copies one entry that is not a folder: a file's bytes, a link as a link. A
// link already at `target` is replaced, never written through.
bool copyEntry(const std::string& source, const std::string& target, mode_t mode) {
  if (S_ISLNK(mode)) return copyLink(source, target);
  if (!S_ISREG(mode)) return false;  // sockets, pipes and devices are not copied
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::unlink(target.c_str()) != 0) {
    return false;
  }
  return DirInfo::copyFile(source, target);
}

// Moves one entry that is not a folder; across file systems, by copy and
// delete.
bool moveEntry(const std::string& source, const std::string& target, mode_t mode) {
  if (::rename(source.c_str(), target.c_str()) == 0) return true;
  if (errno != EXDEV) return false;
  if (!copyEntry(source, target, mode)) return false;
  return ::unlink(source.c_str()) == 0;
}

// Makes sure `target` is a folder to move or copy into: created when missing.
// Inside a tree a link is never followed: a link (or file) where a folder
// should go fails. The folder given at the top may be a link to a folder.
bool prepareTarget(const std::string& target, bool top) {
  struct stat st;
  const int rc = top ? ::stat(target.c_str(), &st) : ::lstat(target.c_str(), &st);
  if (rc == 0) return S_ISDIR(st.st_mode);
  return ::mkdir(target.c_str(), 0755) == 0;
}

// Checks of the folder given to mvdir and cpdir. Returns false when the
// operation must fail; sets `sourceIsLink` when `source` is itself a link.
bool checkTop(const std::string& source, const std::string& target, bool& sourceIsLink) {
  if (!fileio::isUsablePath(source) || !fileio::isUsablePath(target)) return false;
  struct stat st;
  if (::lstat(withoutTrailingSlashes(source).c_str(), &st) != 0) return false;
  sourceIsLink = S_ISLNK(st.st_mode);
  if (sourceIsLink) return !lexists(target);
  return S_ISDIR(st.st_mode) && !targetInsideSource(source, target);
}

bool moveTree(const std::string& source, const std::string& target, bool top) {
  if (!prepareTarget(target, top)) return false;
  std::vector<RawEntry> entries;
  bool ok = readEntries(source, entries);
  for (const RawEntry& entry : entries) {
    const std::string from = source + "/" + entry.name;
    const std::string to = target + "/" + entry.name;
    if (S_ISDIR(entry.mode)) {
      if (!moveTree(from, to, false)) ok = false;
    } else if (!moveEntry(from, to, entry.mode)) {
      ok = false;
    }
  }
  // Fails when anything stayed behind.
  if (::rmdir(source.c_str()) != 0) ok = false;
  return ok;
}

bool copyTree(const std::string& source, const std::string& target, bool top) {
  if (!prepareTarget(target, top)) return false;
  std::vector<RawEntry> entries;
  bool ok = readEntries(source, entries);
  for (const RawEntry& entry : entries) {
    const std::string from = source + "/" + entry.name;
    const std::string to = target + "/" + entry.name;
    if (S_ISDIR(entry.mode)) {
      if (!copyTree(from, to, false)) ok = false;
    } else if (!copyEntry(from, to, entry.mode)) {
      ok = false;
    }
  }
  return ok;
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
  if (!fileio::isUsablePath(path)) return false;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (recursive) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const std::string parent = FileInfo(trimmed).path();
    if (!parent.empty() && !mkdir(parent, true)) return false;
  }
  if (::mkdir(path.c_str(), 0755) == 0) return true;
  // Another thread or process may have created it meanwhile.
  return errno == EEXIST && isFolder(path);
}

bool DirInfo::mvdir(const std::string& source, const std::string& target) {
  bool sourceIsLink = false;
  if (!checkTop(source, target, sourceIsLink)) return false;
  if (sourceIsLink) {
    return moveEntry(withoutTrailingSlashes(source), withoutTrailingSlashes(target), S_IFLNK);
  }
  // One rename moves the whole tree when the target is free and on the same
  // file system.
  if (!lexists(target) && ::rename(source.c_str(), target.c_str()) == 0) return true;
  return moveTree(source, target, true);
}

bool DirInfo::cpdir(const std::string& source, const std::string& target) {
  bool sourceIsLink = false;
  if (!checkTop(source, target, sourceIsLink)) return false;
  if (sourceIsLink) return copyLink(withoutTrailingSlashes(source), withoutTrailingSlashes(target));
  return copyTree(source, target, true);
}

bool DirInfo::copyFile(const std::string& source, const std::string& target) {
  if (!fileio::isUsablePath(source) || !fileio::isUsablePath(target)) return false;
  // Non-blocking so that a named pipe is refused instead of waited on.
  const int in = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) return false;
  struct stat inStat;
  struct stat outStat;
  if (::fstat(in, &inStat) != 0 || !S_ISREG(inStat.st_mode) ||
      (::stat(target.c_str(), &outStat) == 0 && outStat.st_dev == inStat.st_dev &&
       outStat.st_ino == inStat.st_ino)) {
    // Copying a file onto itself would truncate it before reading it.
    ::close(in);
    return false;
  }
  const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) {
    ::close(in);
    return false;
  }
  bool ok = true;
  char buffer[65536];
  while (ok) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (n == 0) break;
    const char* data = buffer;
    size_t left = static_cast<size_t>(n);
    while (left > 0) {
      const ssize_t w = ::write(out, data, left);
      if (w < 0) {
        if (errno == EINTR) continue;
        ok = false;
        break;
      }
      data += w;
      left -= static_cast<size_t>(w);
    }
  }
  ::close(in);
  if (::close(out) != 0) ok = false;
  return ok;
}

bool DirInfo::rmdir(const std::string& folder) {
  if (!fileio::isUsablePath(folder)) return false;
  struct stat st;
  const std::string self = withoutTrailingSlashes(folder);
  if (::lstat(self.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode)) return ::unlink(self.c_str()) == 0;
  if (!S_ISDIR(st.st_mode)) return false;

  std::vector<RawEntry> entries;
  readEntries(folder, entries);
  for (const RawEntry& entry : entries) {
    const std::string child = folder + "/" + entry.name;
    if (S_ISDIR(entry.mode)) {
      if (!rmdir(child)) return false;
    } else if (::unlink(child.c_str()) != 0) {
      return false;
    }
  }
  return ::rmdir(folder.c_str()) == 0;
}

}  // namespace tembrolexin
