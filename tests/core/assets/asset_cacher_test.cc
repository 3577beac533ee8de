#include "core/assets/asset_cacher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "core/runtime/message_factory.h"
#include "tests/support/fake_clock.h"
#include "tests/support/http_test_server.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinsdk {
namespace {

using tltest::readFile;

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::IsSupersetOf;
using ::testing::UnorderedElementsAre;
using tltest::HttpReply;
using tltest::HttpTestServer;
using tltest::replyWith;

// Everything the cacher reports, as texts in arrival order: log lines as
// "<level> <text>", statuses as "<sender> <type> <bundle> <file>", and
// callback calls as "<path> <status>".
class Recorder : public IProcessorListener {
 public:
  void onLogEvent(const INamedObject*, const LogParams* params) override {
    const std::string& text = params->getMessage();
    // The HTTP library's one-time set-up line comes with whichever test is first.
    if (text.find("Initialized CURL") != std::string::npos) return;
    add(logs, std::to_string(static_cast<int>(params->getLevel())) + " " +
                  text.substr(std::string("(processor) - ").size()));
  }
  void onProcessorEvent(const INamedObject*, const IProcessorEventParams*) override {}
  void onProcessorStatusChanged(const INamedObject*, const IProcessorStatusParams*) override {}
  void onFailed(const FailureParams&) override {}
  void onNTPRequired() override {}
  security::IDataSigner* signer() const override { return nullptr; }

  AssetCacher::StatusSink sink() {
    return [this](const INamedObject* sender, const IProcessorEventParams* params) {
      auto s = ThriftParamsFactory::readThriftParams<DownloadStatusSignal>(
          dynamic_cast<const ThriftParams&>(*params));
      add(statuses, sender->GetName() + " " + std::to_string(s->downloadStatusType) + " " +
                        s->assetId + " " + s->filename);
    };
  }
  AssetCacher::DownloadCallback callback() {
    return [this](const std::string& path, long code) {
      add(downloads, path + " " + std::to_string(code));
    };
  }

  // Waits (real time, at most 10 s) until `list` holds `count` copies of
  // `text` (or, for an empty text, `count` entries).
  bool await(const std::vector<std::string>& list, size_t count, const std::string& text = "") {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] {
      return (text.empty()
                  ? list.size()
                  : static_cast<size_t>(std::count(list.begin(), list.end(), text))) >= count;
    });
  }
  bool awaitLog(const std::string& line) { return await(logs, 1, line); }
  // Waits (real time, at most 10 s) for a log line holding `part`.
  bool awaitLogWith(const std::string& part) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] {
      return std::any_of(logs.begin(), logs.end(),
                         [&](const std::string& l) { return l.find(part) != std::string::npos; });
    });
  }
  std::vector<std::string> get(const std::vector<std::string>& list) {
    std::lock_guard<std::mutex> lock(mutex_);
    return list;
  }

  std::vector<std::string> logs, statuses, downloads;

 private:
  void add(std::vector<std::string>& list, std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    list.push_back(std::move(text));
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
};

std::string entry(const std::string& url, const std::string& id, int version, int format) {
  return R"({"cdn_url":")" + url + R"(","_id":")" + id + R"(","version":)" +
         std::to_string(version) + R"(,"format_version":)" + std::to_string(format) +
         R"(,"title":"T)" + id + R"("})";
}

class AssetCacherTest : public ::testing::Test {
 protected:
  std::unique_ptr<AssetCacher> make(const Clock& clock = Clock::real()) {
    AssetCacher::Options options;
    options.statusSink = recorder_.sink();
    options.clock = &clock;
    return std::make_unique<AssetCacher>(Log(&recorder_, nullptr), options);
  }
  std::string info(const std::string& url) const {
    return R"({"app":{},"device":{},"location":{},"url":")" + url + R"("})";
  }
  void configure(AssetCacher& cacher, const std::string& url) {
    cacher.configure(info(url), "v0.98.0", "app", "dev", dir_.path());
    cacher.registerCallback(recorder_.callback());
  }

  Recorder recorder_;
  HttpTestServer server_;
  tltest::TempDir dir_;
};

