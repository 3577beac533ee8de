// What putting an arriving bundle on the disk costs the cache processor: a
// 200 MB package (a valid bundle beside 200 MB of random bytes) unpacked, a
// package of 1000 small files (4 KiB each) unpacked, and an app's folder of
// the same 1000 files copied in ("tembrolexin_CacheProcessor_assetsPath"),
// each installed, with the syncs done three ways (the argument):
//
//   0 none      no sync at all (the cache before it synced anything)
//   1 syncfs    syncfs of the file system before the rename, fsync of
//               Acquired after it (BundleDisk::real(), the cache's way)
//   2 per_file  fsync of every file and folder of the new bundle before the
//               rename, fsync of Acquired after it
//
// Each iteration starts with nothing dirty on the disk (sync() before the
// timed part). Counters: "ms" per bundle (wall time), "sync_ms" of it
// spent in the syncs. The folders lie below $TL_BENCH_DIR (default
// /var/tmp), which must be on a real disk: on tmpfs every sync is free.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/assets/bundle_disk.h"
#include "core/assets/cache_processor.h"
#include "core/runtime/configuration_parameter.h"
#include "core/runtime/gzip_file.h"
#include "core/runtime/i_processor_listener.h"
#include "core/runtime/i_thrift_provider.h"
#include "core/runtime/unique_fd.h"

namespace {

using namespace tembrolexinsdk;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kSmallFiles = 1000;
constexpr size_t kSmallFileBytes = 4096;
constexpr size_t kLargeBytes = 200u << 20;

// Listens to nothing.
class Quiet final : public IProcessorListener, public IThriftProvider {
 public:
  void onProcessorEvent(const INamedObject*, const IProcessorEventParams*) override {}
  void onLogEvent(const INamedObject*, const LogParams*) override {}
  void onProcessorStatusChanged(const INamedObject*, const IProcessorStatusParams*) override {}
  void onFailed(const FailureParams&) override {}
  void onNTPRequired() override {}
  security::IDataSigner* signer() const override { return nullptr; }
  void registerListener(int, IThriftConsumer*) override {}
  void sendMessage(const std::string&, std::unique_ptr<ThriftParams>) override {}
};

// The other way: one fsync for each file and folder of the tree `folder`
// (links left alone), the folders after their files.
int syncEach(const std::string& folder) {
  const auto sync = [](const std::string& path, int flags) {
    const tembrolexin::Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | flags));
    return fd.valid() && ::fsync(fd.get()) == 0 ? 0 : errno;
  };
  std::vector<std::string> folders{folder};
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_symlink()) continue;
    if (entry.is_directory()) {
      folders.push_back(entry.path());
    } else if (entry.is_regular_file()) {
      if (const int error = sync(entry.path(), 0)) return error;
    }
  }
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    if (const int error = sync(*it, O_DIRECTORY)) return error;
  }
  return 0;
}

// The real disk, or one of the other two ways, timing its syncs.
class TimedDisk final : public cacheprocessor::BundleDisk {
 public:
  explicit TimedDisk(int mode) : mode_(mode) {}
  int syncTree(const std::string& folder) override {
    return timed([&] { return mode_ == 2 ? syncEach(folder) : real().syncTree(folder); });
  }
  int syncFolder(const std::string& folder) override {
    return timed([&] { return real().syncFolder(folder); });
  }
  int rename(const std::string& from, const std::string& to) override {
    return real().rename(from, to);
  }
  int removeFile(const std::string& path) override { return real().removeFile(path); }
  bool removeTree(const std::string& folder) override { return real().removeTree(folder); }
  Clock::duration spent{};

 private:
  template <typename F>
  int timed(F sync) {
    if (mode_ == 0) return 0;
    const auto begin = Clock::now();
    const int error = sync();
    spent += Clock::now() - begin;
    return error;
  }
  const int mode_;
};

std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937_64 random(seed);
  std::string bytes(size, '\0');
  for (size_t i = 0; i + 8 <= size; i += 8) {
    const uint64_t word = random();
    std::memcpy(bytes.data() + i, &word, 8);
  }
  return bytes;
}

void writeFile(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A valid bundle's own files, with the id `id`.
std::map<std::string, std::string> bundleFiles(const std::string& id) {
  return {
      {"manifest.json", R"({"id":")" + id +
                            R"(","version":1,"validFrom":"2020-01-01 00:00:00",)"
                            R"("validTo":"2100-01-01 00:00:00","assets":{"html":["index.html"]}})"},
      {"formatVersion.txt", "3"},
      {"actions.json", R"({"entryPoint":"index.html"})"},
      {"index.html", "<html><head><title>t</title></head><body></body></html>"}};
}

