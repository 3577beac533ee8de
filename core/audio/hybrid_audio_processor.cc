#include "core/audio/hybrid_audio_processor.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "core/audio/plugin_loader.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/configuration_parameter.h"
#include "core/runtime/log.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/message_factory.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

namespace {

// Never destroyed (threads still running at exit may use them).
const std::string& kFingerprint = *new std::string("tembrolexin_Fingerprint");
constexpr int64_t kRecentWindowMs = 100000;
constexpr int64_t kGridToleranceMs = 50;
constexpr int64_t kTimeToleranceMs = 100;

// Records that point into `copies` (which must outlive them), for the
// functions that take the decoders' own records.
struct SchemeRecords {
  explicit SchemeRecords(const std::vector<BaseAudioProcessor::SchemeCopy>& copies) {
    records.reserve(copies.size());
    for (const auto& c : copies) {
      records.push_back(EncodingSchemeInfo{c.scheme, c.name.c_str(), c.shortName.c_str(),
                                           c.codewordDuration, c.codewordOffset});
    }
    for (const EncodingSchemeInfo& r : records) pointers.push_back(&r);
  }
  std::vector<EncodingSchemeInfo> records;
  std::vector<const EncodingSchemeInfo*> pointers;
};

std::string firstShortName(const std::vector<const EncodingSchemeInfo*>& schemes) {
  if (schemes.empty() || schemes[0] == nullptr || schemes[0]->shortName == nullptr) return "";
  return schemes[0]->shortName;
}

// `position` reduced into [0, size).
size_t wrap(int64_t position, size_t size) {
  const int64_t s = static_cast<int64_t>(size);
  return static_cast<size_t>(((position % s) + s) % s);
}

}  // namespace

HybridAudioProcessor::HybridAudioProcessor(std::string name, SampleRate rate, bool useNTP,
                                           std::chrono::milliseconds pingInterval,
                                           const Clock& clock, const DecoderFunctions& decoder)
    : name_(std::move(name)),
      clock_(clock),
      resampler_(SampleRate_16000, SampleRate_8000),
      writer_(Log(nullptr, this), "wd", false),
      workBuffer_(1024),
      amBuffers_(kAMBufferCount, std::vector<short>(kAMBufferSamples)),
      ring_(kRingSamples),
      codeword_(std::make_unique<BaseAudioProcessor>(name_ + "_cw", rate, useNTP, pingInterval,
                                                     clock, decoder)),
      codewordRaw_(codeword_.get()) {
  codewordRaw_->setSchemeFilter(pluginloader::acceptsHybridSchemes);
}

HybridAudioProcessor::~HybridAudioProcessor() {
  {
    std::lock_guard lock(amMutex_);
    closing_ = true;
  }
  // The code-word worker reaches the audio-match processor and the buffers:
  // it ends first.
  std::unique_ptr<BaseAudioProcessor> codeword = std::move(codeword_);
  codeword.reset();
  std::lock_guard lock(amMutex_);
  am_.reset();
}

void HybridAudioProcessor::combineWith(const std::vector<IAudioProcessor*>& processors) {
  for (IAudioProcessor* processor : processors) {
    if (processor == nullptr || processor->GetName() != kFingerprint) continue;
    auto* createable = dynamic_cast<ICreateableAudioProcessor*>(processor);
    if (createable == nullptr) {
      logWithLogger<LogLevel::Warning>(
          this, kFingerprint,
          " does not implement createable interface: hybrid functionality impossible");
      continue;
    }
    std::unique_ptr<IAudioProcessor> am = createable->createAudioProcessor();
    std::lock_guard lock(amMutex_);
    am_ = std::move(am);
    amConsumer_ = dynamic_cast<IThriftConsumer*>(am_.get());
  }
}

void HybridAudioProcessor::Initialise(IProcessorListener* listener, int sampleRateHz,
                                      const NTPInfo* ntp) {
  if (sampleRateHz != 16000) throw std::runtime_error("Oh noes bad samplerate");
  rateHz_ = 16000;
  writer_.setLogger(Log(listener, this));
  writer_.toggleRecording(true);
  listener_ = listener;
  flow_ = dynamic_cast<IAudioFlowListener*>(listener);
  codewordRaw_->Initialise(this, 16000, ntp);
  std::lock_guard lock(amMutex_);
  if (am_) am_->Initialise(this, 8000, ntp);
}

