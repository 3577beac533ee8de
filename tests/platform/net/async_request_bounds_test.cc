// Upload requests against hostile servers: bodies that never end or are too
// large, floods of headers, drips, slow transfers and redirect loops. Each
// ends the request once, as a failure with the platform's code, within its
// bound; the body held in memory never passes its limit.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/net/async_request.h"
#include "tests/platform/net/fake_transport.h"
#include "tests/support/http_test_server.h"
#include "tests/support/peak_memory.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;

struct Completions : TLAsyncRequestDelegate {
  void requestComplete(const std::shared_ptr<TLAsyncRequest>& request) override {
    codes.push_back(request->responseCode());
    messages.push_back(request->responseMsg());
    bodies.push_back(request->receivedData());
    attempts.push_back(request->responseAttempt());
  }
  std::vector<int32_t> codes;
  std::vector<std::string> messages;
  std::vector<std::string> bodies;
  std::vector<int32_t> attempts;
};

struct BoundCase {
  const char* name;
  std::function<void(tltest::HttpTestServer&)> serve;  // routes "/u"
  std::function<void(CurlHttpTransport::Options&)> limit;
  int32_t code;
  std::string message;
  std::size_t requests;  // that reached the server
  std::string body;      // for a completed answer
};
void PrintTo(const BoundCase& c, std::ostream* os) { *os << c.name; }

class AsyncRequestBoundsTest : public testing::TestWithParam<BoundCase> {
 protected:
  AsyncRequestBoundsTest() { main->bindToCurrentThread(); }

  // Starts an upload to `url` over a real transport with `options`, and
  // pumps the main queue until it completes (10 s cap).
  bool run(const std::string& url, CurlHttpTransport::Options options) {
    options.callbackQueue = main;
    transport = std::make_shared<CurlHttpTransport>(options);
    request = TLAsyncRequest::create(TLAsyncRequest::Context{transport}, url, "POST", FormParams{},
                                     std::weak_ptr<TLNetworkManagerDelegate>(),
                                     std::weak_ptr<TLNetworkTypeDelegate>(), completions,
                                     std::weak_ptr<TLUploadQueue>(), 2, 3);
    request->startRequest();
    return main->runUntil([&] { return !completions->codes.empty(); }, 10s);
  }

  std::shared_ptr<MainQueue> main = std::make_shared<MainQueue>();
  std::shared_ptr<CurlHttpTransport> transport;
  std::shared_ptr<Completions> completions = std::make_shared<Completions>();
  std::shared_ptr<TLAsyncRequest> request;
  tltest::HttpTestServer server;
};

// Bounds small enough for a test.
CurlHttpTransport::Options testOptions() {
  CurlHttpTransport::Options options;
  options.idleTimeout = 1s;
  options.lowSpeedLimit = 100;
  options.totalTimeout = 2000ms;
  options.maxBodyBytes = 64 * 1024;
  return options;
}

TEST_P(AsyncRequestBoundsTest, EndsOnceWithThePlatformsCode) {
  const BoundCase& c = GetParam();
  c.serve(server);
  CurlHttpTransport::Options options = testOptions();
  if (c.limit) c.limit(options);
  ASSERT_TRUE(run(server.url("/u"), options));
  main->drain();
  ASSERT_EQ(completions->codes.size(), 1u);
  EXPECT_EQ(completions->codes[0], c.code);
  EXPECT_EQ(completions->messages[0], c.message);
  EXPECT_EQ(completions->bodies[0], c.body);
  EXPECT_EQ(completions->attempts[0], 2);  // no hostile answer moves the attempt
  EXPECT_EQ(server.requestCount(), c.requests);
  EXPECT_FALSE(request->hasConnection());
}