// `files` as the asset package `db` + ".gz".
std::string pack(const std::string& db, const std::map<std::string, std::string>& files) {
  fs::create_directories(fs::path(db).parent_path());
  sqlite3* handle = nullptr;
  sqlite3_open(db.c_str(), &handle);
  sqlite3_exec(handle, "CREATE TABLE assets (name TEXT, type TEXT, data BLOB); BEGIN;", nullptr,
               nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(handle, "INSERT INTO assets VALUES (?, 'x', ?)", -1, &insert, nullptr);
  for (const auto& [name, bytes] : files) {
    sqlite3_bind_text(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(insert, 2, bytes.data(), static_cast<int>(bytes.size()), SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(handle, "COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_close(handle);
  const std::string gz = tembrolexin::gzip::zip_file(db, 1);
  fs::remove(db);
  return gz;
}

// The folder of every run, removed at the end of main: nothing is deleted
// while the runs go on, but what an iteration must delete. A file system
// slows down the creation of files for a while after many were deleted
// (ext4 skips the inodes freed in the last minutes), which would be
// measured instead of the syncs.
std::string& scratch() {
  static std::string& path = *new std::string;
  return path;
}

enum class Route { kPackage, kCopy };

// Each iteration brings in one bundle by `route`: with `distinct`, bundle
// "B<i>" in folder "b<i>", made before the timed loop and kept after it;
// else bundle "B" in folder "b" each time, withdrawn after each.
void run(benchmark::State& state, Route route, const std::map<std::string, std::string>& extra,
         bool distinct) {
  static int runs = 0;
  const std::string folder = scratch() + "/run" + std::to_string(runs++);
  const std::string root = folder + "/cache";
  const std::string acquired = root + "/Assets/Acquired";
  std::vector<std::string> sources;
  const int64_t count = distinct ? state.max_iterations : 1;
  for (int64_t i = 0; i < count; ++i) {
    const std::string number = distinct ? std::to_string(i) : std::string();
    const std::string name = std::string("b").append(number);
    std::map<std::string, std::string> files = bundleFiles(std::string("B").append(number));
    files.insert(extra.begin(), extra.end());
    if (route == Route::kPackage) {
      sources.push_back(pack(folder + "/source/" + name + ".db", files));
    } else {
      sources.push_back(folder + "/app/" + name);
      for (const auto& [file, bytes] : files) writeFile(sources.back() + "/" + file, bytes);
    }
  }
  TimedDisk disk(static_cast<int>(state.range(0)));
  CacheProcessor::Options options;
  options.disk = &disk;
  Quiet quiet;
  CacheProcessor processor(options);
  processor.Initialise(&quiet, -1, nullptr);
  processor.SetFilePath(root);

  Clock::duration total{};
  Clock::duration synced{};
  size_t i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string& source = sources[distinct ? i : 0];
    const std::string package = acquired + "/" + fs::path(source).filename().string();
    if (route == Route::kPackage) fs::copy_file(source, package);
    const ConfigurationParameter<bool> copy(false);
    const ConfigurationParameter<std::string> path(source);
    const ConfigurationParameters map{{CacheProcessor::kAssetsCanBeMovedKey, &copy},
                                      {CacheProcessor::kAssetsPathKey, &path}};
    ::sync();
    disk.spent = {};
    state.ResumeTiming();
    const auto begin = Clock::now();
    if (route == Route::kPackage) {
      processor.preparePackagedAsset(package);
    } else {
      processor.Configure(&map, nullptr);
    }
    total += Clock::now() - begin;
    state.PauseTiming();
    synced += disk.spent;
    ++i;
    if (processor.readyAssetPaths().size() != (distinct ? i : 1)) {
      state.SkipWithError("a bundle was not installed");
    }
    if (!distinct) processor.removeReadyAsset("B", "b");  // the next one installs anew
    ::sync();
    state.ResumeTiming();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["ms"] = std::chrono::duration<double, std::milli>(total).count() / n;
  state.counters["sync_ms"] = std::chrono::duration<double, std::milli>(synced).count() / n;
}

std::map<std::string, std::string> smallFiles() {
  std::map<std::string, std::string> files;
  for (int i = 0; i < kSmallFiles; ++i) {
    files["www/f" + std::to_string(i)] = randomBytes(kSmallFileBytes, static_cast<unsigned>(i));
  }
  return files;
}

void BM_LargePackage(benchmark::State& state) {
  run(state, Route::kPackage, {{"pad", randomBytes(kLargeBytes, 1)}}, false);
}
void BM_SmallFilesPackage(benchmark::State& state) {
  run(state, Route::kPackage, smallFiles(), true);
}
void BM_SmallFilesFolderCopy(benchmark::State& state) {
  run(state, Route::kCopy, smallFiles(), true);
}

BENCHMARK(BM_LargePackage)->DenseRange(0, 2)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallFilesPackage)->DenseRange(0, 2)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallFilesFolderCopy)->DenseRange(0, 2)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  const char* base = std::getenv("TL_BENCH_DIR");
  std::string path = std::string(base != nullptr ? base : "/var/tmp") + "/tl_sync.XXXXXX";
  if (::mkdtemp(path.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  scratch() = path;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  fs::remove_all(path, ignored);
  return 0;
}
