#include "core/assets/bundle_actions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/runtime/message_factory.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"

namespace {

using tltest::readFile;
using tltest::writeFile;

namespace fs = std::filesystem;
namespace cp = tembrolexinsdk::cacheprocessor;
using tembrolexinsdk::BundleFormatVersion;
using tembrolexinsdk::EventData;
using tembrolexinsdk::Manifest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

Json::Value parse(const std::string& text) {
  Json::Value value;
  Json::Reader().parse(text, value);
  return value;
}

// ---- actions.json ------------------------------------------------------------------------

TEST(BundleActionsJson, MissingFileReadsAsEmptyObject) {
  tltest::TempDir dir;
  std::string problem = "untouched";
  const Json::Value v = cp::parseJsonFile(dir.file("actions.json"), &problem);
  EXPECT_EQ(problem, "untouched");
  EXPECT_TRUE(v.isObject());
  EXPECT_EQ(v.size(), 0u);
  EXPECT_THAT(cp::getEventEngineConfiguration(v), IsEmpty());
  EXPECT_EQ(cp::jsonToString(Json::Value()), "null\n");
}

// A damaged actions.json keeps what was read whole: the compact form of what
// parseJsonFile gives, and the problem it names ("" for none).
struct DamagedCase {
  const char* name;
  std::string text;
  std::string kept;
  std::string problem;
};
void PrintTo(const DamagedCase& c, std::ostream* os) { *os << c.name; }
class BundleActionsDamagedTest : public ::testing::TestWithParam<DamagedCase> {};

TEST_P(BundleActionsDamagedTest, KeepsWhatWasReadWhole) {
  tltest::TempDir dir;
  writeFile(dir.file("actions.json"), GetParam().text);
  std::string problem;
  EXPECT_EQ(cp::jsonToString(cp::parseJsonFile(dir.file("actions.json"), &problem)),
            GetParam().kept);
  EXPECT_EQ(problem, GetParam().problem);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Texts, BundleActionsDamagedTest, ::testing::Values(
    DamagedCase{"Intact", R"({"entryPoint":"index.html"} )", "{\"entryPoint\":\"index.html\"}\n", ""},
    // The second action breaks off in its codeword (42 cut to 4): left out.
    DamagedCase{"CutInAnAction",
                R"({"entryPoint":"index.html","triggerEngine":[{"scheme":"T2","actions":[{"id":"a1","codeword":42},{"id":"a2","codeword":4)",
                R"({"entryPoint":"index.html","triggerEngine":[{"actions":[{"codeword":42,"id":"a1"}],"scheme":"T2"}]})" "\n",
                "Missing ',' or '}' in object declaration at byte 119"},
    // The section breaks off after its actions: it goes whole, the list stays.
    DamagedCase{"CutInASection", R"({"triggerEngine":[{"actions":[{"id":"a1","codeword":42}],"sche)",
                "{\"triggerEngine\":[]}\n", "Missing '}' or object member name at byte 57"},
    DamagedCase{"CutInAName", R"({"entryPoint":"index.html","triggerEng)",
                "{\"entryPoint\":\"index.html\"}\n", "Missing '}' or object member name at byte 27"},
    DamagedCase{"CommentWithBrackets", R"({"entryPoint":"index.html", /* ] } */ "triggerEngine":[)",
                "{\"entryPoint\":\"index.html\",\"triggerEngine\":[]}\n",
                "Syntax error: value, object or array expected at byte 55"},
    // A fraction survives the repair as a number.
    DamagedCase{"FractionKept",
                R"({"eventEngine":[{"actions":[{"codeword":7,"onSync":[{"id":"s","timeStart":1.5}]}]}],"trig)",
                R"({"eventEngine":[{"actions":[{"codeword":7,"onSync":[{"id":"s","timeStart":1.5}]}]}]})" "\n",
                "Missing '}' or object member name at byte 84"},
    DamagedCase{"BracketsInAString", R"({"entryPoint":"in\"[{dex.html","trig)",
                R"({"entryPoint":"in\"[{dex.html"})" "\n", "Missing '}' or object member name at byte 31"},
    DamagedCase{"TooDeep", std::string(5000, '['), "null\n", "it nests deeper than it can be read"},
    DamagedCase{"Empty", "", "null\n", "Syntax error: value, object or array expected at byte 0"},
    DamagedCase{"Array", R"([{"entryPoint":"index.html"}])", "[{\"entryPoint\":\"index.html\"}]\n",
                "it holds a JSON array, not an object"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(BundleActionsJson, FolderInPlaceOfTheFileReadsAsNull) {
  tltest::TempDir dir;
  fs::create_directories(dir.file("actions.json"));
  std::string problem;
  EXPECT_TRUE(cp::parseJsonFile(dir.file("actions.json"), &problem).isNull());
  EXPECT_EQ(problem, "it is not a plain file");
}

TEST(BundleActionsJson, EngineSectionsBecomeEventData) {
  const Json::Value actions = parse(R"({
    "eventEngine": [
      {"actions": [{"time": 5, "codeword": 4242, "am_id": "am7", "syncTimeoutSecs": 12},
                   {"events": [], "syncTimeoutSecs": "9"},
                   3]},
      {"actions": "not-a-list"},
      7
    ],
    "heartbeatEngine": {"z": {"actions": {"k": {"codeword": 9, "ticks": [{"id": "t"}]}}}}
  })");
  const auto events = cp::getEventEngineConfiguration(actions);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]->mediaStreamId, 4242);
  EXPECT_EQ(events[0]->mediaStreamAMId, "am7");
  EXPECT_EQ(events[0]->syncTimeoutSecs, 12);
  EXPECT_EQ(events[0]->eventJson,
            "{\"am_id\":\"am7\",\"codeword\":4242,\"syncTimeoutSecs\":12,\"time\":5}\n");
  EXPECT_EQ(events[0]->engineType, tembrolexinsdk::EngineType::EVENT2);
  EXPECT_EQ(events[1]->mediaStreamId, -1);
  EXPECT_EQ(events[1]->mediaStreamAMId, "");
  EXPECT_EQ(events[1]->syncTimeoutSecs, 30);
  EXPECT_EQ(events[1]->eventJson, "{\"events\":[],\"syncTimeoutSecs\":\"9\"}\n");
  const auto& set = events[1]->__isset;
  EXPECT_TRUE(set.mediaStreamId && set.mediaStreamAMId && set.syncTimeoutSecs && set.eventJson &&
              set.engineType);

  const auto beats = cp::getHeartbeatConfiguration(actions);
  ASSERT_EQ(beats.size(), 1u);
  EXPECT_EQ(beats[0]->mediaStreamId, 9);
  EXPECT_EQ(beats[0]->eventJson, "{\"codeword\":9,\"ticks\":[{\"id\":\"t\"}]}\n");
  EXPECT_EQ(beats[0]->engineType, tembrolexinsdk::EngineType::HEARTBEAT);
}

