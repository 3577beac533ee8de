// Value objects that the platform layer hands to its engines and to the app
// instead of raw bus messages: processor events (a decoded codeword, a
// partial codeword), processor status, failures, audio reports, network-time
// and location values, and log lines. They store values and do nothing else.
//
// Widths follow the messages they are made from: 16-bit volumes and
// positions, 32-bit schemes and counts, 64-bit codes, times and the three
// confidence values (widened from the message's 32 bits).
//
// Immutable once made, except the two time stamps of TLProcessorEventParams
// and the read-write objects the app fills itself (TLFailureParams, TLNTPInfo,
// TLGPSInfo, TLGSMInfo, TLLogParams); no locks: share a made object between
// threads only for reading.
#ifndef TL_PLATFORM_RUNTIME_EVENT_PARAMS_H_
#define TL_PLATFORM_RUNTIME_EVENT_PARAMS_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/messages/message_types.h"

namespace tembrolexinplatform {

// Base of every processor event, the message envelope TLThriftParams
// included.
class TLProcessorEventParams {
 public:
  virtual ~TLProcessorEventParams() = default;

  // Monotonic milliseconds (the core's up-time base).
  int64_t steadyTimeStamp() const { return steadyTimeStamp_; }
  void setSteadyTimeStamp(int64_t ms) { steadyTimeStamp_ = ms; }
  // Wall-clock milliseconds since the epoch.
  int64_t systemTimeStamp() const { return systemTimeStamp_; }
  void setSystemTimeStamp(int64_t ms) { systemTimeStamp_ = ms; }

 protected:
  TLProcessorEventParams() = default;
  TLProcessorEventParams(const TLProcessorEventParams&) = default;
  TLProcessorEventParams& operator=(const TLProcessorEventParams&) = default;

 private:
  int64_t steadyTimeStamp_ = 0;
  int64_t systemTimeStamp_ = 0;
};

// One decoded codeword with its signal metrics.
class TLCodewordEventParams : public TLProcessorEventParams {
 public:
  struct Fields {
    int64_t syncState = 0;
    int16_t meanVolume = 0, meanSignalStrength = 0, currentVolume = 0, currentSignalStrength = 0;
    int64_t sigConfidence = 0, msgConfidence = 0;
    int16_t bitSlicePosSig = 0, bitSlicePosMsg = 0, nFecErrors = 0, msgSignalStrength95pc = 0,
            msgVolume = 0;
    int64_t msg = 0;
    int32_t msgScheme = 0, sigScheme = 0;  // negative: no scheme
    std::optional<std::string> engineRef;  // none: meant for no engine in particular
    int64_t offset = 0;
    int64_t codewordDuration = 0;  // milliseconds
  };

  // Every field, with the two stamps.
  TLCodewordEventParams(const Fields& fields, int64_t steadyTimeStamp, int64_t systemTimeStamp);
  // The short form: the codeword, the stamps and the duration; the rest 0 and
  // no engine reference.
  TLCodewordEventParams(int64_t codeword, int64_t steadyTimeStamp, int64_t systemTimeStamp,
                        int64_t codewordDuration);
  // Field by field from the message; a field whose flag is clear gives 0 (no
  // engine reference for engineRef).
  static TLCodewordEventParams fromCodewordSignal(const CodewordSignal& signal);

  int64_t syncState() const { return f_.syncState; }
  int16_t meanVolume() const { return f_.meanVolume; }
  int16_t meanSignalStrength() const { return f_.meanSignalStrength; }
  int16_t currentVolume() const { return f_.currentVolume; }
  int16_t currentSignalStrength() const { return f_.currentSignalStrength; }
  int64_t sigConfidence() const { return f_.sigConfidence; }
  int64_t msgConfidence() const { return f_.msgConfidence; }
  int16_t bitSlicePosSig() const { return f_.bitSlicePosSig; }
  int16_t bitSlicePosMsg() const { return f_.bitSlicePosMsg; }
  int16_t nFecErrors() const { return f_.nFecErrors; }
  int16_t msgSignalStrength95pc() const { return f_.msgSignalStrength95pc; }
  int16_t msgVolume() const { return f_.msgVolume; }
  int64_t msg() const { return f_.msg; }
  int32_t msgScheme() const { return f_.msgScheme; }
  int32_t sigScheme() const { return f_.sigScheme; }
  const std::optional<std::string>& engineRef() const { return f_.engineRef; }
  int64_t offset() const { return f_.offset; }
  int64_t codewordDuration() const { return f_.codewordDuration; }

