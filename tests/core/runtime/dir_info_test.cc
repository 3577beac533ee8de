#include "core/runtime/dir_info.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using tembrolexin::DirInfo;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

void setMtime(const std::string& path, time_t seconds) {
  const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// A snapshot of a tree: relative path -> "dir", "link:<target>" or the bytes.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string rel = it->path().lexically_relative(root).string();
    if (it->is_symlink()) {
      out[rel] = "link:" + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      out[rel] = "dir";
    } else {
      out[rel] = readBytes(it->path().string());
    }
  }
  return out;
}

// A tree with nested folders, hidden files and folders, and binary content.
void buildTree(const std::string& root) {
  fs::create_directories(root + "/sub/deeper");
  fs::create_directories(root + "/.hiddendir");
  writeBytes(root + "/top.txt", "top");
  writeBytes(root + "/.hidden", "h");
  writeBytes(root + "/sub/a", std::string("bin\0ary", 7));
  writeBytes(root + "/sub/deeper/.dot", "deep");
  writeBytes(root + "/.hiddendir/x", "x");
  fs::create_directories(root + "/empty");
}

class DirInfoTest : public ::testing::Test {
 protected:
  tltest::TempDir dir_;
};

// ---- list ---------------------------------------------------------------------------------

class DirInfoListTest : public DirInfoTest {
 protected:
  void SetUp() override {
    writeBytes(dir_.file("a"), "1");
    writeBytes(dir_.file("bb"), "2");
    writeBytes(dir_.file(".cc"), "3");
    fs::create_directory(dir_.file("dd"));
    fs::create_directory(dir_.file(".ee"));
  }
  std::string p(const std::string& name) const { return dir_.file(name); }
};

