// libFuzzer target for decoding end to end: a configuration the reader
// accepts, Tembrolexin_Init2, hostile samples through Tembrolexin_ProcessData
// in hostile block sizes, and the interpretation texts of whatever comes out
// (and of hostile code words, scheme indexes and text sizes).
//
// Input: byte 0 picks one of the test configurations, bytes 1-2 the block
// size (1 to 4096 samples), byte 3 the size of the text buffer (0 to 255),
// bytes 4-11 a code word to interpret; the rest are 16-bit little-endian
// samples. Built by fuzz/CMakeLists.txt; scripts/fuzz.sh runs it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/decoder/decoder_library.h"

using namespace tembrolexinsdk;

namespace {

// The test configurations, by name, read once.
const std::vector<std::string>& configurations() {
  static const std::vector<std::string> paths = [] {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(TL_FUZZ_DATA_DIR)) {
      if (entry.path().extension() == ".cfg") found.push_back(entry.path().string());
    }
    std::sort(found.begin(), found.end());
    return found;
  }();
  return paths;
}

void interpretAll(const DecoderLibraryContext* ctx, int32_t schemes, int64_t codeword,
                  int32_t textSize) {
  // An exactly sized buffer: the interpretation must stay within `textSize`.
  std::unique_ptr<char[]> text(new char[textSize > 0 ? textSize : 1]);
  for (int32_t i = -1; i <= schemes; ++i) {
    Tembrolexin_interpretCodewordStr(ctx, i, codeword, text.get(), textSize);
    CodewordInterpretation result;
    Tembrolexin_interpretCodeword(ctx, i, codeword, &result);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kHeader = 12;
  const auto& configs = configurations();
  if (size < kHeader || configs.empty() || size > (1u << 22)) return 0;
  const std::string& config = configs[data[0] % configs.size()];
  const int32_t block = 1 + ((data[1] | (data[2] << 8)) % 4096);
  const int32_t textSize = data[3];
  int64_t codeword = 0;
  std::memcpy(&codeword, data + 4, sizeof codeword);

  std::unique_ptr<DecoderLibraryContext, void (*)(DecoderLibraryContext*)> ctx(
      Tembrolexin_Init2(config.c_str(), 1), Tembrolexin_Close);
  if (!ctx) return 0;
  const int32_t schemes = Tembrolexin_NEncodingSchemes(ctx.get());
  interpretAll(ctx.get(), schemes, codeword, textSize);

  std::vector<PerformanceData> records(static_cast<size_t>(schemes));
  const size_t count = (size - kHeader) / 2;
  for (size_t at = 0; at < count; at += static_cast<size_t>(block)) {
    const int32_t n = static_cast<int32_t>(std::min<size_t>(block, count - at));
    // Exactly sized: the decoder reads and overwrites the block in place.
    std::unique_ptr<int16_t[]> samples(new int16_t[static_cast<size_t>(n)]);
    std::memcpy(samples.get(), data + kHeader + 2 * at, 2 * static_cast<size_t>(n));
    Tembrolexin_ProcessData(ctx.get(), samples.get(), n, records.data());
    for (int32_t i = 0; i < schemes; ++i) {
      if (records[static_cast<size_t>(i)].msg >= 0) {
        interpretAll(ctx.get(), schemes, records[static_cast<size_t>(i)].msg, textSize);
      }
    }
  }
  return 0;
}
