#include "core/assets/bundle_format_version.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>

#include "tests/support/temp_dir.h"

namespace {

using tembrolexinsdk::BundleFormatVersion;

struct VersionCase {
  const char* name;
  std::optional<std::string> text;  // nullopt: no file
  int version;
  bool supported;
};

class BundleFormatVersionTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(BundleFormatVersionTest, ReadsVersionAndSupport) {
  const VersionCase& c = GetParam();
  tltest::TempDir dir;
  if (c.text) std::ofstream(dir.file("formatVersion.txt"), std::ios::binary) << *c.text;
  const BundleFormatVersion format(dir.path());
  EXPECT_EQ(format.version(), c.version);
  EXPECT_EQ(format.isSupported(), c.supported);
}

INSTANTIATE_TEST_SUITE_P(
    Files, BundleFormatVersionTest,
    ::testing::Values(
        VersionCase{"Three", "3\n", 3, true}, VersionCase{"FourPointZero", "4.0", 4, true},
        VersionCase{"TwoBetweenBlanks", "  2  ", 2, true}, VersionCase{"PlusSign", "+3", 3, true},
        VersionCase{"FiveUnsupported", "5", 5, false}, VersionCase{"One", "1", 1, false},
        VersionCase{"Zero", "0", 0, false}, VersionCase{"MinusTwo", "-2", -2, false},
        VersionCase{"Empty", "", -1, false}, VersionCase{"Letter", "v3", -1, false},
        VersionCase{"BeyondInt", "2147483648", -1, false},
        VersionCase{"BelowInt", "-99999999999999999999", -1, false},
        VersionCase{"Missing", std::nullopt, -1, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
