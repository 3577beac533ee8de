#include "core/audio/capture_source_factory.h"

#include <exception>
#include <string>
#include <utility>

#include "core/audio/alsa_capture_source.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/logger.h"

namespace tembrolexinsdk {

namespace {

// The sender of the lines about the platform recorder's capture source.
const FixedName kSourceName("CaptureSource");

// An ALSA device that may be missing. While it does not open, the source
// answers every rate (so that a decoder fed by the app's own recorder still
// initialises) and opens as nothing; only a start fails, with kNoDevice, and
// describe() then says why. Audio never flows from it unless the device is
// there, so nobody is told capture runs when it does not.
class DefaultDeviceSource final : public ICaptureSource {
 public:
  DefaultDeviceSource(const std::string& device, const Clock& clock)
      : name_(device), device_(std::make_unique<AlsaCaptureSource>(device, clock)) {}

  std::string describe() const override {
    if (missing_.empty()) return device_->describe();
    return device_->describe() + ", which does not open (" + missing_ + ")";
  }

  unsigned short availableRates() override {
    try {
      const unsigned short rates = device_->availableRates();
      missing_.clear();
      return rates;
    } catch (const std::exception& e) {
      setMissing(e.what());
      return kAllRates;
    }
  }

  int open(int rateHz, unsigned frames, unsigned bufferCount, ICaptureSink* sink) override {
    const int status = device_->open(rateHz, frames, bufferCount, sink);
    if (status == kOk) {
      missing_.clear();
      return kOk;
    }
    setMissing("Cannot open ALSA capture device " + name_ + ": " +
               AlsaCaptureSource::statusText(status));
    return kOk;  // opened as nothing: the start says it
  }
  int start() override { return missing_.empty() ? device_->start() : kNoDevice; }
  int pause() override { return missing_.empty() ? device_->pause() : kOk; }
  int stop() override { return missing_.empty() ? device_->stop() : kOk; }
  int flush() override { return missing_.empty() ? device_->flush() : kOk; }
  int requeue() override { return missing_.empty() ? device_->requeue() : kOk; }
  bool heldBySink() const override { return missing_.empty() && device_->heldBySink(); }
  void close() override { device_->close(); }

 private:
  static constexpr unsigned short kAllRates = 0x3FFE;

  void setMissing(const std::string& reason) {
    // Once per reason: the decoder asks at every initialisation.
    if (reason != missing_) {
      logWithLogger<LogLevel::Warning>(&kSourceName, "No audio capture device opens (", reason,
                                       "); capture from it fails until one does");
    }
    missing_ = reason;
  }

  const std::string name_;
  std::unique_ptr<AlsaCaptureSource> device_;
  std::string missing_;  // why the device does not open; empty while it does
};

// A recording that cannot be read: like a device that does not open, it
// answers every rate and opens as nothing (a decoder fed by the app's own
// recorder still initialises), and every start fails with kNoDevice, its
// description naming the file and the reason. No audio ever flows from it.
class UnreadableFileSource final : public ICaptureSource {
 public:
  UnreadableFileSource(const std::string& path, const std::string& reason)
      : path_(path), reason_(reason) {}

  std::string describe() const override {
    // The path is the user's bytes: escaped where they are not UTF-8, so
    // that the failure that quotes this still reaches the app.
    return "file:" + StringChecker::escapeBytes(path_) + ", which does not open (" +
           StringChecker::escapeBytes(reason_) + ")";
  }
  unsigned short availableRates() override { return kAllRates; }
  int open(int, unsigned, unsigned, ICaptureSink*) override { return kOk; }
  int start() override { return kNoDevice; }
  int pause() override { return kOk; }
  int stop() override { return kOk; }
  int flush() override { return kOk; }
  int requeue() override { return kOk; }
  bool heldBySink() const override { return false; }
  void close() override {}

 private:
  static constexpr unsigned short kAllRates = 0x3FFE;
  const std::string path_;
  const std::string reason_;
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
        // The start fails naming the file and the reason, and that failure
        // is what is reported; here it is only noted.
        logWithLogger<LogLevel::Debug>(&kSourceName, StringChecker::escapeBytes(e.what()),
                                       "; starting capture fails");
        return std::make_unique<UnreadableFileSource>(desc.target, e.what());
      }
    case CaptureSourceSpec::Kind::Silence:
      break;
  }
  return FileCaptureSource::silence(clock);
}

std::unique_ptr<ICaptureSource> makeDefaultDeviceSource(const std::string& device,
                                                        const Clock& clock) {
  return std::make_unique<DefaultDeviceSource>(device, clock);
}

std::unique_ptr<ICaptureSource> createPlatformCaptureSource(const char* overrideText,
                                                            const Clock& clock) {
  if (overrideText != nullptr && *overrideText != '\0') {
    if (auto desc = parseCaptureSourceSpec(overrideText)) {
      logWithLogger<LogLevel::Info>(&kSourceName, kCaptureSourceVariable, " chooses ",
                                    StringChecker::escapeBytes(overrideText));
      return makeCaptureSource(*desc, clock);
    }
    logWithLogger<LogLevel::Warning>(&kSourceName, kCaptureSourceVariable, " \"",
                                     StringChecker::escapeBytes(overrideText),
                                     "\" is not alsa:DEVICE, file:PATH, file+loop:PATH, "
                                     "file+fast:PATH or silence; ignored");
  }
  return makeDefaultDeviceSource("default", clock);
}

}  // namespace tembrolexinsdk
