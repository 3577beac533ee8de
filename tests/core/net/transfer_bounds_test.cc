// Hostile servers against the queue's transfers: bodies that never end,
// drips, slow transfers, redirect loops. Each must fail at its bound with
// libcurl's code and a Warning naming the URL, and never hold the queue's
// thread or the memory for longer than its bound.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "core/net/async_queue.h"
#include "tests/core/net/outcome_util.h"
#include "tests/support/http_test_server.h"
#include "tests/support/peak_memory.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinsdk::Http {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::HasSubstr;
using tltest::HttpReply;
using tltest::HttpTestServer;
using tltest::Outcome;

class Lines : public IProcessorListener {
 public:
  void onProcessorEvent(const INamedObject*, const IProcessorEventParams*) override {}
  void onLogEvent(const INamedObject*, const LogParams* params) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::to_string(static_cast<int>(params->getLevel())) + " " +
                     params->getMessage());
  }
  void onProcessorStatusChanged(const INamedObject*, const IProcessorStatusParams*) override {}
  void onFailed(const FailureParams&) override {}
  void onNTPRequired() override {}
  security::IDataSigner* signer() const override { return nullptr; }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Limits small enough for a test: a second of low speed, two of total time.
TransferLimits testLimits() {
  TransferLimits limits;
  limits.lowSpeedTime = 1s;
  limits.lowSpeedLimit = 100;
  limits.totalTimeout = 2000ms;
  return limits;
}

struct BoundCase {
  const char* name;
  std::function<void(HttpTestServer&)> serve;  // routes "/x"
  std::function<void(TransferLimits&)> limit;
  uint64_t bodyLimit;  // 0: the memory writer's default
  int error;           // 0: onDone
  std::string warning;  // after "3 (processor) - HTTP request to <url> stopped: "
  size_t requests;      // that reached the server
};
void PrintTo(const BoundCase& c, std::ostream* os) { *os << c.name; }

class TransferBoundsTest : public ::testing::TestWithParam<BoundCase> {
 protected:
  HttpTestServer server;
  Lines lines;
  Log log{&lines, nullptr};
};

TEST_P(TransferBoundsTest, FailsAtItsBoundWithAClearError) {
  const BoundCase& c = GetParam();
  c.serve(server);
  TransferLimits limits = testLimits();
  if (c.limit) c.limit(limits);
  AsyncQueue queue(true, log, limits);
  Outcome outcome;
  auto writer = outcome.stringWriter();
  if (c.bodyLimit > 0) writer->setMaxBodyBytes(c.bodyLimit);
  queue.addRequest(std::make_unique<Configuration>(server.url("/x"), std::move(writer), log),
                   AsyncQueue::Immediate, TimingEvent::kOneShotRemove);
  ASSERT_TRUE(outcome.await());
  EXPECT_EQ(outcome.error, c.error);
  EXPECT_EQ(server.requestCount(), c.requests);
  if (c.error == 0) {
    EXPECT_EQ(outcome.body.size(), c.bodyLimit);
  } else {
    EXPECT_THAT(lines.lines(), Contains("3 (processor) - HTTP request to " + server.url("/x") +
                                        " stopped: " + c.warning));
  }
}