void HybridAudioProcessor::Configure(const ConfigurationParameters* configuration,
                                     const NTPInfo* ntp) {
  if (configuration == nullptr) return;
  const std::string cwPrefix = name_ + "_cw";
  const std::string amPrefix = name_ + "_am";
  ConfigurationParameters codewordPart;
  ConfigurationParameters amPart;
  for (const auto& [key, value] : *configuration) {
    if (key.rfind(cwPrefix, 0) == 0) {
      codewordPart.emplace(key, value);
    } else if (key.rfind(amPrefix, 0) == 0) {
      amPart.emplace(kFingerprint + key.substr(amPrefix.size()), value);
    }
  }
  codewordRaw_->Configure(&codewordPart, ntp);
  std::lock_guard lock(amMutex_);
  if (am_) am_->Configure(&amPart, ntp);
}

void HybridAudioProcessor::SetFilePath(const std::string& path) {
  writer_.setOutputFolder(path);
  {
    std::lock_guard lock(amMutex_);
    filePath_ = path;
  }
  codewordRaw_->SetFilePath(path);
}

void HybridAudioProcessor::SetDeviceId(int deviceId) {
  codewordRaw_->SetDeviceId(deviceId);
  std::lock_guard lock(amMutex_);
  if (am_) am_->SetDeviceId(deviceId);
}

void HybridAudioProcessor::Start() { codewordRaw_->Start(); }

void HybridAudioProcessor::Stop() { codewordRaw_->Stop(); }

void HybridAudioProcessor::ProcessBuffer(const short* samples, int sampleCount,
                                         std::chrono::steady_clock::time_point captureTime) {
  if (samples == nullptr || sampleCount <= 0) {
    codewordRaw_->ProcessBuffer(samples, sampleCount, captureTime);
    return;
  }
  const size_t count = static_cast<size_t>(std::min(sampleCount, 65535));
  if (workBuffer_.size() < count) workBuffer_.resize(count);
  std::copy(samples, samples + count, workBuffer_.begin());
  const size_t n = resampler_.ResampleBufferInPlace(workBuffer_.data(),
                                                    static_cast<unsigned short>(count));
  {
    std::lock_guard lock(ringMutex_);
    for (size_t i = 0; i < n; ++i) {
      ring_[writeCursor_] = workBuffer_[i];
      writeCursor_ = (writeCursor_ + 1) % kRingSamples;
    }
    written_ += static_cast<int64_t>(n);
    readCursor_ = (readCursor_ + n) % kRingSamples;
    for (size_t i = 0; i < n; ++i) {
      workBuffer_[i] = ring_[wrap(static_cast<int64_t>(readCursor_) - static_cast<int64_t>(n) +
                                      static_cast<int64_t>(i),
                                  kRingSamples)];
    }
  }
  writer_.write(workBuffer_.data(), static_cast<unsigned>(n), clock_.steadyNow());
  codewordRaw_->ProcessBuffer(samples, sampleCount, captureTime);
}

void HybridAudioProcessor::onProcessorEvent(const INamedObject* sender,
                                            const IProcessorEventParams* params) {
  if (params == nullptr) return;
  if (sender == codewordRaw_) {
    if (ProcessingCompleteParams::Cast(params) != nullptr) {
      if (IProcessorListener* listener = listener_.load()) listener->onProcessorEvent(this, params);
      return;
    }
    if (const auto* word = CodewordEventParams::Cast(params)) handleCodeword(*word);
    return;
  }
  // Held through the handling, so that destruction waits for it.
  std::lock_guard lock(amMutex_);
  if (closing_ || am_ == nullptr || sender != am_.get()) return;
  if (const auto* match = AMEvent::Cast(params)) handleAudioMatch(*match);
}

