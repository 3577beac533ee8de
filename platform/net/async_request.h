// TLAsyncRequest: one HTTP request of the network manager. It turns its form
// parameters into a multipart POST body, sends it over a connection of its
// transport, reads the answer (status, the "Server-Time" and
// "NextUploadAttempt" headers, the body) and hands itself back, exactly once
// per start that is not cancelled, to its completion delegate (the network
// manager), which decides on retries. A retry is always a new request built
// from the old one's URL, method, parameters and delegates.
//
// Each start adds "tl_nettype" (when a network-type source is set),
// "upload_attempt" and "max_upload_attempts" to a copy of the parameters and
// stamps "tl_upload_ts" (when present) with the time of that attempt. The
// body is written in the parameters' order with the boundary "*.*.*.*.*":
// text values as plain parts, TLUploadFile values as file parts with the
// file's bytes (labelled application/x-gzip), other values left out.
//
// A request to the maker's own server (tembrolexinRequest, the default) turns
// a 200 without the "Tembrolexin" header into 503 "Tembrolexin header not
// received from server", and takes the server's "NextUploadAttempt" as the
// attempt number of the next try.
//
// The body is held in memory up to Context::maxBodyBytes; a longer one ends
// the request as a failure, -1103 "resource exceeds maximum size", whatever
// the transport lets through.
//
// Ownership: the request holds its owner, network-type source, completion
// delegate and queue weakly (the queue owns the request). It owns its
// connection; destroying or cancelling the request drops it, and no callback
// of that connection reaches anyone afterwards.
//
// Thread safety: every operation may be called from any thread; the fields
// are guarded by the request's own lock, which is never held while the
// completion delegate or the network-type source runs, nor while a line goes
// to the log (the app's log delegate may call exit()). Connection callbacks
// come on the transport's callback queue (the main queue); the completion for
// a connection that cannot be created comes at once on the starting thread.
#ifndef TL_PLATFORM_NET_ASYNC_REQUEST_H_
#define TL_PLATFORM_NET_ASYNC_REQUEST_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"
#include "platform/net/http_transport.h"

namespace tembrolexinplatform {

// One file to upload: its folder, its name with extension and its sequence
// number. Immutable.
class TLUploadFile {
 public:
  // Splits `filePath` into the folder (without the last component) and the
  // last component.
  TLUploadFile(const std::string& filePath, int64_t sequenceNumber);

  const std::string& path() const { return path_; }
  const std::string& name() const { return name_; }
  int64_t sequenceNumber() const { return sequenceNumber_; }
  // path + "/" + name.
  std::string fullPath() const;
  // No upload file carries a time-change offset.
  std::optional<int64_t> getTimeChangeOffset() const { return std::nullopt; }

  friend bool operator==(const TLUploadFile&, const TLUploadFile&) = default;

 private:
  std::string path_;
  std::string name_;
  int64_t sequenceNumber_;
};

// A form value: text, an upload file, or a boolean number (which never
// reaches a body).
using FormValue = std::variant<std::string, TLUploadFile, bool>;

// Form parameters: keys in insertion order; setting an existing key replaces
// its value in place. A value type; copy freely.
class FormParams {
 public:
  FormParams() = default;
  FormParams(std::initializer_list<std::pair<std::string, FormValue>> entries);

  void set(const std::string& key, FormValue value);
  const FormValue* get(const std::string& key) const;
  // The text under `key`, or null when absent or not text.
  const std::string* text(const std::string& key) const;
  bool contains(const std::string& key) const { return get(key) != nullptr; }
  std::size_t size() const { return entries_.size(); }
  const std::vector<std::pair<std::string, FormValue>>& entries() const { return entries_; }

 private:
  std::vector<std::pair<std::string, FormValue>> entries_;
};

// The multipart boundary of every upload body.
inline constexpr char kMultipartBoundary[] = "*.*.*.*.*";

// The body for `params` as described above; file parts read the file now
// (an unreadable file gives an empty content).
std::string buildMultipartBody(const FormParams& params);

// The bytes of the regular file at `path`; none when it cannot be read (also
// for folders, pipes and devices, which are never opened for reading).
std::optional<std::string> readFileBytes(const std::string& path);

// `wallMicros` (microseconds since 1970) as "yyyy-MM-dd HH:mm:ss" in UTC;
// nothing gives "0000-00-00 00:00:00 UTC".
std::string formatUploadDate(std::optional<int64_t> wallMicros);

class TLAsyncRequest;

// The owner of an upload: told the final outcome, and each failed attempt
// that is retried. Called on the main queue (or at once on the queueing
// thread when a connection cannot be made).
class TLNetworkManagerDelegate {
 public:
  virtual ~TLNetworkManagerDelegate() = default;
  virtual void requestComplete(const std::string& url, const FormParams& params, int32_t responseCode,
                               const std::string& responseMessage, const std::string& receivedData,
                               const std::string& serverTime) = 0;
  virtual void requestFailed(const std::string& url, const FormParams& params, int32_t responseCode,
                             const std::string& responseMessage, const std::string& receivedData,
                             const std::string& serverTime) = 0;
};

// The source of the current connection type (1, 2, or anything else).
class TLNetworkTypeDelegate {
 public:
  virtual ~TLNetworkTypeDelegate() = default;
  virtual int32_t currentConnectionType() = 0;
};

class TLAsyncRequestDelegate {
 public:
  virtual ~TLAsyncRequestDelegate() = default;
  virtual void requestComplete(const std::shared_ptr<TLAsyncRequest>& request) = 0;
};

// The queue that holds a request (defined by the network manager).
class TLUploadQueue {
 public:
  virtual ~TLUploadQueue() = default;
};

class TLAsyncRequest final : public std::enable_shared_from_this<TLAsyncRequest> {
 public:
  struct Context {
    std::shared_ptr<IHttpTransport> transport;
    const tembrolexinsdk::Clock* clock = &tembrolexinsdk::Clock::real();
    // The largest answer body kept; replies to uploads are short.
    std::size_t maxBodyBytes = 4 * 1024 * 1024;
  };

