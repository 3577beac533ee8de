// The concrete event and status parameter classes that processors report to
// their listener (IProcessorListener): a decoded code word, an audio-match
// result, prepared files, "processing complete", idle, a list of status
// texts, a failure.
//
// All are values held through their interface; `clone` returns a new heap
// copy that the caller owns. Each class has a static `Cast` that returns the
// same object as the concrete class, or null for null or another class.
// Descriptions are built once, at construction (FilePrepared and
// CheckedFilePrepared build theirs on request).
//
// Thread safety: none inside; an object is used by one thread at a time.
// Const objects may be read by several threads at once.
#ifndef TL_CORE_RUNTIME_PROCESSOR_PARAMS_H_
#define TL_CORE_RUNTIME_PROCESSOR_PARAMS_H_

#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "core/runtime/i_processor_params.h"

namespace tembrolexinsdk {

// Helpers for the static Cast of each class.
template <typename Concrete, typename Interface>
const Concrete* castParams(const Interface* params) {
  return dynamic_cast<const Concrete*>(params);
}
template <typename Concrete, typename Interface>
Concrete* castParams(Interface* params) {
  return dynamic_cast<Concrete*>(params);
}

// One decoded code word. Confidence levels (syncState, sigConfidence,
// msgConfidence): -1 unspecified, 0 invalid, 1 low, 2 medium, 3 high.
class CodewordEventParams : public IProcessorEventParams {
 public:
  CodewordEventParams(int32_t syncState, int16_t meanVolume, int16_t meanSignalStrength,
                      int16_t currentVolume, int16_t currentSignalStrength, int32_t sigConfidence,
                      int32_t msgConfidence, int16_t bitSlicePosSig, int16_t bitSlicePosMsg,
                      int16_t nFecErrors, int16_t msgSignalStrength95pc, int16_t msgVolume,
                      int64_t msg, int32_t msgScheme, int32_t sigScheme, int64_t steadyTimeStamp,
                      int64_t systemTimeStamp, std::string engineRef, int64_t offset,
                      int64_t codewordDuration, int64_t samplePosition);
  CodewordEventParams(const CodewordEventParams& other);
  CodewordEventParams& operator=(const CodewordEventParams&) = delete;

  IProcessorEventParams* clone() const override;
  // "Codeword: " followed by msg in decimal. Composed when asked for: a
  // processor reports a code word far more often than anyone reads this.
  std::string GetParamsDescription() const override;

  static const CodewordEventParams* Cast(const IProcessorEventParams* p) {
    return castParams<CodewordEventParams>(p);
  }
  static CodewordEventParams* Cast(IProcessorEventParams* p) {
    return castParams<CodewordEventParams>(p);
  }

  const int32_t syncState;
  const int16_t meanVolume;
  const int16_t meanSignalStrength;
  const int16_t currentVolume;
  const int16_t currentSignalStrength;
  const int32_t sigConfidence;
  const int32_t msgConfidence;
  const int16_t bitSlicePosSig;
  const int16_t bitSlicePosMsg;
  const int16_t nFecErrors;
  const int16_t msgSignalStrength95pc;
  const int16_t msgVolume;
  const int64_t msg;
  const int32_t msgScheme;
  const int32_t sigScheme;
  const int64_t steadyTimeStamp;  // ms of the core's up-time (uptime::getUpTime) at capture
  const int64_t systemTimeStamp;  // ms since the epoch
  const std::string engineRef;
  const int64_t offset;            // position within its sequence, code words
  const int64_t codewordDuration;  // ms
  const int64_t samplePosition;    // sample count at the end of the code word
};

// One audio-match result, reported by an audio-match plug-in processor.
// Units are the producer's; `timeStamp` + `offset` is the time of the match.
class AMEvent : public IProcessorEventParams {
 public:
  AMEvent(std::string dbEntryName, std::string amId, int64_t timeStamp, int64_t offset,
          int64_t duration, std::vector<double> ber);
  AMEvent(const AMEvent&) = default;
  AMEvent& operator=(const AMEvent&) = delete;

  IProcessorEventParams* clone() const override;
  // "Audio match: " amId " in " dbEntryName.
  std::string GetParamsDescription() const override;

  static const AMEvent* Cast(const IProcessorEventParams* p) { return castParams<AMEvent>(p); }
  static AMEvent* Cast(IProcessorEventParams* p) { return castParams<AMEvent>(p); }

  const std::string dbEntryName;
  const std::string amId;
  const int64_t timeStamp;
  const int64_t offset;
  const int64_t duration;
  const std::vector<double> ber;
};

// Files a processor has prepared.
class FilePreparedEventParams : public IProcessorEventParams {
 public:
  explicit FilePreparedEventParams(std::vector<std::string> filePaths)
      : filePaths_(std::move(filePaths)) {}

  IProcessorEventParams* clone() const override;
  // "Files prepared: \n" then every path with nothing between, then "\n".
  std::string GetParamsDescription() const override;

