#include "core/runtime/file_info.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "tests/support/child_process.h"
#include "tests/support/peak_memory.h"
#include "tests/support/temp_dir.h"

namespace {

using tembrolexin::FileInfo;

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

size_t entryCount(const std::string& folder) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder)) ++n;
  return n;
}

struct PathCase {
  const char* path;
  size_t index;
  const char* dir;
  const char* filename;
  const char* suffix;
  const char* basename;
  const char* longBasename;
};

class FileInfoPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(FileInfoPathTest, SplitsThePath) {
  const PathCase& c = GetParam();
  const FileInfo info(c.path);
  EXPECT_EQ(info.getFilenameIndex(), c.index);
  EXPECT_EQ(info.path(), c.dir);
  EXPECT_EQ(info.filename(), c.filename);
  EXPECT_EQ(info.suffix(), c.suffix);
  EXPECT_EQ(info.basename(), c.basename);
  EXPECT_EQ(info.longBasename(), c.longBasename);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileInfoPathTest,
    ::testing::Values(
        // path, index, path(), filename, suffix, basename, longBasename
        PathCase{"dir/archive.tar.gz", 4, "dir/", "archive.tar.gz", "gz", "archive", "archive.tar"},
        PathCase{".profile", 0, "", ".profile", "", ".profile", ".profile"},
        PathCase{"x.d/file", 4, "x.d/", "file", "", "file", "file"},
        PathCase{"name", 0, "", "name", "", "name", "name"}, PathCase{"", 0, "", "", "", "", ""},
        PathCase{"dir/", 4, "dir/", "", "", "", ""}, PathCase{"/", 1, "/", "", "", "", ""},
        PathCase{"/abs/a.b", 5, "/abs/", "a.b", "b", "a", "a"},
        PathCase{"a\\b.c", 2, "a\\", "b.c", "c", "b", "b"},
        PathCase{"a/b\\c/d.e", 6, "a/b\\c/", "d.e", "e", "d", "d"},
        PathCase{"a\\b/c", 4, "a\\b/", "c", "", "c", "c"},
        PathCase{"dir/.hidden.txt", 4, "dir/", ".hidden.txt", "txt", ".hidden", ".hidden"},
        PathCase{"dir/.profile", 4, "dir/", ".profile", "", ".profile", ".profile"},
        PathCase{"file.", 0, "", "file.", "", "file", "file"},
        PathCase{"a..b", 0, "", "a..b", "b", "a", "a."}, PathCase{"..", 0, "", "..", "", ".", "."},
        PathCase{"x/..", 2, "x/", "..", "", ".", "."}));

struct AddPathCase {
  const char* a;
  const char* b;
  const char* joined;
};

class FileInfoAddPathTest : public ::testing::TestWithParam<AddPathCase> {};

TEST_P(FileInfoAddPathTest, Joins) {
  EXPECT_EQ(FileInfo::addPath(GetParam().a, GetParam().b), GetParam().joined);
}

INSTANTIATE_TEST_SUITE_P(Table, FileInfoAddPathTest,
                         ::testing::Values(AddPathCase{"a", "b", "a/b"},
                                           AddPathCase{"a/", "b", "a/b"}, AddPathCase{"", "b", "b"},
                                           AddPathCase{"a\\", "b", "a\\/b"},
                                           AddPathCase{"a", "/b", "a//b"},
                                           AddPathCase{"a/", "/b", "a//b"},
                                           AddPathCase{"a", "", "a/"}, AddPathCase{"/", "b", "/b"},
                                           AddPathCase{"", "", ""}));

TEST(FileInfoTest, SeparatorIsSlash) { EXPECT_EQ(FileInfo::pathSeparator(), '/'); }

class FileInfoFileTest : public ::testing::Test {
 protected:
  tltest::TempDir dir_;
};

