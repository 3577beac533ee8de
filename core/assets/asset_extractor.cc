#include "core/assets/asset_extractor.h"

#include <sqlite3.h>

#include <fstream>
#include <utility>

#include "core/assets/bundle_paths.h"
#include "core/runtime/dir_info.h"
#include "core/runtime/file_info.h"

namespace tembrolexin {

namespace {

constexpr char kSelect[] = "SELECT name, type, data FROM assets";

struct FinalizeStmt {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};

}  // namespace

void AssetExtractor::CloseDb::operator()(sqlite3* db) const { sqlite3_close(db); }

AssetExtractor::AssetExtractor(std::string databasePath) {
  if (!tembrolexin::fileio::isUsablePath(databasePath)) return;
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(databasePath.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  db_.reset(raw);  // closed on failure too
  if (rc != SQLITE_OK) db_.reset();
}

AssetExtractor::~AssetExtractor() = default;

void AssetExtractor::extract(std::string targetFolder) {
  getData();
  createFiles(std::move(targetFolder));
}

void AssetExtractor::getData() {
  if (!db_) return;
  sqlite3_stmt* raw = nullptr;
  const int rc = sqlite3_prepare_v2(db_.get(), kSelect, sizeof(kSelect) - 1, &raw, nullptr);
  std::unique_ptr<sqlite3_stmt, FinalizeStmt> stmt(raw);
  if (rc != SQLITE_OK || !stmt) return;
  while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
    Row row;
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
    const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 1));
    // Texts are taken up to their first zero byte.
    if (name) row.name = name;
    if (type) row.type = type;
    const void* blob = sqlite3_column_blob(stmt.get(), 2);
    const int size = sqlite3_column_bytes(stmt.get(), 2);
    if (blob && size > 0) {
      const auto* bytes = static_cast<const unsigned char*>(blob);
      row.data.assign(bytes, bytes + size);
    }
    rows_.push_back(std::move(row));
    unnamed_.push_back(name == nullptr || type == nullptr);
  }
}

void AssetExtractor::createFiles(std::string targetFolder) {
  // An empty folder would put every file below the root of the file system.
  if (targetFolder.empty()) return;
  if (targetFolder.back() != '/') targetFolder += '/';
  for (size_t i = 0; i < rows_.size(); ++i) {
    const Row& row = rows_[i];
    if (unnamed_[i] || !tembrolexinsdk::bundlepaths::isSafeFileName(row.name)) continue;
    const std::string path = targetFolder + row.name;
    if (!DirInfo::mkdir(FileInfo(path).path(), /*recursive=*/true)) return;
    std::ofstream out(path, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!out) continue;
    out.write(reinterpret_cast<const char*>(row.data.data()),
              static_cast<std::streamsize>(row.data.size()));
  }
}

}  // namespace tembrolexin
