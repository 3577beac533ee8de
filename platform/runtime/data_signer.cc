#include "platform/runtime/data_signer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/error_text.h"
#include "core/runtime/file_info.h"
#include "core/runtime/unique_fd.h"
#include "platform/runtime/exclusive_file_lock.h"
#include "platform/runtime/platform_environment.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct CtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using CtxPtr = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

std::string toHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0x0F]);
  }
  return out;
}

std::string base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  return out;
}

std::string digest(const EVP_MD* md, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), out, &len, md, nullptr) != 1) return {};
  return std::string(reinterpret_cast<const char*>(out), len);
}

// A key file longer than this is no key of ours and is not read.
constexpr std::size_t kMaxKeyFileBytes = 64 << 10;

constexpr const char* kReadKey = "-[SecurityKeys readKey]";

// Reads one PEM key file; null when missing or unreadable, with a Warning
// naming the file unless it is missing or !report (a new pair replaces what
// cannot be read, so the log tells why). Only a regular file (or a link to
// one) is read, and it is opened without blocking: a named pipe in its place
// would otherwise hold the start until someone writes into it.
EVP_PKEY* readKey(const std::string& path, bool isPrivate, bool report = true) {
  std::string text;
  int error = 0;
  EVP_PKEY* key = nullptr;
  // Why the file is not used, for the Warning; none when it is missing.
  std::string unused;
  switch (tembrolexin::fileio::readRegularFile(path, kMaxKeyFileBytes, text, &error)) {
    case tembrolexin::fileio::ReadResult::kRead: {
      BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
      if (bio) {
        key = isPrivate ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                        : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr);
      }
      if (key == nullptr) {
        ERR_clear_error();  // OpenSSL's complaints would linger on this thread
        unused = "holds no PEM key and is not used";
      }
      break;
    }
    case tembrolexin::fileio::ReadResult::kMissing:
      break;
    case tembrolexin::fileio::ReadResult::kNotRegular:
      unused = "is not a regular file and is not read";
      break;
    case tembrolexin::fileio::ReadResult::kTooLarge:
      unused = "is larger than 64 KiB and is not read";
      break;
    case tembrolexin::fileio::ReadResult::kFailed:
      unused = "cannot be read (" + tembrolexin::errorText(error) + ")";
      break;
  }
  if (report && !unused.empty()) {
    TLLogger::warnInMethod(kReadKey, __LINE__, "Key file %s %s", path.c_str(), unused.c_str());
  }
  // The private key's text stays in no freed memory.
  OPENSSL_cleanse(text.data(), text.size());
  return key;
}

// Moves what stands at `path` to "<path>.damaged" when it is neither a
// regular file nor a link to one: a new key file could not take a folder's
// place, so no pair would ever be stored and every start would make another.
// True when the path is free for a key file (a link to a file is replaced,
// its target left as it is).
bool setAsideUnlessFile(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return true;
  if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return true;
  const std::string aside = path + ".damaged";
  if (::rename(path.c_str(), aside.c_str()) == 0) {
    TLLogger::warnInMethod("-[SecurityKeys storeKey]", __LINE__,
                           "Key file %s is not a regular file; it is set aside as %s", path.c_str(),
                           aside.c_str());
    return true;
  }
  TLLogger::errorInMethod("-[SecurityKeys storeKey]", __LINE__,
                          "Key file %s is not a regular file and cannot be moved to %s (%s); no "
                          "key pair is stored",
                          path.c_str(), aside.c_str(), tembrolexin::errorText(errno).c_str());
  return false;
}

