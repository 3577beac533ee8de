// One user defaults file changed by two of the app's processes (two objects
// on the file stand for them: their locks conflict as two processes' do).

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>

#include "platform/runtime/platform_environment.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinplatform {
namespace {

// The file's values as compact JSON, keys in order; "none" for no object.
std::string storedValues(const std::string& path) {
  Json::Value root;
  std::string errors;
  std::istringstream in(tltest::readFile(path));
  if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &root, &errors) || !root.isObject())
    return "none";
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  return Json::writeString(writer, root);
}

struct SharedFileCase {
  std::string name;
  std::string before;  // the file before both objects load it; "" for none
  std::function<void(UserDefaults& theirs)> theirs;
  std::function<std::string(UserDefaults& ours)> ours;  // what ours answered
  std::string answered;
  std::string after;  // storedValues() of the file afterwards
};
void PrintTo(const SharedFileCase& c, std::ostream* os) { *os << c.name; }

class SharedDefaultsFileTest : public testing::TestWithParam<SharedFileCase> {};

// Catches a change written from a stale copy, or decided outside the
// file's lock: both load, the other process changes the file, then ours.
TEST_P(SharedDefaultsFileTest, AChangeKeepsWhatAnotherProcessWroteMeanwhile) {
  const SharedFileCase& c = GetParam();
  tltest::TempDir dir;
  const std::string path = dir.file("defaults.json");
  if (!c.before.empty()) tltest::writeFile(path, c.before);
  UserDefaults ours(path), theirs(path);
  c.theirs(theirs);
  std::string lockSeen;
  ours.setChangeHook([&] { lockSeen += tltest::lockState(path + ".lock") + ";"; });
  EXPECT_EQ(c.ours(ours), c.answered);
  EXPECT_EQ(storedValues(path), c.after);
  EXPECT_EQ(lockSeen, "locked;");
  EXPECT_EQ(tltest::lockState(path + ".lock"), "free");
}

std::string noFault(const Json::Value&) { return {}; }

// clang-format off
INSTANTIATE_TEST_SUITE_P(Changes, SharedDefaultsFileTest, testing::Values(
    SharedFileCase{"TheirNewValueStays", "", [](UserDefaults& d) { d.setString("b", "2"); },
        [](UserDefaults& d) {
          return d.setString("a", "1") ? "stored; b " + d.stringForKey("b").value_or("none") : "refused";
        }, "stored; b 2", R"({"a":"1","b":"2"})"},
    SharedFileCase{"TheirRemovalStays", R"({"a": "0", "b": "0"})",
        [](UserDefaults& d) { d.removeObjectForKey("b"); },
        [](UserDefaults& d) { return d.setString("a", "1") ? "stored" : "refused"; },
        "stored", R"({"a":"1"})"},
    SharedFileCase{"OurRemovalLeavesTheirValue", R"({"a": "0"})",
        [](UserDefaults& d) { d.setInteger("b", 2); },
        [](UserDefaults& d) { return d.removeObjectForKey("a") ? "removed" : "refused"; },
        "removed", R"({"b":2})"},
    SharedFileCase{"TheIdentityTheyStoredIsTaken", "",
        [](UserDefaults& d) { d.claimString("PluginIdentityUdid", "1111", noFault); },
        [](UserDefaults& d) {
          const UserDefaults::Claimed c = d.claimString("PluginIdentityUdid", "2222", noFault);
          return c.value + (c.made ? " made" : " taken");
        }, "1111 taken", R"({"PluginIdentityUdid":"1111"})"},
    SharedFileCase{"SequenceNumbersGoOnFromTheirs", "",
        [](UserDefaults& d) { d.takeNumbers("p_meta_sequenceNum", 3); },
        [](UserDefaults& d) { return std::to_string(d.takeNumbers("p_meta_sequenceNum", 2)); },
        "4", R"({"p_meta_sequenceNum":6})"}),
    [](const auto& info) { return info.param.name; });
// clang-format on

struct CounterCase {
  std::string name, stored;  // the counter's value as JSON text
};
void PrintTo(const CounterCase& c, std::ostream* os) { *os << c.name; }
class CounterTest : public testing::TestWithParam<CounterCase> {};

// Catches an overflow: a counter holding no number, or one the numbers
// taken would run past, starts again at 1.
TEST_P(CounterTest, NumbersStartAtTheStoredOneOrAtOne) {
  tltest::TempDir dir;
  const std::string path = dir.file("defaults.json");
  tltest::writeFile(path, R"({"p_meta_sequenceNum": )" + GetParam().stored + "}");
  EXPECT_EQ(UserDefaults(path).takeNumbers("p_meta_sequenceNum", 1), 1);
  EXPECT_EQ(storedValues(path), R"({"p_meta_sequenceNum":2})");
}

INSTANTIATE_TEST_SUITE_P(Stored, CounterTest,
                         testing::Values(CounterCase{"NotANumber", R"("7")"},
                                         CounterCase{"AtTheEndOfTheRange", "9223372036854775807"}),
                         [](const auto& info) { return info.param.name; });

// Catches a change dropped when the file could not take it (its folder was
// missing): it is written with the next one, beside another process's.
TEST(SharedDefaultsFileTest, AChangeTheFileDidNotTakeGoesWithTheNextOne) {
  tltest::TempDir dir;
  const std::string path = dir.file("later/defaults.json");
  UserDefaults ours(path);
  EXPECT_FALSE(ours.setString("a", "1"));
  EXPECT_EQ(ours.stringForKey("a"), "1");
  std::filesystem::create_directories(dir.file("later"));
  EXPECT_TRUE(UserDefaults(path).setString("b", "2"));
  EXPECT_TRUE(ours.setString("c", "3"));
  EXPECT_EQ(storedValues(path), R"({"a":"1","b":"2","c":"3"})");
}

}  // namespace
}  // namespace tembrolexinplatform
