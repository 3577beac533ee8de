#include "core/decoder/reed_solomon.h"

#include <cstdlib>
#include <cstring>

namespace tembrolexinsdk {
namespace {

// Primitive polynomials x^m + … + 1 as bit masks (bit i = coefficient of x^i),
// indexed by m. The field tables are only built for m = 2 … 8 (byte symbols),
// the rest documents the family the code comes from.
constexpr int32_t kPrimitivePolys[17] = {
    0,      0,      0x7,    0xB,    0x13,   0x25,   0x43,   0x89,  0x11D,
    0x211,  0x409,  0x805,  0x1053, 0x201B, 0x4443, 0x8003, 0x1100B};

constexpr int kMinBits = 2;
constexpr int kMaxBits = 8;

int roundUp4(int bytes) { return (bytes + 3) & ~3; }

int modnn(const ReedSolomonCodec* c, int x) {
  while (x >= c->nn) {
    x -= c->nn;
    x = (x >> c->m) + (x & c->nn);
  }
  return x;
}

int gfMul(const ReedSolomonCodec* c, int a, int b) {
  if (a == 0 || b == 0) return 0;
  return c->expTable[modnn(c, c->logTable[a] + c->logTable[b])];
}

int gfDiv(const ReedSolomonCodec* c, int a, int b) {
  // b is never zero here: callers check it first.
  if (a == 0) return 0;
  return c->expTable[modnn(c, c->logTable[a] + c->nn - c->logTable[b])];
}

// α^(e mod nn) for any e >= 0.
int gfPow(const ReedSolomonCodec* c, long e) {
  return c->expTable[e % c->nn];
}

void freeWork(ReedSolomonCodec* c) {
  if (c->ownsWork) {
    std::free(c->syndromes);
    std::free(c->lambda);
    std::free(c->b);
    std::free(c->t);
    std::free(c->omega);
    std::free(c->reg);
    std::free(c->roots);
    std::free(c->locations);
    std::free(c->received);
  }
  c->syndromes = c->lambda = c->b = c->t = c->omega = c->reg = nullptr;
  c->roots = c->locations = nullptr;
  c->received = nullptr;
  c->ownsWork = 0;
}

bool buildField(ReedSolomonCodec* c) {
  const int m = c->m;
  const int size = 1 << m;
  c->expTable = static_cast<int32_t*>(std::calloc(size, sizeof(int32_t)));
  c->logTable = static_cast<int32_t*>(std::calloc(size, sizeof(int32_t)));
  if (c->expTable == nullptr || c->logTable == nullptr) return false;
  const int32_t poly = kPrimitivePolys[m];
  for (int i = 0; i <= m; ++i) c->primitivePoly[i] = (poly >> i) & 1;
  int32_t* ex = c->expTable;
  ex[m] = 0;
  for (int i = 0; i < m; ++i) {
    ex[i] = 1 << i;
    if (c->primitivePoly[i] != 0) ex[m] ^= 1 << i;
  }
  const int top = 1 << (m - 1);
  for (int i = m + 1; i < c->nn; ++i) {
    if (ex[i - 1] & top) {
      ex[i] = ex[m] ^ ((ex[i - 1] ^ top) << 1);
    } else {
      ex[i] = ex[i - 1] << 1;
    }
  }
  ex[c->nn] = 0;
  for (int i = 0; i < c->nn; ++i) c->logTable[ex[i]] = i;
  c->logTable[0] = c->nn;
  return true;
}

bool buildGenerator(ReedSolomonCodec* c) {
  const int p = c->n - c->k;
  c->generator = static_cast<int32_t*>(std::calloc(p + 1, sizeof(int32_t)));
  c->generatorLog = static_cast<int32_t*>(std::calloc(p + 1, sizeof(int32_t)));
  if (c->generator == nullptr || c->generatorLog == nullptr) return false;
  int32_t* g = c->generator;
  g[0] = 1;
  // Multiply in (x + α^i) for i = 1 … p; the first factor gives x + α.
  for (int i = 1; i <= p; ++i) {
    const int root = c->expTable[modnn(c, i)];
    g[i] = g[i - 1];
    for (int j = i - 1; j > 0; --j) g[j] = g[j - 1] ^ gfMul(c, g[j], root);
    g[0] = gfMul(c, g[0], root);
  }
  for (int i = 0; i <= p; ++i) c->generatorLog[i] = c->logTable[g[i]];
  return true;
}

bool allocateWork(ReedSolomonCodec* c) {
  const size_t p1 = static_cast<size_t>(c->n - c->k + 1);
  c->ownsWork = 1;
  c->syndromes = static_cast<int32_t*>(std::calloc(p1, sizeof(int32_t)));
  c->lambda = static_cast<int32_t*>(std::calloc(p1, sizeof(int32_t)));
  c->b = static_cast<int32_t*>(std::calloc(p1, sizeof(int32_t)));
  c->t = static_cast<int32_t*>(std::calloc(p1, sizeof(int32_t)));
  c->omega = static_cast<int32_t*>(std::calloc(p1, sizeof(int32_t)));
  c->reg = static_cast<int32_t*>(std::calloc(p1, sizeof(int32_t)));
  c->roots = static_cast<int32_t*>(std::calloc(c->nn, sizeof(int32_t)));
  c->locations = static_cast<int32_t*>(std::calloc(c->nn, sizeof(int32_t)));
  c->received = static_cast<uint8_t*>(std::calloc(c->n, 1));
  return c->syndromes && c->lambda && c->b && c->t && c->omega && c->reg &&
         c->roots && c->locations && c->received;
}

bool hasWork(const ReedSolomonCodec* c) {
  return c->syndromes && c->lambda && c->b && c->t && c->omega && c->reg &&
         c->roots && c->locations && c->received;
}

// Parity of word[0 … k-1] into word[k … n-1], using reg as the registers.
void computeParity(const ReedSolomonCodec* c, uint8_t* word, int32_t* reg) {
  const int p = c->n - c->k;
  if (p <= 0) return;
  const int32_t* g = c->generator;
  for (int j = 0; j < p; ++j) reg[j] = 0;
  for (int i = 0; i < c->k; ++i) {
    const int f = (word[i] & c->nn) ^ reg[0];
    if (f != 0) {
      for (int j = 0; j < p - 1; ++j) reg[j] = reg[j + 1] ^ gfMul(c, f, g[p - 1 - j]);
      reg[p - 1] = gfMul(c, f, g[0]);
    } else {
      for (int j = 0; j < p - 1; ++j) reg[j] = reg[j + 1];
      reg[p - 1] = 0;
    }
  }
  for (int j = 0; j < p; ++j) word[c->k + j] = static_cast<uint8_t>(reg[j]);
}

}  // namespace

int reedSolomonInit(ReedSolomonCodec* codec, int m, int n, int k,
                    int allocate) {
  if (codec == nullptr) return 0;
  std::memset(codec, 0, sizeof(*codec));
  if (m < kMinBits || m > kMaxBits) return 0;
  const int nn = (1 << m) - 1;
  if (k < 0 || n < 1 || n < k || n > nn) return 0;
  codec->m = m;
  codec->n = n;
  codec->k = k;
  codec->nn = nn;
  if (!buildField(codec) || !buildGenerator(codec) ||
      (allocate != 0 && !allocateWork(codec))) {
    reedSolomonClose(codec);
    return 0;
  }
  return 1;
}

void reedSolomonClose(ReedSolomonCodec* codec) {
  if (codec == nullptr) return;
  freeWork(codec);
  std::free(codec->expTable);
  std::free(codec->logTable);
  std::free(codec->generator);
  std::free(codec->generatorLog);
  std::memset(codec, 0, sizeof(*codec));
}

int reedSolomonScratch(ReedSolomonCodec* codec, void* pad) {
  if (codec == nullptr || codec->expTable == nullptr) return 0;
  const int p1 = roundUp4((codec->n - codec->k + 1) * 4);
  const int nnBytes = roundUp4(codec->nn * 4);
  const int total = 6 * p1 + 2 * nnBytes + roundUp4(codec->n);
  if (pad != nullptr) {
    freeWork(codec);
    uint8_t* at = static_cast<uint8_t*>(pad);
    int32_t** arrays[6] = {&codec->syndromes, &codec->lambda, &codec->b,
                           &codec->t,         &codec->omega,  &codec->reg};
    for (int32_t** a : arrays) {
      *a = reinterpret_cast<int32_t*>(at);
      at += p1;
    }
    codec->roots = reinterpret_cast<int32_t*>(at);
    at += nnBytes;
    codec->locations = reinterpret_cast<int32_t*>(at);
    at += nnBytes;
    codec->received = at;
  }
  return total;
}

int reedSolomonEncode(const ReedSolomonCodec* codec, uint8_t* word,
                      const uint8_t* data) {
  if (codec == nullptr || word == nullptr || codec->expTable == nullptr) return -1;
  if (data != nullptr) std::memmove(word, data, codec->k);
  for (int i = 0; i < codec->k; ++i) word[i] = static_cast<uint8_t>(word[i] & codec->nn);
  const int p = codec->n - codec->k;
  if (p <= 0) return 0;
  // The register copy of the work areas may be absent (encode-only use), so
  // the registers live on the stack: p < 2^8.
  int32_t reg[256];
  computeParity(codec, word, reg);
  return 0;
}

int64_t reedSolomonDecode(ReedSolomonCodec* codec, uint8_t* word, int* count) {
  int dummy = 0;
  if (count == nullptr) count = &dummy;
  *count = -1;
  if (codec == nullptr || word == nullptr || codec->expTable == nullptr ||
      !hasWork(codec)) {
    return -1;
  }
  ReedSolomonCodec* c = codec;
  const int n = c->n;
  const int p = c->n - c->k;
  for (int i = 0; i < n; ++i) word[i] = static_cast<uint8_t>(word[i] & c->nn);
  std::memcpy(c->received, word, n);

  int32_t* s = c->syndromes;  // s[j] = r(α^j), j = 1 … p
  bool allZero = true;
  for (int j = 1; j <= p; ++j) {
    const int root = gfPow(c, j);
    int acc = 0;
    for (int i = 0; i < n; ++i) acc = gfMul(c, acc, root) ^ word[i];
    s[j] = acc;
    if (acc != 0) allZero = false;
  }
  s[0] = 0;

  int found = 0;
  if (!allZero) {
    int32_t* lambda = c->lambda;
    int32_t* b = c->b;
    int32_t* t = c->t;
    for (int i = 0; i <= p; ++i) lambda[i] = b[i] = 0;
    lambda[0] = b[0] = 1;
    int l = 0;
    for (int r = 1; r <= p; ++r) {
      int delta = 0;
      for (int i = 0; i < r; ++i) delta ^= gfMul(c, lambda[i], s[r - i]);
      if (delta == 0) {
        for (int i = p; i > 0; --i) b[i] = b[i - 1];
        b[0] = 0;
        continue;
      }
      t[0] = lambda[0];
      for (int i = 1; i <= p; ++i) t[i] = lambda[i] ^ gfMul(c, delta, b[i - 1]);
      if (2 * l <= r - 1) {
        l = r - l;
        for (int i = 0; i <= p; ++i) b[i] = gfDiv(c, lambda[i], delta);
      } else {
        for (int i = p; i > 0; --i) b[i] = b[i - 1];
        b[0] = 0;
      }
      for (int i = 0; i <= p; ++i) lambda[i] = t[i];
    }
    int degLambda = 0;
    for (int i = 0; i <= p; ++i) {
      if (lambda[i] != 0) degLambda = i;
    }

    // Chien search over every non-zero field element α^i. term[j] holds
    // the log of λ_j·α^(i·j) (or -1 for λ_j = 0), stepped by j for each i
    // instead of raised afresh; j ≤ p ≤ nn keeps each step below 2·nn.
    int32_t* term = t;  // free once the locator is known
    for (int j = 0; j <= degLambda; ++j) term[j] = lambda[j] != 0 ? c->logTable[lambda[j]] : -1;
    for (int i = 1; i <= c->nn; ++i) {
      int sum = 0;
      for (int j = 0; j <= degLambda; ++j) {
        if (term[j] < 0) continue;
        int e = term[j] + j;
        if (e >= c->nn) e -= c->nn;
        term[j] = e;
        sum ^= c->expTable[e];
      }
      if (sum != 0) continue;
      const int location = n - 1 - (c->nn - i);
      if (location < 0) {
        return -1;  // an error inside the shortened part
      }
      c->roots[found] = i;
      c->locations[found] = location;
      ++found;
    }

    // Ω(x) = S(x)·Λ(x) mod x^p with S(x) = Σ s[j+1] x^j.
    int32_t* omega = c->omega;
    for (int i = 0; i < p; ++i) {
      int acc = 0;
      for (int j = 0; j <= i; ++j) acc ^= gfMul(c, s[j + 1], lambda[i - j]);
      omega[i] = acc;
    }
    omega[p] = 0;

    // Forney, from the last root found to the first.
    int top = degLambda < p - 1 ? degLambda : p - 1;
    top &= ~1;
    for (int r = found - 1; r >= 0; --r) {
      const long root = c->roots[r];
      int num = 0;
      for (int j = 0; j < p; ++j) num ^= gfMul(c, omega[j], gfPow(c, root * j));
      int den = 0;
      for (int j = top; j >= 0; j -= 2) {
        den ^= gfMul(c, lambda[j + 1], gfPow(c, root * j));
      }
      if (den == 0) {
        return -1;  // degenerate locator: nothing sensible to divide by
      }
      if (num != 0) {
        word[c->locations[r]] =
            static_cast<uint8_t>(word[c->locations[r]] ^ gfDiv(c, num, den));
      }
    }
    if (found != degLambda) return -1;
  }

  // Final check: the corrected word must be a code word that differs from
  // the received one in exactly the reported symbols.
  computeParity(c, word, c->reg);
  int64_t mask = 0;
  int differing = 0;
  for (int j = 0; j < n; ++j) {
    if (word[j] != c->received[j]) {
      ++differing;
      if (j < 63) mask |= int64_t{1} << j;
    }
  }
  if (differing != found) return -1;
  *count = found;
  return mask;
}

}  // namespace tembrolexinsdk