  // Prefer create(); stores every argument; uploadAttempt and
  // responseAttempt = attempt, tembrolexinRequest = true.
  TLAsyncRequest(Context context, std::string url, std::string requestType, FormParams params,
                 std::weak_ptr<TLNetworkManagerDelegate> netMgrDelegate,
                 std::weak_ptr<TLNetworkTypeDelegate> networkTypeDelegate,
                 std::weak_ptr<TLAsyncRequestDelegate> delegate,
                 std::weak_ptr<TLUploadQueue> queue, int32_t attempt, int32_t maxAttempts);
  // Cancels the connection.
  ~TLAsyncRequest();
  TLAsyncRequest(const TLAsyncRequest&) = delete;
  TLAsyncRequest& operator=(const TLAsyncRequest&) = delete;

  template <typename... Args>
  static std::shared_ptr<TLAsyncRequest> create(Args&&... args) {
    return std::make_shared<TLAsyncRequest>(std::forward<Args>(args)...);
  }

  // Builds the body and starts a new connection; a connection that cannot be
  // created completes the request at once with -1 "HTTP connection failed".
  void startRequest();
  // Drops the connection and the received data; no completion follows.
  void cancelRequest();

  // The URL, method, headers and body that a start now would send.
  HttpRequestSpec buildRequestSpec() const;

  bool tembrolexinRequest() const;
  void setTembrolexinRequest(bool value);
  int32_t responseCode() const;
  void setResponseCode(int32_t code);
  int32_t responseAttempt() const;
  int32_t uploadAttempt() const;
  int32_t maxUploadAttempts() const;
  std::string requestUrl() const;
  void setRequestUrl(std::string url);
  const std::string& requestType() const { return requestType_; }
  FormParams requestParams() const;
  void setRequestParams(FormParams params);
  std::string receivedData() const;
  void setReceivedData(std::string data);
  std::string responseMsg() const;
  std::string serverTime() const;
  bool hasConnection() const;
  // The server path of an upload queued before the server URL was known;
  // the manager forms the URL from it when the request is first sent.
  std::string uploadPath() const;
  void setUploadPath(std::string path);
  const std::weak_ptr<TLNetworkManagerDelegate>& netMgrDelegate() const { return netMgrDelegate_; }
  const std::weak_ptr<TLNetworkTypeDelegate>& netTypeDelegate() const { return netTypeDelegate_; }
  const std::weak_ptr<TLUploadQueue>& requestQueue() const { return queue_; }

 private:
  class Sink;
  friend class Sink;
  void onResponse(uint64_t generation, const HttpResponseHead& head);
  void onData(uint64_t generation, const std::string& data);
  void onFailure(uint64_t generation, int32_t code, const std::string& description);
  void onFinish(uint64_t generation);
  void complete();
  void cancelLocked();

  const Context context_;
  const std::string requestType_;
  const std::weak_ptr<TLNetworkManagerDelegate> netMgrDelegate_;
  const std::weak_ptr<TLNetworkTypeDelegate> netTypeDelegate_;
  const std::weak_ptr<TLAsyncRequestDelegate> delegate_;
  const std::weak_ptr<TLUploadQueue> queue_;
  const int32_t uploadAttempt_;
  const int32_t maxUploadAttempts_;

  mutable tembrolexin::Mutex mutex_;
  std::string requestUrl_;
  FormParams requestParams_;
  bool tembrolexinRequest_ = true;
  int32_t responseCode_ = 0;
  int32_t responseAttempt_;
  std::string receivedData_;
  std::string responseMsg_;
  std::string serverTime_;
  std::string uploadPath_;
  int64_t expectedLength_ = -1;
  std::shared_ptr<IHttpConnection> connection_;
  std::shared_ptr<Sink> sink_;
  // Bumped by every start and cancel; callbacks of older connections are
  // ignored.
  uint64_t generation_ = 0;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_NET_ASYNC_REQUEST_H_
