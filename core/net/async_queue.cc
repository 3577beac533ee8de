#include "core/net/async_queue.h"

#include <climits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinsdk {
namespace Http {

namespace {

// Never destroyed (threads still running at exit may use them).
const std::string& kQueueName = *new std::string("HttpAsyncQueue");
const std::string& kMultiName = *new std::string("HttpMultiRequest");

// The longest single wait for libcurl's sockets.
constexpr int kMaxWaitMs = 1000;

constexpr char kUnknownId[] = "map::at:  key not found";
constexpr char kCannotReplace[] = "Cannot replace an event that is currently in progress";
constexpr char kCannotCancel[] = "Cannot cancel an event currently in progress";

}  // namespace

// ---- QueueElement -------------------------------------------------------------

std::atomic<int> QueueElement::idCounter{1};

int QueueElement::nextId() {
  const int id = idCounter.fetch_add(1);
  int expected = INT_MAX;
  idCounter.compare_exchange_strong(expected, 0);
  return id;
}

QueueElement::QueueElement(std::unique_ptr<Configuration> configuration, int performSettings,
                           Log log, const std::function<void(int)>& onConfigure,
                           const std::function<void(int)>& onPerform)
    : id_(nextId()),
      configuration_(std::move(configuration)),
      log_(std::move(log)),
      configureEvent_([onConfigure, id = id_] { onConfigure(id); }, std::chrono::milliseconds(0),
                      TimingEvent::kAutoId, TimingEvent::kOneShotRemove),
      performEvent_([onPerform, id = id_] { onPerform(id); }, std::chrono::milliseconds(0),
                    TimingEvent::kAutoId, performSettings) {}

void QueueElement::configure(const TransferLimits& limits) {
  request_ = configuration_->configure(limits);
}

int QueueElement::perform() { return request_ ? request_->perform() : -1; }

// ---- MultiRequest -------------------------------------------------------------

MultiRequest::MultiRequest(AsyncQueue* queue, const std::list<Request*>& requests,
                           std::function<void()> done)
    : queue_(queue), done_(std::move(done)) {
  multi_ = curl_multi_init();
  if (multi_ == nullptr) throw Exception(this, "MultiRequest", "Could not init multi handle");
  for (Request* request : requests) {
    if (curl_multi_add_handle(multi_, request->handle()) != CURLM_OK) {
      throw Exception(this, "MultiRequest", "Could not add easy handle to the multi handle");
    }
    requests_.push_back(request);
  }
}

MultiRequest::~MultiRequest() {
  if (multi_ == nullptr) return;
  // Handles still attached (a batch that ended early) leave before cleanup.
  for (Request* request : requests_) curl_multi_remove_handle(multi_, request->handle());
  curl_multi_cleanup(multi_);
}

const std::string& MultiRequest::GetName() const { return kMultiName; }

void MultiRequest::finish(CURL* easy, int result) {
  for (auto it = requests_.begin(); it != requests_.end(); ++it) {
    if ((*it)->handle() != easy) continue;
    Request* request = *it;
    requests_.erase(it);
    curl_multi_remove_handle(multi_, easy);
    try {
      request->performed(result);
    } catch (const std::exception& e) {
      queue_->log_.warning("Exception in a completion function of a batch: ", e.what());
    } catch (...) {
      queue_->log_.warning("Unknown exception in a completion function of a batch");
    }
    return;
  }
  curl_multi_remove_handle(multi_, easy);
}

void MultiRequest::perform() {
  int running = -1;
  for (;;) {
    CURLMcode code;
    do {
      code = curl_multi_perform(multi_, &running);
    } while (code == CURLM_CALL_MULTI_PERFORM);
    if (code != CURLM_OK) {
      // The multi handle is unusable: every unfinished transfer has failed.
      queue_->log_.warning("Batch of requests failed: ", curl_multi_strerror(code));
      while (!requests_.empty()) finish(requests_.front()->handle(), CURLE_FAILED_INIT);
      return;
    }
    int waiting = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &waiting)) {
      if (message->msg == CURLMSG_DONE) {
        finish(message->easy_handle, static_cast<int>(message->data.result));
      }
    }
    if (running < 1 || requests_.empty()) return;