TEST(BundleActionsJson, WrongTypedRootsYieldNothing) {
  for (const char* text : {"[1]", "\"eventEngine\"", "{\"eventEngine\": 5}"}) {
    EXPECT_THAT(cp::getEventEngineConfiguration(parse(text)), IsEmpty()) << text;
    EXPECT_TRUE(cp::modifyFileEntryPath(parse(text), "/tmp", nullptr).isNull()) << text;
  }
}

// ---- entry point ------------------------------------------------------------------------

TEST(BundleActionsEntryPoint, ResolvesInsideTheFolderOnly) {
  tltest::TempDir dir;
  const std::string b = dir.file("b");
  writeFile(b + "/www/index.html", "<html>");
  writeFile(dir.file("outside.html"), "<html>");
  writeFile(dir.file("b2/index.html"), "<html>");
  const std::string page = b + "/www/index.html";
  // entry point -> resolved path ("" for a null result)
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"www/index.html", page},
      {page, page},
      {"www/none.html", ""},
      {"../outside.html", ""},
      {b + "/www/../../outside.html", ""},
      {b + "2/index.html", ""},  // a sibling folder whose name begins like the bundle's
  };
  for (const auto& [entry, expected] : cases) {
    Json::Value actions(Json::objectValue);
    actions["other"] = 1;
    actions["entryPoint"] = entry;
    std::string entryFile;
    const Json::Value result = cp::modifyFileEntryPath(actions, b, &entryFile);
    EXPECT_EQ(result.isNull() ? "" : result["entryPoint"].asString(), expected) << entry;
    EXPECT_EQ(entryFile, expected) << entry;
    EXPECT_EQ(result.isNull() ? 1 : result["other"].asInt(), 1);
  }
  EXPECT_TRUE(cp::modifyFileEntryPath(parse(R"({"x":1})"), b, nullptr).isNull());
}

