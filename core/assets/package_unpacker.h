// Unpacking one downloaded asset package (a gzip file of an SQLite asset
// package) in Acquired into the bundle folder of its name, whole or not at
// all.
//
// The package is unzipped beside itself ("b.db.gz" to "b.db") and unpacked
// into a fresh staging folder (bundle_staging.h), which replaces whatever
// has the bundle's name ("b") only when the package was read to its end and
// the files are on the disk. Once the rename is on the disk too, the package
// is deleted, provided it is still the file that was read: a newer download
// of the same name may have taken its place meanwhile, and that one waits
// for its own turn. On every other outcome nothing
// half-written is kept, and the package stays unless it is bad in itself.
//
// Thread safety: stateless; calls for one package must be serialised by the
// caller (the bundle's lock), calls for different packages may overlap.
#ifndef TL_CORE_ASSETS_PACKAGE_UNPACKER_H_
#define TL_CORE_ASSETS_PACKAGE_UNPACKER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "core/assets/bundle_disk.h"
#include "core/runtime/clock.h"
#include "core/runtime/log.h"

namespace tembrolexinsdk {
namespace cacheprocessor {

struct UnpackLimits {
  // The unzipped package, and what it unpacks to, each.
  uint64_t maxBytes = 0;
  std::size_t maxFiles = 0;
  // Judged by `clock`, which must not be null.
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
  const Clock* clock = nullptr;
  // Answers true when the work must end at once; empty: never.
  std::function<bool()> stop;
};

struct Unpacked {
  enum Outcome {
    kDone,       // `folder` holds the bundle
    kMissing,    // no package at the path
    kRefused,    // bad in itself (`why`); the caller sets it aside
    kDiskFault,  // the system refused a step (`why`); the package stays
    kTimeLimit,  // the deadline passed; the package stays
    kStopped,    // `stop` answered true; the package stays
  };
  Outcome outcome = kMissing;
  std::string folder;
  std::string why;
};

// Unpacks `packagePath`, a file of the folder `acquired`; the staged
// folder's sync, its rename and the package's deletion go through `disk`.
// `log` receives the lines of the steps themselves (debris removed from the
// unzip's place, a file that is not gzip, an unexpected format); the outcome
// is the caller's to report.
Unpacked unpackPackage(const std::string& packagePath, const std::string& acquired,
                       const UnpackLimits& limits, BundleDisk& disk, Log& log);

}  // namespace cacheprocessor
}  // namespace tembrolexinsdk

#endif  // TL_CORE_ASSETS_PACKAGE_UNPACKER_H_
