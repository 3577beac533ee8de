#include "core/analytics/analytics_uploader.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <ios>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "core/runtime/dir_info.h"
#include "core/runtime/error_text.h"
#include "core/runtime/file_info.h"
#include "core/runtime/log_helpers.h"

namespace tembrolexinsdk {

using tembrolexin::DirInfo;
using tembrolexin::FileInfo;

// Never destroyed: threads still running at exit may use it.
const std::string& AnalyticsUploader::name_ = *new std::string("AnalyticsUploader");

AnalyticsUploader::AnalyticsUploader(Log log, const std::string& workingFolder,
                                     const std::string& appId, const std::string& url,
                                     Http::TransferLimits limits, std::string caFile,
                                     std::size_t maxPendingFiles)
    : url_(url),
      workingFolder_(workingFolder),
      appId_(appId),
      log_(log),
      caFile_(std::move(caFile)),
      queue_(true, std::move(log), limits) {
  if (!DirInfo::mkdir(workingFolder_, false)) {
    throw std::runtime_error("Could not create working directory " + workingFolder_);
  }
  removeEarlierTemporaries(workingFolder_);
  keepAtMost(maxPendingFiles);
  if (url_.empty()) {
    logWithLogger<LogLevel::Debug>(this, "No analytics url is set: record files are kept in ",
                                   workingFolder_, " and not sent");
    return;
  }
  uploadFilesReady();
}

AnalyticsUploader::~AnalyticsUploader() = default;

void AnalyticsUploader::uploadFilesReady() {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(workingFolder_.c_str())) {
    while (const dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    // A half-written or hidden file is never handed on.
    if (FileInfo::isHiddenOrTemporary(name)) continue;
    const std::string path = workingFolder_ + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    if (sendable(path)) uploadFile(path);
  }
}

bool AnalyticsUploader::sendable(const std::string& path) {
  const RecordFileCheck check = checkRecordFile(path);
  switch (check.verdict) {
    case RecordFileCheck::kSendable:
      return true;
    case RecordFileCheck::kForeign:
      logWithLogger<LogLevel::Warning>(this, "Not sending ", printableName(path), ": ",
                                       check.reason);
      return false;
    case RecordFileCheck::kCutBack:
    case RecordFileCheck::kRewrite: {
      const int error = repairRecordFile(path, check);
      if (error == 0) {
        logWithLogger<LogLevel::Warning>(this, "Keeping the whole lines of analytics record file ",
                                         path, ": ", check.reason, "; ", check.keptLines,
                                         check.keptLines == 1 ? " line" : " lines", " kept, ",
                                         check.droppedLines, " dropped");
        return true;
      }
      if (error == ESTALE) {
        // Written to while it was read: looked at again at the next start.
        logWithLogger<LogLevel::Warning>(this, "Not sending ", path,
                                         ": it changed while it was checked");
        return false;
      }
      if (check.verdict == RecordFileCheck::kRewrite) {
        // A new file could not be made (a full disk, say): the records stay
        // in the old one for the next start.
        logWithLogger<LogLevel::Warning>(
            this, "Not sending ", path, ": ", check.reason, ", and it cannot be rewritten now (",
            tembrolexin::errorText(error), "); it is tried again at the next start");
        return false;
      }
      drop(path, check.reason + ", and it cannot be cut back: " + tembrolexin::errorText(error));
      return false;
    }
    case RecordFileCheck::kBroken:
      drop(path, check.reason);
      return false;
  }
  return false;
}

void AnalyticsUploader::drop(const std::string& path, const std::string& reason) {
  logWithLogger<LogLevel::Warning>(this, "Dropping analytics record file ", path, ": ", reason);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    logWithLogger<LogLevel::Warning>(this, "Could not remove file at path: ", path);
  }
}

void AnalyticsUploader::keepAtMost(std::size_t count) {
  const std::vector<std::string> pending = pendingRecordFiles(workingFolder_);
  if (pending.size() <= count) return;
  std::size_t dropped = 0;
  for (std::size_t i = 0; i + count < pending.size(); ++i) {
    if (::unlink(pending[i].c_str()) == 0 || errno == ENOENT) ++dropped;
  }
  const char* what = " analytics record files awaiting upload, the oldest, to keep at most ";
  // Without a url nothing is ever sent, so the bound is reached in ordinary
  // use and dropping is expected; with one, files pile up only while the
  // service is not reached.
  if (url_.empty()) {
    logWithLogger<LogLevel::Debug>(this, "Dropped ", dropped, what, count);
  } else {
    logWithLogger<LogLevel::Warning>(this, "Dropped ", dropped, what, count);
  }
}