 private:
  Fields f_;
};

// One partial-codeword detection.
class TLPartialCodewordParams : public TLProcessorEventParams {
 public:
  struct Fields {
    std::string pluginName;
    int32_t encoderID = 0;
    int64_t timeShift = 0, startTime = 0, stopTime = 0;  // milliseconds
    bool startTimeFinal = false, stopTimeFinal = false;
    int32_t encodingScheme = 0, metricInit = 0, metricSum = 0, metricNMerge = 0, nCodewords = 0;
    int64_t firstCodeword = 0, timeSeqStart = 0;
  };
  // systemTimeStamp becomes stopTime; steadyTimeStamp stays 0.
  explicit TLPartialCodewordParams(Fields fields);
  // Field by field from the message (unset fields give 0 or empty).
  static TLPartialCodewordParams fromPartialCodewordSignal(const PartialCodewordSignal& signal);

  const std::string& pluginName() const { return f_.pluginName; }
  int32_t encoderID() const { return f_.encoderID; }
  int64_t timeShift() const { return f_.timeShift; }
  int64_t startTime() const { return f_.startTime; }
  int64_t stopTime() const { return f_.stopTime; }
  bool startTimeFinal() const { return f_.startTimeFinal; }
  bool stopTimeFinal() const { return f_.stopTimeFinal; }
  int32_t encodingScheme() const { return f_.encodingScheme; }
  int32_t metricInit() const { return f_.metricInit; }
  int32_t metricSum() const { return f_.metricSum; }
  int32_t metricNMerge() const { return f_.metricNMerge; }
  int32_t nCodewords() const { return f_.nCodewords; }
  int64_t firstCodeword() const { return f_.firstCodeword; }
  int64_t timeSeqStart() const { return f_.timeSeqStart; }

 private:
  Fields f_;
};

// A processor status other than Idle.
class TLGenericStatusParams {
 public:
  explicit TLGenericStatusParams(std::string description) : statusDescription_(std::move(description)) {}
  virtual ~TLGenericStatusParams() = default;
  // From the message's statusDescription (empty when unset).
  static TLGenericStatusParams fromProcessorStatusSignal(const ProcessorStatusSignal& signal);
  const std::string& statusDescription() const { return statusDescription_; }

 private:
  std::string statusDescription_;
};

// The Idle status of an audio processor.
class TLAudioProcessorIdleStatusParams final : public TLGenericStatusParams {
 public:
  using TLGenericStatusParams::TLGenericStatusParams;
  static TLAudioProcessorIdleStatusParams fromProcessorStatusSignal(const ProcessorStatusSignal& signal);
};

// A failure of the core, as the app's delegates receive it.
class FailureParams {
 public:
  FailureParams() : description_("Error: Unknown failure.") {}
  explicit FailureParams(std::string description) : description_(std::move(description)) {}
  const std::string& description() const { return description_; }

 private:
  std::string description_;
};

// An error object: its domain, its code and its texts (for the decoder's
// domain, the codes of TLDecoderErrors).
struct TLError {
  std::string domain;
  int64_t code = 0;
  std::string localizedDescription;
  std::string failureReason;  // for system-call errors: which call failed
  // The error that caused this one (a parser's, say), if any.
  std::shared_ptr<const TLError> underlyingError = nullptr;
};

// Offered to the app, not filled inside the library.
struct TLFailureParams {
  int32_t decoderErrorCode = 0;
  std::string failureDescription;
  std::optional<TLError> failureError;
  const std::optional<TLError>& asNSError() const { return failureError; }
};

// One report on a captured audio buffer.
class TLAudioSignal {
 public:
  // Copies the message's fields (numberInvalidSamples into
  // numberOfInvalidSamples); unset fields give 0.
  explicit TLAudioSignal(const AudioSignal& signal);
  int16_t audioLevel() const { return audioLevel_; }
  int64_t firstInvalidSample() const { return firstInvalidSample_; }
  int64_t lastInvalidSample() const { return lastInvalidSample_; }
  int32_t numberOfInvalidSamples() const { return numberOfInvalidSamples_; }
  bool repeatedBuffer() const { return repeatedBuffer_; }
  int64_t systemTimeStamp() const { return systemTimeStamp_; }

 private:
  int16_t audioLevel_;
  int64_t firstInvalidSample_;
  int64_t lastInvalidSample_;
  int32_t numberOfInvalidSamples_;
  bool repeatedBuffer_;
  int64_t systemTimeStamp_;
};

struct TLNTPInfo {
  int64_t elapsedRealTime = 0;
  int64_t transmitTimestamp = 0;
  int64_t roundTripDelay = 0;
  int64_t drift = 0;
};

struct TLGPSInfo {
  double longitude = 0;
  double latitude = 0;
};

struct TLGSMInfo {
  std::string countryCode;
  std::string network;
  uint32_t lac = 0;
  uint32_t cid = 0;
};

// One log line: level 0 Trace, 1 Debug, 2 Info, 3 Warning, 4 Error, 5 Assert.
struct TLLogParams {
  int32_t level = 0;
  std::string message;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_EVENT_PARAMS_H_
