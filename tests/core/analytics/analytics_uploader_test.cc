#include "core/analytics/analytics_uploader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/http_test_server.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinsdk {
namespace {

using tltest::writeFile;

using tltest::HttpRecordedRequest;
using tltest::HttpReply;
using tltest::HttpTestServer;

// Waits (10 s cap) until nothing is at `path`.
bool awaitGone(const std::string& path) {
  for (int i = 0; i < 1000 && std::filesystem::exists(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return !std::filesystem::exists(path);
}

class AnalyticsUploaderTest : public ::testing::Test {
 protected:
  AnalyticsUploaderTest() : folder(dir.file("Analytics")) {}

  // The service: step 1 answers with the address of step 2.
  void serveSignedUrls(const HttpReply& putReply) {
    server.handle("/base/sdk_a.json", [this](const HttpRecordedRequest& r) {
      return tltest::replyWith(200, server.url("/put" + r.path.substr(5)));
    });
    server.handle("/base/sdk_b.json", [this](const HttpRecordedRequest& r) {
      return tltest::replyWith(200, server.url("/put" + r.path.substr(5)));
    });
    server.route("PUT", "/put/sdk_a.json", putReply);
    server.route("PUT", "/put/sdk_b.json", putReply);
  }
  std::unique_ptr<AnalyticsUploader> make(const std::string& base) {
    return std::make_unique<AnalyticsUploader>(Log(nullptr, nullptr), folder, "demoapp", base);
  }
  // Uploads `path` and returns the outcome.
  bool upload(AnalyticsUploader& uploader, const std::string& path) {
    std::promise<bool> outcome;
    uploader.uploadFile(path, [&](bool ok) { outcome.set_value(ok); });
    auto future = outcome.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return future.get();
  }

  tltest::TempDir dir;
  std::string folder;
  HttpTestServer server;
};

TEST_F(AnalyticsUploaderTest, PostsAppIdThenPutsTheExactBytesThenDeletes) {
  serveSignedUrls(tltest::replyWith(200, "<stored/>"));  // a reply body is fine
  auto uploader = make(server.url("/base"));
  // A file from elsewhere is moved into the working folder first.
  const std::string outside = dir.file("sdk_a.json");
  const std::string content = "{\"id\":\"HEADER\"}\n\x01\xff line\n";
  writeFile(outside, content);
  EXPECT_TRUE(upload(*uploader, outside));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/base/sdk_a.json");
  EXPECT_EQ(requests[0].body, "app_id=demoapp");
  EXPECT_EQ(requests[1].method, "PUT");
  EXPECT_EQ(requests[1].target, "/put/sdk_a.json");
  EXPECT_EQ(requests[1].body, content);
  EXPECT_EQ(requests[1].header("Content-Length"), std::to_string(content.size()));
  EXPECT_FALSE(std::filesystem::exists(outside));
  EXPECT_FALSE(std::filesystem::exists(folder + "/sdk_a.json"));
}

TEST_F(AnalyticsUploaderTest, MissingFileFailsAtOnceWithoutRequests) {
  auto uploader = make(server.url("/base"));
  bool called = false, result = true;
  uploader->uploadFile(folder + "/none.json", [&](bool ok) { called = true, result = ok; });
  EXPECT_TRUE(called);
  EXPECT_FALSE(result);
  EXPECT_EQ(server.requestCount(), 0u);
}

struct FailureCase {
  const char* label;
  bool refused;     // nothing listens at the base URL
  HttpReply step1;  // used when the service answers step 1 itself
  HttpReply step2;
};

class UploadFailureTest : public AnalyticsUploaderTest,
                          public ::testing::WithParamInterface<FailureCase> {};

TEST_P(UploadFailureTest, KeepsTheFileAndReportsFalse) {
  const FailureCase& c = GetParam();
  if (c.step1.status == 200 && c.step1.kind == HttpReply::Kind::kNormal) {
    serveSignedUrls(c.step2);
  } else {
    server.route("/base/sdk_a.json", c.step1);
  }
  const std::string base =
      c.refused ? "http://127.0.0.1:" + std::to_string(HttpTestServer::closedPort()) + "/base"
                : server.url("/base");
  auto uploader = make(base);
  const std::string path = folder + "/sdk_a.json";
  writeFile(path, "record\n");
  EXPECT_FALSE(upload(*uploader, path));
  EXPECT_TRUE(std::filesystem::exists(path));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, UploadFailureTest,
    ::testing::Values(
        FailureCase{"Refused", true, tltest::replyWith(200), tltest::replyWith(200)},
        FailureCase{"SignedUrlForbidden", false, tltest::replyWith(403), tltest::replyWith(200)},
        FailureCase{"SignedUrlServerError", false, tltest::replyWith(500), tltest::replyWith(200)},
        FailureCase{"SignedUrlDropped", false, tltest::droppedReply(), tltest::replyWith(200)},
        FailureCase{"PutForbidden", false, tltest::replyWith(200), tltest::replyWith(403)},
        FailureCase{"PutServerError", false, tltest::replyWith(200), tltest::replyWith(500)},
        FailureCase{"PutDropped", false, tltest::replyWith(200), tltest::droppedReply()}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(AnalyticsUploaderTest, NewUploaderSendsLeftoversAgain) {
  std::filesystem::create_directory(folder);
  for (const char* name : {"sdk_a.json", "sdk_b.json", ".sdk_c.json.tmp1_0", "x"}) {
    writeFile(folder + "/" + name, name);
  }
  server.route("/base/sdk_a.json", tltest::replyWith(403));
  { auto first = make(server.url("/base")); ASSERT_TRUE(server.awaitRequests(2)); }
  EXPECT_TRUE(std::filesystem::exists(folder + "/sdk_a.json"));

  serveSignedUrls(tltest::replyWith(201));
  auto second = make(server.url("/base"));
  EXPECT_TRUE(awaitGone(folder + "/sdk_a.json"));
  EXPECT_TRUE(awaitGone(folder + "/sdk_b.json"));
  EXPECT_TRUE(std::filesystem::exists(folder + "/.sdk_c.json.tmp1_0"));
  EXPECT_TRUE(std::filesystem::exists(folder + "/x"));
}

TEST_F(AnalyticsUploaderTest, FolderThatCannotBeCreatedThrows) {
  try {
    AnalyticsUploader(Log(nullptr, nullptr), dir.file("no/such"), "a", "http://127.0.0.1/");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Could not create working directory " + dir.file("no/such"));
  }
}

}  // namespace
}  // namespace tembrolexinsdk
