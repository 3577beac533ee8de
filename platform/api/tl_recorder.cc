#include "platform/api/tl_recorder.h"

#include <exception>

#include "core/audio/resampler.h"
#include "core/runtime/checked_mutex.h"
#include "platform/api/tl_decoder.h"
#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

// The recorder this process installed last, so that its gate closes before
// the core destroys it for the next one.
struct Installed {
  tembrolexin::Mutex mutex;
  std::weak_ptr<Recorder> recorder;
};

Installed& installed() {
  static Installed* i = new Installed();
  return *i;
}

constexpr int32_t kRecorderEventType = kMessageTypeId<RecorderEvent>;

}  // namespace

Recorder::Recorder(std::shared_ptr<Messenger> messenger,
                   std::shared_ptr<TLRecorderListener> listener, RecorderCore core,
                   SafeDispatch dispatch)
    : messenger_(std::move(messenger)),
      listener_(std::move(listener)),
      core_(std::move(core)),
      dispatch_(dispatch) {}

std::shared_ptr<Recorder> Recorder::create(std::shared_ptr<Messenger> messenger,
                                           std::shared_ptr<TLRecorderListener> listener,
                                           int32_t sampleRateHz, RecorderCore core,
                                           SafeDispatch dispatch) {
  constexpr const char* kMethod = "-[Recorder initWithMessenger:Listener:SampleRate:]";
  if (messenger == nullptr) {
    TLLogger::assertInMethod(kMethod, __LINE__, "Cannot initialise recorder: messenger is nil");
    return nullptr;
  }
  if (!listener) {
    TLLogger::assertInMethod(kMethod, __LINE__, "Cannot initialise recorder: listener is nil");
    return nullptr;
  }
  // Only a rate the decoder can capture at is converted to its plug-ins'.
  const unsigned short capture = tembrolexinsdk::Resampler::CaptureRates();
  const auto flag = tembrolexinsdk::SampleRateFromHz(sampleRateHz);
  if ((flag & capture) == 0) {
    std::string rates;
    for (unsigned bit = 1; bit < 16; ++bit) {
      const auto rate = static_cast<tembrolexinsdk::SampleRate>(1u << bit);
      if ((capture & rate) == 0) continue;
      rates += (rates.empty() ? "" : ", ") +
               std::to_string(tembrolexinsdk::Resampler::ConvertSampleRateToHzInt(rate));
    }
    TLLogger::errorInMethod(kMethod, __LINE__,
                            "Cannot create a recorder for %d Hz: the decoder takes %s Hz", sampleRateHz,
                            rates.c_str());
    return nullptr;
  }
  std::unique_ptr<tembrolexinsdk::IAudioRecorder> made;
  try {
    made = core.make(sampleRateHz);
  } catch (const std::exception& e) {
    TLLogger::errorInMethod(kMethod, __LINE__, "Cannot create a recorder for %d Hz: %s",
                            sampleRateHz, e.what());
    return nullptr;
  }
  if (!made) return nullptr;
  Messenger& bus = *messenger;
  std::shared_ptr<Recorder> recorder(
      new Recorder(std::move(messenger), std::move(listener), std::move(core), dispatch));
  recorder->recorder_ = made.get();
  recorder->instance_ = recorder->core_.instanceId(*made);
  recorder->owned_ = std::move(made);
  recorder->registered_ = true;
  bus.registerReceiver(recorder.get(), kRecorderEventType);
  return recorder;
}

Recorder::~Recorder() {
  bool registered;
  {
    std::lock_guard lock(gate_);
    registered = registered_;
  }
  if (registered) messenger_->unregisterReceiver(this, kRecorderEventType);
}

void Recorder::closeGate() {
  std::lock_guard lock(gate_);
  if (!owned_) recorder_ = nullptr;  // an unapplied recorder is still ours to feed
}

void Recorder::apply() {
  Installed& slot = installed();
  std::lock_guard installLock(slot.mutex);
  std::unique_ptr<tembrolexinsdk::IAudioRecorder> handOver;
  {
    std::lock_guard lock(gate_);
    if (!owned_) return;
    handOver = std::move(owned_);
  }
  std::shared_ptr<Recorder> previous = slot.recorder.lock();
  if (previous && previous.get() != this) previous->closeGate();
  slot.recorder = weak_from_this();
  // The gate stays shut while the core sets the recorder up.
  std::lock_guard lock(gate_);
  core_.install(std::move(handOver));
}

void Recorder::useDefaultRecorder(const RecorderCore& core) {
  Installed& slot = installed();
  std::lock_guard installLock(slot.mutex);
  if (std::shared_ptr<Recorder> previous = slot.recorder.lock()) previous->closeGate();
  slot.recorder.reset();
  core.install(nullptr);
}

int32_t Recorder::provideSamples(const int16_t* samples, int32_t count) {
  std::lock_guard lock(gate_);
  // After the library's shutdown the decoder is gone, though the handler
  // that would clear the reference may never run (the main queue stopped).
  if (recorder_ == nullptr || TLDecoder::isShutDown()) return 6;
  switch (core_.provideSamples(*recorder_, samples, count)) {
    case 0:
      return 0;
    case 1:
      return 1;
    case 2:
      return 4;
    default:
      return 5;
  }
}

int32_t Recorder::getMaximumBufferSize() {
  std::lock_guard lock(gate_);
  return recorder_ == nullptr ? 0 : core_.maximumBufferSize(*recorder_);
}

void Recorder::onReceive(const TLThriftParams& message, const std::string& sender) {
  if (sender != kCoreSenderName) return;
  auto event = message.newMessageOfType<RecorderEvent>();
  if (!event || !event->__isset.eventType) return;
  std::shared_ptr<Recorder> self = weak_from_this().lock();
  if (!self) return;  // being destroyed
  switch (event->eventType) {
    case 0:
      dispatch_.safeDispatchAsyncOnMainQueue([self] { self->listener_->recorderInitialised(*self); });
      break;
    case 1:
      dispatch_.safeDispatchAsyncOnMainQueue([self] { self->listener_->startedRecording(*self); });
      break;
    case 2:
      dispatch_.safeDispatchAsyncOnMainQueue([self] { self->listener_->stoppedRecording(*self); });
      break;
    case 3: {
      // Only our own recorder's end counts; another recorder's Destroyed
      // event (the one this replaced, say) must not silence this one.
      if (!event->__isset.instance || event->instance != instance_) return;
      {
        // The core has destroyed it: no sample may reach it from now on.
        std::lock_guard lock(gate_);
        recorder_ = nullptr;
      }
      dispatch_.safeDispatchAsyncOnMainQueue([self] { self->handleDestroyed(); });
      break;
    }
    default:
      break;
  }
}

void Recorder::handleDestroyed() {
  TLLogger::infoInMethod("-[Recorder onReceive:sender:]", __LINE__, "Custom Recorder destroyed");
  bool registered;
  {
    std::lock_guard lock(gate_);
    recorder_ = nullptr;
    registered = registered_;
    registered_ = false;
  }
  if (registered) messenger_->unregisterReceiver(this, kRecorderEventType);
}

}  // namespace tembrolexinplatform
