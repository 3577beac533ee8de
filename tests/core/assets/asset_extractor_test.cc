#include "core/assets/asset_extractor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/peak_memory.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using tembrolexin::AssetExtractor;
using Refusal = AssetExtractor::Refusal;
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


// Runs `sql` on a new database at `path`.
void writeDatabase(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  // One transaction: thousands of rows are written in a moment.
  EXPECT_EQ(sqlite3_exec(db, ("BEGIN;" + sql + "COMMIT;").c_str(), nullptr, nullptr, &error),
            SQLITE_OK)
      << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

// A steady clock that moves one second on at every reading.
class TickingClock final : public tembrolexinsdk::Clock {
 public:
  std::chrono::steady_clock::time_point steadyNow() const override {
    return std::chrono::steady_clock::time_point(std::chrono::seconds(++ticks_));
  }
  int64_t wallMicros() const override { return 0; }
  int64_t upTimeMillis() const override { return 0; }
  void waitUntil(tembrolexin::CondVar&, std::unique_lock<tembrolexin::Mutex>&,
                 std::chrono::steady_clock::time_point) const override {}
  mutable std::atomic<int64_t> ticks_{0};
};

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
                          {"null.txt", std::nullopt},
                          {"./www//css/./b.css", "b"}});
  for (const std::string& target : {dir_.file("out"), dir_.file("out2/")}) {
    const AssetExtractor::Result result = AssetExtractor(package_).extract(target);
    EXPECT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.files, 8u);
    EXPECT_EQ(result.bytes, 2u + 6 + 8 + 5 + 6 + 1);
    EXPECT_THAT(snapshot(target),
                ElementsAre(Pair("dup.txt", "second"), Pair("empty.txt", ""), Pair("img", "<dir>"),
                            Pair("img/a.bin", binary), Pair("manifest.json", "{}"),
                            Pair("null.txt", ""), Pair("www", "<dir>"), Pair("www/css", "<dir>"),
                            Pair("www/css/b.css", "b"), Pair("www/css/site.css", "body{}")))
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
  EXPECT_TRUE(AssetExtractor(package_).extract(dir_.file("out")).ok());
  auto tree = snapshot(dir_.path());
  tree.erase("pkg.db");
  EXPECT_THAT(tree, ElementsAre(Pair("out", "<dir>"), Pair("out/ok.txt", "ok")));
}

TEST_F(AssetExtractorTest, StopsAtAFolderThatCannotBeCreated) {
  writePackage(package_, {{"a", "file"}, {"a/b", "x"}, {"c", "late"}});
  EXPECT_TRUE(AssetExtractor(package_).extract(dir_.file("out")).ok());
  EXPECT_THAT(snapshot(dir_.file("out")), ElementsAre(Pair("a", "file")));
}

// A write the system refuses (a file size limit standing in for a full disk)
// ends the extraction as the disk's fault, naming the file and the reason;
// the rows after it are not written.
TEST_F(AssetExtractorTest, RefusedWriteFailsTheExtraction) {
  writePackage(package_, {{"manifest.json", "{}"},
                          {"big.bin", std::string(300 << 10, 'b')},
                          {"late.txt", "late"}});
  const std::string out = dir_.file("out");
  const std::string seen = tltest::inChild([&] {
    tltest::limitFileSize(256 << 10);
    const AssetExtractor::Result r = AssetExtractor(package_).extract(out);
    return std::to_string(r.refusal == Refusal::kWriteFailed) + " " + r.error;
  });
  EXPECT_EQ(seen, "1 cannot write " + out + "/big.bin: File too large");
  EXPECT_FALSE(fs::exists(out + "/late.txt"));
}

