// One upload request over libcurl against the loopback HTTP(S) server: the
// exact multipart bytes and headers, how answers and their headers are read,
// and the negative codes of transport failures. The main queue is the test
// thread's; the wall clock is fake.

#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/net/async_request.h"
#include "tests/support/fake_clock.h"
#include "tests/support/http_test_server.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;

struct Completions : TLAsyncRequestDelegate {
  void requestComplete(const std::shared_ptr<TLAsyncRequest>& request) override {
    codes.push_back(request->responseCode());
    messages.push_back(request->responseMsg());
    bodies.push_back(request->receivedData());
  }
  std::vector<int32_t> codes;
  std::vector<std::string> messages;
  std::vector<std::string> bodies;
};

struct FixedType : TLNetworkTypeDelegate {
  int32_t currentConnectionType() override { return type; }
  int32_t type = 2;
};

class AsyncRequestTest : public testing::Test {
 protected:
  AsyncRequestTest() { main->bindToCurrentThread(); }

  std::shared_ptr<TLAsyncRequest> makeRequest(const std::string& url, FormParams params,
                                              int32_t attempt = 1,
                                              CurlHttpTransport::Options options = {}) {
    options.callbackQueue = main;
    if (!transport) transport = std::make_shared<CurlHttpTransport>(options);
    return TLAsyncRequest::create(TLAsyncRequest::Context{transport, &clock}, url, "POST",
                                  std::move(params), std::weak_ptr<TLNetworkManagerDelegate>(),
                                  netType, completions, std::weak_ptr<TLUploadQueue>(), attempt, 3);
  }
  // Starts a request and keeps it alive (a queue owns it in real use).
  void start(std::shared_ptr<TLAsyncRequest> request) {
    held.push_back(request);
    request->startRequest();
  }
  bool awaitCompletions(std::size_t n) {
    return main->runUntil([&] { return completions->codes.size() >= n; }, 10s);
  }

  tltest::FakeClock clock;
  std::shared_ptr<MainQueue> main = std::make_shared<MainQueue>();
  std::shared_ptr<CurlHttpTransport> transport;
  std::shared_ptr<Completions> completions = std::make_shared<Completions>();
  std::shared_ptr<FixedType> netType = std::make_shared<FixedType>();
  std::vector<std::shared_ptr<TLAsyncRequest>> held;
};

TEST_F(AsyncRequestTest, MultipartBodyAndHeadersAreExact) {
  tltest::TempDir dir;
  std::ofstream(dir.file("b.zip"), std::ios::binary) << std::string("PK\0\x01", 4);
  tltest::HttpTestServer server;
  server.route("/upload", tltest::replyWith(200, "thanks").header("Tembrolexin", "1").header("Server-Time", "T9"));

  FormParams params{{"tl_enduser_id", std::string("7")},
                    {"tl_upload_ts", std::string("")},
                    {"flag", true},
                    {"uploadzip", TLUploadFile(dir.file("b.zip"), 5)},
                    {"tl_upload_seq", std::string("5")}};
  auto request = makeRequest(server.url("/upload"), params, 2);
  request->startRequest();
  ASSERT_TRUE(awaitCompletions(1));

  // The fake wall clock stands at 2026-12-06 00:00:00 UTC; the boolean is
  // left out; the three attempt fields follow the stored ones.
  const std::string expected =
      "--*.*.*.*.*\r\nContent-Disposition: form-data; name=\"tl_enduser_id\"\r\n\r\n7\r\n"
      "--*.*.*.*.*\r\nContent-Disposition: form-data; name=\"tl_upload_ts\"\r\n\r\n2026-12-06 00:00:00\r\n"
      "--*.*.*.*.*\r\nContent-Disposition: form-data; name=\"uploadzip\";filename=\"b.zip\"\r\n"
      "Content-Type: application/x-gzip\r\n\r\n" + std::string("PK\0\x01", 4) + "\r\n"
      "--*.*.*.*.*\r\nContent-Disposition: form-data; name=\"tl_upload_seq\"\r\n\r\n5\r\n"
      "--*.*.*.*.*\r\nContent-Disposition: form-data; name=\"tl_nettype\"\r\n\r\n2\r\n"
      "--*.*.*.*.*\r\nContent-Disposition: form-data; name=\"upload_attempt\"\r\n\r\n2\r\n"
      "--*.*.*.*.*\r\nContent-Disposition: form-data; name=\"max_upload_attempts\"\r\n\r\n3\r\n"
      "--*.*.*.*.*--\r\n\r\n";
  auto sent = server.requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].method, "POST");
  EXPECT_EQ(sent[0].body, expected);
  EXPECT_EQ(sent[0].header("Content-type"), "multipart/form-data;boundary=*.*.*.*.*");
  EXPECT_EQ(sent[0].header("Connection"), "Keep-Alive");
  EXPECT_FALSE(sent[0].expectContinue);

  EXPECT_EQ(completions->codes[0], 200);
  EXPECT_EQ(completions->messages[0], "no error");
  EXPECT_EQ(completions->bodies[0], "thanks");
  EXPECT_EQ(request->serverTime(), "T9");
  // The stored parameters are untouched by the start.
  EXPECT_EQ(*request->requestParams().text("tl_upload_ts"), "");
  EXPECT_FALSE(request->requestParams().contains("upload_attempt"));
}

