// Unpacks an asset package: an SQLite database whose table `assets` holds
// every file of a content bundle as a row (name, type, data). The extractor
// reads all rows into memory and writes each one as a file below a target
// folder, recreating the bundle folder.
//
// Nothing is reported: an unreadable database, a missing table, a folder or
// file that cannot be created all end in fewer files on disk; the caller
// checks the result through the bundle's manifest. Rows whose name is empty,
// NULL, absolute, ends in "/" or holds a ".." segment are skipped, so nothing
// is ever written outside the target folder.
//
// Memory: every row's bytes are held until the extractor is destroyed, so
// memory use equals the unpacked size of the bundle.
//
// Thread safety: one extractor is used by one thread at a time.
#ifndef TL_CORE_ASSETS_ASSET_EXTRACTOR_H_
#define TL_CORE_ASSETS_ASSET_EXTRACTOR_H_

#include <memory>
#include <string>
#include <vector>

struct sqlite3;

namespace tembrolexin {

class AssetExtractor {
 public:
  struct Row {
    std::string name;
    std::string type;  // kept, but not used when writing
    std::vector<unsigned char> data;
  };

  // Opens the database read-only; a database that cannot be opened leaves
  // the extractor without rows.
  explicit AssetExtractor(std::string databasePath);
  ~AssetExtractor();
  AssetExtractor(const AssetExtractor&) = delete;
  AssetExtractor& operator=(const AssetExtractor&) = delete;

  // getData, then createFiles into `targetFolder`.
  void extract(std::string targetFolder);
  // Appends every row of the table, in the order SQLite returns them; stops
  // at the first step that yields no row.
  void getData();
  // Writes each row to `targetFolder` + "/" + its name, creating folders
  // (mode 0755) as needed. Stops at the first folder that cannot be created;
  // a file that cannot be opened is skipped. A later row of the same name
  // overwrites an earlier one.
  void createFiles(std::string targetFolder);

  const std::vector<Row>& rows() const { return rows_; }

 private:
  struct CloseDb {
    void operator()(sqlite3* db) const;
  };
  std::unique_ptr<sqlite3, CloseDb> db_;
  std::vector<Row> rows_;
  // Rows whose name or type was NULL; they are read but never written.
  std::vector<bool> unnamed_;
};

}  // namespace tembrolexin

#endif  // TL_CORE_ASSETS_ASSET_EXTRACTOR_H_
