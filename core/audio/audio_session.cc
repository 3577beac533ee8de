#include "core/audio/audio_session.h"

#include <utility>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinsdk {

bool LocalAudioSession::setCategoryPlayAndRecord(unsigned options) {
  std::lock_guard lock(mutex_);
  calls_.push_back("category " + std::to_string(options));
  return categoryOk_;
}

bool LocalAudioSession::setActive(bool active) {
  std::lock_guard lock(mutex_);
  calls_.push_back(active ? "active 1" : "active 0");
  return active ? activateOk_ : deactivateOk_;
}

bool LocalAudioSession::canRequestRecordPermission() const {
  std::lock_guard lock(mutex_);
  return asks_;
}

void LocalAudioSession::requestRecordPermission(PermissionAnswer answer) {
  std::optional<bool> granted;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back("permission");
    granted = granted_;
    if (!granted) {
      pending_.push_back(std::move(answer));
      return;
    }
  }
  answer(*granted);
}

int LocalAudioSession::answerPendingPermission(bool granted) {
  std::vector<PermissionAnswer> pending;
  {
    std::lock_guard lock(mutex_);
    pending.swap(pending_);
  }
  for (PermissionAnswer& answer : pending) answer(granted);
  return static_cast<int>(pending.size());
}

int LocalAudioSession::addInterruptionObserver(InterruptionObserver observer) {
  std::lock_guard lock(mutex_);
  const int token = nextToken_++;
  observers_.push_back({token, std::make_shared<tembrolexin::Mutex>(), std::move(observer)});
  return token;
}

void LocalAudioSession::removeInterruptionObserver(int token) {
  std::shared_ptr<tembrolexin::Mutex> running;
  {
    std::lock_guard lock(mutex_);
    for (auto it = observers_.begin(); it != observers_.end(); ++it) {
      if (it->token == token) {
        running = it->running;
        observers_.erase(it);
        break;
      }
    }
  }
  // Waits for a call of this observer in progress on another thread.
  if (running) std::lock_guard wait(*running);
}

void LocalAudioSession::postInterruption(int type) {
  std::vector<Observer> observers;
  {
    std::lock_guard lock(mutex_);
    observers = observers_;
  }
  for (const Observer& o : observers) {
    std::lock_guard running(*o.running);
    {
      // Skip an observer removed since the copy was taken.
      std::lock_guard lock(mutex_);
      bool present = false;
      for (const Observer& current : observers_) present = present || current.token == o.token;
      if (!present) continue;
    }
    o.observer(type);
  }
}

int LocalAudioSession::observerCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(observers_.size());
}

std::vector<std::string> LocalAudioSession::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void LocalAudioSession::setCategoryResult(bool ok) {
  std::lock_guard lock(mutex_);
  categoryOk_ = ok;
}

void LocalAudioSession::setActivationResult(bool active, bool ok) {
  std::lock_guard lock(mutex_);
  (active ? activateOk_ : deactivateOk_) = ok;
}

std::shared_ptr<LocalAudioSession> platformAudioSession() {
  static auto* session = new std::shared_ptr<LocalAudioSession>(std::make_shared<LocalAudioSession>());
  return *session;
}

void LocalAudioSession::setPermission(bool asks, std::optional<bool> granted) {
  std::lock_guard lock(mutex_);
  asks_ = asks;
  granted_ = granted;
}

}  // namespace tembrolexinsdk