  const std::vector<std::string>& getFilePaths() const { return filePaths_; }

  static const FilePreparedEventParams* Cast(const IProcessorEventParams* p) {
    return castParams<FilePreparedEventParams>(p);
  }
  static FilePreparedEventParams* Cast(IProcessorEventParams* p) {
    return castParams<FilePreparedEventParams>(p);
  }

 private:
  std::vector<std::string> filePaths_;
};

// Files prepared for upload, each with its check bytes, in the order added.
class CheckedFilePreparedEventParams : public IProcessorEventParams {
 public:
  using CheckedPath = std::pair<std::string, std::vector<unsigned char>>;

  CheckedFilePreparedEventParams() = default;
  explicit CheckedFilePreparedEventParams(std::vector<CheckedPath> checkedPaths)
      : checkedPaths_(std::move(checkedPaths)) {}

  void AddCheckedFilePath(std::string path, std::vector<unsigned char> check);

  IProcessorEventParams* clone() const override;
  // "Files prepared: \n" then each path immediately followed by its check
  // bytes in lowercase hex without leading zeros, then "\n".
  std::string GetParamsDescription() const override;

  const std::vector<CheckedPath>& getCheckedFilePaths() const { return checkedPaths_; }

  static const CheckedFilePreparedEventParams* Cast(const IProcessorEventParams* p) {
    return castParams<CheckedFilePreparedEventParams>(p);
  }
  static CheckedFilePreparedEventParams* Cast(IProcessorEventParams* p) {
    return castParams<CheckedFilePreparedEventParams>(p);
  }

 private:
  std::vector<CheckedPath> checkedPaths_;
};

// An audio processor has processed one buffer. No data.
class ProcessingCompleteParams : public IProcessorEventParams {
 public:
  IProcessorEventParams* clone() const override { return new ProcessingCompleteParams(); }
  // "Audio processing complete".
  std::string GetParamsDescription() const override { return "Audio processing complete"; }

  static const ProcessingCompleteParams* Cast(const IProcessorEventParams* p) {
    return castParams<ProcessingCompleteParams>(p);
  }
  static ProcessingCompleteParams* Cast(IProcessorEventParams* p) {
    return castParams<ProcessingCompleteParams>(p);
  }
};

// A processor went idle: "<name> is Idle.\n".
class AudioProcessorIdleStatusParams : public IProcessorStatusParams {
 public:
  explicit AudioProcessorIdleStatusParams(const std::string& processorName)
      : description_(processorName + " is Idle.\n") {}

  IProcessorStatusParams* clone() override { return new AudioProcessorIdleStatusParams(*this); }
  std::string GetDescription() const override { return description_; }

  static const AudioProcessorIdleStatusParams* Cast(const IProcessorStatusParams* p) {
    return castParams<AudioProcessorIdleStatusParams>(p);
  }
  static AudioProcessorIdleStatusParams* Cast(IProcessorStatusParams* p) {
    return castParams<AudioProcessorIdleStatusParams>(p);
  }

 private:
  std::string description_;
};

// A list of status texts. Description: each text followed by "\n"; "empty
// status" when there are no texts or all of them are empty.
class GenericStatusParams : public IProcessorStatusParams {
 public:
  explicit GenericStatusParams(std::vector<std::string> statuses);
  GenericStatusParams(const GenericStatusParams& other);

  IProcessorStatusParams* clone() override { return new GenericStatusParams(*this); }
  std::string GetDescription() const override { return description_; }

  const std::vector<std::string>& getStatuses() const { return statuses_; }

  static const GenericStatusParams* Cast(const IProcessorStatusParams* p) {
    return castParams<GenericStatusParams>(p);
  }
  static GenericStatusParams* Cast(IProcessorStatusParams* p) {
    return castParams<GenericStatusParams>(p);
  }

 private:
  std::vector<std::string> statuses_;
  std::string description_;
};

// A failure, described by an exception or a text.
class FailureParams : public IProcessorStatusParams {
 public:
  // Description = exception->what(), unchanged. The exception is not owned
  // and must outlive this object and its copies if GetException is used. A
  // null exception gives an empty description.
  explicit FailureParams(const std::exception* exception);
  // Description = `text`, or "Message removed: invalid UTF-8 string" when it
  // is not valid UTF-8. No exception.
  explicit FailureParams(const std::string& text);
  FailureParams(const FailureParams&) = default;
  FailureParams& operator=(const FailureParams&) = default;

  IProcessorStatusParams* clone() override { return new FailureParams(*this); }
  std::string GetDescription() const override { return description_; }
  virtual const std::exception* GetException() const { return exception_; }

  static const FailureParams* Cast(const IProcessorStatusParams* p) {
    return castParams<FailureParams>(p);
  }
  static FailureParams* Cast(IProcessorStatusParams* p) { return castParams<FailureParams>(p); }

 private:
  std::string description_;
  const std::exception* exception_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_PROCESSOR_PARAMS_H_
