#include "core/analytics/analytics_uploader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "tests/core/runtime/log_capture_util.h"
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

// A record file's text: a header, then one line per record.
std::string recordText(const std::string& tag) {
  return "{\"id\":\"HEADER\",\"tag\":\"" + tag + "\"}\n{\"id\":\"REC\",\"n\":1}\n";
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
  const std::string content = "{\"id\":\"HEADER\"}\n{\"id\":\"REC\",\"text\":\"\xc3\xa9\\n\"}\n";
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
  writeFile(path, recordText("a"));
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
    writeFile(folder + "/" + name, recordText(name));
  }
  server.route("/base/sdk_a.json", tltest::replyWith(403));
  { auto first = make(server.url("/base")); ASSERT_TRUE(server.awaitRequests(2)); }
  EXPECT_TRUE(std::filesystem::exists(folder + "/sdk_a.json"));

  serveSignedUrls(tltest::replyWith(201));
  auto second = make(server.url("/base"));
  EXPECT_TRUE(awaitGone(folder + "/sdk_a.json"));
  EXPECT_TRUE(awaitGone(folder + "/sdk_b.json"));
  // What a crashed run's rewrite left is removed; other names stay.
  EXPECT_FALSE(std::filesystem::exists(folder + "/.sdk_c.json.tmp1_0"));
  EXPECT_TRUE(std::filesystem::exists(folder + "/x"));
}

// What a start-up finds in the folder, beside one good file that is sent.
struct LeftoverCase {
  std::string name;
  std::string file;                                // its name in the folder
  std::function<void(const std::string&)> make;   // makes it at that path
  bool stays;                                      // still there afterwards
  std::string warning;                             // the Warning that names it
};
void PrintTo(const LeftoverCase& c, std::ostream* os) { *os << c.name; }

class LeftoverTest : public AnalyticsUploaderTest, public ::testing::WithParamInterface<LeftoverCase> {};

TEST_P(LeftoverTest, OnlyWholeRecordFilesOfOursAreSentNothingIsTriedForEver) {
  const LeftoverCase& c = GetParam();
  std::filesystem::create_directory(folder);
  c.make(folder + "/" + c.file);
  // The good file's name sorts last: once it is gone, every request queued
  // before it has been made.
  writeFile(folder + "/sdk_zz.json", recordText("good"));
  server.handle("/base/sdk_zz.json", [this](const HttpRecordedRequest&) {
    return tltest::replyWith(200, server.url("/put/sdk_zz.json"));
  });
  server.route("PUT", "/put/sdk_zz.json", tltest::replyWith(200));
  tltest::LogCapture log;
  auto uploader = make(server.url("/base"));
  ASSERT_TRUE(awaitGone(folder + "/sdk_zz.json"));
  EXPECT_EQ(server.requestCount(), 2u);
  std::error_code ignored;
  EXPECT_EQ(std::filesystem::exists(std::filesystem::symlink_status(folder + "/" + c.file, ignored)),
            c.stays);
  const auto warnings = log.matching(c.warning);
  ASSERT_EQ(warnings.size(), 1u) << c.warning;
  EXPECT_EQ(warnings[0].level, 3);
  // A second start says so again and still sends nothing.
  uploader.reset();
  auto again = make(server.url("/base"));
  EXPECT_EQ(server.requestCount(), 2u);
}

void text(const std::string& path, const std::string& content) { writeFile(path, content); }

