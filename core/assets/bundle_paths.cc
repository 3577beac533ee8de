#include "core/assets/bundle_paths.h"

#include <cstddef>

namespace tembrolexinsdk {
namespace bundlepaths {

namespace {

// Calls fn(segment) for every "/"-separated segment of `path`.
template <typename Fn>
void forEachSegment(const std::string& path, Fn fn) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    fn(path.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace

bool leavesFolder(const std::string& relative) {
  long depth = 0;
  bool left = false;
  forEachSegment(relative, [&](const std::string& segment) {
    if (segment.empty() || segment == ".") return;
    if (segment == "..") {
      if (--depth < 0) left = true;
    } else {
      ++depth;
    }
  });
  return left;
}

bool isSafeFileName(const std::string& name) {
  if (name.empty() || name.front() == '/' || name.back() == '/') return false;
  if (name.find('\0') != std::string::npos) return false;
  bool parent = false;
  forEachSegment(name, [&](const std::string& segment) { parent = parent || segment == ".."; });
  return !parent;
}

}  // namespace bundlepaths
}  // namespace tembrolexinsdk
