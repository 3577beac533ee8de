// The description of one content bundle, read from the "manifest.json" of its
// folder: id, version, title, description, validity period, and the files the
// bundle is made of, grouped by asset type.
//
// The manifest is read once, by the constructor; afterwards only
// getMissingFiles looks at the disk again. A missing, unreadable or malformed
// manifest never fails construction: the object then reports itself invalid.
// A "version" that is a 32-bit integer (also when written with a fraction or
// an exponent, as 2.0) is taken as it is; any other number below 0 (-0.5,
// -1e30, -2147483649) reads as kVersionBelowZero, so it stays below 0 where
// the version is a 32-bit number; any other number (2.5, 4294967296) keeps
// the default 0.
// Members of the wrong JSON type are ignored (their defaults stand), except
// "validFrom" and "validTo": one that is present but not a text makes the
// manifest invalid. A date text that does not match "%Y-%m-%d %H:%M:%S"
// keeps the fields parsed before the mismatch and zero for the rest ("" is
// 1899-12-31 00:00:00 UTC). A listed file whose name climbs out of the bundle
// folder counts as missing.
//
// File paths are the folder that holds "manifest.json", with its trailing
// separator, followed by the listed name. Because the manifest's file name is
// joined as "/manifest.json", that folder always ends in "//"
// ("<bundle>//www/index.html"); the paths are used as they are.
//
// Times are whole seconds since the epoch in 64 bits, read from an injected
// clock (by default the machine's).
//
// Thread safety: the const members may be called from any thread. The clock
// must outlive the object. Copyable.
#ifndef TL_CORE_ASSETS_MANIFEST_H_
#define TL_CORE_ASSETS_MANIFEST_H_

#include <cstdint>
#include <limits>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "core/runtime/clock.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

class Manifest {
 public:
  using FileMap = std::map<std::string, std::list<std::string>>;

  // "/manifest.json"
  static const std::string& manifest_file;
  // The asset type names this system knows: "html", "css", "js", "action",
  // "img", "other", "amdb".
  static const std::vector<std::string>& valid_types;
  // Defaults of the validity period, counted from construction.
  static constexpr int64_t kDefaultValidFromDelaySecs = 259200;  // 3 days
  static constexpr int64_t kDefaultValidToDelaySecs = 864000;    // 10 days
  // The version of a manifest whose "version" is below 0 but no 32-bit
  // integer: the lowest 32-bit number, which a manifest may also give.
  static constexpr int kVersionBelowZero = std::numeric_limits<int32_t>::min();

  explicit Manifest(std::string bundleFolder, const Clock& clock = Clock::real());

  // The manifest was read and every listed file exists inside the folder.
  bool isValid() const { return valid_; }
  // The end of validity lies before the present second.
  bool isExpired() const;
  // Not expired, and the start of validity lies before the present second.
  bool isActive() const;
  // Every listed path (in getFiles order) that does not exist or lies outside
  // the bundle folder. For an unreadable manifest: its own path when the file
  // is absent, nothing when it exists but is not a JSON object.
  std::list<std::string> getMissingFiles() const;
  // Asset type name to full paths; for an unreadable manifest the single
  // type "bundle" with the manifest's path.
  const FileMap& getFiles() const { return files_; }
  const std::string& bundleId() const { return id_; }
  int bundleVersion() const { return version_; }
  // The bundle for the bus: every field set; empty title, description and
  // folder read "<empty>"; times in milliseconds.
  AssetInfo getAssetInfo() const;

  int64_t validFrom() const { return validFrom_; }
  int64_t validTo() const { return validTo_; }
  const std::string& validFromText() const { return validFromText_; }
  const std::string& validToText() const { return validToText_; }
  const std::string& title() const { return title_; }
  const std::string& description() const { return description_; }
  const std::string& bundleFolder() const { return bundleFolder_; }

 private:
  int64_t nowSecs() const;
  bool isMissing(const std::string& path) const;

  const Clock* clock_;
  FileMap files_;
  // Listed paths whose names climb out of the folder; never looked up.
  std::vector<std::string> outside_;
  bool valid_ = false;
  int64_t validFrom_ = 0;
  int64_t validTo_ = 0;
  std::string validFromText_;
  std::string validToText_;
  std::string id_;
  int version_ = 0;
  std::string title_;
  std::string description_;
  std::string bundleFolder_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ASSETS_MANIFEST_H_
