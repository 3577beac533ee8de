// security::DataSigner: the core's signer. The signing keys live with the
// platform layer, so each request goes out on the bus as a SignDataRequest
// (type 14) and the platform's SignedData reply (type 15) comes back on the
// bus thread, where it is matched to its request by id and handed to the
// caller's function.
//
// Request ids are "request_" followed by a process-wide counter in decimal,
// at least ten digits. Every request leaves its function in the table for the
// signer's life: a repeated reply calls it again, and a request that is
// never answered is never called back.
//
// The signature arrives as text. `Signature::signatureText` and `md5Text`
// carry it as received (our platform layer answers with base64 there); the
// byte fields hold the text read as hexadecimal (hexToBytes), which never
// fails.
//
// Ownership: the messenger is not owned and must outlive the signer. The
// destructor unregisters from the bus (waiting for a reply being handled on
// the bus thread), so the signer may go while the bus runs on.
//
// Thread safety: signData may be called from any thread; onReceive runs on
// the bus thread and calls the caller's function without any lock held, so
// that function may ask for another signature.
#ifndef TL_CORE_NET_DATA_SIGNER_H_
#define TL_CORE_NET_DATA_SIGNER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/i_data_signer.h"
#include "core/runtime/i_messenger.h"
#include "core/runtime/i_named_object.h"

namespace tembrolexinsdk {
namespace security {

class DataSigner : public INamedObject, public IDataSigner, public IMessengerListener {
 public:
  using Callback = std::function<void(const Signature&)>;

  // Registers on `messenger` for type 15.
  explicit DataSigner(IMessenger* messenger);
  ~DataSigner() override;
  DataSigner(const DataSigner&) = delete;
  DataSigner& operator=(const DataSigner&) = delete;

  // "DataSigner"; also the sender name of the requests.
  const std::string& GetName() const override;
  // Empty data: `onSigned` runs at once with an empty signature and nothing
  // is sent. An empty `onSigned` throws std::bad_function_call when it would
  // run.
  void signData(std::string data, Callback onSigned) override;
  void onReceive(const std::string& senderName, const ThriftParams& params) override;

  // "request_" + n, n zero-padded to ten digits.
  static std::string requestId(uint64_t n);
  // Pairs of characters read as base-16 numbers (a lone last character on its
  // own); a pair's non-hex characters end its number early (0 when first).
  static std::vector<unsigned char> hexToBytes(const std::string& text);

 private:
  static std::atomic<uint64_t> idCounter;
  IMessenger* const messenger_;
  tembrolexin::Mutex mutex_;
  std::map<std::string, Callback> callbacks_;  // guarded by mutex_
};

}  // namespace security
}  // namespace tembrolexinsdk

#endif  // TL_CORE_NET_DATA_SIGNER_H_