void HybridAudioProcessor::handleCodeword(const CodewordEventParams& word) {
  if (word.msg < 1) return;
  std::lock_guard amLock(amMutex_);
  if (!am_) {
    logWithLogger<LogLevel::Error>(this, "Hybrid processor set up with AM - cannot process");
    return;
  }
  const int64_t position = word.samplePosition / 2;  // 8 kHz samples
  const size_t required = static_cast<size_t>(
      std::min<uint64_t>(samplesRequired_.load(), kAMBufferSamples));
  std::vector<short>& buffer = amBuffers_[nextBuffer_.load()];
  {
    std::lock_guard lock(ringMutex_);
    logWithLogger<LogLevel::Info>(this, "Got a codeword ", word.msg, ", ", position,
                                  " samples in -> buffer has filled up to: ", written_,
                                  " (difference: ", written_ - position, ")");
    const int64_t start = static_cast<int64_t>(readCursor_) -
                          (written_ + static_cast<int64_t>(required) - position);
    for (size_t i = 0; i < required; ++i) {
      buffer[i] = ring_[wrap(start + static_cast<int64_t>(i), kRingSamples)];
    }
  }
  logWithLogger<LogLevel::Debug>(this, "Received codeword ", word.msg, " at time ",
                                 word.systemTimeStamp);
  {
    std::lock_guard lock(listMutex_);
    recent_.erase(std::remove_if(recent_.begin(), recent_.end(),
                                 [&](const auto& entry) {
                                   return word.systemTimeStamp - entry.second->systemTimeStamp >
                                          kRecentWindowMs;
                                 }),
                  recent_.end());
    recent_.emplace_back(word.msg, std::make_unique<CodewordEventParams>(word));
  }
  am_->Start();
  am_->ProcessBuffer(buffer.data(), static_cast<int>(required),
                     std::chrono::steady_clock::time_point(
                         std::chrono::nanoseconds(word.systemTimeStamp * 1000000)));
  am_->Stop();
  nextBuffer_ = (nextBuffer_.load() + 1) % kAMBufferCount;
}

void HybridAudioProcessor::handleAudioMatch(const AMEvent& match) {
  const std::vector<BaseAudioProcessor::SchemeCopy> schemes = codewordRaw_->copySchemeInfo();
  const int32_t rate = rateHz_.load();
  if (schemes.empty() || rate == 0) return;
  const int64_t end = match.timeStamp + match.duration;
  const int64_t position =
      match.offset + static_cast<int64_t>(samplesRequired_.load()) * 2000 / rate;
  for (const BaseAudioProcessor::SchemeCopy& scheme : schemes) {
    const int64_t period = scheme.codewordDuration;
    if (period <= 0) continue;
    const int64_t k = std::llround(static_cast<double>(position) / static_cast<double>(period));
    const int64_t m = scheme.shortName == "CA4" ? 127 : 2047;
    const int64_t expected = (k - 1) % m + 1;
    logWithLogger<LogLevel::Debug>(this, "AM match would correspond to CW = ", expected);
    const int64_t deviation = std::llabs(k * period + scheme.codewordOffset +
                                         kLeadCompensation * 1000 / rate - position);
    if (deviation > kGridToleranceMs) {
      logWithLogger<LogLevel::Info>(this, "AM match ", match.dbEntryName, " ignored as it is ",
                                    deviation, " milliseconds away from integer cw match");
      continue;
    }
    bool found = false;
    {
      std::lock_guard lock(listMutex_);
      for (const auto& [value, word] : recent_) {
        if (value == expected && std::llabs(word->systemTimeStamp - end) < kTimeToleranceMs) {
          found = true;
          break;
        }
      }
    }
    if (!found) {
      logWithLogger<LogLevel::Info>(this, "AM match ", match.dbEntryName,
                                    " ignored because no codeword was found with this time");
      return;
    }
    logWithLogger<LogLevel::Info>(this, "AM match ", match.dbEntryName,
                                  " corresponds to codeword match");
    if (IProcessorListener* listener = listener_.load()) listener->onProcessorEvent(this, &match);
  }
}

void HybridAudioProcessor::onProcessorStatusChanged(const INamedObject* sender,
                                                    const IProcessorStatusParams* params) {
  if (sender == codewordRaw_ && AudioProcessorIdleStatusParams::Cast(params) != nullptr) {
    initAMProcessor();
  }
}

