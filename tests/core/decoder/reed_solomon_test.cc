#include "core/decoder/reed_solomon.h"
#include "tests/core/decoder/param_names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <vector>

namespace tembrolexinsdk {
namespace {

// Independent GF(2^m) arithmetic for checking: shift-and-add multiplication
// reduced by the primitive polynomial, α = x = 2.
int polyFor(int m) {
  static const int kPolys[] = {0, 0, 0x7, 0xB, 0x13, 0x25, 0x43, 0x89, 0x11D};
  return kPolys[m];
}

int slowMul(int a, int b, int m) {
  int r = 0;
  for (int i = 0; i < m; ++i) {
    if (b & (1 << i)) r ^= a;
    a <<= 1;
    if (a & (1 << m)) a ^= polyFor(m);
  }
  return r;
}

int slowPow(int e, int m) {
  int r = 1;
  for (int i = 0; i < e; ++i) r = slowMul(r, 2, m);
  return r;
}

// r(α^j) with symbol 0 the highest-degree coefficient.
int syndrome(const std::vector<uint8_t>& w, int j, int m) {
  const int a = slowPow(j, m);
  int acc = 0;
  for (uint8_t s : w) acc = slowMul(acc, a, m) ^ s;
  return acc;
}

class Rs {
 public:
  Rs(int m, int n, int k, int allocate = 1) { ok_ = reedSolomonInit(&c_, m, n, k, allocate); }
  ~Rs() { reedSolomonClose(&c_); }
  ReedSolomonCodec* get() { return &c_; }
  bool ok() const { return ok_ == 1; }

 private:
  ReedSolomonCodec c_{};
  int ok_ = 0;
};

TEST(ReedSolomonField, Gf16TableFollowsXToTheFourPlusXPlusOne) {
  Rs rs(4, 15, 13);
  ASSERT_TRUE(rs.ok());
  const int expected[16] = {1, 2, 4, 8, 3, 6, 12, 11, 5, 10, 7, 14, 15, 13, 9, 0};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(rs.get()->expTable[i], expected[i]) << i;
  EXPECT_EQ(rs.get()->logTable[0], 15);
  EXPECT_EQ(rs.get()->logTable[11], 7);
  // (x + α)(x + α²) = x² + α⁵x + α³ = x² + 6x + 8.
  EXPECT_EQ(rs.get()->generator[0], 8);
  EXPECT_EQ(rs.get()->generator[1], 6);
  EXPECT_EQ(rs.get()->generator[2], 1);
  EXPECT_EQ(rs.get()->generatorLog[0], 3);
  EXPECT_EQ(rs.get()->generatorLog[1], 5);
  EXPECT_EQ(rs.get()->generatorLog[2], 0);
}

TEST(ReedSolomonField, Gf256UsesPolynomial0x11D) {
  Rs rs(8, 255, 223);
  ASSERT_TRUE(rs.ok());
  EXPECT_EQ(rs.get()->expTable[8], 0x1D);
  EXPECT_EQ(rs.get()->expTable[255], 0);
  EXPECT_EQ(rs.get()->logTable[0], 255);
  const int poly[9] = {1, 0, 1, 1, 1, 0, 0, 0, 1};
  for (int i = 0; i <= 8; ++i) EXPECT_EQ(rs.get()->primitivePoly[i], poly[i]);
}

class ReedSolomonFieldByBits : public ::testing::TestWithParam<int> {};

TEST_P(ReedSolomonFieldByBits, TablesAreInversePermutationsOfTheField) {
  const int m = GetParam();
  const int nn = (1 << m) - 1;
  Rs rs(m, nn, nn - 2);
  ASSERT_TRUE(rs.ok());
  std::set<int> seen;
  for (int i = 0; i < nn; ++i) {
    const int v = rs.get()->expTable[i];
    EXPECT_EQ(v, slowPow(i, m)) << "m=" << m << " i=" << i;
    EXPECT_EQ(rs.get()->logTable[v], i);
    seen.insert(v);
  }
  EXPECT_EQ(static_cast<int>(seen.size()), nn);  // α is primitive
}

INSTANTIATE_TEST_SUITE_P(AllByteFields, ReedSolomonFieldByBits,
                         ::testing::Values(2, 3, 4, 5, 6, 7, 8),
    [](const ::testing::TestParamInfo<int>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"m", p}});
    });

