#include "core/analytics/analytics_record_writer.h"

#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/core/runtime/log_capture_util.h"
#include "tests/support/fake_clock.h"
#include "tests/support/http_test_server.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinsdk {
namespace {

using Writer = AnalyticsRecordWriter<JsonRecordWriter>;

std::vector<std::string> lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::unique_ptr<AnalyticsMessage> record(int n) {
  auto r = std::make_unique<AnalyticsMessage>("REC", 0);
  r->add("n", n);
  return r;
}

std::unique_ptr<AnalyticsMessage> textRecord(int n, std::size_t bytes) {
  auto r = std::make_unique<AnalyticsMessage>("REC", 0);
  r->add("n", n).add("text", std::string(bytes, 'x'));
  return r;
}

class RecordWriterTest : public ::testing::Test {
 protected:
  // The server knows no route unless a test adds one: uploads fail (404) and
  // closed files stay for reading.
  RecordWriterTest() : folder(dir.file("Analytics")) {}
  std::unique_ptr<Writer> make(RecordWriterOptions options = RecordWriterOptions(),
                               const std::string& udid = "00112233aabbccdd") {
    return std::make_unique<Writer>(Log(nullptr, nullptr), nullptr, "demoapp", udid, folder,
                                    server.url("/base"), clock, Http::TransferLimits(),
                                    std::string(), std::move(options));
  }
  // finish() and the outcome it reports.
  static bool finish(Writer& writer) {
    std::promise<bool> outcome;
    writer.finish(ReasonForClose::kUploadRequested, [&](bool ok) { outcome.set_value(ok); });
    auto future = outcome.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return future.get();
  }
  std::string file(const std::string& time, int n) const {
    return folder + "/sdk_00112233aabbccdd_2026-12-06_" + time + "_" + std::to_string(n) + ".json";
  }

