// Plug-in file uploads: prepared files in, signed multipart uploads out to a
// loopback server, sequence numbers kept in a real user-defaults file,
// checksum sources, and which answers delete the files (scripted transport).

#include <fstream>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "platform/net/plugin_file_manager.h"
#include "tests/platform/net/fake_transport.h"
#include "tests/support/fake_clock.h"
#include "tests/support/http_test_server.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinplatform {
namespace {

using namespace std::chrono_literals;

constexpr char kPlugin[] = "tembrolexin_TestPlugin";

struct Device : TLPluginFileManagerDelegate {
  int32_t deviceId() override { return id; }
  int32_t id = 42;
};

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::string unbase64(const std::string& text) {
  std::string out(text.size(), '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return {};
  out.resize(static_cast<std::size_t>(n) - (text.size() - text.find_last_not_of('=') - 1));
  return out;
}

// The value of a text part, or "<none>".
std::string field(const std::string& body, const std::string& name) {
  std::string marker = "name=\"" + name + "\"\r\n\r\n";
  std::size_t at = body.find(marker);
  if (at == std::string::npos) return "<none>";
  at += marker.size();
  return body.substr(at, body.find("\r\n", at) - at);
}

class FileManagerTest : public testing::Test {
 protected:
  FileManagerTest() { dispatcher.mainQueue()->bindToCurrentThread(); }

  std::string write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir.file(name), std::ios::binary) << bytes;
    return dir.file(name);
  }
  std::shared_ptr<TLPluginFileManager> makeManager(const std::shared_ptr<TLNetworkManager>& network,
                                                   const std::string& plugin = kPlugin) {
    return TLPluginFileManager::initWithPluginName(
        plugin, device,
        TLPluginFileManager::Options{network, std::make_shared<UserDefaults>(dir.file("defaults.json")),
                                     dir.file("keys")});
  }
  static CheckedFilePreparedEventSignal prepared(std::map<std::string, std::string> files) {
    CheckedFilePreparedEventSignal message;
    message.__set_mPathsToPreparedFilesWithChecks(std::move(files));
    return message;
  }

  tltest::TempDir dir;
  tltest::FakeClock clock;
  Dispatcher dispatcher{Dispatcher::Options{&clock, TimerMode::kManual, 1, false}};
  std::shared_ptr<Device> device = std::make_shared<Device>();
};