// ---- validity and audio-match files --------------------------------------------------

class BundleValidTest : public ::testing::Test {
 protected:
  void write(const std::string& name, const std::string& text) {
    writeFile(bundle_ + "/" + name, text);
  }
  tltest::TempDir dir_;
  const std::string bundle_ = dir_.file("b");
  tltest::FakeClock clock_;
};

TEST_F(BundleValidTest, GivesTheReason) {
  write("manifest.json", R"({"id":"b1","assets":{"img":["a","b"],"amdb":["x.db"]}})");
  std::string error = "before";
  EXPECT_FALSE(cp::bundleValid(Manifest(bundle_, clock_), BundleFormatVersion(bundle_), error));
  EXPECT_EQ(error, "Bundle b1 is invalid, bundleFormatVersion: -1 is not supported!");

  write("formatVersion.txt", "5");
  EXPECT_FALSE(cp::bundleValid(Manifest(bundle_, clock_), BundleFormatVersion(bundle_), error));
  EXPECT_EQ(error, "Bundle b1 is invalid, bundleFormatVersion: 5 is not supported!");

  write("formatVersion.txt", "3");
  write("x.db", "");
  EXPECT_FALSE(cp::bundleValid(Manifest(bundle_, clock_), BundleFormatVersion(bundle_), error));
  EXPECT_EQ(error, "Bundle b1 is invalid: missing files: " + bundle_ + "//a;" + bundle_ + "//b;");

  write("a", "");
  write("b", "");
  error = "kept";
  EXPECT_TRUE(cp::bundleValid(Manifest(bundle_, clock_), BundleFormatVersion(bundle_), error));
  EXPECT_EQ(error, "kept");
}

class RecordingProvider : public tembrolexinsdk::IThriftProvider {
 public:
  void registerListener(int, tembrolexinsdk::IThriftConsumer*) override {}
  void sendMessage(const std::string& sender,
                   std::unique_ptr<tembrolexinsdk::ThriftParams> params) override {
    senders.push_back(sender);
    sent.push_back(std::move(params));
  }
  std::vector<std::string> senders;
  std::vector<std::unique_ptr<tembrolexinsdk::ThriftParams>> sent;
};

TEST_F(BundleValidTest, AudioMatchFilesAndSignal) {
  write("manifest.json", R"({"assets":{"amdb":["z.db","y.db"]}})");
  writeFile(dir_.file("a/manifest.json"), R"({"assets":{"amdb":["a.db"]}})");
  std::map<std::string, Manifest> manifests;
  manifests.emplace("id-b", Manifest(bundle_, clock_));
  manifests.emplace("id-a", Manifest(dir_.file("a"), clock_));
  const std::vector<std::string> paths = cp::getAMDBFilePaths(manifests);
  EXPECT_THAT(paths,
              ElementsAre(dir_.file("a") + "//a.db", bundle_ + "//z.db", bundle_ + "//y.db"));

  RecordingProvider provider;
  cp::sendAMDBSignal(&provider, "CacheProcessor", tembrolexinsdk::AMDBAction::Remove, {});
  EXPECT_THAT(provider.sent, IsEmpty());
  cp::sendAMDBSignal(&provider, "CacheProcessor", tembrolexinsdk::AMDBAction::Add, paths);
  ASSERT_EQ(provider.sent.size(), 1u);
  EXPECT_EQ(provider.senders[0], "CacheProcessor");
  EXPECT_EQ(provider.sent[0]->getMsgType(), 22);
  const auto signal =
      tembrolexinsdk::ThriftParamsFactory::readThriftParams<tembrolexinsdk::AMDBSignal>(
          *provider.sent[0]);
  EXPECT_EQ(signal->action, tembrolexinsdk::AMDBAction::Add);
  EXPECT_EQ(signal->filepaths, paths);
  EXPECT_EQ(signal->errorDescription, "");
}

