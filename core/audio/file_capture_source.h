// FileCaptureSource: plays a recording (or silence) as if it were a
// microphone. Buffers of the opened length are delivered on the source's
// worker thread, paced by the injected Clock: buffer n is due n buffer
// lengths after start (real time), or back to back as fast as the sink takes
// them when pacing is off (heldBySink: the recorder then holds the source
// while the decoder has no room, so nothing is lost). At the end of the
// recording the source starts over (loop) or goes on with silence, which
// is always paced.
//
// Raw files carry no rate and are played at whatever rate the source is
// opened with; a WAV file offers its own rate only, and opening it at
// another rate fails with -22 (-EINVAL).
//
// Each buffer's stamp is valid and tells when its first sample was due
// (paced) or the time of delivery (unpaced).
//
// Thread safety: as ICaptureSource. The clock must outlive the source.
#ifndef TL_CORE_AUDIO_FILE_CAPTURE_SOURCE_H_
#define TL_CORE_AUDIO_FILE_CAPTURE_SOURCE_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/audio/audio_file_reader.h"
#include "core/audio/worker_capture_source.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"

namespace tembrolexinsdk {

class FileCaptureSource final : public WorkerCaptureSource {
 public:
  struct Options {
    bool paced = true;
    bool loop = false;
  };

  // Throws std::runtime_error when the file cannot be read (AudioFileReader).
  FileCaptureSource(const std::string& path, Options options, const Clock& clock = Clock::real());
  // Paced silence without end, at any rate.
  static std::unique_ptr<FileCaptureSource> silence(const Clock& clock = Clock::real());
  ~FileCaptureSource() override;

  std::string describe() const override;
  // The WAV file's rate, or every rate from 8 kHz to 192 kHz.
  unsigned short availableRates() override;
  // True for a recording played as fast as it is taken.
  bool heldBySink() const override { return reader_ != nullptr && !options_.paced; }

 private:
  explicit FileCaptureSource(const Clock& clock);

  int openDevice(int rateHz, unsigned frames, unsigned bufferCount) override;
  int startDevice() override;
  int pauseDevice() override { return kOk; }
  int stopDevice() override { return kOk; }
  int flushDevice() override { return kOk; }
  void closeDevice() override {}
  void captureStep(std::unique_lock<tembrolexin::Mutex>& lock) override;

  // Steady time of sample `n` counted from the start.
  std::chrono::steady_clock::time_point sampleTime(uint64_t n) const;
  // Fills block_ with the next samples of the recording or silence.
  void fillBlock();

  const Clock* clock_;
  std::string path_;
  std::unique_ptr<AudioFileReader> reader_;  // null: silence only
  Options options_;
  bool ended_ = false;
  int rateHz_ = 0;
  std::vector<int16_t> block_;
  std::chrono::steady_clock::time_point epoch_;
  uint64_t sent_ = 0;  // samples delivered since epoch_
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_FILE_CAPTURE_SOURCE_H_