// Writes one key as PEM to `path` with owner-only permissions, through a
// temporary file renamed over the target, so a reader never sees half a key.
// The PEM text is made in memory that is wiped when it is freed.
bool writeKey(const std::string& path, EVP_PKEY* key, bool isPrivate) {
  BioPtr pem(BIO_new(BIO_s_secmem()));
  const int made =
      !pem        ? 0
      : isPrivate ? PEM_write_bio_PrivateKey(pem.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                  : PEM_write_bio_PUBKEY(pem.get(), key);
  char* data = nullptr;
  const long size = made == 1 ? BIO_get_mem_data(pem.get(), &data) : 0;
  if (size <= 0) return false;
  const std::string tmp = path + ".tmp";
  ::unlink(tmp.c_str());
  tembrolexin::Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid()) return false;
  bool ok = tembrolexin::fileio::writeAll(fd.get(),
                                          std::string_view(data, static_cast<std::size_t>(size))) &&
            ::fsync(fd.get()) == 0;
  if (!fd.close()) ok = false;
  if (!ok || !setAsideUnlessFile(path) || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

// The public half of `key` as a key of its own; null on failure.
EVP_PKEY* publicHalf(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  const int len = i2d_PUBKEY(key, &der);
  if (len <= 0) return nullptr;
  const unsigned char* in = der;
  EVP_PKEY* half = d2i_PUBKEY(nullptr, &in, len);
  OPENSSL_free(der);
  return half;
}

constexpr const char* kPairMethod = "-[SecurityKeys generateKeyPair:]";

// The lock file beside the pair is "<folder>/<this>.lock".
constexpr const char* kPairLockName = "com.tembrolexin.keys.signing";

// Keeps the process's set-ups from making, mending or storing pairs at once;
// taken before the key store's lock file, which keeps processes apart.
tembrolexin::Mutex& pairMutex() {
  static auto* mutex = new tembrolexin::Mutex();
  return *mutex;
}

struct PairHook {
  tembrolexin::Mutex mutex;
  std::function<void(SecurityKeys::PairStep)> hook;
};
PairHook& pairHook() {
  static auto* hook = new PairHook();
  return *hook;
}

void runPairHook(SecurityKeys::PairStep step) {
  std::function<void(SecurityKeys::PairStep)> hook;
  {
    std::lock_guard lock(pairHook().mutex);
    hook = pairHook().hook;
  }
  if (hook) hook(step);
}

// While it lives, the calling thread alone makes, mends or stores the pair
// in `folder`, among the process's threads and the app's processes: the
// process's own lock, then the key store's lock file (made with the folder
// when missing). Lines logged under it must be held (TLLogger::HeldLines).
class PairLock {
 public:
  explicit PairLock(const std::string& folder)
      : own_(pairMutex()), across_(lockBase(folder), kPairMethod, "Key store " + folder,
                                   "the key files are written without it", true) {}

 private:
  static std::string lockBase(const std::string& folder) {
    ::mkdir(folder.c_str(), 0700);
    return folder + (folder.back() == '/' ? "" : "/") + kPairLockName;
  }

  std::lock_guard<tembrolexin::Mutex> own_;
  ExclusiveFileLock across_;
};

}  // namespace

SecurityKeys::SecurityKeys() : SecurityKeys(PlatformEnvironment::current().keyStoreFolder) {}

SecurityKeys::SecurityKeys(std::string keyStoreFolder) : folder_(std::move(keyStoreFolder)) {}

SecurityKeys::~SecurityKeys() { dropKeys(); }

std::string SecurityKeys::keyPath(const std::string& tag) const {
  if (folder_.empty() || folder_.back() == '/') return folder_ + tag + ".pem";
  return folder_ + "/" + tag + ".pem";
}

bool SecurityKeys::loadKeysFromKeychain() { return loadPair(/*report=*/true); }

bool SecurityKeys::loadPair(bool report) {
  if (folder_.empty()) return false;  // no key store: nothing is read from the working folder
  EVP_PKEY* pub = readKey(keyPath(publicTag_), false, report);
  if (pub == nullptr) return false;
  EVP_PKEY* priv = readKey(keyPath(privateTag_), true, report);
  for (const auto& [key, tag] : {std::pair{pub, publicTag_}, std::pair{priv, privateTag_}}) {
    if (report && key != nullptr && EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
      TLLogger::warnInMethod(kReadKey, __LINE__, "Key file %s holds no RSA key and is not used",
                             keyPath(tag).c_str());
    }
  }
  if (priv == nullptr || EVP_PKEY_get_base_id(pub) != EVP_PKEY_RSA ||
      EVP_PKEY_get_base_id(priv) != EVP_PKEY_RSA) {
    EVP_PKEY_free(pub);
    EVP_PKEY_free(priv);
    return false;
  }
  EVP_PKEY_free(publicKey_);
  EVP_PKEY_free(privateKey_);
  publicKey_ = pub;
  privateKey_ = priv;
  return true;
}

bool SecurityKeys::halvesMatch() const {
  return publicKey_ != nullptr && privateKey_ != nullptr &&
         EVP_PKEY_eq(publicKey_, privateKey_) == 1;
}

void SecurityKeys::dropKeys() {
  EVP_PKEY_free(publicKey_);
  EVP_PKEY_free(privateKey_);
  publicKey_ = privateKey_ = nullptr;
}

bool SecurityKeys::loadOrMakePair(int32_t bits) {
  // The start of every run but the first: both files are replaced whole (by
  // rename), so a whole pair read without the lock is one.
  if (loadPair(/*report=*/false) && halvesMatch()) return true;
  runPairHook(PairStep::kFoundNone);
  if (folder_.empty()) return generateKeyPair(bits);  // says why none is made
  TLLogger::HeldLines held;
  PairLock lock(folder_);
  // Another set-up, of this process or another, may have stored the pair
  // since; this one then takes it.
  if (!loadPair(/*report=*/true)) return makePairLocked(bits);
  if (!halvesMatch()) mendLocked();
  return true;
}

void SecurityKeys::mendLocked() {
  // Halves of two pairs (made by set-ups that ran at once, before the lock):
  // no signature of the private key would ever verify with the public one.
  // The private key may have signed uploads already, so it stays, and the
  // public key is made anew from it.
  const std::string publicPath = keyPath(publicTag_);
  EVP_PKEY* mended = publicHalf(privateKey_);
  const bool written = mended != nullptr && writeKey(publicPath, privateKey_, false);
  EVP_PKEY_free(publicKey_);
  publicKey_ = mended;
  TLLogger::warnInMethod(kReadKey, __LINE__,
                         "Key file %s holds no public key of the private key in %s; %s",
                         publicPath.c_str(), keyPath(privateTag_).c_str(),
                         written ? "it is made anew from the private key"
                                 : "one is made from the private key for this run, but it could "
                                   "not be stored");
}

bool SecurityKeys::generateKeyPair(int32_t bits) {
  if (bits != 512 && bits != 1024 && bits != 2048) {
    TLLogger::errorInMethod(kPairMethod, __LINE__, "%d is an invalid and unsupported key size.",
                            bits);
  }
  dropKeys();
  if (folder_.empty()) {
    // Never the working folder: a private key must stay in the key store.
    TLLogger::errorInMethod(kPairMethod, __LINE__,
                            "No key pair is made: there is no key-store folder "
                            "(PlatformEnvironment::keyStoreFolder is empty)");
    return false;
  }
  if (bits <= 0) return false;
  TLLogger::HeldLines held;
  PairLock lock(folder_);
  return makePairLocked(bits);
}

bool SecurityKeys::makePairLocked(int32_t bits) {
  dropKeys();
  if (bits <= 0) return false;
  runPairHook(PairStep::kMaking);
  EVP_PKEY* pair = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits));
  if (pair == nullptr) return false;
  const bool stored = writeKey(keyPath(privateTag_), pair, true) &&
                      writeKey(keyPath(publicTag_), pair, false);
  if (!stored) {
    EVP_PKEY_free(pair);
    return false;
  }
  // The public half is read back from its file so that both references
  // are exactly what a later start will load.
  privateKey_ = pair;
  publicKey_ = readKey(keyPath(publicTag_), false);
  if (publicKey_ == nullptr) {
    dropKeys();
    return false;
  }
  return true;
}

