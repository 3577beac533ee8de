// AnalyticsRecordWriter<W>: appends analytics records to record files on a
// thread of its own and hands every finished file to its uploader.
//
//   AnalyticsRecordWriter<JsonRecordWriter> writer(log, listener, "app", "udid",
//                                                  filePath + "/Analytics/", url);
//   writer.writeRecord(std::move(record));               // any thread, returns at once
//   writer.finish(ReasonForClose::kUploadRequested, done);  // close, upload, done(bool)
//
// Files: "<folder>/sdk_<udid>_<UTC %Y-%m-%d_%H.%M.%S>_<n>.json", n counting
// the files this writer opened (from 0), the udid reduced to the characters
// a record file name may hold. A file holds a HEADER line (logversion 1,
// version "IPHONE", udid, sequence n + 1, app_id), one line per record in
// arrival order (each written through at once), and a FOOTER line (records,
// bitfield 0, reason) written when it is closed. The first record after
// construction or after a close opens a new file; a name that is already
// taken (a writer restarted within the same second) is never overwritten,
// the next number is used instead. A file about to grow beyond
// kMaxRecordFileBytes is closed (reason 1, handed to the uploader) and the
// record goes into a new one; before a new file is made, the oldest pending
// files beyond `maxPendingFiles` - 1 are dropped (AnalyticsUploader).
//
// Nothing is lost silently. A record that cannot be written (the folder is
// gone or read-only, the disk is full, the file-size limit is reached, the
// record is longer than kMaxRecordBytes) is logged at Error and counted; a
// file never holds part of a line (RecordFile), so what could not be
// finished still ends after whole records and is sent as such; a file whose
// header could not be written is removed.
//
// finish() with a file open writes the footer, closes the file and uploads
// it; done gets the upload's outcome on the uploader's thread, or false when
// records were lost since the last finish (logged at Error with their
// count). With no file open done runs at once on the writer's thread: true
// when nothing was recorded since the last close, false when records were
// lost.
//
// Destruction handles everything queued before it, then ends the thread; a
// file still open is left without a footer (the next writer's uploader finds
// it in the folder). The thread logs "Thread entry." and "Thread exit." at
// Debug.
//
// W: a RecordWriterStrategy constructible from (name, time, element count).
//
// Thread safety: writeRecord and finish may be called from any thread; all
// file work runs on the writer's thread. The clock (for file names and
// header times) must outlive the writer.
#ifndef TL_CORE_ANALYTICS_ANALYTICS_RECORD_WRITER_H_
#define TL_CORE_ANALYTICS_ANALYTICS_RECORD_WRITER_H_

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "core/analytics/analytics_message.h"
#include "core/analytics/analytics_uploader.h"
#include "core/analytics/record_file.h"
#include "core/runtime/active_object.h"
#include "core/runtime/clock.h"
#include "core/runtime/error_text.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/i_processor_listener.h"
#include "core/runtime/log.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/state_signal.h"
#include "core/runtime/time_text.h"

