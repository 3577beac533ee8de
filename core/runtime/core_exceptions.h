// Exceptions of the core's audio path.
//
// MicUnavailableException and NoMicPermissionException are recorder
// exceptions (IAudioRecorder::AudioRecorderException): a platform recorder
// throws them when the microphone cannot be used or the user refused access.
// SampleRateConversionException: no recorder rate suits all audio
// processors.
//
// All are immutable after construction; what() may be called from any thread.
#ifndef TL_CORE_RUNTIME_CORE_EXCEPTIONS_H_
#define TL_CORE_RUNTIME_CORE_EXCEPTIONS_H_

#include <exception>
#include <string>

#include "core/runtime/i_audio_recorder.h"
#include "core/runtime/sample_rate.h"

namespace tembrolexinsdk {

class MicUnavailableException : public IAudioRecorder::AudioRecorderException {
 public:
  // Keeps the pointer, not a copy: pass a text that lives for the whole run
  // (a literal). Null reads as the empty text.
  explicit MicUnavailableException(const char* message) noexcept : message_(message) {}
  const char* what() const noexcept override { return message_ != nullptr ? message_ : ""; }

 private:
  const char* message_;
};

class NoMicPermissionException : public IAudioRecorder::AudioRecorderException {
 public:
  const char* what() const noexcept override {
    return "NoMicPermissionException user didn't allow microphone permissions";
  }
};

class SampleRateConversionException : public std::exception {
 public:
  // "Cannot convert from <from> to <to>", each a single rate's text.
  SampleRateConversionException(SampleRate from, SampleRate to);
  // The same with sets of rates (bit masks).
  SampleRateConversionException(unsigned short fromRates, unsigned short toRates);
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_CORE_EXCEPTIONS_H_
