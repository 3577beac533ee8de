// tl_core_demo: runs the whole core on its bus as an app would: a WAV
// recording is fed through the app-fed recorder into the decoder, whose
// code-word processor runs one decoder configuration, and every message an
// app would act on is printed as it arrives on the bus.
//
//   tl_core_demo CONFIG IN.wav
//
// The processor is handed over as an app processor (by handle, in InitData);
// the built-in plug-ins are switched off. Prints "status N", "failure TEXT"
// and "codeword SENDER VALUE" lines, then a summary. Exit status: 0 done,
// 1 usage, 2 error.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/audio/base_audio_processor.h"
#include "core/audio/custom_recorder.h"
#include "core/control/audio_decoder.h"
#include "core/control/processor_handles.h"
#include "core/control/sdk_private.h"
#include "core/decoder/decoder_library.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/messenger.h"
#include "tools/signal/wav_file.h"

namespace {

using namespace tembrolexinsdk;

// Prints what the platform would receive and lets main wait for a status.
class Printer : public IMessengerListener {
 public:
  explicit Printer(IMessenger* bus) : bus_(bus) {
    for (int type : {9, 31, 37}) bus_->registerListener(type, this);
  }
  ~Printer() override {
    for (int type : {9, 31, 37}) bus_->unregisterListener(type, this);
  }
  void onReceive(const std::string& sender, const ThriftParams& params) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto word = ThriftParamsFactory::readThriftParams<CodewordSignal>(params)) {
      if (word->msg < 0) {
        ++qualityReports_;
      } else {
        std::printf("codeword %s %lld\n", sender.c_str(), static_cast<long long>(word->msg));
        ++words_;
      }
    } else if (auto status = ThriftParamsFactory::readThriftParams<SDKStatusSignal>(params)) {
      std::printf("status %d%s\n", static_cast<int>(status->status),
                  status->__isset.sampleRate
                      ? (" rates " + std::to_string(status->sampleRate)).c_str()
                      : "");
      statuses_.push_back(status->status);
    } else if (auto failure = ThriftParamsFactory::readThriftParams<FailureSignal>(params)) {
      std::printf("failure %s\n", failure->descriptionString.c_str());
      ++failures_;
    }
    std::fflush(stdout);
    cv_.notify_all();
  }
  bool awaitStatus(SDKStatus::type status) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] {
      for (auto s : statuses_) {
        if (s == status) return true;
      }
      return failures_ > 0;
    });
  }
  void summary() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::printf("%d code words, %d quality reports, %d failures\n", words_, qualityReports_,
                failures_);
  }

 private:
  IMessenger* bus_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<SDKStatus::type> statuses_;
  int words_ = 0;
  int qualityReports_ = 0;
  int failures_ = 0;
};

template <typename T>
void send(IMessenger* bus, const T& message) {
  bus->send("Platform", ThriftParamsFactory::createThriftParams(message));
}

}  // namespace

int main(int argc, char** argv) {
  constexpr char kUsage[] =
      "usage: tl_core_demo CONFIG IN.wav\n"
      "  runs the core on its bus with one code-word processor for CONFIG, feeds IN.wav\n"
      "  (16-bit PCM) through the app-fed recorder and prints the messages an app gets\n";
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc != 3) {
    std::fputs(kUsage, stderr);
    return 1;
  }
  const std::string config = argv[1];
  std::vector<uint8_t> bytes;
  tltest::Audio audio;
  std::string error;
  if (!tltest::readRegularFile(argv[2], &bytes, &error) ||
      !tltest::parseWav(bytes, &audio, &error)) {
    std::fprintf(stderr, "tl_core_demo: %s\n", error.c_str());
    return 2;
  }
  DecoderLibraryContext* context = Tembrolexin_Init2(config.c_str(), 1);
  if (context == nullptr) {
    std::fprintf(stderr, "tl_core_demo: %s\n", Tembrolexin_GetErrorMsg());
    return 2;
  }
  const SampleRate schemeRate = SampleRateFromHz(Tembrolexin_FsIn(context));
  Tembrolexin_Close(context);
  const SampleRate captureRate = SampleRateFromHz(audio.rateHz);
  if (schemeRate == SampleRate_NotAvailable || captureRate == SampleRate_NotAvailable) {
    std::fprintf(stderr, "tl_core_demo: unsupported rate\n");
    return 2;
  }
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("tl_core_demo_" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);

  auto processor = std::make_unique<BaseAudioProcessor>("tembrolexin_EchoMod", schemeRate, false,
                                                        std::chrono::milliseconds(250));
  processor->setDecoderDescriptors({std::make_shared<const EchoDecoderDescriptor>(
      config, std::vector<CodewordRange>{{0, INT64_MAX, "CONTENT"}}, false)});
  const int64_t handle = processorhandles::parkAudio(std::move(processor));

  IMessenger* bus = getMessenger();
  int status = 0;
  {
    Printer printer(bus);
    AudioDecoder decoder(bus);
    SDKPrivate bridge(bus, &decoder);
    auto owned = std::make_unique<CustomRecorder>(audio.rateHz, bus);
    CustomRecorder* recorder = owned.get();
    decoder.useCustomRecorder(std::move(owned));

    ConfigurationMapSignal map;
    map.target = ConfigTarget::Target_Cpp;
    ConfigParam none;
    none.type = ConfigParamType::ConfigParam_String;
    none.__set_stringValue("");
    map.config["AudioDecoder_plugins"] = none;  // only the app's processor
    send(bus, map);
    InitData init;
    init.__set_sampleRates(captureRate);
    init.__set_deviceId(1);
    init.__set_filePath(folder.string());
    init.__set_externalFilePath(folder.string());
    init.__set_packageName("demo.app");
    init.__set_udId("demo-device");
    init.__set_audioProcessorPlugins({handle});
    send(bus, init);
    InstructionSignal start;
    start.instruction = SdkInstruction::SdkInstruction_start;
    send(bus, start);
    if (!printer.awaitStatus(SDKStatus::StartListening)) {
      std::fprintf(stderr, "tl_core_demo: the decoder did not start\n");
      status = 2;
    } else {
      // Let the processor build its decoders before the audio flows.
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      const int chunk = audio.rateHz / 100;  // 10 ms, as an app's audio callback
      for (size_t at = 0; at < audio.samples.size(); at += chunk) {
        const int n = static_cast<int>(std::min<size_t>(chunk, audio.samples.size() - at));
        recorder->provideSamples(audio.samples.data() + at, n);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      InstructionSignal stop;
      stop.instruction = SdkInstruction::SdkInstruction_stop;
      send(bus, stop);
      printer.awaitStatus(SDKStatus::StopListening);
    }
    printer.summary();
  }
  std::filesystem::remove_all(folder);
  return status;
}
