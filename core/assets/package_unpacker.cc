#include "core/assets/package_unpacker.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "core/assets/asset_extractor.h"
#include "core/assets/bundle_staging.h"
#include "core/runtime/dir_info.h"
#include "core/runtime/error_text.h"
#include "core/runtime/file_info.h"
#include "core/runtime/gzip_file.h"

namespace tembrolexinsdk {
namespace cacheprocessor {

using tembrolexin::DirInfo;
using tembrolexin::FileInfo;

namespace {

Unpacked outcome(Unpacked::Outcome outcome, std::string why = "") {
  Unpacked result;
  result.outcome = outcome;
  result.why = std::move(why);
  return result;
}

}  // namespace

Unpacked unpackPackage(const std::string& packagePath, const std::string& acquired,
                       const UnpackLimits& limits, BundleDisk& disk, Log& log) {
  if (!FileInfo(packagePath).exists()) return outcome(Unpacked::kMissing);
  const Clock& clock = *limits.clock;
  const auto stopping = [&] { return limits.stop && limits.stop(); };
  // Which file this is: a download of the same name may take its place
  // while it unpacks, and that one must stay for its own turn.
  struct stat package;
  const bool known = ::stat(packagePath.c_str(), &package) == 0;
  // A folder where the package unzips to (left by a crash, or moved back
  // from Ready at start) would refuse the unzip at every attempt.
  const bool gz = FileInfo(packagePath).suffix() == "gz";
  const std::string unzipTarget = gz ? packagePath.substr(0, packagePath.size() - 3) : "";
  struct stat inTheWay;
  if (gz && ::lstat(unzipTarget.c_str(), &inTheWay) == 0 && S_ISDIR(inTheWay.st_mode)) {
    if (!DirInfo::rmdir(unzipTarget)) {
      return outcome(Unpacked::kDiskFault,
                     "cannot unzip: the folder " + unzipTarget + " cannot be removed");
    }
    log.info("Removed leftover ", unzipTarget);
  }

  std::string unzipped;
  try {
    tembrolexin::gzip::UnzipLimits unzipLimits;
    unzipLimits.maxBytes = limits.maxBytes;
    unzipLimits.stop = [&] { return stopping() || clock.steadyNow() > limits.deadline; };
    unzipped = tembrolexin::gzip::unzip_file(packagePath, unzipLimits);
  } catch (const tembrolexin::gzip::LimitExceeded& e) {
    if (stopping()) return outcome(Unpacked::kStopped);
    if (!e.tooLarge()) return outcome(Unpacked::kTimeLimit);
    return outcome(Unpacked::kRefused,
                   "unpacked size exceeds " + std::to_string(limits.maxBytes) + " bytes");
  } catch (const tembrolexin::gzip::FileError& e) {
    return outcome(Unpacked::kDiskFault,
                   (e.path() == packagePath ? "cannot read " : "cannot write ") + e.path() + ": " +
                       e.reason());
  } catch (const std::invalid_argument& e) {
    return outcome(Unpacked::kDiskFault, std::string("cannot unzip: ") + e.what());
  } catch (const std::exception& e) {
    log.error("Could not unzip package: ", packagePath, " exception thrown: ", e.what());
    return outcome(Unpacked::kRefused, "not a gzip file");
  } catch (...) {
    log.error("Could not unzip package ", packagePath, " for unknown reason");
    return outcome(Unpacked::kRefused, "not a gzip file");
  }
  const FileInfo unzippedFile(unzipped);
  const std::string name = unzippedFile.basename();
  if (unzippedFile.suffix() != "db" || FileInfo::isHiddenOrTemporary(name)) {
    log.warning("Unzipped asset has unexpected format ", packagePath);
    std::remove(unzipped.c_str());
    return outcome(Unpacked::kRefused, "not an asset package");
  }

  // A fresh, empty, hidden folder: nothing of an earlier package of this
  // name gets in, and no scan picks up a half-unpacked bundle.
  int error = 0;
  const std::string fresh = makeStagingFolder(acquired, name, &error);
  if (fresh.empty()) {
    std::remove(unzipped.c_str());
    if (error == ENAMETOOLONG) return outcome(Unpacked::kRefused, "name too long for a folder");
    return outcome(Unpacked::kDiskFault,
                   "no folder to unpack into: " + std::string(tembrolexin::errorText(error)));
  }
  tembrolexin::AssetExtractor::Result result;
  try {
    tembrolexin::AssetExtractor::Limits extractLimits;
    extractLimits.maxBytes = limits.maxBytes;
    extractLimits.maxFiles = limits.maxFiles;
    extractLimits.deadline = limits.deadline;
    extractLimits.clock = &clock;
    extractLimits.stop = stopping;
    result = tembrolexin::AssetExtractor(unzipped, extractLimits).extract(fresh);
  } catch (const std::exception& e) {
    result.refusal = tembrolexin::AssetExtractor::Refusal::kNotAPackage;
    result.error = e.what();
  }
  std::remove(unzipped.c_str());
  if (!result.ok()) {
    DirInfo::rmdir(fresh);
    using Refusal = tembrolexin::AssetExtractor::Refusal;
    switch (result.refusal) {
      case Refusal::kStopped:
        return outcome(Unpacked::kStopped);
      case Refusal::kTimeLimit:
        return outcome(Unpacked::kTimeLimit);
      case Refusal::kWriteFailed:
      case Refusal::kFolder:
        return outcome(Unpacked::kDiskFault, result.error);
      default:
        return outcome(Unpacked::kRefused, result.error);
    }
  }

  // The new bundle folder replaces whatever had its name: a folder, or
  // debris of the cache's own (a plain file, a link: removed, never
  // followed).
  const std::string target = acquired + "/" + name;
  int placeError = 0;
  if (auto why = placeStaged(fresh, target, disk, &placeError)) {
    DirInfo::rmdir(fresh);
    if (placeError == ENAMETOOLONG) return outcome(Unpacked::kRefused, "name too long for a folder");
    return outcome(Unpacked::kDiskFault, "cannot replace " + target + ": " + *why);
  }
  struct stat now;
  if (known && ::stat(packagePath.c_str(), &now) == 0 && now.st_dev == package.st_dev &&
      now.st_ino == package.st_ino) {
    disk.removeFile(packagePath);
  }
  Unpacked done = outcome(Unpacked::kDone);
  done.folder = target;
  return done;
}

}  // namespace cacheprocessor
}  // namespace tembrolexinsdk
