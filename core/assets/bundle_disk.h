// The file operations that decide what a power cut leaves of a bundle that
// comes into Acquired: writing a new bundle folder's files to the disk,
// giving the folder the bundle's name, writing that rename to the disk, and
// deleting what the bundle came from (its package, or the app's folder after
// a move across file systems).
//
// The cache runs them in that order: a folder takes the bundle's name only
// once its files are on the disk (a file system may otherwise keep the
// rename and lose the contents: a bundle of empty files), and a source is
// deleted only once the rename is on the disk too (a file system may
// otherwise keep the deletion and lose the rename: no bundle, and no package
// to unpack again). Everything else the cache does with files goes straight
// to the system; tests put a recording double in the place of this one
// (CacheProcessor::Options::disk).
//
// Links are never followed. The int results are 0, or the system's error
// number of the step that failed.
//
// Thread safety: the real disk keeps no state; its operations may run on any
// thread at once. A double must allow the same.
#ifndef TL_CORE_ASSETS_BUNDLE_DISK_H_
#define TL_CORE_ASSETS_BUNDLE_DISK_H_

#include <string>

namespace tembrolexinsdk {
namespace cacheprocessor {

class BundleDisk {
 public:
  virtual ~BundleDisk() = default;

  // Writes the contents of every regular file below the folder `folder` and
  // the entries of each of its folders (its own included) to the disk. The
  // real disk does so with one syncfs of the folder's file system.
  virtual int syncTree(const std::string& folder) = 0;
  // Writes the entries of the folder `folder` to the disk, so that a rename
  // into it lasts.
  virtual int syncFolder(const std::string& folder) = 0;
  // Renames `from` to `to` (one file system).
  virtual int rename(const std::string& from, const std::string& to) = 0;
  // Deletes the file `path`.
  virtual int removeFile(const std::string& path) = 0;
  // Deletes the tree `folder` (a link as a link); false when anything stays.
  virtual bool removeTree(const std::string& folder) = 0;

  // The machine's disk. Never destroyed.
  static BundleDisk& real();
};

}  // namespace cacheprocessor
}  // namespace tembrolexinsdk

#endif  // TL_CORE_ASSETS_BUNDLE_DISK_H_
