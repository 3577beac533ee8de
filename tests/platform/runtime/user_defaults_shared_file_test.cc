// One user defaults file changed by two of the app's processes (two objects
// on the file stand for them: their locks on the file conflict as two
// processes' do): each change keeps what the other wrote meanwhile, the
// identity is claimed once and no sequence number is taken twice.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>

#include "platform/runtime/platform_environment.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinplatform {
namespace {

// The values of the file at `path` as compact JSON, keys in order; "none"
// when it does not hold an object.
std::string storedValues(const std::string& path) {
  Json::Value root;
  Json::CharReaderBuilder reader;
  std::string errors;
  std::istringstream in(tltest::readFile(path));
  if (!Json::parseFromStream(reader, in, &root, &errors) || !root.isObject()) return "none";
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  return Json::writeString(writer, root);
}

// Whether another process could take the lock of the file `lockFile` now.
std::string lockState(const std::string& lockFile) {
  const int fd = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "no lock file";
  const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return locked ? "locked" : "free";
}

std::string noFault(const Json::Value&) { return {}; }

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

// Both load the file; the other process changes it; then ours changes it.
// Ours reads the file again under the file's lock (held across processes
// while it decides and writes) and keeps every key it did not change as the
// other left it.
TEST_P(SharedDefaultsFileTest, AChangeKeepsWhatAnotherProcessWroteMeanwhile) {
  const SharedFileCase& c = GetParam();
  tltest::TempDir dir;
  const std::string path = dir.file("defaults.json");
  if (!c.before.empty()) tltest::writeFile(path, c.before);
  UserDefaults ours(path);
  UserDefaults theirs(path);
  c.theirs(theirs);
  std::vector<std::string> lockSeen;
  ours.setChangeHook([&] { lockSeen.push_back(lockState(path + ".lock")); });
  EXPECT_EQ(c.ours(ours), c.answered);
  EXPECT_EQ(storedValues(path), c.after);
  EXPECT_EQ(lockSeen, std::vector<std::string>{"locked"});
  EXPECT_EQ(lockState(path + ".lock"), "free");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Changes, SharedDefaultsFileTest,
    testing::Values(
        SharedFileCase{"TheirNewValueStays", "",
                       [](UserDefaults& d) { d.setString("b", "2"); },
                       [](UserDefaults& d) {
                         return d.setString("a", "1") ? "stored; b " + d.stringForKey("b").value_or("none")
                                                      : "refused";
                       },
                       "stored; b 2", R"({"a":"1","b":"2"})"},
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
                       },
                       "1111 taken", R"({"PluginIdentityUdid":"1111"})"},
        SharedFileCase{"SequenceNumbersGoOnFromTheirs", "",
                       [](UserDefaults& d) { d.takeNumbers("p_meta_sequenceNum", 3); },
                       [](UserDefaults& d) {
                         return std::to_string(d.takeNumbers("p_meta_sequenceNum", 2));
                       },
                       "4", R"({"p_meta_sequenceNum":6})"}),
    [](const auto& info) { return info.param.name; });
// clang-format on

// What the counter holds before numbers are taken from it.
struct CounterCase {
  std::string name;
  std::string stored;  // JSON text of the value; "" for none
  int64_t count;
  int64_t first;  // the first number taken
  std::string after;
};
void PrintTo(const CounterCase& c, std::ostream* os) { *os << c.name; }

class CounterTest : public testing::TestWithParam<CounterCase> {};

// A counter that holds no number, or one the numbers taken would run past,
// starts again at 1 rather than overflow.
TEST_P(CounterTest, NumbersStartAtTheStoredOneOrAtOne) {
  const CounterCase& c = GetParam();
  tltest::TempDir dir;
  const std::string path = dir.file("defaults.json");
  if (!c.stored.empty()) tltest::writeFile(path, R"({"p_meta_sequenceNum": )" + c.stored + "}");
  UserDefaults defaults(path);
  EXPECT_EQ(defaults.takeNumbers("p_meta_sequenceNum", c.count), c.first);
  EXPECT_EQ(storedValues(path), R"({"p_meta_sequenceNum":)" + c.after + "}");
}

INSTANTIATE_TEST_SUITE_P(
    Stored, CounterTest,
    testing::Values(CounterCase{"NotANumber", R"("7")", 1, 1, "2"},
                    CounterCase{"AtTheEndOfTheRange", "9223372036854775807", 1, 1, "2"}),
    [](const auto& info) { return info.param.name; });

// A change the file could not take (its folder was missing) stays in
// memory and is written with the next change, beside what another process
// wrote in between.
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
