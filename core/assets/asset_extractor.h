// Unpacks an asset package: an SQLite database whose table `assets` holds
// every file of a content bundle as a row (name, type, data). Each row is
// written as a file below a target folder as soon as it is read, recreating
// the bundle folder; a later row of the same name overwrites an earlier one.
//
//   AssetExtractor::Limits limits;
//   limits.stop = [&] { return stopping.load(); };
//   AssetExtractor::Result r = AssetExtractor(dbPath, limits).extract(folder);
//   if (!r.ok()) ... r.refusal, r.error ...
//
// A package is a file, not a program: only a real table named `assets` is
// read (never a view, a virtual table or computed columns), and views,
// triggers and functions of the schema are switched off. Its work is bounded
// (Limits): the unpacked size (all rows' bytes), the number of files, a
// deadline on the clock, and a stop request, asked between rows, between
// chunks of a large row and, through SQLite's progress handler, while SQLite
// works. A package past a bound is refused: extract() stops and says which
// bound, leaving what it had written.
//
// Writing never follows a symbolic link: folders and files are created
// relative to the target folder's descriptor without following links
// (openat, O_NOFOLLOW), so nothing is written outside the target folder even
// when a link already sits in it. Rows whose name is empty, NULL, absolute,
// ends in "/" or holds a ".." segment, and rows whose type is NULL, are
// skipped. A row whose folder cannot be created ends the writing (no
// refusal: the caller judges the bundle by its manifest); a file that cannot
// be opened is skipped. A write the system refuses (a full disk, a quota, a
// file size limit, an I/O error), also while creating a file or folder or
// closing a file, ends the extraction with kWriteFailed, naming the path and
// the system's reason: what was written is cut off and must not be used.
//
// Memory: one row at a time, so memory use is the largest row, which is at
// most the size bound.
//
// Thread safety: one extractor is used by one thread at a time; `stop` may be
// answered from any state the caller keeps.
#ifndef TL_CORE_ASSETS_ASSET_EXTRACTOR_H_
#define TL_CORE_ASSETS_ASSET_EXTRACTOR_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/runtime/clock.h"

struct sqlite3;

namespace tembrolexin {

class AssetExtractor {
 public:
  static constexpr uint64_t kDefaultMaxBytes = 256ull << 20;
  static constexpr std::size_t kDefaultMaxFiles = 20000;

  struct Limits {
    uint64_t maxBytes = kDefaultMaxBytes;
    std::size_t maxFiles = kDefaultMaxFiles;
    // Read on `clock`; the default never passes.
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    const tembrolexinsdk::Clock* clock = &tembrolexinsdk::Clock::real();
    std::function<bool()> stop;  // empty: never
  };

  enum class Refusal {
    kNone,
    kNotAPackage,  // not an SQLite database, no table `assets`, or not a plain table
    kTooLarge,     // more than maxBytes unpacked
    kTooManyFiles,
    kTimeLimit,    // the deadline passed
    kStopped,      // stop answered true
    kFolder,       // the target folder cannot be made or opened without links
    kWriteFailed,  // the system refused a write: the disk's fault, not the package's
  };

  struct Result {
    Refusal refusal = Refusal::kNone;
    std::string error;  // what went wrong, in words; empty when not refused
    uint64_t bytes = 0;      // written
    std::size_t files = 0;   // written (a name written twice counts twice)
    bool ok() const { return refusal == Refusal::kNone; }
  };

  // Opens the database read-only; a database that cannot be opened is
  // refused by extract().
  explicit AssetExtractor(std::string databasePath);
  AssetExtractor(std::string databasePath, Limits limits);
  ~AssetExtractor();
  AssetExtractor(const AssetExtractor&) = delete;
  AssetExtractor& operator=(const AssetExtractor&) = delete;

  // Writes every row of the package into `targetFolder` (created with its
  // parents when missing; it must not be a link). Once only.
  Result extract(std::string targetFolder);

 private:
  struct CloseDb {
    void operator()(sqlite3* db) const;
  };
  class Writer;

  bool checkSchema(Result& result);
  // Whether a bound other than size stops the work now; notes which.
  bool interrupted();
  static int onProgress(void* self);

  const std::string path_;
  const Limits limits_;
  std::unique_ptr<sqlite3, CloseDb> db_;
  std::string openError_;
  Refusal interruption_ = Refusal::kNone;
};

}  // namespace tembrolexin

#endif  // TL_CORE_ASSETS_ASSET_EXTRACTOR_H_