// Redirects from /x through /r1 ... /r<n-1> to /end.
void redirectChain(HttpTestServer& server, int n) {
  for (int i = 0; i < n; ++i) {
    const std::string from = i == 0 ? "/x" : "/r" + std::to_string(i);
    const std::string to = i + 1 == n ? "/end" : "/r" + std::to_string(i + 1);
    server.route(from, tltest::redirectReply(server.url(to)));
  }
  server.route("/end", tltest::replyWith(200, std::string(10, 'e')));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Servers, TransferBoundsTest, ::testing::Values(
    BoundCase{"EndlessBodyInMemory", [](HttpTestServer& s) { s.route("/x", tltest::endlessReply()); },
              nullptr, 0, 63, "body larger than 4194304 bytes", 1},
    BoundCase{"AnnouncedBodyPastTheLimit",
              [](HttpTestServer& s) { s.route("/x", tltest::replyWith(200, std::string(1001, 'a'))); },
              nullptr, 1000, 63, "body larger than 1000 bytes", 1},
    BoundCase{"BodyAtTheLimit",
              [](HttpTestServer& s) { s.route("/x", tltest::replyWith(200, std::string(1000, 'a'))); },
              nullptr, 1000, 0, "", 1},
    BoundCase{"ChunkedBodyPastTheLimit",
              [](HttpTestServer& s) {
                HttpReply r = tltest::endlessReply();
                r.body = std::string(300, 'c');
                s.route("/x", r);
              },
              nullptr, 1000, 63, "body larger than 1000 bytes", 1},
    BoundCase{"Drip", [](HttpTestServer& s) { s.route("/x", tltest::dripReply(100ms)); },
              nullptr, 0, 28, "time limit or low-speed limit reached", 1},
    BoundCase{"SteadyButPastTheTotalTime",
              [](HttpTestServer& s) { s.route("/x", tltest::dripReply(2ms)); },
              [](TransferLimits& l) { l.lowSpeedLimit = 10; l.totalTimeout = 500ms; },
              0, 28, "time limit or low-speed limit reached", 1},
    BoundCase{"Hang", [](HttpTestServer& s) { s.route("/x", tltest::hangingReply()); },
              nullptr, 0, 28, "time limit or low-speed limit reached", 1},
    BoundCase{"RedirectLoop",
              [](HttpTestServer& s) { s.route("/x", tltest::redirectReply(s.url("/x"))); },
              nullptr, 0, 47, "too many redirects", 11},
    BoundCase{"TenRedirects", [](HttpTestServer& s) { redirectChain(s, 10); },
              nullptr, 10, 0, "", 11},
    BoundCase{"ElevenRedirects", [](HttpTestServer& s) { redirectChain(s, 11); },
              nullptr, 0, 47, "too many redirects", 11}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(TransferBoundsBatchTest, RequestsPastABoundFailAloneAndTheBatchGoesOn) {
  HttpTestServer server;
  server.route("/endless", tltest::endlessReply());
  server.route("/drip", tltest::dripReply(200ms));
  server.route("/loop", tltest::redirectReply(server.url("/loop")));
  server.route("/ok", tltest::replyWith(200, "ok"));
  Lines lines;
  const Log log(&lines, nullptr);
  AsyncQueue queue(true, log, testLimits());
  Outcome endless, drip, loop, ok;
  std::list<int> ids;
  for (auto [path, outcome] : {std::pair{"/endless", &endless}, std::pair{"/drip", &drip},
                               std::pair{"/loop", &loop}, std::pair{"/ok", &ok}}) {
    ids.push_back(queue.addRequest(
        std::make_unique<Configuration>(server.url(path), outcome->stringWriter(), log),
        AsyncQueue::Deferred, 1));
  }
  std::promise<void> done;
  queue.perform(ids, [&] { done.set_value(); });
  ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(ok.error, 0);
  EXPECT_EQ(ok.body, "ok");
  EXPECT_EQ(endless.error, 63);
  EXPECT_EQ(drip.error, 28);
  EXPECT_EQ(loop.error, 47);
}

TEST(TransferBoundsFileTest, DownloadIntoAFileStopsAtItsLimit) {
  HttpTestServer server;
  server.route("/pkg", tltest::endlessReply());
  tltest::TempDir dir;
  const Log log(nullptr, nullptr);
  AsyncQueue queue(true, log, testLimits());
  Outcome outcome;
  auto writer = outcome.fileWriter(dir.file("pkg.gz"), std::ios::out | std::ios::binary, 1);
  writer->setMaxBodyBytes(1 << 20);
  queue.addRequest(std::make_unique<Configuration>(server.url("/pkg"), std::move(writer), log),
                   AsyncQueue::Immediate, 1);
  ASSERT_TRUE(outcome.await());
  EXPECT_EQ(outcome.error, 63);
  EXPECT_LE(std::filesystem::file_size(dir.file("pkg.gz")), 1u << 20);
}

// The memory an endless body may take is its writer's limit, not what the
// server sends: measured as the process's peak resident size.
TEST(TransferBoundsMemoryTest, EndlessBodyHoldsNoMoreThanItsLimit) {
  HttpTestServer server;
  server.route("/endless", tltest::endlessReply());
  const Log log(nullptr, nullptr);
  TransferLimits limits = testLimits();
  limits.totalTimeout = 3000ms;  // an unbounded body reaches gigabytes by then
  AsyncQueue queue(true, log, limits);
  tltest::PeakMemory peak;
  if (!peak.available()) GTEST_SKIP() << "the kernel does not report a resettable peak";
  Outcome outcome;
  queue.addRequest(
      std::make_unique<Configuration>(server.url("/endless"), outcome.stringWriter(), log),
      AsyncQueue::Immediate, 1);
  ASSERT_TRUE(outcome.await());
  EXPECT_EQ(outcome.error, 63);
  EXPECT_LT(peak.growthBytes(), tltest::PeakMemory::allowing(64u << 20));
}

}  // namespace
}  // namespace tembrolexinsdk::Http
