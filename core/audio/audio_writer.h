// AudioWriter: records the buffers a processor receives to raw sample files
// for diagnosis: the 16-bit samples of consecutive buffers in host byte
// order, without a header, in "HybridAudioSamples.<ms>.raw" in the output
// folder, where <ms> is the steady-clock time of the first buffer written.
//
// Thread safety: none; one thread at a time (the owning processor's).
#ifndef TL_CORE_AUDIO_AUDIO_WRITER_H_
#define TL_CORE_AUDIO_AUDIO_WRITER_H_

#include <chrono>
#include <fstream>
#include <string>

#include "core/runtime/log.h"

namespace tembrolexinsdk {

class AudioWriter {
 public:
  AudioWriter(Log log, std::string outputFolder, bool record);
  // Closes the file.
  ~AudioWriter();

  AudioWriter(const AudioWriter&) = delete;
  AudioWriter& operator=(const AudioWriter&) = delete;

  void setLogger(Log log);
  // Stores the folder. When not recording, deletes the earlier recordings of
  // writers in it ("HybridAudioSamples.*.raw"); other files stay.
  void setOutputFolder(const std::string& folder);
  void toggleRecording(bool record);
  bool isRecording() const { return record_; }

  // When recording: opens the file at the first call (named after `time`)
  // and appends the samples. Nothing is written while the file cannot be
  // opened; each attempt is logged.
  void write(const short* samples, unsigned count, std::chrono::steady_clock::time_point time);
  // Opens (truncating) the file named after `time`; true when open.
  bool open(std::chrono::steady_clock::time_point time);
  // Flushes and closes the file when open.
  void close();

  // The file name for a first buffer at `time`.
  static std::string fileName(std::chrono::steady_clock::time_point time);

 private:
  Log log_;
  std::string outputFolder_;
  std::ofstream file_;
  bool record_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_AUDIO_WRITER_H_
