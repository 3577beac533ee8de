// AnalyticsRecordWriter<W>: appends analytics records to record files on a
// thread of its own and hands every finished file to its uploader.
//
//   AnalyticsRecordWriter<JsonRecordWriter> writer(log, listener, "app", "udid",
//                                                  filePath + "/Analytics/", url);
//   writer.writeRecord(std::move(record));               // any thread, returns at once
//   writer.finish(ReasonForClose::kUploadRequested, done);  // close, upload, done(bool)
//
// Files: "<folder>/sdk_<udid>_<UTC %Y-%m-%d_%H.%M.%S>_<n>.json", n counting
// the files this writer opened (from 0). A file holds a HEADER line
// (logversion 1, version "IPHONE", udid, sequence n + 1, app_id), one line
// per record in arrival order (each flushed at once), and a FOOTER line
// (records, bitfield 0, reason) written when it is closed. The first record
// after construction or after a close opens a new file; a name that is
// already taken (a writer restarted within the same second) is never
// overwritten, the next number is used instead.
//
// finish() with a file open writes the footer, closes the file and uploads
// it; done gets the upload's outcome on the uploader's thread. With no file
// open (nothing recorded since the last close) done(true) runs at once on
// the writer's thread: there is nothing to deliver.
//
// Destruction handles everything queued before it, then ends the thread; a
// file still open is left without a footer (the next writer's uploader finds
// it in the folder).
//
// W: a RecordWriterStrategy constructible from (name, time, element count).
//
// Thread safety: writeRecord and finish may be called from any thread; all
// file work runs on the writer's thread. The clock (for file names and
// header times) must outlive the writer.
#ifndef TL_CORE_ANALYTICS_ANALYTICS_RECORD_WRITER_H_
#define TL_CORE_ANALYTICS_ANALYTICS_RECORD_WRITER_H_

#include <exception>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "core/analytics/analytics_message.h"
#include "core/analytics/analytics_uploader.h"
#include "core/runtime/active_object.h"
#include "core/runtime/clock.h"
#include "core/runtime/file_info.h"
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
                        std::string caFile = std::string())
      : Base(&AnalyticsRecordWriter::stateIdle, &AnalyticsRecordWriter::stateDone, kCompleteCode),
        listener_(listener),
        uploader_(log, folder, appId, url, limits, std::move(caFile)),
        udid_(std::move(udid)),
        appId_(std::move(appId)),
        folder_(std::move(folder)),
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
    if (!file_.is_open()) openFile();
    file_ << text;
    file_.flush();
    ++records_;
  }

  bool openFile() {
    if (file_.is_open()) closeFile(ReasonForClose::kNewFile, [](bool) {});
    records_ = 0;
    const int64_t nowMs = clock_.wallMicros() / 1000;
    const std::string stamp = tembrolexin::TimeUtilities::formatIntoString(
        nowMs, "%Y-%m-%d_%H.%M.%S", tembrolexin::TimeUtilities::kUTC);
    // A taken name (a writer restarted within the same second) moves on to
    // the next number rather than truncating a file that awaits upload.
    int number = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
      number = fileNumber_++;
      currentPath_ = folder_ + "/" + prefix_ + udid_ + "_" + stamp + "_" +
                     std::to_string(number) + ".json";
      if (!tembrolexin::FileInfo(currentPath_).exists()) break;
    }
    file_.clear();
    file_.open(currentPath_, std::ios::out | std::ios::trunc);
    if (!file_.is_open()) {
      logWithLogger<LogLevel::Error>(this, "Could not open ", currentPath_, " for writing");
      file_.setstate(std::ios::failbit);
      return false;
    }
    writeHeader(file_, nowMs, number + 1);
    return true;
  }

  void closeFile(ReasonForClose reason, std::function<void(bool)> done) {
    if (!file_.is_open()) {
      // Nothing recorded since the last close: nothing to deliver.
      if (done) done(true);
      return;
    }
    writeFooter(file_, reason);
    file_.close();
    file_.clear();
    uploader_.uploadFile(currentPath_, done ? std::move(done) : [](bool) {});
  }

  void writeHeader(std::ofstream& out, int64_t timeMs, int sequence) {
    AnalyticsMessage header("HEADER", timeMs);
    header.add("logversion", 1)
        .add("version", std::string("IPHONE"))
        .add("udid", udid_)
        .add("sequence", sequence)
        .add("app_id", appId_);
    out << serialise<W>(header);
  }

  void writeFooter(std::ofstream& out, ReasonForClose reason) {
    AnalyticsMessage footer("FOOTER", clock_.wallMicros() / 1000);
    footer.add("records", records_).add("bitfield", 0).add("reason", static_cast<int>(reason));
    out << serialise<W>(footer);
  }

  const IProcessorListener* listener_;
  AnalyticsUploader uploader_;
  int records_ = 0;
  int fileNumber_ = 0;
  const std::string name_ = "tembrolexin_AnalyticsRecordWriter";
  std::string udid_;
  std::string appId_;
  std::string folder_;
  const std::string prefix_ = "sdk_";
  std::string currentPath_;
  std::ofstream file_;
  const Clock& clock_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ANALYTICS_ANALYTICS_RECORD_WRITER_H_
