// AlsaCaptureSource: captures from an ALSA PCM device (a microphone, or
// ALSA's "null" device, which answers every read at once with silence).
//
// The device is opened non-blocking for 16-bit mono at exactly the asked
// rate, with periods of one buffer and room for the asked number of
// buffers. The worker waits for the device a few milliseconds at a time,
// reads one buffer and hands it over, stamped with the capture time of its
// first sample (the time of the read less the samples read and those still
// waiting in the device). An overrun is logged and capture restarts.
//
// ALSA's own diagnostics go to the log at Debug instead of the standard
// error stream.
//
// Thread safety: as ICaptureSource. All ALSA calls on the device happen
// under the source's mutex. The clock must outlive the source.
#ifndef TL_CORE_AUDIO_ALSA_CAPTURE_SOURCE_H_
#define TL_CORE_AUDIO_ALSA_CAPTURE_SOURCE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "core/audio/worker_capture_source.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"

typedef struct _snd_pcm snd_pcm_t;

namespace tembrolexinsdk {

class AlsaCaptureSource final : public WorkerCaptureSource {
 public:
  explicit AlsaCaptureSource(std::string device, const Clock& clock = Clock::real());
  ~AlsaCaptureSource() override;

  std::string describe() const override { return "alsa:" + device_; }
  // Opens the device briefly and tries each rate of the SampleRate table.
  // Throws std::runtime_error "Cannot open ALSA capture device <name>:
  // <reason>" when it does not open.
  unsigned short availableRates() override;

  // ALSA's text for a status of this source.
  static std::string statusText(int status);

 private:
  int openDevice(int rateHz, unsigned frames, unsigned bufferCount) override;
  int startDevice() override;
  int pauseDevice() override;
  int stopDevice() override;
  int flushDevice() override { return kOk; }
  void closeDevice() override;
  void captureStep(std::unique_lock<tembrolexin::Mutex>& lock) override;

  const std::string device_;
  const Clock* clock_;
  snd_pcm_t* pcm_ = nullptr;
  int rateHz_ = 0;
  std::vector<int16_t> block_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_ALSA_CAPTURE_SOURCE_H_
