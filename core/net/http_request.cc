#include "core/net/http_request.h"

#include <algorithm>
#include <cctype>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinsdk {
namespace Http {

namespace {

// Never destroyed (threads still running at exit may use them).
const std::string& kRequestName = *new std::string("HttpRequest");
const std::string& kConfigurationName = *new std::string("HttpConfiguration");
const std::string& kGlobalEnvName = *new std::string("CurlGlobalEnv");

// Progress callback that ends the transfer once the abort flag is set.
int abortCheck(void* flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
}

}  // namespace

// ---- Request ----------------------------------------------------------------

template <typename V>
void Request::set(CURLoption option, V value) {
  const CURLcode result = curl_easy_setopt(handle_, option, value);
  if (result != CURLE_OK) {
    throw Exception(this, "setOption",
                    "Could not set option " + std::to_string(static_cast<int>(option)) +
                        " : error code " + std::to_string(static_cast<int>(result)));
  }
}

Request::Request(std::string url, AbstractWriter& writer, Log log, const TransferLimits& limits)
    : url_(std::move(url)), writer_(writer), log_(std::move(log)) {
  CurlGlobalEnv::Instance(log_);
  handle_ = curl_easy_init();
  if (handle_ == nullptr) throw Exception(this, "Request", "curl_easy_init failed");
  try {
    setOption(CURLOPT_URL, url_);
    setOption(CURLOPT_FOLLOWLOCATION, 1L);
    setOption(CURLOPT_WRITEFUNCTION, &AbstractWriter::performOutput);
    setOption(CURLOPT_WRITEDATA, static_cast<void*>(&writer_));
    setOption(CURLOPT_READFUNCTION, &AbstractWriter::performInput);
    setOption(CURLOPT_READDATA, static_cast<void*>(&writer_));
    setOption(CURLOPT_HEADERFUNCTION, &AbstractWriter::processHeader);
    setOption(CURLOPT_HEADERDATA, static_cast<void*>(&writer_));
    setOption(CURLOPT_NOSIGNAL, 1L);
    // Limits, so that no server can hold the performing thread for ever, and
    // no URL (nor redirect) can reach anything but HTTP.
    setOption(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectTimeout.count()));
    setOption(CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedLimit);
    setOption(CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits.lowSpeedTime.count()));
    setOption(CURLOPT_TIMEOUT_MS, static_cast<long>(limits.totalTimeout.count()));
    setOption(CURLOPT_MAXREDIRS, limits.maxRedirects);
    setOption(CURLOPT_PROTOCOLS_STR, std::string("http,https"));
    setOption(CURLOPT_REDIR_PROTOCOLS_STR, std::string("http,https"));
    // A body announced larger than the writer takes fails before it starts.
    if (writer_.maxBodyBytes() > 0) {
      set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(writer_.maxBodyBytes()));
    }
    if (limits.abort != nullptr) {
      set(CURLOPT_XFERINFOFUNCTION, &abortCheck);
      set(CURLOPT_XFERINFODATA, static_cast<void*>(const_cast<std::atomic<bool>*>(limits.abort)));
      setOption(CURLOPT_NOPROGRESS, 0L);
    }
  } catch (...) {
    curl_easy_cleanup(handle_);
    throw;
  }
}

Request::~Request() { curl_easy_cleanup(handle_); }

const std::string& Request::GetName() const { return kRequestName; }

void Request::setOption(CURLoption option, long value) { set(option, value); }
void Request::setOption(CURLoption option, const std::string& value) {
  set(option, value.c_str());
}
void Request::setOption(CURLoption option, void* value) { set(option, value); }
void Request::setOption(CURLoption option, curl_slist* value) { set(option, value); }
void Request::setOption(CURLoption option, DataCallback value) { set(option, value); }

int Request::perform() {
  const int result = static_cast<int>(curl_easy_perform(handle_));
  performed(result);
  return result;
}

void Request::performed(int curlCode) {
  long status = -1;
  if (curlCode == CURLE_OK) {
    curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &status);
  }
  // A body cut off by the writer's limit reads as libcurl's own "too large".
  if (writer_.bodyLimitReached() && curlCode == CURLE_WRITE_ERROR) curlCode = CURLE_FILESIZE_EXCEEDED;
  switch (curlCode) {
    case CURLE_OPERATION_TIMEDOUT:
      log_.warning("HTTP request to ", url_, " stopped: time limit or low-speed limit reached");
      break;
    case CURLE_TOO_MANY_REDIRECTS:
      log_.warning("HTTP request to ", url_, " stopped: too many redirects");
      break;
    case CURLE_FILESIZE_EXCEEDED:
      log_.warning("HTTP request to ", url_, " stopped: body larger than ",
                   writer_.maxBodyBytes(), " bytes");
      break;
    default:
      break;
  }
  writer_.finished(curlCode, status);
}

