#include "core/audio/worker_capture_source.h"

#include <chrono>
#include <exception>
#include <string>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/log_helpers.h"

namespace tembrolexinsdk {

WorkerCaptureSource::~WorkerCaptureSource() {
  // The subclass has closed already; this only guards against a worker left
  // behind by a subclass that forgot to.
  std::unique_lock lock(mutex_);
  if (worker_.joinable()) {
    quit_ = true;
    running_ = false;
    cv_.notify_all();
    lock.unlock();
    if (std::this_thread::get_id() == workerId_) {
      worker_.detach();
    } else {
      worker_.join();
    }
  }
}

WorkerCaptureSource::ControlLock::ControlLock(WorkerCaptureSource& source) : source_(source) {
  source_.controlWaiting_.fetch_add(1);
  lock_ = std::unique_lock<tembrolexin::Mutex>(source_.mutex_);
  source_.controlWaiting_.fetch_sub(1);
}

WorkerCaptureSource::ControlLock::~ControlLock() {
  if (lock_.owns_lock()) lock_.unlock();
  source_.cv_.notify_all();
}

int WorkerCaptureSource::open(int rateHz, unsigned frames, unsigned bufferCount,
                              ICaptureSink* sink) {
  ControlLock control(*this);
  std::unique_lock<tembrolexin::Mutex>& lock = control.lock();
  if (open_) closeLocked(lock);
  if (rateHz <= 0 || frames == 0 || bufferCount == 0 || sink == nullptr) return -22;  // -EINVAL
  const int status = openDevice(rateHz, frames, bufferCount);
  if (status != kOk) return status;
  sink_ = sink;
  open_ = true;
  running_ = false;
  quit_ = false;
  worker_ = std::thread([this] { run(); });
  workerId_ = worker_.get_id();
  return kOk;
}

int WorkerCaptureSource::start() {
  ControlLock control(*this);
  if (!open_) return kNotOpen;
  if (running_) return kOk;
  const int status = startDevice();
  if (status != kOk) return status;
  running_ = true;
  cv_.notify_all();
  return kOk;
}

int WorkerCaptureSource::pause() {
  ControlLock control(*this);
  std::unique_lock<tembrolexin::Mutex>& lock = control.lock();
  if (!open_) return kNotOpen;
  halt(lock);
  return pauseDevice();
}

int WorkerCaptureSource::stop() {
  ControlLock control(*this);
  std::unique_lock<tembrolexin::Mutex>& lock = control.lock();
  if (!open_) return kNotOpen;
  halt(lock);
  return stopDevice();
}

int WorkerCaptureSource::flush() {
  ControlLock control(*this);
  if (!open_) return kNotOpen;
  return flushDevice();
}

void WorkerCaptureSource::close() {
  ControlLock control(*this);
  std::unique_lock<tembrolexin::Mutex>& lock = control.lock();
  if (open_) closeLocked(lock);
}

void WorkerCaptureSource::closeLocked(std::unique_lock<tembrolexin::Mutex>& lock) {
  halt(lock);
  stopDevice();
  quit_ = true;
  cv_.notify_all();
  std::thread worker = std::move(worker_);
  const bool own = std::this_thread::get_id() == workerId_;
  lock.unlock();
  if (own) {
    // Closed from inside the sink: the worker ends when the sink returns.
    worker.detach();
  } else if (worker.joinable()) {
    worker.join();
  }
  lock.lock();
  workerId_ = std::thread::id();
  closeDevice();
  open_ = false;
  sink_ = nullptr;
}

void WorkerCaptureSource::halt(std::unique_lock<tembrolexin::Mutex>& lock) {
  running_ = false;
  cv_.notify_all();
  if (std::this_thread::get_id() == workerId_) return;
  cv_.wait(lock, [this] { return !inSink_; });
}

void WorkerCaptureSource::deliver(std::unique_lock<tembrolexin::Mutex>& lock,
                                  const int16_t* samples, std::size_t count,
                                  const CaptureStamp& stamp) {
  ICaptureSink* sink = sink_;
  inSink_ = true;
  lock.unlock();
  try {
    sink->onCapture(samples, count, stamp);
  } catch (const std::exception& e) {
    logWithLogger<LogLevel::Warning>(nullptr, "Capture callback failed: ", e.what());
  } catch (...) {
    logWithLogger<LogLevel::Warning>(nullptr, "Capture callback failed");
  }
  lock.lock();
  inSink_ = false;
  cv_.notify_all();
}

void WorkerCaptureSource::run() {
  std::unique_lock lock(mutex_);
  while (!quit_) {
    if (!running_) {
      cv_.wait(lock);
      continue;
    }
    if (controlWaiting_.load() > 0) {
      cv_.wait_for(lock, std::chrono::milliseconds(1));
      continue;
    }
    captureStep(lock);
  }
}

}  // namespace tembrolexinsdk