tltest::HttpReply makerAnswer(std::string body) {
  return tltest::replyWith(200, std::move(body)).header("Tembrolexin", "1");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Servers, AsyncRequestBoundsTest, testing::Values(
    BoundCase{"EndlessBody", [](tltest::HttpTestServer& s) { s.route("/u", tltest::endlessReply()); },
              nullptr, -1103, "resource exceeds maximum size", 1, ""},
    BoundCase{"AnnouncedBodyPastTheLimit",
              [](tltest::HttpTestServer& s) { s.route("/u", makerAnswer(std::string(1001, 'a'))); },
              [](CurlHttpTransport::Options& o) { o.maxBodyBytes = 1000; },
              -1103, "resource exceeds maximum size", 1, ""},
    BoundCase{"BodyAtTheLimit",
              [](tltest::HttpTestServer& s) { s.route("/u", makerAnswer(std::string(1000, 'a'))); },
              [](CurlHttpTransport::Options& o) { o.maxBodyBytes = 1000; },
              200, "no error", 1, std::string(1000, 'a')},
    BoundCase{"HeaderFlood",
              [](tltest::HttpTestServer& s) {
                tltest::HttpReply r = makerAnswer("x");
                for (int i = 0; i < 1500; ++i) r.header("X-Flood-" + std::to_string(i), std::string(40, 'f'));
                s.route("/u", r);
              },
              nullptr, -1103, "resource exceeds maximum size", 1, ""},
    BoundCase{"Drip", [](tltest::HttpTestServer& s) { s.route("/u", tltest::dripReply(100ms)); },
              // The uploaded form counts towards the speed, so the limit
              // lies well above it; the total time is out of the way.
              [](CurlHttpTransport::Options& o) { o.lowSpeedLimit = 1000; o.totalTimeout = 5000ms; },
              -1001, "The request timed out.", 1, ""},
    BoundCase{"SteadyButPastTheTotalTime",
              [](tltest::HttpTestServer& s) { s.route("/u", tltest::dripReply(2ms)); },
              [](CurlHttpTransport::Options& o) { o.lowSpeedLimit = 10; o.totalTimeout = 500ms; },
              -1001, "The request timed out.", 1, ""},
    BoundCase{"RedirectLoop",
              [](tltest::HttpTestServer& s) { s.route("/u", tltest::redirectReply(s.url("/u"))); },
              nullptr, -1007, "too many HTTP redirects", 11, ""},
    // Only the final answer is reported: the redirect's attempt header and
    // status never reach the request.
    BoundCase{"RedirectToTheAnswer",
              [](tltest::HttpTestServer& s) {
                s.route("/u", tltest::redirectReply(s.url("/final")).header("NextUploadAttempt", "9"));
                s.route("/final", makerAnswer("ok"));
              },
              nullptr, 200, "no error", 2, "ok"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// Whatever a transport lets through, the request keeps no more than its limit.
TEST(AsyncRequestBodyLimitTest, RequestStopsTakingDataPastItsLimit) {
  auto transport = std::make_shared<tltest::FakeTransport>();
  auto completions = std::make_shared<Completions>();
  TLAsyncRequest::Context context{transport};
  context.maxBodyBytes = 10;
  auto request = TLAsyncRequest::create(
      context, "http://127.0.0.1/u", "POST", FormParams{}, std::weak_ptr<TLNetworkManagerDelegate>(),
      std::weak_ptr<TLNetworkTypeDelegate>(), completions, std::weak_ptr<TLUploadQueue>(), 1, 3);
  request->startRequest();
  auto connection = transport->last();
  ASSERT_NE(connection, nullptr);
  auto delegate = connection->delegate.lock();
  HttpResponseHead head;
  head.statusCode = 200;
  head.headers = {{"Tembrolexin", "1"}};
  delegate->connectionDidReceiveResponse(head);
  delegate->connectionDidReceiveData("123456");
  delegate->connectionDidReceiveData("7890");  // exactly the limit
  EXPECT_TRUE(completions->codes.empty());
  delegate->connectionDidReceiveData("X");
  ASSERT_EQ(completions->codes, std::vector<int32_t>{-1103});
  EXPECT_EQ(completions->messages[0], "resource exceeds maximum size");
  EXPECT_TRUE(connection->cancelled);
  delegate->connectionDidReceiveData("more");
  delegate->connectionDidFinishLoading();
  EXPECT_EQ(completions->codes.size(), 1u);
  EXPECT_EQ(request->receivedData(), "");
}

// An endless answer takes no more memory than the body limit, measured as
// the process's peak resident size.
TEST_F(AsyncRequestBoundsTest, EndlessAnswerHoldsNoMoreThanItsLimit) {
  server.route("/u", tltest::endlessReply());
  CurlHttpTransport::Options options;  // the default limit of 4 MiB
  options.totalTimeout = 3000ms;       // an unbounded body reaches gigabytes by then
  tltest::PeakMemory peak;
  if (!peak.available()) GTEST_SKIP() << "the kernel does not report a resettable peak";
  ASSERT_TRUE(run(server.url("/u"), options));
  EXPECT_EQ(completions->codes, std::vector<int32_t>{-1103});
  EXPECT_LT(peak.growthBytes(), tltest::PeakMemory::allowing(64u << 20));
}

}  // namespace
}  // namespace tembrolexinplatform
