#include "tests/support/http_test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace tltest {
namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  const auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

const char* reasonPhrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

}  // namespace

HttpReply replyWith(int status, std::string body) {
  HttpReply r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

HttpReply hangingReply() {
  HttpReply r;
  r.kind = HttpReply::Kind::kHang;
  return r;
}

HttpReply droppedReply() {
  HttpReply r;
  r.kind = HttpReply::Kind::kCloseWithoutReply;
  return r;
}

HttpReply partialReply(std::string body, std::size_t sentBytes) {
  HttpReply r = replyWith(200, std::move(body));
  r.kind = HttpReply::Kind::kPartialThenClose;
  r.partialBytes = sentBytes;
  return r;
}

HttpReply endlessReply() {
  HttpReply r;
  r.kind = HttpReply::Kind::kEndless;
  return r;
}

HttpReply dripReply(std::chrono::milliseconds interval) {
  HttpReply r;
  r.kind = HttpReply::Kind::kDrip;
  r.dripInterval = interval;
  return r;
}

HttpReply redirectReply(const std::string& location) {
  return replyWith(302).header("Location", location);
}

std::string HttpRecordedRequest::header(const std::string& name) const {
  const std::string key = lower(name);
  for (const auto& [n, v] : headers) {
    if (lower(n) == key) return v;
  }
  return "";
}

bool HttpRecordedRequest::hasHeader(const std::string& name) const {
  const std::string key = lower(name);
  for (const auto& h : headers) {
    if (lower(h.first) == key) return true;
  }
  return false;
}

// The server's TLS context with its generated key and certificate.
struct HttpTestServer::Tls {
  SSL_CTX* ctx = nullptr;
  ~Tls() { SSL_CTX_free(ctx); }
};

// One accepted socket, plain or TLS. Reads give up when the server stops.
struct HttpTestServer::Connection {
  HttpTestServer* server;
  int fd;
  SSL* ssl = nullptr;

  ~Connection() {
    if (ssl != nullptr) {
      SSL_shutdown(ssl);
      SSL_free(ssl);
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  }

  bool stopping() const {
    std::lock_guard<std::mutex> lock(server->mutex_);
    return server->stopping_;
  }

  // Waits for readable data; false when stopping or after 10 s of silence.
  bool waitReadable() {
    if (ssl != nullptr && SSL_pending(ssl) > 0) return true;
    for (int i = 0; i < 200; ++i) {
      if (stopping()) return false;
      pollfd p{fd, POLLIN, 0};
      const int r = ::poll(&p, 1, 50);
      if (r > 0) return true;
      if (r < 0) return false;
    }
    return false;
  }

  // Some bytes into `out`; false at the end of the stream or on failure.
  bool readSome(std::string& out) {
    char buf[4096];
    for (;;) {
      if (!waitReadable()) return false;
      if (ssl != nullptr) {
        const int n = SSL_read(ssl, buf, sizeof buf);
        if (n > 0) {
          out.append(buf, static_cast<std::size_t>(n));
          return true;
        }
        const int err = SSL_get_error(ssl, n);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) continue;
        return false;
      }
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        out.append(buf, static_cast<std::size_t>(n));
        return true;
      }
      return false;
    }
  }

  bool writeAll(const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
      if (ssl != nullptr) {
        const int n = SSL_write(ssl, data.data() + done, static_cast<int>(data.size() - done));
        if (n <= 0) {
          // The TLS socket does not block: wait for room or for the peer.
          const int err = SSL_get_error(ssl, n);
          if ((err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) || stopping()) {
            return false;
          }
          pollfd p{fd, static_cast<short>(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
          ::poll(&p, 1, 50);
          continue;
        }
        done += static_cast<std::size_t>(n);
      } else {
        // Waits for room in slices, so a client that stops reading never
        // keeps the server from stopping.
        pollfd p{fd, POLLOUT, 0};
        const int r = ::poll(&p, 1, 50);
        if (r < 0 || stopping()) return false;
        if (r == 0) continue;
        const ssize_t n =
            ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
      }
    }
    return true;
  }

  // Reads until `buffer` holds at least `size` bytes.
  bool fill(std::string& buffer, std::size_t size) {
    while (buffer.size() < size) {
      if (!readSome(buffer)) return false;
    }
    return true;
  }

  // Reads until `buffer` contains `marker` from `from` on; its position.
  std::size_t fillUntil(std::string& buffer, const std::string& marker, std::size_t from) {
    for (;;) {
      const auto at = buffer.find(marker, from);
      if (at != std::string::npos) return at;
      if (buffer.size() > (1u << 20) || !readSome(buffer)) return std::string::npos;
    }
  }
};

namespace {

// A fresh P-256 key and a self-signed certificate for 127.0.0.1 and
// localhost, valid for a day.
void makeCertificate(EVP_PKEY** keyOut, X509** certOut) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  if (key == nullptr || cert == nullptr) throw std::runtime_error("test certificate: no key");
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(std::rand() & 0x7fffffff));
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
  const std::pair<int, const char*> extensions[] = {
      {NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
      {NID_basic_constraints, "critical,CA:TRUE"},
  };
  for (const auto& [nid, value] : extensions) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    if (ext == nullptr) throw std::runtime_error("test certificate: extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
  if (X509_sign(cert, key, EVP_sha256()) == 0) throw std::runtime_error("test certificate: sign");
  *keyOut = key;
  *certOut = cert;
}

}  // namespace

HttpTestServer::HttpTestServer() : HttpTestServer(Options{}) {}

HttpTestServer::HttpTestServer(Options options) : options_(options) {
  if (options_.tls) {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    makeCertificate(&key, &cert);
    tls_ = std::make_unique<Tls>();
    tls_->ctx = SSL_CTX_new(TLS_server_method());
    const bool ok = tls_->ctx != nullptr && SSL_CTX_use_certificate(tls_->ctx, cert) == 1 &&
                    SSL_CTX_use_PrivateKey(tls_->ctx, key) == 1;
    char dirTemplate[] = "/tmp/tlcert.XXXXXX";
    const char* dir = ok ? mkdtemp(dirTemplate) : nullptr;
    if (dir != nullptr) {
      tempDir_ = dir;
      caFile_ = tempDir_ + "/ca.pem";
      FILE* f = std::fopen(caFile_.c_str(), "w");
      if (f != nullptr) {
        PEM_write_X509(f, cert);
        std::fclose(f);
      }
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!ok || dir == nullptr) throw std::runtime_error("HttpTestServer: TLS set-up failed");
  }

  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 64) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::pipe2(wakePipe_, O_CLOEXEC) != 0) {
    throw std::runtime_error("HttpTestServer: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

HttpTestServer::~HttpTestServer() {
  stop();
  if (listenFd_ >= 0) ::close(listenFd_);
  for (int fd : wakePipe_) {
    if (fd >= 0) ::close(fd);
  }
  if (!tempDir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(tempDir_, ec);
  }
}

void HttpTestServer::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ && !acceptor_.joinable()) return;
    stopping_ = true;
  }
  changed_.notify_all();
  if (wakePipe_[1] >= 0) {
    const char c = 'x';
    [[maybe_unused]] ssize_t n = ::write(wakePipe_[1], &c, 1);
  }
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads.swap(connections_);
  }
  for (auto& t : threads) t.join();
}

