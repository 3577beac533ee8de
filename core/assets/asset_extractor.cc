#include "core/assets/asset_extractor.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "core/assets/bundle_paths.h"
#include "core/runtime/dir_info.h"
#include "core/runtime/error_text.h"
#include "core/runtime/file_info.h"
#include "core/runtime/unique_fd.h"

namespace tembrolexin {

namespace {

constexpr char kSelect[] = "SELECT name, type, data FROM main.assets";
constexpr char kSchema[] =
    "SELECT type, sql FROM main.sqlite_schema WHERE name = 'assets' COLLATE NOCASE";
constexpr char kColumns[] = "PRAGMA main.table_xinfo('assets')";
// SQLite's progress handler runs after this many virtual machine steps.
constexpr int kProgressSteps = 1000;
// A large row is written in slices of this size, asking for a stop between.
constexpr std::size_t kWriteSlice = 1 << 20;
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct FinalizeStmt {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStmt>;

// The segments of a row's name that name something: empty and "." ones are
// dropped ("a//./b" is "a/b").
std::vector<std::string> segmentsOf(const std::string& name) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string segment = name.substr(start, end - start);
    if (!segment.empty() && segment != ".") out.push_back(std::move(segment));
    start = end + 1;
  }
  return out;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Failures that say the storage cannot take more, rather than that the name
// is unusable.
bool isStorageFault(int error) {
  return error == ENOSPC || error == EDQUOT || error == EFBIG || error == EIO || error == EROFS ||
         error == ENOMEM;
}

const char* text(sqlite3_stmt* stmt, int column) {
  return reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
}

}  // namespace

// Writes rows below the target folder, walking from its descriptor without
// following links.
class AssetExtractor::Writer {
 public:
  enum class Outcome { kWritten, kSkipped, kFolderFailed, kInterrupted, kWriteFailed };

  explicit Writer(Fd root) : root_(std::move(root)) {}

  // Set with kWriteFailed: errno of the refused call.
  int error() const { return error_; }

