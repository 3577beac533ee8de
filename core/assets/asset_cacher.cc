#include "core/assets/asset_cacher.h"

#include <json/json.h>

#include <cctype>
#include <cstdio>
#include <exception>
#include <fstream>
#include <new>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "core/assets/bundle_format_version.h"
#include "core/net/http_exception.h"
#include "core/net/http_request.h"
#include "core/net/http_writer.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/dir_info.h"
#include "core/runtime/file_info.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/json_text.h"

namespace tembrolexinsdk {

namespace {

// Never destroyed (threads still running at exit may use them).
const std::string& kName = *new std::string("AssetCacher");

// List failures counted towards retryAttempts, shared by every cacher.
std::atomic<int> gListFailures{0};

// With `error`, the reader's first complaint goes there, with its place.
bool parseJson(const std::string& text, Json::Value& root, std::string* error = nullptr) {
  try {
    tembrolexinsdk::JsonTextError first;
    if (tembrolexinsdk::parseJsonText(text, root, /*collectComments=*/true, &first)) {
      if (root.isNull() && error != nullptr) *error = "null";
      return !root.isNull();
    }
    if (error != nullptr) {
      *error = first.message.empty()
                   ? std::string("not JSON")
                   : first.message + " (byte " + std::to_string(first.offset) + ")";
    }
    return false;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    if (error != nullptr) *error = e.what();
    return false;  // nesting beyond the reader's limit
  }
}

// At most the first 200 bytes of a reply, bytes outside printable ASCII
// written as \xNN, so a binary reply still shows in a log line.
std::string shownText(const std::string& body) {
  constexpr size_t kShown = 200;
  std::string out;
  for (size_t i = 0; i < body.size() && i < kShown; ++i) {
    const unsigned char c = static_cast<unsigned char>(body[i]);
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (body.size() > kShown) out += "...";
  return out;
}

constexpr std::size_t kMaxNameLength = 100;
constexpr char kPartialSuffix[] = ".part";

// `text` as a plain file name: letters, digits, '.', '-' and '_' kept, every
// other byte '_', leading dots dropped (no hidden names, no "." or ".."),
// at most kMaxNameLength bytes. Empty when nothing is left.
std::string sanitised(const std::string& text) {
  std::string name;
  for (unsigned char c : text) {
    const bool plain = std::isalnum(c) != 0 || c == '.' || c == '-' || c == '_';
    if (c < 0x80 && plain) {
      if (!(c == '.' && name.empty())) name += static_cast<char>(c);
    } else {
      name += '_';
    }
  }
  if (name.size() > kMaxNameLength) name.erase(0, name.size() - kMaxNameLength);
  while (!name.empty() && name.front() == '.') name.erase(0, 1);
  return name;
}

// The package's file name: the address's last segment without query and
// fragment, or else the bundle id (as "<id>.db.gz"), sanitised.
std::string packageFileName(const std::string& url, const std::string& assetId) {
  std::string name =
      sanitised(tembrolexin::FileInfo(url.substr(0, url.find_first_of("?#"))).filename());
  if (name.empty() && !sanitised(assetId).empty()) name = sanitised(assetId + ".db.gz");
  return name;
}

std::string memberString(const Json::Value& entry, const char* key) {
  const Json::Value& v = entry[key];
  return v.isString() ? v.asString() : std::string();
}

int memberInt(const Json::Value& entry, const char* key) {
  const Json::Value& v = entry[key];
  return v.isInt() ? v.asInt() : 0;
}

}  // namespace

AssetCacher::AssetCacher(Log log) : AssetCacher(std::move(log), Options()) {}

AssetCacher::AssetCacher(Log log, Options options)
    : log_(std::move(log)),
      options_(std::move(options)),
      maxPackageBytes_(options_.maxPackageBytes),
      limits_(options_.limits) {
  log_.registerSender(this);
  queue_ = std::make_unique<Http::AsyncQueue>(false, log_, options_.limits, *options_.clock);
}

AssetCacher::~AssetCacher() {
  stopping_.store(true);
  // queue_, the last member, goes first: its destruction joins the queue's
  // thread, whose handlers still call queue_ until then. The pointer is not
  // cleared before that (as reset() would), so they never see it empty.
}

std::string AssetCacher::partialPath(const std::string& target) {
  static std::atomic<uint64_t> counter{0};
  const std::size_t slash = target.find_last_of('/');
  const std::size_t at = slash == std::string::npos ? 0 : slash + 1;
  return target.substr(0, at) + "." + target.substr(at) + "." +
         std::to_string(counter.fetch_add(1)) + kPartialSuffix;
}

void AssetCacher::removePartialDownloads(const std::string& folder) {
  for (const std::string& file :
       tembrolexin::DirInfo(folder).list(tembrolexin::DirInfo::kFiles, tembrolexin::DirInfo::unsorted,
                                         /*keepHidden=*/true)) {
    const std::string name = tembrolexin::FileInfo(file).filename();
    const std::size_t n = sizeof(kPartialSuffix) - 1;
    if (name.size() > n + 1 && name.front() == '.' &&
        name.compare(name.size() - n, n, kPartialSuffix) == 0) {
      std::remove(file.c_str());
    }
  }
}

void AssetCacher::setMaxPackageBytes(uint64_t bytes) { maxPackageBytes_.store(bytes); }

void AssetCacher::setTransferTimeout(std::chrono::milliseconds timeout) {
  Http::TransferLimits limits;
  {
    std::lock_guard lock(mutex_);
    limits_.totalTimeout = timeout;
    limits = limits_;
  }
  queue_->setLimits(limits);
}

const std::string& AssetCacher::GetName() const { return kName; }

int AssetCacher::failureCount() { return gListFailures.load(); }

std::map<std::string, AssetCacher::AssetRecord> AssetCacher::records() const {
  std::lock_guard lock(mutex_);
  return known_;
}

void AssetCacher::configure(std::string platformInfo, std::string sdkVersion, std::string appId,
                            std::string deviceId, std::string downloadFolder) {
  {
    std::lock_guard lock(mutex_);
    downloadFolder_ = std::move(downloadFolder);
  }
  Json::Value info;
  if (!parseJson(platformInfo, info) || !info.isObject()) {
    log_.warning("Cannot configure AssetCacher: invalid platform Json: ", platformInfo);
    return;
  }
  for (const char* key : {"app", "device", "location"}) {
    if (info[key].isNull()) {
      log_.warning("Cannot configure AssetCacher: missing entry ", key, " in json: ", platformInfo);
      return;
    }
  }
  // Members that must hold objects (or an address) but hold something else
  // would make the request malformed.
  for (const char* key : {"app", "device", "sdk"}) {
    if (!info[key].isNull() && !info[key].isObject()) {
      log_.warning("Cannot configure AssetCacher: entry ", key,
                   " is not an object in json: ", platformInfo);
      return;
    }
  }
  Json::Value& url = info["url"];  // added as null when absent: the request always has it
  if (!url.isNull() && !url.isString()) {
    log_.warning("Cannot configure AssetCacher: entry url is not a text in json: ", platformInfo);
    return;
  }
  info["app"]["id"] = appId;
  info["device"]["uid"] = deviceId;
  info["sdk"]["version"] = sdkVersion;
  Json::Value versions(Json::arrayValue);
  for (int v : BundleFormatVersion::supportedBundleFormatVersions) versions.append(v);
  info["sdk"]["accepted_bundle_format_versions"] = versions;
  if (url.isString()) serverAddress_ = url.asString();
  requestBody_ = Json::FastWriter().write(info);
  prepareAssetListRequest(requestBody_);
}

void AssetCacher::prepareAssetListRequest(const std::string& body) {
  if (body.empty()) return;
  log_.debug("Preparing content list request with json: ", body);
  const int old = listRequestId_.load();
  if (old != -1) {
    try {
      queue_->remove(old);
    } catch (const std::invalid_argument&) {
      // The list request is running: it stays the current one.
      log_.warning("Aborting new request, request still in progress");
      return;
    } catch (const std::out_of_range&) {
      // Already gone.
    }
  }
  listRequestId_ = -1;
  log_.debug("Preparing asset list request to url: ", serverAddress_);
  auto writer = std::make_unique<Http::Writer<std::stringstream>>(
      [this](const std::string& reply, long httpCode) { handleAssetList(reply, httpCode); },
      [this](int code) { onListFailure(code); });
  auto config = std::make_unique<Http::Configuration>(serverAddress_, std::move(writer), log_);
  try {
    config->setJsonPost(body);
  } catch (const std::exception& e) {
    log_.warning("Could not prepare asset list request: ", e.what());
    return;
  }
  listRequestId_ = queue_->addRequest(std::move(config), Http::AsyncQueue::Deferred, 1);
}

void AssetCacher::registerCallback(DownloadCallback callback) {
  std::lock_guard lock(mutex_);
  callback_ = std::move(callback);
}

void AssetCacher::startCaching(std::chrono::milliseconds delay) {
  const int id = listRequestId_.load();
  if (id == -1) return;
  queue_->start(delay < std::chrono::milliseconds(0) ? std::chrono::milliseconds(0) : delay);
  log_.debug("Start request to cache web assets after a ", delay.count() / 1000, " sec");
  try {
    queue_->perform(id);
  } catch (const std::invalid_argument&) {
    log_.warning("Could not start request - request was already in progress");
  } catch (const std::exception& e) {
    log_.warning("Could not start request: ", e.what());
  }
}

void AssetCacher::stopCaching() { queue_->stop(); }

void AssetCacher::notifyAsset(std::string assetId, int version, int formatVersion) {
  std::lock_guard lock(mutex_);
  AssetRecord record;
  record.assetId = assetId;
  record.version = version;
  record.formatVersion = formatVersion;
  known_[std::move(assetId)] = std::move(record);
}

void AssetCacher::handleAssetList(const std::string& body, long httpCode) {
  log_.debug("Handling asset list: ", shownText(body));
  // An error page is not a list, whatever it holds.
  if (httpCode < 200 || httpCode > 299) {
    log_.warning("Could not get assetlist from server: HTTP status ", httpCode,
                 "; reply: ", shownText(body));
    return;
  }
  Json::Value reply;
  std::string error;
  if (!parseJson(body, reply, &error) || !reply.isObject()) {
    if (error.empty()) error = "not an object";
    log_.warning("Could not parse assetlist retrieved from server: invalid json: ", error,
                 "; reply: ", shownText(body));
    return;
  }
  const Json::Value& files = reply["files"];
  std::list<int> ids;
  std::set<int> seen;
  if (files.isArray()) {
    for (const Json::Value& entry : files) {
      if (!entry.isObject()) {
        log_.warning("Skipping asset list entry that is not an object: ",
                     Json::FastWriter().write(entry));
        continue;
      }
      const int id = downloadAsset(memberString(entry, "cdn_url"), memberString(entry, "_id"),
                                   memberInt(entry, "version"), memberInt(entry, "format_version"),
                                   memberString(entry, "title"));
      if (id != -1 && seen.insert(id).second) ids.push_back(id);
    }
  }
  downloadIdList(std::move(ids));
}

void AssetCacher::onListFailure(int code) {
  if (code == 6 || code == 7) {
    gListFailures = 0;
    log_.info(
        "Failed to retrieve asset list, couldn't connect to server. Waiting for connectivity "
        "status change");
    return;
  }
  if (gListFailures.fetch_add(1) < retryAttempts) {
    log_.warning("Failed to retrieve asset list, error code: ", code, "; retrying in ",
                 options_.backoff.count() / 1000, " secs.");
    queue_->registerFunction([this] { startCaching(std::chrono::milliseconds(0)); },
                             options_.backoff);
  } else {
    log_.warning("Faled to retrieve asset list, error code: ", code,
                 "; maximum attempts reached, waiting for connectivity status change");
  }
}

int AssetCacher::downloadAsset(const std::string& url, const std::string& assetId, int version,
                               int formatVersion, const std::string& title) {
  // The whole decision, the pending status included, runs under the mutex, so
  // notifyAsset cannot slip in between.
  std::lock_guard lock(mutex_);
  auto found = known_.find(assetId);
  int replaced = -1;
  if (found != known_.end()) {
    const AssetRecord& r = found->second;
    const bool held =
        r.state == AssetRecord::State::kInstalled || r.state == AssetRecord::State::kComplete;
    if (held && r.version >= version && r.formatVersion >= formatVersion) {
      log_.info("Skipping download for asset ", title, ", system already has version: ", r.version,
                " and formatVersion: ", r.formatVersion,
                ". The web server provides version: ", version,
                " and formatVersion: ", formatVersion);
      return -1;
    }
    if (r.requestId != -1 && r.url == url) {
      log_.info("Rescheduling download request for asset ", title);
      return r.requestId;
    }
    replaced = r.requestId;  // an older download from another address
  }

  const std::string name = packageFileName(url, assetId);
  if (name.empty()) {
    log_.warning("Skipping asset ", title, ": no file name in its address ", url);
    return -1;
  }
  if (downloadFolder_.empty()) {  // the file would land in the root folder
    log_.warning("Skipping asset ", title, ": no download folder");
    return -1;
  }
  const std::string target = downloadFolder_ + "/" + name;
  std::unique_ptr<Http::Writer<std::fstream>> writer;
  // The handlers learn their request's id once it is known; they run only
  // after the request has been performed, long after it is set.
  auto requestId = std::make_shared<std::atomic<int>>(-1);
  const std::string partial = partialPath(target);
  try {
    // The server never names the file (keepFileName 1).
    writer = std::make_unique<Http::Writer<std::fstream>>(
        partial, std::ios::binary | std::ios::out | std::ios::trunc,
        [this, requestId, assetId, title, partial, target](const std::string&, long httpCode) {
          onDownloaded(requestId->load(), assetId, title, partial, target, httpCode);
        },
        [this, requestId, assetId, title, partial, target](int code) {
          onDownloadFailed(requestId->load(), assetId, title, partial, target, code);
        },
        1);
  } catch (const std::exception& e) {
    log_.warning("Could not schedule download for asset ", title, ": ", e.what());
    return -1;
  }
  writer->setMaxBodyBytes(maxPackageBytes_.load());
  if (replaced != -1) {
    targets_.erase(replaced);
    try {
      queue_->remove(replaced);
    } catch (const std::exception& e) {
      log_.warning("Could not drop the earlier download of asset ", title, ": ", e.what());
    }
  }
  try {
    sendStatus(DownloadStatusSignalType::pending, assetId, target);
  } catch (...) {
    log_.error("Exception thrown in handling processor event DownloadStatus::Pending");
  }
  log_.info("Scheduling download request for asset ", title);
  auto config = std::make_unique<Http::Configuration>(url, std::move(writer), log_);
  const int id = queue_->addRequest(std::move(config), Http::AsyncQueue::Deferred, 1);
  *requestId = id;
  AssetRecord& record = known_[assetId];
  record.assetId = assetId;
  record.version = version;
  record.url = url;
  record.formatVersion = formatVersion;
  record.requestId = id;
  record.state = AssetRecord::State::kPending;
  targets_[id] = target;
  return id;
}

void AssetCacher::downloadIdList(std::list<int> ids) {
  if (ids.empty()) return;
  // Up to four ids, in order, none writing the same file as another.
  std::list<int> batch;
  std::list<int> rest;
  {
    std::lock_guard lock(mutex_);
    std::set<std::string> files;
    for (int id : ids) {
      const auto target = targets_.find(id);
      const std::string file = target == targets_.end() ? std::string() : target->second;
      if (static_cast<int>(batch.size()) < maxConcurrentDownloads && files.insert(file).second) {
        batch.push_back(id);
      } else {
        rest.push_back(id);
      }
    }
  }
  log_.debug("Triggering concurrent download of  ", batch.size(), " assets");
  try {
    queue_->perform(batch, [this, rest]() { downloadIdList(rest); });
  } catch (const std::exception& e) {
    log_.error("Could not download assets: exception thrown: ", e.what());
  }
}

void AssetCacher::onDownloaded(int requestId, const std::string& assetId, const std::string& title,
                               const std::string& partial, const std::string& path,
                               long httpCode) {
  if (httpCode < 200 || httpCode > 299) {
    // The file holds the server's error page, not a package.
    onDownloadFailed(requestId, assetId, title, partial, path, static_cast<int>(httpCode));
    return;
  }
  if (std::rename(partial.c_str(), path.c_str()) != 0) {
    log_.warning("Could not move the download of asset ", title, " to ", path);
    onDownloadFailed(requestId, assetId, title, partial, path, Http::AbstractWriter::kStreamFailed);
    return;
  }
  setState(requestId, AssetRecord::State::kComplete);
  try {
    sendStatus(DownloadStatusSignalType::complete, assetId, path);
    DownloadCallback callback;
    {
      std::lock_guard lock(mutex_);
      callback = callback_;
    }
    if (callback) {
      callback(path, httpCode);
    } else {
      log_.debug("Successfully downloaded asset ", path);
    }
  } catch (...) {
    log_.error("Exception thrown in handling processor event DownloadStatus::Complete");
  }
}

void AssetCacher::onDownloadFailed(int requestId, const std::string& assetId,
                                   const std::string& title, const std::string& partial,
                                   const std::string& target, int code) {
  std::remove(partial.c_str());  // nothing half-written stays
  setState(requestId, AssetRecord::State::kFailed);
  try {
    sendStatus(DownloadStatusSignalType::failed, assetId, target);
  } catch (...) {
    log_.error("Exception thrown in handling processor event DownloadStatus::Failed");
  }
  log_.warning("Failed to download asset ", title, ": ", code);
}

void AssetCacher::packageRefused(const std::string& path) {
  std::string assetId;
  int requestId = -1;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, target] : targets_) {
      if (target != path) continue;
      for (const auto& [bundle, record] : known_) {
        if (record.requestId == id) {
          assetId = bundle;
          requestId = id;
        }
      }
    }
  }
  if (requestId == -1) {
    // A status without its bundle would tell the engines nothing they could
    // act on.
    log_.warning("A refused package belongs to no download: ", path, "; no status sent");
    return;
  }
  setState(requestId, AssetRecord::State::kFailed);
  try {
    sendStatus(DownloadStatusSignalType::failed, assetId, path);
  } catch (...) {
    log_.error("Exception thrown in handling processor event DownloadStatus::Failed");
  }
}

void AssetCacher::setState(int requestId, AssetRecord::State state) {
  std::lock_guard lock(mutex_);
  for (auto& [id, record] : known_) {
    if (record.requestId == requestId && requestId != -1) record.state = state;
  }
}

void AssetCacher::sendStatus(DownloadStatusSignalType::type type, const std::string& assetId,
                             const std::string& path) {
  if (!options_.statusSink) return;
  DownloadStatusSignal signal;
  signal.__set_downloadStatusType(type);
  signal.__set_assetId(assetId);
  signal.__set_filename(path);
  signal.__isset.downloadStatusType = signal.__isset.assetId = signal.__isset.filename = true;
  const std::unique_ptr<ThriftParams> params = ThriftParamsFactory::createThriftParams(signal);
  options_.statusSink(this, params.get());
}

}  // namespace tembrolexinsdk