// ---- script injection -------------------------------------------------------------------

struct InjectCase {
  const char* name;
  const char* page;
  const char* before;  // the page is split here: before + S + after; nullptr: unchanged
  const char* after;
};

class InjectTest : public ::testing::TestWithParam<InjectCase> {};

TEST_P(InjectTest, PlacesTheScriptOnce) {
  tltest::TempDir dir;
  const std::string page = dir.file("index.html");
  writeFile(page, GetParam().page);
  const std::string& script = cp::tembrolexinJsString();
  cp::injectJavascript(page, script);
  const std::string expected = GetParam().before
                                   ? std::string(GetParam().before) + script + GetParam().after
                                   : std::string(GetParam().page);
  EXPECT_EQ(readFile(page), expected);
  cp::injectJavascript(page, script);
  EXPECT_EQ(readFile(page), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, InjectTest,
    ::testing::Values(
        InjectCase{"AfterHead", "<html><head><title>t</title></head><body></body><head></html>",
                   "<html><head>", "<title>t</title></head><body></body><head></html>"},
        InjectCase{"NewHeadBeforeBody", "<html><head lang=\"en\"></head><body class=\"x\"><body>",
                   "<html><head lang=\"en\"></head><head> ", "</head><body class=\"x\"><body>"},
        InjectCase{"UpperCaseOnly", "<HTML><HEAD></HEAD><BODY></BODY>", nullptr, nullptr},
        InjectCase{"AlreadyBridged", "<head>tembrolexin = (function() {})</head>", nullptr,
                   nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// The page is reached without following a link on any component from the
// bundle folder down; a link is never written through, nor replaced.
struct LinkCase {
  const char* name;
  const char* entry;     // below the bundle folder
  const char* link;      // made a link to `target`; nullptr: none
  const char* target;
  bool injected;
};

class InjectLinkTest : public ::testing::TestWithParam<LinkCase> {};

TEST_P(InjectLinkTest, WritesOnlyARegularPageInsideTheBundle) {
  tltest::TempDir dir;
  const std::string page = "<html><head></head></html>";
  writeFile(dir.file("outside/index.html"), page);
  writeFile(dir.file("outside/www/index.html"), page);
  writeFile(dir.file("b/www/index.html"), page);
  const LinkCase& c = GetParam();
  const std::string bundle = dir.file("b");
  if (c.link != nullptr) {
    const std::string at = dir.file(c.link);
    fs::remove_all(at);
    fs::create_symlink(dir.file(c.target), at);
  }
  EXPECT_EQ(cp::injectJavascript(bundle, bundle + "/" + c.entry, "<script>S</script>").outcome,
            c.injected ? cp::Injection::kPlaced : cp::Injection::kUnreachable);
  EXPECT_EQ(readFile(dir.file("outside/index.html")), page);
  EXPECT_EQ(readFile(dir.file("outside/www/index.html")), page);
  if (c.injected) {
    EXPECT_EQ(readFile(bundle + "/" + c.entry), "<html><head><script>S</script></head></html>");
  }
  if (c.link != nullptr) {
    EXPECT_TRUE(fs::is_symlink(dir.file(c.link)));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Links, InjectLinkTest,
    ::testing::Values(
        LinkCase{"RegularPageInAFolder", "www/index.html", nullptr, nullptr, true},
        LinkCase{"PageIsALink", "index.html", "b/index.html", "outside/index.html", false},
        LinkCase{"FolderIsALink", "www/index.html", "b/www", "outside/www", false},
        LinkCase{"BundleIsALink", "www/index.html", "b", "outside", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InjectJavascript, MissingPageIsNotCreatedAndScriptIsAnElement) {
  tltest::TempDir dir;
  cp::injectJavascript(dir.file("none.html"), "<script></script>");
  EXPECT_FALSE(fs::exists(dir.file("none.html")));
  const std::string& s = cp::tembrolexinJsString();
  EXPECT_EQ(s.rfind("\n    <script type=\"text/javascript\">", 0), 0u);
  EXPECT_EQ(s.substr(s.size() - 14), "</script>\n    ");
}

}  // namespace
