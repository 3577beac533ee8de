// Data signing for uploads. The core cannot reach the key store, so its
// signer sends a SignDataRequest (14) on the bus; DataSigner answers each
// with a SignedData (15): the same dataId, as data the UTF-8 bytes of the
// base64 text (standard alphabet, padded, no line breaks) of the RSA
// signature of the data, and as dataMd5 the MD5 of the data in 32 lower-case
// hexadecimal digits. Its class methods serve file uploads directly.
//
// SecurityKeys holds the RSA key pair of this installation. The key store is a
// folder of PEM files (never the working folder: without a key-store folder no
// key is read or made, with an Error line), one per key, named after the key's
// tag, readable by the owner only: the private key as PKCS#8, the public key as
// SubjectPublicKeyInfo. Only a regular file, or a link to one, of at most
// 64 KiB is read as a key, opened without blocking, so that nothing put in a
// key file's place (a named pipe) holds the start. A key file that is anything
// else, cannot be read or holds no RSA key in PEM is logged at Warning, naming
// the file, and counts as missing, so a new pair replaces it; before the new
// pair is stored, an entry that is neither a regular file nor a link to one (a
// folder would take every new key's place) is renamed "<name>.damaged", with a
// Warning naming both paths. The pair is made once (the system asks for
// 512 bits) and found again by its tags at every later start. Signatures are
// PKCS#1 v1.5 over the SHA-1 digest of the data (DigestInfo with the SHA-1
// identifier), one key block long (64 bytes for 512 bits).
//
// One pair, whatever runs at once: a pair is made and stored, and halves of
// two pairs mended, by one set-up at a time, under a lock of the process and
// the key store's lock file "<folder>/com.tembrolexin.keys.signing.lock"
// across the app's processes (see ExclusiveFileLock); a set-up that waited
// takes the pair stored meanwhile. Stored halves that do not belong together
// (left by builds that made pairs side by side) are mended: the public key is
// made anew from the private one, with a Warning.
//
// Thread safety: a SecurityKeys object is immutable after loading or
// generating, so signing may run on any number of threads; loading,
// generation and deletion are meant for one thread at a time per object.
// DataSigner answers requests on the bus thread, one at a time.
#ifndef TL_PLATFORM_RUNTIME_DATA_SIGNER_H_
#define TL_PLATFORM_RUNTIME_DATA_SIGNER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/runtime/messenger.h"
#include "platform/runtime/tl_thrift_params.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace tembrolexinplatform {

class SecurityKeys {
 public:
  // The application tags (file names without ".pem"); fixed for good.
  static constexpr const char* kPublicTag = "com.tembrolexin.keys.signing.public";
  static constexpr const char* kPrivateTag = "com.tembrolexin.keys.signing.private";

  // Over the key-store folder of the installed platform environment.
  SecurityKeys();
  explicit SecurityKeys(std::string keyStoreFolder);
  ~SecurityKeys();
  SecurityKeys(const SecurityKeys&) = delete;
  SecurityKeys& operator=(const SecurityKeys&) = delete;

  // Loads both keys; true only when both were found and read.
  bool loadKeysFromKeychain();
  // Makes and stores a pair of `bits` (512, 1024, 2048 are supported; others
  // are logged at Error and tried all the same), under the key store's
  // locks. False when generation or storing failed; the object then has no
  // keys.
  bool generateKeyPair(int32_t bits);
  // What getKeys does: loads the stored pair, or, when no whole pair is
  // stored, takes the key store's locks, loads again and makes a pair of
  // `bits` only when still none is there; halves of two pairs are mended
  // there. True when the object then holds a pair.
  bool loadOrMakePair(int32_t bits);
  // A seam for tests: called on the set-up's thread at each step named.
  // Null for none. Any thread; the hook must not set another.
  enum class PairStep {
    kFoundNone,  // loadOrMakePair found no whole pair; it takes the locks next
    kMaking,     // a pair is about to be made, under the locks
  };
  static void setPairStepHook(std::function<void(PairStep)> hook);
  // The base64 signature text, or none without a private key.
  std::optional<std::string> sign(const std::string& data) const;
  bool verifySignature(const std::string& data, const std::string& signature) const;
  // SHA-1 digest (20 bytes).
  static std::string getHashBytes(const std::string& data);
  // The raw signature bytes; empty without a private key or on failure.
  std::string getSignatureBytes(const std::string& data) const;
  // Base64 of the stored public key (PKCS#1 RSAPublicKey DER), or none with
  // an Assert line when it cannot be read.
  std::optional<std::string> getBase64EncodedPublicKey() const;
  // Deletes both key files and drops both keys.
  void deleteAsymmetricKeys();

  bool hasPublicKey() const { return publicKey_ != nullptr; }
  bool hasPrivateKey() const { return privateKey_ != nullptr; }
  const std::string& publicTag() const { return publicTag_; }
  const std::string& privateTag() const { return privateTag_; }
  std::string keyPath(const std::string& tag) const;

 private:
  // Loads both keys, with Warnings for files that cannot be used when
  // `report`.
  bool loadPair(bool report);
  // Whether the public key is the private key's own.
  bool halvesMatch() const;
  void dropKeys();
  // Under the key store's locks: makes and stores a pair; makes the public
  // key anew from the private one.
  bool makePairLocked(int32_t bits);
  void mendLocked();

  const std::string folder_;
  const std::string publicTag_ = kPublicTag;
  const std::string privateTag_ = kPrivateTag;
  EVP_PKEY* publicKey_ = nullptr;
  EVP_PKEY* privateKey_ = nullptr;
};

class DataSigner final : public IThriftMessageReceiver {
 public:
  static constexpr const char* kSenderName = "DataSigner";

  // Loads or makes the key pair (getKeys) and registers for type 14.
  explicit DataSigner(Messenger& messenger);
  DataSigner(Messenger& messenger, std::shared_ptr<SecurityKeys> keys);
  // Unregisters from type 14.
  ~DataSigner() override;
  DataSigner(const DataSigner&) = delete;
  DataSigner& operator=(const DataSigner&) = delete;

  void onReceive(const TLThriftParams& message, const std::string& sender) override;

  // A new SecurityKeys over the stored pair, making a 512-bit pair when
  // none is stored yet.
  static std::shared_ptr<SecurityKeys> getKeys();
  static std::shared_ptr<SecurityKeys> getKeys(const std::string& keyStoreFolder);
  // The signature text's UTF-8 bytes, or none.
  static std::optional<std::string> signData(const std::string& data, const SecurityKeys& keys);
  static std::string generateCheckSumFromData(const std::string& data);
  static std::string generateCheckSumFromString(const std::string& text) {
    return generateCheckSumFromData(text);
  }

  const std::shared_ptr<SecurityKeys>& securityKeys() const { return keys_; }

 private:
  Messenger& messenger_;
  std::shared_ptr<SecurityKeys> keys_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_RUNTIME_DATA_SIGNER_H_
