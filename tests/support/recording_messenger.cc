#include "tests/support/recording_messenger.h"

#include <algorithm>
#include <utility>

namespace tltest {

using tembrolexinsdk::IMessengerListener;
using tembrolexinsdk::ThriftParams;

void RecordingMessenger::send(const std::string& senderName, std::unique_ptr<ThriftParams> params) {
  std::lock_guard<std::mutex> lock(mutex_);
  sent_.push_back(Sent{senderName, std::shared_ptr<const ThriftParams>(std::move(params)), false});
}

void RecordingMessenger::sendSync(const std::string& senderName,
                                  std::unique_ptr<ThriftParams> params) {
  Sent message{senderName, std::shared_ptr<const ThriftParams>(std::move(params)), true};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back(message);
  }
  deliver(message);
}

void RecordingMessenger::registerListener(int typeId, IMessengerListener* listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++registerCalls_;
  auto& list = listeners_[typeId];
  list.erase(std::remove(list.begin(), list.end(), listener), list.end());
  list.push_back(listener);
}

void RecordingMessenger::unregisterListener(int typeId, IMessengerListener* listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& list = listeners_[typeId];
  list.erase(std::remove(list.begin(), list.end(), listener), list.end());
}

void RecordingMessenger::setCallbacks(MessageCallback, ExitCallback, void*) {}

void RecordingMessenger::stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++stopCalls_;
}

std::vector<RecordingMessenger::Sent> RecordingMessenger::sent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_;
}

std::size_t RecordingMessenger::sentCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_.size();
}

std::vector<IMessengerListener*> RecordingMessenger::listeners(int typeId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = listeners_.find(typeId);
  return found == listeners_.end() ? std::vector<IMessengerListener*>() : found->second;
}

int RecordingMessenger::registerCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registerCalls_;
}

int RecordingMessenger::stopCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopCalls_;
}

std::size_t RecordingMessenger::deliverPending() {
  std::vector<Sent> pending;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (; delivered_ < sent_.size(); ++delivered_) {
      if (!sent_[delivered_].sync) pending.push_back(sent_[delivered_]);
    }
  }
  for (const Sent& message : pending) deliver(message);
  return pending.size();
}

void RecordingMessenger::deliver(const Sent& message) {
  const std::vector<IMessengerListener*> targets = listeners(message.params->getMsgType());
  for (IMessengerListener* listener : targets) listener->onReceive(message.senderName, *message.params);
}

}  // namespace tltest
