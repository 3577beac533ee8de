#include "core/decoder/convolutional_code.h"

#include <bit>
#include <cstdlib>
#include <cstring>

namespace tembrolexinsdk {
namespace {

// Largest magnitude of one soft value's metric; bounds the path metrics.
constexpr int kMaxSoftMetric = 50;

struct MetricRange {
  int last;   // last soft value of the range
  int value;  // metric for an expected 0
};

// The metric falls slowly for soft values that agree with the expected bit
// and steeply for confident disagreement.
constexpr MetricRange kMetricRanges[] = {
    {90, 4},    {108, 3},   {118, 2},   {125, 1},   {130, 0},   {135, -1},
    {139, -2},  {143, -3},  {147, -4},  {150, -5},  {153, -6},  {157, -7},
    {160, -8},  {163, -9},  {166, -10}, {169, -11}, {172, -12}, {175, -13},
    {178, -14}, {180, -15}, {183, -16}, {186, -17}, {189, -18}, {192, -19},
    {194, -20}, {197, -21}, {200, -22}, {203, -23}, {205, -24}, {208, -25},
    {211, -26}, {214, -27}, {216, -28}, {219, -29}, {222, -30}, {225, -31},
    {227, -32}, {230, -33}, {233, -34}, {236, -35}, {238, -36}, {241, -37},
    {244, -38}, {247, -39}, {249, -40}, {252, -41}, {254, -42}, {255, -50}};

struct MetricTable {
  int16_t m[256];
  constexpr MetricTable() : m() {
    int s = 0;
    for (const MetricRange& r : kMetricRanges) {
      for (; s <= r.last; ++s) m[s] = static_cast<int16_t>(r.value);
    }
  }
};

constexpr MetricTable kMetric;

int roundUp4(long bytes) { return static_cast<int>((bytes + 3) & ~3L); }

int parity(uint32_t x) { return std::popcount(x) & 1; }

void freeWork(ConvolutionalCodec* c) {
  if (c->ownsWork) {
    std::free(c->branchMetrics);
    std::free(c->decisions);
    std::free(c->metricsA);
    std::free(c->metricsB);
  }
  c->branchMetrics = nullptr;
  c->decisions = nullptr;
  c->metricsA = c->metricsB = nullptr;
  c->ownsWork = 0;
}

bool validParams(const ConvolutionalCodeParams* p) {
  const int k = p->constraintLength;
  const int g = p->generatorCount;
  if (k < 2 || k > kMaxConvConstraint || g < 1 || g > kMaxConvGenerators ||
      p->wrapLength < 0) {
    return false;
  }
  for (int j = 0; j < g; ++j) {
    if (p->generators[j] == 0 || (p->generators[j] >> k) != 0) return false;
  }
  return true;
}

bool validForDecoding(const ConvolutionalCodeParams* p, const ConvCodewordSize* s) {
  const int k = p->constraintLength;
  if (k > kMaxViterbiConstraint) return false;
  const uint32_t ends = 1u | (1u << (k - 1));
  for (int j = 0; j < p->generatorCount; ++j) {
    if ((p->generators[j] & ends) != ends) return false;
  }
  if (s->symbolBits < 1 || s->symbolBits > 8 || s->codeSymbols < 1) return false;
  const long steps = static_cast<long>(s->symbolBits) * s->codeSymbols +
                     2L * p->wrapLength + k - 1;
  return steps * p->generatorCount * kMaxSoftMetric < 32768;
}

int workBytes(const ConvolutionalCodec* c, int* metricsBytes, int* decisionBytes,
              int* stateBytes) {
  const ConvolutionalCodeParams* p = c->params;
  *metricsBytes = roundUp4(2L << p->generatorCount);
  *decisionBytes = roundUp4(static_cast<long>(c->trellisSteps - p->wrapLength) *
                            c->decisionWords * 4);
  *stateBytes = roundUp4(2L << (p->constraintLength - 1));
  return *metricsBytes + *decisionBytes + 2 * *stateBytes;
}

// ---------------------------------------------------------------------------
// Add-compare-select of one trellis step over the butterflies i = 0 .. h-1
// (h = 2^(K-2)): new state 2i takes the better of old i + metric(label 2i)
// and old i + h + metric(label 2i + 1), new state 2i + 1 the better of old
// i + metric(label 2i + 1) and old i + h + metric(label 2i); the decision bit
// of a new state is 1 only when the path from i + h is strictly larger.
// Decision bit s sits in word s / 32, bit s % 32.

// Largest state count run through the flat form, whose per-step arrays live
// on the stack.
constexpr int kFlatMaxStates = 1024;

// Eight 0/1 bytes to eight bits, byte j to bit j: each byte's bit lands on
// a distinct position of the product, so nothing carries.
inline uint32_t packFlags8(const uint8_t* flags) {
  uint64_t v;
  std::memcpy(&v, flags, sizeof(v));
  return static_cast<uint32_t>((v * 0x0102040810204080ULL) >> 56);
}

// Flat form: the branch metrics of each butterfly are laid out first (m0
// for labels 2i, m1 for labels 2i + 1), so that the add-compare-select is
// one loop over contiguous arrays (vectorisable), and the decisions are
// packed afterwards.
void acsFlat(const int16_t* oldM, int16_t* newM, const int16_t* m0, const int16_t* m1,
             int half, uint32_t* dec, int words) {
  uint8_t upper[kFlatMaxStates];
  const int16_t* lowerM = oldM;
  const int16_t* upperM = oldM + half;
  for (int i = 0; i < half; ++i) {
    const int16_t even0 = static_cast<int16_t>(lowerM[i] + m0[i]);
    const int16_t even1 = static_cast<int16_t>(upperM[i] + m1[i]);
    const int16_t odd0 = static_cast<int16_t>(lowerM[i] + m1[i]);
    const int16_t odd1 = static_cast<int16_t>(upperM[i] + m0[i]);
    newM[2 * i] = even1 > even0 ? even1 : even0;
    newM[2 * i + 1] = odd1 > odd0 ? odd1 : odd0;
    upper[2 * i] = even1 > even0 ? 1 : 0;
    upper[2 * i + 1] = odd1 > odd0 ? 1 : 0;
  }
  if (dec == nullptr) return;
  const int states = 2 * half;
  if (states < 8) {
    uint32_t bits = 0;
    for (int s = 0; s < states; ++s) bits |= static_cast<uint32_t>(upper[s]) << s;
    dec[0] = bits;
    return;
  }
  const int groups = states < 32 ? states / 8 : 4;  // bytes of a word in use
  for (int w = 0; w < words; ++w) {
    uint32_t bits = 0;
    for (int b = 0; b < groups; ++b) bits |= packFlags8(upper + 32 * w + 8 * b) << (8 * b);
    dec[w] = bits;
  }
}

// Butterfly metrics looked up label by label in the step's 2^G table.
void gatherMetrics(const int16_t* bm, const uint16_t* labels, int half, int16_t* m0,
                   int16_t* m1) {
  for (int i = 0; i < half; ++i) {
    m0[i] = bm[labels[2 * i]];
    m1[i] = bm[labels[2 * i + 1]];
  }
}

// Codes with few generators skip the table lookup, which does not
// vectorise: a label's metric is the sum over generators j of lo[j] (the
// metric of an expected 0) plus, where the label's bit j is 1, diff[j] (that
// of an expected 1 minus lo[j]). masks holds, per generator, 0 or -1 for the
// even labels of the butterflies and then for the odd ones.
constexpr int kMaskMaxGenerators = 4;

void buildLabelMasks(const uint16_t* labels, int g, int half, int16_t* masks) {
  for (int j = 0; j < g; ++j) {
    const int shift = g - 1 - j;
    int16_t* even = masks + static_cast<long>(j) * 2 * half;
    int16_t* odd = even + half;
    for (int i = 0; i < half; ++i) {
      even[i] = static_cast<int16_t>(-((labels[2 * i] >> shift) & 1));
      odd[i] = static_cast<int16_t>(-((labels[2 * i + 1] >> shift) & 1));
    }
  }
}

void maskedMetrics(const int16_t* masks, const int16_t* lo, const int16_t* diff, int g,
                   int half, int16_t* m0, int16_t* m1) {
  int16_t base = 0;
  for (int j = 0; j < g; ++j) base = static_cast<int16_t>(base + lo[j]);
  for (int i = 0; i < half; ++i) m0[i] = m1[i] = base;
  for (int j = 0; j < g; ++j) {
    const int16_t d = diff[j];
    const int16_t* even = masks + static_cast<long>(j) * 2 * half;
    const int16_t* odd = even + half;
    for (int i = 0; i < half; ++i) {
      m0[i] = static_cast<int16_t>(m0[i] + (even[i] & d));
      m1[i] = static_cast<int16_t>(m1[i] + (odd[i] & d));
    }
  }
}

// Per-word form for large state counts: the same selection, each decision
// word built in a register.
void acsPerWord(const int16_t* oldM, int16_t* newM, const int16_t* bm,
                const uint16_t* labels, int half, uint32_t* dec, int words) {
  const int perWord = half < 16 ? half : 16;  // butterflies per decision word
  for (int w = 0; w < words; ++w) {
    uint32_t bits = 0;
    const int first = w * perWord;
    for (int j = 0; j < perWord; ++j) {
      const int i = first + j;
      const int16_t m0 = bm[labels[2 * i]];
      const int16_t m1 = bm[labels[2 * i + 1]];
      const int16_t a = oldM[i];
      const int16_t b = oldM[i + half];
      const int16_t even0 = static_cast<int16_t>(a + m0);
      const int16_t even1 = static_cast<int16_t>(b + m1);
      const int16_t odd0 = static_cast<int16_t>(a + m1);
      const int16_t odd1 = static_cast<int16_t>(b + m0);
      const bool evenUpper = even1 > even0;
      const bool oddUpper = odd1 > odd0;
      newM[2 * i] = evenUpper ? even1 : even0;
      newM[2 * i + 1] = oddUpper ? odd1 : odd0;
      bits |= (static_cast<uint32_t>(evenUpper) << (2 * j)) |
              (static_cast<uint32_t>(oddUpper) << (2 * j + 1));
    }
    if (dec != nullptr) dec[w] = bits;
  }
}

}  // namespace

int convSoftMetric(int soft) {
  if (soft < 0) soft = 0;
  if (soft > 255) soft = 255;
  return kMetric.m[soft];
}

int convInit(ConvolutionalCodec* codec, const ConvolutionalCodeParams* params,
             const ConvCodewordSize* size, int allocate) {
  if (codec == nullptr) return 0;
  std::memset(codec, 0, sizeof(*codec));
  if (params == nullptr || !validParams(params)) return 0;
  if (size != nullptr && !validForDecoding(params, size)) return 0;
  const int k = params->constraintLength;
  codec->params = params;
  codec->decisionWords = k > 5 ? 1 << (k - 6) : 1;
  if (size != nullptr) {
    codec->symbolBits = size->symbolBits;
    codec->codeSymbols = size->codeSymbols;
    codec->trellisSteps = size->symbolBits * size->codeSymbols + 2 * params->wrapLength;
  }
  if (k <= kMaxViterbiConstraint) {
    const int labels = 1 << k;
    codec->branchLabels = static_cast<uint16_t*>(std::calloc(labels, sizeof(uint16_t)));
    if (codec->branchLabels == nullptr) {
      convClose(codec);
      return 0;
    }
    const int g = params->generatorCount;
    for (int r = 0; r < labels; ++r) {
      uint16_t label = 0;
      for (int j = 0; j < g; ++j) {
        label = static_cast<uint16_t>((label << 1) | parity(params->generators[j] & r));
      }
      codec->branchLabels[r] = label;
    }
  }
  if (allocate != 0 && codec->trellisSteps > 0) {
    int metricsBytes, decisionBytes, stateBytes;
    workBytes(codec, &metricsBytes, &decisionBytes, &stateBytes);
    codec->ownsWork = 1;
    codec->branchMetrics = static_cast<int16_t*>(std::malloc(metricsBytes));
    codec->decisions = static_cast<uint32_t*>(std::malloc(decisionBytes));
    codec->metricsA = static_cast<int16_t*>(std::malloc(stateBytes));
    codec->metricsB = static_cast<int16_t*>(std::malloc(stateBytes));
    if (!codec->branchMetrics || !codec->decisions || !codec->metricsA ||
        !codec->metricsB) {
      convClose(codec);
      return 0;
    }
  }
  return 1;
}

void convClose(ConvolutionalCodec* codec) {
  if (codec == nullptr) return;
  freeWork(codec);
  std::free(codec->branchLabels);
  std::memset(codec, 0, sizeof(*codec));
}

int convScratch(ConvolutionalCodec* codec, void* pad) {
  if (codec == nullptr || codec->params == nullptr || codec->trellisSteps == 0) return 0;
  int metricsBytes, decisionBytes, stateBytes;
  const int total = workBytes(codec, &metricsBytes, &decisionBytes, &stateBytes);
  if (pad != nullptr) {
    freeWork(codec);
    uint8_t* at = static_cast<uint8_t*>(pad);
    codec->branchMetrics = reinterpret_cast<int16_t*>(at);
    at += metricsBytes;
    codec->decisions = reinterpret_cast<uint32_t*>(at);
    at += decisionBytes;
    codec->metricsA = reinterpret_cast<int16_t*>(at);
    at += stateBytes;
    codec->metricsB = reinterpret_cast<int16_t*>(at);
  }
  return total;
}

int convEncode(const ConvolutionalCodec* codec, const uint8_t* symbols, int m,
               int count, uint8_t* out) {
  if (codec == nullptr || codec->params == nullptr || m < 1 || m > 8 || count < 0 ||
      (count > 0 && (symbols == nullptr || out == nullptr))) {
    return -1;
  }
  if (count == 0) return 0;
  const ConvolutionalCodeParams* p = codec->params;
  const int g = p->generatorCount;
  uint32_t reg = 0;
  // Prime with the block's last ceil(K/m) symbols, taken cyclically, so that
  // the register starts in the state in which the block ends.
  const int prime = (p->constraintLength + m - 1) / m;
  for (int i = 0; i < prime; ++i) {
    const int idx = ((count - prime + i) % count + count) % count;
    for (int b = m - 1; b >= 0; --b) reg = (reg << 1) | ((symbols[idx] >> b) & 1u);
  }
  int w = 0;
  for (int i = 0; i < count; ++i) {
    for (int b = m - 1; b >= 0; --b) {
      reg = (reg << 1) | ((symbols[i] >> b) & 1u);
      for (int j = 0; j < g; ++j) out[w++] = static_cast<uint8_t>(parity(p->generators[j] & reg));
    }
  }
  return w;
}

int viterbiDecode(ConvolutionalCodec* codec, uint8_t* out, const uint8_t* soft,
                  int softCount) {
  if (codec == nullptr || codec->params == nullptr || codec->trellisSteps == 0 ||
      codec->branchLabels == nullptr || codec->decisions == nullptr ||
      codec->branchMetrics == nullptr || codec->metricsA == nullptr ||
      codec->metricsB == nullptr || out == nullptr || soft == nullptr || softCount < 0) {
    return -1;
  }
  const ConvolutionalCodeParams* p = codec->params;
  const int g = p->generatorCount;
  const int k = p->constraintLength;
  const int m = codec->symbolBits;
  const int symbolsOut = softCount / g / m;
  if (symbolsOut < 1) return 0;
  if (symbolsOut > codec->codeSymbols) return -1;

  const int steps = symbolsOut * m;  // the block's own trellis steps
  const int wrap = p->wrapLength;
  const int warmUp = wrap + k - 1;
  const int total = steps + wrap + warmUp;  // T + K - 1 with T = steps + 2L
  const int half = 1 << (k - 2);
  const int states = 1 << (k - 1);
  const int labelCount = 1 << g;
  const int words = codec->decisionWords;

  int16_t* oldM = codec->metricsA;
  int16_t* newM = codec->metricsB;
  for (int s = 0; s < states; ++s) oldM[s] = 0;

  const uint16_t* labels = codec->branchLabels;
  int16_t* bm = codec->branchMetrics;
  const bool flat = states <= kFlatMaxStates;
  const bool masked = flat && g <= kMaskMaxGenerators;
  int16_t masks[kMaskMaxGenerators * kFlatMaxStates];
  int16_t m0[kFlatMaxStates / 2];
  int16_t m1[kFlatMaxStates / 2];
  int16_t lo[kMaskMaxGenerators];
  int16_t diff[kMaskMaxGenerators];
  if (masked) buildLabelMasks(labels, g, half, masks);
  // Block step of the first trellis step, reduced into the block; the soft
  // values wrap around the block from there.
  int at = ((-warmUp % steps) + steps) % steps;
  for (int t = 0; t < total; ++t) {
    const int blockStep = t - warmUp;
    const uint8_t* sv = soft + static_cast<long>(at) * g;
    if (++at == steps) at = 0;
    if (masked) {
      for (int j = 0; j < g; ++j) {
        lo[j] = kMetric.m[sv[j]];
        diff[j] = static_cast<int16_t>(kMetric.m[255 - sv[j]] - lo[j]);
      }
    } else {
      for (int label = 0; label < labelCount; ++label) {
        int sum = 0;
        for (int j = 0; j < g; ++j) {
          const int bit = (label >> (g - 1 - j)) & 1;
          sum += kMetric.m[bit ? 255 - sv[j] : sv[j]];
        }
        bm[label] = static_cast<int16_t>(sum);
      }
    }
    uint32_t* dec =
        blockStep >= 0 ? codec->decisions + static_cast<long>(blockStep) * words : nullptr;
    // Path metrics stay within ±(T + K - 1)·G·50 < 2^15 (checked by
    // convInit), so every sum below is exact in 16 bits.
    if (flat) {
      if (masked) {
        maskedMetrics(masks, lo, diff, g, half, m0, m1);
      } else {
        gatherMetrics(bm, labels, half, m0, m1);
      }
      acsFlat(oldM, newM, m0, m1, half, dec, words);
    } else {
      acsPerWord(oldM, newM, bm, labels, half, dec, words);
    }
    int16_t* swap = oldM;
    oldM = newM;
    newM = swap;
  }

  int state = 0;
  for (int s = 1; s < states; ++s) {
    if (oldM[s] > oldM[state]) state = s;
  }
  for (int i = 0; i < symbolsOut; ++i) out[i] = 0;
  for (int t = steps + wrap - 1; t >= 0; --t) {
    if (t < steps) {
      out[t / m] = static_cast<uint8_t>(out[t / m] | ((state & 1) << (m - 1 - t % m)));
    }
    const uint32_t* dec = codec->decisions + static_cast<long>(t) * words;
    const int fromUpper = (dec[state >> 5] >> (state & 31)) & 1;
    state = (state >> 1) + (fromUpper ? half : 0);
  }
  return symbolsOut;
}

}  // namespace tembrolexinsdk