std::string HttpTestServer::url(const std::string& path) const {
  return std::string(options_.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
         path;
}

void HttpTestServer::route(const std::string& path, HttpReply reply) {
  route("", path, std::move(reply));
}

void HttpTestServer::route(const std::string& method, const std::string& path, HttpReply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[method + " " + path] = [reply](const HttpRecordedRequest&) { return reply; };
}

void HttpTestServer::script(const std::string& path, std::vector<HttpReply> replies) {
  if (replies.empty()) throw std::invalid_argument("HttpTestServer::script: no replies");
  auto state = std::make_shared<std::pair<std::vector<HttpReply>, std::size_t>>(
      std::move(replies), 0);
  // Called under mutex_, so the counter needs no lock of its own.
  handle(path, [state](const HttpRecordedRequest&) {
    auto& [list, next] = *state;
    const HttpReply& r = list[std::min(next, list.size() - 1)];
    ++next;
    return r;
  });
}

void HttpTestServer::handle(const std::string& path, Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[" " + path] = std::move(handler);
}

std::vector<HttpRecordedRequest> HttpTestServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

std::size_t HttpTestServer::requestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_.size();
}

bool HttpTestServer::awaitRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return log_.size() >= count; });
}

void HttpTestServer::releaseHangs() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
  }
  changed_.notify_all();
}

uint16_t HttpTestServer::closedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  // Bound but never listening: connections to it are refused for as long as
  // the port is not handed out again, which the kernel avoids for a while.
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("HttpTestServer::closedPort: no port");
  }
  ::close(fd);
  return ntohs(addr.sin_port);
}

void HttpTestServer::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    connections_.emplace_back([this, fd] { serve(fd); });
  }
}

HttpReply HttpTestServer::replyFor(const HttpRecordedRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = routes_.find(request.method + " " + request.path);
  if (it == routes_.end()) it = routes_.find(" " + request.path);
  if (it == routes_.end()) it = routes_.find(" *");
  if (it == routes_.end()) {
    HttpReply notFound;
    notFound.status = 404;
    return notFound;
  }
  return it->second(request);
}

void HttpTestServer::waitInterruptibly(std::chrono::steady_clock::time_point deadline, bool hang) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto done = [&] { return stopping_ || (hang && released_); };
  if (hang) {
    changed_.wait(lock, done);
  } else {
    changed_.wait_until(lock, deadline, done);
  }
}

