// AnalyticsUploader: sends closed record files to the analytics upload
// service in two steps, on its own HTTP queue:
//   1. POST "app_id=<app id>" to <base url>/<file name>; a 200 reply's body is
//      the signed URL for the upload;
//   2. PUT the file's bytes to that URL; on a 2xx reply the file is deleted.
// A file that was not delivered (any transport failure, a status other than
// 200 for step 1 or outside 2xx for step 2) stays in the working folder, and
// every file found there is uploaded again when an uploader for the folder
// is created. Files given from elsewhere are first moved into the folder.
//
// Only record files this library wrote are sent (checkRecordFile): anything
// else in the folder (another name, a link, which is never followed, another
// user's file) is skipped with a Warning and left alone; a record file that
// cannot be sent (empty, too long, its header cut off or not a header) is
// dropped with a Warning, so that nothing is retried for ever. One whose
// later lines are damaged (the last cut off by a power cut, lines that are
// not records) keeps every record line, in its order, and drops only the
// others (cut back, or rewritten crash-safely when records follow the
// damage), with a Warning that counts the lines kept and dropped; no footer
// is added or changed. A rewrite that cannot be made now (a full disk)
// leaves the file as it is for the next start; what a crashed rewrite left
// (a hidden temporary file) is removed at construction. The
// folder holds at most `maxPendingFiles` record files: at construction, and
// whenever the writer is about to add one (keepAtMost), the oldest beyond
// that are dropped with a line that counts them: a Warning, or a Debug line
// when no url is set (nothing is ever sent then, so the bound is reached in
// ordinary use).
//
// `done(bool)` tells the outcome of one upload: true once the file was
// delivered (and deleted), false otherwise. Failures found before step 1 is
// queued call it on the calling thread before uploadFile returns; everything
// later runs on the queue's thread.
//
// Without a url (empty) nothing is sent: files stay in the folder, bounded as
// above, with a Debug line.
//
// Log lines go to the process-wide logger under "AnalyticsUploader".
//
// Thread safety: uploadFile and uploadFilesReady may be called from any
// thread. Destruction stops the queue and waits for its thread (a running
// transfer is aborted) before anything else is released.
#ifndef TL_CORE_ANALYTICS_ANALYTICS_UPLOADER_H_
#define TL_CORE_ANALYTICS_ANALYTICS_UPLOADER_H_

#include <functional>
#include <memory>
#include <string>

#include "core/analytics/record_file.h"
#include "core/net/async_queue.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/log.h"

namespace tembrolexinsdk {

class AnalyticsUploader : public INamedObject {
 public:
  static const std::string& name_;

  // Creates the working folder (not its parents; std::runtime_error "Could
  // not create working directory <folder>" when that fails), then starts
  // uploading every file in it. `limits` and `caFile` (a PEM file of trusted
  // certificates, empty for the system's) apply to every request.
  AnalyticsUploader(Log log, const std::string& workingFolder, const std::string& appId,
                    const std::string& url, Http::TransferLimits limits = Http::TransferLimits(),
                    std::string caFile = std::string(),
                    std::size_t maxPendingFiles = kDefaultMaxPendingFiles);
  ~AnalyticsUploader() override;
  AnalyticsUploader(const AnalyticsUploader&) = delete;
  AnalyticsUploader& operator=(const AnalyticsUploader&) = delete;

  const std::string& GetName() const override { return name_; }

  void uploadFile(const std::string& path, std::function<void(bool)> done = [](bool) {});
  // Uploads every record file of the working folder; hidden and temporary
  // names are passed over in silence, other entries as above.
  void uploadFilesReady();
  // Drops the oldest record files of the folder until at most `count` are
  // left.
  void keepAtMost(std::size_t count);

  // Step 1 and step 2 (the latter runs on the queue's thread).
  void requestSignedUrl(std::string path, std::function<void(bool)> done);
  void signedUrlReceived(const std::string& path, const std::string& signedUrl,
                         const long& httpCode, std::function<void(bool)> done);

 private:
  // Whether `path` may be sent; logs and (for a broken record file) drops
  // what may not, and cuts a damaged one back to its whole lines.
  bool sendable(const std::string& path);
  // Removes a broken record file with a Warning giving `reason`.
  void drop(const std::string& path, const std::string& reason);
  std::unique_ptr<Http::Configuration> makeConfiguration(const std::string& url,
                                                         std::unique_ptr<Http::AbstractWriter> w);

  std::string url_;
  std::string workingFolder_;
  std::string appId_;
  Log log_;
  std::string caFile_;
  // Last, so it is destroyed first: its thread runs callbacks that use the
  // fields above.
  Http::AsyncQueue queue_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ANALYTICS_ANALYTICS_UPLOADER_H_
