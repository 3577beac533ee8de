// TLCopyAssets2TmpDir: copies a page's folder into the temporary folder, for
// web engines that cannot be limited to reading below the documents folder:
// the page is then loaded from the copy, which holds nothing else.
//
//   <page folder>/index.html  ->  <tmp>/www/index.html   (the folder's whole tree)
//
// copyFrom replaces a target folder safely: the old target is moved aside to
// a backup first and put back when the copy fails, so a failed copy never
// leaves half a page.
//
// Thread safety: one lock per object serialises the copies, since they all
// write the same "www" folder.
#ifndef TL_PLATFORM_ENGINES_TL_COPY_ASSETS_H_
#define TL_PLATFORM_ENGINES_TL_COPY_ASSETS_H_

#include <mutex>
#include <string>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinplatform {

class TLCopyAssets2TmpDir {
 public:
  struct Error {
    std::string domain;
    int code = 0;
    std::string description;
  };

  // Over the system's temporary folder; never destroyed.
  static TLCopyAssets2TmpDir& sharedCopyAssets2TmpDir();
  explicit TLCopyAssets2TmpDir(std::string tmpFolder);

  // Copies the folder of the page at `pagePath` to <tmp>/www and answers
  // "file://<tmp>/www/<page file name>"; "" when the page cannot be read or
  // the copy failed, so nothing stale is ever loaded.
  std::string copyAssetsDir2TmpDir(const std::string& pagePath);
  const std::string& tmpFolderPath() const { return tmp_; }
  // copyFrom(folder, <tmpDir>/www).
  bool copyBundleWWWFolder2Folder(const std::string& folder, const std::string& tmpDir);
  // Replaces `target` by a copy of the folder `source`. A missing source
  // fails with {"TestDomainTODO", 1, "<source> file does not exist."}.
  bool copyFrom(const std::string& source, const std::string& target, Error* error);

 private:
  bool copyLocked(const std::string& source, const std::string& target, Error* error);

  const std::string tmp_;
  tembrolexin::Mutex mutex_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_TL_COPY_ASSETS_H_
