#include "platform/net/http_transport.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <list>
#include <map>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/thread_join.h"

namespace tembrolexinplatform {

const std::string* HttpResponseHead::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return &value;
  }
  return nullptr;
}

std::string localizedStringForStatusCode(int32_t status) {
  // Never destroyed: threads still running at exit may ask for a text.
  static const std::map<int32_t, const char*>& kTexts = *new std::map<int32_t, const char*>{
      {100, "continue"}, {101, "switching protocols"}, {200, "no error"}, {201, "created"},
      {202, "accepted"}, {203, "non-authoritative information"}, {204, "no content"},
      {205, "reset content"}, {206, "partial content"}, {300, "multiple choices"},
      {301, "moved permanently"}, {302, "found"}, {303, "see other"}, {304, "not modified"},
      {305, "needs proxy"}, {307, "temporarily redirected"}, {400, "bad request"},
      {401, "unauthorized"}, {402, "payment required"}, {403, "forbidden"}, {404, "not found"},
      {405, "method not allowed"}, {406, "unacceptable"}, {407, "proxy authentication required"},
      {408, "request timed out"}, {409, "conflict"}, {410, "no longer exists"},
      {411, "length required"}, {412, "precondition failed"}, {413, "request too large"},
      {414, "requested URL too long"}, {415, "unsupported media type"},
      {416, "requested range not satisfiable"}, {417, "expectation failed"},
      {500, "internal server error"}, {501, "unimplemented"}, {502, "bad gateway"},
      {503, "service unavailable"}, {504, "gateway timed out"},
      {505, "unsupported version"}};
  auto it = kTexts.find(status);
  if (it != kTexts.end()) return it->second;
  if (status >= 100 && status < 200) return "informational";
  if (status >= 200 && status < 300) return "success";
  if (status >= 300 && status < 400) return "redirected";
  if (status >= 400 && status < 500) return "client error";
  if (status >= 500 && status < 600) return "server error";
  return "unknown";
}

namespace {

void curlGlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::pair<int32_t, std::string> urlErrorFor(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return {kURLErrorTimedOut, "The request timed out."};
    case CURLE_COULDNT_CONNECT:
      return {kURLErrorCannotConnectToHost, "Could not connect to the server."};
    case CURLE_COULDNT_RESOLVE_HOST:
      return {kURLErrorCannotFindHost, "A server with the specified hostname could not be found."};
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return {kURLErrorBadURL, "bad URL"};
    case CURLE_TOO_MANY_REDIRECTS:
      return {kURLErrorHTTPTooManyRedirects, "too many HTTP redirects"};
    case CURLE_FILESIZE_EXCEEDED:
      return {kURLErrorDataLengthExceedsMaximum, "resource exceeds maximum size"};
    case CURLE_PEER_FAILED_VERIFICATION:
      return {kURLErrorServerCertificateUntrusted,
              "The certificate for this server is invalid."};
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
      return {kURLErrorSecureConnectionFailed,
              "An SSL error has occurred and a secure connection to the server cannot be made."};
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
      return {kURLErrorNetworkConnectionLost, "The network connection was lost."};
    default:
      return {kURLErrorUnknown, std::string("An unknown error occurred: ") + curl_easy_strerror(code)};
  }
}

bool parsableHttpUrl(const std::string& url) {
  CURLU* handle = curl_url();
  if (handle == nullptr) return false;
  bool ok = curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
  char* scheme = nullptr;
  if (ok && curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK) {
    ok = strcasecmp(scheme, "http") == 0 || strcasecmp(scheme, "https") == 0;
  } else {
    ok = false;
  }
  curl_free(scheme);
  curl_url_cleanup(handle);
  return ok;
}

std::string trim(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return {};
  std::size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

}  // namespace

// The threads of the transfers. Each entry ends by marking itself done; done
// threads are joined when the next transfer starts or when the transport goes.
struct CurlHttpTransport::Workers {
  struct Entry {
    tembrolexinsdk::LibraryThread thread;
    std::shared_ptr<std::atomic<bool>> done;
    std::shared_ptr<std::atomic<bool>> abort;
  };
  mutable tembrolexin::Mutex mutex;
  std::list<Entry> entries;
  bool closed = false;

