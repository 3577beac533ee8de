// Listing a folder, and creating, moving, copying and deleting folder trees.
//
// Paths are texts with "/" as the separator. Nothing here throws; failures
// show in the results. Moving, copying and deleting never follow a symbolic
// link into its target: a link is moved, copied or removed as a link, so an
// operation never reaches outside the tree it was given. This holds even
// when another process swaps a folder of the tree for a link during the
// walk: folders are opened through their parent's descriptor, never through
// a link, and never by their path text again. A walk keeps one descriptor
// open per level of the tree.
//
// Thread safety: a DirInfo is immutable and the static operations keep no
// state; concurrent operations on overlapping trees are not coordinated.
#ifndef TL_CORE_RUNTIME_DIR_INFO_H_
#define TL_CORE_RUNTIME_DIR_INFO_H_

#include <string>
#include <utility>
#include <vector>

namespace tembrolexin {

class DirInfo {
 public:
  // Order of a listing.
  enum direction {
    unsorted = 0,            // as the folder is read
    byModificationTime = 1,  // oldest first
    byPath = 2,              // byte order of the full paths
  };

  // Type mask bits of list().
  static constexpr int kFiles = 1;
  static constexpr int kFolders = 2;

  explicit DirInfo(std::string path) : path_(std::move(path)) {}

  // Full paths (folder path + "/" + name) of the folder's entries whose type,
  // links followed, is selected by `typeMask` (1 regular files, 2 folders).
  // "." and ".." are never listed; hidden entries (names that begin with
  // ".") only when `keepHidden` is set. Empty for an empty path or a folder
  // that cannot be read.
  std::vector<std::string> list(int typeMask, direction order = unsorted,
                                bool keepHidden = false) const;

  // Creates the folder (mode 0755), with its missing parents when `recursive`.
  // True when a folder (or a link to one) is at `path` afterwards; false when
  // something else is there or the path has PATH_MAX bytes or more.
  static bool mkdir(const std::string& path, bool recursive);
  // Moves the tree `source` into the folder `target` (created when missing;
  // entries already there are kept unless a moved entry replaces them) and
  // removes `source`. Falls back to copy-and-delete across file systems.
  // False when anything was left behind, `source` is not a folder or
  // `target` lies inside `source`.
  static bool mvdir(const std::string& source, const std::string& target);
  // Where a copy first failed: the entry's path below the source ("" for the
  // source itself) and the system's error number; 0 when the failure has no
  // system reason (an entry that is no file, folder or link, a link at the
  // top, a target inside the source).
  struct Fault {
    std::string entry;
    int error = 0;
  };

  // Copies the tree `source` into the folder `target` (created when missing).
  // False when any entry could not be copied, `source` is not a folder or
  // `target` lies inside `source`; the copy still goes on past a failed entry.
  // The first failure goes to `*fault` when that is not null.
  static bool cpdir(const std::string& source, const std::string& target, Fault* fault = nullptr);
  // Copies one file's bytes to `target` (created or truncated). False when
  // `source` cannot be read as a regular file (then `target` is not touched),
  // when both name the same file, or when writing fails.
  static bool copyFile(const std::string& source, const std::string& target);
  // Deletes the tree `folder`; a link (at the top or inside) is removed as a
  // link. Stops and returns false at the first entry that cannot be deleted.
  static bool rmdir(const std::string& folder);

  const std::string& fullPath() const { return path_; }

 private:
  std::string path_;
};

}  // namespace tembrolexin

#endif  // TL_CORE_RUNTIME_DIR_INFO_H_
