#include "core/decoder/codeword_codec.h"

#include <cstdlib>
#include <cstring>

#include "core/decoder/binary_code.h"

namespace tembrolexinsdk {
namespace {

int32_t roundUp4(int32_t bytes) { return (bytes + 3) & ~3; }

int32_t codedBitCount(const CodewordCodecParams* p) {
  return p->codeSymbols * p->bitsPerSymbol * p->conv.generatorCount;
}

bool validParams(const CodewordCodecParams* p) {
  const int32_t m = p->bitsPerSymbol;
  const int32_t n = p->codeSymbols;
  const int32_t k = p->infoSymbols;
  if (m < 1 || m > 8 || n < 1 || n > kMaxCodeSymbols || k < 1 || k > n || k * m > 64) {
    return false;
  }
  if (m == 1) {
    if (p->generatorRows == nullptr || p->checkColumns == nullptr ||
        p->puncturedCount < 0 || p->puncturedCount > kMaxBinaryPunctured ||
        (p->puncturedCount > 0 && p->puncturedPositions == nullptr)) {
      return false;
    }
    for (int32_t i = 0; i < p->puncturedCount; ++i) {
      const int32_t pos = p->puncturedPositions[i];
      if (pos < 0 || pos >= n || (i > 0 && pos <= p->puncturedPositions[i - 1])) return false;
    }
  } else if (n > (1 << m) - 1) {
    return false;
  }
  if (p->symbolOrder == nullptr) return false;
  uint32_t seen = 0;
  for (int32_t i = 0; i < n; ++i) {
    const int32_t s = p->symbolOrder[i];
    if (s >= n || (seen & (1u << s)) != 0) return false;
    seen |= 1u << s;
  }
  if (p->convBlockCount < 1 || p->convBlockCount > n || p->convBlockLengths == nullptr) {
    return false;
  }
  int32_t total = 0;
  for (int32_t b = 0; b < p->convBlockCount; ++b) {
    if (p->convBlockLengths[b] < 1 || p->convBlockLengths[b] > n) return false;
    total += p->convBlockLengths[b];
  }
  if (total != n) return false;
  const int32_t g = p->conv.generatorCount;
  if (g < 1 || g > kMaxConvGenerators) return false;
  const int64_t coded = codedBitCount(p);
  if (p->interleaverRows < 1 || p->interleaverColumns < 1 ||
      static_cast<int64_t>(p->interleaverRows) * p->interleaverColumns != coded) {
    return false;
  }
  if (p->interleaverTable != nullptr) {
    for (int32_t r = 0; r < p->interleaverRows; ++r) {
      if (p->interleaverTable[r] >= coded) return false;
    }
  }
  return true;
}

// Size of the region after the block codes' work areas: symbols and coded
// bits share its start (they are never needed at the same time), the
// channel-order symbols take its last n bytes.
int32_t bufferRegion(const CodewordCodecParams* p) {
  const int32_t twice = 2 * roundUp4(p->codeSymbols);
  const int32_t coded = roundUp4(codedBitCount(p));
  return twice > coded ? twice : coded;
}

// Channel position of coded bit r·C + c.
int32_t channelPosition(const CodewordCodecParams* p, int32_t r, int32_t c) {
  if (p->interleaverTable != nullptr) return p->interleaverTable[r];
  return r + p->interleaverRows * c;
}

bool buffersPlaced(const CodewordCodec* c) {
  return c->symbols != nullptr && c->orderedSymbols != nullptr && c->codedBits != nullptr;
}

void freeBuffers(CodewordCodec* c) {
  if (c->ownsBuffers) {
    std::free(c->symbols);
    std::free(c->orderedSymbols);
    std::free(c->codedBits);
  }
  c->symbols = c->orderedSymbols = c->codedBits = nullptr;
  c->ownsBuffers = 0;
}

// Bit i set when channel symbol i (code symbol symbolOrder[i]) is set in the
// code-order mask.
uint32_t toChannelOrder(const CodewordCodecParams* p, uint32_t codeMask) {
  uint32_t mask = 0;
  for (int32_t i = 0; i < p->codeSymbols; ++i) {
    if ((codeMask >> p->symbolOrder[i]) & 1u) mask |= 1u << i;
  }
  return mask;
}

// The corrected symbols must sit inside one cyclic window of `limit`
// consecutive channel symbols.
bool fitsBurstWindow(uint32_t mask, int32_t n, int32_t limit) {
  const int32_t outside = n - limit;
  if (outside <= 0) return true;
  const uint32_t low = (1u << outside) - 1u;
  for (int32_t i = 0; i < n; ++i) {
    mask = (mask >> 1) | ((mask & 1u) << (n - 1));
    if ((mask & low) == 0) return true;
  }
  return false;
}

}  // namespace

int32_t codewordChannelBitCount(const CodewordCodecParams* params) {
  if (params == nullptr) return 0;
  return params->interleaverRows * params->interleaverColumns;
}

CodewordCodec* createCodewordCodec(const CodewordCodecParams* params, int allocate) {
  if (params == nullptr || !validParams(params)) return nullptr;
  CodewordCodec* codec = static_cast<CodewordCodec*>(std::calloc(1, sizeof(CodewordCodec)));
  if (codec == nullptr) return nullptr;
  codec->params = params;
  const int32_t m = params->bitsPerSymbol;
  const int32_t n = params->codeSymbols;
  if (m >= 2) {
    if (reedSolomonInit(&codec->reedSolomon, m, n, params->infoSymbols, allocate) != 1) {
      deleteCodewordCodec(codec);
      return nullptr;
    }
    codec->hasReedSolomon = 1;
  }
  // Each block is its own tail-biting trellis of m·len + 2L steps: the
  // decoder's decisions and its 16-bit metric bound are those of the longest
  // block, not of all n symbols in one trellis.
  int32_t longest = 0;
  for (int32_t b = 0; b < params->convBlockCount; ++b) {
    if (params->convBlockLengths[b] > longest) longest = params->convBlockLengths[b];
  }
  const ConvCodewordSize size{m, longest};
  if (convInit(&codec->conv, &params->conv, &size, allocate) != 1) {
    deleteCodewordCodec(codec);
    return nullptr;
  }
  if (allocate != 0) {
    codec->ownsBuffers = 1;
    codec->symbols = static_cast<uint8_t*>(std::calloc(n, 1));
    codec->orderedSymbols = static_cast<uint8_t*>(std::calloc(n, 1));
    codec->codedBits = static_cast<uint8_t*>(std::calloc(codedBitCount(params), 1));
    if (!buffersPlaced(codec)) {
      deleteCodewordCodec(codec);
      return nullptr;
    }
  }
  return codec;
}

void deleteCodewordCodec(CodewordCodec* codec) {
  if (codec == nullptr) return;
  if (codec->hasReedSolomon) reedSolomonClose(&codec->reedSolomon);
  convClose(&codec->conv);
  freeBuffers(codec);
  std::free(codec);
}

int32_t assignCodecScratchPad(CodewordCodec* codec, void* pad) {
  if (codec == nullptr) return 0;
  const int32_t rs = codec->hasReedSolomon ? reedSolomonScratch(&codec->reedSolomon, pad) : 0;
  const int32_t cv = convScratch(&codec->conv, pad);
  const int32_t shared = rs > cv ? rs : cv;
  const int32_t region = bufferRegion(codec->params);
  if (pad != nullptr) {
    freeBuffers(codec);
    uint8_t* at = static_cast<uint8_t*>(pad) + shared;
    codec->symbols = at;
    codec->codedBits = at;
    codec->orderedSymbols = at + region - codec->params->codeSymbols;
  }
  return shared + region;
}

int32_t encodeCodeword(CodewordCodec* codec, uint64_t value, uint8_t* channelBits) {
  if (codec == nullptr || channelBits == nullptr || !buffersPlaced(codec)) return -1;
  const CodewordCodecParams* p = codec->params;
  const int32_t m = p->bitsPerSymbol;
  const int32_t n = p->codeSymbols;
  const int32_t k = p->infoSymbols;
  const int32_t g = p->conv.generatorCount;
  const uint32_t symbolMask = (1u << m) - 1u;
  uint8_t* symbols = codec->symbols;

  for (int32_t i = 0; i < k; ++i) symbols[i] = static_cast<uint8_t>((value >> (m * i)) & symbolMask);
  if (m >= 2) {
    reedSolomonEncode(&codec->reedSolomon, symbols, nullptr);
  } else {
    binaryBlockEncode(symbols, nullptr, n, k, p->generatorRows);
  }
  if (p->invertParity) {
    for (int32_t i = k; i < n; ++i) symbols[i] = static_cast<uint8_t>(symbols[i] ^ symbolMask);
  }
  for (int32_t i = 0; i < n; ++i) codec->orderedSymbols[i] = symbols[p->symbolOrder[i]];

  // Blocks in order; with a scratch pad the coded bits grow over the
  // channel-order symbols only behind the symbols already encoded.
  int32_t offset = 0;
  for (int32_t b = 0; b < p->convBlockCount; ++b) {
    const int32_t len = p->convBlockLengths[b];
    convEncode(&codec->conv, codec->orderedSymbols + offset, m, len,
               codec->codedBits + offset * m * g);
    offset += len;
  }

  const int32_t total = codewordChannelBitCount(p);
  // With an interleaver table several coded bits may share a position and
  // others stay unused: those are sent as 0.
  if (p->interleaverTable != nullptr) std::memset(channelBits, 0, total);
  const int32_t rows = p->interleaverRows;
  const int32_t cols = p->interleaverColumns;
  for (int32_t r = 0; r < rows; ++r) {
    for (int32_t c = 0; c < cols; ++c) {
      channelBits[channelPosition(p, r, c)] = codec->codedBits[r * cols + c];
    }
  }
  return total;
}

uint64_t decodeCodeword(CodewordCodec* codec, const int8_t* softBits,
                        CodewordDecodeResult* result) {
  CodewordDecodeResult local;
  if (result == nullptr) result = &local;
  result->value = 0;
  result->errors = -1;
  result->errorMask = 0xFFFFFFFFu;
  if (codec == nullptr || softBits == nullptr || !buffersPlaced(codec)) return 0;
  const CodewordCodecParams* p = codec->params;
  const int32_t m = p->bitsPerSymbol;
  const int32_t n = p->codeSymbols;
  const int32_t k = p->infoSymbols;
  const int32_t g = p->conv.generatorCount;
  const uint32_t symbolMask = (1u << m) - 1u;

  const int32_t rows = p->interleaverRows;
  const int32_t cols = p->interleaverColumns;
  for (int32_t r = 0; r < rows; ++r) {
    for (int32_t c = 0; c < cols; ++c) {
      int32_t v = 2 * softBits[channelPosition(p, r, c)] + 128;
      if (v < 0) v = 0;
      if (v > 255) v = 255;
      codec->codedBits[r * cols + c] = static_cast<uint8_t>(v);
    }
  }

  // Last block first: with a scratch pad the channel-order symbols share
  // memory with the tail of the coded bits, and a block's decoded symbols
  // only ever land on coded bits of its own or later blocks.
  int32_t end = n;
  for (int32_t b = p->convBlockCount - 1; b >= 0; --b) {
    const int32_t len = p->convBlockLengths[b];
    const int32_t start = end - len;
    viterbiDecode(&codec->conv, codec->orderedSymbols + start,
                  codec->codedBits + start * m * g, len * m * g);
    end = start;
  }

  uint8_t* symbols = codec->symbols;
  for (int32_t i = 0; i < n; ++i) symbols[p->symbolOrder[i]] = codec->orderedSymbols[i];
  if (p->invertParity) {
    for (int32_t i = k; i < n; ++i) symbols[i] = static_cast<uint8_t>(symbols[i] ^ symbolMask);
  }

  int32_t errors;
  uint32_t mask;
  if (m == 1) {
    errors = binaryBlockDecode(symbols, n, p->checkColumns, p->puncturedCount,
                               p->puncturedPositions) == 0 ? 0 : -1;
    mask = 0;
  } else {
    int count = -1;
    const int64_t rsMask = reedSolomonDecode(&codec->reedSolomon, symbols, &count);
    errors = count;
    mask = static_cast<uint32_t>(rsMask);  // -1 gives all ones
    if (errors > p->errorLimit) {
      errors = -1;
    } else if (errors >= 2 && !fitsBurstWindow(toChannelOrder(p, mask), n, p->errorLimit)) {
      errors = -1;
    }
  }

  uint64_t value = 0;
  for (int32_t i = k - 1; i >= 0; --i) value = (value << m) | symbols[i];
  result->value = value;
  result->errors = static_cast<int16_t>(errors);
  result->errorMask = mask;
  return value;
}

}  // namespace tembrolexinsdk
