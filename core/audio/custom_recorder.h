// CustomRecorder: the recorder an app feeds with its own samples.
//
// The app pushes 16-bit samples from any thread with provideSamples; the
// recorder keeps them in a ring of (buffer count x frames) samples and hands
// every full capture buffer to the listener's recorderCallback, on the
// feeding thread, stamped with the clock's readings taken once per call,
// less the whole seconds of audio still unread. Its lifecycle is announced
// on the bus as RecorderEvent messages (type 25) under the sender name
// "CustomRecorder": Initialised (createRecorder), Started, Stopped, and
// Destroyed with the recorder's address as instance. Start and stop only
// announce: samples fed while stopped are still delivered.
//
// A call never overwrites samples that are still unread: when its samples
// do not fit behind them, the full buffers go out first (the listener may
// hold the caller until the decoder has room), then the rest comes in. A
// call with more samples than the ring holds is refused.
//
// Thread safety: every operation may be called from any thread. The ring and
// the capture buffers are guarded by one mutex, which is not held while the
// listener runs. createRecorder and the destructor wait until deliveries in
// progress on other threads have returned, so the decoder may re-create or
// delete the recorder while the app feeds it (a listener must therefore not
// wait for another thread that re-creates or deletes this recorder). Calls
// that begin once the destructor has begun are refused.
#ifndef TL_CORE_AUDIO_CUSTOM_RECORDER_H_
#define TL_CORE_AUDIO_CUSTOM_RECORDER_H_

#include <memory>
#include <string>

#include "core/audio/recorder_exceptions.h"
#include "core/runtime/clock.h"
#include "core/runtime/i_audio_recorder.h"
#include "core/runtime/i_messenger.h"

namespace tembrolexinsdk {

class CustomRecorder : public IAudioRecorder {
 public:
  using CustomRecorderException = tembrolexinsdk::CustomRecorderException;

  // Publishes on the process-wide bus. Throws CustomRecorderException
  // "Cannot handle provided sample rate" for a rate outside the SampleRate
  // table.
  explicit CustomRecorder(int sampleRateHz);
  // Publishes on `messenger` (not owned; outlives the recorder) and reads
  // time from `clock`.
  CustomRecorder(int sampleRateHz, IMessenger* messenger, const Clock& clock = Clock::real());
  ~CustomRecorder() override;
  CustomRecorder(const CustomRecorder&) = delete;
  CustomRecorder& operator=(const CustomRecorder&) = delete;

  const std::string& GetName() const override;
  void initialise(IAudioRecorderListener* listener) override;
  void setup(unsigned int bufferCount) override;
  // The flag of the recorder's one rate.
  unsigned short getAvailableSampleRates(unsigned short previous) override;
  // Sizes the buffers and the ring for `frames` samples per buffer (the
  // rate argument is not used), empties the ring and announces Initialised.
  void createRecorder(SampleRate rate, unsigned int frames) override;
  void setFilePath(const std::string& path) override;
  void startRecording() override;
  void stopRecording() override;
  // Capture buffer `index`; null for an index beyond the buffer count. Valid
  // until the next createRecorder.
  short* getShortBuffer(unsigned char index) override;
  bool hasFailed() override;

  // Buffer count x frames: the most samples one provideSamples call may
  // bring; 0 before createRecorder.
  unsigned int getMaximumBufferSize();
  // 0 when the samples were taken, 1 when they were refused (too many, or
  // the recorder going away) or when no capture buffer exists yet, 3 when
  // the call itself is wrong: a negative count, or null samples with a
  // positive count. Such a call is never taken, however often it is
  // repeated; the first one of each recorder is logged at Error.
  static constexpr int kInvalidCall = 3;
  int provideSamples(const short* samples, int count);

 private:
  struct Impl;
  void announce(int eventType, bool withInstance);

  const std::string name_ = "CustomRecorder";
  std::unique_ptr<Impl> impl_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_CUSTOM_RECORDER_H_