void HttpTestServer::serveEndless(Connection& conn, const HttpReply& reply) {
  std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " +
                     reasonPhrase(reply.status) + "\r\n";
  for (const auto& [n, v] : reply.headers) head += n + ": " + v + "\r\n";
  head += "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
  if (!conn.writeAll(head)) return;
  const bool drip = reply.kind == HttpReply::Kind::kDrip;
  std::string data = reply.body;
  if (data.empty()) data = drip ? std::string("x") : std::string(64 * 1024, 'x');
  if (drip) data.resize(1);
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  const std::string chunk = size + data + "\r\n";
  for (;;) {
    if (conn.stopping() || !conn.writeAll(chunk)) return;
    if (drip) waitInterruptibly(std::chrono::steady_clock::now() + reply.dripInterval, false);
  }
}

void HttpTestServer::serve(int fd) {
  Connection conn{this, fd};
  if (tls_) {
    conn.ssl = SSL_new(tls_->ctx);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    SSL_set_fd(conn.ssl, fd);
    // A client that refuses the certificate ends the handshake here.
    for (;;) {
      const int r = SSL_accept(conn.ssl);
      if (r == 1) break;
      const int err = SSL_get_error(conn.ssl, r);
      if (err == SSL_ERROR_WANT_READ && conn.waitReadable()) continue;
      if (err == SSL_ERROR_WANT_WRITE && !conn.stopping()) {
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 50);
        continue;
      }
      ERR_clear_error();
      return;
    }
  }

  std::string buffer;
  const auto headEnd = conn.fillUntil(buffer, "\r\n\r\n", 0);
  if (headEnd == std::string::npos) return;

  HttpRecordedRequest request;
  {
    const std::string head = buffer.substr(0, headEnd);
    std::size_t lineEnd = head.find("\r\n");
    const std::string first = head.substr(0, lineEnd);
    const auto s1 = first.find(' ');
    const auto s2 = first.find(' ', s1 + 1);
    if (s1 == std::string::npos || s2 == std::string::npos) return;
    request.method = first.substr(0, s1);
    request.target = first.substr(s1 + 1, s2 - s1 - 1);
    request.path = request.target.substr(0, request.target.find('?'));
    while (lineEnd != std::string::npos) {
      const std::size_t start = lineEnd + 2;
      lineEnd = head.find("\r\n", start);
      const std::string line = head.substr(start, lineEnd == std::string::npos
                                                      ? std::string::npos
                                                      : lineEnd - start);
      const auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      request.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
    }
  }
  buffer.erase(0, headEnd + 4);
  request.chunked = lower(request.header("Transfer-Encoding")).find("chunked") != std::string::npos;
  request.expectContinue = lower(request.header("Expect")) == "100-continue";
  if (request.expectContinue && options_.sendContinue &&
      !conn.writeAll("HTTP/1.1 100 Continue\r\n\r\n")) {
    return;
  }

  if (request.chunked) {
    for (;;) {
      const auto sizeEnd = conn.fillUntil(buffer, "\r\n", 0);
      if (sizeEnd == std::string::npos) return;
      const std::size_t size = std::strtoul(buffer.substr(0, sizeEnd).c_str(), nullptr, 16);
      buffer.erase(0, sizeEnd + 2);
      if (size == 0) {
        // Trailers end with an empty line.
        if (conn.fillUntil(buffer, "\r\n", 0) == std::string::npos) return;
        break;
      }
      if (!conn.fill(buffer, size + 2)) return;
      request.body.append(buffer, 0, size);
      buffer.erase(0, size + 2);
    }
  } else {
    const std::string lengthText = request.header("Content-Length");
    const std::size_t length = lengthText.empty() ? 0 : std::strtoull(lengthText.c_str(), nullptr, 10);
    if (!conn.fill(buffer, length)) return;
    request.body = buffer.substr(0, length);
  }

  const HttpReply reply = replyFor(request);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(request);
  }
  changed_.notify_all();

  if (reply.delay.count() > 0) {
    waitInterruptibly(std::chrono::steady_clock::now() + reply.delay, false);
  }
  switch (reply.kind) {
    case HttpReply::Kind::kHang:
      waitInterruptibly({}, true);
      return;
    case HttpReply::Kind::kCloseWithoutReply:
      return;
    case HttpReply::Kind::kEndless:
    case HttpReply::Kind::kDrip:
      serveEndless(conn, reply);
      return;
    case HttpReply::Kind::kNormal:
    case HttpReply::Kind::kPartialThenClose:
      break;
  }
  std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " +
                    reasonPhrase(reply.status) + "\r\n";
  for (const auto& [n, v] : reply.headers) out += n + ": " + v + "\r\n";
  out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  out += "Connection: close\r\n\r\n";
  if (reply.kind == HttpReply::Kind::kPartialThenClose) {
    out += reply.body.substr(0, std::min(reply.partialBytes, reply.body.size()));
  } else {
    out += reply.body;
  }
  conn.writeAll(out);
}

}  // namespace tltest