TEST_F(AssetCacherTest, PostsTheRequestBodyWithFourHeaders) {
  server_.route("/list", replyWith(200, R"({"files":[]})"));
  const std::string url = server_.url("/list");
  auto cacher = make();
  cacher->configure(R"({"location":{"lat":1},"device":{"uid":"old","model":"x"},)"
                    R"("app":{"name":"n"},"extra":[1],"url":")" +
                        url + R"("})",
                    "v0.98.0", "app.id", "dev-1", dir_.path());
  const std::string body =
      R"({"app":{"id":"app.id","name":"n"},"device":{"model":"x","uid":"dev-1"},"extra":[1],)"
      R"("location":{"lat":1},"sdk":{"accepted_bundle_format_versions":[2,3,4],)"
      R"("version":"v0.98.0"},"url":")" +
      url + "\"}\n";
  EXPECT_EQ(cacher->requestBody(), body);
  cacher->startCaching(0ms);
  ASSERT_TRUE(recorder_.awaitLog("1 Handling asset list: {\"files\":[]}"));
  const auto request = server_.requests().at(0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/list");
  EXPECT_EQ(request.body, body);
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.header("Accept"), "application/json");
  EXPECT_EQ(request.header("charsets"), "utf-8");
  EXPECT_FALSE(request.hasHeader("Expect"));

  // Without "url" the request carries null and keeps the earlier address.
  cacher->configure(R"({"app":{},"device":{},"location":{}})", "v", "a", "d", dir_.path());
  EXPECT_EQ(cacher->requestBody(),
            R"({"app":{"id":"a"},"device":{"uid":"d"},"location":{},)"
            R"("sdk":{"accepted_bundle_format_versions":[2,3,4],"version":"v"},"url":null})"
            "\n");
  EXPECT_THAT(recorder_.get(recorder_.logs),
              Contains("1 Preparing asset list request to url: " + url));
}

struct BadInfoCase {
  const char* name;
  const char* info;
  const char* warning;  // text before " in json: <info>", or the whole line with "{}"
};

class AssetCacherBadInfoTest : public AssetCacherTest,
                               public ::testing::WithParamInterface<BadInfoCase> {};

