#include "core/net/http_request.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/net/async_queue.h"
#include "tests/core/net/outcome_util.h"
#include "tests/support/http_test_server.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinsdk::Http {
namespace {

using tltest::readFile;

using tltest::HttpReply;
using tltest::HttpTestServer;
using tltest::Outcome;

class Named : public INamedObject {
 public:
  explicit Named(std::string name) : name_(std::move(name)) {}
  const std::string& GetName() const override { return name_; }

 private:
  std::string name_;
};

Log quietLog() { return Log(nullptr, nullptr); }

// Builds and performs one request on the calling thread.
int run(Configuration& config) { return config.configure()->perform(); }

TEST(HttpExceptionTest, TextsNameSourceFunctionAndMessage) {
  const Named request("HttpRequest");
  EXPECT_STREQ(Exception(&request, "Request", "curl_easy_init failed").what(),
               "Exception in HttpRequest::Request(), curl_easy_init failed");
  EXPECT_STREQ(Exception(&request, "perform", "").what(), "Exception in HttpRequest::perform()");
  EXPECT_STREQ(Exception(nullptr, "f", "m").what(), "Exception in <Unknown object>::f(), m");
}

TEST(HttpConfigurationTest, HttpsAnywhereInTheUrlVerifiesThePeerFirst) {
  struct Case {
    const char* url;
    bool verify;
  };
  for (const Case& c : {Case{"HTTPS://example.org/", true}, Case{"http://h/x/https/y", true},
                        Case{"http://example.org/", false}}) {
    Configuration config(c.url, std::make_unique<Writer<std::stringstream>>(nullptr, nullptr),
                         quietLog());
    config.setOption(CURLOPT_USERAGENT, "ua");
    const std::vector<CURLoption> codes = config.optionCodes();
    if (c.verify) {
      EXPECT_EQ(codes, (std::vector<CURLoption>{CURLOPT_SSL_VERIFYPEER, CURLOPT_USERAGENT}))
          << c.url;
    } else {
      EXPECT_EQ(codes, std::vector<CURLoption>{CURLOPT_USERAGENT}) << c.url;
    }
  }
}

TEST(HttpConfigurationTest, RefusedOptionsThrowExactTexts) {
  Configuration withInt("http://127.0.0.1/",
                        std::make_unique<Writer<std::stringstream>>(nullptr, nullptr), quietLog());
  withInt.addOption(CURLOPT_TIMEOUT, std::make_unique<Option<int>>(5));
  try {
    withInt.configure();
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Exception in HttpConfiguration::configure(), Invalid configuration type");
  }

  Configuration unknown("http://127.0.0.1/",
                        std::make_unique<Writer<std::stringstream>>(nullptr, nullptr), quietLog());
  unknown.setOption(static_cast<CURLoption>(99999), 1L);
  try {
    unknown.configure();
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(),
                 "Exception in HttpRequest::setOption(), Could not set option 99999 : error code 48");
  }
}

// A writer that only records the names it is given.
class NameRecorder : public AbstractWriter {
 public:
  const std::string& GetName() const override { return name_; }
  std::iostream& stream() override { return stream_; }
  void finished(int, long) override {}
  void setFileName(const std::string& name) override { names.push_back(name); }
  std::vector<std::string> names;

 private:
  std::string name_ = "NameRecorder";
  std::stringstream stream_;
};

TEST(HttpWriterTest, ContentDispositionHeaderNamesTheFile) {
  struct Case {
    const char* line;
    const char* name;  // null: no call
  };
  const Case cases[] = {
      {"Content-Disposition: attachment; filename=\"a.zip\"\r\n", "a.zip"},
      {"Content-Disposition: attachment; filename=\"a.zip\r\n", nullptr},
      {"Content-Disposition: attachment; filename=\"", nullptr},
      {"content-disposition: attachment; filename=\"a.zip\"\r\n", nullptr},
      {"X: filename=\"a\"\r\n", nullptr},  // shorter than 20
      {"Content-Type: text/plain; filename=\"a.zip\"\r\n", nullptr},
  };
  for (const Case& c : cases) {
    NameRecorder writer;
    std::string line = c.line;
    EXPECT_EQ(AbstractWriter::processHeader(line.data(), 1, line.size(), &writer), line.size());
    EXPECT_EQ(writer.names, c.name ? std::vector<std::string>{c.name} : std::vector<std::string>{})
        << c.line;
  }
}

