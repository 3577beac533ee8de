#include "platform/engines/engine_context.h"

#include <exception>

#include "core/runtime/checked_mutex.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

EngineContext::EngineContext(IThriftMessageReceiver* receiver, std::vector<int32_t> types)
    : receiver_(receiver), types_(std::move(types)) {}

EngineContext::~EngineContext() {
  // The receiver goes with this context: a call of it that the old
  // messenger runs on another thread ends first. Waited for with no lock
  // held.
  const std::shared_ptr<Messenger> old = switchTo(nullptr);
  if (old && receiver_ != nullptr) {
    for (int32_t type : types_) old->waitForCalls(receiver_, type);
  }
}

void EngineContext::setMessenger(std::shared_ptr<Messenger> messenger) {
  switchTo(std::move(messenger));
  sendWaiting();
}

std::shared_ptr<Messenger> EngineContext::switchTo(std::shared_ptr<Messenger> messenger) {
  // The receiver lives on, so a switch never waits for a call the old
  // messenger is making: the app may connect the engine to another decoder
  // from inside a delegate call that that very call waits for. Neither
  // step waits, so the lock is held only for them.
  std::lock_guard switching(switchMutex_);
  std::shared_ptr<Messenger> old;
  {
    std::lock_guard lock(mutex_);
    if (messenger_ == messenger) return nullptr;
    old = messenger_;
    messenger_ = messenger;
  }
  if (receiver_ != nullptr) {
    for (int32_t type : types_) {
      if (old) old->removeReceiver(receiver_, type);
      if (messenger) messenger->registerReceiver(receiver_, type);
    }
  }
  return old;
}

std::shared_ptr<Messenger> EngineContext::messenger() const {
  std::lock_guard lock(mutex_);
  return messenger_;
}

void EngineContext::setDispatcher(Dispatcher* dispatcher) {
  std::lock_guard lock(mutex_);
  dispatcher_ = dispatcher;
}

Dispatcher& EngineContext::dispatcher() const {
  std::lock_guard lock(mutex_);
  return dispatcher_ != nullptr ? *dispatcher_ : Dispatcher::shared();
}

TLDate EngineContext::now() const {
  return TLDate(std::chrono::microseconds(dispatcher().clock().wallMicros()));
}

int64_t EngineContext::upTimeMillis() const { return dispatcher().clock().upTimeMillis(); }

bool EngineContext::setDecoder(std::weak_ptr<IEngineDecoder> decoder) {
  bool changed = false;
  {
    std::lock_guard lock(mutex_);
    changed = decoder_.owner_before(decoder) || decoder.owner_before(decoder_);
    decoder_ = std::move(decoder);
  }
  sendWaiting();
  return changed;
}

std::shared_ptr<IEngineDecoder> EngineContext::decoder() const {
  std::lock_guard lock(mutex_);
  return decoder_.lock();
}

bool EngineContext::configure(const ConfigDictionary& configuration, const char* method) {
  return withDecoder([configuration](IEngineDecoder& d) { d.configure(configuration); }, method);
}

bool EngineContext::withDecoder(std::function<void(IEngineDecoder&)> call, const char* method) {
  return enqueue(Item{std::move(call), nullptr, {}}, method);
}

bool EngineContext::sendMessage(const ::apache::thrift::TBase& message, const std::string& sender,
                                const char* method) {
  std::shared_ptr<const TLThriftParams> envelope = TLThriftParams::initWithMessage(message);
  if (!envelope) return false;  // logged by the envelope
  return enqueue(Item{{}, std::move(envelope), sender}, method);
}

std::size_t EngineContext::waitingCount() const {
  std::lock_guard lock(mutex_);
  return waiting_.size();
}

bool EngineContext::enqueue(Item item, const char* method) {
  std::shared_ptr<IEngineDecoder> decoder;
  std::shared_ptr<Messenger> messenger;
  bool unconnected = false;
  {
    // The Warning reaches the log once the lock is released: the app's log
    // delegate may call back in, or call exit().
    TLLogger::HeldLines held;
    std::lock_guard lock(mutex_);
    // Connected and nothing queued: this caller sends its item itself. An
    // item goes behind the queue while anything waits there, or while a
    // connection sends what waited, so that one thread's items keep their
    // order.
    if (waiting_.empty() && !flushing_) {
      if (item.message) {
        messenger = messenger_;
      } else {
        decoder = decoder_.lock();
      }
    }
    if (!messenger && !decoder) {
      // Only the queue that waits for a connection is bounded: what goes
      // behind a connection's sending is sent by it before it returns.
      unconnected = !flushing_;
      if (unconnected && waiting_.size() >= kMaxWaiting) {
        TLLogger::warnInMethod(method, __LINE__,
                               "%zu settings already wait for a decoder to connect: not kept",
                               waiting_.size());
        return false;
      }
      waiting_.push_back(std::move(item));
    }
  }
  if (messenger || decoder) {
    // No lock is held: the call may log, and the app's log delegate may give
    // this engine another item, which then runs at once, inside this one,
    // as a call of the decoder made from that line would.
    send(item, decoder.get(), messenger.get());
  } else if (unconnected) {
    TLLogger::debugInMethod(method, __LINE__,
                            "Not connected yet: sent once a decoder connects");
  }
  return true;
}

void EngineContext::send(const Item& item, IEngineDecoder* decoder, Messenger* messenger) {
  if (item.message) {
    messenger->send(*item.message, item.sender);
  } else {
    item.call(*decoder);
  }
}

void EngineContext::sendWaiting() {
  {
    std::lock_guard lock(mutex_);
    // Another connection is sending the queue: it takes this one's items
    // too. Its thread may be inside the app (on a line an item logs), and
    // the app may be the one calling here: waiting for it could wait for
    // ever.
    if (flushing_) return;
    flushing_ = true;
  }
  // An item that throws (the app's log delegate on one of its lines) leaves
  // the items of other callers behind it to be sent all the same: the
  // exception passes on once the queue is through.
  std::exception_ptr thrown;
  for (;;) {
    Item item;
    std::shared_ptr<IEngineDecoder> decoder;
    std::shared_ptr<Messenger> messenger;
    {
      // Decided under the lock items are queued under: an item given as the
      // sending stops finds none under way and is sent by its own caller.
      std::lock_guard lock(mutex_);
      if (!waiting_.empty()) {
        if (waiting_.front().message) {
          messenger = messenger_;
        } else {
          decoder = decoder_.lock();
        }
      }
      if (!messenger && !decoder) {
        flushing_ = false;
        break;
      }
      item = std::move(waiting_.front());
      waiting_.pop_front();
    }
    // No lock is held: the call may log, and the app's log delegate may
    // give this engine another item, which goes behind the queue.
    try {
      send(item, decoder.get(), messenger.get());
    } catch (...) {
      if (!thrown) thrown = std::current_exception();
    }
  }
  if (thrown) std::rethrow_exception(thrown);
}

}  // namespace tembrolexinplatform
