// FakeTransport: a scripted IHttpTransport for the retry logic. Every
// connection is recorded with what it would send; the test answers the
// connection of its choice, on its own thread (the main thread), through the
// same delegate calls a real transfer makes. `refuseNext` makes the next
// createConnection fail (no connection can be made).
#ifndef TL_TESTS_PLATFORM_NET_FAKE_TRANSPORT_H_
#define TL_TESTS_PLATFORM_NET_FAKE_TRANSPORT_H_

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net/http_transport.h"

namespace tltest {

class FakeTransport final : public tembrolexinplatform::IHttpTransport {
 public:
  struct Connection final : tembrolexinplatform::IHttpConnection {
    tembrolexinplatform::HttpRequestSpec desc;
    std::weak_ptr<tembrolexinplatform::IHttpConnectionDelegate> delegate;
    std::atomic<bool> started{false};
    std::atomic<bool> cancelled{false};
    void start() override { started = true; }
    void cancel() override { cancelled = true; }
    bool live() const { return started && !cancelled; }

    // A whole answer: head, body, end.
    void respond(int status, tembrolexinplatform::HttpHeaders headers = {}, std::string body = {}) {
      auto d = delegate.lock();
      if (!d || cancelled) return;
      tembrolexinplatform::HttpResponseHead head;
      head.statusCode = status;
      head.headers = std::move(headers);
      d->connectionDidReceiveResponse(head);
      if (!body.empty()) d->connectionDidReceiveData(body);
      d->connectionDidFinishLoading();
    }
    // A 200 from the maker's server.
    void ok() { respond(200, {{"Tembrolexin", "1"}}); }
    void fail(int code, const std::string& text = "failed") {
      auto d = delegate.lock();
      if (d && !cancelled) d->connectionDidFailWithError(code, text);
    }
  };

  std::shared_ptr<tembrolexinplatform::IHttpConnection> createConnection(
      const tembrolexinplatform::HttpRequestSpec& desc,
      std::weak_ptr<tembrolexinplatform::IHttpConnectionDelegate> delegate) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (refuseNext) {
      refuseNext = false;
      return nullptr;
    }
    auto c = std::make_shared<Connection>();
    c->desc = desc;
    c->delegate = std::move(delegate);
    connections.push_back(c);
    return c;
  }

  // The connections started and neither answered nor cancelled.
  std::vector<std::shared_ptr<Connection>> live() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::shared_ptr<Connection>> out;
    for (auto& c : connections) {
      if (c->live() && c->delegate.lock()) out.push_back(c);
    }
    return out;
  }
  std::shared_ptr<Connection> last() {
    std::lock_guard<std::mutex> lock(mutex);
    return connections.empty() ? nullptr : connections.back();
  }
  std::size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return connections.size();
  }

  std::mutex mutex;
  std::vector<std::shared_ptr<Connection>> connections;
  bool refuseNext = false;
};

}  // namespace tltest

#endif  // TL_TESTS_PLATFORM_NET_FAKE_TRANSPORT_H_
