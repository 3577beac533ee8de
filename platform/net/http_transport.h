// The connection layer under TLAsyncRequest: an HTTP transfer that is created
// without starting, started, cancelled, and reports the response head, each
// chunk of the body, a failure or the end of loading to its delegate.
//
// IHttpTransport is the seam: CurlHttpTransport runs each transfer over
// libcurl on a thread of its own and hands every callback to one dispatch
// queue (the main queue: the "main run loop" of the connections); tests of the
// retry logic put a scripted transport in its place.
//
// Failures carry the platform's URL error codes (negative): -1001 timed out,
// -1004 cannot connect, -1003 host not found, -1005 connection lost, -1000
// bad URL, -1007 too many redirects, -1103 a response larger than allowed,
// -1202 untrusted server certificate, -1200 secure connection failed, -1
// anything else; with a description text.
//
// Bounds of CurlHttpTransport (Options): a connect time-out, a low-speed rule
// and a limit on the whole transfer (all -1001), at most `maxRedirects`
// redirects followed (-1007), and at most `maxBodyBytes` of body and
// `maxHeaderBytes` of headers per response (-1103), so no server can hold a
// transfer's thread for ever or fill the memory (the body also waits in the
// callback queue until the delegate takes it). The response head is reported
// once, for the final response: redirects are followed, not reported.
//
// Ownership: a connection holds its delegate weakly; a delegate that is gone
// gets nothing. Once cancel() has returned, the connection delivers no
// further callback that has not already begun.
//
// Thread safety: every operation may be called from any thread. Callbacks of
// CurlHttpTransport run on its callback queue, one at a time, in the order of
// the transfer.
#ifndef TL_PLATFORM_NET_HTTP_TRANSPORT_H_
#define TL_PLATFORM_NET_HTTP_TRANSPORT_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/runtime/dispatch.h"

namespace tembrolexinplatform {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// The platform's URL error codes that transfers report.
enum URLErrorCode : int32_t {
  kURLErrorUnknown = -1,
  kURLErrorBadURL = -1000,
  kURLErrorTimedOut = -1001,
  kURLErrorCannotFindHost = -1003,
  kURLErrorCannotConnectToHost = -1004,
  kURLErrorNetworkConnectionLost = -1005,
  kURLErrorHTTPTooManyRedirects = -1007,
  kURLErrorDataLengthExceedsMaximum = -1103,
  kURLErrorSecureConnectionFailed = -1200,
  kURLErrorServerCertificateUntrusted = -1202,
};

struct HttpRequestSpec {
  std::string url;
  std::string method;
  HttpHeaders headers;  // sent in this order
  std::string body;     // sent for POST only
};

struct HttpResponseHead {
  int32_t statusCode = 0;
  HttpHeaders headers;            // as received, in order
  int64_t expectedLength = -1;    // Content-Length, or -1 when unknown

  // The first header of that name (case-insensitive), or null.
  const std::string* header(const std::string& name) const;
};

// The standard text of an HTTP status, as the platform words it ("no error",
// "not found", ...); "server error" / "client error" ... for unlisted codes.
std::string localizedStringForStatusCode(int32_t status);

class IHttpConnectionDelegate {
 public:
  virtual ~IHttpConnectionDelegate() = default;
  virtual void connectionDidReceiveResponse(const HttpResponseHead& response) = 0;
  virtual void connectionDidReceiveData(const std::string& data) = 0;
  virtual void connectionDidFailWithError(int32_t code, const std::string& description) = 0;
  virtual void connectionDidFinishLoading() = 0;
};

class IHttpConnection {
 public:
  virtual ~IHttpConnection() = default;
  virtual void start() = 0;
  virtual void cancel() = 0;
};

class IHttpTransport {
 public:
  virtual ~IHttpTransport() = default;
  // A connection for `desc`, not started; null when none can be made (a URL
  // that does not parse, a scheme other than http or https).
  virtual std::shared_ptr<IHttpConnection> createConnection(
      const HttpRequestSpec& desc, std::weak_ptr<IHttpConnectionDelegate> delegate) = 0;
};

class CurlHttpTransport final : public IHttpTransport {
 public:
  struct Options {
    // Where every callback runs; held weakly by transfers in flight.
    std::shared_ptr<DispatchQueue> callbackQueue;
    std::chrono::milliseconds connectTimeout{30000};
    // A transfer moving less than `lowSpeedLimit` bytes per second for
    // `idleTimeout` ends as timed out.
    std::chrono::seconds idleTimeout{30};
    long lowSpeedLimit = 64;
    // A cap on the whole transfer, redirects included; zero means none.
    std::chrono::milliseconds totalTimeout{std::chrono::minutes(10)};
    long maxRedirects = 10;
    std::size_t maxBodyBytes = 4 * 1024 * 1024;
    std::size_t maxHeaderBytes = 64 * 1024;
    // PEM bundle of trusted certificates; empty means the system's. Server
    // certificates are always verified, host names included.
    std::string caFile;
  };

  explicit CurlHttpTransport(Options options);
  // Aborts every transfer still running and joins its thread; their
  // callbacks are dropped.
  ~CurlHttpTransport() override;
  CurlHttpTransport(const CurlHttpTransport&) = delete;
  CurlHttpTransport& operator=(const CurlHttpTransport&) = delete;

  std::shared_ptr<IHttpConnection> createConnection(
      const HttpRequestSpec& desc, std::weak_ptr<IHttpConnectionDelegate> delegate) override;

  // Transfers whose thread has not ended yet.
  std::size_t activeTransfers() const;

  struct Workers;

 private:
  Options options_;
  std::shared_ptr<Workers> workers_;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_NET_HTTP_TRANSPORT_H_