// Links that already sit in the target folder are never written through: a
// linked folder ends the writing, a linked file is skipped, a named pipe
// neither blocks nor is written.
TEST_F(AssetExtractorTest, NeverWritesThroughLinksInTheTarget) {
  const std::string out = dir_.file("out");
  fs::create_directories(dir_.file("victim"));
  tltest::writeFile(dir_.file("victim/page.html"), "mine");
  fs::create_directories(out);
  fs::create_directory_symlink("../victim", out + "/www");
  fs::create_symlink("../victim/page.html", out + "/index.html");
  ASSERT_EQ(::mkfifo((out + "/pipe").c_str(), 0600), 0);
  writePackage(package_, {{"index.html", "evil"}, {"pipe", "p"}, {"ok.txt", "ok"},
                          {"www/pwn.txt", "pwned"}, {"late.txt", "x"}});
  EXPECT_TRUE(AssetExtractor(package_).extract(out).ok());
  EXPECT_THAT(snapshot(dir_.file("victim")), ElementsAre(Pair("page.html", "mine")));
  EXPECT_EQ(tltest::readFile(out + "/ok.txt"), "ok");
  EXPECT_FALSE(fs::exists(out + "/late.txt"));

  // A target folder that is itself a link is refused.
  fs::create_directory_symlink(dir_.file("victim"), dir_.file("linked"));
  const AssetExtractor::Result result = AssetExtractor(package_).extract(dir_.file("linked"));
  EXPECT_EQ(result.refusal, Refusal::kFolder);
  EXPECT_THAT(snapshot(dir_.file("victim")), ElementsAre(Pair("page.html", "mine")));
}

// Hostile packages, each refused with its reason before or while it is read,
// with nothing or only the rows before the bound written.
struct HostileCase {
  const char* name;
  std::string sql;  // builds the package
  // Sets the limits; gets the target folder.
  std::function<void(AssetExtractor::Limits&, const std::string&)> limit;
  Refusal refusal;
  std::string error;
  std::optional<std::vector<std::string>> written;  // files in the target afterwards
};
void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }
class AssetExtractorHostileTest : public AssetExtractorTest,
                                  public ::testing::WithParamInterface<HostileCase> {};

TEST_P(AssetExtractorHostileTest, IsRefusedWithItsReason) {
  const HostileCase& c = GetParam();
  writeDatabase(package_, c.sql);
  AssetExtractor::Limits limits;
  if (c.limit) c.limit(limits, dir_.file("out"));
  const AssetExtractor::Result result = AssetExtractor(package_, limits).extract(dir_.file("out"));
  EXPECT_EQ(result.refusal, c.refusal);
  EXPECT_EQ(result.error, c.error);
  std::vector<std::string> written;
  for (const auto& [path, content] : snapshot(dir_.file("out"))) written.push_back(path);
  if (c.written) {
    EXPECT_EQ(written, *c.written);
  }
  EXPECT_EQ(written.size(), result.files);
}

