// Fakes for the controller tests: one shared, ordered call log written by a
// recording listener and by recording processors with any set of optional
// faces, so a test sees the processor's calls and the listener's reports in
// the order they happened, and can wait (bounded, in real time) for one.
#ifndef TL_TESTS_CORE_CONTROL_CONTROLLER_FAKES_H_
#define TL_TESTS_CORE_CONTROL_CONTROLLER_FAKES_H_

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/control/i_processor_controller_listener.h"
#include "core/runtime/configuration_map.h"
#include "core/runtime/configuration_parameter.h"
#include "core/runtime/i_buffered_audio_processor.h"
#include "core/runtime/i_consumers.h"
#include "core/runtime/i_power_detector_status_consumer.h"
#include "core/runtime/i_processor.h"
#include "core/runtime/i_processor_listener.h"
#include "core/runtime/i_thrift_provider.h"
#include "core/runtime/network_time.h"
#include "core/runtime/processor_params.h"

namespace tltest {

using namespace tembrolexinsdk;

class CallLog {
 public:
  void add(const std::string& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(entry);
    cv_.notify_all();
  }
  std::vector<std::string> entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }
  int count(const std::string& entry) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count(entries_.begin(), entries_.end(), entry));
  }
  // Waits until `entry` has been logged `times` times in all.
  bool await(const std::string& entry, int times = 1) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] {
      return std::count(entries_.begin(), entries_.end(), entry) >= times;
    });
  }
  // Waits for an entry that begins with `prefix` and returns it ("" when
  // none came).
  std::string awaitPrefix(const std::string& prefix) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::string found;
    cv_.wait_for(lock, std::chrono::seconds(10), [&] {
      for (const std::string& e : entries_) {
        if (e.rfind(prefix, 0) == 0) return !(found = e).empty();
      }
      return false;
    });
    return found;
  }
  // The entries from `first` on (by position), for order checks.
  std::vector<std::string> since(size_t first) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<std::string>(entries_.begin() + std::min(first, entries_.size()),
                                    entries_.end());
  }
  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> entries_;
};

// Logs "event:<description>", "status:<description>", "ntp?",
// "failed:<description>"; keeps the last prepared-files event.
class RecordingListener : public IProcessorControllerListener {
 public:
  explicit RecordingListener(CallLog& log) : log_(log) {}
  void onProcessorEvent(const INamedObject*, const IProcessorEventParams* params) override {
    if (const auto* checked = CheckedFilePreparedEventParams::Cast(params)) {
      std::lock_guard<std::mutex> lock(mutex_);
      prepared_.push_back(checked->getCheckedFilePaths());
    }
    log_.add("event:" + params->GetParamsDescription());
  }
  void onProcessorStatusChanged(const INamedObject*,
                                const IProcessorStatusParams* params) override {
    log_.add("status:" + params->GetDescription());
  }
  void onNTPRequired() override { log_.add("ntp?"); }
  void onFailed(const FailureParams& failure) override {
    log_.add("failed:" + failure.GetDescription());
  }
  security::IDataSigner* signer() const override { return nullptr; }
  void onLogEvent(const INamedObject*, const LogParams*) override {}

  std::vector<std::vector<CheckedFilePreparedEventParams::CheckedPath>> prepared() {
    std::lock_guard<std::mutex> lock(mutex_);
    return prepared_;
  }

 private:
  CallLog& log_;
  std::mutex mutex_;
  std::vector<std::vector<CheckedFilePreparedEventParams::CheckedPath>> prepared_;
};

// Describes a configuration as "k=v,k=v" in key order.
inline std::string describe(const ConfigurationParameters* map) {
  std::string out;
  for (const auto& [key, value] : *map) {
    out += (out.empty() ? "" : ",") + key + "=" + value->GetValueAsString();
  }
  return out;
}

// What every fake processor shares: a name, the log, and operations that
// throw when named in `throwOn`.
struct ProcessorSetup {
  std::string name = "fakeProc";
  CallLog* log = nullptr;
  std::set<std::string> throwOn;
  SampleRate preferred = SampleRate_8000;
  // Result of PrepareData (owned by the caller afterwards).
  std::function<IProcessorEventParams*()> prepared;
  // Receives every buffer pointer handed to ProcessBuffer (worker thread).
  std::vector<const short*>* buffers = nullptr;
  // Runs in a generic processor's onReceive, before it is logged, with the
  // sender name (a test may hold the controller's thread there).
  std::function<void(const std::string&)> onReceive;
};

template <typename Base>
class RecordingProcessor : public Base {
 public:
  explicit RecordingProcessor(ProcessorSetup setup) : setup_(std::move(setup)) {}
  ~RecordingProcessor() override { note("~"); }

  const std::string& GetName() const override { return setup_.name; }
  const std::string& GetVersion() const override { return version_; }
  void Initialise(IProcessorListener* listener, int hz, const NTPInfo* ntp) override {
    listener_ = listener;
    note("Initialise:" + std::to_string(hz) + (ntp ? ":ntp" : ""));
  }
  void Configure(const ConfigurationParameters* c, const NTPInfo* ntp) override {
    note("Configure:" + describe(c) + (ntp ? ":ntp" : ""));
  }
  void SetFilePath(const std::string& path) override { note("SetFilePath:" + path); }
  void SetDeviceId(int id) override { note("SetDeviceId:" + std::to_string(id)); }

