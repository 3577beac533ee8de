// HttpTestServer: a real HTTP/1.1 server on 127.0.0.1 for tests, on an
// ephemeral port, with replies scripted per route.
//
//   tltest::HttpTestServer server;                       // plain HTTP
//   server.route("/list", tltest::replyWith(200, "[]"));   // every GET/POST/...
//   server.route("PUT", "/up", tltest::replyWith(201));    // only PUT /up
//   server.script("/retry", {tltest::replyWith(500), tltest::replyWith(200, "ok")});
//   server.route("/zip", tltest::replyWith(200, "PK..").header("Content-Type", "x/y"));
//   ... make requests to server.url("/list") ...
//   server.awaitRequests(2);                             // real-time wait, 10 s cap
//   auto log = server.requests();                        // every request so far
//
// Routes match on the path without the query; a route with a method wins over
// one without. A script hands out its replies in order and repeats the last.
// A handler computes the reply from the request. Unknown paths get 404 with an
// empty body.
//
// Reply kinds (HttpReply::kind):
//   kNormal            status line, headers, Content-Length and the body;
//   kPartialThenClose  the headers announce the whole body, but only the first
//                      `partialBytes` bytes are sent before the connection closes
//                      (libcurl: 18, partial file);
//   kCloseWithoutReply the connection closes once the request is read (libcurl:
//                      52, empty reply);
//   kHang              the request is read, then nothing is sent until the
//                      server is stopped or releaseHangs() is called, after
//                      which the connection closes without a reply;
//   kEndless           a chunked body that never ends: `body` (64 KiB of 'x'
//                      when empty) again and again, as fast as the client
//                      reads, until the client leaves or the server stops;
//   kDrip              a chunked body that never ends: one byte of `body`
//                      ('x' when empty) every `dripInterval`.
// `delay` waits (in real time, interruptible by stop) before anything is sent.
// A redirect is a normal reply with a Location header (redirectReply); one
// that names its own path is a redirect loop.
//
// Requests: bodies with Content-Length or chunked transfer coding are read and
// de-chunked; "Expect: 100-continue" gets "HTTP/1.1 100 Continue" first unless
// Options::sendContinue is false. Every complete request is logged, also those
// answered with kHang or kCloseWithoutReply. Each reply closes its connection
// ("Connection: close").
//
// TLS: Options::tls makes the server speak HTTPS with a self-signed
// certificate for 127.0.0.1 and localhost, generated at construction;
// caFile() is a PEM file of that certificate for libcurl's CURLOPT_CAINFO.
// Without it a client sees an untrusted certificate (libcurl: 60).
//
// closedPort() gives a port on 127.0.0.1 where nothing listens (libcurl: 7).
//
// Thread safety: every operation may be called from any thread while the
// server runs. Each connection has its own thread; the destructor stops
// accepting, releases hanging and delayed replies and joins every thread.
#ifndef TL_TESTS_SUPPORT_HTTP_TEST_SERVER_H_
#define TL_TESTS_SUPPORT_HTTP_TEST_SERVER_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tltest {

struct HttpReply {
  enum class Kind { kNormal, kPartialThenClose, kCloseWithoutReply, kHang, kEndless, kDrip };

  int status = 200;
  // Extra header lines, sent in this order after the status line.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::chrono::milliseconds delay{0};
  Kind kind = Kind::kNormal;
  // kPartialThenClose: body bytes sent before closing.
  std::size_t partialBytes = 0;
  // kDrip: the wait between two bytes.
  std::chrono::milliseconds dripInterval{1000};

  // Chainable additions: a header line, a delay before replying.
  HttpReply& header(const std::string& name, const std::string& value) {
    headers.emplace_back(name, value);
    return *this;
  }
  HttpReply& after(std::chrono::milliseconds wait) {
    delay = wait;
    return *this;
  }
};

// Shorthands for the reply kinds.
HttpReply replyWith(int status, std::string body = std::string());
HttpReply hangingReply();
HttpReply droppedReply();  // closes without a reply
HttpReply partialReply(std::string body, std::size_t sentBytes);
HttpReply endlessReply();
HttpReply dripReply(std::chrono::milliseconds interval);
// 302 with "Location: <location>".
HttpReply redirectReply(const std::string& location);

struct HttpRecordedRequest {
  std::string method;
  std::string target;  // as sent: path and query
  std::string path;    // target without the query
  std::vector<std::pair<std::string, std::string>> headers;  // as sent, in order
  std::string body;    // de-chunked
  bool chunked = false;
  bool expectContinue = false;

  // Value of the first header of that name (case-insensitive), or "".
  std::string header(const std::string& name) const;
  bool hasHeader(const std::string& name) const;
};

class HttpTestServer {
 public:
  struct Options {
    bool tls = false;
    bool sendContinue = true;
  };
  using Handler = std::function<HttpReply(const HttpRecordedRequest&)>;

  HttpTestServer();
  explicit HttpTestServer(Options options);
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" (or https) + path.
  std::string url(const std::string& path = "/") const;
  // TLS only: PEM file of the server's certificate.
  const std::string& caFile() const { return caFile_; }

  void route(const std::string& path, HttpReply reply);
  void route(const std::string& method, const std::string& path, HttpReply reply);
  void script(const std::string& path, std::vector<HttpReply> replies);
  // handle("*", ...) answers every request that no other route takes.
  void handle(const std::string& path, Handler handler);

  std::vector<HttpRecordedRequest> requests() const;
  std::size_t requestCount() const;
  // Waits until at least `count` requests were logged; false after `timeout`.
  bool awaitRequests(std::size_t count,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Lets every connection that hangs (now or later) close.
  void releaseHangs();
  // Stops accepting and ends every connection; the destructor calls it.
  void stop();

  // A port on 127.0.0.1 where nothing listens.
  static uint16_t closedPort();

 private:
  struct Tls;
  struct Connection;

  void acceptLoop();
  void serve(int fd);
  void serveEndless(Connection& conn, const HttpReply& reply);
  HttpReply replyFor(const HttpRecordedRequest& request);
  // Waits until `deadline` or until stopping (or released, for hangs).
  void waitInterruptibly(std::chrono::steady_clock::time_point deadline, bool hang);

  Options options_;
  std::unique_ptr<Tls> tls_;
  std::string caFile_;
  std::string tempDir_;
  int listenFd_ = -1;
  int wakePipe_[2] = {-1, -1};
  uint16_t port_ = 0;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  bool released_ = false;
  std::map<std::string, Handler> routes_;  // key: "METHOD path" or " path"
  std::vector<HttpRecordedRequest> log_;
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};

}  // namespace tltest

#endif  // TL_TESTS_SUPPORT_HTTP_TEST_SERVER_H_
