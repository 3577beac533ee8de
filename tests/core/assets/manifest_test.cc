#include "core/assets/manifest.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"

namespace {

using tembrolexinsdk::Manifest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;
using namespace std::chrono_literals;

class ManifestTest : public ::testing::Test {
 protected:
  void write(const std::string& name, const std::string& text) {
    const std::filesystem::path path = bundle_ + "/" + name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  Manifest read() const { return Manifest(bundle_, clock_); }

  tltest::TempDir dir_;
  const std::string bundle_ = dir_.file("bundle");
  tltest::FakeClock clock_;
};

TEST_F(ManifestTest, ListsFilesWithDoubleSlashInTypeOrder) {
  const Manifest none = read();
  EXPECT_FALSE(none.isValid());
  EXPECT_THAT(none.getMissingFiles(), ElementsAre(bundle_ + "/manifest.json"));
  EXPECT_THAT(none.getFiles(),
              ElementsAre(Pair("bundle", ElementsAre(bundle_ + "/manifest.json"))));

  write("www/index.html", "<html/>");
  std::ofstream(dir_.file("secret.txt")) << "exists, but outside the bundle";
  write("manifest.json", R"({"id":"b1","version":7,"assets":{"img":["img/a.png"],
      "html":["www/index.html"],"css":"not-a-list","other":["../secret.txt"]}})");
  const Manifest m = read();
  EXPECT_FALSE(m.isValid());
  EXPECT_THAT(m.getMissingFiles(),
              ElementsAre(bundle_ + "//img/a.png", bundle_ + "//../secret.txt"));
  EXPECT_THAT(m.getFiles(), ElementsAre(Pair("html", ElementsAre(bundle_ + "//www/index.html")),
                                        Pair("img", ElementsAre(bundle_ + "//img/a.png")),
                                        Pair("other", ElementsAre(bundle_ + "//../secret.txt"))));
  EXPECT_EQ(m.bundleId(), "b1");
  EXPECT_EQ(m.bundleVersion(), 7);

  write("img/a.png", "png");
  write("manifest.json", R"({"assets":{"img":["img/a.png"],"html":["www/index.html"]}})");
  EXPECT_TRUE(read().isValid());
}

struct BadManifestCase {
  const char* name;
  const char* text;
};

class ManifestBadTextTest : public ManifestTest,
                            public ::testing::WithParamInterface<BadManifestCase> {};

// Unparsable text and roots other than objects read as an unreadable manifest
// that exists: invalid, nothing missing, the single "bundle" entry.
TEST_P(ManifestBadTextTest, IsInvalidWithoutThrowing) {
  write("manifest.json", GetParam().text);
  const Manifest m = read();
  EXPECT_FALSE(m.isValid());
  EXPECT_THAT(m.getMissingFiles(), IsEmpty());
  EXPECT_THAT(m.getFiles(), ElementsAre(Pair("bundle", ElementsAre(bundle_ + "/manifest.json"))));
}