void AnalyticsUploader::uploadFile(const std::string& path, std::function<void(bool)> done) {
  const FileInfo file(path);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    logWithLogger<LogLevel::Warning>(this, "No file at path: ", printableName(path),
                                     ", won't upload.");
    done(false);
    return;
  }
  const std::string target = workingFolder_ + "/" + file.filename();
  if (file.path() != workingFolder_ && std::rename(path.c_str(), target.c_str()) != 0) {
    logWithLogger<LogLevel::Warning>(this, "Could not move file: ", path, " to ", target,
                                     ", removing file and abandoning upload");
    if (std::remove(path.c_str()) != 0) {
      logWithLogger<LogLevel::Warning>(this, "Could not remove file at path: ", path);
    }
    done(false);
    return;
  }
  const std::string inPlace = file.path() == workingFolder_ ? path : target;
  if (url_.empty()) {
    logWithLogger<LogLevel::Debug>(this, "No analytics url is set: ", printableName(inPlace),
                                   " is kept");
    done(false);
    return;
  }
  if (!sendable(inPlace)) {
    done(false);
    return;
  }
  requestSignedUrl(inPlace, std::move(done));
}

std::unique_ptr<Http::Configuration> AnalyticsUploader::makeConfiguration(
    const std::string& url, std::unique_ptr<Http::AbstractWriter> writer) {
  auto config = std::make_unique<Http::Configuration>(url, std::move(writer), log_);
  if (!caFile_.empty()) config->setOption(CURLOPT_CAINFO, caFile_);
  return config;
}

void AnalyticsUploader::requestSignedUrl(std::string path, std::function<void(bool)> done) {
  const FileInfo file(path);
  if (!file.exists()) {
    logWithLogger<LogLevel::Warning>(this, "No file at path: ", path, " aborting upload.");
    done(false);
    return;
  }
  auto writer = std::make_unique<Http::Writer<std::stringstream>>(
      [this, path, done](const std::string& body, long status) {
        signedUrlReceived(path, body, status, done);
      },
      [this, path, done](int code) {
        logWithLogger<LogLevel::Warning>(this, "Could not request signed url for file ", path,
                                         ": error code ", code);
        done(false);
      });
  auto config = makeConfiguration(url_ + "/" + file.filename(), std::move(writer));
  config->setOption(CURLOPT_CUSTOMREQUEST, "POST");
  config->setOption(CURLOPT_COPYPOSTFIELDS, "app_id=" + appId_);
  queue_.addRequest(std::move(config), Http::AsyncQueue::Immediate, TimingEvent::kOneShot);
}

void AnalyticsUploader::signedUrlReceived(const std::string& path, const std::string& signedUrl,
                                          const long& httpCode, std::function<void(bool)> done) {
  if (httpCode != Http::Request::HTTP_OK) {
    logWithLogger<LogLevel::Warning>(this, "HTTP error: ", httpCode, ", cannot upload file ",
                                     path);
    done(false);
    return;
  }
  long size = -1;
  {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (in.is_open()) size = static_cast<long>(in.tellg());
  }
  std::unique_ptr<Http::Writer<std::fstream>> writer;
  try {
    writer = std::make_unique<Http::Writer<std::fstream>>(
        path, std::ios::in | std::ios::binary,
        [this, done](const std::string& uploaded, long status) {
          if (status < 200 || status > 299) {
            // Not delivered: the file stays for the next uploader.
            logWithLogger<LogLevel::Warning>(this, "HTTP error: ", status,
                                             ", cannot upload file ", uploaded);
            done(false);
            return;
          }
          logWithLogger<LogLevel::Info>(this, "Succesfully uploaded file: ", uploaded,
                                        " with code ", status, " now deleting file");
          if (std::remove(uploaded.c_str()) != 0) {
            logWithLogger<LogLevel::Warning>(this, "Could not remove ", uploaded);
          }
          done(true);
        },
        [this, done](int code) {
          logWithLogger<LogLevel::Warning>(this, "Could not upload file, error: ", code);
          done(false);
        },
        1);
  } catch (const std::exception& e) {
    // The file vanished between the steps.
    logWithLogger<LogLevel::Warning>(this, "Could not upload file, error: ", e.what());
    done(false);
    return;
  }
  auto config = makeConfiguration(signedUrl, std::move(writer));
  config->setOption(CURLOPT_UPLOAD, 1L);
  config->setOption(CURLOPT_INFILESIZE, size);
  queue_.addRequest(std::move(config), Http::AsyncQueue::Immediate, TimingEvent::kOneShotRemove);
}

}  // namespace tembrolexinsdk