// ---- Configuration ----------------------------------------------------------

Configuration::Configuration(std::string url, std::unique_ptr<AbstractWriter> writer, Log log)
    : url_(std::move(url)), writer_(std::move(writer)), log_(std::move(log)) {
  CurlGlobalEnv::Instance(log_);
  std::string lowered = url_;
  std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lowered.find("https") != std::string::npos) setOption(CURLOPT_SSL_VERIFYPEER, 1L);
}

Configuration::~Configuration() {
  std::lock_guard lock(mutex_);
  for (auto& [code, option] : options_) {
    if (auto* list = dynamic_cast<Option<curl_slist*>*>(option.get())) {
      curl_slist_free_all(list->value);
      list->value = nullptr;
    }
  }
  options_.clear();
  writer_.reset();
}

const std::string& Configuration::GetName() const { return kConfigurationName; }

Configuration& Configuration::addOption(CURLoption option, std::unique_ptr<AbstractOption> value) {
  std::lock_guard lock(mutex_);
  options_.emplace_back(option, std::move(value));
  return *this;
}

Configuration& Configuration::setOption(CURLoption option, const char* value) {
  return addOption(option, std::make_unique<Option<std::string>>(value != nullptr ? value : ""));
}
Configuration& Configuration::setOption(CURLoption option, const std::string& value) {
  return addOption(option, std::make_unique<Option<std::string>>(value));
}
Configuration& Configuration::setOption(CURLoption option, long value) {
  return addOption(option, std::make_unique<Option<long>>(value));
}
Configuration& Configuration::setOption(CURLoption option, void* value) {
  return addOption(option, std::make_unique<Option<void*>>(value));
}
Configuration& Configuration::setOption(CURLoption option, curl_slist* value) {
  return addOption(option, std::make_unique<Option<curl_slist*>>(value));
}

std::vector<CURLoption> Configuration::optionCodes() {
  std::lock_guard lock(mutex_);
  std::vector<CURLoption> codes;
  for (const auto& entry : options_) codes.push_back(entry.first);
  return codes;
}

Configuration& Configuration::setJsonPost(const std::string& body) {
  curl_slist* headers = nullptr;
  for (const char* line : {"Expect:", "Content-Type: application/json",
                           "Accept: application/json", "charsets: utf-8"}) {
    curl_slist* grown = curl_slist_append(headers, line);
    if (grown == nullptr) {
      curl_slist_free_all(headers);
      throw Exception(this, "setJsonPost", "Could not create correct Http Headers");
    }
    headers = grown;
  }
  setOption(CURLOPT_HTTPHEADER, headers);
  setOption(CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  setOption(CURLOPT_COPYPOSTFIELDS, body);
  return *this;
}

std::unique_ptr<Request> Configuration::configure(const TransferLimits& limits) {
  auto request = std::make_unique<Request>(url_, *writer_, log_, limits);
  std::lock_guard lock(mutex_);
  for (const auto& [code, option] : options_) {
    AbstractOption* o = option.get();
    if (auto* l = dynamic_cast<Option<long>*>(o)) {
      request->setOption(code, l->value);
    } else if (auto* s = dynamic_cast<Option<std::string>*>(o)) {
      request->setOption(code, s->value);
    } else if (auto* p = dynamic_cast<Option<void*>*>(o)) {
      request->setOption(code, p->value);
    } else if (auto* h = dynamic_cast<Option<curl_slist*>*>(o)) {
      request->setOption(code, h->value);
    } else {
      throw Exception(this, "configure", "Invalid configuration type");
    }
  }
  return request;
}

// ---- CurlGlobalEnv ----------------------------------------------------------

CurlGlobalEnv& CurlGlobalEnv::Instance(const Log& log) {
  // Created once (thread-safe) and never destroyed: requests may still run
  // on other threads while the process exits, so libcurl is never cleaned up.
  static CurlGlobalEnv* instance = new CurlGlobalEnv(log);
  return *instance;
}

CurlGlobalEnv::CurlGlobalEnv(const Log& log) : log_(log) {
  curl_global_init(CURL_GLOBAL_ALL);
  const curl_version_info_data* info = curl_version_info(CURLVERSION_FOURTH);
  if (info != nullptr) {
    log_.info("Initialized CURL version ", info->version, ", having SSL: ", info->ssl_version);
  } else {
    log_.warning("Could not initialize CURL");
  }
}

CurlGlobalEnv::~CurlGlobalEnv() { curl_global_cleanup(); }

const std::string& CurlGlobalEnv::GetName() const { return kGlobalEnvName; }

}  // namespace Http
}  // namespace tembrolexinsdk