void SecurityKeys::setPairStepHook(std::function<void(PairStep)> hook) {
  std::lock_guard lock(pairHook().mutex);
  pairHook().hook = std::move(hook);
}

std::string SecurityKeys::getHashBytes(const std::string& data) { return digest(EVP_sha1(), data); }

std::string SecurityKeys::getSignatureBytes(const std::string& data) const {
  if (privateKey_ == nullptr) return {};
  const std::string hash = getHashBytes(data);
  CtxPtr ctx(EVP_PKEY_CTX_new(privateKey_, nullptr));
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) != 1) {
    return {};
  }
  size_t len = 0;
  const auto* in = reinterpret_cast<const unsigned char*>(hash.data());
  if (EVP_PKEY_sign(ctx.get(), nullptr, &len, in, hash.size()) != 1) return {};
  std::string sig(len, '\0');
  if (EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &len, in,
                    hash.size()) != 1) {
    return {};
  }
  sig.resize(len);
  return sig;
}

std::optional<std::string> SecurityKeys::sign(const std::string& data) const {
  if (privateKey_ == nullptr) {
    TLLogger::warnInMethod("-[SecurityKeys sign:]", __LINE__,
                           "SecurityKeys: Unable to sign data - no private key");
    return std::nullopt;
  }
  const std::string bytes = getSignatureBytes(data);
  if (bytes.empty()) return std::nullopt;
  TLLogger::traceInMethod("-[SecurityKeys sign:]", __LINE__, "signatureBytes:%s",
                          toHex(bytes).c_str());
  std::string text = base64(bytes);
  TLLogger::traceInMethod("-[SecurityKeys sign:]", __LINE__, "sigString:%s", text.c_str());
  return text;
}

