#include "tests/support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(TempDirTest, RemovesItsTreeIncludingReadOnlyEntries) {
  std::string kept;
  {
    tltest::TempDir dir;
    kept = dir.path();
    ASSERT_TRUE(std::filesystem::is_directory(kept));
    std::filesystem::create_directories(dir.file("a/b"));
    std::ofstream(dir.file("a/b/f")) << "x";
    std::filesystem::permissions(dir.file("a/b"), std::filesystem::perms::owner_read |
                                                      std::filesystem::perms::owner_exec);
  }
  EXPECT_FALSE(std::filesystem::exists(kept));
}

}  // namespace
