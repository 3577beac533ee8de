// How long a start takes to open a large key-value store while other
// processes start on it at the same moment: 8 or 24 processes, each a start
// of its own (its first opening of the store in its run, so each runs the
// check of the whole file), on one sound store of about 100 MB (100 000
// rows of 1000 bytes) whose pages are in the page cache.
//
// Each iteration runs one round of starts holding the store's lock and one
// with the lock skipped (this benchmark's own flock(2), which does nothing
// while `skipLock` is set: the starts then check side by side with nothing
// between them), the order turning each time, and the counters give the
// median and the 90th percentile of every start's opening time of each
// kind over all iterations, in milliseconds, and their ratios (with the
// lock / skipped). The file lies below $TL_BENCH_DIR (default /var/tmp).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_store.h"
#include "core/runtime/database_recovery.h"
#include "core/runtime/i_named_object.h"

namespace {

// Set in the children of a round without the lock.
bool skipLock = false;

}  // namespace

// The benchmark's flock(2), which takes the C library's place for the
// library's calls too: with `skipLock` it takes no lock and answers that it
// did.
extern "C" int flock(int fd, int operation) noexcept {
  static const auto real = reinterpret_cast<int (*)(int, int)>(::dlsym(RTLD_NEXT, "flock"));
  if (skipLock) return 0;
  return real(fd, operation);
}

namespace {

using tembrolexinsdk::INamedObject;
using tembrolexinsdk::DB::openSettingDamageAside;

constexpr int kRows = 100000;
constexpr int kValueBytes = 1000;

class Starter : public INamedObject {
 public:
  const std::string& GetName() const override { return name_; }

 private:
  const std::string name_ = "Starter";
};

// A store of about 100 MB, made once.
const tlbench::BenchStore& largeStore() {
  static const tlbench::BenchStore store("audiodecoder.db", "audiodecoder", "flag", kRows,
                                         kValueBytes, "randomblob");
  return store;
}

// Starts `processes` processes that open the store at one moment, and adds
// each one's opening time in milliseconds to `times`. False when a start
// failed.
bool roundOfStarts(const std::string& path, int processes, bool withoutLock,
                   std::vector<double>* times) {
  int go[2], told[2];
  if (::pipe(go) != 0 || ::pipe(told) != 0) return false;
  std::vector<pid_t> children;
  for (int p = 0; p < processes; ++p) {
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
      ::close(go[1]);
      ::close(told[0]);
      skipLock = withoutLock;
      char byte;
      if (::read(go[0], &byte, 1) < 0) ::_exit(2);
      const auto start = std::chrono::steady_clock::now();
      double ms = -1;
      try {
        Starter starter;
        const auto store = openSettingDamageAside(path, "audiodecoder", &starter);
        ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                 .count();
      } catch (...) {
      }
      // One write of a double is atomic on a pipe.
      const bool sent = ::write(told[1], &ms, sizeof ms) == static_cast<ssize_t>(sizeof ms);
      ::_exit(sent ? 0 : 1);
    }
    children.push_back(pid);
  }
  ::close(go[0]);
  ::close(told[1]);
  ::close(go[1]);  // end of file: every child starts now
  bool ok = true;
  double ms;
  for (ssize_t n; (n = ::read(told[0], &ms, sizeof ms)) == static_cast<ssize_t>(sizeof ms);) {
    if (ms < 0) ok = false;
    times->push_back(ms);
  }
  ::close(told[0]);
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  return ok && times->size() % static_cast<size_t>(processes) == 0;
}

double percentile(std::vector<double> times, double share) {
  std::sort(times.begin(), times.end());
  const size_t at = static_cast<size_t>(share * static_cast<double>(times.size() - 1) + 0.5);
  return times[at];
}

void BM_StartsAtOnce(benchmark::State& state) {
  const tlbench::BenchStore& store = largeStore();
  const int processes = static_cast<int>(state.range(0));
  std::vector<double> locked;
  std::vector<double> skipped;
  bool lockFirst = true;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (bool withoutLock : {!lockFirst, lockFirst}) {
      if (!roundOfStarts(store.path(), processes, withoutLock, withoutLock ? &skipped : &locked)) {
        state.SkipWithError("a start failed");
        return;
      }
    }
    lockFirst = !lockFirst;
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.counters["MB"] = static_cast<double>(std::filesystem::file_size(store.path())) / 1e6;
  state.counters["lock_median_ms"] = percentile(locked, 0.5);
  state.counters["lock_p90_ms"] = percentile(locked, 0.9);
  state.counters["skipped_median_ms"] = percentile(skipped, 0.5);
  state.counters["skipped_p90_ms"] = percentile(skipped, 0.9);
  state.counters["median_ratio"] = percentile(locked, 0.5) / percentile(skipped, 0.5);
  state.counters["p90_ratio"] = percentile(locked, 0.9) / percentile(skipped, 0.9);
}

BENCHMARK(BM_StartsAtOnce)
    ->Arg(8)
    ->Arg(24)
    ->Iterations(10)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
