// Signing of data on behalf of processors. The core cannot sign itself: the
// signer passes the request on (over the bus) and calls back later, on
// whatever thread the answer arrives on.
#ifndef TL_CORE_RUNTIME_I_DATA_SIGNER_H_
#define TL_CORE_RUNTIME_I_DATA_SIGNER_H_

#include <functional>
#include <string>
#include <vector>

namespace tembrolexinsdk {
namespace security {

// The result of one signing request; all four fields empty for empty data.
struct Signature {
  std::vector<unsigned char> signature;  // the signature bytes
  std::vector<unsigned char> md5;        // MD5 digest bytes of the signed data
  std::string signatureText;             // the signature as received (hex text)
  std::string md5Text;                   // the digest as received (hex text)
};

class IDataSigner {
 public:
  virtual ~IDataSigner() = default;
  // Asks for a signature of `data`; returns at once. `callback` receives the
  // result later; the Signature is valid only for the callback's duration.
  virtual void signData(std::string data, std::function<void(const Signature&)> callback) = 0;
};

}  // namespace security
}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_DATA_SIGNER_H_
