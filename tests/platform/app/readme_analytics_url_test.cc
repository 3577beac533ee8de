// The README's analytics address: the "url" of the "SDKANALYTICS" entry of
// "AudioDecoder_engines", configured before the decoder initialises, is
// where the run's record file goes when the app stops decoding. The service
// here is a server on 127.0.0.1 that answers nothing it knows (404), so the
// file is not delivered and stays in the documents folder.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/platform/app/readme_app.h"
#include "tests/support/http_test_server.h"

namespace tltest {
namespace {

using namespace tembrolexinplatform;

TEST(ReadmeAnalytics, TheEngineListsUrlGetsTheRecordFileWhenDecodingStops) {
  HttpTestServer service;
  TempDir dir;
  const PlatformEnvironment env = installApp(dir, "com.example.analytics");
  auto decoder = TLDecoder::sharedDecoder();
  decoder->configure({{"AudioDecoder_engines",
                       std::string(R"([{"type": "CONTENT"}, {"type": "EVENT2"}, {"type": "HEARTBEAT"},
                                       {"type": "SDKANALYTICS", "url": ")" +
                                   service.url("/analytics/upload") + R"("}])")}});
  Heard heard;
  decoder->addDelegate(std::make_shared<App>(heard));
  auto recorder = decoder->useCustomRecorderWithListener(std::make_shared<NoRecorderEvents>(), 16000);
  ASSERT_NE(recorder, nullptr);
  ASSERT_TRUE(startAndListen(*decoder, *recorder, heard)) << testing::PrintToString(heard.texts());
  EXPECT_EQ(service.requestCount(), 0u);  // nothing goes out before the stop
  ASSERT_TRUE(stopAndWait(*decoder, heard));

  // Step one of the upload: the file's name under the address, with the app.
  ASSERT_TRUE(service.awaitRequests(1));
  const HttpRecordedRequest request = service.requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.body, "app_id=com.example.analytics");
  const std::regex name("/analytics/upload/(sdk_" + decoder->udid() +
                        R"(_\d{4}-\d\d-\d\d_\d\d\.\d\d\.\d\d_0\.json))");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(request.path, m, name)) << request.path;
  // Not delivered: the file stays, header first, with the starts and stops.
  const std::string file = env.documentsFolder + "/TL/Analytics/" + m[1].str();
  ASSERT_TRUE(std::filesystem::exists(file)) << file;
  std::ifstream in(file);
  std::string header;
  std::getline(in, header);
  EXPECT_NE(header.find("\"udid\":\"" + decoder->udid() + "\""), std::string::npos) << header;
  EXPECT_NE(header.find("\"app_id\":\"com.example.analytics\""), std::string::npos) << header;
  std::string rest((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(rest.find("\"DECODINGSTATUS\""), std::string::npos) << rest;
}

}  // namespace
}  // namespace tltest

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::fflush(nullptr);
  std::_Exit(result);
}
