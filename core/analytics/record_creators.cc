#include "core/analytics/record_creators.h"

#include <string>

#include "core/runtime/control_messages.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/processor_params.h"
#include "core/runtime/time_text.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

namespace {

using tembrolexin::TimeUtilities;

// UTC time of day with milliseconds.
std::string timeOfDay(int64_t msSinceEpoch) {
  return TimeUtilities::timeStringFromMilliseconds(msSinceEpoch,
                                                   TimeUtilities::kWithMilliseconds);
}

// The device's local date.
std::string localDate(int64_t msSinceEpoch) {
  return TimeUtilities::dateStringFromMilliseconds(msSinceEpoch, TimeUtilities::kLocalTime);
}

const ThriftParams* asMessage(const IProcessorEventParams* event) {
  return dynamic_cast<const ThriftParams*>(event);
}

}  // namespace

std::unique_ptr<AnalyticsMessage> AbstractRecordCreator::processThriftParams(const ThriftParams&) {
  return nullptr;
}

std::unique_ptr<AnalyticsMessage> AbstractRecordCreator::makeRecord(const char* name) const {
  return std::make_unique<AnalyticsMessage>(name, clock_.wallMicros() / 1000);
}

std::unique_ptr<AnalyticsMessage> CodewordRecordCreator::processEventParams(
    const IProcessorEventParams* event) {
  const auto* codeword = CodewordEventParams::Cast(event);
  if (codeword == nullptr || codeword->msg < 0) return nullptr;
  auto record = makeRecord("CODEWORD");
  // The processors report the decoder's confidences 1..4 as 3, 2, 1, -1:
  // the record shows 1, 2, 3, 5 (and 4 for anything else).
  record->add("confidence", 4 - codeword->msgConfidence)
      .add("msg", static_cast<long long>(codeword->msg))
      .add("fec", static_cast<int>(codeword->nFecErrors))
      .add("signalstrength", static_cast<int>(codeword->msgSignalStrength95pc))
      .add("volume", static_cast<int>(codeword->msgVolume))
      .add("bitslicepos", static_cast<int>(codeword->bitSlicePosMsg))
      .add("encodingscheme", static_cast<int>(codeword->msgScheme))
      .add("cwtime", timeOfDay(codeword->systemTimeStamp))
      .add("cwdate", localDate(codeword->systemTimeStamp));
  return record;
}

std::unique_ptr<AnalyticsMessage> AudioMatchRecordCreator::processEventParams(
    const IProcessorEventParams* event) {
  const auto* match = AMEvent::Cast(event);
  if (match == nullptr || match->amId.empty()) return nullptr;
  auto record = makeRecord("AMEVENT");
  record->add("amId", match->amId)
      .add("offset", static_cast<long long>(match->offset))
      .add("name", match->dbEntryName)
      .add("duration", static_cast<long long>(match->duration))
      .add("amtime", timeOfDay(match->timeStamp))
      .add("amdate", localDate(match->timeStamp));
  return record;
}

std::unique_ptr<AnalyticsMessage> EventRecordCreator::processEventParams(
    const IProcessorEventParams* event) {
  const ThriftParams* message = asMessage(event);
  if (message == nullptr) return nullptr;
  const auto signal = ThriftParamsFactory::readThriftParams<SyncEngineSignal>(*message);
  if (!signal) return nullptr;
  auto record = makeRecord("EVENT");
  record->add("type", static_cast<int>(signal->eventType))
      .add("trackId", static_cast<long long>(signal->mediaStreamId))
      .add("eventId", signal->eventId)
      .add("etime", timeOfDay(signal->millisecondsSinceEpochDeviceTime))
      .add("edate", localDate(signal->millisecondsSinceEpochDeviceTime));
  return record;
}

std::vector<int> ContentRecordCreator::listensTo() const {
  return {kMessageTypeId<NotificationData>};
}

std::unique_ptr<AnalyticsMessage> ContentRecordCreator::processThriftParams(
    const ThriftParams& message) {
  const auto notification = ThriftParamsFactory::readThriftParams<NotificationData>(message);
  if (!notification) return nullptr;
  auto record = makeRecord("SCHEDULEDCONTENT");
  record->add("type", notification->type)
      .add("url", notification->url)
      .add("notificationId", notification->notificationId)
      .add("value", notification->value);
  return record;
}

std::unique_ptr<AnalyticsMessage> ContentRecordCreator::processEventParams(
    const IProcessorEventParams* event) {
  const ThriftParams* message = asMessage(event);
  if (message == nullptr) return nullptr;
  if (const auto download = ThriftParamsFactory::readThriftParams<DownloadStatusSignal>(*message)) {
    auto record = makeRecord("ASSETDOWNLOAD");
    record->add("type", static_cast<int>(download->downloadStatusType))
        .add("assetId", download->assetId)
        .add("file", download->filename);
    return record;
  }
  const auto content = ThriftParamsFactory::readThriftParams<ContentSignal>(*message);
  // The content engine's reception-quality reports are not recorded.
  if (!content || content->emitKey == "performance") return nullptr;
  auto record = makeRecord("CONTENT");
  // "timestamp" is the signal's own time; in the JSON line it replaces the
  // record's creation time.
  record->add("bundleId", content->bundleId)
      .add("actionId", content->actionId)
      .add("timestamp", static_cast<long long>(content->timestamp))
      .add("type", content->emitKey)
      .add("value", content->emitValue);
  return record;
}

std::unique_ptr<AnalyticsMessage> DecodingStatusRecordCreator::processEventParams(
    const IProcessorEventParams* event) {
  const auto* status = StartStopDecodingMsg::Cast(event);
  if (status == nullptr) return nullptr;
  auto record = makeRecord("DECODINGSTATUS");
  record->add("status", std::string(StartStopDecodingMsg::statusText(status->getState())));
  return record;
}

}  // namespace tembrolexinsdk