TEST(HttpWriterTest, StringWriterReportsErrorOrBodyWithAnyStatus) {
  Outcome outcome;
  auto writer = outcome.stringWriter();
  writer->stream() << "lost";
  writer->finished(6, -1);
  EXPECT_EQ(outcome.error, 6);
  writer->stream() << "not found";
  writer->finished(0, 404);
  EXPECT_EQ(outcome.calls, 2);
  EXPECT_EQ(outcome.error, 0);
  EXPECT_EQ(outcome.body, "not found");  // emptied after the failed transfer
  EXPECT_EQ(outcome.status, 404);
}

struct RenameCase {
  const char* label;
  const char* announced;
  int keep;
  const char* finalName;  // where the data ends up and what onDone reports
};

class FileRenameTest : public ::testing::TestWithParam<RenameCase> {};

TEST_P(FileRenameTest, AnnouncedNameMovesTheDownloadOnlyInsideTheFolder) {
  const RenameCase& c = GetParam();
  tltest::TempDir dir;
  const std::string original = dir.file("x.tmp");
  Outcome outcome;
  auto writer = outcome.fileWriter(original, std::ios::out | std::ios::binary | std::ios::trunc,
                                   c.keep);
  writer->setFileName(c.announced);
  const std::string data = "payload";
  ASSERT_EQ(AbstractWriter::performOutput(const_cast<char*>(data.data()), 1, data.size(),
                                          writer.get()),
            data.size());
  writer->finished(0, 200);
  const std::string expected = dir.file(c.finalName);
  EXPECT_EQ(outcome.body, expected);
  EXPECT_EQ(readFile(expected), "payload");
  EXPECT_EQ(std::filesystem::exists(original), expected == original);
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/../evil"));
}