TEST_F(DirInfoListTest, MasksAndHiddenEntries) {
  const DirInfo info(dir_.path());
  struct Case {
    int mask;
    bool hidden;
    std::vector<std::string> names;
  };
  const std::vector<Case> cases = {
      {3, false, {"a", "bb", "dd"}},  // a one-character name is an ordinary name
      {3, true, {"a", "bb", ".cc", "dd", ".ee"}},
      {1, false, {"a", "bb"}},
      {1, true, {"a", "bb", ".cc"}},
      {2, false, {"dd"}},
      {2, true, {"dd", ".ee"}},  // never "." or ".."
      {0, true, {}},
      {4, true, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> expected;
    for (const auto& n : c.names) expected.push_back(p(n));
    EXPECT_THAT(info.list(c.mask, DirInfo::unsorted, c.hidden), UnorderedElementsAreArray(expected))
        << "mask " << c.mask << " hidden " << c.hidden;
  }
}

TEST_F(DirInfoListTest, SortedByPathInByteOrder) {
  writeBytes(dir_.file("B"), "");
  writeBytes(dir_.file("\xc3\xa9"), "");  // high bytes sort after ASCII
  writeBytes(dir_.file("a0"), "");
  EXPECT_THAT(
      DirInfo(dir_.path()).list(3, DirInfo::byPath, true),
      ElementsAre(p(".cc"), p(".ee"), p("B"), p("a"), p("a0"), p("bb"), p("dd"), p("\xc3\xa9")));
}

TEST_F(DirInfoListTest, SortedByModificationTimeOldestFirst) {
  setMtime(p("a"), 3000);
  setMtime(p("bb"), 1000);
  setMtime(p(".cc"), 500);
  setMtime(p("dd"), 2000);
  setMtime(p(".ee"), 4000);
  EXPECT_THAT(DirInfo(dir_.path()).list(3, DirInfo::byModificationTime, false),
              ElementsAre(p("bb"), p("dd"), p("a")));
  EXPECT_THAT(DirInfo(dir_.path()).list(3, DirInfo::byModificationTime, true),
              ElementsAre(p(".cc"), p("bb"), p("dd"), p("a"), p(".ee")));
}

TEST_F(DirInfoTest, ListFollowsLinksAndSkipsOtherKinds) {
  writeBytes(dir_.file("file"), "");
  fs::create_directory(dir_.file("folder"));
  fs::create_symlink("file", dir_.file("linkToFile"));
  fs::create_directory_symlink("folder", dir_.file("linkToFolder"));
  fs::create_symlink("nowhere", dir_.file("dangling"));
  ASSERT_EQ(::mkfifo(dir_.file("pipe").c_str(), 0644), 0);
  const DirInfo info(dir_.path());
  EXPECT_THAT(info.list(1, DirInfo::byPath, false),
              ElementsAre(dir_.file("file"), dir_.file("linkToFile")));
  EXPECT_THAT(info.list(2, DirInfo::byPath, false),
              ElementsAre(dir_.file("folder"), dir_.file("linkToFolder")));
}

TEST_F(DirInfoTest, ListOfMissingOrEmptyPathIsEmpty) {
  EXPECT_THAT(DirInfo(dir_.file("missing")).list(3, DirInfo::unsorted, true), IsEmpty());
  EXPECT_THAT(DirInfo("").list(3, DirInfo::unsorted, true), IsEmpty());
  writeBytes(dir_.file("file"), "");
  EXPECT_THAT(DirInfo(dir_.file("file")).list(3, DirInfo::unsorted, true), IsEmpty());
}

// ---- mkdir --------------------------------------------------------------------------------

TEST_F(DirInfoTest, MkdirRecursiveCreatesEveryMissingLevel) {
  fs::create_directory(dir_.file("x"));
  EXPECT_TRUE(DirInfo::mkdir(dir_.file("x/y/z/"), true));
  EXPECT_TRUE(fs::is_directory(dir_.file("x/y")));
  EXPECT_TRUE(fs::is_directory(dir_.file("x/y/z")));
  struct stat st;
  ASSERT_EQ(::stat(dir_.file("x/y/z").c_str(), &st), 0);
  EXPECT_EQ(
      st.st_mode & 0777, 0755u & ~[] {
        const mode_t m = ::umask(0);
        ::umask(m);
        return m;
      }());
  EXPECT_TRUE(DirInfo::mkdir(dir_.file("p//q///"), true));
  EXPECT_TRUE(fs::is_directory(dir_.file("p/q")));
}

TEST_F(DirInfoTest, MkdirOfAnOverLongPathFailsAndCreatesNothing) {
  std::string path = dir_.path();
  while (path.size() < 40000) path += "/a";
  EXPECT_FALSE(DirInfo::mkdir(path, true));
  EXPECT_FALSE(DirInfo::mkdir(path, false));
  EXPECT_FALSE(fs::exists(dir_.file("a")));
  std::string deep = dir_.path();
  for (int level = 0; level < 100; ++level) deep += "/d";
  EXPECT_TRUE(DirInfo::mkdir(deep, true));
  EXPECT_TRUE(fs::is_directory(deep));
}

TEST_F(DirInfoTest, MkdirWithoutRecursionNeedsTheParent) {
  EXPECT_FALSE(DirInfo::mkdir(dir_.file("m/n"), false));
  EXPECT_FALSE(fs::exists(dir_.file("m")));
  EXPECT_TRUE(DirInfo::mkdir(dir_.file("m"), false));
  EXPECT_TRUE(DirInfo::mkdir(dir_.file("m"), false));  // already there
  EXPECT_TRUE(DirInfo::mkdir(dir_.file("m/n"), false));
}

TEST_F(DirInfoTest, MkdirWhereAFileIsFails) {
  writeBytes(dir_.file("file"), "keep");
  EXPECT_FALSE(DirInfo::mkdir(dir_.file("file"), false));
  EXPECT_FALSE(DirInfo::mkdir(dir_.file("file"), true));
  EXPECT_FALSE(DirInfo::mkdir(dir_.file("file/below"), true));
  EXPECT_EQ(readBytes(dir_.file("file")), "keep");
  fs::create_directory(dir_.file("real"));
  fs::create_directory_symlink("real", dir_.file("link"));
  EXPECT_TRUE(DirInfo::mkdir(dir_.file("link"), false));  // a link to a folder is a folder
}

// ---- rmdir --------------------------------------------------------------------------------

TEST_F(DirInfoTest, RmdirDeletesTheWholeTreeWithHiddenEntries) {
  buildTree(dir_.file("tree"));
  EXPECT_TRUE(DirInfo::rmdir(dir_.file("tree")));
  EXPECT_FALSE(fs::exists(dir_.file("tree")));
}

TEST_F(DirInfoTest, RmdirRemovesLinksNotWhatTheyPointAt) {
  fs::create_directories(dir_.file("outside/inner"));
  writeBytes(dir_.file("outside/precious"), "p");
  writeBytes(dir_.file("outside/inner/.also"), "q");
  buildTree(dir_.file("tree"));
  fs::create_directory_symlink(dir_.file("outside"), dir_.file("tree/sub/toOutside"));
  fs::create_symlink(dir_.file("outside/precious"), dir_.file("tree/toFile"));
  const auto before = snapshot(dir_.file("outside"));

  EXPECT_TRUE(DirInfo::rmdir(dir_.file("tree")));
  EXPECT_FALSE(fs::exists(dir_.file("tree")));
  EXPECT_EQ(snapshot(dir_.file("outside")), before);

  // A link given as the folder itself is removed as a link.
  fs::create_directory_symlink(dir_.file("outside"), dir_.file("top"));
  EXPECT_TRUE(DirInfo::rmdir(dir_.file("top")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_.file("top"))));
  EXPECT_EQ(snapshot(dir_.file("outside")), before);
  // Also when the path ends in "/", which would otherwise resolve the link.
  fs::create_directory_symlink(dir_.file("outside"), dir_.file("top"));
  EXPECT_TRUE(DirInfo::rmdir(dir_.file("top") + "/"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_.file("top"))));
  EXPECT_EQ(snapshot(dir_.file("outside")), before);
}

