#include "core/audio/hybrid_audio_processor.h"

#include <condition_variable>
#include <functional>
#include <thread>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/runtime/configuration_parameter.h"
#include "tests/core/audio/fake_decoder_core.h"
#include "tests/core/audio/recording_listener.h"
#include "tests/support/fake_clock.h"

namespace tembrolexinsdk {
namespace {

// What the audio-match instances were asked to do, shared by all of them.
struct AMLog {
  std::mutex mutex;
  std::condition_variable configured;
  std::vector<std::string> keys;          // configuration keys received
  std::vector<int> counts;                // samples per ProcessBuffer
  std::vector<int64_t> timesMs;           // ProcessBuffer times
  std::vector<std::vector<short>> buffers;
  int initialisedAt = 0;
  std::string filePath;
  IAudioProcessor* instance = nullptr;
};

class FakeAM : public IAudioProcessor {
 public:
  explicit FakeAM(AMLog& log) : log_(log) {}
  const std::string& GetName() const override { return name_; }
  const std::string& GetVersion() const override { return name_; }
  void Initialise(IProcessorListener*, int rate, const NTPInfo*) override {
    std::lock_guard<std::mutex> lock(log_.mutex);
    log_.initialisedAt = rate;
  }
  void Configure(const ConfigurationParameters* c, const NTPInfo*) override {
    std::lock_guard<std::mutex> lock(log_.mutex);
    for (const auto& [key, value] : *c) log_.keys.push_back(key + "=" + value->GetValueAsString());
    log_.configured.notify_all();
  }
  void SetFilePath(const std::string& path) override {
    std::lock_guard<std::mutex> lock(log_.mutex);
    log_.filePath = path;
  }
  void ProcessBuffer(const short* samples, int count,
                     std::chrono::steady_clock::time_point t) override {
    std::lock_guard<std::mutex> lock(log_.mutex);
    log_.counts.push_back(count);
    log_.timesMs.push_back(
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
    log_.buffers.emplace_back(samples, samples + count);
  }
  void Start() override {}
  void Stop() override {}
  IProcessorEventParams* PrepareData(const NTPInfo*) override { return nullptr; }

 private:
  AMLog& log_;
  std::string name_ = "tembrolexin_Fingerprint_instance";
};

// The app's fingerprint processor: it makes the instances.
class FakeFingerprint : public FakeAM, public ICreateableAudioProcessor {
 public:
  explicit FakeFingerprint(AMLog& log) : FakeAM(log), log_(log) {}
  const std::string& GetName() const override { return name_; }
  std::unique_ptr<IAudioProcessor> createAudioProcessor() override {
    auto am = std::make_unique<FakeAM>(log_);
    std::lock_guard<std::mutex> lock(log_.mutex);
    log_.instance = am.get();
    return am;
  }

 private:
  AMLog& log_;
  std::string name_ = "tembrolexin_Fingerprint";
};

// Waits until the idle code-word processor has configured the audio match.
bool AwaitConfigured(AMLog& log) {
  std::unique_lock<std::mutex> lock(log.mutex);
  return log.configured.wait_for(lock, std::chrono::seconds(10), [&] { return !log.keys.empty(); });
}

EncodingSchemeInfo Scheme(const char* shortName, int64_t period = 2880, int64_t lead = 100) {
  return EncodingSchemeInfo{20, "Hybrid", shortName, period, lead};
}

TEST(HybridStaticTest, SamplesRequiredAndConfig) {
  const EncodingSchemeInfo ca9 = Scheme("CA9"), ca4 = Scheme("CA4"), other = Scheme("CH4");
  EXPECT_EQ(HybridAudioProcessor::getSamplesRequired({&ca9, &ca4}), 28452u);
  EXPECT_EQ(HybridAudioProcessor::getSamplesRequired({&ca4}), 14688u);
  EXPECT_EQ(HybridAudioProcessor::getSamplesRequired({&other, &ca9}), 0u);
  EXPECT_EQ(HybridAudioProcessor::getSamplesRequired({}), 0u);
  EXPECT_EQ(HybridAudioProcessor::getConfig("h", {&ca4}).GetValueAsString(),
            "(h_am_fpduration : 1200,h_am_fpoffset : 1200,h_am_scheme : 61,"
            "h_am_useSampleTime : 1)");
  EXPECT_EQ(HybridAudioProcessor::getConfig("h", {&other}).GetValueAsString(), "()");
}

class HybridTest : public testing::Test {
 protected:
  HybridTest() {
    FakeCore::get().reset();
    FakeDecoder ca9;
    ca9.fsIn = 16000;
    ca9.info = Scheme("CA9");
    std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
    FakeCore::get().templates["ca9"] = ca9;
  }
  ~HybridTest() override {
    hybrid_.reset();
    FakeCore::get().reset();
  }

