#include "core/assets/bundle_format_version.h"

#include <algorithm>
#include <locale>
#include <sstream>
#include <utility>

#include "core/runtime/file_info.h"

namespace tembrolexinsdk {

// Never destroyed: threads still running at exit may use them.
const std::string& BundleFormatVersion::formatVersionFile = *new std::string("formatVersion.txt");
const std::vector<int>& BundleFormatVersion::supportedBundleFormatVersions =
    *new std::vector<int>{2, 3, 4};

BundleFormatVersion::BundleFormatVersion(std::string bundleFolder) {
  const tembrolexin::FileInfo file(
      tembrolexin::FileInfo::addPath(std::move(bundleFolder), formatVersionFile));
  if (!file.exists()) valid_ = false;
  std::istringstream in(file.exists() ? file.contents() : std::string());
  in.imbue(std::locale::classic());  // plain digits whatever the host's locale
  int value = 0;
  // Stream extraction fails both for a text without a number and for a
  // number that does not fit an int; either way there is no version.
  version_ = (in >> value) ? value : -1;
  if (version_ < 1) valid_ = false;
}

bool BundleFormatVersion::isSupported() const {
  if (!valid_) return false;
  const auto& list = supportedBundleFormatVersions;
  return std::find(list.begin(), list.end(), version_) != list.end();
}

}  // namespace tembrolexinsdk
