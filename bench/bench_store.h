// A sound key-value store made for a benchmark: `rows` rows of `valueBytes`
// bytes ("<key prefix>1" to "<key prefix><rows>") in one table, written in
// one transaction with the table a store makes, in a folder of its own below
// $TL_BENCH_DIR (default /var/tmp) that is removed with the object.
// Aborts the benchmark when the store cannot be made. Not thread-safe.
#ifndef TL_BENCH_BENCH_STORE_H_
#define TL_BENCH_BENCH_STORE_H_

#include <sqlite3.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/runtime/database.h"

namespace tlbench {

class BenchStore {
 public:
  // `value` is the SQL function that makes each value: "zeroblob" or
  // "randomblob".
  BenchStore(const std::string& fileName, const std::string& table, const std::string& keyPrefix,
             int rows, int valueBytes, const std::string& value) {
    const char* base = std::getenv("TL_BENCH_DIR");
    std::string pattern = std::string(base != nullptr ? base : "/var/tmp") + "/tl_storeXXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    folder_ = pattern;
    path_ = folder_ + "/" + fileName;
    tembrolexinsdk::DB::Database(path_, table);  // the table as a store makes it
    sqlite3* db = nullptr;
    if (sqlite3_open(path_.c_str(), &db) != SQLITE_OK) std::abort();
    const std::string fill =
        "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(rows) + ") INSERT INTO `" + table + "` SELECT '" + keyPrefix + "' || i, " +
        value + "(" + std::to_string(valueBytes) + ") FROM n; COMMIT;";
    if (sqlite3_exec(db, fill.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
    sqlite3_close(db);
  }
  ~BenchStore() { std::filesystem::remove_all(folder_); }
  BenchStore(const BenchStore&) = delete;
  BenchStore& operator=(const BenchStore&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string folder_;
  std::string path_;
};

}  // namespace tlbench

#endif  // TL_BENCH_BENCH_STORE_H_
