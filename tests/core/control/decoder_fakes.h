// Fakes for the decoder tests: a recorder that the test feeds buffer by
// buffer on its own thread, processors that report a code word for a marked
// buffer, and a tap that collects what reaches a bus.
#ifndef TL_TESTS_CORE_CONTROL_DECODER_FAKES_H_
#define TL_TESTS_CORE_CONTROL_DECODER_FAKES_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/core_exceptions.h"
#include "core/runtime/i_audio_recorder.h"
#include "core/runtime/i_messenger.h"
#include "core/runtime/message_factory.h"
#include "tests/core/control/controller_fakes.h"

namespace tltest {

// Fills its buffers in turn and calls the listener on the feeding thread,
// as an app-fed recorder does.
class FakeRecorder : public IAudioRecorder {
 public:
  explicit FakeRecorder(CallLog& log, unsigned short rates = SampleRate_8000 | SampleRate_16000)
      : log_(log), rates_(rates) {}
  ~FakeRecorder() override { log_.add("recorder~"); }
  const std::string& GetName() const override { return name_; }
  void initialise(IAudioRecorderListener* listener) override { listener_ = listener; }
  void setup(unsigned int count) override { count_ = count; }
  unsigned short getAvailableSampleRates(unsigned short) override {
    if (!ratesFailure.empty()) throw std::runtime_error(ratesFailure);
    return rates_;
  }
  void createRecorder(SampleRate rate, unsigned int frames) override {
    log_.add("createRecorder:" + std::to_string(rate) + ":" + std::to_string(frames));
    buffers_.assign(count_, std::vector<short>(frames, 0));
    next_ = 0;
  }
  void setFilePath(const std::string&) override {}
  void startRecording() override {
    if (micBusy) throw MicUnavailableException("microphone busy");
    if (refuse) throw NoMicPermissionException();
    log_.add("startRecording");
    // A source that delivers at once, before startRecording returns.
    if (feedOnStart != 0) feed(feedOnStart);
  }
  void stopRecording() override { log_.add("stopRecording"); }
  short* getShortBuffer(unsigned char index) override {
    return index < buffers_.size() ? buffers_[index].data() : nullptr;
  }
  bool hasFailed() override { return false; }

  // Fills the next buffer with `value`, once the listener no longer reads
  // it (waiting at most 10 s), then hands it over.
  void feed(short value, int64_t systemMicros = 1796515200123456LL) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!listener_->isBufferFree(static_cast<unsigned char>(next_)) &&
           std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<short>& buffer = buffers_.at(next_);
    std::fill(buffer.begin(), buffer.end(), value);
    const unsigned char index = static_cast<unsigned char>(next_);
    next_ = (next_ + 1) % buffers_.size();
    listener_->recorderCallback(
        index, std::chrono::steady_clock::now(),
        std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>(
            std::chrono::microseconds(systemMicros)));
  }
  size_t frames() const { return buffers_.empty() ? 0 : buffers_[0].size(); }

  bool micBusy = false;
  bool refuse = false;
  short feedOnStart = 0;  // when set, startRecording feeds a buffer of it
  // When set, asking for the rates throws with this text (a device that is
  // not there).
  std::string ratesFailure;

 private:
  CallLog& log_;
  const std::string name_ = "FakeRecorder";
  const unsigned short rates_;
  IAudioRecorderListener* listener_ = nullptr;
  unsigned count_ = 0;
  std::vector<std::vector<short>> buffers_;
  size_t next_ = 0;
};

// Reports a code word (the buffer's first sample) for every buffer whose
// first sample is at least 1000; optionally holds ProcessBuffer until the
// test opens its gate, and records every first sample it saw.
class CodewordProcessor : public RecordingAudioProcessor<> {
 public:
  struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = true;
    void set(bool value) {
      std::lock_guard<std::mutex> lock(mutex);
      open = value;
      cv.notify_all();
    }
  };
  CodewordProcessor(ProcessorSetup setup, Gate* gate = nullptr)
      : RecordingAudioProcessor(std::move(setup)), gate_(gate) {}
  void ProcessBuffer(const short* samples, int count,
                     std::chrono::steady_clock::time_point t) override {
    if (gate_ != nullptr) {
      std::unique_lock<std::mutex> lock(gate_->mutex);
      gate_->cv.wait(lock, [&] { return gate_->open; });
    }
    RecordingAudioProcessor::ProcessBuffer(samples, count, t);
    if (samples[0] >= 1000 && listener() != nullptr) {
      const CodewordEventParams word(2, 40, 30, 41, 31, 3, 3, 5, 6, 0, 33, 42, samples[0], 1, 1,
                                     10, 20, "", 0, 1500, 4096);
      listener()->onProcessorEvent(this, &word);
    }
  }

 private:
  Gate* gate_;
};

// Collects the messages of some types that reach a bus, with their senders.
class BusTap : public IMessengerListener {
 public:
  struct Message {
    std::string sender;
    std::shared_ptr<ThriftParams> params;
  };
  BusTap(IMessenger& bus, std::vector<int> types) : bus_(bus), types_(std::move(types)) {
    for (int t : types_) bus_.registerListener(t, this);
  }
  ~BusTap() override {
    for (int t : types_) bus_.unregisterListener(t, this);
  }
  void onReceive(const std::string& sender, const ThriftParams& params) override {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back({sender, std::make_shared<ThriftParams>(params)});
    cv_.notify_all();
  }
  std::vector<Message> of(int type) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Message> out;
    for (const auto& m : messages_) {
      if (m.params->getMsgType() == type) out.push_back(m);
    }
    return out;
  }
  // Waits (bounded) until `count` messages of `type` have arrived.
  bool await(int type, size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] {
      size_t n = 0;
      for (const auto& m : messages_) n += m.params->getMsgType() == type;
      return n >= count;
    });
  }
  // The SDK statuses in arrival order, "4:<rate>" for audio support.
  std::vector<std::string> statuses() {
    std::vector<std::string> out;
    for (const auto& m : of(37)) {
      auto s = ThriftParamsFactory::readThriftParams<SDKStatusSignal>(*m.params);
      std::string text = std::to_string(static_cast<int>(s->status));
      if (s->__isset.sampleRate) text += ":" + std::to_string(s->sampleRate);
      out.push_back(text);
    }
    return out;
  }

 private:
  IMessenger& bus_;
  const std::vector<int> types_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Message> messages_;
};

}  // namespace tltest

#endif  // TL_TESTS_CORE_CONTROL_DECODER_FAKES_H_