TEST_P(AssetCacherBadInfoTest, IsLoggedAndNothingStarts) {
  auto cacher = make();
  cacher->configure(GetParam().info, "v", "a", "d", dir_.path());
  cacher->startCaching(0ms);
  EXPECT_THAT(recorder_.get(recorder_.logs),
              ElementsAre(std::string("3 ") + GetParam().warning + GetParam().info));
  EXPECT_EQ(server_.requestCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Infos, AssetCacherBadInfoTest,
    ::testing::Values(
        BadInfoCase{"NoLocation", R"({"app":{},"device":{}})",
                    "Cannot configure AssetCacher: missing entry location in json: "},
        BadInfoCase{"NullApp", R"({"app":null,"device":{},"location":{}})",
                    "Cannot configure AssetCacher: missing entry app in json: "},
        BadInfoCase{"NotJson", "{app", "Cannot configure AssetCacher: invalid platform Json: "},
        BadInfoCase{"ArrayRoot", "[1]", "Cannot configure AssetCacher: invalid platform Json: "},
        BadInfoCase{"AppNotObject", R"({"app":5,"device":{},"location":{}})",
                    "Cannot configure AssetCacher: entry app is not an object in json: "},
        BadInfoCase{"UrlNotText", R"({"app":{},"device":{},"location":{},"url":3})",
                    "Cannot configure AssetCacher: entry url is not a text in json: "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AssetCacherTest, FiveBundlesDownloadFourThenOne) {
  std::string files;
  for (int i = 1; i <= 5; ++i) {
    const std::string n = std::to_string(i);
    HttpReply reply = replyWith(200, "package-" + n);
    // A hostile name from the server never moves the file out of the folder.
    if (i == 3) reply.header("Content-Disposition", "attachment; filename=\"../evil.gz\"");
    server_.route("/pkg/a" + n + ".gz", reply);
    files += (i > 1 ? "," : "") +
             entry(server_.url("/pkg/a" + n + ".gz?sig=" + n + "#f"), "b" + n, 1, 3);
  }
  server_.route("/list", replyWith(200, R"({"files":[)" + files + "]}"));
  auto cacher = make();
  configure(*cacher, server_.url("/list"));
  cacher->startCaching(0ms);
  ASSERT_TRUE(recorder_.await(recorder_.downloads, 5));

  const auto status = [&](int type, int i) {
    const std::string n = std::to_string(i);
    return "AssetCacher " + std::to_string(type) + " b" + n + " " + dir_.file("a" + n + ".gz");
  };
  const auto statuses = recorder_.get(recorder_.statuses);
  EXPECT_THAT(std::vector(statuses.begin(), statuses.begin() + 5),
              ElementsAre(status(0, 1), status(0, 2), status(0, 3), status(0, 4), status(0, 5)));
  EXPECT_THAT(
      std::vector(statuses.begin() + 5, statuses.end()),
      UnorderedElementsAre(status(2, 1), status(2, 2), status(2, 3), status(2, 4), status(2, 5)));
  const auto path = [&](int i) { return dir_.file("a" + std::to_string(i) + ".gz"); };
  EXPECT_THAT(recorder_.get(recorder_.downloads), Contains(path(5) + " 200"));
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(readFile(path(i)), "package-" + std::to_string(i));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("../evil.gz")));
  const auto logs = recorder_.get(recorder_.logs);
  EXPECT_THAT(logs, Contains("2 Scheduling download request for asset Tb1"));
  const auto four =
      std::find(logs.begin(), logs.end(), "1 Triggering concurrent download of  4 assets");
  const auto one =
      std::find(logs.begin(), logs.end(), "1 Triggering concurrent download of  1 assets");
  EXPECT_LT(four, one);
  EXPECT_NE(one, logs.end());
}

TEST_F(AssetCacherTest, DownloadsOfOneFileNeverShareABatch) {
  server_.route("/x/pkg.gz", replyWith(200, "xxxx"));
  server_.route("/y/pkg.gz", replyWith(200, "y"));
  server_.route("/list",
                replyWith(200, R"({"files":[)" + entry(server_.url("/x/pkg.gz"), "x", 1, 2) + "," +
                                   entry(server_.url("/y/pkg.gz"), "y", 1, 2) + "]}"));
  auto cacher = make();
  configure(*cacher, server_.url("/list"));
  cacher->startCaching(0ms);
  ASSERT_TRUE(recorder_.await(recorder_.downloads, 2));
  EXPECT_THAT(recorder_.get(recorder_.statuses),
              ElementsAre("AssetCacher 0 x " + dir_.file("pkg.gz"),
                          "AssetCacher 0 y " + dir_.file("pkg.gz"),
                          "AssetCacher 2 x " + dir_.file("pkg.gz"),
                          "AssetCacher 2 y " + dir_.file("pkg.gz")));
  EXPECT_TRUE(recorder_.await(recorder_.logs, 2, "1 Triggering concurrent download of  1 assets"));
  EXPECT_EQ(readFile(dir_.file("pkg.gz")), "y");  // not the tail of the longer first package
}

TEST_F(AssetCacherTest, HostileEntriesAndUnopenableTargetsAreSkipped) {
  server_.route("/list", replyWith(200, R"({"files":[5,{"cdn_url":7,"_id":[],"version":"2"},)" +
                                            entry(server_.url("/p/"), "d", 1, 2) + "," +
                                            entry(server_.url("/p/e.gz"), "e", 1, 2) + "]}"));
  auto cacher = make();
  cacher->configure(info(server_.url("/list")), "v", "a", "d", dir_.file("missing"));
  cacher->startCaching(0ms);
  // Four lines of preparing, starting and handling, then one per entry.
  ASSERT_TRUE(recorder_.await(recorder_.logs, 8));
  const auto logs = recorder_.get(recorder_.logs);
  EXPECT_THAT(logs,
              IsSupersetOf({std::string("3 Skipping asset list entry that is not an object: 5\n"),
                            std::string("3 Skipping asset : no file name in its address ")}));
  // An address without a file name gives the bundle id's name.
  EXPECT_THAT(logs, Contains(HasSubstr("3 Could not schedule download for asset Td: ")));
  EXPECT_THAT(logs, Contains(HasSubstr("3 Could not schedule download for asset Te: ")));
  EXPECT_THAT(logs,
              Contains(HasSubstr("Could not open filestream " + dir_.file("missing/.d.db.gz."))));
  EXPECT_THAT(logs,
              Contains(HasSubstr("Could not open filestream " + dir_.file("missing/.e.gz."))));
  EXPECT_THAT(recorder_.get(recorder_.statuses), IsEmpty());
}

TEST_F(AssetCacherTest, SkipRescheduleAndNewDownloadDecisions) {
  server_.route("/p/b2.gz", replyWith(200, "b2"));
  server_.route("/p/b2v3.gz", replyWith(200, "b2v3"));
  server_.script("/p/b3.gz", {replyWith(404, "not here"), replyWith(200, "b3")});
  const std::string b1 = entry(server_.url("/p/b1.gz"), "b1", 2, 3);
  const std::string b3 = entry(server_.url("/p/b3.gz"), "b3", 1, 2);
  server_.script(
      "/list", {replyWith(200, R"({"files":[)" + b1 + "," +
                                   entry(server_.url("/p/b2.gz"), "b2", 2, 4) + "," + b3 + "]}"),
                replyWith(200, R"({"files":[)" + b3 + "," +
                                   entry(server_.url("/p/b2v3.gz"), "b2", 3, 4) + "," + b3 + "]}")});
  auto cacher = make();
  configure(*cacher, server_.url("/list"));
  cacher->notifyAsset("b1", 2, 3);
  cacher->notifyAsset("b2", 2, 3);
  cacher->startCaching(0ms);
  ASSERT_TRUE(recorder_.awaitLog("3 Failed to download asset Tb3: 404"));
  ASSERT_TRUE(recorder_.await(recorder_.downloads, 1));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("b3.gz")));  // the error page is not kept
  EXPECT_THAT(
      recorder_.get(recorder_.logs),
      Contains("2 Skipping download for asset Tb1, system already has version: 2 and "
               "formatVersion: 3. The web server provides version: 2 and formatVersion: 3"));

  // Second list: the failed b3 is performed again (once, though listed twice);
  // b2's newer version comes from its new address.
  cacher->startCaching(0ms);
  ASSERT_TRUE(recorder_.await(recorder_.downloads, 3));
  EXPECT_THAT(recorder_.get(recorder_.downloads),
              UnorderedElementsAre(dir_.file("b2.gz") + " 200", dir_.file("b3.gz") + " 200",
                                   dir_.file("b2v3.gz") + " 200"));
  EXPECT_THAT(recorder_.get(recorder_.logs),
              Contains("2 Rescheduling download request for asset Tb3"));
  EXPECT_EQ(readFile(dir_.file("b3.gz")), "b3");
  const std::string b3File = " b3 " + dir_.file("b3.gz");
  EXPECT_THAT(
      recorder_.get(recorder_.statuses),
      IsSupersetOf({"AssetCacher 0" + b3File, "AssetCacher 3" + b3File, "AssetCacher 2" + b3File}));
  EXPECT_EQ(cacher->records().at("b2").version, 3);
}