namespace tembrolexinsdk {

enum class ReasonForClose : int {
  kUploadRequested = 0,  // the engine asked for the analytics to be handed in
  kNewFile = 1,          // closed because a new file was being opened
};

struct RecordWriterOptions {
  // Record files that may wait for upload in the folder (at least 1).
  std::size_t maxPendingFiles = kDefaultMaxPendingFiles;
  // The write(2) call for record files; null for the real one.
  WriteCall write;
};

template <typename W>
class AnalyticsRecordWriter : public INamedObject,
                              public ActiveObject<AnalyticsRecordWriter<W>> {
  using Base = ActiveObject<AnalyticsRecordWriter<W>>;

 public:
  static constexpr int kRecordCode = 0;
  static constexpr int kFinishCode = 1;
  static constexpr int kCompleteCode = 2;

  class AnalyticsMessageSignal : public StateSignal {
   public:
    explicit AnalyticsMessageSignal(std::unique_ptr<AnalyticsMessage> record)
        : StateSignal(kRecordCode), record_(std::move(record)) {}
    AnalyticsMessage* get() const { return record_.get(); }

   private:
    std::unique_ptr<AnalyticsMessage> record_;
  };

  class FinishSignal : public StateSignal {
   public:
    FinishSignal(ReasonForClose reason, std::function<void(bool)> done)
        : StateSignal(kFinishCode), reason(reason), done(std::move(done)) {}
    ReasonForClose reason;
    std::function<void(bool)> done;
  };

  // Builds the uploader (which creates `folder` and uploads files left in
  // it; throws std::runtime_error when the folder cannot be created) and
  // starts the thread.
  AnalyticsRecordWriter(Log log, const IProcessorListener* listener, std::string appId,
                        std::string udid, std::string folder, std::string url,
                        const Clock& clock = Clock::real(),
                        Http::TransferLimits limits = Http::TransferLimits(),
                        std::string caFile = std::string(),
                        RecordWriterOptions options = RecordWriterOptions())
      : Base(&AnalyticsRecordWriter::stateStart, &AnalyticsRecordWriter::stateDone, kCompleteCode),
        listener_(listener),
        maxPendingFiles_(std::max<std::size_t>(options.maxPendingFiles, 1)),
        uploader_(log, folder, appId, url, limits, std::move(caFile), maxPendingFiles_),
        udid_(std::move(udid)),
        appId_(std::move(appId)),
        folder_(std::move(folder)),
        file_(std::move(options.write)),
        clock_(clock) {
    this->startThread();
  }

  ~AnalyticsRecordWriter() override { this->quitAndJoin(); }

  const std::string& GetName() const override { return name_; }

  void writeRecord(std::unique_ptr<AnalyticsMessage> record) {
    this->pushSignal(std::make_unique<AnalyticsMessageSignal>(std::move(record)));
  }
  void finish(ReasonForClose reason, std::function<void(bool)> done) {
    this->pushSignal(std::make_unique<FinishSignal>(reason, std::move(done)));
  }

  const IProcessorListener* listener() const { return listener_; }

 private:
  friend Base;

  void stateStart() {
    logWithLogger<LogLevel::Debug>(this, "Thread entry.");
    this->setState(&AnalyticsRecordWriter::stateIdle);
  }

  void onThreadEnd() override { logWithLogger<LogLevel::Debug>(this, "Thread exit."); }

  void stateIdle() {
    logWithLogger<LogLevel::Info>(this, "Entered state idle");
    this->serveState(&AnalyticsRecordWriter::stateIdle,
                     {kRecordCode, kFinishCode, kCompleteCode}, [this](StateSignal& signal) {
                       switch (signal.GetCode()) {
                         case kRecordCode:
                           recordToFile(static_cast<AnalyticsMessageSignal&>(signal));
                           break;
                         case kFinishCode: {
                           auto& finish = static_cast<FinishSignal&>(signal);
                           closeFile(finish.reason, std::move(finish.done));
                           break;
                         }
                         default:
                           logWithLogger<LogLevel::Info>(this,
                                                         "AnalyticsRecordWriter is completing");
                           this->setState(&AnalyticsRecordWriter::stateDone);
                       }
                     });
  }

  void stateDone() {
    logWithLogger<LogLevel::Assert>(this, "We reached stateDone. This should never happen.");
  }

  void onStateFailure(const std::exception* error) override {
    if (error != nullptr) {
      logWithLogger<LogLevel::Error>(
          this, "AnalyticsRecordWriter thread died due to following exception: ", error->what());
    } else {
      logWithLogger<LogLevel::Error>(this, "AnalyticsRecordWriter thread died due to unknown reason.");
      this->setState(&AnalyticsRecordWriter::stateDone);
    }
  }

  void recordToFile(AnalyticsMessageSignal& signal) {
    if (signal.get() == nullptr) {
      logWithLogger<LogLevel::Assert>(this, "Analytics message returned nullptr.");
      return;
    }
    const std::string text = serialise<W>(*signal.get());
    if (static_cast<int64_t>(text.size()) > kMaxRecordBytes) {
      lose("An analytics record of ", text.size(), " bytes is too long to be written");
      return;
    }
    // A full file is finished and sent; the record starts the next one.
    if (file_.isOpen() && records_ > 0 &&
        file_.size() + static_cast<int64_t>(text.size()) > kMaxRecordFileBytes) {
      closeFile(ReasonForClose::kNewFile, [](bool) {});
    }
    if (!file_.isOpen() && !openFile()) {
      ++lost_;
      return;
    }
    if (const int error = file_.append(text); error != 0) {
      lose("Could not write an analytics record to ", currentPath_, ": ",
           tembrolexin::errorText(error));
      return;
    }
    writing_ = true;
    ++records_;
  }

  // Counts a record that could not be written; logs the first of a run.
  template <typename... Pieces>
  void lose(const Pieces&... pieces) {
    ++lost_;
    if (writing_) logWithLogger<LogLevel::Error>(this, pieces...);
    writing_ = false;
  }

  bool openFile() {
    if (file_.isOpen()) closeFile(ReasonForClose::kNewFile, [](bool) {});
    records_ = 0;
    uploader_.keepAtMost(maxPendingFiles_ - 1);
    const int64_t nowMs = clock_.wallMicros() / 1000;
    const std::string stamp = tembrolexin::TimeUtilities::formatIntoString(
        nowMs, "%Y-%m-%d_%H.%M.%S", tembrolexin::TimeUtilities::kUTC);
    // A taken name (a writer restarted within the same second) moves on to
    // the next number rather than truncating a file that awaits upload.
    int number = 0;
    int error = EEXIST;
    for (int attempt = 0; attempt < 1000 && error == EEXIST; ++attempt) {
      number = fileNumber_++;
      currentPath_ = folder_ + "/" + prefix_ + recordFileNamePart(udid_) + "_" + stamp + "_" +
                     std::to_string(number) + ".json";
      error = file_.create(currentPath_);
    }
    if (error != 0) {
      logWithLogger<LogLevel::Error>(this, "Could not open ", currentPath_,
                                     " for writing: ", tembrolexin::errorText(error));
      writing_ = false;
      return false;
    }
    if (const int headerError = file_.append(header(nowMs, number + 1)); headerError != 0) {
      // A file without its header is nobody's record file.
      file_.close();
      ::unlink(currentPath_.c_str());
      logWithLogger<LogLevel::Error>(this, "Could not write the header of ", currentPath_, ": ",
                                     tembrolexin::errorText(headerError));
      writing_ = false;
      return false;
    }
    return true;
  }

  void closeFile(ReasonForClose reason, std::function<void(bool)> done) {
    if (!done) done = [](bool) {};
    // Losses count against the next hand-in, whichever file they hit.
    const int lost = reason == ReasonForClose::kUploadRequested ? std::exchange(lost_, 0) : 0;
    if (lost > 0) {
      logWithLogger<LogLevel::Error>(this, lost, " analytics records could not be written");
    }
    if (!file_.isOpen()) {
      // Nothing recorded since the last close: nothing to deliver, which
      // is a failure only when records were lost meanwhile.
      done(lost == 0);
      return;
    }
    if (const int error = file_.append(footer(reason)); error != 0) {
      // The file still ends after whole records: it goes as it is.
      logWithLogger<LogLevel::Error>(this, "Could not write the footer of ", currentPath_, ": ",
                                     tembrolexin::errorText(error));
    }
    if (const int error = file_.close(); error != 0) {
      logWithLogger<LogLevel::Error>(this, "Could not close ", currentPath_, ": ",
                                     tembrolexin::errorText(error));
    }
    if (lost > 0) {
      uploader_.uploadFile(currentPath_, [done = std::move(done)](bool) { done(false); });
    } else {
      uploader_.uploadFile(currentPath_, std::move(done));
    }
  }

  std::string header(int64_t timeMs, int sequence) const {
    AnalyticsMessage header("HEADER", timeMs);
    header.add("logversion", 1)
        .add("version", std::string("IPHONE"))
        .add("udid", udid_)
        .add("sequence", sequence)
        .add("app_id", appId_);
    return serialise<W>(header);
  }

  std::string footer(ReasonForClose reason) const {
    AnalyticsMessage footer("FOOTER", clock_.wallMicros() / 1000);
    footer.add("records", records_).add("bitfield", 0).add("reason", static_cast<int>(reason));
    return serialise<W>(footer);
  }

  const IProcessorListener* listener_;
  const std::size_t maxPendingFiles_;
  AnalyticsUploader uploader_;
  int records_ = 0;
  int lost_ = 0;          // records not written since the last close
  bool writing_ = true;   // the last record was written (a failure is logged once per run)
  int fileNumber_ = 0;
  const std::string name_ = "tembrolexin_AnalyticsRecordWriter";
  std::string udid_;
  std::string appId_;
  std::string folder_;
  const std::string prefix_ = "sdk_";
  std::string currentPath_;
  RecordFile file_;
  const Clock& clock_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ANALYTICS_ANALYTICS_RECORD_WRITER_H_
