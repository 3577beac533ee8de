// Helpers of the content and schedule engine tests: a processor listener
// that keeps what an engine emits, and readers of the recorded messages.
#ifndef TL_TESTS_CORE_ENGINES_CONTENT_TEST_UTIL_H_
#define TL_TESTS_CORE_ENGINES_CONTENT_TEST_UTIL_H_

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/runtime/i_processor_listener.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/thrift_params.h"

namespace tltest {

// Keeps a copy of every ThriftParams event; `onEvent`, when set, runs on the
// emitting thread after the copy was kept.
class EmittedEvents : public tembrolexinsdk::IProcessorListener {
 public:
  void onProcessorEvent(const tembrolexinsdk::INamedObject* sender,
                        const tembrolexinsdk::IProcessorEventParams* params) override {
    const auto* thrift = dynamic_cast<const tembrolexinsdk::ThriftParams*>(params);
    if (thrift == nullptr) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      senders_.push_back(sender != nullptr ? sender->GetName() : "");
      events_.emplace_back(*thrift);
    }
    if (onEvent) onEvent();
  }
  void onLogEvent(const tembrolexinsdk::INamedObject*, const tembrolexinsdk::LogParams*) override {}
  void onProcessorStatusChanged(const tembrolexinsdk::INamedObject*,
                                const tembrolexinsdk::IProcessorStatusParams*) override {}
  void onFailed(const tembrolexinsdk::FailureParams&) override {}
  void onNTPRequired() override {}
  tembrolexinsdk::security::IDataSigner* signer() const override { return nullptr; }

  // The events of T's type, read back, oldest first.
  template <typename T>
  std::vector<T> read() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<T> out;
    for (const auto& e : events_) {
      if (auto m = tembrolexinsdk::ThriftParamsFactory::readThriftParams<T>(e)) out.push_back(*m);
    }
    return out;
  }
  std::size_t count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
  }
  std::vector<std::string> senders() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return senders_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
    senders_.clear();
  }

  std::function<void()> onEvent;

 private:
  mutable std::mutex mutex_;
  std::vector<tembrolexinsdk::ThriftParams> events_;
  std::vector<std::string> senders_;
};

}  // namespace tltest

#endif  // TL_TESTS_CORE_ENGINES_CONTENT_TEST_UTIL_H_