    long timeout = -1;
    curl_multi_timeout(multi_, &timeout);
    if (timeout == 0) continue;
    if (timeout < 0 || timeout > kMaxWaitMs) timeout = kMaxWaitMs;
    // poll-based: no limit on descriptor numbers, and it waits (up to the
    // time-out) even when libcurl has no descriptor yet.
    curl_multi_poll(multi_, nullptr, 0, static_cast<int>(timeout), nullptr);
  }
}

// ---- AsyncQueue ---------------------------------------------------------------

// Lets the elements that hold() took go when it leaves scope.
struct AsyncQueue::Release {
  AsyncQueue* queue;
  const std::vector<int>& held;
  ~Release() { queue->release(held); }
};

AsyncQueue::AsyncQueue(bool startNow, Log log, TransferLimits limits, const Clock& clock)
    : log_(std::move(log)), limits_(limits), clock_(clock), timing_(true, clock_) {
  CurlGlobalEnv::Instance(log_);
  limits_.abort = &aborting_;
  if (startNow) {
    {
      std::lock_guard lock(mutex_);
      startTime_ = clock_.steadyNow();
    }
    timing_.start(std::chrono::milliseconds(0));
  }
}

AsyncQueue::~AsyncQueue() {
  // A running transfer ends at once; the Timing member, destroyed next,
  // joins the thread, and only then do the elements go.
  aborting_.store(true);
}

const std::string& AsyncQueue::GetName() const { return kQueueName; }

std::function<void()> AsyncQueue::guarded(std::function<void()> function) {
  return [this, function = std::move(function)] {
    try {
      function();
    } catch (const std::exception& e) {
      log_.warning("Exception on the queue thread: ", e.what());
    } catch (...) {
      log_.warning("Unknown exception on the queue thread");
    }
  };
}

void AsyncQueue::start(std::chrono::milliseconds delay) {
  {
    std::lock_guard lock(mutex_);
    startTime_ = clock_.steadyNow() + delay;
  }
  timing_.start(-delay);
}

void AsyncQueue::stop() { timing_.stop(); }

int AsyncQueue::addRequest(std::unique_ptr<Configuration> configuration, requestTiming timing,
                           int performSettings) {
  auto element = std::make_unique<QueueElement>(
      std::move(configuration), performSettings, log_,
      [this](int id) { guarded([this, id] { configureElement(id); })(); },
      [this](int id) { guarded([this, id] { performElement(id); })(); });
  const int id = element->id();
  const TimingEvent configureEvent = element->configureEvent();
  {
    std::lock_guard lock(mutex_);
    elements_[id] = std::move(element);
  }
  // Registered after the element is in the map, which the event looks up.
  timing_.registerEvent(configureEvent);
  if (timing == Immediate) perform(id);
  return id;
}

void AsyncQueue::configureElement(int id) {
  QueueElement* element = nullptr;
  {
    std::lock_guard lock(mutex_);
    auto it = elements_.find(id);
    if (it == elements_.end()) return;
    element = it->second.get();
    if (element->request_) {
      log_.error("Reconfiguring a request - this shouldn't happen");
      return;
    }
  }
  // The element cannot go away meanwhile: remove() refuses while this event
  // runs. Building happens outside the map's lock.
  try {
    TransferLimits limits;
    {
      std::lock_guard lock(mutex_);
      limits = limits_;
    }
    std::unique_ptr<Request> request = element->configuration_->configure(limits);
    std::lock_guard lock(mutex_);
    element->request_ = std::move(request);
  } catch (const std::exception& e) {
    log_.warning("Could not configure Http Request, invalid configuration. Exception: ",
                 e.what());
  } catch (...) {
    log_.warning("Could not configure Http Request, invalid configuration");
  }
}

void AsyncQueue::performElement(int id) {
  Request* request = nullptr;
  {
    std::lock_guard lock(mutex_);
    auto it = elements_.find(id);
    if (it == elements_.end()) return;
    request = it->second->request_.get();
  }
  if (request != nullptr) request->perform();
}