  tltest::TempDir dir;
  std::string folder;
  tltest::FakeClock clock;  // 2026-12-06 00:00:00 UTC
  tltest::HttpTestServer server;
};

TEST_F(RecordWriterTest, FilesCarryHeaderRecordsAndFooterAndAreNumbered) {
  auto writer = make();
  for (int i = 1; i <= 3; ++i) writer->writeRecord(record(i));
  EXPECT_FALSE(finish(*writer));  // the service answers 404: the file stays
  EXPECT_EQ(lines(file("00.00.00", 0)),
            (std::vector<std::string>{
                "{\"app_id\":\"demoapp\",\"id\":\"HEADER\",\"logversion\":1,\"sequence\":1,"
                "\"timestamp\":\"2026-12-06T00:00:00Z\",\"udid\":\"00112233aabbccdd\","
                "\"version\":\"IPHONE\"}",
                "{\"id\":\"REC\",\"n\":1,\"timestamp\":\"1970-01-01T00:00:00Z\"}",
                "{\"id\":\"REC\",\"n\":2,\"timestamp\":\"1970-01-01T00:00:00Z\"}",
                "{\"id\":\"REC\",\"n\":3,\"timestamp\":\"1970-01-01T00:00:00Z\"}",
                "{\"bitfield\":0,\"id\":\"FOOTER\",\"reason\":0,\"records\":3,"
                "\"timestamp\":\"2026-12-06T00:00:00Z\"}"}));

  clock.advance(std::chrono::seconds(3723));  // 01:02:03
  writer->writeRecord(record(4));
  EXPECT_FALSE(finish(*writer));
  const auto second = lines(file("01.02.03", 1));
  ASSERT_EQ(second.size(), 3u);
  EXPECT_NE(second[0].find("\"sequence\":2,\"timestamp\":\"2026-12-06T01:02:03Z\""),
            std::string::npos);
  EXPECT_NE(second[2].find("\"records\":1"), std::string::npos);
  // A finish with nothing recorded reports at once and writes nothing.
  EXPECT_TRUE(finish(*writer));
  EXPECT_EQ(server.requestCount(), 2u);
}

TEST_F(RecordWriterTest, DeliveredFileIsDeleted) {
  server.route("/base/" + std::filesystem::path(file("00.00.00", 0)).filename().string(),
               tltest::replyWith(200, server.url("/put")));
  server.route("PUT", "/put", tltest::replyWith(200));
  auto writer = make();
  writer->writeRecord(record(1));
  EXPECT_TRUE(finish(*writer));
  EXPECT_FALSE(std::filesystem::exists(file("00.00.00", 0)));
  const std::string uploaded = server.requests().back().body;
  EXPECT_EQ(std::count(uploaded.begin(), uploaded.end(), '\n'), 3);  // header, record, footer
}

TEST_F(RecordWriterTest, ExistingFileOfTheSameNameIsNotOverwritten) {
  std::filesystem::create_directory(folder);
  std::ofstream(file("00.00.00", 0)) << "{\"id\":\"HEADER\",\"run\":\"earlier\"}\n";
  auto writer = make();
  writer->writeRecord(record(1));
  EXPECT_FALSE(finish(*writer));
  EXPECT_EQ(lines(file("00.00.00", 0)),
            std::vector<std::string>{"{\"id\":\"HEADER\",\"run\":\"earlier\"}"});
  const auto next = lines(file("00.00.00", 1));
  ASSERT_EQ(next.size(), 3u);
  EXPECT_NE(next[0].find("\"sequence\":2"), std::string::npos);
}

TEST_F(RecordWriterTest, RecordThatFindsNoFolderIsLostAndTheNextFileIsNumberedOn) {
  auto writer = make();
  std::filesystem::remove(folder);
  writer->writeRecord(record(1));
  EXPECT_FALSE(finish(*writer));  // no file could be opened: a record was lost
  std::filesystem::create_directory(folder);
  writer->writeRecord(record(2));
  EXPECT_FALSE(finish(*writer));
  const auto content = lines(file("00.00.00", 1));
  ASSERT_EQ(content.size(), 3u);
  EXPECT_NE(content[0].find("\"sequence\":2"), std::string::npos);
  EXPECT_NE(content[1].find("\"n\":2"), std::string::npos);
  EXPECT_NE(content[2].find("\"records\":1"), std::string::npos);
}

TEST_F(RecordWriterTest, DestructionWritesQueuedRecordsAndLeavesNoFooter) {
  {
    auto writer = make();
    writer->writeRecord(record(1));
    writer->writeRecord(nullptr);  // logged, nothing written
    writer->writeRecord(record(2));
  }
  const auto content = lines(file("00.00.00", 0));
  ASSERT_EQ(content.size(), 3u);
  EXPECT_NE(content[2].find("\"n\":2"), std::string::npos);
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(RecordWriterTest, RecordsFromTwoThreadsAreAllWholeLines) {
  auto writer = make();
  auto push = [&](int base) {
    for (int i = 0; i < 100; ++i) writer->writeRecord(record(base + i));
  };
  std::thread a(push, 0), b(push, 1000);
  a.join();
  b.join();
  EXPECT_FALSE(finish(*writer));
  const auto content = lines(file("00.00.00", 0));
  ASSERT_EQ(content.size(), 202u);
  std::set<int> seen;
  Json::Reader reader;
  for (std::size_t i = 1; i + 1 < content.size(); ++i) {
    Json::Value v;
    ASSERT_TRUE(reader.parse(content[i], v)) << content[i];
    seen.insert(v["n"].asInt());
  }
  EXPECT_EQ(seen.size(), 200u);
  EXPECT_NE(content.back().find("\"records\":200"), std::string::npos);
}

TEST_F(RecordWriterTest, ThreadLogsEntryAndExitAtDebug) {
  tltest::LogCapture log;
  make().reset();
  std::vector<std::string> mine;
  for (const auto& line : log.lines()) {
    if (line.sender != "tembrolexin_AnalyticsRecordWriter") continue;
    mine.push_back(std::to_string(line.level) + " " + line.message);
  }
  EXPECT_EQ(mine, (std::vector<std::string>{"1 Thread entry.", "2 Entered state idle",
                                            "2 AnalyticsRecordWriter is completing",
                                            "1 Thread exit."}));
}

// A disk with room for `room` more bytes: a write that does not fit writes
// what fits and fails the next time with `error`.
struct SmallDisk {
  explicit SmallDisk(int64_t bytes, int errorCode) : room(bytes), error(errorCode) {}
  WriteCall call() {
    return [this](int fd, const void* data, std::size_t size) -> ssize_t {
      const int64_t left = room.load();
      if (left <= 0) {
        errno = error;
        return -1;
      }
      const ssize_t n = ::write(fd, data, std::min<std::size_t>(size, static_cast<std::size_t>(left)));
      if (n > 0) room -= n;
      return n;
    };
  }
  std::atomic<int64_t> room;
  const int error;
};

class FullDiskTest : public RecordWriterTest, public ::testing::WithParamInterface<int> {};

TEST_P(FullDiskTest, KeepsWholeLinesLogsTheLossAndTheHandInFails) {
  const auto header = [](int sequence) {
    return "{\"app_id\":\"demoapp\",\"id\":\"HEADER\",\"logversion\":1,\"sequence\":" +
           std::to_string(sequence) +
           ",\"timestamp\":\"2026-12-06T00:00:00Z\",\"udid\":\"00112233aabbccdd\","
           "\"version\":\"IPHONE\"}";
  };
  const auto line = [](int n) {
    return "{\"id\":\"REC\",\"n\":" + std::to_string(n) +
           ",\"timestamp\":\"1970-01-01T00:00:00Z\"}";
  };
  // Room for the header, two records and half of the third.
  SmallDisk disk(static_cast<int64_t>(header(1).size() + 1 + 2 * (line(1).size() + 1) + 20),
                 GetParam());
  tltest::LogCapture log;
  auto writer = make({kDefaultMaxPendingFiles, disk.call()});
  for (int i = 1; i <= 5; ++i) writer->writeRecord(record(i));
  writer.reset();  // everything queued is handled: the file stays open, without a footer
  EXPECT_EQ(lines(file("00.00.00", 0)), (std::vector<std::string>{header(1), line(1), line(2)}));
  EXPECT_EQ(checkRecordFile(file("00.00.00", 0)).verdict, RecordFileCheck::kSendable);

  // Room for a header and one record: the next file is delivered with its
  // whole lines and no footer, and the hand-in reports the record lost.
  const std::string second = std::filesystem::path(file("00.00.00", 1)).filename();
  server.route("/base/" + second, tltest::replyWith(200, server.url("/put")));
  server.route("PUT", "/put", tltest::replyWith(200));
  disk.room = static_cast<int64_t>(header(2).size() + 1 + line(6).size() + 1);
  writer = make({kDefaultMaxPendingFiles, disk.call()});
  writer->writeRecord(record(6));
  writer->writeRecord(record(7));
  EXPECT_FALSE(finish(*writer));
  EXPECT_FALSE(std::filesystem::exists(file("00.00.00", 1)));
  EXPECT_EQ(server.requests().back().body, header(2) + "\n" + line(6) + "\n");

  const std::string reason = std::strerror(GetParam());
  std::vector<std::string> errors;
  for (const auto& l : log.lines()) {
    if (l.level == 4) errors.push_back(l.message);
  }
  EXPECT_EQ(errors,
            (std::vector<std::string>{
                "Could not write an analytics record to " + file("00.00.00", 0) + ": " + reason,
                "Could not write an analytics record to " + file("00.00.00", 1) + ": " + reason,
                "1 analytics records could not be written",
                "Could not write the footer of " + file("00.00.00", 1) + ": " + reason}));
}

INSTANTIATE_TEST_SUITE_P(Errors, FullDiskTest, ::testing::Values(ENOSPC, EDQUOT, EIO),
                         [](const auto& info) {
                           return std::string(info.param == ENOSPC   ? "NoSpace"
                                              : info.param == EDQUOT ? "OverQuota"
                                                                     : "IoError");
                         });

TEST_F(RecordWriterTest, FileSizeLimitEndsTheFileNotTheProcess) {
  // Under the process's file-size limit the kernel would end the process
  // (SIGXFSZ) for a write beyond it; the writer stops short instead.
  auto writer = make();
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = 350000;  // the header, three records of 100 kB and the footer
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
  for (int i = 1; i <= 5; ++i) writer->writeRecord(textRecord(i, 100000));
  const bool delivered = finish(*writer);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_FALSE(delivered);
  const auto content = lines(file("00.00.00", 0));
  ASSERT_EQ(content.size(), 5u);
  EXPECT_NE(content[3].find("\"n\":3,"), std::string::npos);
  EXPECT_NE(content[4].find("\"records\":3,"), std::string::npos);
}

TEST_F(RecordWriterTest, ReadOnlyFolderLosesEveryRecordAndTheHandInFails) {
  std::filesystem::create_directory(folder);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
  tltest::LogCapture log;
  // Root writes into read-only folders: the writer's threads, made while
  // this thread acts on files as another user, inherit that.
  const int previous = ::setfsuid(65534);
  auto writer = make();
  ::setfsuid(previous);
  for (int i = 0; i < 100; ++i) writer->writeRecord(record(i));
  EXPECT_FALSE(finish(*writer));
  writer.reset();
  ::chmod(folder.c_str(), 0755);
  EXPECT_TRUE(std::filesystem::is_empty(folder));
  const auto refused = log.matching("Could not open ");
  ASSERT_EQ(refused.size(), 100u);
  EXPECT_EQ(refused[0].level, 4);
  EXPECT_NE(refused[0].message.find(" for writing: Permission denied"), std::string::npos);
  EXPECT_EQ(log.matching("100 analytics records could not be written").size(), 1u);
}

TEST_F(RecordWriterTest, AFullFileIsFinishedAndSentAndTheRecordStartsTheNext) {
  auto writer = make();
  for (int i = 1; i <= 7; ++i) writer->writeRecord(textRecord(i, 700000));  // 4 MiB after 5
  EXPECT_FALSE(finish(*writer));
  const auto first = lines(file("00.00.00", 0));
  ASSERT_EQ(first.size(), 7u);
  EXPECT_NE(first[6].find("\"reason\":1,\"records\":5,"), std::string::npos);
  const auto second = lines(file("00.00.00", 1));
  ASSERT_EQ(second.size(), 4u);
  EXPECT_NE(second[1].find("\"n\":6,"), std::string::npos);
  EXPECT_NE(second[3].find("\"reason\":0,\"records\":2,"), std::string::npos);
}

TEST_F(RecordWriterTest, RecordTooLongForALineIsLost) {
  tltest::LogCapture log;
  auto writer = make();
  writer->writeRecord(textRecord(1, kMaxRecordBytes));
  writer->writeRecord(record(2));
  EXPECT_FALSE(finish(*writer));
  EXPECT_EQ(log.matching(" bytes is too long to be written").size(), 1u);
  const auto content = lines(file("00.00.00", 0));
  ASSERT_EQ(content.size(), 3u);
  EXPECT_NE(content[1].find("\"n\":2,"), std::string::npos);
}

TEST_F(RecordWriterTest, UdidOutsideTheNameCharactersIsReducedInTheFileNameOnly) {
  auto writer = make(RecordWriterOptions(), "dev 1/\nx");
  writer->writeRecord(record(1));
  EXPECT_FALSE(finish(*writer));
  const auto content = lines(folder + "/sdk_dev_1__x_2026-12-06_00.00.00_0.json");
  ASSERT_EQ(content.size(), 3u);
  EXPECT_NE(content[0].find("\"udid\":\"dev 1/\\nx\""), std::string::npos);
}

TEST_F(RecordWriterTest, AtMostTheBoundOfFilesWaitAndTheOldestGo) {
  tltest::LogCapture log;
  auto writer = make({3, nullptr});
  for (int i = 0; i < 5; ++i) {
    clock.advance(std::chrono::seconds(1));
    writer->writeRecord(record(i));
    EXPECT_FALSE(finish(*writer));  // the service refuses: each file stays
  }
  std::vector<std::string> left;
  for (const auto& path : pendingRecordFiles(folder)) left.push_back(std::filesystem::path(path).filename());
  EXPECT_EQ(left, (std::vector<std::string>{"sdk_00112233aabbccdd_2026-12-06_00.00.03_2.json",
                                            "sdk_00112233aabbccdd_2026-12-06_00.00.04_3.json",
                                            "sdk_00112233aabbccdd_2026-12-06_00.00.05_4.json"}));
  EXPECT_EQ(log.matching("Dropped 1 analytics record files awaiting upload, the oldest, to keep "
                         "at most 2").size(),
            2u);
}

}  // namespace
}  // namespace tembrolexinsdk
