#include "platform/runtime/messenger.h"

#include <algorithm>
#include <memory>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/messenger.h"
#include "core/runtime/thread_join.h"
#include "core/runtime/thrift_params.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

// The bus's callback carries one plain context pointer and may run after its
// owner replaced or removed it, so the context is the bus itself and the
// platform Messenger is looked up here, under a lock that tracks the calls in
// progress; a Messenger being destroyed leaves the table and waits for them.
class CallbackHub {
 public:
  static CallbackHub& instance() {
    static CallbackHub* hub = new CallbackHub();  // outlives every bus thread
    return *hub;
  }

  void attach(tembrolexinsdk::IMessenger* bus, Messenger* target) {
    std::lock_guard lock(mutex_);
    targets_[bus] = target;
  }

  void detach(tembrolexinsdk::IMessenger* bus, Messenger* target) {
    // A delivery on the thread that runs the process's exit never ends.
    tembrolexinsdk::ProcessExit::Wake wake(mutex_, ended_);
    std::unique_lock lock(mutex_);
    auto it = targets_.find(bus);
    if (it != targets_.end() && it->second == target) targets_.erase(it);
    const auto self = std::this_thread::get_id();
    ended_.wait(lock, [&] {
      return std::none_of(active_.begin(), active_.end(), [&](const auto& call) {
        return call.first == target && call.second != self &&
               !tembrolexinsdk::ProcessExit::isExiting(call.second);
      });
    });
  }

  void deliver(const std::string& sender, const tembrolexinsdk::ThriftParams* params,
               tembrolexinsdk::IMessenger* bus) {
    if (params == nullptr) return;
    Messenger* target = nullptr;
    const auto self = std::this_thread::get_id();
    {
      std::lock_guard lock(mutex_);
      auto it = targets_.find(bus);
      if (it == targets_.end()) return;
      target = it->second;
      active_.emplace_back(target, self);
    }
    struct Done {
      CallbackHub& hub;
      Messenger* target;
      std::thread::id thread;
      ~Done() {
        std::lock_guard lock(hub.mutex_);
        auto it = std::find(hub.active_.begin(), hub.active_.end(), std::make_pair(target, thread));
        if (it != hub.active_.end()) hub.active_.erase(it);
        hub.ended_.notify_all();
      }
    } done{*this, target, self};
    const auto& bytes = params->getData();
    TLThriftParams envelope(params->getMsgType(),
                            std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    target->receiveThriftMessage(envelope, sender);
  }

 private:
  tembrolexin::Mutex mutex_;
  tembrolexin::CondVar ended_;
  std::map<tembrolexinsdk::IMessenger*, Messenger*> targets_;
  std::vector<std::pair<Messenger*, std::thread::id>> active_;
};

// How many receiver calls the calling thread is inside.
thread_local int tDeliveryDepth = 0;

void messengerNativeCallback(const std::string& sender, const tembrolexinsdk::ThriftParams* params,
                             void* context) {
  CallbackHub::instance().deliver(sender, params,
                                  static_cast<tembrolexinsdk::IMessenger*>(context));
}

}  // namespace

Messenger::Messenger() : Messenger(tembrolexinsdk::getMessenger()) {}

Messenger::Messenger(tembrolexinsdk::IMessenger* bus)
    : bus_(bus), state_(std::make_shared<State>()) {
  CallbackHub::instance().attach(bus_, this);
  bus_->setCallbacks(&messengerNativeCallback, nullptr, bus_);
}

Messenger::~Messenger() {
  close();
  CallbackHub::instance().detach(bus_, this);
}

void Messenger::registerReceiver(IThriftMessageReceiver* receiver, int32_t type) {
  if (receiver == nullptr) return;
  std::lock_guard lock(state_->mutex);
  state_->receivers[type].push_back(receiver);
}

void Messenger::unregisterReceiver(IThriftMessageReceiver* receiver, int32_t type) {
  removeReceiver(receiver, type);
  waitForCalls(receiver, type);
}

void Messenger::removeReceiver(IThriftMessageReceiver* receiver, int32_t type) {
  std::lock_guard lock(state_->mutex);
  auto it = state_->receivers.find(type);
  if (it == state_->receivers.end()) return;
  auto& list = it->second;
  list.erase(std::remove(list.begin(), list.end(), receiver), list.end());
}

void Messenger::waitForCalls(IThriftMessageReceiver* receiver, int32_t type) {
  State& state = *state_;
  // A call on the thread that runs the process's exit never ends.
  tembrolexinsdk::ProcessExit::Wake wake(state.mutex, state.callEnded);
  std::unique_lock lock(state.mutex);
  const auto self = std::this_thread::get_id();
  state.callEnded.wait(lock, [&] {
    return std::none_of(state.calls.begin(), state.calls.end(), [&](const Call& call) {
      return call.receiver == receiver && call.type == type && call.thread != self &&
             !tembrolexinsdk::ProcessExit::isExiting(call.thread);
    });
  });
}

bool Messenger::State::isRegisteredLocked(IThriftMessageReceiver* receiver, int32_t type) const {
  auto it = receivers.find(type);
  return it != receivers.end() &&
         std::find(it->second.begin(), it->second.end(), receiver) != it->second.end();
}

void Messenger::send(const TLThriftParams& message, const std::string& sender) {
  const std::string& data = message.data();
  bus_->send(sender, std::make_unique<tembrolexinsdk::ThriftParams>(message.msgType(), data.size(),
                                                                    data.data()));
}

bool Messenger::sendMessage(const ::apache::thrift::TBase& message, const std::string& sender) {
  std::unique_ptr<TLThriftParams> envelope = TLThriftParams::initWithMessage(message);
  if (!envelope) return false;
  send(*envelope, sender);
  return true;
}

void Messenger::receiveThriftMessage(const TLThriftParams& message, const std::string& sender) {
  // Held for the whole delivery: a receiver may destroy this Messenger.
  const std::shared_ptr<State> state = state_;
  std::vector<IThriftMessageReceiver*> snapshot;
  {
    std::lock_guard lock(state->mutex);
    auto it = state->receivers.find(message.msgType());
    if (it == state->receivers.end()) return;
    snapshot = it->second;
  }
  const auto self = std::this_thread::get_id();
  for (IThriftMessageReceiver* receiver : snapshot) {
    {
      // A receiver unregistered since the snapshot is skipped, and nothing
      // more is delivered once the Messenger is going.
      std::lock_guard lock(state->mutex);
      if (state->closed || !state->isRegisteredLocked(receiver, message.msgType())) continue;
      state->calls.push_back({receiver, message.msgType(), self});
    }
    struct Done {
      State& state;
      ~Done() {
        --tDeliveryDepth;
        std::lock_guard lock(state.mutex);
        const auto self = std::this_thread::get_id();
        for (auto it = state.calls.end(); it != state.calls.begin();) {
          --it;
          if (it->thread == self) {
            state.calls.erase(it);
            break;
          }
        }
        state.callEnded.notify_all();
      }
    } done{*state};
    ++tDeliveryDepth;
    receiver->onReceive(message, sender);
  }
}

void Messenger::stop() { bus_->stop(); }

void Messenger::close() {
  std::lock_guard lock(state_->mutex);
  state_->closed = true;
}

bool Messenger::callerDelivering() { return tDeliveryDepth > 0; }

std::size_t Messenger::receiverCount(int32_t type) const {
  std::lock_guard lock(state_->mutex);
  auto it = state_->receivers.find(type);
  return it == state_->receivers.end() ? 0 : it->second.size();
}

}  // namespace tembrolexinplatform