  void reapLocked() {
    for (auto it = entries.begin(); it != entries.end();) {
      if (it->done->load()) {
        it->thread.join();
        it = entries.erase(it);
      } else {
        ++it;
      }
    }
  }
};

namespace {

class CurlConnection final : public IHttpConnection,
                             public std::enable_shared_from_this<CurlConnection> {
 public:
  CurlConnection(HttpRequestSpec desc, std::weak_ptr<IHttpConnectionDelegate> delegate,
                 CurlHttpTransport::Options options,
                 std::weak_ptr<CurlHttpTransport::Workers> workers)
      : desc_(std::move(desc)),
        delegate_(std::move(delegate)),
        options_(std::move(options)),
        workers_(std::move(workers)) {}

  void start() override {
    auto workers = workers_.lock();
    bool started = false;
    if (workers) {
      std::lock_guard lock(workers->mutex);
      if (!workers->closed) {
        workers->reapLocked();
        auto done = std::make_shared<std::atomic<bool>>(false);
        auto self = shared_from_this();
        tembrolexinsdk::LibraryThread thread([self, done] {
          self->run();
          done->store(true);
        });
        workers->entries.push_back({std::move(thread), done, abort_});
        started = true;
      }
    }
    if (!started) {
      post([](IHttpConnectionDelegate& d) {
        d.connectionDidFailWithError(kURLErrorUnknown, "The transport has shut down.");
      });
    }
  }

  void cancel() override {
    cancelled_->store(true);
    abort_->store(true);
  }

 private:
  using Call = std::function<void(IHttpConnectionDelegate&)>;

  // Queues one callback; it runs only if the connection is still wanted.
  void post(Call call) {
    auto queue = options_.callbackQueue;
    if (!queue) return;
    auto cancelled = cancelled_;
    auto delegate = delegate_;
    queue->async([cancelled, delegate, call = std::move(call)] {
      if (cancelled->load()) return;
      auto target = delegate.lock();
      if (target) call(*target);
    });
  }

  static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<CurlConnection*>(user);
    const std::size_t bytes = size * count;
    std::string line(data, bytes);
    if (line.rfind("HTTP/", 0) == 0) {
      self->head_ = HttpResponseHead();
      self->headComplete_ = false;
      self->headerBytes_ = 0;
      std::size_t space = line.find(' ');
      self->head_.statusCode =
          space == std::string::npos ? 0 : std::atoi(line.c_str() + space + 1);
    }
    self->headerBytes_ += bytes;
    if (self->headerBytes_ > self->options_.maxHeaderBytes) {
      self->tooLarge_ = true;
      return 0;  // ends the transfer
    }
    if (line.rfind("HTTP/", 0) == 0) {
      // The status line, handled above.
    } else if (trim(line).empty()) {
      // The end of one header block. Interim (1xx) answers are not
      // reported; a redirect is followed, so the head is reported when the
      // body begins or the transfer ends (libcurl hands on no redirect's
      // body).
      self->headComplete_ = self->head_.statusCode >= 200;
    } else {
      std::size_t colon = line.find(':');
      if (colon != std::string::npos) {
        std::string name = trim(line.substr(0, colon));
        std::string value = trim(line.substr(colon + 1));
        if (strcasecmp(name.c_str(), "Content-Length") == 0) {
          self->head_.expectedLength = std::atoll(value.c_str());
        }
        self->head_.headers.emplace_back(std::move(name), std::move(value));
      }
    }
    return size * count;
  }

