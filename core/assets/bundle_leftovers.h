// What a crash of an earlier run leaves in the cache's folders, and its
// removal at start: partial downloads, half-unpacked staging folders, the
// unzip's temporary files and unzipped packages whose ".gz" is gone in
// Acquired, and the temporary file of a page rewrite cut short inside a
// bundle folder (where it would otherwise travel with the bundle for ever).
// A temporary is told from one of this run by the run's mark in its name
// (fileio::runToken), never by the process id alone, which a new run may
// share with a crashed one; temporaries of this run stay.
//
// Links are never followed: a folder is entered only through its parent's
// descriptor.
//
// Thread safety: stateless; must not run while another thread writes in the
// same folders (the cache processor runs it before anything else starts).
#ifndef TL_CORE_ASSETS_BUNDLE_LEFTOVERS_H_
#define TL_CORE_ASSETS_BUNDLE_LEFTOVERS_H_

#include <string>
#include <vector>

namespace tembrolexinsdk {
namespace cacheprocessor {

// Removes the leftovers in `acquired` and inside the bundle folders of
// `acquired` and `ready`. Returns the removed files and folders that are
// worth a log line (partial downloads and staging folders go silently).
std::vector<std::string> removeLeftovers(const std::string& acquired, const std::string& ready);

}  // namespace cacheprocessor
}  // namespace tembrolexinsdk

#endif  // TL_CORE_ASSETS_BUNDLE_LEFTOVERS_H_
