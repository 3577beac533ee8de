// IOSAudioRecorder: the platform recorder. It captures 16-bit mono audio
// from a capture source under the device's audio session and hands the
// decoder one filled delivery buffer at a time, stamped with the capture
// time corrected for the capture delay and the backlog.
//
// Every callback of the source appends its samples to a ring of
// (buffer count x frames) samples; when at least one buffer's worth is
// unread, the oldest `frames` samples go to the next delivery buffer and
// the listener's recorderCallback is called, at most once per callback. The
// time stamps are the clock's readings less the backlog (unread samples
// beyond the delivered buffer) and less the capture delay (now less the
// source's host time of the buffer). Inconsistent host times (0, in the
// future, 10 s or more ago) switch the delay correction off, with one Error
// line, until a sensible host time switches it on again (Warning). A ring
// that would overflow drops its oldest samples with a Warning. A block whose
// delivery buffer the listener still reads (isBufferFree) is dropped with a
// Warning and counted; the delivery index stays, so buffers are refilled in
// turn once free. A source that may be held (heldBySink: a file played as
// fast as it is decoded) is held instead, while the listener frees the
// buffer (awaitBufferFree), up to kBufferWaitLimit; a stop or pause ends the
// wait.
//
// The session's interruptions pause capture and, once they end, restart it
// half a second later through the delayed executor, retrying on failure up
// to 5 times in the recorder's life.
//
// Ownership: the recorder owns its source and executor and shares the
// session; the listener is not owned and must outlive capture.
//
// Thread safety: the control calls (initialise, setup, getAvailableSampleRates,
// createRecorder, startRecording, stopRecording, destruction) come from one
// thread at a time (the decoder's); interruptions may arrive on any thread
// and the resume step runs on the executor's thread; they are serialised by
// one control mutex, which is never held while the listener runs. The
// capture callback runs on the source's thread and alone touches the ring
// while capture runs; the source's stop returns only when no callback runs,
// after which the control thread empties the ring.
#ifndef TL_CORE_AUDIO_IOS_AUDIO_RECORDER_H_
#define TL_CORE_AUDIO_IOS_AUDIO_RECORDER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/audio/audio_session.h"
#include "core/audio/capture_source.h"
#include "core/audio/delayed_executor.h"
#include "core/audio/recorder_exceptions.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/clock.h"
#include "core/runtime/i_audio_recorder.h"

namespace tembrolexinsdk {

class IOSAudioRecorder final : public IAudioRecorder, private ICaptureSink {
 public:
  // The text of the MicUnavailableException thrown when another user of the
  // audio hardware has priority.
  static const char kMicUnavailableText[];
  // How long startRecording waits for the answer to the permission request.
  static constexpr std::chrono::seconds kPermissionWait{2};
  // Delay before the capture restarts after an interruption, and between
  // retries.
  static constexpr std::chrono::milliseconds kResumeDelay{500};
  static constexpr int kResumeTrials = 5;
  // Longest wait for a delivery buffer when the source may be held, and the
  // slices in which a stop is noticed.
  static constexpr std::chrono::milliseconds kBufferWaitLimit{10000};
  static constexpr std::chrono::milliseconds kBufferWaitSlice{20};

  IOSAudioRecorder(std::unique_ptr<ICaptureSource> source, std::shared_ptr<IAudioSession> session,
                   std::unique_ptr<IDelayedExecutor> executor, const Clock& clock = Clock::real());
  ~IOSAudioRecorder() override;
  IOSAudioRecorder(const IOSAudioRecorder&) = delete;
  IOSAudioRecorder& operator=(const IOSAudioRecorder&) = delete;

