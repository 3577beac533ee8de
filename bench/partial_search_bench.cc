// Partial-codeword search benchmark.
//
// BM_PartialSearch/N: the search alone (stage A of the T1 configuration) over
// a soft-symbol history of random values, called once per 128 ms block with
// N candidates at N different lags (so no prediction is shared between
// candidates), each block followed by a forward extension and a merge of the
// pending results, as the decoder does. The counter "xRealtime" is seconds
// of simulated time per CPU second: the real-time factor of the search on
// one core. The target is at least 30 for 100 candidates.
//
// BM_VorselTDecoder/N: the whole partial-codeword decoder on T1 with N
// candidates over white noise in blocks of 1024 samples, library included.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_data.h"
#include "core/decoder/partial_search.h"
#include "core/decoder/scheme_config_reader.h"
#include "core/decoder/vorselt_decoder.h"
#include "tools/signal/signal_impairments.h"

namespace {

using namespace tembrolexinsdk;

using tlbench::dataFile;

// 40 days after the base time of the timed layouts, on T1's 16 ms step grid.
constexpr int64_t kStart = kVorselBaseTimeMs + 40LL * 86400000;
constexpr int64_t kBlockMs = 128;
constexpr int32_t kStepMs = 16;

void BM_PartialSearch(benchmark::State& state) {
  const int32_t count = static_cast<int32_t>(state.range(0));
  MessageParams* params = nullptr;
  SchemeConfig* scheme = readSchemeConfig(dataFile("scheme_t1_vt.cfg").c_str(), &params);
  if (scheme == nullptr) {
    state.SkipWithError("configuration not found");
    return;
  }
  PartialSearchStage* stage = createSearchStage(scheme, params, nullptr);
  const int32_t p = scheme->positionCount;
  std::vector<CircularBuffer> rings(static_cast<size_t>(p));
  for (auto& r : rings) CircularBufferCharInit2(&r, nullptr, 37500);  // ten minutes
  CircularBuffer* views[1] = {rings.data()};
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> soft(-40, 40);
  auto push = [&](int32_t steps) {
    for (int32_t s = 0; s < steps; ++s)
      for (auto& r : rings) CircularBufferCharPush(&r, static_cast<int8_t>(soft(rng)));
  };
  push(37500);
  CandidateStations* list = createCandidateStations(count);
  for (int32_t i = 0; i < count; ++i) addCandidateStation(list, 100 + i, 1000 * i);
  PartialResultList results;
  createPartialResultList(&results, 1, p, nullptr);

  int64_t t = kStart;
  int64_t simulatedMs = 0;
  for (auto _ : state) {
    push(static_cast<int32_t>(kBlockMs / kStepMs));
    t += kBlockMs;
    int32_t refine = 0;
    PartialResultItem* item = searchPartialCodewords(stage, t, views, list, &results, &refine, 0);
    if (item != nullptr) {
      if (isPartialResultHit(item)) {
        extendPartialResult(stage, views, item, 1);
      } else {
        clearPartialResultItem(item);
      }
    }
    for (int32_t k = 0; k < results.length; ++k) extendPartialResult(stage, views, results.items[k], 0);
    mergePartialResults(&results);
    simulatedMs += kBlockMs;
  }
  state.counters["xRealtime"] =
      benchmark::Counter(static_cast<double>(simulatedMs) / 1000.0, benchmark::Counter::kIsRate);
  state.counters["hits"] = countPartialResultHits(&results);
  deletePartialResultList(&results);
  deleteCandidateStations(list);
  for (auto& r : rings) CircularBufferCharClose(&r);
  deleteSearchStage(stage);
  freeSchemeConfigList(scheme);
  freeMessageParams(params);
}
BENCHMARK(BM_PartialSearch)->Arg(1)->Arg(10)->Arg(100)->MinTime(2.0);

void BM_VorselTDecoder(benchmark::State& state) {
  const int32_t count = static_cast<int32_t>(state.range(0));
  VorselTContext* ctx = TembrolexinVorselT_Init(dataFile("scheme_t1_vt.cfg").c_str());
  if (ctx == nullptr) {
    state.SkipWithError(TembrolexinVorselT_GetErrorMsg());
    return;
  }
  CandidateStations* list = createCandidateStations(count);
  for (int32_t i = 0; i < count; ++i) addCandidateStation(list, 100 + i, 1000 * i);
  TembrolexinVorselT_CandidateStations(ctx, list);
  const std::vector<double> n = tltest::makeNoise(tltest::NoiseKind::kWhite, 8000 * 60, 3);
  std::vector<int16_t> audio(n.size());
  for (size_t i = 0; i < n.size(); ++i) audio[i] = tltest::saturate16(n[i] * 3000);
  std::vector<int16_t> block(1024);
  PerformanceData perf{};
  VorselTResult result{};
  size_t at = 0;
  int64_t t = kStart;
  int64_t samples = 0;
  for (auto _ : state) {
    if (at + block.size() > audio.size()) at = 0;
    std::copy(audio.begin() + static_cast<std::ptrdiff_t>(at),
              audio.begin() + static_cast<std::ptrdiff_t>(at + block.size()), block.begin());
    at += block.size();
    t += kBlockMs;
    benchmark::DoNotOptimize(TembrolexinVorselT_ProcessData(ctx, block.data(), 1024, &perf, t, &result));
    samples += 1024;
  }
  state.counters["xRealtime"] =
      benchmark::Counter(static_cast<double>(samples) / 8000.0, benchmark::Counter::kIsRate);
  TembrolexinVorselT_Close(ctx);
  deleteCandidateStations(list);
}
BENCHMARK(BM_VorselTDecoder)->Arg(1)->Arg(10)->Arg(100)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
