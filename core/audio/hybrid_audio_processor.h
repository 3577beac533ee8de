// HybridAudioProcessor: confirms audio-match results with decoded code
// words.
//
// It owns a code-word BaseAudioProcessor (named name + "_cw", only the "CA"
// schemes) and a private audio-match processor that it makes from the
// app's "tembrolexin_Fingerprint" processor. The 16 kHz capture goes to the
// code-word processor unchanged; a copy converted to 8 kHz fills a ring. For
// every code word decoded, the audio-match processor gets the stretch of
// 8 kHz audio that ends at the word; an audio match is passed on only when it
// falls on the code-word grid and a word of the expected value was decoded at
// the matching time.
//
// Configuration keys name + "_cw..." go to the code-word processor
// unchanged, name + "_am..." to the audio-match processor as
// "tembrolexin_Fingerprint...".
//
// Threads: ProcessBuffer runs on the controller's thread; code words arrive
// on the code-word processor's worker, which drives the audio-match
// processor; audio matches arrive on whatever thread that processor reports
// from, and read the code-word processor's schemes as copies (its worker
// may rebuild its decoders meanwhile). The ring, the recent words and the
// audio-match processor each have their own lock.
//
// Ownership: the listener is not owned and must outlive the processor. The
// destructor stops the code-word processor (joining its worker) before the
// audio-match processor and the buffers go.
#ifndef TL_CORE_AUDIO_HYBRID_AUDIO_PROCESSOR_H_
#define TL_CORE_AUDIO_HYBRID_AUDIO_PROCESSOR_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/audio/audio_flow_listener.h"
#include "core/audio/audio_writer.h"
#include "core/audio/base_audio_processor.h"
#include "core/audio/resampler.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/configuration_map.h"
#include "core/runtime/i_processor.h"
#include "core/runtime/i_processor_listener.h"
#include "core/runtime/i_thrift_provider.h"
#include "core/runtime/processor_params.h"

namespace tembrolexinsdk {

class HybridAudioProcessor : public virtual IAudioProcessor,
                             public IHybridAudioProcessor,
                             public IProcessorListener,
                             public IAudioFlowListener,
                             public IThriftProvider,
                             public IThriftConsumer {
 public:
  static constexpr size_t kAMBufferSamples = 176000;  // 22 s at 8 kHz
  static constexpr size_t kAMBufferCount = 10;
  static constexpr size_t kRingSamples = 3 * kAMBufferSamples;
  static constexpr int64_t kLeadCompensation = 640;  // samples at 16 kHz

  HybridAudioProcessor(std::string name, SampleRate rate, bool useNTP,
                       std::chrono::milliseconds pingInterval,
                       const Clock& clock = Clock::real(),
                       const DecoderFunctions& decoder = DecoderFunctions::real());
  ~HybridAudioProcessor() override;

  // IProcessor / IAudioProcessor.
  const std::string& GetName() const override { return name_; }
  const std::string& GetVersion() const override { return version_; }
  // Throws std::runtime_error "Oh noes bad samplerate" for any rate but
  // 16000 Hz.
  void Initialise(IProcessorListener* listener, int sampleRateHz, const NTPInfo* ntp) override;
  void Configure(const ConfigurationParameters* configuration, const NTPInfo* ntp) override;
  void SetFilePath(const std::string& path) override;
  void SetDeviceId(int deviceId) override;
  void ProcessBuffer(const short* samples, int sampleCount,
                     std::chrono::steady_clock::time_point captureTime) override;
  void Start() override;
  void Stop() override;
  IProcessorEventParams* PrepareData(const NTPInfo*) override { return nullptr; }
  SampleRate GetPreferredSampleRate() override { return SampleRate_16000; }

  // IHybridAudioProcessor: makes the audio-match processor from the
  // "tembrolexin_Fingerprint" processor among `processors`.
  void combineWith(const std::vector<IAudioProcessor*>& processors) override;

  // IProcessorListener: what the two inner processors report.
  void onProcessorEvent(const INamedObject* sender, const IProcessorEventParams* params) override;
  void onLogEvent(const INamedObject* sender, const LogParams* params) override;
  void onProcessorStatusChanged(const INamedObject* sender,
                                const IProcessorStatusParams* params) override;
  void onFailed(const FailureParams& failure) override;
  void onNTPRequired() override;
  security::IDataSigner* signer() const override { return nullptr; }

  // IAudioFlowListener: the code-word processor's drops and end are the
  // hybrid's own, passed on with the hybrid as sender.
  void onAudioDropped(const INamedObject* sender) override;
  void onProcessorEnded(const INamedObject* sender, const FailureParams& failure) override;

  // IThriftProvider: nothing to provide.
  void registerListener(int, IThriftConsumer*) override {}
  void sendMessage(const std::string&, std::unique_ptr<ThriftParams>) override {}
  // IThriftConsumer: forwards to the audio-match processor.
  void onReceive(const std::string& senderName, const ThriftParams& params) override;

  // 8 kHz samples the audio-match processor needs per code word of the
  // first scheme: 28452 for "CA9", 14688 for "CA4", else 0.
  static uint64_t getSamplesRequired(const std::vector<const EncodingSchemeInfo*>& schemes);
  // The audio-match configuration for the first scheme ("CA9" or "CA4"):
  // name + "_am_scheme", "_am_fpduration", "_am_fpoffset" (64-bit) and
  // "_am_useSampleTime" (bool); empty for any other scheme.
  static ConfigurationMap getConfig(const std::string& name,
                                    const std::vector<const EncodingSchemeInfo*>& schemes);

  BaseAudioProcessor& codewordProcessor() { return *codewordRaw_; }
  size_t nextAMBuffer() const { return nextBuffer_.load(); }
  uint64_t samplesRequired() const { return samplesRequired_.load(); }

 private:
  void initAMProcessor();
  void handleCodeword(const CodewordEventParams& word);
  void handleAudioMatch(const AMEvent& match);

  const std::string name_;
  const std::string version_;
  const Clock& clock_;
  std::atomic<IProcessorListener*> listener_{nullptr};
  std::atomic<IAudioFlowListener*> flow_{nullptr};  // listener_ as a flow listener
  std::atomic<int32_t> rateHz_{0};
  std::atomic<uint64_t> samplesRequired_{0};

  // Guards the audio-match processor: it is configured and driven from
  // several threads, one at a time.
  tembrolexin::RecursiveMutex amMutex_;
  std::unique_ptr<IAudioProcessor> am_;
  IThriftConsumer* amConsumer_ = nullptr;  // am_ seen as a consumer, or null

  Resampler resampler_;
  AudioWriter writer_;
  std::string filePath_;  // guarded by amMutex_
  std::vector<short> workBuffer_;

  std::vector<std::vector<short>> amBuffers_;
  std::atomic<size_t> nextBuffer_{0};

  tembrolexin::Mutex ringMutex_;
  std::vector<short> ring_;
  size_t writeCursor_ = 0;
  size_t readCursor_ = 0;
  int64_t written_ = 0;

  tembrolexin::Mutex listMutex_;
  std::vector<std::pair<int64_t, std::unique_ptr<CodewordEventParams>>> recent_;

  // Set (under amMutex_) when destruction begins: audio matches are ignored.
  bool closing_ = false;

  // Last: destroyed first, so its worker ends before anything it reaches.
  // Callbacks use the plain pointer, which never changes.
  std::unique_ptr<BaseAudioProcessor> codeword_;
  BaseAudioProcessor* const codewordRaw_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_HYBRID_AUDIO_PROCESSOR_H_
