// Recorder: the app's handle on an app-fed recorder. The app pushes 16-bit
// samples through it instead of the microphone; the Recorder wraps the
// core's app-fed recorder, installs it in the core's decoder (apply) and
// tells the app's listener, on the main queue, when the core has set the
// recorder up, starts and stops taking samples.
//
// The core owns the installed recorder and may destroy it (when another
// recorder is installed, or on its own); the Recorder keeps a plain
// reference for feeding, behind one mutex, the feed gate. The gate closes --
// the reference is cleared and samples answer 6 -- before this process
// installs another recorder through apply or useDefaultRecorder, and as soon
// as the core reports this recorder destroyed; samples are never fed while
// the recorder is being installed.
//
// Result codes of provideSamples: 0 taken; 1 refused (more samples than the
// ring holds, or not set up yet); 4 and 5 other refusals of the core, 5
// among them for a call that is never taken (a negative count, or null
// samples with a positive count; the core logs the first at Error); 6 no
// core recorder (never made, or gone, also once the library has shut down).
//
// Rates: create refuses (null, and an Error naming the rate and the rates
// taken) a rate the decoder cannot capture at, Resampler::CaptureRates().
//
// Ownership: the Messenger is shared (a Recorder may outlive the decoder
// that made it); the listener is held strongly. Held by shared_ptr (blocks on the main queue
// keep it alive until they have run).
//
// Thread safety: provideSamples and getMaximumBufferSize may be called from
// any one feeding thread while events arrive on the bus thread and apply runs
// elsewhere; listener calls run on the main queue.
#ifndef TL_PLATFORM_API_TL_RECORDER_H_
#define TL_PLATFORM_API_TL_RECORDER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/runtime/checked_mutex.h"
#include "core/runtime/i_audio_recorder.h"
#include "platform/runtime/messenger.h"
#include "platform/runtime/safe_dispatch.h"

namespace tembrolexinplatform {

class Recorder;

// The app's recorder role.
class TLRecorder {
 public:
  virtual ~TLRecorder() = default;
  virtual int32_t provideSamples(const int16_t* samples, int32_t count) = 0;
  virtual int32_t getMaximumBufferSize() = 0;
};

// All three are called on the main queue.
class TLRecorderListener {
 public:
  virtual ~TLRecorderListener() = default;
  virtual void recorderInitialised(Recorder& recorder) = 0;
  virtual void startedRecording(Recorder& recorder) = 0;
  virtual void stoppedRecording(Recorder& recorder) = 0;
};

// What the Recorder needs of the core: making its app-fed recorder, feeding
// it, and installing a recorder in the core's decoder.
struct RecorderCore {
  // Throws for a rate the core does not take.
  std::function<std::unique_ptr<tembrolexinsdk::IAudioRecorder>(int32_t sampleRateHz)> make;
  // The core recorder's own results: 0 taken, 1 refused, others.
  std::function<int(tembrolexinsdk::IAudioRecorder&, const int16_t*, int32_t)> provideSamples;
  std::function<int32_t(tembrolexinsdk::IAudioRecorder&)> maximumBufferSize;
  // The instance id that the recorder's Destroyed event carries.
  std::function<int64_t(const tembrolexinsdk::IAudioRecorder&)> instanceId;
  // The decoder's useCustomRecorder; null means the microphone.
  std::function<void(std::unique_ptr<tembrolexinsdk::IAudioRecorder>)> install;

  // The core's app-fed recorder and decoder.
  static RecorderCore standard();
};

class Recorder final : public TLRecorder,
                       public IThriftMessageReceiver,
                       public std::enable_shared_from_this<Recorder> {
 public:
  static constexpr const char* kCoreSenderName = "CustomRecorder";

  // Null with an Assert line when the messenger or the listener is missing,
  // or when the core cannot make a recorder for the rate (Error line).
  static std::shared_ptr<Recorder> create(std::shared_ptr<Messenger> messenger,
                                          std::shared_ptr<TLRecorderListener> listener,
                                          int32_t sampleRateHz, RecorderCore core,
                                          SafeDispatch dispatch = SafeDispatch());
  ~Recorder() override;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Hands the core recorder to the decoder (closing the gate of the recorder
  // installed before). Once only; later calls do nothing.
  void apply();
  int32_t provideSamples(const int16_t* samples, int32_t count) override;
  int32_t getMaximumBufferSize() override;
  void onReceive(const TLThriftParams& message, const std::string& sender) override;

  // Back to the microphone (closing the gate of the installed recorder).
  static void useDefaultRecorder(const RecorderCore& core);

 private:
  Recorder(std::shared_ptr<Messenger> messenger, std::shared_ptr<TLRecorderListener> listener,
           RecorderCore core, SafeDispatch dispatch);
  void closeGate();
  void handleDestroyed();

  const std::shared_ptr<Messenger> messenger_;
  const std::shared_ptr<TLRecorderListener> listener_;
  const RecorderCore core_;
  SafeDispatch dispatch_;

  tembrolexin::Mutex gate_;                                // the feed gate
  std::unique_ptr<tembrolexinsdk::IAudioRecorder> owned_;  // until applied
  tembrolexinsdk::IAudioRecorder* recorder_ = nullptr;
  int64_t instance_ = 0;
  bool registered_ = false;  // guarded by gate_
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_API_TL_RECORDER_H_
