// Exceptions of the two recorders (the platform microphone recorder and the
// recorder that the app feeds with samples), declared apart from the
// recorders so that rate conversion and both recorders can throw and catch
// them without depending on each other.
//
// Both carry a text of their own (a copy); what() answers it. Immutable after
// construction; what() may be called from any thread.
//
// The custom recorder publishes its exception under its own name with
//   using CustomRecorderException = tembrolexinsdk::CustomRecorderException;
// so that callers catch CustomRecorder::CustomRecorderException.
#ifndef TL_CORE_AUDIO_RECORDER_EXCEPTIONS_H_
#define TL_CORE_AUDIO_RECORDER_EXCEPTIONS_H_

#include <string>
#include <utility>

#include "core/runtime/core_exceptions.h"
#include "core/runtime/i_audio_recorder.h"

namespace tembrolexinsdk {

// Thrown by the app-fed recorder and by convertValueToSampleRate, for example
// "Cannot handle provided sample rate".
class CustomRecorderException : public IAudioRecorder::AudioRecorderException {
 public:
  explicit CustomRecorderException(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Thrown by the platform recorder when the audio session or the input queue
// refuses a request, for example "AVAudioSession setCategory Error".
class IOSAudioException : public IAudioRecorder::AudioRecorderException {
 public:
  explicit IOSAudioException(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_RECORDER_EXCEPTIONS_H_
