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
// `done(bool)` tells the outcome of one upload: true once the file was
// delivered (and deleted), false otherwise. Failures found before step 1 is
// queued call it on the calling thread before uploadFile returns; everything
// later runs on the queue's thread.
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

#include "core/net/async_queue.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/log.h"

namespace tembrolexinsdk {

class AnalyticsUploader : public INamedObject {
 public:
  static const std::string name_;

  // Creates the working folder (not its parents; std::runtime_error "Could
  // not create working directory <folder>" when that fails), then starts
  // uploading every file in it. `limits` and `caFile` (a PEM file of trusted
  // certificates, empty for the system's) apply to every request.
  AnalyticsUploader(Log log, const std::string& workingFolder, const std::string& appId,
                    const std::string& url, Http::TransferLimits limits = Http::TransferLimits(),
                    std::string caFile = std::string());
  ~AnalyticsUploader() override;
  AnalyticsUploader(const AnalyticsUploader&) = delete;
  AnalyticsUploader& operator=(const AnalyticsUploader&) = delete;

  const std::string& GetName() const override { return name_; }

  void uploadFile(const std::string& path, std::function<void(bool)> done = [](bool) {});
  // Uploads every regular file of the working folder, skipping names shorter
  // than two characters and hidden or temporary files.
  void uploadFilesReady();

  // Step 1 and step 2 (the latter runs on the queue's thread).
  void requestSignedUrl(std::string path, std::function<void(bool)> done);
  void signedUrlReceived(const std::string& path, const std::string& signedUrl,
                         const long& httpCode, std::function<void(bool)> done);

 private:
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
