// Reading recordings for the command-line tools: whole regular files, 16-bit
// PCM WAV files, and range-checked numbers from the command line.
//
// Plain functions without state; any thread. Failures come back as false
// with a one-line reason in `error`.
#ifndef TL_TOOLS_SIGNAL_WAV_FILE_H_
#define TL_TOOLS_SIGNAL_WAV_FILE_H_

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
// chunk cut short by the file's end is read as far as it goes.
bool parseWav(const std::vector<uint8_t>& bytes, Audio* audio, std::string* error);

// The whole of `text` as a decimal integer (an optional minus sign and
// digits, nothing else) within [min, max]; false otherwise, also for a value
// beyond 64 bits.
bool parseIntInRange(const char* text, int64_t min, int64_t max, int64_t* value);

}  // namespace tltest

#endif  // TL_TOOLS_SIGNAL_WAV_FILE_H_
