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
  ManifestTest() { std::filesystem::create_directories(bundle_); }

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

TEST_F(ManifestTest, MissingManifestListsItsOwnPath) {
  const Manifest m = read();
  EXPECT_FALSE(m.isValid());
  EXPECT_THAT(m.getMissingFiles(), ElementsAre(bundle_ + "/manifest.json"));
  EXPECT_THAT(m.getFiles(), ElementsAre(Pair("bundle", ElementsAre(bundle_ + "/manifest.json"))));
}

TEST_F(ManifestTest, ListedFilesUseDoubleSlashAndTypeOrder) {
  write("www/index.html", "<html/>");
  write("manifest.json",
        R"({"id":"b1","version":7,"assets":{"img":["img/a.png"],"html":["www/index.html"],
            "css":"not-a-list"}})");
  const Manifest m = read();
  EXPECT_FALSE(m.isValid());
  EXPECT_THAT(m.getMissingFiles(), ElementsAre(bundle_ + "//img/a.png"));
  EXPECT_THAT(m.getFiles(), ElementsAre(Pair("html", ElementsAre(bundle_ + "//www/index.html")),
                                        Pair("img", ElementsAre(bundle_ + "//img/a.png"))));
  EXPECT_EQ(m.bundleId(), "b1");
  EXPECT_EQ(m.bundleVersion(), 7);
}

TEST_F(ManifestTest, CompleteBundleIsValid) {
  write("a.js", "x");
  write("manifest.json", R"({"assets":{"js":["a.js"],"other":"skip"}})");
  const Manifest m = read();
  EXPECT_TRUE(m.isValid());
  EXPECT_THAT(m.getMissingFiles(), IsEmpty());
}

TEST_F(ManifestTest, FileOutsideTheFolderCountsAsMissing) {
  std::ofstream(dir_.file("secret.txt")) << "s";
  write("manifest.json", R"({"assets":{"other":["../secret.txt"]}})");
  const Manifest m = read();
  EXPECT_FALSE(m.isValid());
  EXPECT_THAT(m.getMissingFiles(), ElementsAre(bundle_ + "//../secret.txt"));
}

struct BadManifestCase {
  const char* name;
  const char* text;
};

class ManifestBadTextTest : public ManifestTest,
                            public ::testing::WithParamInterface<BadManifestCase> {};

// Unparsable text and roots of the wrong type read as an unreadable manifest
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
  write("manifest.json",
        R"({"assets":{"js":[5]},"id":12,"version":"3","title":[],"validTo":1,"validFrom":{}})");
  const Manifest m = read();
  EXPECT_FALSE(m.isValid());  // an entry that is not a name
  EXPECT_EQ(m.bundleId(), "");
  EXPECT_EQ(m.bundleVersion(), 0);
  const int64_t now = tltest::FakeClock::kStartWallMicros / 1000000;
  EXPECT_EQ(m.validFrom(), now + 259200);
  EXPECT_EQ(m.validTo(), now + 864000);
}

TEST_F(ManifestTest, AssetsOfWrongTypeStopReading) {
  write("manifest.json", R"({"assets":["a"],"id":"x","version":3})");
  const Manifest m = read();
  EXPECT_FALSE(m.isValid());
  EXPECT_THAT(m.getFiles(), IsEmpty());
  EXPECT_EQ(m.bundleId(), "");
  EXPECT_EQ(m.bundleVersion(), 0);
}

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
  write("manifest.json", R"({"assets":{},"validFrom":"2020-01-01 00:00:00",
                             "validTo":"2100-01-01 00:00:00"})");
  const Manifest far = read();
  EXPECT_FALSE(far.isExpired());
  EXPECT_TRUE(far.isActive());
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
  EXPECT_TRUE(info.__isset.assetID && info.__isset.schemaVersion && info.__isset.validTo &&
              info.__isset.assetFolderPath);

  const tembrolexinsdk::AssetInfo none = Manifest("", clock_).getAssetInfo();
  EXPECT_EQ(none.assetFolderPath, "<empty>");
  EXPECT_EQ(none.assetDescription, "<empty>");
}

}  // namespace
