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

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;
using ::testing::UnorderedElementsAre;
using tltest::HttpReply;
using tltest::HttpTestServer;
using tltest::replyWith;

// Everything the cacher reports: log lines (without the "(processor) - "
// prefix, with their level), statuses and callback calls, in arrival order.
class Recorder : public IProcessorListener {
 public:
  struct Status {
    std::string sender;
    int type;
    std::string assetId;
    std::string filename;
  };

  void onLogEvent(const INamedObject*, const LogParams* params) override {
    // The HTTP library's one-time set-up line comes with whichever test is first.
    if (params->getMessage().find("Initialized CURL") != std::string::npos) return;
    add([&] {
      logs.push_back(std::to_string(static_cast<int>(params->getLevel())) + " " +
                     params->getMessage().substr(std::string("(processor) - ").size()));
    });
  }
  void onProcessorEvent(const INamedObject*, const IProcessorEventParams*) override {}
  void onProcessorStatusChanged(const INamedObject*, const IProcessorStatusParams*) override {}
  void onFailed(const FailureParams&) override {}
  void onNTPRequired() override {}
  security::IDataSigner* signer() const override { return nullptr; }

  AssetCacher::StatusSink sink() {
    return [this](const INamedObject* sender, const IProcessorEventParams* params) {
      const auto& payload = dynamic_cast<const ThriftParams&>(*params);
      auto s = ThriftParamsFactory::readThriftParams<DownloadStatusSignal>(payload);
      add([&] {
        statuses.push_back(
            {sender->GetName(), static_cast<int>(s->downloadStatusType), s->assetId, s->filename});
      });
    };
  }
  AssetCacher::DownloadCallback callback() {
    return [this](const std::string& path, long code) {
      add([&] { downloads.push_back(path + " " + std::to_string(code)); });
    };
  }