TEST_F(FileInfoFileTest, Exists) {
  writeBytes(dir_.file("present"), "x");
  EXPECT_TRUE(FileInfo(dir_.file("present")).exists());
  EXPECT_FALSE(FileInfo(dir_.file("absent")).exists());
  EXPECT_FALSE(FileInfo(dir_.file("absent/child")).exists());
}

TEST_F(FileInfoFileTest, ContentsReadsEveryByte) {
  std::string bytes;
  for (int i = 0; i < 70000; ++i) bytes += static_cast<char>(i * 7 % 256);
  writeBytes(dir_.file("data.bin"), bytes);
  EXPECT_EQ(FileInfo(dir_.file("data.bin")).contents(), bytes);
  writeBytes(dir_.file("empty"), "");
  testing::internal::CaptureStdout();
  EXPECT_EQ(FileInfo(dir_.file("empty")).contents(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // present, not missing
}

TEST_F(FileInfoFileTest, ContentsReadsReadOnlyFiles) {
  const std::string path = dir_.file("manifest.json");
  writeBytes(path, "{\"a\":1}");
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(FileInfo(path).contents(), "{\"a\":1}");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(FileInfoFileTest, ContentsOfMissingFilePrintsAndReturnsEmpty) {
  const std::string path = dir_.file("gone.txt");
  testing::internal::CaptureStdout();
  EXPECT_EQ(FileInfo(path).contents(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Missing file - " + path + "\r\n");
}

TEST_F(FileInfoFileTest, ContentsOfAFolderCountsAsMissing) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(FileInfo(dir_.path()).contents(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Missing file - " + dir_.path() + "\r\n");
}

TEST_F(FileInfoFileTest, NamedPipeIsNotWaitedOn) {
  const std::string pipe = dir_.file("pipe");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(FileInfo(pipe).contents(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Missing file - " + pipe + "\r\n");
}

// The bounded reader: what it reads of each entry and where a bound stops
// it. A sparse file far past the bound is never read; one that tells no size
// (under /proc) is read one byte past the bound and no further.
TEST_F(FileInfoFileTest, ReadRegularFileReadsFilesWithinTheBoundOnly) {
  using tembrolexin::fileio::ReadResult;
  const auto read = [](const std::string& path, size_t bound) {
    std::string text = "stale";
    int error = -1;
    const ReadResult result = tembrolexin::fileio::readRegularFile(path, bound, text, &error);
    static const char* const kNames[] = {"read", "missing", "not regular", "too large", "failed"};
    return kNames[static_cast<int>(result)] + (error != 0 ? " " + std::to_string(error) : "") +
           (text.empty() ? "" : " " + text);
  };
  writeBytes(dir_.file("ten"), "0123456789");
  // Twice the bound: a reader that lost its bound reads it whole, which the
  // checks below see without holding or printing the text.
  const std::string sparse = dir_.file("sparse");
  writeBytes(sparse, "{}");
  std::filesystem::resize_file(sparse, uint64_t{32} << 20);
  ASSERT_EQ(::mkfifo(dir_.file("pipe").c_str(), 0600), 0);
  std::filesystem::create_symlink("ten", dir_.file("link"));
  std::filesystem::create_symlink("gone", dir_.file("dangling"));
  {
    tltest::PeakMemory peak;
    std::string text = "stale";
    EXPECT_EQ(tembrolexin::fileio::readRegularFile(sparse, 16 << 20, text), ReadResult::kTooLarge);
    EXPECT_EQ(text.size(), 0u);
    EXPECT_EQ(text.substr(0, 8), "");
    text = std::string();
    EXPECT_LT(peak.growthBytes(), tltest::PeakMemory::allowing(8u << 20));
  }
  EXPECT_EQ(read(dir_.file("ten"), 10), "read 0123456789");
  EXPECT_EQ(read(dir_.file("link"), 10), "read 0123456789");
  EXPECT_EQ(read(dir_.file("ten"), 9), "too large");
  EXPECT_EQ(read(dir_.file("gone"), 10), "missing");
  EXPECT_EQ(read(dir_.file("dangling"), 10), "missing");
  EXPECT_EQ(read(dir_.path(), 10), "not regular");
  EXPECT_EQ(read(dir_.file("pipe"), 10), "not regular");
  EXPECT_EQ(read(dir_.file("ten/x"), 10), "failed " + std::to_string(ENOTDIR));
  EXPECT_EQ(read("/proc/self/status", 16), "too large");
  EXPECT_EQ(read("/proc/self/status", tembrolexin::fileio::kNoBound).substr(0, 10), "read Name:");
}

TEST_F(FileInfoFileTest, ReplaceContentsCreatesAndTruncates) {
  const std::string path = dir_.file("f.txt");
  EXPECT_TRUE(FileInfo(path).replaceContents("a longer first text"));
  EXPECT_EQ(readBytes(path), "a longer first text");
  const std::string withZero("x\0y", 3);
  EXPECT_TRUE(FileInfo(path).replaceContents(withZero));
  EXPECT_EQ(readBytes(path), withZero);
  EXPECT_TRUE(FileInfo(path).replaceContents(""));
  EXPECT_EQ(readBytes(path), "");
  EXPECT_EQ(entryCount(dir_.path()), 1u) << "a temporary file was left behind";
}

// A temporary is hidden, sits beside its file and is recognised as such, also
// for a file name near the 255-byte limit.
TEST_F(FileInfoFileTest, TemporaryBesideIsHiddenInTheSameFolder) {
  for (const std::string& name : {std::string("f.txt"), std::string(250, 'n')}) {
    std::string temp;
    const int fd = tembrolexin::fileio::createTempBeside(dir_.file(name), temp);
    ASSERT_GE(fd, 0) << name.size();
    ::close(fd);
    const FileInfo info(temp);
    EXPECT_EQ(info.path(), dir_.path() + "/");
    EXPECT_EQ(info.filename().rfind("." + name.substr(0, 200) + ".tmp", 0), 0u) << temp;
    EXPECT_TRUE(FileInfo::isHiddenOrTemporary(temp));
    EXPECT_TRUE(FileInfo::isHiddenOrTemporary(info.filename()));
  }
}

// Temporaries carry the run's mark: this run's own are told from those of
// any other run, one with the same process id (a container's app is
// process 1 at every start) or a forked child included; names of the old
// form (a process id) belong to earlier runs.
TEST_F(FileInfoFileTest, TemporaryNamesTellThisRunFromOthers) {
  using tembrolexin::fileio::classifyTemporaryName;
  using tembrolexin::fileio::TemporaryName;
  const auto make = [&] {
    std::string temp;
    const int fd = tembrolexin::fileio::createTempBeside(dir_.file("f.txt"), temp);
    EXPECT_GE(fd, 0);
    ::close(fd);
    return FileInfo(temp).filename();
  };
  EXPECT_EQ(classifyTemporaryName(make()), TemporaryName::kThisRun);
  EXPECT_EQ(classifyTemporaryName(tltest::inChild(make)), TemporaryName::kEarlierRun);
  const std::string pid = std::to_string(::getpid());
  const std::pair<std::string, TemporaryName> table[] = {
      {".f.txt.tmp" + pid + "_0", TemporaryName::kEarlierRun},
      {".f.txt.tmp1_12", TemporaryName::kEarlierRun},
      {".f.txt.tmp0123456789abcdef_4", TemporaryName::kEarlierRun},
      {".f.tmp.txt.tmp77_1", TemporaryName::kEarlierRun},
      {".f.txt.tmp12_", TemporaryName::kNone},
      {".f.txt.tmp_3", TemporaryName::kNone},
      {".f.txt.tmp12", TemporaryName::kNone},
      {".f.txt.tmp0123456789ABCDEF_4", TemporaryName::kNone},
      {".f.txt.tmp12_0x", TemporaryName::kNone},
      {"f.txt.tmp12_0", TemporaryName::kNone},
      {".tmp12_0", TemporaryName::kNone},
      {"", TemporaryName::kNone}};
  for (const auto& [name, kind] : table) EXPECT_EQ(classifyTemporaryName(name), kind) << name;
}

struct HiddenCase {
  const char* path;
  bool hidden;
};

class FileInfoHiddenTest : public ::testing::TestWithParam<HiddenCase> {};

TEST_P(FileInfoHiddenTest, LooksAtTheFileNameOnly) {
  EXPECT_EQ(FileInfo::isHiddenOrTemporary(GetParam().path), GetParam().hidden);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FileInfoHiddenTest,
    ::testing::Values(HiddenCase{".f.txt.tmp12_0", true}, HiddenCase{"dir/.profile", true},
                      HiddenCase{"/a/b/..", true}, HiddenCase{".", true},
                      HiddenCase{"f.txt", false}, HiddenCase{".dir/file", false},
                      HiddenCase{"a/b.c", false}, HiddenCase{"dir/", false},
                      HiddenCase{"", false}, HiddenCase{"f.txt.tmp12_0", false}));

TEST_F(FileInfoFileTest, ReplaceContentsKeepsPermissionBits) {
  const std::string path = dir_.file("secret");
  writeBytes(path, "old");
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ASSERT_TRUE(FileInfo(path).replaceContents("new"));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(readBytes(path), "new");
}

TEST_F(FileInfoFileTest, ReplaceContentsWritesThroughALink) {
  writeBytes(dir_.file("real"), "old");
  std::filesystem::create_symlink("real", dir_.file("link"));
  ASSERT_TRUE(FileInfo(dir_.file("link")).replaceContents("new"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir_.file("link")));
  EXPECT_EQ(readBytes(dir_.file("real")), "new");
}

TEST_F(FileInfoFileTest, ReplaceContentsInMissingFolderFails) {
  EXPECT_FALSE(FileInfo(dir_.file("no/such/file")).replaceContents("x"));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("no")));
}

TEST_F(FileInfoFileTest, ReplaceContentsOfReadOnlyFileFailsAndKeepsIt) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes read-only files";
  const std::string path = dir_.file("ro");
  writeBytes(path, "old");
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  EXPECT_FALSE(FileInfo(path).replaceContents("new"));
  EXPECT_EQ(readBytes(path), "old");
}

TEST_F(FileInfoFileTest, LastModified) {
  const std::string path = dir_.file("stamp");
  writeBytes(path, "x");
  const struct timespec times[2] = {{1234567890, 0}, {1234567890, 999999999}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  EXPECT_EQ(FileInfo(path).lastModified(), 1234567890);
  // Before 1970: a negative count of seconds.
  const struct timespec early[2] = {{-86400, 0}, {-86400, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), early, 0), 0);
  EXPECT_EQ(FileInfo(path).lastModified(), -86400);
  EXPECT_EQ(FileInfo(dir_.file("missing")).lastModified(), 0);
}

TEST_F(FileInfoFileTest, PathsWithAZeroByteNameNoFile) {
  writeBytes(dir_.file("f"), "kept");
  const std::string cut = dir_.file("f") + std::string("\0.bak", 5);
  EXPECT_FALSE(FileInfo(cut).exists());
  EXPECT_EQ(FileInfo(cut).lastModified(), 0);
  EXPECT_FALSE(FileInfo(cut).replaceContents("overwritten"));
  testing::internal::CaptureStdout();
  EXPECT_EQ(FileInfo(cut).contents(), "");
  EXPECT_FALSE(testing::internal::GetCapturedStdout().empty());
  EXPECT_EQ(readBytes(dir_.file("f")), "kept");
  EXPECT_EQ(entryCount(dir_.path()), 1u);
}

}  // namespace