TEST_F(DirInfoTest, RmdirOfMissingFolderOrFileFails) {
  EXPECT_FALSE(DirInfo::rmdir(dir_.file("missing")));
  writeBytes(dir_.file("file"), "x");
  EXPECT_FALSE(DirInfo::rmdir(dir_.file("file")));
  EXPECT_TRUE(fs::exists(dir_.file("file")));
}

TEST_F(DirInfoTest, RmdirRemovesPipesToo) {
  fs::create_directory(dir_.file("tree"));
  ASSERT_EQ(::mkfifo(dir_.file("tree/pipe").c_str(), 0644), 0);
  EXPECT_TRUE(DirInfo::rmdir(dir_.file("tree")));
  EXPECT_FALSE(fs::exists(dir_.file("tree")));
}

// ---- mvdir --------------------------------------------------------------------------------

TEST_F(DirInfoTest, MvdirMovesTheTreeToANewFolder) {
  buildTree(dir_.file("src"));
  const auto before = snapshot(dir_.file("src"));
  EXPECT_TRUE(DirInfo::mvdir(dir_.file("src"), dir_.file("dst")));
  EXPECT_FALSE(fs::exists(dir_.file("src")));
  EXPECT_EQ(snapshot(dir_.file("dst")), before);
}

TEST_F(DirInfoTest, MvdirMergesIntoAnExistingFolder) {
  buildTree(dir_.file("src"));
  const auto moved = snapshot(dir_.file("src"));
  fs::create_directories(dir_.file("dst/sub"));
  writeBytes(dir_.file("dst/kept"), "kept");
  writeBytes(dir_.file("dst/sub/kept2"), "kept2");
  writeBytes(dir_.file("dst/top.txt"), "replaced");

  EXPECT_TRUE(DirInfo::mvdir(dir_.file("src"), dir_.file("dst")));
  EXPECT_FALSE(fs::exists(dir_.file("src")));
  auto expected = moved;
  expected["kept"] = "kept";
  expected["sub/kept2"] = "kept2";
  EXPECT_EQ(snapshot(dir_.file("dst")), expected);
}

