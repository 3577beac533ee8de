#include "platform/net/async_request.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <ctime>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

TLUploadFile::TLUploadFile(const std::string& filePath, int64_t sequenceNumber)
    : sequenceNumber_(sequenceNumber) {
  std::size_t slash = filePath.find_last_of('/');
  if (slash == std::string::npos) {
    name_ = filePath;
  } else {
    path_ = filePath.substr(0, slash);
    name_ = filePath.substr(slash + 1);
    if (path_.empty()) path_ = "/";
  }
}

std::string TLUploadFile::fullPath() const {
  if (path_.empty()) return name_;
  if (path_ == "/") return "/" + name_;
  return path_ + "/" + name_;
}

FormParams::FormParams(std::initializer_list<std::pair<std::string, FormValue>> entries) {
  for (const auto& [key, value] : entries) set(key, value);
}

void FormParams::set(const std::string& key, FormValue value) {
  for (auto& entry : entries_) {
    if (entry.first == key) {
      entry.second = std::move(value);
      return;
    }
  }
  entries_.emplace_back(key, std::move(value));
}

const FormValue* FormParams::get(const std::string& key) const {
  for (const auto& entry : entries_) {
    if (entry.first == key) return &entry.second;
  }
  return nullptr;
}

const std::string* FormParams::text(const std::string& key) const {
  const FormValue* value = get(key);
  return value ? std::get_if<std::string>(value) : nullptr;
}

std::optional<std::string> readFileBytes(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return bytes;
}

std::string buildMultipartBody(const FormParams& params) {
  const std::string boundary = kMultipartBoundary;
  std::string body;
  for (const auto& [key, value] : params.entries()) {
    if (const auto* text = std::get_if<std::string>(&value)) {
      body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + key + "\"\r\n\r\n" +
              *text + "\r\n";
    } else if (const auto* file = std::get_if<TLUploadFile>(&value)) {
      body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + key +
              "\";filename=\"" + file->name() + "\"\r\n";
      body += "Content-Type: application/x-gzip\r\n\r\n";
      body += readFileBytes(file->fullPath()).value_or(std::string());
      body += "\r\n";
    }
  }
  body += "--" + boundary + "--\r\n\r\n";
  return body;
}