INSTANTIATE_TEST_SUITE_P(
    Folder, LeftoverTest,
    ::testing::Values(
        LeftoverCase{"Empty", "sdk_e.json", [](const std::string& p) { text(p, ""); }, false,
                     "Dropping analytics record file " },
        LeftoverCase{"Binary", "sdk_b.json",
                     [](const std::string& p) { text(p, std::string("\x7f" "ELF\x02\x01\0\0\n", 9)); },
                     false, "sdk_b.json: line 1 is not a record"},
        LeftoverCase{"HeaderCutInHalf", "sdk_c.json",
                     [](const std::string& p) { text(p, "{\"id\":\"HEAD"); }, false,
                     "sdk_c.json: its last line is cut off"},
        LeftoverCase{"WithoutHeader", "sdk_h.json",
                     [](const std::string& p) { text(p, "{\"id\":\"REC\"}\n"); }, false,
                     "sdk_h.json: it does not begin with a header"},
        LeftoverCase{"RecordsPastTheLimit", "sdk_u.json",
                     [](const std::string& p) {
                       std::string file = "{\"id\":\"HEADER\"}\n";
                       for (int i = 0; i < 6; ++i) {
                         file += "{\"id\":\"REC\",\"t\":\"" + std::string(1000000, 'x') + "\"}\n";
                       }
                       text(p, file);
                     },
                     false, "sdk_u.json: 6000136 bytes of records, more than a record file holds"},
        LeftoverCase{"DamagedHeaderBeforeWholeRecords", "sdk_f.json",
                     [](const std::string& p) {
                       text(p, "{\"id\":\"HEADER\",\"lo\n{\"id\":\"REC\"}\n{\"id\":\"FOOTER\"}\n");
                     },
                     false, "sdk_f.json: line 1 is not a record"},
        LeftoverCase{"NameWithASpace", "sdk_a b.json",
                     [](const std::string& p) { text(p, recordText("s")); }, true,
                     "sdk_a b.json: not a record file name"},
        LeftoverCase{"NameWithANewline", "sdk_a\nb.json",
                     [](const std::string& p) { text(p, recordText("n")); }, true,
                     "sdk_a\\nb.json: not a record file name"},
        LeftoverCase{"LinkToAFileElsewhere", "sdk_l.json",
                     [](const std::string& p) {
                       const std::string target = std::filesystem::path(p).parent_path().parent_path() / "hostname";
                       text(target, recordText("not ours"));
                       std::filesystem::create_symlink(target, p);
                     },
                     true, "sdk_l.json: a symbolic link"},
        LeftoverCase{"Pipe", "sdk_p.json", [](const std::string& p) { ::mkfifo(p.c_str(), 0600); },
                     true, "sdk_p.json: not a regular file"}),
    [](const auto& info) { return info.param.name; });

// A record file damaged after its header: what is sent and what is said.
struct DamagedCase {
  std::string name;
  std::string file;     // as found in the folder
  std::string sent;     // the bytes of the upload
  std::string warning;  // after "...record file <path>: "
  std::uintmax_t grownTo = 0;  // when not 0, zeros then make the file this long
};
void PrintTo(const DamagedCase& c, std::ostream* os) { *os << c.name; }

class DamagedRecordFileTest : public AnalyticsUploaderTest,
                              public ::testing::WithParamInterface<DamagedCase> {};

TEST_P(DamagedRecordFileTest, EveryWholeRecordIsSentInItsOrderAndOnlyTheRestDropped) {
  const DamagedCase& c = GetParam();
  std::filesystem::create_directory(folder);
  const std::string path = folder + "/sdk_d.json";
  writeFile(path, c.file);
  if (c.grownTo != 0) std::filesystem::resize_file(path, c.grownTo);  // sparse
  server.handle("/base/sdk_d.json", [this](const HttpRecordedRequest&) {
    return tltest::replyWith(200, server.url("/put/sdk_d.json"));
  });
  server.route("PUT", "/put/sdk_d.json", tltest::replyWith(200));
  tltest::LogCapture log;
  auto uploader = make(server.url("/base"));
  ASSERT_TRUE(awaitGone(path));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].body, c.sent);
  EXPECT_EQ(requests[1].header("Content-Length"), std::to_string(c.sent.size()));
  const auto lines = log.matching("analytics record file");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message,
            "Keeping the whole lines of analytics record file " + path + ": " + c.warning);
  EXPECT_EQ(lines[0].level, 3);
}

const std::string kHeader = "{\"id\":\"HEADER\",\"logversion\":1}\n";
std::string records(int count, int first = 1) {
  std::string out;
  for (int n = first; n < first + count; ++n) {
    out += "{\"id\":\"CODEWORD\",\"n\":" + std::to_string(n) + "}\n";
  }
  return out;
}
const std::string kFooter =
    "{\"id\":\"FOOTER\",\"records\":9,\"bitfield\":0,\"reason\":0}\n";

