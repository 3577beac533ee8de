// Record creators: each looks at one bus message or one processor event and,
// when it is of the kind it records, builds an analytics record from it.
//
//   CodewordRecordCreator        "CODEWORD"          CodewordEventParams, code word >= 0
//   AudioMatchRecordCreator      "AMEVENT"           AMEvent with a non-empty amId
//   EventRecordCreator           "EVENT"             a ThriftParams event holding a
//                                                    SyncEngineSignal (type 28)
//   ContentRecordCreator         "SCHEDULEDCONTENT"  bus message NotificationData (12)
//                                "ASSETDOWNLOAD"     event holding a DownloadStatusSignal (5)
//                                "CONTENT"           event holding a ContentSignal (4) whose
//                                                    emitKey is not exactly "performance"
//   DecodingStatusRecordCreator  "DECODINGSTATUS"    StartStopDecodingMsg
//
// Times of day in records ("cwtime", "amtime", "etime") are UTC with
// milliseconds ("HH:MM:SS.mmm"); dates ("cwdate", ...) are the device's local
// date as "YYYYMMDD" (TZ applies). A record is stamped with the creator's
// clock when it is built.
//
// Anything of another kind, a null event, or a serialised message of another
// type gives null. A serialised message of the right type whose bytes are
// malformed throws the message factory's exception (see message_factory.h);
// the caller decides what to do with it.
//
// Thread safety: creators hold no state besides the clock reference; any
// thread may call them at any time. The clock must outlive the creator.
#ifndef TL_CORE_ANALYTICS_RECORD_CREATORS_H_
#define TL_CORE_ANALYTICS_RECORD_CREATORS_H_

#include <memory>
#include <vector>

#include "core/analytics/analytics_message.h"
#include "core/runtime/clock.h"
#include "core/runtime/i_processor_params.h"
#include "core/runtime/thrift_params.h"

namespace tembrolexinsdk {

class AbstractRecordCreator {
 public:
  explicit AbstractRecordCreator(const Clock& clock) : clock_(clock) {}
  virtual ~AbstractRecordCreator() = default;

  // A record for a bus message, or null.
  virtual std::unique_ptr<AnalyticsMessage> processThriftParams(const ThriftParams& message);
  // A record for a processor event, or null (also for null).
  virtual std::unique_ptr<AnalyticsMessage> processEventParams(
      const IProcessorEventParams* event) = 0;
  // The bus message type ids whose messages this creator records.
  virtual std::vector<int> listensTo() const { return {}; }

 protected:
  // An empty record named `name`, stamped now.
  std::unique_ptr<AnalyticsMessage> makeRecord(const char* name) const;

 private:
  const Clock& clock_;
};

class CodewordRecordCreator : public AbstractRecordCreator {
 public:
  explicit CodewordRecordCreator(const Clock& clock = Clock::real())
      : AbstractRecordCreator(clock) {}
  std::unique_ptr<AnalyticsMessage> processEventParams(const IProcessorEventParams* event) override;
};

class AudioMatchRecordCreator : public AbstractRecordCreator {
 public:
  explicit AudioMatchRecordCreator(const Clock& clock = Clock::real())
      : AbstractRecordCreator(clock) {}
  std::unique_ptr<AnalyticsMessage> processEventParams(const IProcessorEventParams* event) override;
};

class EventRecordCreator : public AbstractRecordCreator {
 public:
  explicit EventRecordCreator(const Clock& clock = Clock::real())
      : AbstractRecordCreator(clock) {}
  std::unique_ptr<AnalyticsMessage> processEventParams(const IProcessorEventParams* event) override;
};

class ContentRecordCreator : public AbstractRecordCreator {
 public:
  explicit ContentRecordCreator(const Clock& clock = Clock::real())
      : AbstractRecordCreator(clock) {}
  std::unique_ptr<AnalyticsMessage> processThriftParams(const ThriftParams& message) override;
  std::unique_ptr<AnalyticsMessage> processEventParams(const IProcessorEventParams* event) override;
  // NotificationData (12).
  std::vector<int> listensTo() const override;
};

class DecodingStatusRecordCreator : public AbstractRecordCreator {
 public:
  explicit DecodingStatusRecordCreator(const Clock& clock = Clock::real())
      : AbstractRecordCreator(clock) {}
  std::unique_ptr<AnalyticsMessage> processEventParams(const IProcessorEventParams* event) override;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_ANALYTICS_RECORD_CREATORS_H_