std::string formatUploadDate(std::optional<int64_t> wallMicros) {
  if (!wallMicros) return "0000-00-00 00:00:00 UTC";
  int64_t micros = *wallMicros;
  time_t seconds = static_cast<time_t>(micros / 1000000 - (micros % 1000000 < 0 ? 1 : 0));
  std::tm tm{};
  if (gmtime_r(&seconds, &tm) == nullptr) return "0000-00-00 00:00:00 UTC";
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

// Forwards one connection's callbacks to its request, tagged with the
// generation of that connection.
class TLAsyncRequest::Sink final : public IHttpConnectionDelegate {
 public:
  Sink(std::weak_ptr<TLAsyncRequest> request, uint64_t generation)
      : request_(std::move(request)), generation_(generation) {}
  void connectionDidReceiveResponse(const HttpResponseHead& head) override {
    if (auto r = request_.lock()) r->onResponse(generation_, head);
  }
  void connectionDidReceiveData(const std::string& data) override {
    if (auto r = request_.lock()) r->onData(generation_, data);
  }
  void connectionDidFailWithError(int32_t code, const std::string& description) override {
    if (auto r = request_.lock()) r->onFailure(generation_, code, description);
  }
  void connectionDidFinishLoading() override {
    if (auto r = request_.lock()) r->onFinish(generation_);
  }

 private:
  const std::weak_ptr<TLAsyncRequest> request_;
  const uint64_t generation_;
};

TLAsyncRequest::TLAsyncRequest(Context context, std::string url, std::string requestType,
                               FormParams params,
                               std::weak_ptr<TLNetworkManagerDelegate> netMgrDelegate,
                               std::weak_ptr<TLNetworkTypeDelegate> networkTypeDelegate,
                               std::weak_ptr<TLAsyncRequestDelegate> delegate,
                               std::weak_ptr<TLUploadQueue> queue, int32_t attempt,
                               int32_t maxAttempts)
    : context_(std::move(context)),
      requestType_(std::move(requestType)),
      netMgrDelegate_(std::move(netMgrDelegate)),
      netTypeDelegate_(std::move(networkTypeDelegate)),
      delegate_(std::move(delegate)),
      queue_(std::move(queue)),
      uploadAttempt_(attempt),
      maxUploadAttempts_(maxAttempts),
      requestUrl_(std::move(url)),
      requestParams_(std::move(params)),
      responseAttempt_(attempt) {}

TLAsyncRequest::~TLAsyncRequest() {
  TLLogger::debugInMethod("-[TLAsyncRequest dealloc]", __LINE__, "(%p)", static_cast<void*>(this));
  TLLogger::HeldLines held;  // the cancel's line, until the lock is released
  std::lock_guard lock(mutex_);
  cancelLocked();
}

HttpRequestSpec TLAsyncRequest::buildRequestSpec() const {
  // Asked before the lock is taken: the answer may come from the app (the
  // ANALYTICS engine's delegate), which may call exit().
  std::optional<int32_t> type;
  if (auto source = netTypeDelegate_.lock()) type = source->currentConnectionType();
  std::lock_guard lock(mutex_);
  FormParams params = requestParams_;
  if (type) params.set("tl_nettype", std::string(*type == 2 ? "2" : *type == 1 ? "1" : "0"));
  params.set("upload_attempt", std::to_string(uploadAttempt_));
  params.set("max_upload_attempts", std::to_string(maxUploadAttempts_));
  if (params.contains("tl_upload_ts")) {
    params.set("tl_upload_ts", formatUploadDate(context_.clock->wallMicros()));
  }
  HttpRequestSpec desc;
  desc.url = requestUrl_;
  desc.method = requestType_;
  desc.headers = {{"Connection", "Keep-Alive"},
                  {"Content-type", std::string("multipart/form-data;boundary=") + kMultipartBoundary}};
  if (requestType_ == "POST") desc.body = buildMultipartBody(params);
  return desc;
}

void TLAsyncRequest::startRequest() {
  HttpRequestSpec desc = buildRequestSpec();
  std::shared_ptr<IHttpConnection> connection;
  {
    TLLogger::HeldLines held;  // the cancel's line, until the lock is released
    std::lock_guard lock(mutex_);
    cancelLocked();
    uint64_t generation = ++generation_;
    sink_ = std::make_shared<Sink>(weak_from_this(), generation);
    if (context_.transport) connection = context_.transport->createConnection(desc, sink_);
    if (connection) {
      connection_ = connection;
    } else {
      sink_.reset();
      responseCode_ = -1;
      responseMsg_ = "HTTP connection failed";
    }
  }
  if (!connection) {
    TLLogger::debugInMethod("-[TLAsyncRequest startRequest]", __LINE__, "HTTP connection failed for %s",
                            desc.url.c_str());
    complete();
    return;
  }
  connection->start();
  TLLogger::debugInMethod("-[TLAsyncRequest startRequest]", __LINE__, "(%p) HTTP connection %p made for %s",
                          static_cast<void*>(this), static_cast<void*>(connection.get()),
                          desc.url.c_str());
}

// Logs: callers hold the lines (TLLogger::HeldLines) until the lock is
// released.
void TLAsyncRequest::cancelLocked() {
  ++generation_;
  sink_.reset();
  if (connection_) {
    TLLogger::debugInMethod("-[TLAsyncRequest cancelRequest]", __LINE__, "(%p) HTTP connection %p cancelled",
                            static_cast<void*>(this), static_cast<void*>(connection_.get()));
    connection_->cancel();
    connection_.reset();
  }
  receivedData_.clear();
}

void TLAsyncRequest::cancelRequest() {
  TLLogger::HeldLines held;
  std::lock_guard lock(mutex_);
  cancelLocked();
}

void TLAsyncRequest::onResponse(uint64_t generation, const HttpResponseHead& head) {
  // The lines below wait until the lock is released.
  TLLogger::HeldLines held;
  std::lock_guard lock(mutex_);
  if (generation != generation_) return;
  constexpr const char* kMethod = "-[TLAsyncRequest connection:didReceiveResponse:]";
  const std::string* serverTime = head.header("Server-Time");
  serverTime_ = serverTime ? *serverTime : std::string();
  responseCode_ = head.statusCode;
  responseMsg_ = localizedStringForStatusCode(head.statusCode);
  responseAttempt_ = uploadAttempt_;
  if (head.statusCode == 200 && head.header("Tembrolexin") == nullptr && tembrolexinRequest_) {
    responseCode_ = 503;
    responseMsg_ = "Tembrolexin header not received from server";
    TLLogger::debugInMethod(kMethod, __LINE__, "Did not receive Tembrolexin header, aborting: %s",
                            requestUrl_.c_str());
  }
  if (tembrolexinRequest_) {
    if (const std::string* next = head.header("NextUploadAttempt")) {
      // Leading digits count, as the platform reads an integer from text;
      // anything else reads as 0.
      int32_t value = 0;
      const char* begin = next->c_str();
      const char* end = begin + next->size();
      while (begin < end && (*begin == ' ' || *begin == '\t')) ++begin;
      if (begin < end && *begin == '+') ++begin;
      if (std::from_chars(begin, end, value).ec != std::errc()) value = 0;
      responseAttempt_ = value;
      TLLogger::debugInMethod(kMethod, __LINE__, "Server responsed with NextUploadAttempt = %d", value);
    } else {
      TLLogger::debugInMethod(kMethod, __LINE__, "Did not receive NextUploadAttempt");
    }
  }
  expectedLength_ = head.expectedLength;
  receivedData_.clear();
}

void TLAsyncRequest::onData(uint64_t generation, const std::string& data) {
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_) return;
    if (data.size() <= context_.maxBodyBytes - std::min(receivedData_.size(), context_.maxBodyBytes)) {
      receivedData_ += data;
      return;
    }
  }
  // Past the limit: the connection goes and the request fails.
  onFailure(generation, kURLErrorDataLengthExceedsMaximum, "resource exceeds maximum size");
}