TEST(ReedSolomonEncode, Gf4RepetitionCodeByHand) {
  // GF(4), n = 3, k = 1: g = x² + x + 1, so the only code words are d·g.
  Rs rs(2, 3, 1);
  ASSERT_TRUE(rs.ok());
  for (uint8_t d = 0; d < 4; ++d) {
    uint8_t word[3] = {0, 0, 0};
    ASSERT_EQ(reedSolomonEncode(rs.get(), word, &d), 0);
    EXPECT_EQ(word[0], d);
    EXPECT_EQ(word[1], d);
    EXPECT_EQ(word[2], d);
  }
}

TEST(ReedSolomonInit, RejectsBadDimensions) {
  struct Case {
    int m, n, k;
  };
  const Case bad[] = {{1, 1, 1},  {9, 20, 10}, {0, 3, 1}, {4, 16, 10},
                      {4, 10, 11}, {4, 0, 0},   {4, 10, -1}};
  for (const Case& c : bad) {
    ReedSolomonCodec codec;
    std::memset(&codec, 0x5A, sizeof(codec));
    EXPECT_EQ(reedSolomonInit(&codec, c.m, c.n, c.k, 1), 0) << c.m << " " << c.n << " " << c.k;
    EXPECT_EQ(codec.expTable, nullptr);
    EXPECT_EQ(codec.syndromes, nullptr);
  }
  EXPECT_EQ(reedSolomonInit(nullptr, 4, 15, 11, 1), 0);
  reedSolomonClose(nullptr);
}

TEST(ReedSolomonDecode, NoParityMeansNothingToCorrect) {
  Rs rs(5, 7, 7);
  ASSERT_TRUE(rs.ok());
  uint8_t word[7] = {1, 2, 3, 4, 5, 6, 31};
  int count = 99;
  EXPECT_EQ(reedSolomonDecode(rs.get(), word, &count), 0);
  EXPECT_EQ(count, 0);
  const uint8_t same[7] = {1, 2, 3, 4, 5, 6, 31};
  EXPECT_EQ(std::memcmp(word, same, 7), 0);
}

TEST(ReedSolomonDecode, SingleErrorAnywhereIsCorrectedWithItsMaskBit) {
  Rs rs(6, 31, 23);
  ASSERT_TRUE(rs.ok());
  std::vector<uint8_t> clean(31);
  for (int i = 0; i < 23; ++i) clean[i] = static_cast<uint8_t>((i * 37 + 5) & 63);
  ASSERT_EQ(reedSolomonEncode(rs.get(), clean.data(), nullptr), 0);
  for (int pos = 0; pos < 31; ++pos) {
    std::vector<uint8_t> w = clean;
    w[pos] ^= 0x21;
    int count = -5;
    EXPECT_EQ(reedSolomonDecode(rs.get(), w.data(), &count), int64_t{1} << pos) << pos;
    EXPECT_EQ(count, 1);
    EXPECT_EQ(w, clean);
  }
}

struct RsDims {
  int m, n, k;
};

class ReedSolomonRandom : public ::testing::TestWithParam<RsDims> {};

