#include "core/assets/asset_extractor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using tembrolexin::AssetExtractor;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

struct PackageRow {
  std::optional<std::string> name;  // nullopt: NULL
  std::optional<std::string> data;  // nullopt: NULL
};

// Writes an asset package with the rows in order.
void writePackage(const std::string& path, const std::vector<PackageRow>& rows) {
  const auto literal = [](const std::optional<std::string>& v, bool blob) {
    if (!v) return std::string("NULL");
    if (!blob) return "'" + *v + "'";
    std::string hex = "X'";
    for (unsigned char c : *v) hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
    return hex + "'";
  };
  std::string sql = "CREATE TABLE assets (name TEXT, type TEXT, data BLOB);";
  for (const PackageRow& row : rows) {
    sql += "INSERT INTO assets VALUES (" + literal(row.name, false) + ", 'other', " +
           literal(row.data, true) + ");";
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
}

// Every file below `root`: relative path -> bytes ("<dir>" for folders).
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string rel = entry.path().lexically_relative(root).string();
    if (entry.is_directory()) {
      out[rel] = "<dir>";
    } else {
      std::ifstream in(entry.path(), std::ios::binary);
      out[rel] = std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
  return out;
}

class AssetExtractorTest : public ::testing::Test {
 protected:
  tltest::TempDir dir_;
  const std::string package_ = dir_.file("pkg.db");
};

TEST_F(AssetExtractorTest, RecreatesTheFolderByteExactly) {
  const std::string binary("\x00\x01\xff\x00tail", 8);
  writePackage(package_, {{"manifest.json", "{}"},
                          {"www/css/site.css", "body{}"},
                          {"img/a.bin", binary},
                          {"dup.txt", "first"},
                          {"dup.txt", "second"},
                          {"empty.txt", ""},
                          {"null.txt", std::nullopt}});
  for (const std::string& target : {dir_.file("out"), dir_.file("out2/")}) {
    AssetExtractor(package_).extract(target);
    EXPECT_THAT(snapshot(target),
                ElementsAre(Pair("dup.txt", "second"), Pair("empty.txt", ""), Pair("img", "<dir>"),
                            Pair("img/a.bin", binary), Pair("manifest.json", "{}"),
                            Pair("null.txt", ""), Pair("www", "<dir>"), Pair("www/css", "<dir>"),
                            Pair("www/css/site.css", "body{}")))
        << target;
  }
}

TEST_F(AssetExtractorTest, HostileNamesWriteNothingOutsideOrAtAll) {
  writePackage(package_, {{"", "e"},
                          {std::nullopt, "n"},
                          {"/tmp-abs.txt", "a"},
                          {"sub/", "s"},
                          {"../escape.txt", "x"},
                          {"a/../../escape2.txt", "x"},
                          {"a/../inside.txt", "x"},
                          {"ok.txt", "ok"}});
  fs::create_directories(dir_.file("out"));
  AssetExtractor(package_).extract(dir_.file("out"));
  auto tree = snapshot(dir_.path());
  tree.erase("pkg.db");
  EXPECT_THAT(tree, ElementsAre(Pair("out", "<dir>"), Pair("out/ok.txt", "ok")));
}

TEST_F(AssetExtractorTest, StopsAtAFolderThatCannotBeCreated) {
  writePackage(package_, {{"a", "file"}, {"a/b", "x"}, {"c", "late"}});
  AssetExtractor(package_).extract(dir_.file("out"));
  EXPECT_THAT(snapshot(dir_.file("out")), ElementsAre(Pair("a", "file")));
}

TEST_F(AssetExtractorTest, UnreadablePackagesGiveNoFiles) {
  std::ofstream(package_) << "this is not a database";
  AssetExtractor notSqlite(package_);
  notSqlite.extract(dir_.file("out"));
  EXPECT_THAT(notSqlite.rows(), IsEmpty());

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir_.file("other.db").c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "CREATE TABLE files (x)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  AssetExtractor(dir_.file("other.db")).extract(dir_.file("out"));
  AssetExtractor(dir_.file("absent.db")).extract(dir_.file("out"));
  writePackage(dir_.file("empty.db"), {});
  AssetExtractor(dir_.file("empty.db")).extract(dir_.file("out"));

  EXPECT_FALSE(fs::exists(dir_.file("out")));
  EXPECT_FALSE(fs::exists(dir_.file("absent.db")));  // opened read-only, never created
}

}  // namespace
