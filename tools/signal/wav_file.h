// Reading recordings for the command-line tools: whole regular files, 16-bit
// PCM WAV files (whole or block by block), and range-checked numbers from
// the command line.
//
// Plain functions without state, and SampleStream (one thread at a time).
// Failures come back as false with a one-line reason in `error`.
#ifndef TL_TOOLS_SIGNAL_WAV_FILE_H_
#define TL_TOOLS_SIGNAL_WAV_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tltest {

struct Audio {
  std::vector<int16_t> samples;  // mono
  int32_t rateHz = 0;
};

// Every byte of the regular file at `path`. A folder, a named pipe or a
// device is refused ("<path> is not a regular file") without waiting on it.
bool readRegularFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

// A RIFF/WAVE file with 16-bit PCM; several channels are mixed to one. A
// chunk of odd size is followed by a pad byte; when a writer left it out
// (the byte after the chunk does not start a chunk but the chunk's own end
// does), reading goes on at the chunk's end, as most readers do. A data
// chunk cut short by the file's end is read as far as it goes. Streaming
// writers, which cannot go back to fill the data size in, leave 0xFFFFFFFF
// or 0: both are read to the end of the file, 0 only when no chunk follows
// (an empty data chunk followed by other chunks stays empty).
bool parseWav(const std::vector<uint8_t>& bytes, Audio* audio, std::string* error);

// A recording read block by block, so that memory stays the same whatever
// its length: a WAV file as parseWav reads it (the same samples), or
// headerless 16-bit little-endian mono samples at a given rate. Opening
// refuses what readRegularFile refuses, with the same texts.
class SampleStream {
 public:
  SampleStream() = default;
  ~SampleStream();
  SampleStream(const SampleStream&) = delete;
  SampleStream& operator=(const SampleStream&) = delete;

  bool openWav(const std::string& path, std::string* error);
  bool openRaw(const std::string& path, int32_t rateHz, std::string* error);

  int32_t rateHz() const { return rateHz_; }
  int32_t channels() const { return channels_; }
  // Mono samples in the whole recording.
  uint64_t frameCount() const { return dataBytes_ / frameBytes(); }

  // Reads up to `frames` mono samples, fewer only at the end; 0 at the end.
  // A read error ends the stream early and sets error().
  std::size_t read(int16_t* out, std::size_t frames);
  const std::string& error() const { return error_; }
  // Set by openWav for a data chunk that claims more than the file holds (a
  // recording cut off; streaming writers' sizes aside): "<path> is cut off:
  // N bytes of its data chunk are missing (...); what is there is read".
  const std::string& warning() const { return warning_; }

 private:
  bool openFile(const std::string& path, std::string* error);
  uint64_t frameBytes() const { return 2 * static_cast<uint64_t>(channels_); }

  std::string path_;
  int fd_ = -1;
  int32_t rateHz_ = 0;
  int32_t channels_ = 1;
  uint64_t dataOffset_ = 0;
  uint64_t dataBytes_ = 0;
  uint64_t position_ = 0;  // bytes of the data read so far
  std::vector<uint8_t> scratch_;
  std::string error_;
  std::string warning_;
};

// The whole of `text` as a decimal integer (an optional minus sign and
// digits, nothing else) within [min, max]; false otherwise, also for a value
// beyond 64 bits.
bool parseIntInRange(const char* text, int64_t min, int64_t max, int64_t* value);

// The whole of `text` as a finite decimal number ("0.5", "-3", "1e-2")
// within [min, max], read the same in every locale; false otherwise.
bool parseDoubleInRange(const char* text, double min, double max, double* value);

}  // namespace tltest

#endif  // TL_TOOLS_SIGNAL_WAV_FILE_H_
