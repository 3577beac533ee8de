#include "core/assets/bundle_disk.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

#include "tests/support/temp_dir.h"

namespace tembrolexinsdk {
namespace cacheprocessor {
namespace {

namespace fs = std::filesystem;

// The real disk's syncs reach a folder only as a folder: a link in its place
// is refused, never followed, and a missing one is reported.
struct SyncCase {
  const char* name;
  std::function<int(BundleDisk&, const std::string& path)> sync;
};
void PrintTo(const SyncCase& c, std::ostream* os) { *os << c.name; }
class BundleDiskSyncTest : public ::testing::TestWithParam<SyncCase> {};

TEST_P(BundleDiskSyncTest, SyncsAFolderOnlyAndReportsWhy) {
  tltest::TempDir dir;
  tltest::writeFile(dir.file("b/www/index.html"), "<html></html>");
  fs::create_symlink("/nowhere", dir.file("b/www/dangling"));
  fs::create_directory_symlink(dir.file("b"), dir.file("link"));
  BundleDisk& disk = BundleDisk::real();
  EXPECT_EQ(GetParam().sync(disk, dir.file("b")), 0);
  EXPECT_EQ(GetParam().sync(disk, dir.file("link")), ENOTDIR);
  EXPECT_EQ(GetParam().sync(disk, dir.file("gone")), ENOENT);
  EXPECT_EQ(GetParam().sync(disk, dir.file("b/www/index.html")), ENOTDIR);
}

INSTANTIATE_TEST_SUITE_P(
    Syncs, BundleDiskSyncTest,
    ::testing::Values(
        SyncCase{"Tree", [](BundleDisk& d, const std::string& p) { return d.syncTree(p); }},
        SyncCase{"Folder", [](BundleDisk& d, const std::string& p) { return d.syncFolder(p); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace cacheprocessor
}  // namespace tembrolexinsdk