INSTANTIATE_TEST_SUITE_P(
    Names, FileRenameTest,
    ::testing::Values(RenameCase{"Renamed", "y.bin", 0, "y.bin"},
                      RenameCase{"KeepFileName", "y.bin", 1, "x.tmp"},
                      RenameCase{"SameName", "x.tmp", 0, "x.tmp"},
                      RenameCase{"ParentRefused", "../evil", 0, "x.tmp"},
                      RenameCase{"DotDotRefused", "..", 0, "x.tmp"},
                      RenameCase{"SubfolderRefused", "a/b", 0, "x.tmp"},
                      RenameCase{"BackslashRefused", "..\\evil", 0, "x.tmp"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(HttpWriterTest, FileThatCannotBeOpenedOrClosedIsAnError) {
  try {
    Writer<std::fstream>("/nonexistent/dir/f", std::ios::out, nullptr, nullptr, 0);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Exception in HttpWriter::Writer(), Could not open filestream /nonexistent/dir/f");
  }
  // /dev/full takes the buffered bytes only to fail at the flush on close.
  Outcome outcome;
  auto writer = outcome.fileWriter("/dev/full", std::ios::out | std::ios::binary, 1);
  std::string data = "x";
  ASSERT_EQ(AbstractWriter::performOutput(data.data(), 1, 1, writer.get()), 1u);
  writer->finished(0, 200);
  EXPECT_EQ(outcome.error, AbstractWriter::kStreamFailed);
}

// ---- against the loopback server ---------------------------------------------

TEST(HttpRequestTest, GetReportsBodyAndStatus) {
  HttpTestServer server;
  server.route("/a", tltest::replyWith(200, "hello"));
  for (const auto& [path, body, status] :
       {std::tuple<std::string, std::string, long>{"/a", "hello", 200}, {"/none", "", 404}}) {
    Outcome outcome;
    Configuration config(server.url(path), outcome.stringWriter(), quietLog());
    EXPECT_EQ(run(config), 0);
    EXPECT_EQ(outcome.body, body);
    EXPECT_EQ(outcome.status, status);
  }
  EXPECT_EQ(server.requests().at(0).method, "GET");
}

TEST(HttpRequestTest, JsonPostSendsTheFourHeadersAndTheBody) {
  HttpTestServer server;
  server.route("POST", "/list", tltest::replyWith(200, "[]"));
  Outcome outcome;
  Configuration config(server.url("/list"), outcome.stringWriter(), quietLog());
  config.setJsonPost(R"({"k":"v"})");
  ASSERT_EQ(run(config), 0);
  EXPECT_EQ(outcome.body, "[]");
  const auto request = server.requests().at(0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.body, R"({"k":"v"})");
  EXPECT_EQ(request.header("Content-Length"), "9");
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.header("Accept"), "application/json");
  EXPECT_EQ(request.header("charsets"), "utf-8");
  EXPECT_FALSE(request.hasHeader("Expect"));
}

TEST(HttpRequestTest, PutUploadsAFileOfKnownOrUnknownSize) {
  tltest::TempDir dir;
  const std::string path = dir.file("up.json");
  const std::string content(70000, 'z');  // large enough for libcurl to ask "100 Continue"
  std::ofstream(path, std::ios::binary) << content;
  HttpTestServer server;
  server.route("PUT", "/up", tltest::replyWith(201, "stored"));  // a reply body is dropped
  for (bool knownSize : {true, false}) {
    Outcome outcome;
    Configuration config(server.url("/up"),
                         outcome.fileWriter(path, std::ios::in | std::ios::binary, 1), quietLog());
    config.setOption(CURLOPT_UPLOAD, 1L);
    if (knownSize) config.setOption(CURLOPT_INFILESIZE, static_cast<long>(content.size()));
    ASSERT_EQ(run(config), 0);
    EXPECT_EQ(outcome.status, 201);
    EXPECT_EQ(outcome.body, path);
    const auto request = server.requests().back();
    EXPECT_EQ(request.method, "PUT");
    EXPECT_EQ(request.body, content);
    EXPECT_EQ(request.chunked, !knownSize);
  }
}

TEST(HttpRequestTest, DownloadTakesTheServersFileName) {
  tltest::TempDir dir;
  HttpTestServer server;
  server.route("/bundle", tltest::replyWith(200, "zipdata").header("Content-Disposition", "attachment; filename=\"b.zip\""));
  Outcome outcome;
  Configuration config(
      server.url("/bundle"),
      outcome.fileWriter(dir.file("dl.tmp"), std::ios::out | std::ios::binary | std::ios::trunc, 0),
      quietLog());
  ASSERT_EQ(run(config), 0);
  EXPECT_EQ(outcome.body, dir.file("b.zip"));
  EXPECT_EQ(readFile(dir.file("b.zip")), "zipdata");
  EXPECT_FALSE(std::filesystem::exists(dir.file("dl.tmp")));
}

TEST(HttpRequestTest, TransferFailuresReachOnErrorWithLibcurlCodes) {
  HttpTestServer server;
  server.route("/partial", tltest::partialReply("0123456789", 4));
  server.route("/empty", tltest::droppedReply());
  struct Case {
    std::string url;
    int code;
  };
  const Case cases[] = {
      {"http://127.0.0.1:" + std::to_string(HttpTestServer::closedPort()) + "/", 7},
      {server.url("/partial"), 18},
      {server.url("/empty"), 52},
      {"file:///etc/hostname", 1},  // only http and https
  };
  for (const Case& c : cases) {
    Outcome outcome;
    Configuration config(c.url, outcome.stringWriter(), quietLog());
    EXPECT_EQ(run(config), c.code) << c.url;
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.error, c.code) << c.url;
  }
}

TEST(HttpRequestTest, TlsNeedsATrustedCertificate) {
  HttpTestServer server(HttpTestServer::Options{.tls = true});
  server.route("/s", tltest::replyWith(200, "secret"));
  Outcome untrusted;
  Configuration plain(server.url("/s"), untrusted.stringWriter(), quietLog());
  EXPECT_EQ(run(plain), 60);
  EXPECT_EQ(untrusted.error, 60);

  Outcome trusted;
  Configuration withCa(server.url("/s"), trusted.stringWriter(), quietLog());
  withCa.setOption(CURLOPT_CAINFO, server.caFile());
  EXPECT_EQ(run(withCa), 0);
  EXPECT_EQ(trusted.body, "secret");
}

// Notes the thread on which libcurl's one-time set-up reports itself.
class SetUpThread : public IProcessorListener {
 public:
  void onLogEvent(const INamedObject*, const LogParams* params) override {
    if (params->getMessage().find("Initialized CURL version ") != std::string::npos) {
      thread = std::this_thread::get_id();
    }
  }
  void onProcessorEvent(const INamedObject*, const IProcessorEventParams*) override {}
  void onProcessorStatusChanged(const INamedObject*, const IProcessorStatusParams*) override {}
  void onFailed(const FailureParams&) override {}
  void onNTPRequired() override {}
  security::IDataSigner* signer() const override { return nullptr; }
  std::thread::id thread;
};

// libcurl's process-wide set-up runs once, on the thread that makes the first
// queue or configuration, before any HTTP thread can run a transfer. Each
// case runs in a fresh process, where the set-up has not happened yet.
TEST(CurlGlobalEnvDeathTest, SetUpRunsOnTheThreadThatMakesAQueueOrAConfiguration) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SetUpThread listener;
        AsyncQueue queue(false, Log(&listener, nullptr));
        ::_exit(listener.thread == std::this_thread::get_id() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        SetUpThread listener;
        Configuration config("http://127.0.0.1/", nullptr, Log(&listener, nullptr));
        ::_exit(listener.thread == std::this_thread::get_id() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tembrolexinsdk::Http
