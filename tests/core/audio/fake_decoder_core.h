// FakeCore: a scripted decoding core for processor tests. Contexts are made
// from registered configuration names; ProcessData hands out scripted
// records and remembers its calls. FakeFunctions() is the DecoderFunctions
// table over it. Thread-safe through FakeCore::mutex (the processors call it
// from their workers).
#ifndef TL_TESTS_CORE_AUDIO_FAKE_DECODER_CORE_H_
#define TL_TESTS_CORE_AUDIO_FAKE_DECODER_CORE_H_

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <stdexcept>
#include <mutex>
#include <string>
#include <vector>

#include "core/audio/base_audio_processor.h"

namespace tembrolexinsdk {

// A scripted decoding core: contexts made from registered configuration
// names; ProcessData hands out scripted records and remembers its calls.
struct FakeDecoder {
  int32_t fsIn = 8000;
  EncodingSchemeInfo info{13, "VorselT", "VT", 6000, 120};
  bool fastReaction = false;
  std::deque<PerformanceData> script;
  bool throwOnProcess = false;   // ProcessData throws std::runtime_error "core broke"
  std::vector<int32_t> counts;   // samples per ProcessData call (-1: null)
  std::vector<int16_t> firsts;   // the first sample of each call with samples
  std::vector<int64_t> times;
  std::vector<std::vector<std::pair<int32_t, int64_t>>> stations;  // per call
  std::vector<std::pair<int64_t, int32_t>> sequences;
  std::vector<std::array<int32_t, 12>> options;
};

class FakeCore {
 public:
  static FakeCore& get() {
    static FakeCore core;
    return core;
  }
  std::mutex mutex;
  std::map<std::string, FakeDecoder> templates;
  std::map<VorselTContext*, FakeDecoder> open;
  std::vector<FakeDecoder> closed;
  int next = 1;
  int inits = 0;

  void reset() {
    std::lock_guard<std::mutex> lock(mutex);
    templates.clear();
    open.clear();
    closed.clear();
    inits = 0;
  }
  FakeDecoder* find(VorselTContext* c) {
    auto it = open.find(c);
    return it == open.end() ? nullptr : &it->second;
  }
  // The decoder made from `config` (the newest), under the caller's lock.
  FakeDecoder* byInfo(int32_t scheme) {
    for (auto it = open.rbegin(); it != open.rend(); ++it) {
      if (it->second.info.scheme == scheme) return &it->second;
    }
    return nullptr;
  }
};

inline VorselTContext* FakeInit(const char* config, bool fast) {
  FakeCore& core = FakeCore::get();
  std::lock_guard<std::mutex> lock(core.mutex);
  auto it = core.templates.find(config);
  if (it == core.templates.end()) return nullptr;
  auto* context = reinterpret_cast<VorselTContext*>(static_cast<intptr_t>(core.next++ * 16));
  FakeDecoder d = it->second;
  d.fastReaction = fast;
  ++core.inits;
  core.open[context] = d;
  return context;
}

inline DecoderFunctions MakeFakeFunctions() {
  DecoderFunctions f;
  f.init = [](const char* c) { return FakeInit(c, false); };
  f.initFastReaction = [](const char* c) { return FakeInit(c, true); };
  f.close = [](VorselTContext* c) {
    FakeCore& core = FakeCore::get();
    std::lock_guard<std::mutex> lock(core.mutex);
    if (FakeDecoder* d = core.find(c)) {
      core.closed.push_back(*d);
      core.open.erase(c);
    }
  };
  f.getSchemeInfo = [](const VorselTContext* c, int32_t, EncodingSchemeInfo* info) {
    FakeCore& core = FakeCore::get();
    std::lock_guard<std::mutex> lock(core.mutex);
    *info = core.find(const_cast<VorselTContext*>(c))->info;
    return int32_t{1};
  };
  f.fsIn = [](const VorselTContext* c) {
    FakeCore& core = FakeCore::get();
    std::lock_guard<std::mutex> lock(core.mutex);
    return core.find(const_cast<VorselTContext*>(c))->fsIn;
  };
  f.nSchemes = [](const VorselTContext*) { return int32_t{1}; };
  f.processData = [](VorselTContext* c, int16_t* samples, int32_t count, PerformanceData* p,
                     int64_t timeMs, VorselTResult*) {
    FakeCore& core = FakeCore::get();
    std::lock_guard<std::mutex> lock(core.mutex);
    FakeDecoder* d = core.find(c);
    if (d->throwOnProcess) throw std::runtime_error("core broke");
    d->counts.push_back(samples == nullptr ? -1 : count);
    if (samples != nullptr && count > 0) d->firsts.push_back(samples[0]);
    d->times.push_back(timeMs);
    if (d->script.empty()) {
      *p = PerformanceData{};
      p->msg = -1;
      p->currentSignalStrength = -1;
    } else {
      *p = d->script.front();
      d->script.pop_front();
    }
    return p->msg;
  };
  f.candidateStations = [](VorselTContext* c, const CandidateStations* list) {
    FakeCore& core = FakeCore::get();
    std::lock_guard<std::mutex> lock(core.mutex);
    std::vector<std::pair<int32_t, int64_t>> entries;
    for (int i = 0; list != nullptr && i < list->count; ++i) {
      entries.emplace_back(list->entries[i].stationId, list->entries[i].lagMs);
    }
    core.find(c)->stations.push_back(entries);
  };
  f.codewordSequences = [](VorselTContext* c, const CandidateStations* list) {
    FakeCore& core = FakeCore::get();
    std::lock_guard<std::mutex> lock(core.mutex);
    for (int i = 0; list != nullptr && i < list->count; ++i) {
      core.find(c)->sequences.emplace_back(list->entries[i].firstCodeword,
                                           list->entries[i].codewordCount);
    }
  };
  f.setOptions = [](VorselTContext* c, int32_t, const int32_t* options) {
    FakeCore& core = FakeCore::get();
    std::lock_guard<std::mutex> lock(core.mutex);
    std::array<int32_t, 12> copy;
    std::copy(options, options + 12, copy.begin());
    core.find(c)->options.push_back(copy);
  };
  return f;
}

inline const DecoderFunctions& FakeFunctions() {
  static const DecoderFunctions f = MakeFakeFunctions();
  return f;
}

}  // namespace tembrolexinsdk

#endif  // TL_TESTS_CORE_AUDIO_FAKE_DECODER_CORE_H_
