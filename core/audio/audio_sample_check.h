// AudioSampleCheck: a diagnostic that compares the samples the recorder
// delivered with what the capture rate promises, and logs when audio goes
// missing or arrives in excess. It has no effect on decoding; its only output
// is log lines through the Logger under the name "AudioSampleCheck".
//
// Two checks run on its own Timing: a short one every 5 s comparing the
// samples of the window, and an average one every 10 min over everything
// since listening began, with a block figure for the last 10 min. Both run
// first 10 s after construction. Leaving the listening state resets both.
//
// Thread safety: samplesReceived() may be called from the capture thread and
// setSampleRateAndBufferFrames() from any thread while the checks run on the
// Timing's thread; the `isListening` function is called on that thread too.
// The destructor stops the Timing (waiting for a check in progress).
#ifndef TL_CORE_AUDIO_AUDIO_SAMPLE_CHECK_H_
#define TL_CORE_AUDIO_AUDIO_SAMPLE_CHECK_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/runtime/clock.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/sample_rate.h"
#include "core/runtime/timing.h"

namespace tembrolexinsdk {

// When the checks run: both first after `first`, then every `check` and
// every `average`.
struct AudioSampleCheckPeriods {
  std::chrono::milliseconds first{10000};
  std::chrono::milliseconds check{5000};
  std::chrono::milliseconds average{600000};
};

class AudioSampleCheck : public INamedObject {
 public:
  using Periods = AudioSampleCheckPeriods;

  // `isListening` tells whether the decoder is listening; it must be safe to
  // call from the Timing's thread for the object's whole life. `clock` must
  // outlive the object; in manual mode the caller drives timing().pump().
  explicit AudioSampleCheck(std::function<bool()> isListening,
                            const Clock& clock = Clock::real(),
                            TimingMode mode = TimingMode::kThreaded, Periods periods = Periods());
  ~AudioSampleCheck() override;

  AudioSampleCheck(const AudioSampleCheck&) = delete;
  AudioSampleCheck& operator=(const AudioSampleCheck&) = delete;

  const std::string& GetName() const override;

  // Counts `count` samples of one captured buffer.
  void samplesReceived(int count) { received_.fetch_add(count, std::memory_order_relaxed); }
  void setSampleRateAndBufferFrames(SampleRate rate, unsigned short frames) {
    rate_.store(rate);
    frames_.store(frames);
  }

  Timing& timing() { return timing_; }

 private:
  void shortCheck();
  void averageCheck();
  // Registers `check` once, `delay` from now on the timeline; a failure is
  // logged and ends that check.
  void schedule(void (AudioSampleCheck::*check)(), std::chrono::milliseconds delay);

  const std::function<bool()> isListening_;
  const Clock& clock_;
  const Periods periods_;

  std::atomic<int64_t> received_{0};
  std::atomic<SampleRate> rate_{SampleRate_NotAvailable};
  std::atomic<unsigned short> frames_{0};

  // Touched only by the checks, on the Timing's thread.
  int64_t checkStart_ = -1;
  int64_t blockStart_ = -1;
  int64_t averageStart_ = -1;
  int64_t receivedAtBlockStart_ = 0;
  int64_t receivedAtLastCheck_ = 0;
  int64_t longestDelay_ = 0;

  // Last, so it is destroyed (and its thread joined) before the state above;
  // a check still running meanwhile may register itself again, which the
  // Timing allows while it stops.
  Timing timing_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_AUDIO_SAMPLE_CHECK_H_