TEST_F(DirInfoTest, MvdirMovesLinksAsLinks) {
  fs::create_directory(dir_.file("outside"));
  writeBytes(dir_.file("outside/precious"), "p");
  fs::create_directories(dir_.file("src/sub"));
  fs::create_directory_symlink(dir_.file("outside"), dir_.file("src/sub/toOutside"));
  fs::create_directory(dir_.file("dst"));  // forces the entry-by-entry path

  EXPECT_TRUE(DirInfo::mvdir(dir_.file("src"), dir_.file("dst")));
  EXPECT_TRUE(fs::is_symlink(dir_.file("dst/sub/toOutside")));
  EXPECT_EQ(fs::read_symlink(dir_.file("dst/sub/toOutside")), dir_.file("outside"));
  EXPECT_EQ(snapshot(dir_.file("outside")),
            (std::map<std::string, std::string>{{"precious", "p"}}));
}

TEST_F(DirInfoTest, LinkGivenAsTheSourceIsMovedOrCopiedAsALink) {
  fs::create_directory(dir_.file("outside"));
  writeBytes(dir_.file("outside/precious"), "p");
  fs::create_directory_symlink(dir_.file("outside"), dir_.file("link"));

  EXPECT_TRUE(DirInfo::cpdir(dir_.file("link"), dir_.file("copied")));
  EXPECT_EQ(fs::read_symlink(dir_.file("copied")), dir_.file("outside"));
  EXPECT_TRUE(DirInfo::mvdir(dir_.file("link/"), dir_.file("moved")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_.file("link"))));
  EXPECT_EQ(fs::read_symlink(dir_.file("moved")), dir_.file("outside"));
  // Merging a link into an existing folder would mean following it.
  fs::create_directory(dir_.file("existing"));
  EXPECT_FALSE(DirInfo::cpdir(dir_.file("moved"), dir_.file("existing")));
  EXPECT_FALSE(DirInfo::mvdir(dir_.file("moved"), dir_.file("existing")));
  EXPECT_TRUE(fs::is_empty(dir_.file("existing")));
  EXPECT_EQ(snapshot(dir_.file("outside")),
            (std::map<std::string, std::string>{{"precious", "p"}}));
}

TEST_F(DirInfoTest, MvdirThatCannotCompleteReturnsFalseAndKeepsWhatStayed) {
  fs::create_directory(dir_.file("src"));
  writeBytes(dir_.file("src/clash"), "source file");
  writeBytes(dir_.file("src/fine"), "fine");
  // A non-empty folder where the file should go: the rename must fail.
  fs::create_directories(dir_.file("dst/clash"));
  writeBytes(dir_.file("dst/clash/inside"), "i");

  EXPECT_FALSE(DirInfo::mvdir(dir_.file("src"), dir_.file("dst")));
  EXPECT_EQ(readBytes(dir_.file("src/clash")), "source file");
  EXPECT_EQ(readBytes(dir_.file("dst/fine")), "fine");
  EXPECT_EQ(readBytes(dir_.file("dst/clash/inside")), "i");
}

TEST_F(DirInfoTest, MvdirIntoItselfIsRefused) {
  buildTree(dir_.file("src"));
  const auto before = snapshot(dir_.file("src"));
  EXPECT_FALSE(DirInfo::mvdir(dir_.file("src"), dir_.file("src/sub/inside")));
  EXPECT_FALSE(DirInfo::mvdir(dir_.file("src"), dir_.file("src")));
  EXPECT_FALSE(DirInfo::mvdir(dir_.file("src"), dir_.file("src/../src/")));
  EXPECT_FALSE(DirInfo::cpdir(dir_.file("src"), dir_.file("src/copy")));
  EXPECT_EQ(snapshot(dir_.file("src")), before);
}

