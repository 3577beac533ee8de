// The layout version of a content bundle, read from the bundle folder's
// "formatVersion.txt", and whether this system can use such a bundle.
//
// The file's text must begin with a decimal integer (leading white space and a
// sign allowed; whatever follows the number is ignored). A missing file, a text
// without a number and a number beyond the int range all read as -1.
//
// Thread safety: immutable after construction; any thread may read it.
#ifndef TL_CORE_ASSETS_BUNDLE_FORMAT_VERSION_H_
#define TL_CORE_ASSETS_BUNDLE_FORMAT_VERSION_H_

#include <string>
#include <vector>

namespace tembrolexinsdk {

class BundleFormatVersion {
 public:
  static const std::string& formatVersionFile;  // "formatVersion.txt"
  // The versions this system reads, in the order they are announced to the
  // content server: {2, 3, 4}.
  static const std::vector<int>& supportedBundleFormatVersions;

  // Reads the file inside `bundleFolder` once.
  explicit BundleFormatVersion(std::string bundleFolder);

  // The version read; -1 when none could be read.
  int version() const { return version_; }
  // True when the file exists, holds a version of at least 1, and that
  // version is one of supportedBundleFormatVersions.
  bool isSupported() const;

 private:
  int version_ = -1;
  bool valid_ = true;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ASSETS_BUNDLE_FORMAT_VERSION_H_