void TLAsyncRequest::onFailure(uint64_t generation, int32_t code, const std::string& description) {
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_) return;
    ++generation_;
    sink_.reset();
    if (connection_) connection_->cancel();
    connection_.reset();
    receivedData_.clear();
    responseCode_ = code;
    responseMsg_ = description;
  }
  TLLogger::errorInMethod("-[TLAsyncRequest connection:didFailWithError:]", __LINE__,
                          "HTTP request failed: %s", description.c_str());
  complete();
}

void TLAsyncRequest::onFinish(uint64_t generation) {
  int32_t code;
  std::size_t length;
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_) return;
    ++generation_;
    sink_.reset();
    if (connection_) connection_->cancel();
    connection_.reset();
    code = responseCode_;
    length = receivedData_.size();
  }
  TLLogger::debugInMethod("-[TLAsyncRequest connectionDidFinishLoading:]", __LINE__,
                          "HTTP request completed, response %d, receivedData length = %lu", code,
                          static_cast<unsigned long>(length));
  complete();
  std::lock_guard lock(mutex_);
  receivedData_.clear();
  responseMsg_.clear();
}

void TLAsyncRequest::complete() {
  auto self = shared_from_this();
  if (auto delegate = delegate_.lock()) delegate->requestComplete(self);
}

bool TLAsyncRequest::tembrolexinRequest() const {
  std::lock_guard lock(mutex_);
  return tembrolexinRequest_;
}
void TLAsyncRequest::setTembrolexinRequest(bool value) {
  std::lock_guard lock(mutex_);
  tembrolexinRequest_ = value;
}
int32_t TLAsyncRequest::responseCode() const {
  std::lock_guard lock(mutex_);
  return responseCode_;
}
void TLAsyncRequest::setResponseCode(int32_t code) {
  std::lock_guard lock(mutex_);
  responseCode_ = code;
}
int32_t TLAsyncRequest::responseAttempt() const {
  std::lock_guard lock(mutex_);
  return responseAttempt_;
}
int32_t TLAsyncRequest::uploadAttempt() const { return uploadAttempt_; }
int32_t TLAsyncRequest::maxUploadAttempts() const { return maxUploadAttempts_; }
std::string TLAsyncRequest::requestUrl() const {
  std::lock_guard lock(mutex_);
  return requestUrl_;
}
void TLAsyncRequest::setRequestUrl(std::string url) {
  std::lock_guard lock(mutex_);
  requestUrl_ = std::move(url);
}
FormParams TLAsyncRequest::requestParams() const {
  std::lock_guard lock(mutex_);
  return requestParams_;
}
void TLAsyncRequest::setRequestParams(FormParams params) {
  std::lock_guard lock(mutex_);
  requestParams_ = std::move(params);
}
std::string TLAsyncRequest::receivedData() const {
  std::lock_guard lock(mutex_);
  return receivedData_;
}
void TLAsyncRequest::setReceivedData(std::string data) {
  std::lock_guard lock(mutex_);
  receivedData_ = std::move(data);
}
std::string TLAsyncRequest::responseMsg() const {
  std::lock_guard lock(mutex_);
  return responseMsg_;
}
std::string TLAsyncRequest::serverTime() const {
  std::lock_guard lock(mutex_);
  return serverTime_;
}
std::string TLAsyncRequest::uploadPath() const {
  std::lock_guard lock(mutex_);
  return uploadPath_;
}
void TLAsyncRequest::setUploadPath(std::string path) {
  std::lock_guard lock(mutex_);
  uploadPath_ = std::move(path);
}
bool TLAsyncRequest::hasConnection() const {
  std::lock_guard lock(mutex_);
  return connection_ != nullptr;
}

}  // namespace tembrolexinplatform