using Files = std::vector<std::string>;
const std::string kTable = "CREATE TABLE assets (name TEXT, type TEXT, data BLOB);";
std::string rows(int count, int bytes) {
  std::string sql;
  for (int i = 0; i < count; ++i) {
    sql += "INSERT INTO assets VALUES ('f" + std::to_string(i) + "', 'other', zeroblob(" +
           std::to_string(bytes) + "));";
  }
  return sql;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Packages, AssetExtractorHostileTest, ::testing::Values(
    HostileCase{"RecursiveView",
                "CREATE VIEW assets AS WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) "
                "SELECT 'f' || n AS name, 'other' AS type, x'00' AS data FROM r;",
                nullptr, Refusal::kNotAPackage, "assets is not a plain table", Files{}},
    HostileCase{"ZeroblobView",
                "CREATE VIEW assets AS SELECT 'big' AS name, 'other' AS type, zeroblob(1000000000) AS data;",
                nullptr, Refusal::kNotAPackage, "assets is not a plain table", Files{}},
    HostileCase{"ComputedColumn",
                "CREATE TABLE assets (name TEXT, type TEXT, data BLOB GENERATED ALWAYS AS "
                "(zeroblob(1000000000)) VIRTUAL); INSERT INTO assets (name, type) VALUES ('big', 'other');",
                nullptr, Refusal::kNotAPackage, "assets is not a plain table", Files{}},
    HostileCase{"VirtualTable",
                "CREATE VIRTUAL TABLE assets USING fts5(name, type, data);",
                nullptr, Refusal::kNotAPackage, "assets is not a plain table", Files{}},
    HostileCase{"NoAssetsTable", "CREATE TABLE files (x);",
                nullptr, Refusal::kNotAPackage, "no table named assets", Files{}},
    HostileCase{"PastTheSizeBound", kTable + rows(3, 400),
                [](AssetExtractor::Limits& l, const std::string&) { l.maxBytes = 1000; },
                Refusal::kTooLarge, "unpacked size exceeds 1000 bytes", Files{"f0", "f1"}},
    HostileCase{"ExactlyTheSizeBound", kTable + rows(2, 500),
                [](AssetExtractor::Limits& l, const std::string&) { l.maxBytes = 1000; },
                Refusal::kNone, "", Files{"f0", "f1"}},
    HostileCase{"RowPastSQLitesLengthBound", kTable + rows(1, 3 << 20),
                [](AssetExtractor::Limits& l, const std::string&) { l.maxBytes = 2 << 20; },
                Refusal::kTooLarge, "unpacked size exceeds 2097152 bytes", Files{}},
    HostileCase{"TooManyFiles", kTable + rows(3, 1),
                [](AssetExtractor::Limits& l, const std::string&) { l.maxFiles = 2; },
                Refusal::kTooManyFiles, "more than 2 files", Files{"f0", "f1"}},
    // Each reading of the clock is a second later: the deadline passes
    // while the package is still being read.
    HostileCase{"PastTheDeadline", kTable + rows(2000, 1),
                [](AssetExtractor::Limits& l, const std::string&) {
                  static TickingClock clock;
                  l.clock = &clock;
                  l.deadline = clock.steadyNow() + std::chrono::seconds(50);
                },
                Refusal::kTimeLimit, "time limit reached", std::nullopt},
    HostileCase{"StoppedAfterTheFirstFile", kTable + rows(3, 1),
                [](AssetExtractor::Limits& l, const std::string& out) {
                  l.stop = [out] { return fs::exists(out + "/f0"); };
                },
                Refusal::kStopped, "stopped", Files{"f0"}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(AssetExtractorTest, UnreadablePackagesAreRefused) {
  std::ofstream(package_) << "this is not a database";
  const AssetExtractor::Result notSqlite = AssetExtractor(package_).extract(dir_.file("out"));
  EXPECT_EQ(notSqlite.refusal, Refusal::kNotAPackage);
  EXPECT_EQ(notSqlite.error, "not an SQLite database: file is not a database");

  const AssetExtractor::Result absent = AssetExtractor(dir_.file("absent.db")).extract(dir_.file("out"));
  EXPECT_EQ(absent.refusal, Refusal::kNotAPackage);
  EXPECT_FALSE(fs::exists(dir_.file("absent.db")));  // opened read-only, never created

  writePackage(dir_.file("empty.db"), {});
  const AssetExtractor::Result empty = AssetExtractor(dir_.file("empty.db")).extract(dir_.file("out"));
  EXPECT_TRUE(empty.ok());
  EXPECT_EQ(empty.files, 0u);
  EXPECT_THAT(snapshot(dir_.file("out")), IsEmpty());
}

// Rows are written as they are read: memory holds one row at a time, not the
// package, measured as the process's peak resident size.
TEST_F(AssetExtractorTest, MemoryHoldsOneRowNotThePackage) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "freed memory stays resident under sanitizers";
#endif
  writeDatabase(package_, kTable + rows(48, 1 << 20));
  tltest::PeakMemory peak;
  if (!peak.available()) GTEST_SKIP() << "the kernel does not report a resettable peak";
  const AssetExtractor::Result result = AssetExtractor(package_).extract(dir_.file("out"));
  EXPECT_TRUE(result.ok()) << result.error;
  EXPECT_EQ(result.bytes, 48u << 20);
  EXPECT_LT(peak.growthBytes(), 16u << 20);
}

}  // namespace
