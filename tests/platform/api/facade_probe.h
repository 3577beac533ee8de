// Stand-ins for the facade's tests, writing what reaches them into a Record
// (tests/platform/runtime/bus_probe.h):
// RecordingDecoderDelegate: an app delegate.
// RecordingEngine<kId>: an engine ("TRIGGER" for 0, "ANALYTICS" for 1).
#ifndef TL_TESTS_PLATFORM_API_FACADE_PROBE_H_
#define TL_TESTS_PLATFORM_API_FACADE_PROBE_H_

#include <memory>
#include <string>
#include <thread>

#include "platform/api/tl_decoder.h"
#include "platform/engines/tl_engine.h"
#include "tests/platform/runtime/bus_probe.h"

namespace tltest {

// An app's decoder delegate that records each call; "@test" marks a call made
// on the thread that created it (delegates belong on the global queue).
class RecordingDecoderDelegate : public tembrolexinplatform::TLDecoderDelegate {
 public:
  explicit RecordingDecoderDelegate(Record& r) : r_(r) {}
  void initialisationDidComplete() override { r_.add("initialised" + where()); }
  void startedListening() override { r_.add("started"); }
  void stoppedListening() override { r_.add("stopped"); }
  void failedWithError(const std::string& d) override { r_.add("failed:" + d); }
  void confidenceChangedTo(int64_t c) override { r_.add("confidence:" + std::to_string(c)); }

 private:
  std::string where() const { return std::this_thread::get_id() == creator_ ? "@test" : ""; }
  Record r_;  // a copy: shares the test's record and keeps it alive
  const std::thread::id creator_ = std::this_thread::get_id();
};

template <int kId>
class RecordingEngine : public tembrolexinplatform::TLEngine,
                        public tembrolexinplatform::TLAnalyticsEngineRole {
 public:
  using Params = tembrolexinplatform::TLProcessorEventParams;
  static std::shared_ptr<RecordingEngine> sharedEngine() {
    static std::shared_ptr<RecordingEngine> e(new RecordingEngine());
    return e;
  }
  std::shared_ptr<tembrolexinplatform::TLEngineDelegate> delegate() const override { return nullptr; }
  void setDelegate(std::shared_ptr<tembrolexinplatform::TLEngineDelegate>) override {}
  std::string engineName() const override { return kId == 0 ? "TRIGGER" : "ANALYTICS"; }
  void setEngineParameters(const tembrolexinplatform::TLEngineParameters&) override {}
  void setMessenger(std::shared_ptr<tembrolexinplatform::Messenger> m) override {
    messenger = std::move(m);
  }
  void processEventParams(std::shared_ptr<const Params> e, const std::string& processor) override {
    using namespace tembrolexinplatform;
    if (auto cw = std::dynamic_pointer_cast<const TLCodewordEventParams>(e)) {
      record.add("codeword:" + processor + ":" + std::to_string(cw->msg()));
    } else if (auto env = std::dynamic_pointer_cast<const TLThriftParams>(e)) {
      record.add("message:" + processor + ":" + std::to_string(env->msgType()));
    }
  }
  void audioProcessorWithNameRaisedStatus(
      const std::string& p,
      std::shared_ptr<const tembrolexinplatform::TLGenericStatusParams> s) override {
    record.add("status:" + p + ":" + s->statusDescription());
  }
  void audioDecoderAudioSignal(const tembrolexinplatform::TLAudioSignal& s) override {
    record.add("level:" + std::to_string(s.audioLevel()));
  }
  void handleAudioSupport(int32_t rate) override { record.add("support:" + std::to_string(rate)); }

  Record record;
  std::shared_ptr<tembrolexinplatform::Messenger> messenger;

 private:
  RecordingEngine() = default;
};

}  // namespace tltest

#endif  // TL_TESTS_PLATFORM_API_FACADE_PROBE_H_
