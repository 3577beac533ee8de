// The recorder interfaces: the decoder captures audio through one
// IAudioRecorder (the platform's microphone or an app-fed recorder) and
// receives each filled buffer through IAudioRecorderListener, on the
// recorder's capture thread.
#ifndef TL_CORE_RUNTIME_I_AUDIO_RECORDER_H_
#define TL_CORE_RUNTIME_I_AUDIO_RECORDER_H_

#include <chrono>
#include <exception>
#include <string>
#include <thread>

#include "core/runtime/i_named_object.h"
#include "core/runtime/sample_rate.h"

namespace tembrolexinsdk {

class IAudioRecorderListener {
 public:
  enum InterruptionState { InterruptionBegan = 0, InterruptionEnded = 1 };

  virtual ~IAudioRecorderListener() = default;
  // Buffer `index` is full (IAudioRecorder::getShortBuffer). Times are the
  // capture time of the buffer on the steady and the system clock.
  virtual void recorderCallback(
      unsigned char index, std::chrono::steady_clock::time_point steadyTime,
      std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>
          systemTime) = 0;
  virtual void audioSessionCallback(InterruptionState state) = 0;
  // Whether buffer `index` may be refilled now: false while a consumer still
  // reads what was delivered in it before. A recorder whose thread must not
  // block drops the block it would have delivered instead. Any thread.
  virtual bool isBufferFree(unsigned char index) {
    (void)index;
    return true;
  }
  // Waits up to `limit` until buffer `index` may be refilled; true when it
  // is free. For a recorder whose thread may be held (a file played as fast
  // as it is decoded). This default asks isBufferFree every millisecond.
  // Any thread.
  virtual bool awaitBufferFree(unsigned char index, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!isBufferFree(index)) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
};

class IAudioRecorder : public INamedObject {
 public:
  // Base of every recorder exception.
  class AudioRecorderException : public std::exception {
   public:
    const char* what() const noexcept override { return "AudioRecorderException"; }
  };

  ~IAudioRecorder() override = default;

  const std::string& GetName() const override = 0;
  // The listener is not owned and outlives the recorder's capture.
  virtual void initialise(IAudioRecorderListener* listener) = 0;
  virtual void setup(unsigned int bufferCount) = 0;
  // Mask of SampleRate bits this recorder can capture at.
  virtual unsigned short getAvailableSampleRates(unsigned short previous) = 0;
  virtual void createRecorder(SampleRate rate, unsigned int frames) = 0;
  virtual void setFilePath(const std::string& path) = 0;
  virtual void startRecording() = 0;
  virtual void stopRecording() = 0;
  // Delivery buffer `index`, holding `frames` samples.
  virtual short* getShortBuffer(unsigned char index) = 0;
  virtual bool hasFailed() = 0;
  virtual int getExtraLatencyMs() { return 0; }
  virtual void resetSession() {}
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_AUDIO_RECORDER_H_
