#include "core/audio/ios_audio_recorder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>

#include "core/audio/capture_source_factory.h"
#include "core/audio/resampler.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/core_exceptions.h"
#include "core/runtime/log_helpers.h"

namespace tembrolexinsdk {

namespace {

// Host times further back than this are not believed.
constexpr int64_t kMaxDelayNanos = 10LL * 1000 * 1000 * 1000;

// The recorder's name for log lines written where the recorder itself may
// be gone (a late permission answer).
const FixedName kRecorderName("IOSAudioRecorder");

int64_t nanosOf(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace

const char IOSAudioRecorder::kMicUnavailableText[] =
    "The app was not allowed to set the audio category because another app (Phone, etc.) is "
    "controlling it.";

IOSAudioRecorder::IOSAudioRecorder(std::unique_ptr<ICaptureSource> source,
                                   std::shared_ptr<IAudioSession> session,
                                   std::unique_ptr<IDelayedExecutor> executor, const Clock& clock)
    : clock_(&clock),
      source_(std::move(source)),
      session_(std::move(session)),
      executor_(std::move(executor)) {
  logWithLogger<LogLevel::Debug>(this, "constructor entry");
}

IOSAudioRecorder::~IOSAudioRecorder() {
  logWithLogger<LogLevel::Debug>(this, "destructor entry");
  std::optional<int> token;
  {
    std::lock_guard lock(controlMutex_);
    token = observerToken_;
    observerToken_.reset();
  }
  // Waits for an interruption being handled, then for a resume step in
  // progress; neither can reach the recorder afterwards.
  if (token) session_->removeInterruptionObserver(*token);
  executor_.reset();
  halting_.store(true);
  source_->close();
}

const std::string& IOSAudioRecorder::GetName() const { return name_; }

void IOSAudioRecorder::initialise(IAudioRecorderListener* listener) {
  logWithLogger<LogLevel::Debug>(this, "Audiorecorder initialise");
  listener_.store(listener);
}

void IOSAudioRecorder::setup(unsigned int bufferCount) {
  logWithLogger<LogLevel::Debug>(this, "setup entry, numBuffers: ", bufferCount);
  std::lock_guard lock(controlMutex_);
  bufferCount_ = bufferCount;
  // The host clock is the Clock's steady clock in nanoseconds: numerator and
  // denominator of its time base are both 1.
  timebaseNumer_ = 1;
  timebaseDenom_ = 1;
}

unsigned short IOSAudioRecorder::getAvailableSampleRates(unsigned short) {
  logWithLogger<LogLevel::Debug>(this, "Getting available sample rates from audiorecorder method");
  if (!session_->setActive(false)) throw IOSAudioException("AVAudioSession deactivation Error");
  if (!session_->setCategoryPlayAndRecord(IAudioSession::kPlayAndRecordOptions)) {
    throw IOSAudioException("AVAudioSession setCategory Error");
  }
  try {
    return source_->availableRates();
  } catch (const std::exception& e) {
    throw IOSAudioException(std::string("Cannot get the sample rates of ") + source_->describe() +
                            ": " + e.what());
  }
}

void IOSAudioRecorder::createRecorder(SampleRate rate, unsigned int frames) {
  logWithLogger<LogLevel::Debug>(this, "createRecorder entry");
  std::lock_guard lock(controlMutex_);
  if (queueOpen_) {
    halting_.store(true);
    source_->close();
    queueOpen_ = false;
    started_ = false;
  }
  const int hz = Resampler::ConvertSampleRateToHzInt(rate);
  rateHz_ = hz != 0 ? hz : 8000;
  frames_ = frames;
  deliveryBuffers_.clear();
  // The delivery index travels as 8 bits, so at most 256 buffers.
  const bool usable = bufferCount_ >= 1 && bufferCount_ <= 256 && frames >= 1;
  ring_.assign(usable ? std::size_t{bufferCount_} * frames : 0, 0);
  emptyRing();
  const int status = usable ? source_->open(static_cast<int>(rateHz_), frames, bufferCount_, this)
                            : -22;  // -EINVAL
  if (status != ICaptureSource::kOk) {
    logWithLogger<LogLevel::Error>(this, "Failed to create new audio input queue, result: ",
                                   status, " (", source_->describe(), ")");
    return;
  }
  deliveryBuffers_.assign(bufferCount_, std::vector<int16_t>(frames, 0));
  queueOpen_ = true;
}

void IOSAudioRecorder::setFilePath(const std::string&) {}

void IOSAudioRecorder::startRecording() {
  logWithLogger<LogLevel::Debug>(this, "startRecording entry");
  bool capturing = false;
  {
    std::lock_guard lock(controlMutex_);
    if (started_) {
      logWithLogger<LogLevel::Debug>(this, "Recorder was already started");
      return;
    }
    // Failures here show up as a failed start below.
    session_->setCategoryPlayAndRecord(IAudioSession::kPlayAndRecordOptions);
    session_->setActive(true);
    queueIndex_ = 0;
    deliveryIndex_ = 0;
    if (!queueOpen_) {
      // Nothing would be captured: the decoder must not report listening.
      const std::string text =
          "Failed to start audio recorder: no audio input queue (" + source_->describe() + ")";
      // The decoder reports what it catches; an Error here would say it twice.
      logWithLogger<LogLevel::Debug>(this, text);
      throw IOSAudioException(text);
    }
    {
      halting_.store(false);
      const int status = source_->start();
      if (status != ICaptureSource::kOk) {
        const std::string text = "Failed to start audio recorder, result: " + std::to_string(status);
        // What was started and why it did not start, beside the status.
        const std::string named = text + " (" + source_->describe() + ")";
        logWithLogger<LogLevel::Debug>(this, named);
        if (status == ICaptureSource::kInsufficientPriority) {
          throw MicUnavailableException(kMicUnavailableText);
        }
        throw IOSAudioException(named);
      }
      started_ = true;
      capturing = true;
    }
  }
  if (capturing) registerForAudioInterruptions();
  checkForMic();
}

void IOSAudioRecorder::registerForAudioInterruptions() {
  std::lock_guard lock(controlMutex_);
  // One observer per recorder, whatever the number of starts.
  if (observerToken_) return;
  observerToken_ = session_->addInterruptionObserver([this](int type) { onInterruption(type); });
}

void IOSAudioRecorder::checkForMic() {
  if (!session_->canRequestRecordPermission()) return;
  struct Answer {
    tembrolexin::Mutex mutex;
    tembrolexin::CondVar cv;
    std::optional<bool> granted;
    bool late = false;
  };
  auto answer = std::make_shared<Answer>();
  std::shared_ptr<std::atomic<bool>> failed = failed_;
  session_->requestRecordPermission([answer, failed](bool granted) {
    bool late;
    {
      std::lock_guard lock(answer->mutex);
      answer->granted = granted;
      late = answer->late;
    }
    answer->cv.notify_all();
    if (late && !granted) {
      logWithLogger<LogLevel::Error>(&kRecorderName, "Failed to get microphone permission");
      failed->store(true);
    }
  });
  std::unique_lock lock(answer->mutex);
  const auto deadline = clock_->steadyNow() + kPermissionWait;
  while (!answer->granted && clock_->steadyNow() < deadline) {
    clock_->waitUntil(answer->cv, lock, deadline);
  }
  if (!answer->granted) {
    answer->late = true;
    logWithLogger<LogLevel::Warning>(this, "Microphone permission not answered yet");
    return;
  }
  if (!*answer->granted) {
    logWithLogger<LogLevel::Error>(this, "Failed to get microphone permission");
    throw NoMicPermissionException();
  }
}

void IOSAudioRecorder::stopRecording() {
  logWithLogger<LogLevel::Debug>(this, "stopRecording entry");
  std::lock_guard lock(controlMutex_);
  if (queueOpen_) {
    halting_.store(true);
    const int status = source_->stop();
    if (status != ICaptureSource::kOk) {
      logWithLogger<LogLevel::Error>(this, "Failed to stop audio recorder, result: ", status);
    } else {
      const int flushed = source_->flush();
      if (flushed != ICaptureSource::kOk) {
        logWithLogger<LogLevel::Error>(this, "Failed to flush the audio queue, result: ", flushed);
      }
    }
  }
  started_ = false;
  emptyRing();
}

short* IOSAudioRecorder::getShortBuffer(unsigned char index) {
  if (index >= deliveryBuffers_.size()) return nullptr;
  return deliveryBuffers_[index].data();
}

bool IOSAudioRecorder::hasFailed() { return failed_->load(); }

void IOSAudioRecorder::pauseRecording() {
  logWithLogger<LogLevel::Debug>(this, "Audiorecorder pauseRecording");
  std::lock_guard lock(controlMutex_);
  if (queueOpen_) {
    halting_.store(true);
    source_->pause();
  }
}

void IOSAudioRecorder::resumeRecording() {
  logWithLogger<LogLevel::Debug>(this, "audiorecorder trying to restart ");
  executor_->runAfter(kResumeDelay, [this] { resumeStep(); });
}

void IOSAudioRecorder::onInterruption(int type) {
  IAudioRecorderListener* listener = listener_.load();
  if (type == IAudioSession::kInterruptionBegan) {
    logWithLogger<LogLevel::Debug>(this, "Interruption started - Pausing Microphone");
    if (listener != nullptr) listener->audioSessionCallback(IAudioRecorderListener::InterruptionBegan);
    pauseRecording();
  } else {
    logWithLogger<LogLevel::Debug>(this, "Interruption ended - Restarting Microphone");
    if (listener != nullptr) listener->audioSessionCallback(IAudioRecorderListener::InterruptionEnded);
    resumeRecording();
  }
}

void IOSAudioRecorder::resumeStep() {
  std::lock_guard lock(controlMutex_);
  if (!started_ || !queueOpen_) {
    // Stopped while interrupted: capture stays off until the next start.
    logWithLogger<LogLevel::Debug>(this, "Audiorecorder not resumed: recording was stopped");
    return;
  }
  logWithLogger<LogLevel::Debug>(this, "Audiorecorder resumeRecording");
  session_->setActive(true);
  halting_.store(false);
  const int status = source_->start();
  logWithLogger<LogLevel::Debug>(this, "Result from Audioqueuestart was ", status);
  if (status == ICaptureSource::kOk) return;
  logWithLogger<LogLevel::Error>(this, "Failed to start audio recorder, result: ", status);
  if (resumeTrials_ < 1) {
    logWithLogger<LogLevel::Debug>(this, "Failed to start audio decoder after 5 times");
    return;
  }
  logWithLogger<LogLevel::Debug>(this, "recursively trying to resume ", resumeTrials_);
  logWithLogger<LogLevel::Debug>(this, "audiorecorder trying to restart ");
  executor_->runAfter(kResumeDelay, [this] { resumeStep(); });
  --resumeTrials_;
}

void IOSAudioRecorder::checkAudioIntegrity(const int16_t* samples, unsigned int count) {
  unsigned longest = 0;
  unsigned run = 0;
  std::optional<unsigned> firstStart;
  std::optional<unsigned> firstEnd;
  for (unsigned i = 0; i < count; ++i) {
    if (samples[i] == 0) {
      longest = std::max(longest, ++run);
      if (run == 12 && !firstStart) firstStart = i - 11;
    } else {
      if (firstStart && !firstEnd) firstEnd = i;
      run = 0;
    }
  }
  if (longest <= 500) return;
  if (!firstEnd) firstEnd = count;
  logWithLogger<LogLevel::Warning>(this,
                                   "AudioQueueEnqueue buffer returned more than 500 zero-valued "
                                   "samples!");
  logWithLogger<LogLevel::Warning>(this, "AudioQueueEnqueue buffer had ", longest,
                                   " zero-valued samples starting at ", *firstStart + 1,
                                   " and ending at ", *firstEnd, " (out of ", count, ")");
  logWithLogger<LogLevel::Warning>(this, "Input buffer count is ", 0, ", capacity is ", 0);
}

double IOSAudioRecorder::captureDelayMs(const CaptureStamp& stamp, int64_t now) {
  if (!stamp.hostTimeValid) {
    logWithLogger<LogLevel::Debug>(this, "Host time not valid in audio buffer timestamp");
    return 0;
  }
  const int64_t host = stamp.hostTime;
  const bool sensible = host != 0 && host <= now && now - host < kMaxDelayNanos;
  if (correctionOn_) {
    if (sensible) {
      return static_cast<double>(now - host) * timebaseNumer_ / timebaseDenom_ / 1e6;
    }
    correctionOn_ = false;
    logWithLogger<LogLevel::Error>(
        this,
        "Audio Buffer correction impossible as inconsistent times are being provided by the "
        "AudioRecorder. Turning off correction..");
    return 0;
  }
  if (sensible && host < now) {
    correctionOn_ = true;
    logWithLogger<LogLevel::Warning>(
        this, "Audio Buffer correction seems to return sensible values again: turning it on again...");
  }
  return 0;
}

void IOSAudioRecorder::appendToRing(const int16_t* samples, std::size_t count) {
  const std::size_t capacity = ring_.size();
  const std::size_t unread = full_ ? capacity : (writeIndex_ + capacity - readIndex_) % capacity;
  if (unread + count > capacity) {
    // Older samples make way: the newest `capacity` samples are kept.
    const std::size_t dropped = unread + count - capacity;
    logWithLogger<LogLevel::Warning>(this, "Capture ring overflow: dropped the ", dropped,
                                     " oldest samples");
    if (count >= capacity) {
      samples += count - capacity;
      count = capacity;
      readIndex_ = writeIndex_;
    } else {
      readIndex_ = (readIndex_ + dropped) % capacity;
    }
  }
  const std::size_t first = std::min(count, capacity - writeIndex_);
  std::memcpy(ring_.data() + writeIndex_, samples, first * sizeof(int16_t));
  std::memcpy(ring_.data(), samples + first, (count - first) * sizeof(int16_t));
  writeIndex_ = (writeIndex_ + count) % capacity;
  if (count > 0 && writeIndex_ == readIndex_) full_ = true;
}

void IOSAudioRecorder::emptyRing() {
  readIndex_ = 0;
  writeIndex_ = 0;
  full_ = false;
}

void IOSAudioRecorder::onCapture(const int16_t* samples, std::size_t count,
                                 const CaptureStamp& stamp) {
  const auto steadyNow = clock_->steadyNow();
  const int64_t wallNow = clock_->wallMicros();
  const double delayMs = captureDelayMs(stamp, nanosOf(steadyNow));

  if (ring_.empty() || deliveryBuffers_.empty()) return;
  appendToRing(samples, count);
  const int requeued = source_->requeue();
  if (requeued != ICaptureSource::kOk) {
    logWithLogger<LogLevel::Warning>(this, "AudioQueueEnqueue buffer returned error code ",
                                     requeued);
  }
  queueIndex_ = (queueIndex_ + 1) % bufferCount_;

  const std::size_t capacity = ring_.size();
  const std::size_t unread = full_ ? capacity : (writeIndex_ + capacity - readIndex_) % capacity;
  if (unread < frames_) return;
  const std::size_t extra = unread - frames_;
  const int64_t backlogMs =
      extra >= 1 ? static_cast<int64_t>(static_cast<double>(extra) / rateHz_ * 1000.0) : 0;

  IAudioRecorderListener* listener = listener_.load();
  const auto index = static_cast<unsigned char>(deliveryIndex_);
  if (listener != nullptr && !listener->isBufferFree(index)) {
    if (source_->heldBySink()) {
      // A source that waits for us: the block waits for the decoder too.
      switch (awaitDeliveryBuffer(*listener, index)) {
        case BufferWait::kFree:
          break;
        case BufferWait::kHalted:
          return;  // stopping: the ring is emptied, nothing is lost to report
        case BufferWait::kTimedOut:
          dropBlock();
          return;
      }
    } else {
      // The decoder still reads this buffer: the block is lost, not the
      // audio the decoder is working on.
      dropBlock();
      return;
    }
  }
  int16_t* out = deliveryBuffers_[deliveryIndex_].data();
  const std::size_t first = std::min<std::size_t>(frames_, capacity - readIndex_);
  std::memcpy(out, ring_.data() + readIndex_, first * sizeof(int16_t));
  std::memcpy(out + first, ring_.data(), (frames_ - first) * sizeof(int16_t));
  full_ = false;
  readIndex_ = (readIndex_ + frames_) % capacity;

  const int64_t correctionMs = backlogMs + static_cast<int64_t>(delayMs);
  const auto correction = std::chrono::milliseconds(correctionMs);
  if (listener != nullptr) {
    listener->recorderCallback(
        index, steadyNow - correction,
        std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>(
            std::chrono::microseconds(wallNow) - correction));
  }
  deliveryIndex_ = (deliveryIndex_ + 1) % bufferCount_;
}

IOSAudioRecorder::BufferWait IOSAudioRecorder::awaitDeliveryBuffer(IAudioRecorderListener& listener,
                                                                   unsigned char index) {
  // In slices, so that a stop or pause is not held up by a decoder that
  // will not free the buffer.
  for (auto waited = std::chrono::milliseconds(0); waited < kBufferWaitLimit;
       waited += kBufferWaitSlice) {
    if (halting_.load()) return BufferWait::kHalted;
    if (listener.awaitBufferFree(index, kBufferWaitSlice)) return BufferWait::kFree;
  }
  return halting_.load() ? BufferWait::kHalted : BufferWait::kTimedOut;
}

void IOSAudioRecorder::dropBlock() {
  const std::size_t capacity = ring_.size();
  full_ = false;
  readIndex_ = (readIndex_ + frames_) % capacity;
  const uint64_t dropped = droppedBlocks_.fetch_add(1) + 1;
  logWithLogger<LogLevel::Warning>(this, "Delivery buffer ", deliveryIndex_,
                                   " still in use: block dropped (", dropped, " in all)");
}

std::unique_ptr<IAudioRecorder> createAudioRecorder() {
  return std::make_unique<IOSAudioRecorder>(
      createPlatformCaptureSource(std::getenv(kCaptureSourceVariable)), platformAudioSession(),
      std::make_unique<ThreadDelayedExecutor>());
}

}  // namespace tembrolexinsdk