INSTANTIATE_TEST_SUITE_P(
    Folder, DamagedRecordFileTest,
    ::testing::Values(
        DamagedCase{"FooterWithoutItsNewline",
                    kHeader + records(9) + kFooter.substr(0, kFooter.size() - 1),
                    kHeader + records(9) + kFooter,
                    "its last line ends without a newline; 11 lines kept, 0 dropped"},
        DamagedCase{"LastRecordCutOff", kHeader + records(2) + "{\"id\":\"CODEWORD\",\"n",
                    kHeader + records(2), "its last line is cut off; 3 lines kept, 1 dropped"},
        DamagedCase{"LineThatIsNotARecordThenACutOne",
                    kHeader + records(1) + "[1,2]\n" + records(1, 2) + "{\"id\"",
                    kHeader + records(2), "line 3 is not a record; 3 lines kept, 2 dropped"},
        DamagedCase{"ZerosAfterTheHeader", kHeader + std::string(4096, '\0'), kHeader,
                    "its last line is cut off; 1 line kept, 1 dropped"},
        DamagedCase{"ZerosPastTheUploadLimit", kHeader + records(10) + kFooter,
                    kHeader + records(10) + kFooter,
                    "its last line is cut off; 12 lines kept, 1 dropped", 30 << 20}),
    [](const auto& info) { return info.param.name; });

// One damaged line among the records: the footer too is sent as written.
DamagedCase damagedFifthLine(std::string name, const std::string& line) {
  return {std::move(name), kHeader + records(3) + line + records(3, 4) + kFooter,
          kHeader + records(6) + kFooter, "line 5 is not a record; 8 lines kept, 1 dropped"};
}

INSTANTIATE_TEST_SUITE_P(
    OneDamagedLine, DamagedRecordFileTest,
    ::testing::Values(damagedFifthLine("Garbage", "#!garbage\n"),
                      damagedFifthLine("Empty", "\n"),
                      damagedFifthLine("JsonList", "[{\"id\":\"CODEWORD\"}]\n"),
                      damagedFifthLine("ObjectWithoutId", "{\"n\":4}\n"),
                      damagedFifthLine("FlippedBrace", "}\"id\":\"CODEWORD\",\"n\":4}\n"),
                      damagedFifthLine("CutOff", "{\"id\":\"CODEWORD\",\"n\n"),
                      damagedFifthLine("BlockOfZeros", std::string(4096, '\0') + "\n")),
    [](const auto& info) { return info.param.name; });

struct DropCase {
  const char* name;
  bool withUrl;
  int level;  // of the line that counts the dropped files
};

class AnalyticsUploaderDropTest : public AnalyticsUploaderTest,
                                  public testing::WithParamInterface<DropCase> {};

// Without a url the bound is reached in ordinary use: no Warning then.
TEST_P(AnalyticsUploaderDropTest, AtMostTheBoundOfFilesWaitTheOldestAreDropped) {
  std::filesystem::create_directory(folder);
  const auto start = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
  for (int i = 0; i < 5; ++i) {
    const std::string path = folder + "/sdk_" + std::string(1, static_cast<char>('e' - i)) + ".json";
    writeFile(path, recordText(std::to_string(i)));
    std::filesystem::last_write_time(path, start + std::chrono::minutes(i));  // e oldest, a newest
  }
  tltest::LogCapture log;
  const std::string url =
      GetParam().withUrl ? "http://127.0.0.1:" + std::to_string(HttpTestServer::closedPort()) : "";
  AnalyticsUploader uploader(Log(nullptr, nullptr), folder, "demoapp", url, Http::TransferLimits(),
                             std::string(), 3);
  std::vector<std::string> left;
  for (const auto& path : pendingRecordFiles(folder)) left.push_back(std::filesystem::path(path).filename());
  EXPECT_EQ(left, (std::vector<std::string>{"sdk_c.json", "sdk_b.json", "sdk_a.json"}));
  const auto lines = log.matching("Dropped");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message,
            "Dropped 2 analytics record files awaiting upload, the oldest, to keep at most 3");
  EXPECT_EQ(lines[0].level, GetParam().level);
}

INSTANTIATE_TEST_SUITE_P(Urls, AnalyticsUploaderDropTest,
                         testing::Values(DropCase{"NoUrlDebug", false, 1},
                                         DropCase{"UrlWarning", true, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

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
