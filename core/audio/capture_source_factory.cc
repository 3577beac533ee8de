#include "core/audio/capture_source_factory.h"

#include <exception>
#include <utility>

#include "core/audio/alsa_capture_source.h"
#include "core/runtime/log_helpers.h"

namespace tembrolexinsdk {

namespace {

// An ALSA device that gives way to silence when it does not open.
class DeviceOrSilenceSource final : public ICaptureSource {
 public:
  DeviceOrSilenceSource(const std::string& device, const Clock& clock)
      : clock_(&clock), device_(std::make_unique<AlsaCaptureSource>(device, clock)) {}

  std::string describe() const override { return active().describe(); }

  unsigned short availableRates() override {
    if (silence_) return silence_->availableRates();
    try {
      return device_->availableRates();
    } catch (const std::exception& e) {
      fallBack(e.what());
      return silence_->availableRates();
    }
  }

  int open(int rateHz, unsigned frames, unsigned bufferCount, ICaptureSink* sink) override {
    if (!silence_) {
      const int status = device_->open(rateHz, frames, bufferCount, sink);
      if (status == kOk) return kOk;
      fallBack(device_->describe() + ": " + AlsaCaptureSource::statusText(status));
    }
    return silence_->open(rateHz, frames, bufferCount, sink);
  }
  int start() override { return active().start(); }
  int pause() override { return active().pause(); }
  int stop() override { return active().stop(); }
  int flush() override { return active().flush(); }
  int requeue() override { return active().requeue(); }
  bool heldBySink() const override { return active().heldBySink(); }
  void close() override { active().close(); }

 private:
  ICaptureSource& active() const {
    if (silence_) return *silence_;
    return *device_;
  }

  void fallBack(const std::string& reason) {
    logWithLogger<LogLevel::Warning>(nullptr, "No audio capture device opens (", reason,
                                     "); capturing silence");
    device_->close();
    silence_ = FileCaptureSource::silence(*clock_);
  }

  const Clock* clock_;
  std::unique_ptr<AlsaCaptureSource> device_;
  std::unique_ptr<FileCaptureSource> silence_;
};

}  // namespace

std::optional<CaptureSourceSpec> parseCaptureSourceSpec(const std::string& text) {
  CaptureSourceSpec desc;
  if (text == "silence") return desc;
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || colon + 1 == text.size()) return std::nullopt;
  const std::string kind = text.substr(0, colon);
  desc.target = text.substr(colon + 1);
  if (kind == "alsa") {
    desc.kind = CaptureSourceSpec::Kind::Alsa;
    return desc;
  }
  if (kind.rfind("file", 0) != 0) return std::nullopt;
  desc.kind = CaptureSourceSpec::Kind::File;
  std::string options = kind.substr(4);
  while (!options.empty()) {
    if (options.rfind("+loop", 0) == 0 && !desc.fileOptions.loop) {
      desc.fileOptions.loop = true;
      options.erase(0, 5);
    } else if (options.rfind("+fast", 0) == 0 && desc.fileOptions.paced) {
      desc.fileOptions.paced = false;
      options.erase(0, 5);
    } else {
      return std::nullopt;
    }
  }
  return desc;
}

std::unique_ptr<ICaptureSource> makeCaptureSource(const CaptureSourceSpec& desc,
                                                  const Clock& clock) {
  switch (desc.kind) {
    case CaptureSourceSpec::Kind::Alsa:
      return std::make_unique<AlsaCaptureSource>(desc.target, clock);
    case CaptureSourceSpec::Kind::File:
      try {
        return std::make_unique<FileCaptureSource>(desc.target, desc.fileOptions, clock);
      } catch (const std::exception& e) {
        logWithLogger<LogLevel::Error>(nullptr, e.what(), "; capturing silence");
      }
      break;
    case CaptureSourceSpec::Kind::Silence:
      break;
  }
  return FileCaptureSource::silence(clock);
}

std::unique_ptr<ICaptureSource> makeDeviceOrSilenceSource(const std::string& device,
                                                          const Clock& clock) {
  return std::make_unique<DeviceOrSilenceSource>(device, clock);
}

std::unique_ptr<ICaptureSource> createPlatformCaptureSource(const char* overrideText,
                                                            const Clock& clock) {
  if (overrideText != nullptr && *overrideText != '\0') {
    if (auto desc = parseCaptureSourceSpec(overrideText)) {
      logWithLogger<LogLevel::Info>(nullptr, kCaptureSourceVariable, " chooses ", overrideText);
      return makeCaptureSource(*desc, clock);
    }
    logWithLogger<LogLevel::Warning>(nullptr, kCaptureSourceVariable, " \"", overrideText,
                                     "\" is not alsa:DEVICE, file:PATH, file+loop:PATH, "
                                     "file+fast:PATH or silence; ignored");
  }
  return makeDeviceOrSilenceSource("default", clock);
}

}  // namespace tembrolexinsdk
