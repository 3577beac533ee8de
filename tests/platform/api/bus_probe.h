// BusProbe: a core-side listener for tests that records the messages of
// chosen types as the core would receive them (sender, type, bytes) and lets
// a test wait, bounded, for a number of them.
#ifndef TL_TESTS_PLATFORM_API_BUS_PROBE_H_
#define TL_TESTS_PLATFORM_API_BUS_PROBE_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
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

// A one-shot gate a test thread opens for another.
class Gate {
 public:
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  // True when opened within 10 s.
  bool wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return open_; });
  }
  bool isOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

}  // namespace tltest

#endif  // TL_TESTS_PLATFORM_API_BUS_PROBE_H_
