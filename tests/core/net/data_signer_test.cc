#include "core/net/data_signer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "core/runtime/message_factory.h"
#include "core/runtime/messenger.h"
#include "schema/tembrolexin_types.h"
#include "tests/support/recording_messenger.h"

namespace tltest {
namespace {

using tembrolexinsdk::Messenger;
using tembrolexinsdk::ThriftParams;
using tembrolexinsdk::ThriftParamsFactory;
using tembrolexinsdk::security::DataSigner;
using tembrolexinsdk::security::Signature;
using Bytes = std::vector<unsigned char>;

std::unique_ptr<ThriftParams> reply(const std::string& id, const std::string& data,
                                    const std::string& md5) {
  tembrolexinsdk::SignedData signedData;
  signedData.dataId = id;
  signedData.data = data;
  signedData.dataMd5 = md5;
  return ThriftParamsFactory::createThriftParams(signedData);
}

std::unique_ptr<tembrolexinsdk::SignDataRequest> request(const RecordingMessenger::Sent& sent) {
  return ThriftParamsFactory::readThriftParams<tembrolexinsdk::SignDataRequest>(*sent.params);
}

TEST(DataSignerTest, RequestIdsAreTenDigitsAtLeast) {
  EXPECT_EQ(DataSigner::requestId(0), "request_0000000000");
  EXPECT_EQ(DataSigner::requestId(1), "request_0000000001");
  EXPECT_EQ(DataSigner::requestId(10000000000ULL), "request_10000000000");
}

struct HexCase {
  std::string name;
  std::string text;
  Bytes bytes;
};

class HexToBytesTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexToBytesTest, ReadsPairs) {
  EXPECT_EQ(DataSigner::hexToBytes(GetParam().text), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, HexToBytesTest,
    ::testing::Values(HexCase{"Empty", "", {}}, HexCase{"Pairs", "0aff", {10, 255}},
                      HexCase{"OddLength", "abc", {171, 12}},
                      HexCase{"UpperCase", "FF00", {255, 0}},
                      HexCase{"NonHexEndsNumberEarly", "1g", {1}},
                      HexCase{"NonHexFirstGivesZero", "zz41", {0, 65}},
                      HexCase{"Base64IsNotRefused", "q+8=", {0, 8}}),
    [](const ::testing::TestParamInfo<HexCase>& info) { return info.param.name; });

TEST(DataSignerTest, SendsRequestsAndMatchesRepliesById) {
  RecordingMessenger bus;
  DataSigner signer(&bus);
  ASSERT_EQ(bus.listeners(15).size(), 1u);

  std::vector<std::string> calls;
  signer.signData("first", [&](const Signature& s) { calls.push_back("1:" + s.signatureText); });
  signer.signData("second", [&](const Signature& s) {
    calls.push_back("2:" + s.signatureText + "/" + s.md5Text);
    EXPECT_EQ(s.signature, (Bytes{0x0a, 0xff}));
    EXPECT_EQ(s.md5, (Bytes{0x12}));
  });
  auto sent = bus.sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].senderName, "DataSigner");
  EXPECT_EQ(sent[0].params->getMsgType(), 14);
  auto first = request(sent[0]);
  auto second = request(sent[1]);
  EXPECT_EQ(first->data, "first");
  EXPECT_EQ(first->dataId.substr(0, 8), "request_");
  EXPECT_EQ(first->dataId.size(), 18u);
  EXPECT_EQ(std::stoull(second->dataId.substr(8)), std::stoull(first->dataId.substr(8)) + 1);

  // Second answered first; unknown ids and other types call nothing.
  signer.onReceive("platform", *reply(second->dataId, "0aff", "12"));
  signer.onReceive("platform", *reply("request_9999999999", "00", "00"));
  signer.onReceive("platform", ThriftParams(16, 0, nullptr));
  signer.onReceive("platform", ThriftParams(15, 3, "\xff\xff\xff"));
  signer.onReceive("platform", *reply(first->dataId, "sig", ""));
  // A repeated reply calls the same function again.
  signer.onReceive("platform", *reply(first->dataId, "again", ""));
  EXPECT_EQ(calls, (std::vector<std::string>{"2:0aff/12", "1:sig", "1:again"}));
}

TEST(DataSignerTest, EmptyDataAnswersAtOnceAndSendsNothing) {
  RecordingMessenger bus;
  DataSigner signer(&bus);
  bool called = false;
  signer.signData("", [&](const Signature& s) {
    called = true;
    EXPECT_TRUE(s.signature.empty() && s.md5.empty() && s.signatureText.empty() &&
                s.md5Text.empty());
  });
  EXPECT_TRUE(called);
  EXPECT_EQ(bus.sentCount(), 0u);
  EXPECT_THROW(signer.signData("", nullptr), std::bad_function_call);
}

TEST(DataSignerTest, DestructorLeavesTheBus) {
  RecordingMessenger bus;
  { DataSigner signer(&bus); }
  EXPECT_TRUE(bus.listeners(15).empty());
}

// A platform signer on a real bus answers every request with base64 text;
// a function may ask again from inside its call.
class Platform : public tembrolexinsdk::IMessengerListener {
 public:
  explicit Platform(Messenger& bus) : bus_(bus) { bus_.registerListener(14, this); }
  ~Platform() override { bus_.unregisterListener(14, this); }
  void onReceive(const std::string&, const ThriftParams& params) override {
    auto req = ThriftParamsFactory::readThriftParams<tembrolexinsdk::SignDataRequest>(params);
    bus_.send("Platform", reply(req->dataId, "c2ln:" + req->data, "md5"));
  }

 private:
  Messenger& bus_;
};

TEST(DataSignerTest, RoundTripOnARealBus) {
  Messenger bus;
  Platform platform(bus);
  DataSigner signer(&bus);
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> texts;
  auto record = [&](const Signature& s) {
    std::lock_guard<std::mutex> lock(mutex);
    texts.push_back(s.signatureText);
    cv.notify_all();
  };
  signer.signData("a", [&](const Signature& s) {
    record(s);
    signer.signData("b", record);
  });
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return texts.size() == 2; }));
  EXPECT_EQ(texts, (std::vector<std::string>{"c2ln:a", "c2ln:b"}));
}

}  // namespace
}  // namespace tltest
