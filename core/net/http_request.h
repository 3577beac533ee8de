// The HTTP request layer over libcurl's easy interface.
//
//   auto writer = std::make_unique<Http::Writer<std::stringstream>>(onDone, onError);
//   auto config = std::make_unique<Http::Configuration>(url, std::move(writer), log);
//   config->setJsonPost(R"({"a":1})").setOption(CURLOPT_USERAGENT, "x");
//   std::unique_ptr<Http::Request> request = config->configure();
//   request->perform();   // blocks for the transfer, then calls the writer
//
// Configuration: the description of one request (URL, the writer it owns,
// an ordered list of libcurl options). configure() builds a Request: an easy
// handle with the base options, the transfer limits and then every listed
// option in order. A URL containing "https" (any case) gets
// CURLOPT_SSL_VERIFYPEER 1 as its first option.
//
// TransferLimits: every request has a connect time-out, a low-speed rule
// (fewer than `lowSpeedLimit` bytes/s for `lowSpeedTime` aborts with libcurl
// code 28), a limit on the whole transfer (code 28 too) and a limit on
// redirects (code 47), so no server can hold a thread for ever; only http and
// https are allowed, also for redirects. The writer's body limit (code 63)
// bounds what a transfer may deliver. The defaults are far from what a real
// transfer does. An optional abort flag ends a transfer (libcurl code 42) as
// soon as it is set. A transfer that ends at one of these bounds is logged at
// Warning with its URL and the bound.
//
// Ownership: a Configuration owns its writer and options (header lists are
// freed with it). A Request refers to the writer, so it must be destroyed
// before the Configuration that built it.
//
// Thread safety: a Configuration's option list is guarded by its mutex. A
// Request and its writer are used by one thread at a time; the libcurl
// callbacks and the writer's onDone / onError run on the performing thread.
// CurlGlobalEnv::Instance may be called from any thread.
#ifndef TL_CORE_NET_HTTP_REQUEST_H_
#define TL_CORE_NET_HTTP_REQUEST_H_

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/net/http_exception.h"
#include "core/net/http_writer.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/log.h"

namespace tembrolexinsdk {
namespace Http {

class AbstractOption {
 public:
  virtual ~AbstractOption() = default;
};

// One option value. configure() applies std::string, long, void* and
// curl_slist*; any other type is refused ("Invalid configuration type").
template <typename T>
class Option : public AbstractOption {
 public:
  explicit Option(T value) : value(std::move(value)) {}
  T value;
};

struct TransferLimits {
  std::chrono::milliseconds connectTimeout{30000};
  std::chrono::seconds lowSpeedTime{60};
  long lowSpeedLimit = 64;  // bytes per second
  // The whole transfer, redirects included; zero means no limit.
  std::chrono::milliseconds totalTimeout{std::chrono::minutes(15)};
  // Redirects followed; one more fails the transfer.
  long maxRedirects = 10;
  // When set, a transfer ends with libcurl code 42 once *abort is true. The
  // flag must outlive every transfer of the request.
  const std::atomic<bool>* abort = nullptr;
};

class Request : public INamedObject {
 public:
  static constexpr long HTTP_OK = 200;

  using DataCallback = std::size_t (*)(char*, std::size_t, std::size_t, void*);

  // Throws Http::Exception ("Request", "curl_easy_init failed") or
  // ("setOption", ...) when the handle cannot be set up.
  Request(std::string url, AbstractWriter& writer, Log log,
          const TransferLimits& limits = TransferLimits());
  ~Request() override;
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  const std::string& GetName() const override;

  // Each throws Http::Exception ("setOption", "Could not set option <code> :
  // error code <result>") when libcurl refuses.
  void setOption(CURLoption option, long value);
  void setOption(CURLoption option, const std::string& value);
  void setOption(CURLoption option, void* value);
  void setOption(CURLoption option, curl_slist* value);
  void setOption(CURLoption option, DataCallback value);

  // Performs the transfer and reports it to the writer; returns libcurl's
  // result code.
  int perform();
  // The completion step alone, for a transfer driven elsewhere (a multi
  // handle): the status is read only when curlCode is 0, else -1.
  void performed(int curlCode);

  CURL* handle() const { return handle_; }
  const std::string& url() const { return url_; }

 private:
  template <typename V>
  void set(CURLoption option, V value);

  CURL* handle_ = nullptr;
  std::string url_;
  AbstractWriter& writer_;
  Log log_;
};

class Configuration : public INamedObject {
 public:
  Configuration(std::string url, std::unique_ptr<AbstractWriter> writer, Log log);
  // Frees header lists, then options, then the writer.
  ~Configuration() override;
  Configuration(const Configuration&) = delete;
  Configuration& operator=(const Configuration&) = delete;

  const std::string& GetName() const override;

  Configuration& setOption(CURLoption option, const char* value);
  Configuration& setOption(CURLoption option, const std::string& value);
  Configuration& setOption(CURLoption option, long value);
  Configuration& setOption(CURLoption option, void* value);
  // The configuration takes ownership of the list.
  Configuration& setOption(CURLoption option, curl_slist* value);
  // Appends any option object (also kinds that configure() refuses).
  Configuration& addOption(CURLoption option, std::unique_ptr<AbstractOption> value);

  // A JSON post of `body` with the headers "Expect:", "Content-Type:
  // application/json", "Accept: application/json", "charsets: utf-8".
  Configuration& setJsonPost(const std::string& body);

  // A new request with every option applied; throws Http::Exception
  // ("configure", "Invalid configuration type") for an option it cannot
  // apply, and whatever Request throws.
  std::unique_ptr<Request> configure(const TransferLimits& limits = TransferLimits());

  const std::string& url() const { return url_; }
  AbstractWriter& writer() const { return *writer_; }
  // The option codes in list order.
  std::vector<CURLoption> optionCodes();

 private:
  tembrolexin::Mutex mutex_;
  std::vector<std::pair<CURLoption, std::unique_ptr<AbstractOption>>> options_;
  std::string url_;
  std::unique_ptr<AbstractWriter> writer_;
  Log log_;
};

// libcurl's process-wide set-up, done once (curl_global_init on creation,
// curl_global_cleanup at process exit). Configurations and queues make sure
// of it when they are constructed, on the thread that creates them, so no
// HTTP thread ever runs curl_global_init (which is not safe against a
// process that is exiting).
class CurlGlobalEnv : public INamedObject {
 public:
  // The instance, created on the first call with that call's log.
  static CurlGlobalEnv& Instance(const Log& log);

  ~CurlGlobalEnv() override;
  const std::string& GetName() const override;

 private:
  explicit CurlGlobalEnv(const Log& log);
  Log log_;
};

}  // namespace Http
}  // namespace tembrolexinsdk

#endif  // TL_CORE_NET_HTTP_REQUEST_H_