INSTANTIATE_TEST_SUITE_P(Texts, ManifestBadTextTest,
                         ::testing::Values(BadManifestCase{"NotJson", "{assets"},
                                           BadManifestCase{"ArrayRoot", "[1,2]"},
                                           BadManifestCase{"StringRoot", "\"x\""},
                                           BadManifestCase{"Null", "null"},
                                           BadManifestCase{"Empty", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ManifestTest, WrongTypedMembersKeepDefaults) {
  const int64_t now = tltest::FakeClock::kStartWallMicros / 1000000;
  write("manifest.json",
        R"({"assets":{"js":[5]},"id":12,"version":"3","title":[],"validTo":1,"validFrom":{}})");
  const Manifest m = read();
  EXPECT_FALSE(m.isValid());  // an entry that names no file
  EXPECT_EQ(m.bundleId(), "");
  EXPECT_EQ(m.bundleVersion(), 0);
  EXPECT_EQ(m.validFrom(), now + 259200);
  EXPECT_EQ(m.validTo(), now + 864000);

  // "assets" that is not an object ends reading: nothing else is taken.
  write("manifest.json", R"({"assets":["a"],"id":"x","version":3})");
  const Manifest list = read();
  EXPECT_FALSE(list.isValid());
  EXPECT_THAT(list.getFiles(), IsEmpty());
  EXPECT_EQ(list.bundleId(), "");
}

// "version": a 32-bit integer (a whole number written with a fraction too) as
// it is; any other number below 0 as the lowest 32-bit number, so that it is
// still below 0 on the bus; any other number of 0 or more as the default 0.
struct VersionCase {
  const char* name;
  const char* text;  // the member's value as written
  int32_t version;
};
void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.name; }
class ManifestVersionTest : public ManifestTest,
                            public ::testing::WithParamInterface<VersionCase> {};

TEST_P(ManifestVersionTest, ReadsTheVersion) {
  write("manifest.json", std::string(R"({"assets":{},"version":)") + GetParam().text + "}");
  const Manifest m = read();
  EXPECT_EQ(m.bundleVersion(), GetParam().version);
  EXPECT_EQ(m.getAssetInfo().version, GetParam().version);
}

constexpr int32_t kInt32Min = -2147483647 - 1;
INSTANTIATE_TEST_SUITE_P(
    Versions, ManifestVersionTest,
    ::testing::Values(VersionCase{"MinusOne", "-1", -1}, VersionCase{"WholeWithFraction", "2.0", 2},
                      VersionCase{"Int32Min", "-2147483648", kInt32Min},
                      VersionCase{"MinusZeroFraction", "-0.0", 0},
                      VersionCase{"Fraction", "2.5", 0}, VersionCase{"Huge", "1e30", 0},
                      VersionCase{"TwoToThe32", "4294967296", 0},
                      VersionCase{"MinusHalf", "-0.5", kInt32Min},
                      VersionCase{"MinusHuge", "-1e30", kInt32Min},
                      VersionCase{"PastInt32Min", "-2147483649", kInt32Min},
                      VersionCase{"Past64Bits", "-99999999999999999999", kInt32Min}),
    [](const auto& info) { return std::string(info.param.name); });

// Validity dates: texts that do not match the form keep what parsed and
// zero for the rest (a day of 0 is the month's eve); a date that is not a
// text makes the manifest invalid. Times by hand, seconds since 1970 UTC.
struct DateCase {
  const char* name;
  std::string members;  // after "assets"
  bool valid;
  int64_t from;  // 0: the default (3 days after construction)
  int64_t to;    // 0: the default (10 days after construction)
};
void PrintTo(const DateCase& c, std::ostream* os) { *os << c.name; }
class ManifestDateTest : public ManifestTest, public ::testing::WithParamInterface<DateCase> {};

TEST_P(ManifestDateTest, ReadsTheValidityPeriod) {
  const DateCase& c = GetParam();
  const int64_t now = tltest::FakeClock::kStartWallMicros / 1000000;
  write("manifest.json", R"({"assets":{})" + c.members + "}");
  const Manifest m = read();
  EXPECT_EQ(m.isValid(), c.valid);
  EXPECT_EQ(m.validFrom(), c.from != 0 ? c.from : now + 259200);
  EXPECT_EQ(m.validTo(), c.to != 0 ? c.to : now + 864000);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Dates, ManifestDateTest, ::testing::Values(
    DateCase{"Whole", R"(,"validFrom":"2020-01-01 00:00:00","validTo":"2026-12-06 12:00:00")", true, 1577836800, 1796558400},
    DateCase{"YearAndMonth", R"(,"validFrom":"2026-05")", true, 1777507200, 0},
    DateCase{"NoMinutes", R"(,"validTo":"2026-12-06 12")", true, 0, 1796558400},
    DateCase{"TrailingText", R"(,"validTo":"2026-12-06 12:00:00 UTC")", true, 0, 1796558400},
    DateCase{"WordsAreTheEveOf1900", R"(,"validFrom":"soon")", true, -2209075200, 0},
    DateCase{"EmptyIsTheEveOf1900", R"(,"validTo":"")", true, 0, -2209075200},
    DateCase{"NullIsAbsent", R"(,"validFrom":null,"validTo":null)", true, 0, 0},
    DateCase{"NumberIsInvalid", R"(,"validFrom":1577836800)", false, 0, 0},
    DateCase{"ObjectIsInvalid", R"(,"validTo":{"at":"2026-12-06 12:00:00"})", false, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(ManifestTest, DefaultPeriodRunsFromConstruction) {
  write("manifest.json", R"({"assets":{}})");
  const Manifest m = read();
  clock_.advance(259200s);
  EXPECT_FALSE(m.isActive());  // the very second of the start
  clock_.advance(1s);
  EXPECT_TRUE(m.isActive());
  clock_.advance(std::chrono::seconds(864000 - 259201));
  EXPECT_FALSE(m.isExpired());  // the very second of the end
  clock_.advance(1s);
  EXPECT_TRUE(m.isExpired());
  EXPECT_FALSE(m.isActive());
}

TEST_F(ManifestTest, ValidToEdgesAndFarDates) {
  // The fake clock starts at 2026-12-06 00:00:00 UTC.
  write("manifest.json", R"({"assets":{},"validFrom":"2020-01-01 00:00:00",
                             "validTo":"2026-12-06 00:00:00"})");
  const Manifest m = read();
  EXPECT_FALSE(m.isExpired());
  EXPECT_TRUE(m.isActive());
  clock_.advance(1s);
  EXPECT_TRUE(m.isExpired());

  // More than 2^31 seconds ahead: still far from expiry.
  write("manifest.json", R"({"assets":{},"validTo":"2100-01-01 00:00:00"})");
  const Manifest far = read();
  EXPECT_FALSE(far.isExpired());
  EXPECT_EQ(far.getAssetInfo().validTo, 4102444800000);
}

TEST_F(ManifestTest, AssetInfoFillsEveryField) {
  write("manifest.json", R"({"assets":{},"version":4,"title":"","description":"About",
                             "validFrom":"2020-01-01 00:00:00","validTo":"2021-01-01 00:00:00"})");
  const tembrolexinsdk::AssetInfo info = read().getAssetInfo();
  EXPECT_EQ(info.assetID, "");
  EXPECT_EQ(info.assetTitle, "<empty>");
  EXPECT_EQ(info.assetDescription, "About");
  EXPECT_EQ(info.assetFolderPath, bundle_);
  EXPECT_EQ(info.schemaVersion, 0);
  EXPECT_EQ(info.version, 4);
  EXPECT_EQ(info.validFrom, 1577836800000);
  EXPECT_EQ(info.validTo, 1609459200000);
  EXPECT_EQ(Manifest("", clock_).getAssetInfo().assetFolderPath, "<empty>");
}

}  // namespace