  const std::string& GetName() const override;
  void initialise(IAudioRecorderListener* listener) override;
  void setup(unsigned int bufferCount) override;
  // Deactivates the session and sets its category, then answers the
  // source's rates. Throws IOSAudioException "AVAudioSession deactivation
  // Error" or "AVAudioSession setCategory Error", or with the source's
  // reason when the source cannot be asked.
  unsigned short getAvailableSampleRates(unsigned short previous) override;
  // Opens the source; a failure is logged and leaves the recorder without
  // capture (a start then only asks for permission). Not while capturing.
  void createRecorder(SampleRate rate, unsigned int frames) override;
  void setFilePath(const std::string& path) override;
  // Throws MicUnavailableException (another user has priority),
  // IOSAudioException (any other start failure) or NoMicPermissionException
  // (the user refused the microphone). A failure to start is logged at Debug
  // only: the caller reports what it catches.
  void startRecording() override;
  void stopRecording() override;
  // Delivery buffer `index`; null before createRecorder succeeded or for an
  // index beyond the buffer count.
  short* getShortBuffer(unsigned char index) override;
  // True once a permission request answered after startRecording had
  // stopped waiting was refused.
  bool hasFailed() override;
  // Blocks dropped because the listener still read their delivery buffer.
  uint64_t droppedBlocks() const { return droppedBlocks_.load(); }

  void registerForAudioInterruptions();
  // Asks for record permission and waits for the answer up to
  // kPermissionWait; throws NoMicPermissionException on a refusal.
  void checkForMic();
  void pauseRecording();
  void resumeRecording();
  // Diagnostic over `count` captured samples: when the longest run of zero
  // samples is longer than 500, Warning lines tell its length, where the
  // first run of at least 12 zeros starts (one past its first position) and
  // ends (its first non-zero sample), and the buffer's packet descriptions
  // (linear PCM carries none).
  void checkAudioIntegrity(const int16_t* samples, unsigned int count);

 private:
  void onCapture(const int16_t* samples, std::size_t count, const CaptureStamp& stamp) override;
  void onInterruption(int type);
  void resumeStep();
  // Capture-delay in ms for a buffer stamped `stamp`, `now` in ns.
  double captureDelayMs(const CaptureStamp& stamp, int64_t now);
  enum class BufferWait { kFree, kHalted, kTimedOut };
  BufferWait awaitDeliveryBuffer(IAudioRecorderListener& listener, unsigned char index);
  // Skips the oldest buffer's worth of the ring, with a Warning.
  void dropBlock();
  void appendToRing(const int16_t* samples, std::size_t count);
  void emptyRing();

  const std::string name_ = "IOSAudioRecorder";
  const Clock* clock_;
  std::unique_ptr<ICaptureSource> source_;
  std::shared_ptr<IAudioSession> session_;
  std::unique_ptr<IDelayedExecutor> executor_;
  std::atomic<IAudioRecorderListener*> listener_{nullptr};

  tembrolexin::Mutex controlMutex_;
  unsigned bufferCount_ = 0;
  // Host clock ticks to nanoseconds.
  uint32_t timebaseNumer_ = 1;
  uint32_t timebaseDenom_ = 1;
  bool queueOpen_ = false;
  bool started_ = false;
  int resumeTrials_ = kResumeTrials;
  std::optional<int> observerToken_;
  std::shared_ptr<std::atomic<bool>> failed_ = std::make_shared<std::atomic<bool>>(false);

  // Capture state: written by createRecorder and stop (no callback running)
  // and by the capture callback.
  double rateHz_ = 8000;
  unsigned frames_ = 0;
  std::vector<int16_t> ring_;
  std::size_t readIndex_ = 0;
  std::size_t writeIndex_ = 0;
  bool full_ = false;
  std::vector<std::vector<int16_t>> deliveryBuffers_;
  unsigned queueIndex_ = 0;
  unsigned deliveryIndex_ = 0;
  bool correctionOn_ = true;
  std::atomic<uint64_t> droppedBlocks_{0};
  // Set while capture is being stopped or paused: a wait for a delivery
  // buffer gives up.
  std::atomic<bool> halting_{false};
};

// The platform recorder with the platform's capture source (TL_AUDIO_SOURCE,
// else the ALSA default device or silence), the process's audio session and
// an executor thread of its own.
std::unique_ptr<IAudioRecorder> createAudioRecorder();

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_IOS_AUDIO_RECORDER_H_
