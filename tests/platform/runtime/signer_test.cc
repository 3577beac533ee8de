// Data signing: key pairs in a real key-store folder, replies to signing
// requests over a private bus, checked with OpenSSL's raw RSA operation.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include "core/runtime/messenger.h"
#include "platform/runtime/data_signer.h"
#include "platform/runtime/tl_logger.h"
#include "tests/platform/runtime/bus_probe.h"
#include "tests/schema/wire.h"
#include "tests/support/child_process.h"
#include "tests/support/pipe_release.h"
#include "tests/support/temp_dir.h"

namespace tembrolexinplatform {
namespace {

using tl_test::Bytes;
using tl_test::Hex;

std::string unbase64(const std::string& text) {
  std::string out(text.size(), '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return {};
  // The decoder counts each padding character as a zero byte.
  const std::size_t pad = text.size() - text.find_last_not_of('=') - 1;
  out.resize(static_cast<std::size_t>(n) - pad);
  return out;
}

// The signature opened with the public key file, without unpadding.
std::string openSignature(const std::string& publicKeyFile, const std::string& signature) {
  FILE* f = std::fopen(publicKeyFile.c_str(), "r");
  EXPECT_NE(f, nullptr);
  if (!f) return {};
  EVP_PKEY* key = PEM_read_PUBKEY(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  EVP_PKEY_verify_recover_init(ctx);
  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING);
  std::string out(512, '\0');
  size_t len = out.size();
  EXPECT_EQ(EVP_PKEY_verify_recover(ctx, reinterpret_cast<unsigned char*>(out.data()), &len,
                                    reinterpret_cast<const unsigned char*>(signature.data()),
                                    signature.size()),
            1);
  out.resize(len);
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(key);
  return out;
}

// PKCS#1 v1.5 block of a SHA-1 digest for a key of `blockSize` bytes:
// 00 01 FF.. 00, the DigestInfo prefix of SHA-1, the digest.
std::string expectedBlock(std::size_t blockSize, const std::string& sha1) {
  const std::string prefix = Bytes("30 21 30 09 06 05 2b 0e 03 02 1a 05 00 04 14");
  const std::size_t pad = blockSize - 3 - prefix.size() - sha1.size();
  return Bytes("00 01") + std::string(pad, '\xff') + Bytes("00") + prefix + sha1;
}

TEST(SecurityKeysTest, MakesThePairOnceWithOwnerOnlyFilesAndFindsItAgain) {
  tltest::TempDir dir;
  auto first = DataSigner::getKeys(dir.path());
  ASSERT_TRUE(first->hasPrivateKey());
  for (const char* tag : {SecurityKeys::kPublicTag, SecurityKeys::kPrivateTag}) {
    struct stat st{};
    ASSERT_EQ(::stat(first->keyPath(tag).c_str(), &st), 0) << tag;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << tag;
  }
  auto second = DataSigner::getKeys(dir.path());
  const std::string sig = second->getSignatureBytes("payload");
  EXPECT_EQ(sig.size(), 64u);  // 512-bit key
  EXPECT_TRUE(first->verifySignature("payload", sig));
  EXPECT_FALSE(first->verifySignature("payloaD", sig));
}

TEST(SecurityKeysTest, SignatureIsPkcs1OfTheSha1Digest) {
  tltest::TempDir dir;
  auto keys = DataSigner::getKeys(dir.path());
  const std::string sig = keys->getSignatureBytes("abc");
  // SHA-1("abc") from FIPS 180-1.
  const std::string sha1 = Bytes("a9993e36 4706816a ba3e2571 7850c26c 9cd0d89d");
  EXPECT_EQ(SecurityKeys::getHashBytes("abc"), sha1);
  EXPECT_EQ(Hex(openSignature(keys->keyPath(SecurityKeys::kPublicTag), sig)),
            Hex(expectedBlock(64, sha1)));
}

TEST(SecurityKeysTest, WithoutKeysNothingIsSignedAndDeletedKeysAreGone) {
  tltest::TempDir dir;
  SecurityKeys keys(dir.path());
  EXPECT_FALSE(keys.loadKeysFromKeychain());
  EXPECT_EQ(keys.sign("x"), std::nullopt);
  EXPECT_EQ(keys.getBase64EncodedPublicKey(), std::nullopt);
  ASSERT_TRUE(keys.generateKeyPair(512));
  EXPECT_TRUE(keys.getBase64EncodedPublicKey().has_value());
  keys.deleteAsymmetricKeys();
  EXPECT_FALSE(keys.hasPrivateKey());
  EXPECT_FALSE(SecurityKeys(dir.path()).loadKeysFromKeychain());
}

// Without a key-store folder (no environment installed) nothing is read or
// written, least of all a private key in the working folder.
TEST(SecurityKeysTest, WithoutAKeyStoreFolderNoKeyIsMadeAndTheWorkingFolderStaysEmpty) {
  tltest::TempDir cwd;
  char previous[4096];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir(cwd.path().c_str()), 0);
  SecurityKeys keys{std::string()};
  EXPECT_FALSE(keys.loadKeysFromKeychain());
  EXPECT_FALSE(keys.generateKeyPair(512));
  EXPECT_FALSE(keys.hasPrivateKey());
  EXPECT_FALSE(keys.sign("data").has_value());
  EXPECT_FALSE(keys.getBase64EncodedPublicKey().has_value());
  keys.deleteAsymmetricKeys();
  const std::shared_ptr<SecurityKeys> viaSigner = DataSigner::getKeys(std::string());
  EXPECT_FALSE(viaSigner->hasPrivateKey());
  const bool empty = std::filesystem::is_empty(cwd.path());
  ASSERT_EQ(::chdir(previous), 0);
  EXPECT_TRUE(empty);
}

TEST(SecurityKeysTest, GarbageKeyFilesDoNotLoad) {
  tltest::TempDir dir;
  SecurityKeys keys(dir.path());
  for (const char* tag : {SecurityKeys::kPublicTag, SecurityKeys::kPrivateTag}) {
    FILE* f = std::fopen(keys.keyPath(tag).c_str(), "w");
    std::fputs("-----BEGIN PUBLIC KEY-----\nnot base64!\n-----END PUBLIC KEY-----\n", f);
    std::fclose(f);
  }
  EXPECT_FALSE(keys.loadKeysFromKeychain());
  // getKeys replaces them with a working pair.
  EXPECT_TRUE(DataSigner::getKeys(dir.path())->hasPrivateKey());
}

// What may stand in place of a key file of a stored pair.
struct KeyFileCase {
  std::string name;
  const char* tag;
  enum {
    kPipe,
    kLinkToTheKeyElsewhere,
    kLinkToAPipe,
    kLinkToNothing,
    kFolder,
    kGarbage,
    kHuge
  } kind;
  bool samePair;  // the stored pair is found again; else a new one is made
  std::filesystem::file_type aside;   // what is then at "<path>.damaged"
  std::vector<std::string> warnings;  // each after "Key file <path> "; "@" for "<path>.damaged"
};
void PrintTo(const KeyFileCase& c, std::ostream* os) { *os << c.name; }

class KeyFileEntryTest : public testing::TestWithParam<KeyFileCase> {};

struct WarningTexts : TLLoggerDelegate {
  void logfromSender(const std::string&, const TLLogParams& params) override {
    if (params.level == 3) texts.add(params.message);
  }
  tltest::Record texts;
};

// A key file is read only when it is, or leads to, a regular file of a PEM
// key, and nothing waits on a pipe: the start goes on with a pair in any
// case, says why a new one was made, and the next start finds that one.
TEST_P(KeyFileEntryTest, OnlyRegularFilesAreReadAndNothingWaitsOnAPipe) {
  const KeyFileCase& c = GetParam();
  tltest::TempDir dir;
  const std::string store = dir.file("keys");
  const auto first = DataSigner::getKeys(store);
  ASSERT_TRUE(first->hasPrivateKey());
  const std::string path = first->keyPath(c.tag);
  const std::string elsewhere = dir.file("elsewhere.pem");
  const bool link = c.kind == KeyFileCase::kLinkToTheKeyElsewhere;
  const bool pipeThere = c.kind == KeyFileCase::kLinkToAPipe;
  if (link) {
    std::filesystem::rename(path, elsewhere);
  } else if (c.kind == KeyFileCase::kGarbage) {
    tltest::writeFile(path, "-----BEGIN PUBLIC KEY-----\nnot base64!\n-----END PUBLIC KEY-----\n");
  } else if (c.kind == KeyFileCase::kHuge) {
    std::filesystem::resize_file(path, (64 << 10) + 1);  // the key, then zeros
  } else {
    std::filesystem::remove(path);
    if (c.kind == KeyFileCase::kFolder) std::filesystem::create_directories(path + "/sub");
    if (c.kind == KeyFileCase::kPipe || pipeThere) {
      ASSERT_EQ(::mkfifo((pipeThere ? elsewhere : path).c_str(), 0600), 0);
    }
  }
  if (link || pipeThere || c.kind == KeyFileCase::kLinkToNothing) {
    std::filesystem::create_symlink(elsewhere, path);
  }
  auto warnings = std::make_shared<WarningTexts>();
  TLLogger::sharedLogger().setDelegate(warnings);
  std::shared_ptr<SecurityKeys> second;
  const bool returned =
      tltest::returnsDespitePipes([&] { second = DataSigner::getKeys(store); }, {path, elsewhere});
  TLLogger::sharedLogger().unsetDelegate();
  ASSERT_TRUE(returned);
  ASSERT_TRUE(second->hasPrivateKey());
  EXPECT_EQ(first->verifySignature("payload", second->getSignatureBytes("payload")), c.samePair);
  EXPECT_TRUE(DataSigner::getKeys(store)->verifySignature("x", second->getSignatureBytes("x")));
  using Type = std::filesystem::file_type;
  EXPECT_EQ(std::filesystem::symlink_status(path).type(), link ? Type::symlink : Type::regular);
  EXPECT_EQ(std::filesystem::symlink_status(path + ".damaged").type(), c.aside);
  EXPECT_EQ(std::filesystem::status(elsewhere).type(),
            link ? Type::regular : pipeThere ? Type::fifo : Type::not_found);
  std::vector<std::string> expected;
  for (std::string text : c.warnings) {
    if (const size_t at = text.find('@'); at != std::string::npos) {
      text.replace(at, 1, path + ".damaged");
    }
    expected.push_back("Key file " + path + " " + text);
  }
  EXPECT_EQ(warnings->texts.texts(), expected);
}

const std::string kNotRead = "is not a regular file and is not read";
const std::string kSetAside = "is not a regular file; it is set aside as @";
using Type = std::filesystem::file_type;
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Entries, KeyFileEntryTest,
    testing::Values(
        KeyFileCase{"PipeForThePrivateKey", SecurityKeys::kPrivateTag, KeyFileCase::kPipe, false,
                    Type::fifo, {kNotRead, kSetAside}},
        KeyFileCase{"PipeForThePublicKey", SecurityKeys::kPublicTag, KeyFileCase::kPipe, false,
                    Type::fifo, {kNotRead, kSetAside}},
        KeyFileCase{"LinkToAPipe", SecurityKeys::kPrivateTag, KeyFileCase::kLinkToAPipe, false,
                    Type::symlink, {kNotRead, kSetAside}},
        KeyFileCase{"LinkToNothing", SecurityKeys::kPublicTag, KeyFileCase::kLinkToNothing, false,
                    Type::symlink, {kSetAside}},
        KeyFileCase{"FolderForThePrivateKey", SecurityKeys::kPrivateTag, KeyFileCase::kFolder,
                    false, Type::directory, {kNotRead, kSetAside}},
        KeyFileCase{"GarbageForThePublicKey", SecurityKeys::kPublicTag, KeyFileCase::kGarbage,
                    false, Type::not_found, {"holds no PEM key and is not used"}},
        KeyFileCase{"PrivateKeyPast64KiB", SecurityKeys::kPrivateTag, KeyFileCase::kHuge, false,
                    Type::not_found, {"is larger than 64 KiB and is not read"}},
        KeyFileCase{"LinkToThePrivateKeyElsewhere", SecurityKeys::kPrivateTag,
                    KeyFileCase::kLinkToTheKeyElsewhere, true, Type::not_found, {}}),
    [](const auto& info) { return info.param.name; });
// clang-format on

// Another set-up's signature of "x" (base64) with the pair it ends with.
std::string otherSetUpSigns(const std::string& store) {
  return DataSigner::getKeys(store)->sign("x").value_or("none");
}

// Whether another process could take the key store's lock now.
std::string keyStoreLock(const std::string& store) {
  return tltest::lockState(store + "/com.tembrolexin.keys.signing.lock");
}

// What runs, once and on the set-up's thread, while a set-up that found no
// pair is at `step`, and what it answers ("" for the other's signature).
struct MeanwhileCase {
  std::string name;
  SecurityKeys::PairStep step;
  std::function<std::string(const std::string& store)> meanwhile;
  std::string seen;
};
void PrintTo(const MeanwhileCase& c, std::ostream* os) { *os << c.name; }

class PairMeanwhileTest : public testing::TestWithParam<MeanwhileCase> {
 protected:
  ~PairMeanwhileTest() override { SecurityKeys::setPairStepHook(nullptr); }
};

// Catches a second pair made by set-ups of threads or processes side by
// side: one that found nothing takes the pair stored before it could make
// its own, and none is made while another holds the key store.
TEST_P(PairMeanwhileTest, EverySetUpEndsWithTheOnePairStored) {
  const MeanwhileCase& c = GetParam();
  tltest::TempDir dir;
  const std::string store = dir.file("keys");
  std::string seen;
  bool ran = false;
  SecurityKeys::setPairStepHook([&](SecurityKeys::PairStep step) {
    if (step == c.step && !std::exchange(ran, true)) seen = c.meanwhile(store);
  });
  const std::shared_ptr<SecurityKeys> keys = DataSigner::getKeys(store);
  ASSERT_TRUE(ran);
  ASSERT_TRUE(keys->hasPrivateKey());
  if (c.seen.empty()) {
    EXPECT_TRUE(keys->verifySignature("x", unbase64(seen)));
  } else {
    EXPECT_EQ(seen, c.seen);
  }
  const std::shared_ptr<SecurityKeys> stored = DataSigner::getKeys(store);
  EXPECT_TRUE(stored->verifySignature("y", keys->getSignatureBytes("y")));
  EXPECT_TRUE(keys->verifySignature("y", stored->getSignatureBytes("y")));
}

using Step = SecurityKeys::PairStep;
// clang-format off
INSTANTIATE_TEST_SUITE_P(Interleavings, PairMeanwhileTest, testing::Values(
    MeanwhileCase{"AnotherThreadMakesAPairMeanwhile", Step::kFoundNone, [](const std::string& store) {
      return std::async(std::launch::async, otherSetUpSigns, store).get();
    }, ""},
    MeanwhileCase{"AnotherProcessMakesAPairMeanwhile", Step::kFoundNone, [](const std::string& store) {
      return tltest::inChild([&] { return otherSetUpSigns(store); });
    }, ""},
    MeanwhileCase{"AnotherProcessFindsTheKeyStoreLockedWhileAPairIsMade", Step::kMaking,
                  keyStoreLock, "locked"}),
    [](const auto& info) { return info.param.name; });
// clang-format on

// The bits of the pair the public key file comes from.
class MixedPairTest : public testing::TestWithParam<int> {};

// Catches a start that keeps a public key of another pair beside the
// private key (left by set-ups side by side): it is made anew from the
// private one, which may have signed uploads already, with a Warning.
TEST_P(MixedPairTest, ThePublicKeyIsMadeAnewFromThePrivateOne) {
  tltest::TempDir dir;
  const std::string store = dir.file("keys");
  SecurityKeys mine(store), other(dir.file("other"));
  ASSERT_TRUE(mine.generateKeyPair(512));
  ASSERT_TRUE(other.generateKeyPair(GetParam()));
  const std::string publicPath = mine.keyPath(SecurityKeys::kPublicTag);
  const std::string privatePath = mine.keyPath(SecurityKeys::kPrivateTag);
  const std::string privateText = tltest::readFile(privatePath);
  std::filesystem::copy_file(other.keyPath(SecurityKeys::kPublicTag), publicPath,
                             std::filesystem::copy_options::overwrite_existing);
  auto warnings = std::make_shared<WarningTexts>();
  TLLogger::sharedLogger().setDelegate(warnings);
  const std::shared_ptr<SecurityKeys> mended = DataSigner::getKeys(store);
  const std::shared_ptr<SecurityKeys> later = DataSigner::getKeys(store);
  TLLogger::sharedLogger().unsetDelegate();
  EXPECT_EQ(warnings->texts.texts(),
            std::vector<std::string>{"Key file " + publicPath +
                                     " holds no public key of the private key in " + privatePath +
                                     "; it is made anew from the private key"});
  EXPECT_EQ(tltest::readFile(privatePath), privateText);
  const std::string sig = mine.getSignatureBytes("z");
  EXPECT_TRUE(mended->verifySignature("z", sig));
  EXPECT_TRUE(later->verifySignature("z", sig));
  EXPECT_TRUE(SecurityKeys(store).loadKeysFromKeychain());
  EXPECT_EQ(Hex(openSignature(publicPath, sig)),
            Hex(expectedBlock(64, SecurityKeys::getHashBytes("z"))));
}

INSTANTIATE_TEST_SUITE_P(Stored, MixedPairTest, testing::Values(512, 1024), [](const auto& info) {
  return info.param == 512 ? "PublicKeyOfAnotherPairOfTheSameSize" : "PublicKeyOfALargerPair";
});

TEST(DataSignerTest, ChecksumsAreLowerCaseMd5Hex) {
  EXPECT_EQ(DataSigner::generateCheckSumFromData(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(DataSigner::generateCheckSumFromString("abc"), "900150983cd24fb0d6963f7d28e17f72");
}

class SignerOnBusTest : public testing::Test {
 protected:
  SignedData request(const std::string& id, const std::string& data, bool setData = true) {
    SignDataRequest r;
    r.__set_dataId(id);
    if (setData) r.__set_data(data);
    const std::size_t before = probe_.messages().size();
    messenger_.sendMessage(r, "CoreSigner");
    auto got = probe_.waitFor(before + 1);
    EXPECT_EQ(got.size(), before + 1);
    EXPECT_EQ(got.back().sender, "DataSigner");
    SignedData reply;
    EXPECT_TRUE(parseMessage(got.back().bytes, reply));
    return reply;
  }

  tltest::TempDir dir_;
  tembrolexinsdk::Messenger bus_;
  tltest::BusProbe probe_{bus_, {15}};
  Messenger messenger_{&bus_};
};

TEST_F(SignerOnBusTest, EmptyDataGetsTheMd5OfNothingAndA64ByteSignature) {
  auto keys = DataSigner::getKeys(dir_.path());
  DataSigner signer(messenger_, keys);
  SignedData reply = request("id-1", "");
  EXPECT_EQ(reply.dataId, "id-1");
  EXPECT_EQ(reply.dataMd5, "d41d8cd98f00b204e9800998ecf8427e");
  ASSERT_TRUE(reply.__isset.data);
  EXPECT_EQ(reply.data.size(), 88u);
  EXPECT_TRUE(keys->verifySignature("", unbase64(reply.data)));
}

TEST_F(SignerOnBusTest, ASecondSignerSignsWithTheSamePair) {
  DataSigner first(messenger_, DataSigner::getKeys(dir_.path()));
  SignedData a = request("a", std::string("\x00\xff\x10", 3));
  auto otherKeys = DataSigner::getKeys(dir_.path());
  EXPECT_TRUE(otherKeys->verifySignature(std::string("\x00\xff\x10", 3), unbase64(a.data)));
}

TEST_F(SignerOnBusTest, WithoutKeysTheReplyCarriesNoSignature) {
  DataSigner signer(messenger_, std::make_shared<SecurityKeys>(dir_.file("none")));
  SignedData reply = request("z", "data");
  EXPECT_FALSE(reply.__isset.data);
  EXPECT_EQ(reply.dataMd5, DataSigner::generateCheckSumFromData("data"));
}

TEST_F(SignerOnBusTest, UnreadableRequestGetsNoReply) {
  DataSigner signer(messenger_, DataSigner::getKeys(dir_.path()));
  messenger_.send(TLThriftParams(14, Bytes("0b 0001 7fffffff")), "CoreSigner");
  SignedData good = request("after", "x");  // the only reply
  EXPECT_EQ(good.dataId, "after");
  EXPECT_EQ(probe_.messages().size(), 1u);
}

}  // namespace
}  // namespace tembrolexinplatform