  // A hybrid with its audio-match processor, initialised, whose code-word
  // processor runs one CA9 decoder.
  void Make() {
    hybrid_ = std::make_unique<HybridAudioProcessor>("tembrolexin_Hybrid", SampleRate_16000, false,
                                                     std::chrono::milliseconds(250), clock_,
                                                     FakeFunctions());
    hybrid_->combineWith({&fingerprint_});
    hybrid_->SetFilePath(dir_);
    hybrid_->Initialise(&listener_, 16000, nullptr);
    hybrid_->codewordProcessor().setDecoderDescriptors(
        {std::make_shared<EchoDecoderDescriptor>("ca9", std::vector<CodewordRange>{}, false)});
    ASSERT_TRUE(AwaitConfigured(am_));
  }
  void Word(int64_t value, int64_t systemMs, int64_t samplePosition = 64000) {
    const CodewordEventParams word(1, 0, 0, 0, 0, 3, 3, 0, 0, 0, 0, 0, value, 20, 20, 0, systemMs,
                                   "CONTENT", 100, 2880, samplePosition);
    hybrid_->onProcessorEvent(&hybrid_->codewordProcessor(), &word);
  }
  size_t Forwarded() {
    size_t n = 0;
    listener_.withEvents([&](const auto& all) {
      for (const auto& e : all) n += AMEvent::Cast(e.get()) != nullptr;
    });
    return n;
  }

