// Cross-check of the Reed–Solomon code against Debian's libfec, loaded at run
// time so that the library never links it. The test is skipped where
// libfec0 is not installed.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/decoder/reed_solomon.h"
#include "tests/core/decoder/param_names.h"

namespace tembrolexinsdk {
namespace {

using InitRs = void* (*)(int symsize, int gfpoly, int fcr, int prim, int nroots, int pad);
using EncodeRs = void (*)(void* rs, unsigned char* data, unsigned char* parity);
using DecodeRs = int (*)(void* rs, unsigned char* data, int* erasures, int erasureCount);
using FreeRs = void (*)(void* rs);

class LibFec {
 public:
  LibFec() {
    handle_ = dlopen("libfec.so.0", RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) return;
    init = reinterpret_cast<InitRs>(dlsym(handle_, "init_rs_char"));
    encode = reinterpret_cast<EncodeRs>(dlsym(handle_, "encode_rs_char"));
    decode = reinterpret_cast<DecodeRs>(dlsym(handle_, "decode_rs_char"));
    release = reinterpret_cast<FreeRs>(dlsym(handle_, "free_rs_char"));
  }
  ~LibFec() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  bool ok() const { return init && encode && decode && release; }

  InitRs init = nullptr;
  EncodeRs encode = nullptr;
  DecodeRs decode = nullptr;
  FreeRs release = nullptr;

 private:
  void* handle_ = nullptr;
};

struct Dims {
  int m, n, k, poly;
};

class ReedSolomonLibFec : public ::testing::TestWithParam<Dims> {};

// Same field polynomial, first root α^1, primitive element α, shortened by
// padding: libfec's code is ours, so parity bytes and corrections agree.
TEST_P(ReedSolomonLibFec, ParityAndCorrectionsAgree) {
  LibFec fec;
  if (!fec.ok()) GTEST_SKIP() << "libfec0 not installed";
  const Dims d = GetParam();
  const int nn = (1 << d.m) - 1;
  const int p = d.n - d.k;
  void* theirs = fec.init(d.m, d.poly, 1, 1, p, nn - d.n);
  ASSERT_NE(theirs, nullptr);
  ReedSolomonCodec ours;
  ASSERT_EQ(reedSolomonInit(&ours, d.m, d.n, d.k, 1), 1);
  std::mt19937 rng(d.m * 7 + d.n);
  for (int trial = 0; trial < 1000; ++trial) {
    std::vector<uint8_t> word(d.n);
    for (int i = 0; i < d.k; ++i) word[i] = static_cast<uint8_t>(rng() & nn);
    std::vector<unsigned char> data(word.begin(), word.begin() + d.k);
    std::vector<unsigned char> parity(p);
    fec.encode(theirs, data.data(), parity.data());
    ASSERT_EQ(reedSolomonEncode(&ours, word.data(), nullptr), 0);
    for (int j = 0; j < p; ++j) ASSERT_EQ(word[d.k + j], parity[j]) << "trial " << trial;

    const int errors = trial % (p / 2 + 1);
    std::vector<uint8_t> received = word;
    for (int e = 0; e < errors; ++e) {
      received[(trial + 3 * e) % d.n] ^= static_cast<uint8_t>(1 + rng() % nn);
    }
    std::vector<unsigned char> theirWord(received.begin(), received.end());
    const int theirCount = fec.decode(theirs, theirWord.data(), nullptr, 0);
    int ourCount = 0;
    reedSolomonDecode(&ours, received.data(), &ourCount);
    ASSERT_EQ(ourCount, theirCount);
    ASSERT_EQ(std::vector<unsigned char>(received.begin(), received.end()), theirWord);
    ASSERT_EQ(received, word);
  }
  reedSolomonClose(&ours);
  fec.release(theirs);
}

INSTANTIATE_TEST_SUITE_P(Fields, ReedSolomonLibFec,
                         ::testing::Values(Dims{3, 7, 3, 0xB}, Dims{4, 15, 9, 0x13},
                                           Dims{5, 31, 23, 0x25}, Dims{6, 25, 15, 0x43},
                                           Dims{8, 30, 20, 0x11D}, Dims{8, 255, 223, 0x11D}),
    [](const ::testing::TestParamInfo<Dims>& info) {
      const auto& p = info.param;
      return tltest::paramName({{"m", p.m}, {"n", p.n}, {"k", p.k}});
    });

}  // namespace
}  // namespace tembrolexinsdk