TEST_F(DirInfoTest, MvdirOfMissingSourceFailsAndCreatesNothing) {
  EXPECT_FALSE(DirInfo::mvdir(dir_.file("missing"), dir_.file("dst")));
  EXPECT_FALSE(DirInfo::cpdir(dir_.file("missing"), dir_.file("dst")));
  EXPECT_FALSE(fs::exists(dir_.file("dst")));
  EXPECT_FALSE(DirInfo::mvdir(dir_.file("missing"), dir_.file("no/parent")));
}

TEST_F(DirInfoTest, MvdirIntoAMissingParentFails) {
  buildTree(dir_.file("src"));
  const auto before = snapshot(dir_.file("src"));
  EXPECT_FALSE(DirInfo::mvdir(dir_.file("src"), dir_.file("no/parent")));
  EXPECT_EQ(snapshot(dir_.file("src")), before);
}

// A second folder on another file system (/dev/shm is a tmpfs on Linux).
class OtherFileSystemDir {
 public:
  OtherFileSystemDir() {
    char tmpl[] = "/dev/shm/tltest.XXXXXX";
    if (::mkdtemp(tmpl) != nullptr) path_ = tmpl;
  }
  ~OtherFileSystemDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST_F(DirInfoTest, MvdirAcrossFileSystemsCopiesAndDeletes) {
  OtherFileSystemDir other;
  struct stat a;
  struct stat b;
  if (other.path().empty() || ::stat(other.path().c_str(), &a) != 0 ||
      ::stat(dir_.path().c_str(), &b) != 0 || a.st_dev == b.st_dev) {
    GTEST_SKIP() << "no second file system";
  }
  buildTree(dir_.file("src"));
  fs::create_symlink("top.txt", dir_.file("src/link"));
  const auto before = snapshot(dir_.file("src"));
  // Both with a free target (one rename fails with EXDEV) and into an
  // existing folder.
  EXPECT_TRUE(DirInfo::mvdir(dir_.file("src"), other.path() + "/dst"));
  EXPECT_FALSE(fs::exists(dir_.file("src")));
  EXPECT_EQ(snapshot(other.path() + "/dst"), before);
  EXPECT_TRUE(DirInfo::mvdir(other.path() + "/dst", dir_.path() + "/back"));
  EXPECT_FALSE(fs::exists(other.path() + "/dst"));
  EXPECT_EQ(snapshot(dir_.file("back")), before);
}

// ---- cpdir and copyFile -------------------------------------------------------------------

TEST_F(DirInfoTest, CpdirCopiesTheTreeAndKeepsTheSource) {
  buildTree(dir_.file("src"));
  fs::create_directory(dir_.file("outside"));
  writeBytes(dir_.file("outside/big"), std::string(200000, 'b'));
  fs::create_directory_symlink(dir_.file("outside"), dir_.file("src/sub/toOutside"));
  const auto before = snapshot(dir_.file("src"));

  EXPECT_TRUE(DirInfo::cpdir(dir_.file("src"), dir_.file("dst")));
  EXPECT_EQ(snapshot(dir_.file("src")), before);
  EXPECT_EQ(snapshot(dir_.file("dst")), before);  // the link is copied as a link
  EXPECT_TRUE(fs::is_symlink(dir_.file("dst/sub/toOutside")));
}

TEST_F(DirInfoTest, CpdirReportsEntriesItCannotCopy) {
  fs::create_directory(dir_.file("src"));
  writeBytes(dir_.file("src/file"), "f");
  ASSERT_EQ(::mkfifo(dir_.file("src/pipe").c_str(), 0644), 0);
  DirInfo::Fault fault;
  EXPECT_FALSE(DirInfo::cpdir(dir_.file("src"), dir_.file("dst"), &fault));
  EXPECT_EQ(readBytes(dir_.file("dst/file")), "f");  // the rest is still copied
  EXPECT_EQ(fault.entry, "pipe");
  EXPECT_EQ(fault.error, 0);  // not a failure of the system
  EXPECT_FALSE(DirInfo::cpdir(dir_.file("missing"), dir_.file("dst"), &fault));
  EXPECT_EQ(fault.entry, "");
  EXPECT_EQ(fault.error, ENOENT);
}

TEST_F(DirInfoTest, CpdirNeverWritesThroughALinkInTheTarget) {
  fs::create_directory(dir_.file("outside"));
  writeBytes(dir_.file("outside/victim"), "untouched");
  fs::create_directories(dir_.file("src/sub"));
  writeBytes(dir_.file("src/f"), "new");
  writeBytes(dir_.file("src/sub/g"), "new");
  fs::create_directory(dir_.file("dst"));
  fs::create_symlink(dir_.file("outside/victim"), dir_.file("dst/f"));
  fs::create_directory_symlink(dir_.file("outside"), dir_.file("dst/sub"));

  // dst/sub is a link where a folder should go: that part fails.
  EXPECT_FALSE(DirInfo::cpdir(dir_.file("src"), dir_.file("dst")));
  EXPECT_EQ(readBytes(dir_.file("outside/victim")), "untouched");
  EXPECT_FALSE(fs::exists(dir_.file("outside/g")));
  EXPECT_FALSE(fs::is_symlink(dir_.file("dst/f")));
  EXPECT_EQ(readBytes(dir_.file("dst/f")), "new");
}

TEST_F(DirInfoTest, CopyFileCopiesEveryByteAndTruncates) {
  std::string bytes;
  for (int i = 0; i < 150000; ++i) bytes += static_cast<char>(i % 251);
  writeBytes(dir_.file("from"), bytes);
  writeBytes(dir_.file("to"), std::string(300000, 'z'));
  EXPECT_TRUE(DirInfo::copyFile(dir_.file("from"), dir_.file("to")));
  EXPECT_EQ(readBytes(dir_.file("to")), bytes);
  writeBytes(dir_.file("empty"), "");
  EXPECT_TRUE(DirInfo::copyFile(dir_.file("empty"), dir_.file("to")));
  EXPECT_EQ(readBytes(dir_.file("to")), "");
}

TEST_F(DirInfoTest, CopyFileFailuresLeaveTheTargetAlone) {
  writeBytes(dir_.file("to"), "earlier");
  EXPECT_FALSE(DirInfo::copyFile(dir_.file("missing"), dir_.file("to")));
  EXPECT_FALSE(DirInfo::copyFile(dir_.file("missing"), dir_.file("new")));
  EXPECT_FALSE(fs::exists(dir_.file("new")));
  fs::create_directory(dir_.file("folder"));
  EXPECT_FALSE(DirInfo::copyFile(dir_.file("folder"), dir_.file("to")));
  EXPECT_EQ(readBytes(dir_.file("to")), "earlier");
  // Onto itself, directly or through a link: nothing is truncated.
  EXPECT_FALSE(DirInfo::copyFile(dir_.file("to"), dir_.file("to")));
  fs::create_symlink("to", dir_.file("alias"));
  EXPECT_FALSE(DirInfo::copyFile(dir_.file("to"), dir_.file("alias")));
  EXPECT_EQ(readBytes(dir_.file("to")), "earlier");
  EXPECT_FALSE(DirInfo::copyFile(dir_.file("to"), dir_.file("no/such/folder")));
  ASSERT_EQ(::mkfifo(dir_.file("pipe").c_str(), 0644), 0);
  EXPECT_FALSE(DirInfo::copyFile(dir_.file("pipe"), dir_.file("to")));
  EXPECT_EQ(readBytes(dir_.file("to")), "earlier");
}

// A zero byte would cut the path short at the system call and name the
// folder before it: every operation refuses such a path and touches nothing.
TEST_F(DirInfoTest, PathsWithAZeroByteAreRefused) {
  buildTree(dir_.file("tree"));
  const auto before = snapshot(dir_.file("tree"));
  const std::string cut = dir_.file("tree") + std::string("\0/elsewhere", 11);
  EXPECT_FALSE(DirInfo::rmdir(cut));
  EXPECT_FALSE(DirInfo::mvdir(cut, dir_.file("moved")));
  EXPECT_FALSE(DirInfo::cpdir(cut, dir_.file("copied")));
  EXPECT_FALSE(DirInfo::mvdir(dir_.file("tree/sub"), cut));
  EXPECT_FALSE(DirInfo::copyFile(dir_.file("tree/top.txt"), cut));
  EXPECT_FALSE(DirInfo::copyFile(cut, dir_.file("copy.txt")));
  EXPECT_FALSE(DirInfo::mkdir(dir_.file("new") + std::string("\0x", 2), true));
  EXPECT_THAT(DirInfo(cut).list(3, DirInfo::unsorted, true), IsEmpty());
  EXPECT_EQ(snapshot(dir_.file("tree")), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1);
}

// ---- walks under attack -------------------------------------------------------------------

// Another thread keeps swapping the tree's subfolders for links to a victim
// folder (and back) while an operation walks the tree. Whatever the operation
// returns, the victim is never touched and nothing of it is copied or moved.
enum class TreeOp { kRmdir, kCpdir, kMvdirIntoExistingFolder };

struct RaceCase {
  const char* name;
  TreeOp op;
};

void PrintTo(const RaceCase& c, std::ostream* os) { *os << c.name; }

class DirInfoRaceTest : public DirInfoTest, public ::testing::WithParamInterface<RaceCase> {};

TEST_P(DirInfoRaceTest, VictimBehindSwappedLinksIsNeverTouched) {
  constexpr int kRounds = 20;
  constexpr int kFolders = 8;
  const std::string victim = dir_.file("victim");
  fs::create_directory(victim);
  for (const char* name : {"f0", "f1", "f2"}) writeBytes(victim + "/" + name, "victim");
  const auto victimBefore = snapshot(victim);
  const std::string tree = dir_.file("tree");
  const std::string target = dir_.file("target");

  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < kFolders; ++i) {
      const std::string sub = tree + "/s" + std::to_string(i);
      fs::create_directories(sub);
      for (const char* name : {"f0", "f1", "f2"}) writeBytes(sub + "/" + name, "own");
    }
    fs::create_directory(target);
    std::atomic<bool> done{false};
    std::thread swapper([&] {
      while (!done.load()) {
        for (int i = 0; i < kFolders; ++i) {
          const std::string sub = tree + "/s" + std::to_string(i);
          const std::string held = tree + "/held" + std::to_string(i);
          if (::rename(sub.c_str(), held.c_str()) != 0) continue;
          if (::symlink(victim.c_str(), sub.c_str()) == 0) {
            std::this_thread::yield();
            ::unlink(sub.c_str());
          }
          ::rename(held.c_str(), sub.c_str());
        }
      }
    });
    switch (GetParam().op) {
      case TreeOp::kRmdir: DirInfo::rmdir(tree); break;
      case TreeOp::kCpdir: DirInfo::cpdir(tree, target); break;
      case TreeOp::kMvdirIntoExistingFolder: DirInfo::mvdir(tree, target); break;
    }
    done = true;
    swapper.join();
    ASSERT_EQ(snapshot(victim), victimBefore) << "round " << round;
    for (const auto& [path, content] : snapshot(target)) {
      ASSERT_NE(content, "victim") << path << " in round " << round;
    }
    fs::remove_all(tree);
    fs::remove_all(target);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Operations, DirInfoRaceTest,
    ::testing::Values(RaceCase{"Rmdir", TreeOp::kRmdir}, RaceCase{"Cpdir", TreeOp::kCpdir},
                      RaceCase{"MvdirIntoExistingFolder", TreeOp::kMvdirIntoExistingFolder}),
    [](const ::testing::TestParamInfo<RaceCase>& info) { return info.param.name; });

}  // namespace
