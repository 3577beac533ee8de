#include "core/audio/manual_capture_source.h"

#include <utility>

#include "core/runtime/checked_mutex.h"

namespace tembrolexinsdk {

unsigned short ManualCaptureSource::availableRates() {
  std::function<void()> thrower;
  unsigned short rates;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back("rates");
    thrower = thrower_;
    rates = rates_;
  }
  if (thrower) thrower();
  return rates;
}

int ManualCaptureSource::answer(const std::string& call) {
  auto it = statuses_.find(call);
  return it == statuses_.end() ? kOk : it->second;
}

int ManualCaptureSource::open(int rateHz, unsigned frames, unsigned bufferCount,
                              ICaptureSink* sink) {
  std::lock_guard lock(mutex_);
  calls_.push_back("open " + std::to_string(rateHz) + " " + std::to_string(frames) + " " +
                   std::to_string(bufferCount));
  const int status = answer("open");
  if (status != kOk) return status;
  sink_ = sink;
  open_ = true;
  started_ = false;
  return kOk;
}

int ManualCaptureSource::start() {
  std::lock_guard lock(mutex_);
  calls_.push_back("start");
  const int status = answer("start");
  if (status == kOk && open_) started_ = true;
  return status;
}

int ManualCaptureSource::pause() {
  std::lock_guard lock(mutex_);
  calls_.push_back("pause");
  const int status = answer("pause");
  if (status == kOk) started_ = false;
  return status;
}

int ManualCaptureSource::stop() {
  std::lock_guard lock(mutex_);
  calls_.push_back("stop");
  const int status = answer("stop");
  if (status == kOk) started_ = false;
  return status;
}

int ManualCaptureSource::flush() {
  std::lock_guard lock(mutex_);
  calls_.push_back("flush");
  return answer("flush");
}

int ManualCaptureSource::requeue() {
  std::lock_guard lock(mutex_);
  return answer("requeue");
}

void ManualCaptureSource::close() {
  std::lock_guard lock(mutex_);
  calls_.push_back("close");
  open_ = false;
  started_ = false;
  sink_ = nullptr;
}

void ManualCaptureSource::setStatus(const std::string& call, int status) {
  std::lock_guard lock(mutex_);
  statuses_[call] = status;
}

void ManualCaptureSource::setRates(unsigned short rates, std::function<void()> thrower) {
  std::lock_guard lock(mutex_);
  rates_ = rates;
  thrower_ = std::move(thrower);
}

bool ManualCaptureSource::deliver(const int16_t* samples, std::size_t count,
                                  const CaptureStamp& stamp) {
  ICaptureSink* sink;
  {
    std::lock_guard lock(mutex_);
    if (!open_ || !started_ || sink_ == nullptr) return false;
    sink = sink_;
  }
  sink->onCapture(samples, count, stamp);
  return true;
}

std::vector<std::string> ManualCaptureSource::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

bool ManualCaptureSource::isOpen() const {
  std::lock_guard lock(mutex_);
  return open_;
}

bool ManualCaptureSource::isStarted() const {
  std::lock_guard lock(mutex_);
  return started_;
}

}  // namespace tembrolexinsdk
