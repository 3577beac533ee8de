#include "core/runtime/messenger.h"

#include <algorithm>
#include <exception>
#include <iostream>
#include <utility>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/logger.h"
#include "core/runtime/thread_join.h"

namespace tembrolexinsdk {
namespace {

constexpr int kLogSignalType = 8;

// The bus's report of an exception that escaped a listener, a callback or a
// state. No line end: the texts are written exactly so.
void reportFailure(const std::exception* error) {
  if (error != nullptr) {
    std::cout << "thread died, reason: " << error->what() << std::flush;
  } else {
    std::cout << "thread died for unknown reason." << std::flush;
  }
}

}  // namespace

Messenger::ExitGuard::~ExitGuard() {
  // A forked child has no bus thread to join, and its copies of the bus's
  // and the logger's locks may be held for good by threads it does not have.
  if (ProcessExit::inForkedChild()) return;
  bus_->shutdown();
}

namespace {

std::atomic<Messenger*> gProcessBus{nullptr};

}  // namespace

Messenger* Messenger::getInstance() {
  // Never deleted: at exit the guard only stops the bus and joins its thread,
  // so threads still running then reach a valid bus whose queue is closed.
  static Messenger* const instance = [] {
    auto* bus = new Messenger();
    static ExitGuard guard(bus);
    gProcessBus.store(bus);
    return bus;
  }();
  return instance;
}

void Messenger::shutdownInstance() {
  if (Messenger* bus = gProcessBus.load()) bus->shutdown();
}

Messenger* getMessenger() { return Messenger::getInstance(); }

void IMessenger::sendMessage(const std::string& senderName, std::unique_ptr<ThriftParams> params) {
  Messenger::getInstance()->send(senderName, std::move(params));
}

Messenger::Messenger()
    : ActiveObject(&Messenger::stateIdle, &Messenger::stateDone, kStopCode) {
  startThread();
}

Messenger::~Messenger() { shutdown(); }

void Messenger::shutdown() {
  stopAsked_.store(true);
  // Lines logged from now on must not reach this bus.
  Logger::getInstance()->detachMessenger(this);
  quitAndJoin();
  // A bus destroyed on its own thread has not reached its end step yet, and a
  // bus whose thread was joined has: either way nothing may be queued now.
  signalQueue().close();
  stopped_.store(true);
}

const std::string& Messenger::GetName() const { return name_; }

void Messenger::send(const std::string& senderName, std::unique_ptr<ThriftParams> params) {
  if (!params) return;
  pushSignal(new MessageSignal(senderName, std::move(params)));
}

void Messenger::sendSync(const std::string& senderName, std::unique_ptr<ThriftParams> params) {
  if (!params) return;
  passMessage(senderName, *params, /*rethrow=*/true);
}

void Messenger::stop() {
  stopAsked_.store(true);
  pushSignal(new StateSignal(kStopCode));
}

void Messenger::registerListener(int typeId, IMessengerListener* listener) {
  if (listener == nullptr) return;
  std::lock_guard lock(listenerMutex_);
  std::vector<IMessengerListener*>& list = listeners_[typeId];
  list.erase(std::remove(list.begin(), list.end(), listener), list.end());
  list.push_back(listener);
}

void Messenger::unregisterListener(int typeId, IMessengerListener* listener) {
  if (listener == nullptr) return;
  const std::thread::id self = std::this_thread::get_id();
  // A call on the thread that runs the process's exit never ends.
  ProcessExit::Wake wake(listenerMutex_, callEnded_);
  std::unique_lock lock(listenerMutex_);
  auto found = listeners_.find(typeId);
  if (found != listeners_.end()) {
    std::vector<IMessengerListener*>& list = found->second;
    list.erase(std::remove(list.begin(), list.end(), listener), list.end());
    if (list.empty()) listeners_.erase(found);
  }
  callEnded_.wait(lock, [&] {
    return std::none_of(calls_.begin(), calls_.end(), [&](const Call& call) {
      return call.listener == listener && call.typeId == typeId && call.thread != self &&
             !ProcessExit::isExiting(call.thread);
    });
  });
}

void Messenger::setCallbacks(MessageCallback messageCallback, ExitCallback exitCallback,
                             void* context) {
  std::lock_guard lock(listenerMutex_);
  messageCallback_ = messageCallback;
  exitCallback_ = exitCallback;
  context_ = context;
}

bool Messenger::isRegisteredLocked(int typeId, IMessengerListener* listener) const {
  auto found = listeners_.find(typeId);
  return found != listeners_.end() &&
         std::find(found->second.begin(), found->second.end(), listener) != found->second.end();
}

void Messenger::passMessage(const std::string& senderName, const ThriftParams& params,
                            bool rethrow) {
  const int typeId = params.getMsgType();
  const std::thread::id self = std::this_thread::get_id();
  std::vector<IMessengerListener*> targets;
  {
    std::lock_guard lock(listenerMutex_);
    auto found = listeners_.find(typeId);
    if (found != listeners_.end()) targets = found->second;
  }

  std::exception_ptr firstError;
  // Runs one receiver; a failure ends only that receiver's part of the
  // delivery.
  const auto guarded = [&](auto&& call) {
    try {
      call();
    } catch (const std::exception& error) {
      if (rethrow) {
        if (!firstError) firstError = std::current_exception();
      } else {
        reportFailure(&error);
      }
    } catch (...) {
      if (rethrow) {
        if (!firstError) firstError = std::current_exception();
      } else {
        reportFailure(nullptr);
      }
    }
  };

  for (IMessengerListener* listener : targets) {
    {
      std::lock_guard lock(listenerMutex_);
      // Unregistered meanwhile: its owner may already have destroyed it.
      if (!isRegisteredLocked(typeId, listener)) continue;
      calls_.push_back(Call{listener, typeId, self});
    }
    guarded([&] { listener->onReceive(senderName, params); });
    {
      std::lock_guard lock(listenerMutex_);
      // Remove this thread's latest entry for the listener (nested deliveries
      // on one thread push several).
      for (auto it = calls_.rbegin(); it != calls_.rend(); ++it) {
        if (it->listener == listener && it->typeId == typeId && it->thread == self) {
          calls_.erase(std::next(it).base());
          break;
        }
      }
    }
    callEnded_.notify_all();
  }

  MessageCallback callback;
  void* context;
  {
    std::lock_guard lock(listenerMutex_);
    callback = messageCallback_;
    context = context_;
  }
  if (callback != nullptr) guarded([&] { callback(senderName, &params, context); });

  if (firstError) std::rethrow_exception(firstError);
}

void Messenger::notifyLogWatchers() {
  const std::thread::id self = std::this_thread::get_id();
  std::vector<LogQueueWatcher*> watchers;
  {
    std::lock_guard lock(listenerMutex_);
    auto found = listeners_.find(kLogSignalType);
    if (found == listeners_.end()) return;
    for (IMessengerListener* listener : found->second) {
      if (auto* watcher = dynamic_cast<LogQueueWatcher*>(listener)) {
        watchers.push_back(watcher);
        // Counted as a call, so that unregistering it waits for this one.
        calls_.push_back(Call{listener, kLogSignalType, self});
      }
    }
  }
  for (LogQueueWatcher* watcher : watchers) {
    watcher->onMessengerStopped(this);
    std::lock_guard lock(listenerMutex_);
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it) {
      if (it->listener == watcher && it->typeId == kLogSignalType && it->thread == self) {
        calls_.erase(std::next(it).base());
        break;
      }
    }
  }
  callEnded_.notify_all();
}

void Messenger::stateIdle() {
  serveState(&Messenger::stateIdle, {kMessageCode, kStopCode}, [this](StateSignal& signal) {
    if (signal.GetCode() == kStopCode) {
      setState(&Messenger::stateDone);
      return;
    }
    const auto& message = static_cast<const MessageSignal&>(signal);
    passMessage(message.senderName(), message.params(), /*rethrow=*/false);
  });
}

void Messenger::stateDone() {}

void Messenger::onStateFailure(const std::exception* error) { reportFailure(error); }

void Messenger::onThreadEnd() {
  // Final: whatever was queued behind the stop signal, and whatever arrives
  // from now on, is destroyed instead of piling up.
  signalQueue().close();
  stopped_.store(true);
  notifyLogWatchers();
  ExitCallback exitCallback;
  void* context;
  {
    std::lock_guard lock(listenerMutex_);
    exitCallback = exitCallback_;
    context = context_;
  }
  if (exitCallback != nullptr) exitCallback(context);
}

}  // namespace tembrolexinsdk
