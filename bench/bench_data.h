// Where the benchmarks find the shared test configurations: $TL_TEST_DATA
// when set, else the source tree's tests/data (fixed at configure time, so a
// benchmark runs from any folder).
#ifndef TL_BENCH_BENCH_DATA_H_
#define TL_BENCH_BENCH_DATA_H_

#include <cstdlib>
#include <string>

namespace tlbench {

inline std::string dataFile(const char* name) {
  if (const char* dir = std::getenv("TL_TEST_DATA")) return std::string(dir) + "/" + name;
  return std::string(TL_BENCH_DATA_DIR) + "/" + name;
}

}  // namespace tlbench

#endif  // TL_BENCH_BENCH_DATA_H_