bool SecurityKeys::verifySignature(const std::string& data, const std::string& signature) const {
  if (publicKey_ == nullptr) return false;
  const std::string hash = getHashBytes(data);
  CtxPtr ctx(EVP_PKEY_CTX_new(publicKey_, nullptr));
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) != 1) {
    return false;
  }
  return EVP_PKEY_verify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                         signature.size(), reinterpret_cast<const unsigned char*>(hash.data()),
                         hash.size()) == 1;
}

std::optional<std::string> SecurityKeys::getBase64EncodedPublicKey() const {
  EVP_PKEY* key = folder_.empty() ? nullptr : readKey(keyPath(publicTag_), false);
  unsigned char* der = nullptr;
  const int len = key == nullptr ? -1 : i2d_PublicKey(key, &der);
  EVP_PKEY_free(key);
  if (len <= 0) {
    TLLogger::assertInMethod("-[SecurityKeys getBase64EncodedPublicKey]", __LINE__,
                             "SecItemCopyMatching failed: error %d", key == nullptr ? -25300 : -1);
    return std::nullopt;
  }
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(len));
  OPENSSL_free(der);
  return base64(bytes);
}

void SecurityKeys::deleteAsymmetricKeys() {
  if (!folder_.empty()) {
    ::unlink(keyPath(privateTag_).c_str());
    ::unlink(keyPath(publicTag_).c_str());
  }
  dropKeys();
}

DataSigner::DataSigner(Messenger& messenger) : DataSigner(messenger, getKeys()) {}

DataSigner::DataSigner(Messenger& messenger, std::shared_ptr<SecurityKeys> keys)
    : messenger_(messenger), keys_(std::move(keys)) {
  messenger_.registerReceiver(this, kMessageTypeId<SignDataRequest>);
}

DataSigner::~DataSigner() { messenger_.unregisterReceiver(this, kMessageTypeId<SignDataRequest>); }

std::shared_ptr<SecurityKeys> DataSigner::getKeys() {
  return getKeys(PlatformEnvironment::current().keyStoreFolder);
}

std::shared_ptr<SecurityKeys> DataSigner::getKeys(const std::string& keyStoreFolder) {
  auto keys = std::make_shared<SecurityKeys>(keyStoreFolder);
  keys->loadOrMakePair(512);
  return keys;
}

std::optional<std::string> DataSigner::signData(const std::string& data, const SecurityKeys& keys) {
  return keys.sign(data);  // the base64 text is ASCII: its UTF-8 bytes are its chars
}

std::string DataSigner::generateCheckSumFromData(const std::string& data) {
  return toHex(digest(EVP_md5(), data));
}

void DataSigner::onReceive(const TLThriftParams& message, const std::string& /*sender*/) {
  auto request = message.newMessageOfType<SignDataRequest>();
  if (!request) return;
  SignedData reply;
  reply.__set_dataId(request->dataId);
  if (std::optional<std::string> signature = signData(request->data, *keys_)) {
    reply.__set_data(*signature);
  }
  reply.__set_dataMd5(generateCheckSumFromData(request->data));
  messenger_.sendMessage(reply, kSenderName);
}

}  // namespace tembrolexinplatform
