#include "core/audio/file_capture_source.h"

#include <algorithm>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/sample_rate.h"

namespace tembrolexinsdk {

namespace {

// Every rate of the SampleRate table.
constexpr unsigned short kAllRates = 0x3FFE;

}  // namespace

FileCaptureSource::FileCaptureSource(const std::string& path, Options options, const Clock& clock)
    : clock_(&clock),
      path_(path),
      reader_(std::make_unique<AudioFileReader>(path, AudioFileReader::Accept::kWavOrRaw)),
      options_(options) {}

FileCaptureSource::FileCaptureSource(const Clock& clock) : clock_(&clock), ended_(true) {}

std::unique_ptr<FileCaptureSource> FileCaptureSource::silence(const Clock& clock) {
  return std::unique_ptr<FileCaptureSource>(new FileCaptureSource(clock));
}

FileCaptureSource::~FileCaptureSource() { close(); }

std::string FileCaptureSource::describe() const {
  return reader_ ? "file:" + path_ : std::string("silence");
}

unsigned short FileCaptureSource::availableRates() {
  ControlLock control(*this);
  if (reader_ && reader_->rateHz() != 0) return SampleRateFromHz(reader_->rateHz());
  return kAllRates;
}

int FileCaptureSource::openDevice(int rateHz, unsigned frames, unsigned) {
  if (reader_ && reader_->rateHz() != 0 && reader_->rateHz() != rateHz) return -22;
  rateHz_ = rateHz;
  block_.assign(frames, 0);
  return kOk;
}

int FileCaptureSource::startDevice() {
  epoch_ = clock_->steadyNow();
  sent_ = 0;
  return kOk;
}

std::chrono::steady_clock::time_point FileCaptureSource::sampleTime(uint64_t n) const {
  const auto ns = static_cast<int64_t>(n * 1000000000ULL / static_cast<uint64_t>(rateHz_));
  return epoch_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::nanoseconds(ns));
}

void FileCaptureSource::fillBlock() {
  std::size_t filled = 0;
  if (!ended_) {
    filled = reader_->read(block_.data(), block_.size());
    while (filled < block_.size() && options_.loop && reader_->frameCount() > 0) {
      reader_->rewind();
      filled += reader_->read(block_.data() + filled, block_.size() - filled);
    }
    if (filled < block_.size()) ended_ = true;
  }
  std::fill(block_.begin() + static_cast<std::ptrdiff_t>(filled), block_.end(), int16_t{0});
}

void FileCaptureSource::captureStep(std::unique_lock<tembrolexin::Mutex>& lock) {
  const auto now = clock_->steadyNow();
  if (options_.paced || ended_) {
    const auto due = sampleTime(sent_ + block_.size());
    if (now < due) {
      clock_->waitUntil(cv_, lock, due);
      return;
    }
  } else {
    // Unpaced: each buffer starts now; should the recording end, the
    // silence after it is paced from here.
    epoch_ = now;
    sent_ = 0;
  }
  fillBlock();
  CaptureStamp stamp;
  stamp.hostTimeValid = true;
  stamp.hostTime =
      std::chrono::duration_cast<std::chrono::nanoseconds>(sampleTime(sent_).time_since_epoch())
          .count();
  sent_ += block_.size();
  deliver(lock, block_.data(), block_.size(), stamp);
}

}  // namespace tembrolexinsdk
