// AudioFileReader: reads a recording as 16-bit mono samples, block by block.
//
// Two kinds of file: a 16-bit PCM WAV file (RIFF "WAVE" with a "fmt " chunk of
// format 1, or of the extensible format with the PCM sub-format, before its
// "data" chunk; several channels are averaged into one), and, where the
// caller accepts them (Accept::kWavOrRaw), headerless 16-bit samples in host
// byte order (the system's own raw recordings; an odd last byte is ignored).
// A WAV file knows its rate; a raw file does not (rateHz() answers 0). By
// default only WAV files are read, so that an app that takes the rate from
// the file never gets 0 for a file of another kind.
//
// A "data" chunk that claims more than the file holds (a recording cut off)
// is read to the end of the file, with a Warning under "AudioFileReader"
// naming the file and the bytes missing. Streaming writers, which cannot go
// back to fill the size in, leave 0xFFFFFFFF or 0: both are read to the end
// of the file without a word, 0 only when no chunk follows (an empty data
// chunk followed by other chunks stays empty).
//
// Memory stays bounded: the file is read as needed, never held whole.
//
// Thread safety: none; one thread at a time.
#ifndef TL_CORE_AUDIO_AUDIO_FILE_READER_H_
#define TL_CORE_AUDIO_AUDIO_FILE_READER_H_

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace tembrolexinsdk {

class AudioFileReader {
 public:
  enum class Accept { kWav, kWavOrRaw };

  // Throws std::runtime_error "Cannot read audio file <path>: <reason>" when
  // the file does not open (the system's reason), is a folder or empty, is a
  // WAV file of another kind (compressed, 8/24/32-bit, no data, broken
  // chunks), or, with Accept::kWav, is no WAV file at all.
  explicit AudioFileReader(const std::string& path, Accept accept = Accept::kWav);

  int rateHz() const { return rateHz_; }
  bool isWav() const { return wav_; }
  // Samples per channel in the file.
  uint64_t frameCount() const { return dataBytes_ / frameBytes_; }

  // Reads up to `frames` samples into `out` from the current position;
  // returns how many it read (0 at the end or when the file fails).
  std::size_t read(int16_t* out, std::size_t frames);
  // Back to the first sample.
  void rewind();

 private:
  [[noreturn]] void fail(const std::string& reason) const;
  void parseWav(uint64_t fileBytes);
  // Whether a whole chunk (a printable name, a size within the file) starts
  // at `at`.
  bool chunkAt(uint64_t at, uint64_t fileBytes);

  std::string path_;
  std::ifstream file_;
  bool wav_ = false;
  int rateHz_ = 0;
  unsigned channels_ = 1;
  unsigned frameBytes_ = 2;
  uint64_t dataOffset_ = 0;
  uint64_t dataBytes_ = 0;
  uint64_t position_ = 0;  // bytes read from the data
  std::vector<unsigned char> scratch_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_AUDIO_FILE_READER_H_