// Encoded words have zero syndromes; up to ⌊(n-k)/2⌋ errors are corrected
// exactly; beyond that the decoder either rejects or changes exactly the
// symbols it reports.
TEST_P(ReedSolomonRandom, EncodesAndCorrectsUpToHalfTheParity) {
  const RsDims d = GetParam();
  Rs rs(d.m, d.n, d.k);
  ASSERT_TRUE(rs.ok());
  std::mt19937 rng(1234 + d.m * 100 + d.n);
  const int nn = (1 << d.m) - 1;
  const int t = (d.n - d.k) / 2;
  std::uniform_int_distribution<int> sym(0, nn);
  std::uniform_int_distribution<int> nonzero(1, nn);
  std::uniform_int_distribution<int> pos(0, d.n - 1);
  int rejected = 0, miscorrected = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    std::vector<uint8_t> data(d.k), clean(d.n);
    for (auto& s : data) s = static_cast<uint8_t>(sym(rng));
    ASSERT_EQ(reedSolomonEncode(rs.get(), clean.data(), data.data()), 0);
    ASSERT_TRUE(std::equal(data.begin(), data.end(), clean.begin()));
    for (int j = 1; j <= d.n - d.k; ++j) ASSERT_EQ(syndrome(clean, j, d.m), 0);

    const int errors = trial % (t + 2);  // 0 … t + 1
    std::vector<uint8_t> w = clean;
    std::set<int> where;
    while (static_cast<int>(where.size()) < errors) where.insert(pos(rng));
    int64_t expectMask = 0;
    for (int p : where) {
      w[p] = static_cast<uint8_t>(w[p] ^ nonzero(rng));
      expectMask |= int64_t{1} << p;
    }
    const std::vector<uint8_t> received = w;
    int count = -7;
    const int64_t mask = reedSolomonDecode(rs.get(), w.data(), &count);
    if (errors <= t) {
      ASSERT_EQ(count, errors) << "trial " << trial;
      ASSERT_EQ(mask, expectMask);
      ASSERT_EQ(w, clean);
    } else if (mask == -1) {
      ASSERT_EQ(count, -1);
      ++rejected;
    } else {
      // A miscorrection to another code word: the report must match the
      // symbols actually changed.
      int changed = 0;
      int64_t changedMask = 0;
      for (int j = 0; j < d.n; ++j) {
        if (w[j] != received[j]) {
          ++changed;
          changedMask |= int64_t{1} << j;
        }
      }
      ASSERT_EQ(count, changed);
      ASSERT_EQ(mask, changedMask);
      for (int j = 1; j <= d.n - d.k; ++j) ASSERT_EQ(syndrome(w, j, d.m), 0);
      ++miscorrected;
    }
  }
  EXPECT_GT(rejected + miscorrected, 0);
}

INSTANTIATE_TEST_SUITE_P(
    FieldsAndShortenings, ReedSolomonRandom,
    ::testing::Values(RsDims{2, 3, 1}, RsDims{3, 7, 3}, RsDims{3, 6, 2}, RsDims{4, 15, 9},
                      RsDims{4, 12, 6}, RsDims{5, 31, 21}, RsDims{5, 18, 10},
                      RsDims{6, 20, 12}, RsDims{7, 24, 16}, RsDims{8, 31, 19},
                      RsDims{8, 40, 30}),
    [](const ::testing::TestParamInfo<RsDims>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"m", p.m}, {"n", p.n}, {"k", p.k}});
    });

TEST(ReedSolomonDecode, ErrorInTheShortenedPartIsRejected) {
  // A full-length code word whose leading (shortened-away) symbols are not
  // all zero looks, to the shortened decoder, like one error beyond symbol 0.
  const int m = 5, nn = 31, p = 6, n = 20;
  Rs full(m, nn, nn - p);
  Rs shortened(m, n, n - p);
  ASSERT_TRUE(full.ok() && shortened.ok());
  std::mt19937 rng(99);
  for (int trial = 0; trial < 500; ++trial) {
    std::vector<uint8_t> word(nn, 0);
    const int hidden = static_cast<int>(rng() % (nn - n));
    word[hidden] = static_cast<uint8_t>(1 + rng() % nn);
    for (int i = nn - n; i < nn - p; ++i) word[i] = static_cast<uint8_t>(rng() % (nn + 1));
    ASSERT_EQ(reedSolomonEncode(full.get(), word.data(), nullptr), 0);
    std::vector<uint8_t> received(word.begin() + (nn - n), word.end());
    int count = 0;
    EXPECT_EQ(reedSolomonDecode(shortened.get(), received.data(), &count), -1) << trial;
    EXPECT_EQ(count, -1);
  }
}

TEST(ReedSolomonDecode, RepeatedLocatorRootIsRejectedNotDivided) {
  // GF(8), (7, 3): syndromes (1, 0, α², 0) drive Berlekamp–Massey to
  // Λ(x) = 1 + α²x² = (1 + αx)², whose derivative vanishes at its root, so
  // the error value would need a division by zero.
  Rs rs(3, 7, 3);
  ASSERT_TRUE(rs.ok());
  const int target[4] = {1, 0, 4, 0};
  bool found = false;
  for (int pattern = 0; pattern < 4096 && !found; ++pattern) {
    std::vector<uint8_t> w(7, 0);
    for (int i = 0; i < 4; ++i) w[3 + i] = static_cast<uint8_t>((pattern >> (3 * i)) & 7);
    bool match = true;
    for (int j = 1; j <= 4 && match; ++j) match = syndrome(w, j, 3) == target[j - 1];
    if (!match) continue;
    found = true;
    int count = 0;
    EXPECT_EQ(reedSolomonDecode(rs.get(), w.data(), &count), -1);
    EXPECT_EQ(count, -1);
  }
  EXPECT_TRUE(found);
}

