// Bringing a bundle folder into Acquired whole or not at all. A new bundle
// folder is made in a hidden staging folder beside its place (a name that
// every walk skips and the next start removes), which takes the bundle's
// name only once it is complete and on the disk; the source it came from is
// deleted only once that rename is on the disk too (bundle_disk.h).
//
// Free functions without state; thread-safe. Concurrent calls for one
// bundle name must be serialised by the caller (the bundle's lock).
#ifndef TL_CORE_ASSETS_BUNDLE_STAGING_H_
#define TL_CORE_ASSETS_BUNDLE_STAGING_H_

#include <optional>
#include <string>

#include "core/assets/bundle_disk.h"

namespace tembrolexinsdk {
namespace cacheprocessor {

// Creates a fresh, empty staging folder in `acquired` for the bundle `name`:
// "." + the first 200 bytes of `name` + ".unpacking-" + six random
// characters, so that it fits wherever the bundle's own folder does. Its
// path, or "" with the system's error number in `*error`.
std::string makeStagingFolder(const std::string& acquired, const std::string& name, int* error);

// True for a file name that makeStagingFolder gives.
bool isStagingFolderName(const std::string& name);

// Makes room for a bundle folder at `target`: removes what is there (a
// folder tree, a file, a link as a link). The reason when it cannot, with
// the system's error number in `*error` when there is one (else 0).
std::optional<std::string> clearPlace(const std::string& target, int* error = nullptr);

// Gives the complete staging folder `staging` the name `target`, replacing
// whatever is there: its files are written to the disk first, and the
// rename after it. The reason when it cannot; `*error` receives the system's
// error number of the failed step (0 when it has none). `staging` is left
// as it is, unless only the last step failed: then the folder has its name
// but the rename may not outlast a power cut.
std::optional<std::string> placeStaged(const std::string& staging, const std::string& target,
                                       BundleDisk& disk, int* error = nullptr);

// Brings the app's bundle folder `source` into `acquired` as `target`
// (`name` is the bundle's folder name): a move within one file system is one
// rename, once the files are on the disk; otherwise the tree is copied into
// a staging folder that takes the bundle's place once every byte is there
// and on the disk (placeStaged), and a move then removes `source`, only
// then. The Warning text when it fails ("Could not copy ..." or "Could not
// move ..." with the entry and the system's reason); a failed copy leaves
// nothing behind and `source` as it was. Sets `sourceLeft` when a move
// copied everything but could not remove `source`.
std::optional<std::string> importFolder(const std::string& source, const std::string& target,
                                        const std::string& acquired, const std::string& name,
                                        bool move, BundleDisk& disk, bool& sourceLeft);

}  // namespace cacheprocessor
}  // namespace tembrolexinsdk

#endif  // TL_CORE_ASSETS_BUNDLE_STAGING_H_
