// Http::AsyncQueue: runs HTTP requests on a thread of its own, so callers
// never wait for the network.
//
//   Http::AsyncQueue queue(true, log);
//   int id = queue.addRequest(std::move(config), Http::AsyncQueue::Immediate,
//                             TimingEvent::kOneShotRemove);
//   int later = queue.addRequest(std::move(other), Http::AsyncQueue::Deferred, 1);
//   queue.perform(later);                          // one transfer
//   queue.perform({a, b}, [] { /* both ended */ });  // in parallel, then done
//
// Every piece of work is an event of the queue's Timing (catch-up on), run
// one after another on its thread: building a request (at once when added),
// performing it (at once for Immediate, on perform(id) for Deferred), batches
// over libcurl's multi interface, and functions given to registerFunction.
// Completion reaches the caller only through each request's writer and, for
// a batch, the one `done` function, all on the queue's thread.
//
// Events at equal times run in registration order, so a request is built
// before it is performed. A request may be performed again with the same
// writer; finished elements stay until remove() or the queue's destruction.
//
// Failures: a configuration that cannot be built is logged at Warning and its
// writer never hears anything. An exception thrown on the queue's thread (a
// writer callback, a done function, a batch that cannot be set up) is caught,
// logged at Warning, and the request or batch counts as failed (its done is
// not run); the thread goes on. Every transfer has the queue's TransferLimits
// (connect, low-speed and total time, redirects) and its writer's body limit,
// and the destructor aborts a running transfer, so neither the thread nor the
// destruction waits for ever. A request that ends at a bound fails alone: the
// others of its batch go on.
//
// A request is running from the moment its transfer is started (alone or in
// a batch) until its writer has been told and its event has returned. While
// it runs, perform(id) and remove(id) refuse it with std::invalid_argument,
// so a running request is never replaced or freed mid-transfer; a repeat is
// scheduled from another event (registerFunction).
//
// Thread safety: addRequest, perform, remove, registerFunction, start and
// stop may be called from any thread, also from a writer callback on the
// queue's thread. The queue's mutex guards the elements and is never held
// while a request runs. Destruction stops the Timing and joins its thread
// (after the running event returns), then destroys every element; it must
// not happen on the queue's own thread.
#ifndef TL_CORE_NET_ASYNC_QUEUE_H_
#define TL_CORE_NET_ASYNC_QUEUE_H_

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/net/http_request.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"
#include "core/runtime/log.h"
#include "core/runtime/timing.h"

namespace tembrolexinsdk {
namespace Http {

class AsyncQueue;

// One queued request: its configuration (which owns the writer), the request
// once built, and the two events that build and perform it.
class QueueElement {
 public:
  // Ids run 1, 2, ..., 2147483646, 0, 1, ...
  static std::atomic<int> idCounter;

  QueueElement(std::unique_ptr<Configuration> configuration, int performSettings, Log log,
               const std::function<void(int)>& onConfigure,
               const std::function<void(int)>& onPerform);

  int id() const { return id_; }
  // Builds the request (lets exceptions through).
  void configure(const TransferLimits& limits);
  // Performs the request; -1 when there is none.
  int perform();
  Request* request() const { return request_.get(); }

  const TimingEvent& configureEvent() const { return configureEvent_; }
  const TimingEvent& performEvent() const { return performEvent_; }

 private:
  friend class AsyncQueue;

  static int nextId();

  int id_;
  // Declared before the request: the request refers to the writer that the
  // configuration owns, so it is destroyed first.
  std::unique_ptr<Configuration> configuration_;
  std::unique_ptr<Request> request_;
  Log log_;
  TimingEvent configureEvent_;
  TimingEvent performEvent_;
  // Running transfers started by perform(ids, done) (a batch or a single
  // request) that hold this element's request; remove() refuses it meanwhile.
  int batches_ = 0;
};

// A batch of requests performed together on the queue's thread. The requests
// stay owned by their elements.
class MultiRequest : public INamedObject {
 public:
  // Throws Http::Exception ("MultiRequest", ...) when the multi handle cannot
  // be made or a request cannot join it.
  MultiRequest(AsyncQueue* queue, const std::list<Request*>& requests, std::function<void()> done);
  ~MultiRequest() override;
  MultiRequest(const MultiRequest&) = delete;
  MultiRequest& operator=(const MultiRequest&) = delete;