  Outcome write(const std::string& name, const unsigned char* data, std::size_t size,
                AssetExtractor& owner) {
    const std::vector<std::string> segments = segmentsOf(name);
    if (segments.empty()) return Outcome::kSkipped;
    Fd parent;
    int at = root_.get();
    for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
      if (::mkdirat(at, segments[i].c_str(), 0755) != 0 && errno != EEXIST) {
        return failed(errno, Outcome::kFolderFailed);
      }
      Fd next(::openat(at, segments[i].c_str(), kFolderFlags));
      if (!next.valid()) return Outcome::kFolderFailed;  // a file, or a link
      parent = std::move(next);
      at = parent.get();
    }
    // Non-blocking, so that a named pipe of that name fails at once; only a
    // regular file is written.
    Fd file(::openat(at, segments.back().c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    if (!file.valid()) return failed(errno, Outcome::kSkipped);
    struct stat st;
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return Outcome::kSkipped;
    std::size_t done = 0;
    while (done < size) {
      if (done > 0 && owner.interrupted()) return Outcome::kInterrupted;
      const std::size_t slice = std::min(kWriteSlice, size - done);
      const ssize_t n = ::write(file.get(), data + done, slice);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return failed(errno, Outcome::kWriteFailed);
      if (n == 0) return failed(ENOSPC, Outcome::kWriteFailed);
      done += static_cast<std::size_t>(n);
    }
    if (!file.close()) return failed(errno, Outcome::kWriteFailed);
    return Outcome::kWritten;
  }

 private:
  // kWriteFailed for a storage fault (or when `otherwise` is one), else
  // `otherwise`.
  Outcome failed(int error, Outcome otherwise) {
    error_ = error;
    return otherwise == Outcome::kWriteFailed || isStorageFault(error) ? Outcome::kWriteFailed
                                                                       : otherwise;
  }

  Fd root_;
  int error_ = 0;
};

void AssetExtractor::CloseDb::operator()(sqlite3* db) const { sqlite3_close(db); }

AssetExtractor::AssetExtractor(std::string databasePath)
    : AssetExtractor(std::move(databasePath), Limits()) {}

AssetExtractor::AssetExtractor(std::string databasePath, Limits limits)
    : path_(std::move(databasePath)), limits_(std::move(limits)) {
  if (!tembrolexin::fileio::isUsablePath(path_)) {
    openError_ = "unusable path";
    return;
  }
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path_.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  db_.reset(raw);  // closed on failure too
  if (rc != SQLITE_OK) {
    openError_ = raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    db_.reset();
    return;
  }
  // The package's schema is not trusted: no views, no triggers, no functions
  // from it, and no string or blob longer than the size bound (at least
  // 1 MiB, so that the schema's own texts can be read).
  sqlite3_db_config(db_.get(), SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db_.get(), SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_db_config(db_.get(), SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
  sqlite3_db_config(db_.get(), SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
  const uint64_t length = std::clamp<uint64_t>(limits_.maxBytes, 1 << 20, INT_MAX - 1);
  sqlite3_limit(db_.get(), SQLITE_LIMIT_LENGTH, static_cast<int>(length));
  sqlite3_progress_handler(db_.get(), kProgressSteps, &AssetExtractor::onProgress, this);
}

AssetExtractor::~AssetExtractor() = default;

int AssetExtractor::onProgress(void* self) {
  return static_cast<AssetExtractor*>(self)->interrupted() ? 1 : 0;
}

bool AssetExtractor::interrupted() {
  if (interruption_ != Refusal::kNone) return true;
  if (limits_.stop && limits_.stop()) {
    interruption_ = Refusal::kStopped;
  } else if (limits_.deadline != std::chrono::steady_clock::time_point::max() &&
             limits_.clock->steadyNow() > limits_.deadline) {
    interruption_ = Refusal::kTimeLimit;
  }
  return interruption_ != Refusal::kNone;
}

// Refuses anything but a plain table named `assets`.
bool AssetExtractor::checkSchema(Result& result) {
  const auto refuse = [&](std::string why) {
    result.refusal = interruption_ != Refusal::kNone ? interruption_ : Refusal::kNotAPackage;
    result.error = std::move(why);
    return false;
  };
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_.get(), kSchema, -1, &raw, nullptr) != SQLITE_OK) {
    Statement drop(raw);
    return refuse(std::string("not an SQLite database: ") + sqlite3_errmsg(db_.get()));
  }
  Statement schema(raw);
  int tables = 0;
  int others = 0;
  int rc;
  while ((rc = sqlite3_step(schema.get())) == SQLITE_ROW) {
    const char* type = text(schema.get(), 0);
    const char* sql = text(schema.get(), 1);
    const bool table = type != nullptr && std::string(type) == "table" &&
                       lower(sql != nullptr ? sql : "").rfind("create virtual", 0) != 0;
    ++(table ? tables : others);
  }
  if (rc != SQLITE_DONE) {
    return refuse(std::string("not an SQLite database: ") + sqlite3_errmsg(db_.get()));
  }
  if (others > 0) return refuse("assets is not a plain table");
  if (tables != 1) return refuse("no table named assets");

  if (sqlite3_prepare_v2(db_.get(), kColumns, -1, &raw, nullptr) != SQLITE_OK) {
    Statement drop(raw);
    return refuse(std::string("cannot read the table: ") + sqlite3_errmsg(db_.get()));
  }
  Statement columns(raw);
  while ((rc = sqlite3_step(columns.get())) == SQLITE_ROW) {
    // Column 6, "hidden": 2 and 3 are computed columns, worked out on read.
    if (sqlite3_column_int(columns.get(), 6) != 0) return refuse("assets is not a plain table");
  }
  if (rc != SQLITE_DONE) {
    return refuse(std::string("cannot read the table: ") + sqlite3_errmsg(db_.get()));
  }
  return true;
}

AssetExtractor::Result AssetExtractor::extract(std::string targetFolder) {
  Result result;
  if (!db_) {
    result.refusal = Refusal::kNotAPackage;
    result.error = "not an SQLite database: " + openError_;
    return result;
  }
  while (targetFolder.size() > 1 && targetFolder.back() == '/') targetFolder.pop_back();
  Fd root(targetFolder.empty() || !DirInfo::mkdir(targetFolder, true)
              ? -1
              : ::open(targetFolder.c_str(), kFolderFlags));
  if (!root.valid()) {
    result.refusal = Refusal::kFolder;
    result.error = "cannot make or open the folder " + targetFolder;
    return result;
  }
  if (!checkSchema(result)) return result;

  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_.get(), kSelect, sizeof(kSelect) - 1, &raw, nullptr) != SQLITE_OK) {
    Statement drop(raw);
    result.refusal = interruption_ != Refusal::kNone ? interruption_ : Refusal::kNotAPackage;
    result.error = std::string("cannot read the table: ") + sqlite3_errmsg(db_.get());
    return result;
  }
  Statement rows(raw);
  Writer writer(std::move(root));
  int rc;
  while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
    const char* name = text(rows.get(), 0);
    const char* type = text(rows.get(), 1);
    const void* blob = sqlite3_column_blob(rows.get(), 2);
    const std::size_t size = static_cast<std::size_t>(sqlite3_column_bytes(rows.get(), 2));
    // Texts are taken up to their first zero byte.
    if (name == nullptr || type == nullptr ||
        !tembrolexinsdk::bundlepaths::isSafeFileName(name)) {
      continue;
    }
    if (size > limits_.maxBytes - result.bytes) {
      result.refusal = Refusal::kTooLarge;
      result.error = "unpacked size exceeds " + std::to_string(limits_.maxBytes) + " bytes";
      return result;
    }
    if (result.files >= limits_.maxFiles) {
      result.refusal = Refusal::kTooManyFiles;
      result.error = "more than " + std::to_string(limits_.maxFiles) + " files";
      return result;
    }
    switch (writer.write(name, static_cast<const unsigned char*>(blob), blob ? size : 0, *this)) {
      case Writer::Outcome::kWritten:
        result.bytes += size;
        ++result.files;
        break;
      case Writer::Outcome::kSkipped:
        break;
      case Writer::Outcome::kFolderFailed:
        return result;
      case Writer::Outcome::kInterrupted:
        break;
      case Writer::Outcome::kWriteFailed:
        result.refusal = Refusal::kWriteFailed;
        result.error = "cannot write " + targetFolder + "/" + name + ": " +
                       tembrolexin::errorText(writer.error());
        return result;
    }
    if (interrupted()) break;
  }
  if (interruption_ != Refusal::kNone) {
    result.refusal = interruption_;
    result.error = interruption_ == Refusal::kStopped ? "stopped" : "time limit reached";
  } else if (rc == SQLITE_TOOBIG) {
    result.refusal = Refusal::kTooLarge;
    result.error = "unpacked size exceeds " + std::to_string(limits_.maxBytes) + " bytes";
  } else if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
    result.refusal = Refusal::kNotAPackage;
    result.error = std::string("cannot read the table: ") + sqlite3_errmsg(db_.get());
  }
  return result;
}

}  // namespace tembrolexin
