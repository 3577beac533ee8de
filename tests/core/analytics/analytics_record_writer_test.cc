#include "core/analytics/analytics_record_writer.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

class RecordWriterTest : public ::testing::Test {
 protected:
  // The server knows no route unless a test adds one: uploads fail (404) and
  // closed files stay for reading.
  RecordWriterTest() : folder(dir.file("Analytics")) {}
  std::unique_ptr<Writer> make() {
    return std::make_unique<Writer>(Log(nullptr, nullptr), nullptr, "demoapp", "00112233aabbccdd",
                                    folder, server.url("/base"), clock);
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
  std::ofstream(file("00.00.00", 0)) << "earlier run\n";
  auto writer = make();
  writer->writeRecord(record(1));
  EXPECT_FALSE(finish(*writer));
  EXPECT_EQ(lines(file("00.00.00", 0)), std::vector<std::string>{"earlier run"});
  const auto next = lines(file("00.00.00", 1));
  ASSERT_EQ(next.size(), 3u);
  EXPECT_NE(next[0].find("\"sequence\":2"), std::string::npos);
}

TEST_F(RecordWriterTest, RecordThatFindsNoFolderIsLostAndTheNextFileIsNumberedOn) {
  auto writer = make();
  std::filesystem::remove(folder);
  writer->writeRecord(record(1));
  EXPECT_TRUE(finish(*writer));  // no file could be opened: nothing to deliver
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

}  // namespace
}  // namespace tembrolexinsdk