void HybridAudioProcessor::initAMProcessor() {
  std::lock_guard lock(amMutex_);
  if (!am_) {
    logWithLogger<LogLevel::Warning>(this, "AMProcessor not yet initialised");
    return;
  }
  am_->SetFilePath(filePath_);
  if (IThriftProvider* provider = ThriftUtil::castToProvider(listener_.load())) {
    logWithLogger<LogLevel::Debug>(this, "Registering for AMDB signals");
    provider->registerListener(22, this);
    AMDBSignal request;
    request.__set_action(AMDBAction::Request);
    provider->sendMessage("Hybrid", ThriftParamsFactory::createThriftParams(request));
  } else {
    logWithLogger<LogLevel::Error>(this, "Could not find thrift provider for AM class");
  }
  const std::vector<BaseAudioProcessor::SchemeCopy> copies = codewordRaw_->copySchemeInfo();
  const SchemeRecords schemes(copies);
  samplesRequired_ = getSamplesRequired(schemes.pointers);
  const ConfigurationMap config = getConfig(name_, schemes.pointers);
  ConfigurationParameters parameters(config.begin(), config.end());
  Configure(&parameters, nullptr);
}

void HybridAudioProcessor::onLogEvent(const INamedObject* sender, const LogParams* params) {
  IProcessorListener* listener = listener_.load();
  if (listener == nullptr || params == nullptr) return;
  const std::string source = sender != nullptr ? sender->GetName() : "<Unknown object>";
  const LogParams line(params->getLevel(), source + ": " + params->getMessage());
  listener->onLogEvent(this, &line);
}

void HybridAudioProcessor::onFailed(const FailureParams& failure) {
  if (IProcessorListener* listener = listener_.load()) listener->onFailed(failure);
}

void HybridAudioProcessor::onAudioDropped(const INamedObject* sender) {
  if (sender != codewordRaw_) return;  // the audio-match processor is driven in step
  if (IAudioFlowListener* flow = flow_.load()) flow->onAudioDropped(this);
}

void HybridAudioProcessor::onProcessorEnded(const INamedObject* sender,
                                            const FailureParams& failure) {
  IAudioFlowListener* flow = flow_.load();
  if (sender == codewordRaw_ && flow != nullptr) {
    flow->onProcessorEnded(this, failure);
  } else {
    onFailed(failure);
  }
}

void HybridAudioProcessor::onNTPRequired() {
  if (IProcessorListener* listener = listener_.load()) listener->onNTPRequired();
}

void HybridAudioProcessor::onReceive(const std::string& senderName, const ThriftParams& params) {
  logWithLogger<LogLevel::Info>(this, "Received thrift message of type ", params.getMsgType(),
                                " from ", senderName, ": forwarding to AM");
  std::lock_guard lock(amMutex_);
  if (amConsumer_ != nullptr) amConsumer_->onReceive(senderName, params);
}

uint64_t HybridAudioProcessor::getSamplesRequired(
    const std::vector<const EncodingSchemeInfo*>& schemes) {
  const std::string name = firstShortName(schemes);
  if (name == "CA9") return 28452;
  if (name == "CA4") return 14688;
  return 0;
}

ConfigurationMap HybridAudioProcessor::getConfig(
    const std::string& name, const std::vector<const EncodingSchemeInfo*>& schemes) {
  ConfigurationMap config;
  const std::string scheme = firstShortName(schemes);
  long long id = 0, duration = 0;
  if (scheme == "CA9") {
    id = 21;
    duration = 2880;
  } else if (scheme == "CA4") {
    id = 61;
    duration = 1200;
  } else {
    return config;
  }
  const ConfigurationParameter<long long> schemeValue(id), durationValue(duration);
  const ConfigurationParameter<bool> useSampleTime(true);
  config.set(name + "_am_scheme", &schemeValue);
  config.set(name + "_am_fpduration", &durationValue);
  config.set(name + "_am_fpoffset", &durationValue);
  config.set(name + "_am_useSampleTime", &useSampleTime);
  return config;
}

}  // namespace tembrolexinsdk
