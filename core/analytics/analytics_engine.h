// AnalyticsEngine: the reaction engine "SDKANALYTICS". It turns what the
// system reports (codewords, audio matches, sync events, content actions,
// bundle downloads, notifications, starts and stops of decoding) into
// analytics records with its record creators and writes them through one
// record file writer, into "<file path>/Analytics/". It never consumes an
// event: processEventParams always returns what it was given.
//
//   AnalyticsEngine engine(decoder, bus);
//   engine.setEngineParameters(&entry);        // "enabled" (bool), "url" (text)
//   engine.setFilePath(filePath);
//   engine.SetIdentityInfo(appId, udid);       // now the writer exists
//
// The writer is created once, as soon as app id, device identity and file
// path are known; later changes of them do not reach it. Until
// then events pass unrecorded and bus messages are ignored. A writer that
// cannot be created (the folder cannot be made) is logged, and the next
// setFilePath or SetIdentityInfo tries again.
//
// The keys of the engine's entry in "AudioDecoder_engines" ("type"
// "SDKANALYTICS") are read only by setEngineParameters, and only from a
// value of the right type; anything else keeps the current value:
//   "enabled" (bool): while false nothing is recorded and hand-in requests
//     are ignored;
//   "url" (text): the upload service's base address; none by default, and
//     without one record files are kept (at most "maxPendingFiles") and
//     never sent;
//   "maxPendingFiles" (integer, at least 1): how many record files may wait
//     for upload in the folder (kDefaultMaxPendingFiles unless given).
// They apply to the writer made after them. An app turns analytics off by
// leaving "SDKANALYTICS" out of its engine list.
//
// Hand-in: on BackgroundData {SDKAnalytics, Start} (type 13) the current
// record file is closed and uploaded; when the upload has ended, whatever
// its outcome (or at once when there was no file to hand in), the engine
// sends BackgroundData {SDKAnalytics, Complete} from "AnalyticsEngine", and
// logs whether it succeeded (records that could not be written make it
// fail). Requests are answered only while the writer exists, and not while
// disabled.
//
// A decoded word is recorded once: a plug-in reports it once per engine it
// is routed to ("TRIGGER" and "ANALYTICS", say), so a code word event with
// the scheme, value and capture time stamps of one of the last
// kRecentCodewords recorded is not recorded again.
//
// A serialised message whose bytes cannot be read is logged (Warning) and
// not recorded; the other creators still see it.
//
// Ownership: the listener and the messenger are not owned and must outlive
// the engine. The engine registers on the messenger for types 12 and 13 and
// unregisters in its destructor (which waits for running deliveries); it
// then ends the writer (records queued are written, the open file stays for
// the next upload).
//
// Threads: onReceive runs on the bus thread, processEventParams on whatever
// thread reports the event, setEngineParameters / setFilePath /
// SetIdentityInfo on the decoder's configuration path. The writer is
// published through an atomic pointer once it is complete; the creators are
// stateless; the writer only queues. Events must no longer be offered once
// destruction has begun.
#ifndef TL_CORE_ANALYTICS_ANALYTICS_ENGINE_H_
#define TL_CORE_ANALYTICS_ANALYTICS_ENGINE_H_

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/analytics/analytics_message.h"
#include "core/analytics/analytics_record_writer.h"
#include "core/analytics/record_creators.h"
#include "core/net/async_queue.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"
#include "core/runtime/i_consumers.h"
#include "core/runtime/i_engine.h"
#include "core/runtime/i_messenger.h"
#include "core/runtime/i_processor_listener.h"
#include "core/runtime/log.h"

namespace tembrolexinsdk {

class AnalyticsEngine : public IEngine, public IMessengerListener, public IIdentityConsumer {
 public:
  using Writer = AnalyticsRecordWriter<JsonRecordWriter>;

  static const std::string& engineName;  // "SDKANALYTICS"
  static const std::string& defaultUrl;  // empty: no upload service

  // What the engine hands to its writer and uploader; the defaults are the
  // machine's clock, the queue's default limits and the system's
  // certificates. The clock must outlive the engine.
  struct Environment {
    const Clock* clock = &Clock::real();
    Http::TransferLimits limits;
    std::string caFile;
    // The write(2) call for record files; null for the real one.
    WriteCall write;
  };

  AnalyticsEngine(IProcessorListener* listener, IMessenger* messenger);
  AnalyticsEngine(IProcessorListener* listener, IMessenger* messenger, Environment environment);
  ~AnalyticsEngine() override;
  AnalyticsEngine(const AnalyticsEngine&) = delete;
  AnalyticsEngine& operator=(const AnalyticsEngine&) = delete;

  // IEngine.
  const std::string& GetName() const override { return engineName; }
  void setEngineParameters(const ConfigurationMap* parameters) override;
  // Records the event (when the writer exists and analytics are enabled)
  // and returns it unchanged.
  const IProcessorEventParams* processEventParams(const IProcessorEventParams* event) override;
  // Later configuration does not change the engine.
  void Configure(const ConfigurationParameters*) override {}
  void setFilePath(const std::string& path) override;
  bool isEnabled() const override { return enabled_.load(); }

  // IIdentityConsumer: the app's package name and the device identity.
  void SetIdentityInfo(const std::string& appId, const std::string& udid) override;

  // IMessengerListener: NotificationData (12) and BackgroundData (13).
  void onReceive(const std::string& senderName, const ThriftParams& message) override;

  // The writer, once it exists (for inspection).
  Writer* writer() const { return writer_.load(std::memory_order_acquire); }

 private:
  void initWriter();
  void completion(bool succeeded);
  // True when `event` is a code word event already recorded under another
  // engine reference; otherwise remembers it (when it is one).
  bool recordedBefore(const IProcessorEventParams* event);
  // Hands `record` to the writer; null does nothing.
  void write(Writer* writer, std::unique_ptr<AnalyticsMessage> record);

  IProcessorListener* const listener_;
  std::vector<std::unique_ptr<AbstractRecordCreator>> creators_;
  IMessenger* const messenger_;
  const Environment environment_;
  std::vector<int> registeredTypes_;

  tembrolexin::Mutex configMutex_;  // guards the four texts and the writer's creation
  std::string appId_;
  std::string udid_;
  std::string filePath_;
  std::string url_;
  std::size_t maxPendingFiles_ = kDefaultMaxPendingFiles;
  Log log_;
  std::atomic<bool> enabled_{true};

  // The words recorded last: (decoder scheme, value, steady and system time
  // stamps), a ring.
  static constexpr std::size_t kRecentCodewords = 64;
  using CodewordKey = std::array<int64_t, 4>;
  tembrolexin::Mutex recentMutex_;
  std::array<CodewordKey, kRecentCodewords> recent_{};
  std::size_t recentCount_ = 0;
  std::size_t recentNext_ = 0;

  std::unique_ptr<Writer> writerOwner_;  // set once, under configMutex_
  std::atomic<Writer*> writer_{nullptr};
};

// Makes IEngine::addEngineForMap create an AnalyticsEngine for the type
// "SDKANALYTICS"; whoever assembles the decoder calls it before engines are
// created. Calling it again replaces the registration (with a new
// environment).
void registerAnalyticsEngineType(AnalyticsEngine::Environment environment = {});

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ANALYTICS_ANALYTICS_ENGINE_H_
