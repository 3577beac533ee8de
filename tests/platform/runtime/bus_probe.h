// BusProbe: a core-side listener for tests that records the messages of
// chosen types as the core would receive them (sender, type, bytes) and lets
// a test wait, bounded, for a number of them. Record: texts added from any
// thread, with the same bounded waits. Gate: a one-shot signal.
#ifndef TL_TESTS_PLATFORM_RUNTIME_BUS_PROBE_H_
#define TL_TESTS_PLATFORM_RUNTIME_BUS_PROBE_H_

#include <chrono>
#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/i_messenger.h"

namespace tltest {

struct BusMessage {
  std::string sender;
  int type;
  std::string bytes;
};

class BusProbe : public tembrolexinsdk::IMessengerListener {
 public:
  BusProbe(tembrolexinsdk::IMessenger& bus, std::vector<int> types) : bus_(bus), types_(types) {
    for (int t : types_) bus_.registerListener(t, this);
  }
  ~BusProbe() override {
    for (int t : types_) bus_.unregisterListener(t, this);
  }

  void onReceive(const std::string& sender, const tembrolexinsdk::ThriftParams& params) override {
    const auto& data = params.getData();
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back({sender, params.getMsgType(),
                         std::string(reinterpret_cast<const char*>(data.data()), data.size())});
    cv_.notify_all();
  }

  // Waits up to 10 s for at least `count` messages; returns what arrived.
  std::vector<BusMessage> waitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return messages_.size() >= count; });
    return messages_;
  }
  std::vector<BusMessage> messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

 private:
  tembrolexinsdk::IMessenger& bus_;
  const std::vector<int> types_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<BusMessage> messages_;
};

// Texts an app's delegates heard. Copies share one record: a delegate keeps
// a copy, so a notification the library delivers after the test body has
// returned (the decoder is process-wide) still writes to live memory.
class Record {
 public:
  void add(std::string text) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    s_->texts.push_back(std::move(text));
    s_->cv.notify_all();
  }
  // Waits up to 10 s for at least `count` texts; returns what arrived.
  std::vector<std::string> waitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(s_->mutex);
    s_->cv.wait_for(lock, std::chrono::seconds(10), [&] { return s_->texts.size() >= count; });
    return s_->texts;
  }
  // Waits up to 30 s until `text` has been added.
  bool waitForText(const std::string& text) {
    std::unique_lock<std::mutex> lock(s_->mutex);
    return s_->cv.wait_for(lock, std::chrono::seconds(30), [&] {
      return std::find(s_->texts.begin(), s_->texts.end(), text) != s_->texts.end();
    });
  }
  // Waits up to 30 s until a text that starts with `prefix` has been added.
  bool waitForPrefix(const std::string& prefix) {
    std::unique_lock<std::mutex> lock(s_->mutex);
    return s_->cv.wait_for(lock, std::chrono::seconds(30), [&] {
      return std::any_of(s_->texts.begin(), s_->texts.end(),
                         [&](const std::string& t) { return t.rfind(prefix, 0) == 0; });
    });
  }
  bool contains(const std::string& text) {
    std::lock_guard<std::mutex> lock(s_->mutex);
    return std::find(s_->texts.begin(), s_->texts.end(), text) != s_->texts.end();
  }
  std::vector<std::string> texts() {
    std::lock_guard<std::mutex> lock(s_->mutex);
    return s_->texts;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(s_->mutex);
    s_->texts.clear();
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> texts;
  };
  std::shared_ptr<State> s_ = std::make_shared<State>();
};

// A one-shot gate a test thread opens for another.
class Gate {
 public:
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  // True when opened within `limit`.
  bool wait(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

}  // namespace tltest

#endif  // TL_TESTS_PLATFORM_RUNTIME_BUS_PROBE_H_