  IProcessorListener* listener() const { return listener_; }

 protected:
  void note(const std::string& entry) {
    const std::string op = entry.substr(0, entry.find(':'));
    if (setup_.throwOn.count(op)) {
      setup_.log->add("threw:" + op);
      throw std::runtime_error(op + " failed");
    }
    setup_.log->add(entry);
  }
  ProcessorSetup setup_;

 private:
  const std::string version_ = "1.0";
  IProcessorListener* listener_ = nullptr;
};

template <typename Base = IAudioProcessor>
class RecordingAudioProcessor : public RecordingProcessor<Base> {
 public:
  using RecordingProcessor<Base>::RecordingProcessor;
  using RecordingProcessor<Base>::note;

  void ProcessBuffer(const short* samples, int count,
                     std::chrono::steady_clock::time_point) override {
    if (this->setup_.buffers != nullptr) this->setup_.buffers->push_back(samples);
    note("ProcessBuffer:" + std::to_string(count) + ":" + std::to_string(samples[0]));
  }
  void Start() override { note("Start"); }
  void Stop() override { note("Stop"); }
  IProcessorEventParams* PrepareData(const NTPInfo* ntp) override {
    note(std::string("PrepareData") + (ntp ? ":ntp" : ""));
    return this->setup_.prepared ? this->setup_.prepared() : nullptr;
  }
  SampleRate GetPreferredSampleRate() override { return this->setup_.preferred; }
};

class NtpProcessor : public RecordingAudioProcessor<>, public INTPConsumer {
 public:
  NtpProcessor(ProcessorSetup setup, bool required)
      : RecordingAudioProcessor(std::move(setup)), required_(required) {}
  void updateNTPInfo(const NTPInfo* ntp) override { note(ntp ? "updateNTP" : "updateNTP:null"); }
  bool isNTPRequired() override { return required_; }

 private:
  const bool required_;
};

class RawNtpProcessor : public RecordingAudioProcessor<>, public IRawNTPConsumer {
 public:
  using RecordingAudioProcessor::RecordingAudioProcessor;
  void InitialiseWithRawNTP(IProcessorListener*, int hz, const RawNTPInfo* raw) override {
    note("InitialiseRaw:" + std::to_string(hz) + (raw ? ":raw" : ""));
  }
  void ConfigureWithRawNTP(const ConfigurationParameters* c, const RawNTPInfo* raw) override {
    note("ConfigureRaw:" + describe(c) + (raw ? ":raw" : ""));
  }
  IProcessorEventParams* PrepareDataWithRawNTP(const RawNTPInfo*) override {
    note("PrepareDataRaw");
    return nullptr;
  }
  void updateRawNTPInfo(const RawNTPInfo* raw) override {
    note(raw ? "updateRaw" : "updateRaw:null");
  }
};

class PowerProcessor : public RecordingAudioProcessor<>, public IPowerDetectorStatusConsumer {
 public:
  using RecordingAudioProcessor::RecordingAudioProcessor;
  void UpdatePowerDetectorStatus(PowerDetectorStatus status) override {
    note("Power:" + std::to_string(static_cast<int>(status)));
  }
};

class BufferedProcessor : public RecordingAudioProcessor<IBufferedAudioProcessor> {
 public:
  using RecordingAudioProcessor::RecordingAudioProcessor;
  void InitialiseBuffered(IProcessorListener*, int hz) override {
    note("InitialiseBuffered:" + std::to_string(hz));
  }
  void ConfigureBuffered(const ConfigurationParameters* c) override {
    note("ConfigureBuffered:" + describe(c));
  }
  void ProcessBufferWithTimes(const short*, int count, std::chrono::steady_clock::time_point,
                              SystemTime system) override {
    note("ProcessBufferWithTimes:" + std::to_string(count) + "@" +
         std::to_string(system.time_since_epoch().count()));
  }
};

// A generic processor that also consumes identity and bus messages.
class GenericProcessor : public RecordingProcessor<IProcessor>,
                         public IIdentityConsumer,
                         public IThriftConsumer {
 public:
  using RecordingProcessor::RecordingProcessor;
  // Registers for bus messages of type 77 through the controller.
  void Initialise(IProcessorListener* listener, int hz, const NTPInfo* ntp) override {
    RecordingProcessor::Initialise(listener, hz, ntp);
    ThriftUtil::castToProvider(listener)->registerListener(77, this);
  }
  void SetIdentityInfo(const std::string& a, const std::string& b) override {
    note("Identity:" + a + "," + b);
  }
  void onReceive(const std::string& sender, const ThriftParams& params) override {
    if (setup_.onReceive) setup_.onReceive(sender);
    note("onReceive:" + sender + ":" + std::to_string(params.getMsgType()));
  }
};

// A configuration map from (key, value) pairs.
using Entry = std::pair<std::string, std::shared_ptr<IConfigurationParameter>>;
template <typename T>
Entry kv(const std::string& key, T value) {
  return {key, std::make_shared<ConfigurationParameter<T>>(std::move(value))};
}
inline std::unique_ptr<ConfigurationMap> config(std::vector<Entry> entries) {
  auto map = std::make_unique<ConfigurationMap>();
  for (const auto& [key, value] : entries) map->set(key, value.get());
  return map;
}

}  // namespace tltest

#endif  // TL_TESTS_CORE_CONTROL_CONTROLLER_FAKES_H_