  // Reports the final response's head, once.
  void postHead() {
    if (!headComplete_ || headPosted_) return;
    headPosted_ = true;
    HttpResponseHead head = head_;
    post([head](IHttpConnectionDelegate& d) { d.connectionDidReceiveResponse(head); });
  }

  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<CurlConnection*>(user);
    const std::size_t bytes = size * count;
    if (bytes > self->options_.maxBodyBytes - std::min(self->bodyBytes_, self->options_.maxBodyBytes)) {
      self->tooLarge_ = true;
      return 0;  // ends the transfer
    }
    self->bodyBytes_ += bytes;
    self->postHead();
    std::string chunk(data, bytes);
    self->post([chunk = std::move(chunk)](IHttpConnectionDelegate& d) {
      d.connectionDidReceiveData(chunk);
    });
    return size * count;
  }

  static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<CurlConnection*>(user)->abort_->load() ? 1 : 0;
  }

  void run() {
    curlGlobalInit();
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
      post([](IHttpConnectionDelegate& d) {
        d.connectionDidFailWithError(kURLErrorUnknown, "HTTP connection failed");
      });
      return;
    }
    curl_slist* headers = nullptr;
    for (const auto& [name, value] : desc_.headers) {
      headers = curl_slist_append(headers, (name + ": " + value).c_str());
    }
    // libcurl would otherwise hold larger bodies back for a 100-continue.
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_URL, desc_.url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options_.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, options_.caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options_.connectTimeout.count()));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, options_.lowSpeedLimit);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, options_.maxRedirects);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    if (options_.maxBodyBytes < static_cast<std::size_t>(std::numeric_limits<curl_off_t>::max())) {
      // A body announced larger than allowed fails before it starts.
      curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE,
                       static_cast<curl_off_t>(options_.maxBodyBytes));
    }
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options_.idleTimeout.count()));
    if (options_.totalTimeout.count() > 0) {
      curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.totalTimeout.count()));
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (desc_.method == "POST") {
      curl_easy_setopt(curl, CURLOPT_POST, 1L);
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(desc_.body.size()));
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, desc_.body.data());
    } else if (desc_.method != "GET") {
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, desc_.method.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &CurlConnection::onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CurlConnection::onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &CurlConnection::onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);

    CURLcode result = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);

    if (abort_->load()) return;
    if (tooLarge_ && result == CURLE_WRITE_ERROR) result = CURLE_FILESIZE_EXCEEDED;
    if (result == CURLE_OK) {
      postHead();
      post([](IHttpConnectionDelegate& d) { d.connectionDidFinishLoading(); });
    } else {
      auto [code, text] = urlErrorFor(result);
      post([code = code, text = text](IHttpConnectionDelegate& d) {
        d.connectionDidFailWithError(code, text);
      });
    }
  }

  const HttpRequestSpec desc_;
  const std::weak_ptr<IHttpConnectionDelegate> delegate_;
  const CurlHttpTransport::Options options_;
  const std::weak_ptr<CurlHttpTransport::Workers> workers_;
  const std::shared_ptr<std::atomic<bool>> cancelled_ = std::make_shared<std::atomic<bool>>(false);
  const std::shared_ptr<std::atomic<bool>> abort_ = std::make_shared<std::atomic<bool>>(false);
  // Touched by the transfer's thread only.
  HttpResponseHead head_;
  bool headComplete_ = false;
  bool headPosted_ = false;
  std::size_t headerBytes_ = 0;
  std::size_t bodyBytes_ = 0;
  bool tooLarge_ = false;
};

}  // namespace

CurlHttpTransport::CurlHttpTransport(Options options)
    : options_(std::move(options)), workers_(std::make_shared<Workers>()) {
  curlGlobalInit();
}

CurlHttpTransport::~CurlHttpTransport() {
  std::list<Workers::Entry> entries;
  {
    std::lock_guard lock(workers_->mutex);
    workers_->closed = true;
    entries.swap(workers_->entries);
  }
  for (auto& entry : entries) entry.abort->store(true);
  // A transfer's thread, should it be the caller, is let go: what it touches
  // (its connection and its done flag) is its own.
  for (auto& entry : entries) tembrolexinsdk::joinUnlessSelf(entry.thread);
}

std::shared_ptr<IHttpConnection> CurlHttpTransport::createConnection(
    const HttpRequestSpec& desc, std::weak_ptr<IHttpConnectionDelegate> delegate) {
  if (!parsableHttpUrl(desc.url)) return nullptr;
  return std::make_shared<CurlConnection>(desc, std::move(delegate), options_, workers_);
}

std::size_t CurlHttpTransport::activeTransfers() const {
  std::lock_guard lock(workers_->mutex);
  std::size_t active = 0;
  for (const auto& entry : workers_->entries) active += entry.done->load() ? 0 : 1;
  return active;
}

}  // namespace tembrolexinplatform
