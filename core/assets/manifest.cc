#include "core/assets/manifest.h"

#include <json/json.h>

#include <algorithm>
#include <exception>
#include <limits>
#include <new>
#include <tuple>
#include <utility>

#include "core/assets/bundle_paths.h"
#include "core/runtime/file_info.h"
#include "core/runtime/time_text.h"
#include "core/runtime/json_text.h"

namespace tembrolexinsdk {

using tembrolexin::FileInfo;

// Never destroyed: threads still running at exit may use them.
const std::string& Manifest::manifest_file = *new std::string("/manifest.json");
const std::vector<std::string>& Manifest::valid_types =
    *new std::vector<std::string>{"html", "css", "js", "action", "img", "other", "amdb"};

namespace {

constexpr const char* kEmpty = "<empty>";

// Seconds to milliseconds, saturating instead of overflowing for absurd years.
int64_t toMillis(int64_t secs) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max() / 1000;
  if (secs > kMax) return std::numeric_limits<int64_t>::max();
  if (secs < -kMax) return std::numeric_limits<int64_t>::min();
  return secs * 1000;
}

bool parseObject(const std::string& text, Json::Value& root) {
  try {
    return tembrolexinsdk::parseJsonText(text, root, /*collectComments=*/true) && root.isObject();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    return false;  // nesting beyond the reader's limit
  }
}

}  // namespace

Manifest::Manifest(std::string bundleFolder, const Clock& clock)
    : clock_(&clock), bundleFolder_(std::move(bundleFolder)) {
  const int64_t now = nowSecs();
  validFrom_ = now + kDefaultValidFromDelaySecs;
  validTo_ = now + kDefaultValidToDelaySecs;

  const FileInfo manifestFile(FileInfo::addPath(bundleFolder_, manifest_file));
  const std::string base = manifestFile.path();
  Json::Value root;
  if (!manifestFile.exists() || !parseObject(manifestFile.contents(), root)) {
    files_["bundle"].push_back(FileInfo::addPath(bundleFolder_, "manifest.json"));
    return;
  }
  valid_ = true;
  const Json::Value& assets = root["assets"];
  if (!assets.isObject()) {
    valid_ = false;
    return;
  }
  // Members of a JsonCpp object iterate in byte order of their names, the
  // order of the file map.
  for (auto it = assets.begin(); it != assets.end(); ++it) {
    if (!it->isArray()) continue;
    auto& list = files_[it.name()];
    for (const Json::Value& element : *it) {
      if (!element.isString()) {
        valid_ = false;  // an entry that names no file: the bundle is incomplete
        continue;
      }
      const std::string name = element.asString();
      const std::string path = FileInfo::addPath(base, name);
      if (bundlepaths::leavesFolder(name) || !tembrolexin::fileio::isUsablePath(path)) {
        outside_.push_back(path);
      }
      list.push_back(path);
      if (valid_ && isMissing(path)) valid_ = false;
    }
  }

  // A date text that does not match the form keeps what parsed of it and
  // zero for the rest; a date that is not a text at all says nothing of the
  // period, so the bundle cannot be judged and is invalid.
  for (auto [key, text, time] : {std::tuple{"validFrom", &validFromText_, &validFrom_},
                                 std::tuple{"validTo", &validToText_, &validTo_}}) {
    const Json::Value& value = root[key];
    if (value.isNull()) continue;
    if (!value.isString()) {
      valid_ = false;
      continue;
    }
    *text = value.asString();
    *time = tembrolexin::TimeUtilities::stringToUTCTime(*text);
  }
  if (root["id"].isString()) id_ = root["id"].asString();
  // A version below 0 marks a bundle that is never listed. The bus carries
  // the version as a 32-bit number, so a number below 0 that is not one
  // (-0.5, -1e30, -2147483649) becomes the lowest, kVersionBelowZero, rather
  // than the default 0, which would list it.
  if (const Json::Value& version = root["version"]; version.isInt()) {
    version_ = version.asInt();
  } else if (version.isNumeric() && version.asDouble() < 0) {
    version_ = kVersionBelowZero;
  }
  if (root["title"].isString()) title_ = root["title"].asString();
  if (root["description"].isString()) description_ = root["description"].asString();
}

int64_t Manifest::nowSecs() const {
  const int64_t micros = clock_->wallMicros();
  // Whole seconds, rounded toward the past also before 1970.
  return micros >= 0 ? micros / 1000000 : -((-micros + 999999) / 1000000);
}

bool Manifest::isMissing(const std::string& path) const {
  if (std::find(outside_.begin(), outside_.end(), path) != outside_.end()) return true;
  return !FileInfo(path).exists();
}

bool Manifest::isExpired() const { return validTo_ - nowSecs() < 0; }

bool Manifest::isActive() const { return !isExpired() && validFrom_ - nowSecs() < 0; }

std::list<std::string> Manifest::getMissingFiles() const {
  std::list<std::string> missing;
  for (const auto& [type, paths] : files_) {
    for (const std::string& path : paths) {
      if (isMissing(path)) missing.push_back(path);
    }
  }
  return missing;
}

AssetInfo Manifest::getAssetInfo() const {
  AssetInfo info;
  info.__set_assetID(id_);
  info.__set_assetTitle(title_.empty() ? kEmpty : title_);
  info.__set_schemaVersion(0);
  info.__set_version(version_);
  info.__set_validFrom(toMillis(validFrom_));
  info.__set_validTo(toMillis(validTo_));
  info.__set_assetDescription(description_.empty() ? kEmpty : description_);
  info.__set_assetFolderPath(bundleFolder_.empty() ? kEmpty : bundleFolder_);
  // The generated setters leave the is-set flags alone; every field is given.
  auto& set = info.__isset;
  set.assetID = set.assetTitle = set.schemaVersion = set.version = true;
  set.validFrom = set.validTo = set.assetDescription = set.assetFolderPath = true;
  return info;
}

}  // namespace tembrolexinsdk