TEST(ReedSolomonDecode, EveryReceivedWordOfASmallCodeIsHandledConsistently) {
  // All 8^5 words of the GF(8) (5, 1) code (distance 5): a word within two
  // symbols of a code word decodes to it with that count; any other word is
  // rejected or turned into a code word with a count that matches the
  // symbols changed.
  Rs rs(3, 5, 1);
  ASSERT_TRUE(rs.ok());
  std::vector<std::vector<uint8_t>> codewords;
  for (uint8_t d = 0; d < 8; ++d) {
    std::vector<uint8_t> c(5);
    ASSERT_EQ(reedSolomonEncode(rs.get(), c.data(), &d), 0);
    codewords.push_back(c);
  }
  int near = 0;
  for (int v = 0; v < (1 << 15); ++v) {
    std::vector<uint8_t> w(5);
    for (int i = 0; i < 5; ++i) w[i] = static_cast<uint8_t>((v >> (3 * i)) & 7);
    const std::vector<uint8_t> received = w;
    int nearest = -1, distance = 6;
    for (int c = 0; c < 8; ++c) {
      int dist = 0;
      for (int j = 0; j < 5; ++j) dist += codewords[c][j] != w[j];
      if (dist < distance) {
        distance = dist;
        nearest = c;
      }
    }
    int count = 0;
    const int64_t mask = reedSolomonDecode(rs.get(), w.data(), &count);
    if (distance <= 2) {
      ++near;
      ASSERT_EQ(count, distance) << v;
      ASSERT_EQ(w, codewords[nearest]);
    }
    if (mask == -1) {
      ASSERT_EQ(count, -1);
      continue;
    }
    int changed = 0;
    for (int j = 0; j < 5; ++j) {
      const bool differs = w[j] != received[j];
      changed += differs;
      ASSERT_EQ(((mask >> j) & 1) != 0, differs);
    }
    ASSERT_EQ(count, changed);
    for (int j = 1; j <= 4; ++j) ASSERT_EQ(syndrome(w, j, 3), 0);
  }
  // 8 code words, each with 1 + 5·7 + 10·49 words within distance 2.
  EXPECT_EQ(near, 8 * (1 + 35 + 490));
}

TEST(ReedSolomonScratch, PadHoldsTheWorkAreas) {
  Rs rs(4, 15, 11, /*allocate=*/0);
  ASSERT_TRUE(rs.ok());
  // Six arrays of 5 int32 (20 bytes), two of 15 int32 (60), 15 bytes -> 16.
  EXPECT_EQ(reedSolomonScratch(rs.get(), nullptr), 6 * 20 + 2 * 60 + 16);
  uint8_t word[15] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  ASSERT_EQ(reedSolomonEncode(rs.get(), word, nullptr), 0);
  uint8_t copy[15];
  std::memcpy(copy, word, 15);
  copy[4] ^= 9;
  int count = 0;
  EXPECT_EQ(reedSolomonDecode(rs.get(), copy, &count), -1);  // no work areas yet
  alignas(4) uint8_t pad[256];
  EXPECT_EQ(reedSolomonScratch(rs.get(), pad), 256);
  std::memcpy(copy, word, 15);
  copy[4] ^= 9;
  EXPECT_EQ(reedSolomonDecode(rs.get(), copy, &count), int64_t{1} << 4);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(std::memcmp(copy, word, 15), 0);
}

TEST(ReedSolomonEncode, MasksSymbolsToTheFieldWidth) {
  Rs rs(4, 15, 11);
  ASSERT_TRUE(rs.ok());
  uint8_t a[15] = {0xF1, 0x12, 3};
  uint8_t b[15] = {0x01, 0x02, 3};
  ASSERT_EQ(reedSolomonEncode(rs.get(), a, nullptr), 0);
  ASSERT_EQ(reedSolomonEncode(rs.get(), b, nullptr), 0);
  EXPECT_EQ(std::memcmp(a, b, 15), 0);
  EXPECT_EQ(reedSolomonEncode(nullptr, a, nullptr), -1);
  EXPECT_EQ(reedSolomonDecode(nullptr, a, nullptr), -1);
}

}  // namespace
}  // namespace tembrolexinsdk