TEST_F(AsyncRequestTest, UnreadableFileSendsEmptyPartAndNetTypeFollowsSource) {
  netType->type = 7;
  auto desc = makeRequest("http://127.0.0.1:1/x", {{"upload", TLUploadFile("/no/such/a.zip", 1)}})
                  ->buildRequestSpec();
  EXPECT_NE(desc.body.find("filename=\"a.zip\"\r\nContent-Type: application/x-gzip\r\n\r\n\r\n"),
            std::string::npos);
  EXPECT_NE(desc.body.find("name=\"tl_nettype\"\r\n\r\n0\r\n"), std::string::npos);
  EXPECT_EQ(desc.body.find("tl_upload_ts"), std::string::npos);
}

struct AnswerCase {
  std::string name;
  tltest::HttpReply reply;
  bool makerServer;
  int32_t expectedCode;
  std::string expectedMessage;
  int32_t expectedAttempt;  // responseAttempt after the answer (attempt is 2)
};

class AnswerTest : public AsyncRequestTest, public testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, StatusHeaderTestAndNextAttempt) {
  const AnswerCase& c = GetParam();
  tltest::HttpTestServer server;
  server.route("/u", c.reply);
  auto request = makeRequest(server.url("/u"), {}, 2);
  request->setTembrolexinRequest(c.makerServer);
  request->startRequest();
  ASSERT_TRUE(awaitCompletions(1));
  EXPECT_EQ(completions->codes[0], c.expectedCode);
  EXPECT_EQ(completions->messages[0], c.expectedMessage);
  EXPECT_EQ(request->responseAttempt(), c.expectedAttempt);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerTest,
    testing::Values(
        AnswerCase{"OkWithoutMakerHeaderIs503", tltest::replyWith(200), true, 503,
                   "Tembrolexin header not received from server", 2},
        AnswerCase{"OkWithEmptyMakerHeaderStays", tltest::replyWith(200).header("Tembrolexin", ""),
                   true, 200, "no error", 2},
        AnswerCase{"NoContentPassesUnchecked", tltest::replyWith(204), true, 204, "no content", 2},
        AnswerCase{"OtherServerSkipsHeaderTest", tltest::replyWith(200), false, 200, "no error", 2},
        AnswerCase{"ServerMovesAttempt", tltest::replyWith(500).header("NextUploadAttempt", "4"), true,
                   500, "internal server error", 4},
        AnswerCase{"NonNumericAttemptReadsZero",
                   tltest::replyWith(404).header("NextUploadAttempt", "soon"), true, 404, "not found", 0},
        AnswerCase{"OtherServerIgnoresAttempt",
                   tltest::replyWith(500).header("NextUploadAttempt", "4"), false, 500,
                   "internal server error", 2}),
    [](const testing::TestParamInfo<AnswerCase>& info) { return info.param.name; });

