// Containment tests for names that a bundle supplies (file names in its
// manifest and packages, its entry page), so that nothing a bundle names is
// read or written outside the bundle's own folder.
//
// Pure text functions; thread-safe.
#ifndef TL_CORE_ASSETS_BUNDLE_PATHS_H_
#define TL_CORE_ASSETS_BUNDLE_PATHS_H_

#include <string>

namespace tembrolexinsdk {
namespace bundlepaths {

// True when `relative`, taken as a path below some folder, climbs above that
// folder through ".." segments ("a/../../b", ".."). Empty and "." segments
// count for nothing; "a/../b" stays inside.
bool leavesFolder(const std::string& relative);

// True when `name` can be written as a file below a folder: not empty, no
// zero byte, not absolute, not ending in "/", and without any ".." segment.
bool isSafeFileName(const std::string& name);

}  // namespace bundlepaths
}  // namespace tembrolexinsdk

#endif  // TL_CORE_ASSETS_BUNDLE_PATHS_H_
