// WorkerCaptureSource: the capture thread shared by the file and ALSA
// sources. It owns one worker thread per open source, the running state and
// the rule that pause, stop and close return only when no sink call runs.
//
// A subclass supplies the device steps (each called with mutex_ held) and
// captureStep(), which the worker calls again and again while the source
// runs: it either waits a little (through cv_, or a blocking device wait of
// a few milliseconds) or produces one buffer and hands it over with
// deliver(). Control calls take precedence over the worker's next step. A
// subclass's destructor must call close() first, so that the
// worker has ended before the subclass's members go.
//
// Thread safety: as ICaptureSource. The worker holds mutex_ except while
// waiting on cv_ and while the sink runs.
#ifndef TL_CORE_AUDIO_WORKER_CAPTURE_SOURCE_H_
#define TL_CORE_AUDIO_WORKER_CAPTURE_SOURCE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "core/audio/capture_source.h"
#include "core/runtime/checked_mutex.h"

namespace tembrolexinsdk {

class WorkerCaptureSource : public ICaptureSource {
 public:
  // The status of a control call on a source that is not open.
  static constexpr int kNotOpen = -77;  // -EBADFD

  ~WorkerCaptureSource() override;

  int open(int rateHz, unsigned frames, unsigned bufferCount, ICaptureSink* sink) final;
  int start() final;
  int pause() final;
  int stop() final;
  int flush() final;
  void close() final;

 protected:
  WorkerCaptureSource() = default;

  virtual int openDevice(int rateHz, unsigned frames, unsigned bufferCount) = 0;
  virtual int startDevice() = 0;
  virtual int pauseDevice() = 0;
  virtual int stopDevice() = 0;
  virtual int flushDevice() = 0;
  virtual void closeDevice() = 0;
  // One step of the worker while running; `lock` holds mutex_ on entry and
  // on return.
  virtual void captureStep(std::unique_lock<tembrolexin::Mutex>& lock) = 0;

  // Calls the sink without mutex_ held. Returns with mutex_ held again.
  void deliver(std::unique_lock<tembrolexin::Mutex>& lock, const int16_t* samples,
               std::size_t count, const CaptureStamp& stamp);
  // Whether the worker should go on capturing (mutex_ held).
  bool running() const { return running_; }
  // Ends capture from inside captureStep after a device failure.
  void haltFromWorker() { running_ = false; }

  tembrolexin::Mutex mutex_;
  tembrolexin::CondVar cv_;

  // Takes mutex_ for a control call ahead of the worker, which otherwise
  // could take it back again and again between two of its steps.
  class ControlLock {
   public:
    explicit ControlLock(WorkerCaptureSource& source);
    ~ControlLock();
    std::unique_lock<tembrolexin::Mutex>& lock() { return lock_; }

   private:
    WorkerCaptureSource& source_;
    std::unique_lock<tembrolexin::Mutex> lock_;
  };

 private:
  void run();
  // Halts the worker and waits for a running sink call (mutex_ held).
  void halt(std::unique_lock<tembrolexin::Mutex>& lock);
  void closeLocked(std::unique_lock<tembrolexin::Mutex>& lock);

  ICaptureSink* sink_ = nullptr;
  bool open_ = false;
  bool running_ = false;
  bool quit_ = false;
  bool inSink_ = false;
  std::atomic<int> controlWaiting_{0};
  std::thread worker_;
  std::thread::id workerId_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_WORKER_CAPTURE_SOURCE_H_
