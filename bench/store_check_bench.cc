// What the check of a key-value store file costs at its first opening in a
// run (SQLite's quick_check over the whole file, DB::Database::findDamage),
// beside a plain opening of the store, for a sound store of about 10 MB
// (10 000 rows of 1000 bytes).
//
// The argument says where the file's pages are: 0 in the page cache (a file
// used a moment ago), 1 dropped from it before each run (fdatasync and
// POSIX_FADV_DONTNEED), as at the first start after a reboot. The file lies
// below $TL_BENCH_DIR (default /var/tmp), which must be on a real disk for
// the second case to mean anything.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "bench/bench_store.h"
#include "core/runtime/database.h"

namespace {

using tembrolexinsdk::DB::Database;

constexpr int kRows = 10000;
constexpr int kValueBytes = 1000;

// A store of about 10 MB, made once for every case.
class TenMegabyteStore {
 public:
  static const TenMegabyteStore& get() {
    static const TenMegabyteStore store;
    return store;
  }

  const std::string& path() const { return store_.path(); }

  // Drops the file's pages from the page cache.
  void dropFromCache() const {
    const int fd = ::open(path().c_str(), O_RDONLY);
    if (fd < 0) std::abort();
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
  }

 private:
  TenMegabyteStore() : store_("BundleData.db", "bundle", "key", kRows, kValueBytes, "zeroblob") {}

  tlbench::BenchStore store_;
};

void BM_QuickCheck(benchmark::State& state) {
  const TenMegabyteStore& store = TenMegabyteStore::get();
  std::string found;
  for (auto _ : state) {
    if (state.range(0) == 1) {
      state.PauseTiming();
      store.dropFromCache();
      state.ResumeTiming();
    }
    auto lock = Database::lockFileAt(store.path());
    found = Database::findDamage(lock, store.path());
  }
  if (!found.empty()) state.SkipWithError(found.c_str());
  state.counters["MB"] = static_cast<double>(std::filesystem::file_size(store.path())) / 1e6;
}

void BM_PlainOpening(benchmark::State& state) {
  const TenMegabyteStore& store = TenMegabyteStore::get();
  for (auto _ : state) {
    if (state.range(0) == 1) {
      state.PauseTiming();
      store.dropFromCache();
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(std::make_unique<Database>(store.path(), "bundle"));
  }
}

BENCHMARK(BM_QuickCheck)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainOpening)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