  // Waits (real time, at most 10 s) until `done` holds.
  bool await(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, 10s, done);
  }
  bool awaitLog(const std::string& line) {
    return await([&] { return std::find(logs.begin(), logs.end(), line) != logs.end(); });
  }
  std::vector<std::string> snapshotLogs() {
    std::lock_guard<std::mutex> lock(mutex);
    return logs;
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> logs;
  std::vector<Status> statuses;
  std::vector<std::string> downloads;

 private:
  template <typename Fn>
  void add(Fn fn) {
    std::lock_guard<std::mutex> lock(mutex);
    fn();
    changed.notify_all();
  }
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

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
    auto cacher = std::make_unique<AssetCacher>(Log(&recorder_, nullptr), options);
    return cacher;
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
  EXPECT_THAT(recorder_.snapshotLogs(),
              ElementsAre("1 Preparing content list request with json: " + body,
                          "1 Preparing asset list request to url: " + url,
                          "1 Start request to cache web assets after a 0 sec",
                          "1 Handling asset list: {\"files\":[]}"));

  // Without "url" the request carries null and keeps the earlier address.
  cacher->configure(R"({"app":{},"device":{},"location":{}})", "v", "a", "d", dir_.path());
  EXPECT_EQ(cacher->requestBody(),
            R"({"app":{"id":"a"},"device":{"uid":"d"},"location":{},)"
            R"("sdk":{"accepted_bundle_format_versions":[2,3,4],"version":"v"},"url":null})"
            "\n");
  EXPECT_THAT(recorder_.snapshotLogs(), Contains("1 Preparing asset list request to url: " + url));
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
  EXPECT_THAT(recorder_.snapshotLogs(),
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
  ASSERT_TRUE(recorder_.await([&] { return recorder_.downloads.size() == 5; }));

  const auto path = [&](int i) { return dir_.file("a" + std::to_string(i) + ".gz"); };
  std::vector<std::string> pending, complete;
  for (const auto& s : recorder_.statuses) {
    EXPECT_EQ(s.sender, "AssetCacher");
    (s.type == 0 ? pending : complete).push_back(s.assetId + " " + s.filename);
    if (s.type != 0) {
      EXPECT_EQ(s.type, 2);
    }
  }
  EXPECT_THAT(pending, ElementsAre("b1 " + path(1), "b2 " + path(2), "b3 " + path(3),
                                   "b4 " + path(4), "b5 " + path(5)));
  EXPECT_THAT(complete, UnorderedElementsAre("b1 " + path(1), "b2 " + path(2), "b3 " + path(3),
                                             "b4 " + path(4), "b5 " + path(5)));
  EXPECT_THAT(recorder_.downloads, Contains(path(5) + " 200"));
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(readFile(path(i)), "package-" + std::to_string(i));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("../evil.gz")));
  const auto logs = recorder_.snapshotLogs();
  EXPECT_THAT(logs, Contains("2 Scheduling download request for asset Tb1"));
  const auto four =
      std::find(logs.begin(), logs.end(), "1 Triggering concurrent download of  4 assets");
  const auto one =
      std::find(logs.begin(), logs.end(), "1 Triggering concurrent download of  1 assets");
  EXPECT_LT(four, one);
  EXPECT_NE(one, logs.end());
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
                                   entry(server_.url("/p/b2v3.gz"), "b2", 3, 4) + "," + b3 + "]}"),
                replyWith(200, "<html>busy</html>")});
  auto cacher = make();
  configure(*cacher, server_.url("/list"));
  cacher->notifyAsset("b1", 2, 3);
  cacher->notifyAsset("b2", 2, 3);
  cacher->startCaching(0ms);
  ASSERT_TRUE(recorder_.awaitLog("3 Failed to download asset Tb3: 404"));
  ASSERT_TRUE(recorder_.await([&] { return recorder_.downloads.size() == 1; }));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("b3.gz")));  // the error page is not kept
  EXPECT_THAT(
      recorder_.snapshotLogs(),
      Contains("2 Skipping download for asset Tb1, system already has version: 2 and "
               "formatVersion: 3. The web server provides version: 2 and formatVersion: 3"));

  // Second list: the failed b3 is performed again (once, though listed twice);
  // b2's newer version comes from its new address.
  cacher->startCaching(0ms);
  ASSERT_TRUE(recorder_.await([&] { return recorder_.downloads.size() == 3; }));
  EXPECT_THAT(recorder_.downloads,
              UnorderedElementsAre(dir_.file("b2.gz") + " 200", dir_.file("b3.gz") + " 200",
                                   dir_.file("b2v3.gz") + " 200"));
  EXPECT_THAT(recorder_.snapshotLogs(), Contains("2 Rescheduling download request for asset Tb3"));
  EXPECT_EQ(readFile(dir_.file("b3.gz")), "b3");
  std::vector<int> b3Types;
  for (const auto& s : recorder_.statuses) {
    if (s.assetId == "b3") b3Types.push_back(s.type);
  }
  EXPECT_THAT(b3Types, ElementsAre(0, 3, 2));
  EXPECT_EQ(cacher->records().at("b2").version, 3);

  // Third list: not JSON.
  cacher->startCaching(0ms);
  ASSERT_TRUE(recorder_.awaitLog(
      "3 Could not parse assetlist retrieved from server: invalid json: <html>busy</html>"));
}

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

  configure(*cacher, server_.url("/list"));
  cacher->startCaching(0ms);
  const std::string retry = "3 Failed to retrieve asset list, error code: 52; retrying in 3 secs.";
  for (int attempt = 1; attempt <= 3; ++attempt) {
    ASSERT_TRUE(recorder_.await([&] {
      return std::count(recorder_.logs.begin(), recorder_.logs.end(), retry) == attempt;
    })) << ::testing::PrintToString(recorder_.snapshotLogs());
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

TEST_F(AssetCacherTest, DestructionDuringAStalledDownloadReturns) {
  server_.route("/p/slow.gz", tltest::hangingReply());
  server_.route("/list", replyWith(200, R"({"files":[)" +
                                            entry(server_.url("/p/slow.gz"), "s", 1, 2) + "]}"));
  auto cacher = make();
  configure(*cacher, server_.url("/list"));
  cacher->startCaching(0ms);
  ASSERT_TRUE(server_.awaitRequests(2));
  cacher.reset();  // aborts the transfer instead of waiting for the time-out
  EXPECT_TRUE(recorder_.downloads.empty());
}

}  // namespace
}  // namespace tembrolexinsdk