// A list reply that is not a list names the HTTP status or the parse error;
// bytes that are not text are shown escaped. Nothing is downloaded.
struct BadListCase {
  const char* name;
  long status;
  std::string body;
  std::string log;
};
class AssetCacherBadListTest : public AssetCacherTest,
                               public ::testing::WithParamInterface<BadListCase> {};

TEST_P(AssetCacherBadListTest, NamesTheStatusOrTheParseError) {
  server_.route("/list", replyWith(GetParam().status, GetParam().body));
  auto cacher = make();
  configure(*cacher, server_.url("/list"));
  cacher->startCaching(0ms);
  ASSERT_TRUE(recorder_.awaitLog(GetParam().log));
  EXPECT_THAT(recorder_.get(recorder_.statuses), IsEmpty());
}

const std::string kNoValue = "Syntax error: value, object or array expected. (byte 0); reply: ";

INSTANTIATE_TEST_SUITE_P(Replies, AssetCacherBadListTest, ::testing::Values(
    BadListCase{"NotFound", 404, "<html>not here</html>",
                "3 Could not get assetlist from server: HTTP status 404; reply: <html>not here</html>"},
    BadListCase{"ServerErrorWithAList", 500, R"({"files":[]})",
                R"(3 Could not get assetlist from server: HTTP status 500; reply: {"files":[]})"},
    BadListCase{"NotJson", 200, "<html>busy</html>",
                "3 Could not parse assetlist retrieved from server: invalid json: " + kNoValue +
                    "<html>busy</html>"},
    BadListCase{"Binary", 200, std::string("\x1f\x8b\x08\0\xff", 5),
                "3 Could not parse assetlist retrieved from server: invalid json: " + kNoValue +
                    "\\x1f\\x8b\\x08\\x00\\xff"},
    BadListCase{"NotAnObject", 200, "[1]",
                "3 Could not parse assetlist retrieved from server: invalid json: not an object; "
                "reply: [1]"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AssetCacherTest, ListFailuresRetryThreeTimesUntilConnectivityResets) {
  tltest::FakeClock clock;
  server_.route("/list", tltest::droppedReply());
  auto cacher = make(clock);
  // A refused connection resets the process-wide count and schedules nothing.
  configure(*cacher, "http://127.0.0.1:" + std::to_string(HttpTestServer::closedPort()));
  cacher->startCaching(0ms);
  const std::string waiting =
      "2 Failed to retrieve asset list, couldn't connect to server. Waiting for connectivity "
      "status change";
  ASSERT_TRUE(recorder_.awaitLog(waiting));
  EXPECT_EQ(AssetCacher::failureCount(), 0);

  // A new cacher: the old one's request may still be running its event, and
  // a running request is never replaced. The count is the process's.
  cacher.reset();
  cacher = make(clock);
  configure(*cacher, server_.url("/list"));
  cacher->startCaching(0ms);
  const std::string retry = "3 Failed to retrieve asset list, error code: 52; retrying in 3 secs.";
  for (int attempt = 1; attempt <= 3; ++attempt) {
    ASSERT_TRUE(recorder_.await(recorder_.logs, attempt, retry));
    // The retry is due 3 s after this failure; the queue counts down to it.
    ASSERT_TRUE(clock.awaitDeadline(clock.steadyNow() + 3000ms));
    clock.advance(2999ms);
    EXPECT_EQ(server_.requestCount(), static_cast<size_t>(attempt));
    clock.advance(1ms);
  }
  ASSERT_TRUE(recorder_.awaitLog(
      "3 Faled to retrieve asset list, error code: 52; maximum attempts reached, waiting for "
      "connectivity status change"));
  EXPECT_EQ(server_.requestCount(), 4u);
  EXPECT_EQ(AssetCacher::failureCount(), 4);
}

// The cacher names every package itself: the server's Content-Disposition
// (here "manifest.json", "Ready", a hidden name, a path) is never honoured,
// and names from the address are made plain.
struct NameCase {
  const char* name;
  std::string path;  // of the package's address
  std::string id;
  std::string file;  // in the download folder
};
void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }
class AssetCacherNameTest : public AssetCacherTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(AssetCacherNameTest, ChoosesThePackagesFileNameItself) {
  const NameCase& c = GetParam();
  server_.handle(c.path.substr(0, c.path.find('?')), [](const tltest::HttpRecordedRequest& r) {
    static const char* const kNames[] = {"manifest.json", "Ready", ".hidden.gz", "../up.gz"};
    return replyWith(200, "package")
        .header("Content-Disposition",
                std::string("attachment; filename=\"") + kNames[r.path.size() % 4] + "\"");
  });
  server_.route("/list", replyWith(200, R"({"files":[)" + entry(server_.url(c.path), c.id, 1, 2) + "]}"));
  auto cacher = make();
  configure(*cacher, server_.url("/list"));
  cacher->startCaching(0ms);
  ASSERT_TRUE(recorder_.await(recorder_.downloads, 1));
  EXPECT_THAT(recorder_.get(recorder_.downloads), ElementsAre(dir_.file(c.file) + " 200"));
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
    files.push_back(e.path().filename());
  }
  EXPECT_THAT(files, ElementsAre(c.file));
  EXPECT_EQ(readFile(dir_.file(c.file)), "package");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Names, AssetCacherNameTest, ::testing::Values(
    NameCase{"FromTheAddress", "/p/b1.db.gz", "b1", "b1.db.gz"},
    NameCase{"QueryDropped", "/p/b2.db.gz?sig=a/b", "b2", "b2.db.gz"},
    NameCase{"HiddenMadeVisible", "/p/..hid.db.gz", "b3", "hid.db.gz"},
    NameCase{"OddCharactersReplaced", "/p/a%20b%3Bc.db.gz", "b4", "a_20b_3Bc.db.gz"},
    NameCase{"NoNameTakesTheBundleId", "/p/", "id:5/x", "id_5_x.db.gz"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// A download that breaks off, is past the package size bound or answers an
// error leaves nothing in the folder, not even a hidden partial file.
TEST_F(AssetCacherTest, FailedDownloadsLeaveNothingBehind) {
  server_.route("/p/cut.gz", tltest::partialReply(std::string(1000, 'c'), 100));
  server_.route("/p/endless.gz", tltest::endlessReply());
  server_.route("/p/gone.gz", replyWith(404, "not here"));
  server_.route("/list", replyWith(200, R"({"files":[)" + entry(server_.url("/p/cut.gz"), "c", 1, 2) +
                                            "," + entry(server_.url("/p/endless.gz"), "e", 1, 2) +
                                            "," + entry(server_.url("/p/gone.gz"), "g", 1, 2) + "]}"));
  AssetCacher::Options options;
  options.statusSink = recorder_.sink();
  options.maxPackageBytes = 1 << 20;
  AssetCacher cacher(Log(&recorder_, nullptr), options);
  configure(cacher, server_.url("/list"));
  cacher.startCaching(0ms);
  // The failed status comes first, then the Warning.
  for (const char* line : {"3 Failed to download asset Tc: 18", "3 Failed to download asset Te: 63",
                           "3 Failed to download asset Tg: 404"}) {
    ASSERT_TRUE(recorder_.awaitLog(line)) << line;
  }
  EXPECT_THAT(recorder_.get(recorder_.statuses),
              IsSupersetOf({"AssetCacher 3 c " + dir_.file("cut.gz"),
                            "AssetCacher 3 e " + dir_.file("endless.gz"),
                            "AssetCacher 3 g " + dir_.file("gone.gz")}));
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  EXPECT_THAT(recorder_.get(recorder_.downloads), IsEmpty());

  // What an interrupted run left is cleared.
  tltest::writeFile(dir_.file(".b1.db.gz.4.part"), "half");
  tltest::writeFile(dir_.file(".other"), "kept");
  AssetCacher::removePartialDownloads(dir_.path());
  EXPECT_TRUE(std::filesystem::exists(dir_.file(".other")));
  EXPECT_FALSE(std::filesystem::exists(dir_.file(".b1.db.gz.4.part")));
}

// Four downloads that drip hold their batch only until the low-speed rule
// ends them; the fifth bundle still arrives.
TEST_F(AssetCacherTest, DrippingDownloadsDoNotHoldBackTheNextBatch) {
  std::string files;
  for (int i = 1; i <= 4; ++i) {
    const std::string n = std::to_string(i);
    server_.route("/p/d" + n + ".gz", tltest::dripReply(200ms));
    files += entry(server_.url("/p/d" + n + ".gz"), "d" + n, 1, 2) + ",";
  }
  server_.route("/p/ok.gz", replyWith(200, "ok"));
  server_.route("/list", replyWith(200, R"({"files":[)" + files +
                                            entry(server_.url("/p/ok.gz"), "ok", 1, 2) + "]}"));
  AssetCacher::Options options;
  options.statusSink = recorder_.sink();
  options.limits.lowSpeedTime = 1s;
  options.limits.lowSpeedLimit = 100;
  AssetCacher cacher(Log(&recorder_, nullptr), options);
  configure(cacher, server_.url("/list"));
  cacher.startCaching(0ms);
  ASSERT_TRUE(recorder_.await(recorder_.downloads, 1));
  EXPECT_THAT(recorder_.get(recorder_.downloads), ElementsAre(dir_.file("ok.gz") + " 200"));
  for (int i = 1; i <= 4; ++i) {
    EXPECT_THAT(recorder_.get(recorder_.logs),
                Contains("3 Failed to download asset Td" + std::to_string(i) + ": 28"));
  }
}

// A sink that throws on the pending status: logged, and the download goes on.
TEST_F(AssetCacherTest, ThrowingPendingStatusIsCaught) {
  server_.route("/p/a.gz", replyWith(200, "a"));
  server_.route("/list", replyWith(200, R"({"files":[)" + entry(server_.url("/p/a.gz"), "a", 1, 2) + "]}"));
  AssetCacher::Options options;
  auto sink = recorder_.sink();
  options.statusSink = [sink](const INamedObject* sender, const IProcessorEventParams* params) {
    auto s = ThriftParamsFactory::readThriftParams<DownloadStatusSignal>(
        dynamic_cast<const ThriftParams&>(*params));
    if (s->downloadStatusType == DownloadStatusSignalType::pending) throw std::runtime_error("busy");
    sink(sender, params);
  };
  AssetCacher cacher(Log(&recorder_, nullptr), options);
  configure(cacher, server_.url("/list"));
  cacher.startCaching(0ms);
  ASSERT_TRUE(recorder_.await(recorder_.downloads, 1));
  EXPECT_THAT(recorder_.get(recorder_.logs),
              Contains("4 Exception thrown in handling processor event DownloadStatus::Pending"));
  EXPECT_THAT(recorder_.get(recorder_.statuses), ElementsAre("AssetCacher 2 a " + dir_.file("a.gz")));
}

// A refused package fails its own download; a path of no download sends no
// status (it would name no bundle) and is named in a Warning.
TEST_F(AssetCacherTest, RefusedPackageFailsOnlyADownloadItBelongsTo) {
  server_.route("/p/a.gz", replyWith(200, "a"));
  server_.route("/list",
                replyWith(200, R"({"files":[)" + entry(server_.url("/p/a.gz"), "a", 1, 2) + "]}"));
  auto cacher = make();
  configure(*cacher, server_.url("/list"));
  cacher->startCaching(0ms);
  ASSERT_TRUE(recorder_.await(recorder_.downloads, 1));
  cacher->packageRefused(dir_.file("a.gz"));
  cacher->packageRefused(dir_.file("other.gz"));
  EXPECT_THAT(recorder_.get(recorder_.logs),
              Contains("3 A refused package belongs to no download: " + dir_.file("other.gz") +
                       "; no status sent"));
  EXPECT_THAT(
      recorder_.get(recorder_.statuses),
      ElementsAre("AssetCacher 0 a " + dir_.file("a.gz"), "AssetCacher 2 a " + dir_.file("a.gz"),
                  "AssetCacher 3 a " + dir_.file("a.gz")));
}

// While the list request runs, a new configuration keeps it as the current
// one and a new start is refused; once it has ended both work again.
TEST_F(AssetCacherTest, RunningListRequestIsNeitherReplacedNorStartedTwice) {
  server_.script("/list", {tltest::hangingReply(), replyWith(200, R"({"files":[]})")});
  auto cacher = make();
  configure(*cacher, server_.url("/list"));
  cacher->startCaching(0ms);
  ASSERT_TRUE(server_.awaitRequests(1));
  configure(*cacher, server_.url("/list"));
  cacher->startCaching(0ms);
  EXPECT_THAT(recorder_.get(recorder_.logs),
              IsSupersetOf({std::string("3 Aborting new request, request still in progress"),
                            std::string("3 Could not start request - request was already in progress")}));
  const auto prepared = [&] {
    const auto logs = recorder_.get(recorder_.logs);
    return std::count_if(logs.begin(), logs.end(), [](const std::string& l) {
      return l.rfind("1 Preparing asset list request to url: ", 0) == 0;
    });
  };
  EXPECT_EQ(prepared(), 1);
  // The first request, still the current one, ends (retried or not,
  // depending on the failures this process has counted).
  server_.releaseHangs();
  ASSERT_TRUE(recorder_.awaitLogWith("etrieve asset list, error code: 52"));
  EXPECT_EQ(prepared(), 1);
}

TEST_F(AssetCacherTest, DestructionDuringAStalledDownloadReturns) {
  server_.route("/p/slow.gz", tltest::hangingReply());
  server_.route("/list", replyWith(200, R"({"files":[)" +
                                            entry(server_.url("/p/slow.gz"), "s", 1, 2) + "]}"));
  auto cacher = make();
  configure(*cacher, server_.url("/list"));
  cacher->startCaching(0ms);
  ASSERT_TRUE(server_.awaitRequests(2));
  cacher.reset();  // aborts the transfer instead of waiting for the time-out
  EXPECT_THAT(recorder_.get(recorder_.downloads), IsEmpty());
}

}  // namespace
}  // namespace tembrolexinsdk