void AsyncQueue::setLimits(TransferLimits limits) {
  std::lock_guard lock(mutex_);
  limits.abort = &aborting_;
  limits_ = limits;
}

void AsyncQueue::perform(int id) {
  std::unique_ptr<TimingEvent> event;
  {
    std::lock_guard lock(mutex_);
    auto it = elements_.find(id);
    if (it == elements_.end()) throw std::out_of_range(kUnknownId);
    // Held by a running perform(ids, done): the request is being performed.
    if (it->second->batches_ > 0) throw std::invalid_argument(kCannotReplace);
    event = std::make_unique<TimingEvent>(it->second->performEvent());
  }
  // Throws invalid_argument while the request's own perform event runs.
  timing_.registerEvent(*event);
}

void AsyncQueue::perform(const std::list<int>& ids, std::function<void()> done) {
  bool single = false;
  if (ids.size() == 1) {
    std::lock_guard lock(mutex_);
    single = elements_.count(ids.front()) != 0;
  }
  if (single) {
    timing_.registerEvent(TimingEvent(guarded([this, ids, done] {
                                         std::vector<int> held;
                                         const std::list<Request*> requests = hold(ids, held);
                                         {
                                           Release release{this, held};
                                           for (Request* request : requests) request->perform();
                                         }
                                         if (done) done();
                                       }),
                                       std::chrono::milliseconds(0), TimingEvent::kAutoId,
                                       TimingEvent::kOneShotRemove));
    return;
  }
  timing_.registerEvent(TimingEvent(guarded([this, ids, done] { performBatch(ids, done); }),
                                     std::chrono::milliseconds(0), TimingEvent::kAutoId,
                                     TimingEvent::kOneShotRemove));
}

std::list<Request*> AsyncQueue::hold(const std::list<int>& ids, std::vector<int>& held) {
  std::list<Request*> requests;
  std::lock_guard lock(mutex_);
  for (int id : ids) {
    auto it = elements_.find(id);
    if (it == elements_.end() || !it->second->request_) continue;
    requests.push_back(it->second->request_.get());
    ++it->second->batches_;
    held.push_back(id);
  }
  return requests;
}

void AsyncQueue::release(const std::vector<int>& held) {
  std::lock_guard lock(mutex_);
  for (int id : held) {
    auto it = elements_.find(id);
    if (it != elements_.end()) --it->second->batches_;
  }
}

void AsyncQueue::performBatch(const std::list<int>& ids, const std::function<void()>& done) {
  // The elements stay held until the batch has ended, also when it ends by
  // an exception.
  std::vector<int> held;
  const std::list<Request*> requests = hold(ids, held);
  Release release{this, held};

  {
    MultiRequest batch(this, requests, done);
    batch.perform();
  }
  if (done) registerFunction(done, std::chrono::milliseconds(0));
}

void AsyncQueue::registerFunction(std::function<void()> function, std::chrono::milliseconds delay) {
  std::chrono::steady_clock::time_point start;
  {
    std::lock_guard lock(mutex_);
    start = startTime_;
  }
  const auto time =
      std::chrono::duration_cast<std::chrono::milliseconds>(clock_.steadyNow() - start) + delay;
  timing_.registerEvent(TimingEvent(guarded(std::move(function)), time, TimingEvent::kAutoId,
                                     TimingEvent::kOneShotRemove));
}

void AsyncQueue::remove(int id) {
  std::unique_ptr<QueueElement> doomed;
  {
    std::lock_guard lock(mutex_);
    auto it = elements_.find(id);
    if (it == elements_.end()) throw std::out_of_range(kUnknownId);
    if (it->second->batches_ > 0) throw std::invalid_argument(kCannotCancel);
    // The build event first: when it runs, nothing is cancelled. Once the
    // perform event runs, the build event has long gone.
    timing_.cancelEvent(it->second->configureEvent());
    timing_.cancelEvent(it->second->performEvent());
    doomed = std::move(it->second);
    elements_.erase(it);
  }
}

std::size_t AsyncQueue::size() const {
  std::lock_guard lock(mutex_);
  return elements_.size();
}

}  // namespace Http
}  // namespace tembrolexinsdk