TEST_F(FileManagerTest, SignedUploadsEndToEnd) {
  tltest::HttpTestServer server;
  server.route("/uploadModuleData", tltest::replyWith(200).header("Tembrolexin", "1"));
  auto network = TLNetworkManager::create({&dispatcher, nullptr});
  network->setSecureServerURL(server.url(""), 0, 3, true, 300000, nullptr);

  const std::string a = write("a.zip", "AAA");
  const std::string b = write("b.zip", "zip-two");
  const std::string bSide = write("b.md5", "0123456789abcdef0123456789abcdef");
  auto files = makeManager(network);
  files->uploadFiles(prepared({{a, std::string("\x00\x01\xfe\xff", 4) + std::string(12, '\x10')},
                               {b, std::string()}}));
  EXPECT_TRUE(files->isUploading());
  ASSERT_TRUE(dispatcher.mainQueue()->runUntil([&] { return !files->isUploading(); }, 10s));

  auto sent = server.requests();
  ASSERT_EQ(sent.size(), 2u);
  const std::string& first = sent[0].body;
  EXPECT_EQ(field(first, "tl_enduser_id"), "42");
  EXPECT_EQ(field(first, "tl_upload_ts"), "2026-12-06 00:00:00");
  EXPECT_EQ(field(first, "tl_upload_origin"), kPlugin);
  EXPECT_NE(first.find("name=\"upload\";filename=\"a.zip\"\r\nContent-Type: application/x-gzip\r\n\r\nAAA\r\n"),
            std::string::npos);
  EXPECT_EQ(field(first, "tl_upload_seq"), "1");
  EXPECT_EQ(field(first, "tl_upload_hash"), "0001feff101010101010101010101010");
  EXPECT_EQ(field(first, "tl_framework_hash"), "e1faffb3e614e6c2fba74296962386b7");
  EXPECT_EQ(field(first, "tl_upload_tch"), "<none>");
  SecurityKeys keys(dir.file("keys"));
  ASSERT_TRUE(keys.loadKeysFromKeychain());
  EXPECT_TRUE(keys.verifySignature("AAA", unbase64(field(first, "tl_upload_signature"))));

  const std::string& second = sent[1].body;
  EXPECT_EQ(field(second, "tl_upload_seq"), "2");
  EXPECT_EQ(field(second, "tl_upload_hash"), "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(field(second, "tl_framework_hash"), "b395ab23bdb802b6e27e8b16224265cb");

  // Both answered 200: files and side file are gone.
  EXPECT_FALSE(exists(a));
  EXPECT_FALSE(exists(b));
  EXPECT_FALSE(exists(bSide));
  // The next number survives in the defaults file.
  EXPECT_EQ(UserDefaults(dir.file("defaults.json")).integerForKey("tembrolexin_TestPlugin_meta_sequenceNum"), 3);
  EXPECT_EQ(makeManager(network)->nextSequenceNumber(), 3);
}

TEST_F(FileManagerTest, ChecksumSourcesAndUnreadableFiles) {
  auto transport = std::make_shared<tltest::FakeTransport>();
  auto network = TLNetworkManager::create({&dispatcher, transport});
  network->setSecureServerURL("https://srv", 0, 3, true, 300000, nullptr);
  const std::string longSide = write("l.md5", "side text of twenty");  // 19 bytes: read as text
  write("s.md5", "\x01\xab");                                        // 2 bytes: read as hex
  auto files = makeManager(network);
  files->uploadFiles(prepared({{dir.file("l.zip"), ""}, {dir.file("n.zip"), ""}, {dir.file("s.zip"), ""}}));
  ASSERT_EQ(transport->count(), 1u);  // one queue, one on the wire
  EXPECT_EQ(network->uploadRequestsForPlugin(kPlugin), 3);

  std::vector<std::string> hashes;
  for (int i = 0; i < 3; ++i) {
    auto c = transport->last();
    hashes.push_back(field(c->desc.body, "tl_upload_hash"));
    // None of the files exists: "(null)" and an empty file part.
    EXPECT_EQ(field(c->desc.body, "tl_framework_hash"), "(null)");
    EXPECT_EQ(field(c->desc.body, "tl_upload_signature"), "(null)");
    EXPECT_NE(c->desc.body.find("Content-Type: application/x-gzip\r\n\r\n\r\n"), std::string::npos);
    c->respond(204, {}, {});
  }
  EXPECT_EQ(hashes, (std::vector<std::string>{"side text of twenty", "ffff", "01ab"}));
  // A 204 deletes nothing, not even a side file.
  EXPECT_TRUE(exists(longSide));
  EXPECT_EQ(TLPluginFileManager::NSDataToHex(""), "");
  EXPECT_EQ(TLPluginFileManager::sideFilePath("/a/b.tar.gz"), "/a/b.tar.md5");
  EXPECT_EQ(TLPluginFileManager::sideFilePath("/a/.b"), "/a/.bmd5");
}

TEST_F(FileManagerTest, NothingQueuedWithoutFilesOrDeviceId) {
  auto transport = std::make_shared<tltest::FakeTransport>();
  auto network = TLNetworkManager::create({&dispatcher, transport});
  auto files = makeManager(network);
  files->uploadFiles(prepared({}));
  device->id = -1;
  files->uploadFiles(prepared({{write("a.zip", "A"), ""}}));
  EXPECT_EQ(network->totalRequests(), 0);
  EXPECT_EQ(files->nextSequenceNumber(), 1);
  EXPECT_FALSE(UserDefaults(dir.file("defaults.json")).integerForKey(files->sequenceNumberKey()));

  // A plug-in without an upload path still uses its numbers.
  device->id = 7;
  auto other = makeManager(network, "tembrolexin_Unknown");
  other->uploadFiles(prepared({{dir.file("a.zip"), ""}}));
  EXPECT_EQ(network->totalRequests(), 0);
  EXPECT_EQ(other->nextSequenceNumber(), 2);
  // Debug uploads wait in the debug queue, so the plug-in never counts as uploading.
  auto debug = makeManager(network, kDebugPluginName);
  debug->uploadFiles(prepared({{dir.file("a.zip"), ""}}));
  EXPECT_EQ(network->debugUploadRequests(), 1);
  EXPECT_FALSE(debug->isUploading());
}

struct DeletionCase {
  std::string name;
  bool deleteAfterMaxAttempts;
  std::vector<std::pair<int, std::string>> answers;  // status, NextUploadAttempt ("" none)
  bool deleted;
};

class DeletionTest : public FileManagerTest, public testing::WithParamInterface<DeletionCase> {};

TEST_P(DeletionTest, FilesGoOnlyOnAFinalAnswer) {
  const DeletionCase& c = GetParam();
  auto transport = std::make_shared<tltest::FakeTransport>();
  auto network = TLNetworkManager::create({&dispatcher, transport});
  network->setSecureServerURL("https://srv", 0, 3, c.deleteAfterMaxAttempts, 1000, nullptr);
  const std::string file = write("p.zip", "payload");
  const std::string side = write("p.md5", "x");
  auto files = makeManager(network);
  files->uploadFiles(prepared({{file, ""}}));
  for (const auto& [status, next] : c.answers) {
    auto wire = transport->last();
    // Every attempt carries the whole file.
    ASSERT_NE(wire->desc.body.find("\r\n\r\npayload\r\n"), std::string::npos);
    HttpHeaders headers{{"Tembrolexin", "1"}};
    if (!next.empty()) headers.emplace_back("NextUploadAttempt", next);
    wire->respond(status, headers);
    network->retryNow();
  }
  EXPECT_EQ(exists(file), !c.deleted);
  EXPECT_EQ(exists(side), !c.deleted);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, DeletionTest,
    testing::Values(DeletionCase{"Ok", true, {{200, ""}}, true},
                    DeletionCase{"NoContentKeeps", true, {{204, ""}}, false},
                    DeletionCase{"RetriedBadRequestKeepsThenOk", true, {{400, ""}, {400, "2"}, {200, ""}}, true},
                    DeletionCase{"GivenUpDeletes", true, {{400, "3"}, {500, "4"}}, true},
                    DeletionCase{"GivenUpKeepsWhenAsked", false, {{500, "9"}}, false}),
    [](const testing::TestParamInfo<DeletionCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tembrolexinplatform