TEST_F(AsyncRequestTest, TransportFailuresGiveNegativeCodes) {
  tltest::HttpTestServer plain;
  plain.route("/hang", tltest::hangingReply());
  tltest::HttpTestServer tls(tltest::HttpTestServer::Options{true, true});
  tls.route("/u", tltest::replyWith(200).header("Tembrolexin", "1"));

  CurlHttpTransport::Options options;
  options.totalTimeout = 300ms;
  start(makeRequest("http://127.0.0.1:" + std::to_string(tltest::HttpTestServer::closedPort()) + "/u",
                    {}, 1, options));
  ASSERT_TRUE(awaitCompletions(1));
  EXPECT_EQ(completions->codes[0], kURLErrorCannotConnectToHost);

  start(makeRequest(plain.url("/hang"), {}));
  ASSERT_TRUE(awaitCompletions(2));
  EXPECT_EQ(completions->codes[1], kURLErrorTimedOut);
  EXPECT_EQ(completions->messages[1], "The request timed out.");
  plain.releaseHangs();

  // The server's certificate is verified: untrusted without its CA file.
  // A transport of its own, without the short total time a slow TLS
  // handshake could pass.
  transport.reset();
  start(makeRequest(tls.url("/u"), {}));
  ASSERT_TRUE(awaitCompletions(3));
  EXPECT_EQ(completions->codes[2], kURLErrorServerCertificateUntrusted);

  // No connection for a URL without a scheme: completed at once.
  start(makeRequest("/upload", {}));
  ASSERT_EQ(completions->codes.size(), 4u);
  EXPECT_EQ(completions->codes[3], -1);
  EXPECT_EQ(completions->messages[3], "HTTP connection failed");
}

TEST_F(AsyncRequestTest, TrustedCertificateIsAccepted) {
  tltest::HttpTestServer tls(tltest::HttpTestServer::Options{true, true});
  tls.route("/u", tltest::replyWith(200).header("Tembrolexin", "1"));
  CurlHttpTransport::Options options;
  options.caFile = tls.caFile();
  start(makeRequest(tls.url("/u"), {}, 1, options));
  ASSERT_TRUE(awaitCompletions(1));
  EXPECT_EQ(completions->codes[0], 200);
}

TEST_F(AsyncRequestTest, CancelledRequestNeverCompletes) {
  tltest::HttpTestServer server;
  server.route("/u", tltest::hangingReply());
  auto request = makeRequest(server.url("/u"), {});
  request->startRequest();
  ASSERT_TRUE(server.awaitRequests(1));
  request->cancelRequest();
  EXPECT_FALSE(request->hasConnection());
  server.releaseHangs();
  // The transfer's thread ends (it posts nothing a queue could wake on).
  for (int i = 0; i < 1000 && transport->activeTransfers() > 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(transport->activeTransfers(), 0u);
  main->drain();
  EXPECT_TRUE(completions->codes.empty());
}

TEST(UploadFileTest, SplitsFolderAndName) {
  TLUploadFile file("/data/plug/b.tar.gz", 9);
  EXPECT_EQ(file.path(), "/data/plug");
  EXPECT_EQ(file.name(), "b.tar.gz");
  EXPECT_EQ(file.fullPath(), "/data/plug/b.tar.gz");
  EXPECT_FALSE(file.getTimeChangeOffset().has_value());
  EXPECT_EQ(formatUploadDate(std::nullopt), "0000-00-00 00:00:00 UTC");
  EXPECT_EQ(formatUploadDate(951782400LL * 1000000 + 999999), "2000-02-29 00:00:00");
}

}  // namespace
}  // namespace tembrolexinplatform