  tltest::FakeClock clock_;
  tltest::RecordingListener listener_;
  AMLog am_;
  FakeFingerprint fingerprint_{am_};
  std::string dir_ = "/nonexistent-hybrid-folder";
  // Not copied by the processors: lives as long as the hybrid.
  const std::vector<short> level_ = std::vector<short>(1600, 2000);
  std::unique_ptr<HybridAudioProcessor> hybrid_;
};

TEST_F(HybridTest, IdleCodewordProcessorConfiguresTheAudioMatch) {
  Make();
  EXPECT_EQ(hybrid_->samplesRequired(), 28452u);
  std::lock_guard<std::mutex> lock(am_.mutex);
  EXPECT_EQ(am_.initialisedAt, 8000);
  EXPECT_EQ(am_.filePath, dir_);
  EXPECT_EQ(am_.keys, (std::vector<std::string>{
                          "tembrolexin_Fingerprint_fpduration=2880",
                          "tembrolexin_Fingerprint_fpoffset=2880",
                          "tembrolexin_Fingerprint_scheme=21",
                          "tembrolexin_Fingerprint_useSampleTime=1"}));
}

TEST_F(HybridTest, ConfigurationIsRoutedByPrefix) {
  Make();
  {
    std::lock_guard<std::mutex> lock(am_.mutex);
    am_.keys.clear();
  }
  ConfigurationParameter<long long> option(9), am(1), other(2);
  const ConfigurationParameters config{{"tembrolexin_Hybrid_cw_Persistence", &option},
                                       {"tembrolexin_Hybrid_am_threshold", &am},
                                       {"tembrolexin_Hybrid_other", &other},
                                       {"tembrolexin_Fingerprint_x", &other}};
  hybrid_->Configure(&config, nullptr);
  hybrid_->ProcessBuffer(level_.data(), 160, clock_.steadyNow());
  ASSERT_TRUE(listener_.waitForEvents(1));  // the buffer's ProcessingComplete
  {
    std::lock_guard<std::mutex> lock(am_.mutex);
    EXPECT_EQ(am_.keys, (std::vector<std::string>{"tembrolexin_Fingerprint_threshold=1"}));
  }
  std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
  const auto& options = FakeCore::get().byInfo(20)->options;
  ASSERT_EQ(options.size(), 1u);
  EXPECT_EQ(options[0][0], 9);
}

TEST_F(HybridTest, CodewordsDriveTheAudioMatchWithTheStretchEndingThere) {
  Make();
  // 1.6 s of 16 kHz at a level of 2000: 12800 samples at 8 kHz.
  for (int b = 0; b < 16; ++b) hybrid_->ProcessBuffer(level_.data(), 1600, clock_.steadyNow());
  Word(0, 1000);
  Word(-5, 1000);
  Word(7, 123456, 25600);  // 12800 samples in at 8 kHz: the end of the ring's data
  for (int i = 0; i < 9; ++i) Word(8 + i, 123456 + i);
  EXPECT_EQ(hybrid_->nextAMBuffer(), 0u);  // ten buffers used, back at the first
  std::lock_guard<std::mutex> lock(am_.mutex);
  ASSERT_EQ(am_.counts.size(), 10u);
  EXPECT_EQ(am_.counts[0], 28452);
  EXPECT_EQ(am_.timesMs[0], 123456);
  // The stretch ends at the newest sample: its tail is the converted level.
  const std::vector<short>& stretch = am_.buffers[0];
  EXPECT_NEAR(stretch.back(), 2000, 200);  // the 16 to 8 kHz filter's DC gain is 0.93
  EXPECT_EQ(stretch[0], 0);  // before the audio began
}

struct MatchCase {
  const char* name;
  int64_t wordValue;
  int64_t wordTimeShift;  // ms from the match's end
  int64_t gridShift;      // ms off the code-word grid
  bool forwarded;
};

class HybridMatchTest : public HybridTest, public testing::WithParamInterface<MatchCase> {};

TEST_P(HybridMatchTest, ConfirmationWindow) {
  const MatchCase& c = GetParam();
  Make();
  // CA9: period 2880 ms, lead 100 ms; required 28452 samples add 3556 ms;
  // the lead compensation adds 40 ms. k = 12 lies on the grid when
  // offset + 3556 = 12 * 2880 + 100 + 40.
  const int64_t offset = 12 * 2880 + 140 - 3556 + c.gridShift;
  const int64_t timeStamp = 1800000000000;
  const int64_t duration = 3000;
  Word(c.wordValue, timeStamp + duration + c.wordTimeShift);
  const AMEvent match("entry", "id", timeStamp, offset, duration, {0.1});
  hybrid_->onProcessorEvent(am_.instance, &match);
  EXPECT_EQ(Forwarded(), c.forwarded ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, HybridMatchTest,
    testing::Values(MatchCase{"Confirmed", 12, 99, 0, true},
                    MatchCase{"ConfirmedBefore", 12, -99, 0, true},
                    MatchCase{"WordTooLate", 12, 150, 0, false},
                    MatchCase{"WrongWord", 13, 0, 0, false},
                    MatchCase{"NearTheGrid", 12, 0, 50, true},
                    MatchCase{"OffTheGrid", 12, 0, 51, false}),
    [](const testing::TestParamInfo<MatchCase>& info) { return std::string(info.param.name); });

TEST(HybridWrapTest, ExpectedWordsWrapPerScheme) {
  // k = 128 on the CA4 grid (period 1200 ms, lead 0) expects word 1.
  FakeCore::get().reset();
  FakeDecoder ca4;
  ca4.fsIn = 16000;
  ca4.info = Scheme("CA4", 1200, 0);
  {
    std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
    FakeCore::get().templates["ca4"] = ca4;
  }
  tltest::FakeClock clock;
  tltest::RecordingListener listener;
  AMLog log;
  FakeFingerprint fingerprint(log);
  HybridAudioProcessor hybrid("tembrolexin_Hybrid", SampleRate_16000, false,
                              std::chrono::milliseconds(250), clock, FakeFunctions());
  hybrid.combineWith({&fingerprint});
  hybrid.Initialise(&listener, 16000, nullptr);
  hybrid.codewordProcessor().setDecoderDescriptors(
      {std::make_shared<EchoDecoderDescriptor>("ca4", std::vector<CodewordRange>{}, false)});
  ASSERT_TRUE(AwaitConfigured(log));
  ASSERT_EQ(hybrid.samplesRequired(), 14688u);
  // 14688 samples add 1836 ms; compensation 40 ms.
  const int64_t offset = 128 * 1200 + 40 - 1836;
  const CodewordEventParams word(1, 0, 0, 0, 0, 3, 3, 0, 0, 0, 0, 0, 1, 20, 20, 0, 5000, "C", 0,
                                 1200, 0);
  hybrid.onProcessorEvent(&hybrid.codewordProcessor(), &word);
  const AMEvent match("e", "i", 4000, offset, 1000, {});
  hybrid.onProcessorEvent(log.instance, &match);
  EXPECT_EQ(listener.eventCount(), 1u);
  FakeCore::get().reset();
}

TEST(HybridInitTest, OnlySixteenKilohertz) {
  tltest::FakeClock clock;
  tltest::RecordingListener listener;
  HybridAudioProcessor hybrid("tembrolexin_Hybrid", SampleRate_16000, false,
                              std::chrono::milliseconds(250), clock, FakeFunctions());
  try {
    hybrid.Initialise(&listener, 8000, nullptr);
    ADD_FAILURE() << "8000 Hz accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Oh noes bad samplerate");
  }
  // Without an audio-match processor code words are refused, not matched.
  const CodewordEventParams word(1, 0, 0, 0, 0, 3, 3, 0, 0, 0, 0, 0, 5, 20, 20, 0, 5000, "C", 0,
                                 1200, 0);
  hybrid.onProcessorEvent(&hybrid.codewordProcessor(), &word);
  EXPECT_EQ(hybrid.nextAMBuffer(), 0u);
}


// A listener that follows buffers too, and can run a step when the hybrid
// passes an audio match on.
class HybridListener : public tltest::RecordingListener, public IAudioFlowListener {
 public:
  void onProcessorEvent(const INamedObject* sender, const IProcessorEventParams* params) override {
    RecordingListener::onProcessorEvent(sender, params);
    if (AMEvent::Cast(params) != nullptr && onMatch) onMatch();
  }
  void onAudioDropped(const INamedObject* sender) override {
    std::lock_guard<std::mutex> lock(mutex_);
    senders_.push_back(sender);
    ++dropped_;
  }
  void onProcessorEnded(const INamedObject* sender, const FailureParams& failure) override {
    std::lock_guard<std::mutex> lock(mutex_);
    senders_.push_back(sender);
    ended_.push_back(failure.GetDescription());
  }
  int dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
  }
  std::vector<std::string> ended() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
  }
  std::vector<const INamedObject*> senders() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return senders_;
  }
  std::function<void()> onMatch;