  const std::string& GetName() const override;

  // Runs every transfer to its end, reporting each to its writer as it ends
  // (a writer that throws is logged and the others go on). Does not run done.
  void perform();
  const std::function<void()>& done() const { return done_; }

 private:
  void finish(CURL* easy, int result);

  AsyncQueue* queue_;
  std::list<Request*> requests_;
  std::function<void()> done_;
  CURLM* multi_ = nullptr;
};

class AsyncQueue : public INamedObject {
 public:
  enum requestTiming { Deferred = 0, Immediate = 1 };

  // With startNow the clock starts at 0 at once; otherwise at start().
  // Makes sure of libcurl's process-wide set-up on the calling thread.
  AsyncQueue(bool startNow, Log log, TransferLimits limits = TransferLimits(),
             const Clock& clock = Clock::real());
  ~AsyncQueue() override;
  AsyncQueue(const AsyncQueue&) = delete;
  AsyncQueue& operator=(const AsyncQueue&) = delete;

  const std::string& GetName() const override;

  // Events at time 0 fire `delay` from now.
  void start(std::chrono::milliseconds delay);
  // Stops the clock; events stay and fire after a later start.
  void stop();

  // Takes the configuration; returns the request's id. performSettings: the
  // TimingEvent settings of its perform event (1 stays, 3 removed).
  int addRequest(std::unique_ptr<Configuration> configuration, requestTiming timing,
                 int performSettings);
  // Schedules the request; throws std::out_of_range ("map::at:  key not
  // found") for an unknown id and std::invalid_argument ("Cannot replace an
  // event that is currently in progress") while the request runs, also from
  // inside its own callbacks.
  void perform(int id);
  // Performs the listed requests together (ids not queued, or whose request
  // could not be built, are skipped), then runs `done` on the queue's thread.
  void perform(const std::list<int>& ids, std::function<void()> done);
  // Runs `function` on the queue's thread `delay` after now.
  void registerFunction(std::function<void()> function, std::chrono::milliseconds delay);
  // Cancels and destroys one request (with its configuration and writer).
  // Throws std::out_of_range ("map::at:  key not found") for an unknown id
  // and std::invalid_argument ("Cannot cancel an event currently in
  // progress") while the request is being built or runs, also from inside
  // its own callbacks; the request then stays as it was.
  void remove(int id);

  // Limits for requests built from now on.
  void setLimits(TransferLimits limits);

  // Number of queued elements.
  std::size_t size() const;
  const Log& log() const { return log_; }

 private:
  friend class MultiRequest;

  void configureElement(int id);
  void performElement(int id);
  void performBatch(const std::list<int>& ids, const std::function<void()>& done);
  // Holds the elements of `ids` that have a request against remove() and
  // returns their requests; release() lets them go again.
  std::list<Request*> hold(const std::list<int>& ids, std::vector<int>& held);
  void release(const std::vector<int>& held);
  struct Release;
  // Wraps an event's function so that an exception is logged, not thrown.
  std::function<void()> guarded(std::function<void()> function);

  Log log_;
  TransferLimits limits_;
  const Clock& clock_;
  std::atomic<bool> aborting_{false};
  mutable tembrolexin::Mutex mutex_;
  std::map<int, std::unique_ptr<QueueElement>> elements_;
  std::chrono::steady_clock::time_point startTime_{};
  // Last, so it is destroyed first: its destructor joins the queue's thread
  // while everything that thread's events use is still alive.
  Timing timing_;
};

}  // namespace Http
}  // namespace tembrolexinsdk

#endif  // TL_CORE_NET_ASYNC_QUEUE_H_