 private:
  mutable std::mutex mutex_;
  int dropped_ = 0;
  std::vector<std::string> ended_;
  std::vector<const INamedObject*> senders_;
};

// The code-word processor's drops and end reach the hybrid's listener as the
// hybrid's own.
TEST(HybridFlowTest, DropsAndEndArePassedOnAsTheHybrids) {
  FakeCore::get().reset();
  FakeDecoder broken;
  broken.fsIn = 16000;
  broken.info = Scheme("CA9");
  broken.throwOnProcess = true;
  {
    std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
    FakeCore::get().templates["ca9"] = broken;
  }
  tltest::FakeClock clock;
  HybridListener listener;
  HybridAudioProcessor hybrid("tembrolexin_Hybrid", SampleRate_16000, false,
                              std::chrono::milliseconds(250), clock, FakeFunctions());
  hybrid.Initialise(&listener, 16000, nullptr);
  const std::vector<short> samples(1600, 100);
  hybrid.ProcessBuffer(samples.data(), 1600, clock.steadyNow());  // no decoders yet: dropped
  for (int i = 0; i < 10000 && listener.dropped() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  hybrid.codewordProcessor().setDecoderDescriptors(
      {std::make_shared<EchoDecoderDescriptor>("ca9", std::vector<CodewordRange>{}, false)});
  for (int i = 0; i < 10000 && hybrid.codewordProcessor().getSchemeInfo().empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  hybrid.ProcessBuffer(samples.data(), 1600, clock.steadyNow());  // breaks the worker
  for (int i = 0; i < 10000 && listener.ended().empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(listener.ended(), std::vector<std::string>{"core broke"});
  EXPECT_EQ(listener.dropped(), 2);
  EXPECT_TRUE(listener.failures().empty());
  for (const INamedObject* sender : listener.senders()) EXPECT_EQ(sender, &hybrid);
  FakeCore::get().reset();
}

// Audio matches are checked against copies of the code-word processor's
// schemes: its worker may rebuild (and free) its decoders meanwhile.
TEST_F(HybridTest, AudioMatchReadsSchemesThatARebuildCannotTakeAway) {
  hybrid_ = std::make_unique<HybridAudioProcessor>("tembrolexin_Hybrid", SampleRate_16000, false,
                                                   std::chrono::milliseconds(250), clock_,
                                                   FakeFunctions());
  hybrid_->combineWith({&fingerprint_});
  HybridListener listener;
  hybrid_->Initialise(&listener, 16000, nullptr);
  // Two CA9 decoders: a match is checked once per scheme.
  const auto ca9 = std::make_shared<EchoDecoderDescriptor>("ca9", std::vector<CodewordRange>{},
                                                           false);
  hybrid_->codewordProcessor().setDecoderDescriptors({ca9, ca9});
  ASSERT_TRUE(AwaitConfigured(am_));
  int inits = 0;
  {
    std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
    inits = FakeCore::get().inits;
  }
  // Passing the first confirmation on, the listener has the decoders
  // rebuilt, and waits until the old ones are gone.
  bool rebuilt = false;
  listener.onMatch = [&] {
    if (rebuilt) return;
    rebuilt = true;
    hybrid_->codewordProcessor().setDecoderDescriptors({ca9});
    for (int i = 0; i < 10000; ++i) {
      {
        std::lock_guard<std::mutex> lock(FakeCore::get().mutex);
        if (FakeCore::get().inits > inits) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  const int64_t offset = 12 * 2880 + 140 - 3556;
  const int64_t timeStamp = 1800000000000;
  Word(12, timeStamp + 3000);
  const AMEvent match("entry", "id", timeStamp, offset, 3000, {0.1});
  hybrid_->onProcessorEvent(am_.instance, &match);
  EXPECT_TRUE(rebuilt);
  size_t forwarded = 0;
  listener.withEvents([&](const auto& all) {
    for (const auto& e : all) forwarded += AMEvent::Cast(e.get()) != nullptr;
  });
  EXPECT_EQ(forwarded, 2u);  // once per scheme the match was checked against
  hybrid_.reset();  // its worker reports to the listener until it has ended
}

}  // namespace
}  // namespace tembrolexinsdk
