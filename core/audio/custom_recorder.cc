#include "core/audio/custom_recorder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/audio/resampler.h"
#include "core/runtime/checked_mutex.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/message_factory.h"
#include "core/runtime/messenger.h"
#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

namespace {

// A pointer as the log shows it: its hexadecimal address.
std::string pointerText(const void* pointer) {
  std::ostringstream text;
  text << pointer;
  return text.str();
}

}  // namespace

struct CustomRecorder::Impl {
  Impl(int hz, IMessenger* bus, const Clock& c)
      : messenger(bus), clock(&c), rateHz(hz), rate(convertValueToSampleRate(hz)) {}

  // Whether every call in progress runs on the calling thread (mutex held).
  bool onlyThisThreadActive() const {
    const auto self = std::this_thread::get_id();
    return std::all_of(active.begin(), active.end(), [&](std::thread::id id) { return id == self; });
  }
  void leave() {
    active.erase(std::find(active.begin(), active.end(), std::this_thread::get_id()));
    idle.notify_all();
  }

  IMessenger* const messenger;
  const Clock* const clock;
  const int rateHz;
  const SampleRate rate;

  tembrolexin::Mutex mutex;
  tembrolexin::CondVar idle;
  IAudioRecorderListener* listener = nullptr;
  unsigned bufferCount = 0;
  std::vector<int16_t> ring;
  std::size_t writeCursor = 0;
  std::size_t unread = 0;
  std::vector<std::vector<int16_t>> buffers;
  unsigned nextBuffer = 0;
  // Counts re-creations, so a delivery loop notices one made meanwhile.
  uint64_t generation = 0;
  bool destroying = false;
  bool invalidCallLogged = false;
  // Threads inside provideSamples, one entry per call in progress.
  std::vector<std::thread::id> active;
};

CustomRecorder::CustomRecorder(int sampleRateHz) : CustomRecorder(sampleRateHz, getMessenger()) {}

CustomRecorder::CustomRecorder(int sampleRateHz, IMessenger* messenger, const Clock& clock)
    : impl_(std::make_unique<Impl>(sampleRateHz, messenger, clock)) {}

CustomRecorder::~CustomRecorder() {
  {
    std::unique_lock lock(impl_->mutex);
    impl_->destroying = true;
    impl_->idle.wait(lock, [this] { return impl_->onlyThisThreadActive(); });
  }
  announce(RecorderEventType::Destroyed, true);
}

const std::string& CustomRecorder::GetName() const { return name_; }

void CustomRecorder::initialise(IAudioRecorderListener* listener) {
  std::lock_guard lock(impl_->mutex);
  impl_->listener = listener;
}

void CustomRecorder::setup(unsigned int bufferCount) {
  logWithLogger<LogLevel::Debug>(this, "Setup entry, numBuffers: ", bufferCount);
  std::lock_guard lock(impl_->mutex);
  // The buffer index travels as 8 bits.
  impl_->bufferCount = std::min(bufferCount, 256u);
}

unsigned short CustomRecorder::getAvailableSampleRates(unsigned short) { return impl_->rate; }

void CustomRecorder::createRecorder(SampleRate, unsigned int frames) {
  {
    std::unique_lock lock(impl_->mutex);
    impl_->idle.wait(lock, [this] { return impl_->onlyThisThreadActive(); });
    impl_->buffers.resize(impl_->bufferCount);
    for (auto& buffer : impl_->buffers) buffer.resize(frames, 0);
    impl_->ring.assign(std::size_t{impl_->bufferCount} * frames, 0);
    impl_->writeCursor = 0;
    impl_->unread = 0;
    impl_->nextBuffer = 0;
    ++impl_->generation;
  }
  announce(RecorderEventType::Initialised, false);
}

void CustomRecorder::setFilePath(const std::string&) {}

void CustomRecorder::startRecording() { announce(RecorderEventType::Started, false); }

void CustomRecorder::stopRecording() { announce(RecorderEventType::Stopped, false); }

short* CustomRecorder::getShortBuffer(unsigned char index) {
  std::lock_guard lock(impl_->mutex);
  if (index >= impl_->buffers.size()) return nullptr;
  return impl_->buffers[index].data();
}

bool CustomRecorder::hasFailed() { return false; }

unsigned int CustomRecorder::getMaximumBufferSize() {
  std::lock_guard lock(impl_->mutex);
  std::size_t total = 0;
  for (const auto& buffer : impl_->buffers) total += buffer.size();
  return static_cast<unsigned int>(total);
}

int CustomRecorder::provideSamples(const short* samples, int count) {
  Impl& s = *impl_;
  std::unique_lock lock(s.mutex);
  if (count < 0 || (samples == nullptr && count > 0)) {
    // An app that answers a refusal by feeding again would loop for ever on
    // 1: this answer says the call can never succeed.
    if (s.invalidCallLogged || s.destroying) return kInvalidCall;
    s.invalidCallLogged = true;
    // Counted as a call in progress, so that the recorder outlives the line.
    s.active.push_back(std::this_thread::get_id());
    lock.unlock();
    const std::string at = samples == nullptr ? std::string("null") : pointerText(samples);
    const char* why = count < 0 ? "a negative count" : "null samples with a positive count";
    logWithLogger<LogLevel::Error>(this, "provideSamples(samples ", at, ", count ", count,
                                   ") refused: ", why,
                                   "; such a call is never taken (logged once per recorder)");
    lock.lock();
    s.leave();
    return kInvalidCall;
  }
  if (s.destroying) return 1;
  const std::size_t n = static_cast<std::size_t>(count);
  const std::size_t size = s.ring.size();
  if (n > size) return 1;

  if (s.buffers.empty()) return 1;

  const std::size_t length = s.buffers[0].size();
  const auto steadyNow = s.clock->steadyNow();
  const auto wallNow = std::chrono::microseconds(s.clock->wallMicros());
  if (length == 0 || n == 0) return 0;

  s.active.push_back(std::this_thread::get_id());
  // Leaves also when the listener throws (the exception goes on to the
  // caller).
  struct Leave {
    Impl& s;
    std::unique_lock<tembrolexin::Mutex>& lock;
    ~Leave() {
      if (!lock.owns_lock()) lock.lock();
      s.leave();
    }
  } leave{s, lock};
  const uint64_t generation = s.generation;
  // The samples go in as far as they fit behind the unread ones; every full
  // buffer goes out before the rest comes in, so a large call never
  // overwrites samples that were not delivered yet.
  const short* next = samples;
  std::size_t pending = n;
  for (;;) {
    const std::size_t take = std::min(pending, size - s.unread);
    const std::size_t first = std::min(take, size - s.writeCursor);
    std::memcpy(s.ring.data() + s.writeCursor, next, first * sizeof(int16_t));
    std::memcpy(s.ring.data(), next + first, (take - first) * sizeof(int16_t));
    s.writeCursor = (s.writeCursor + take) % size;
    s.unread += take;
    next += take;
    pending -= take;
    if (s.unread < length) return 0;  // everything is in (a full ring holds a buffer)
    while (s.unread >= length) {
      const std::size_t start = (s.writeCursor + size - s.unread) % size;
      const unsigned index = s.nextBuffer;
      int16_t* out = s.buffers[index].data();
      const std::size_t part = std::min(length, size - start);
      std::memcpy(out, s.ring.data() + start, part * sizeof(int16_t));
      std::memcpy(out + part, s.ring.data(), (length - part) * sizeof(int16_t));
      // Only whole seconds of waiting audio shift the time stamps; what this
      // call has still to store waits too.
      const auto age = std::chrono::seconds(
          static_cast<int64_t>(static_cast<double>(s.unread + pending) / s.rateHz));
      s.nextBuffer = static_cast<unsigned>((index + 1) % s.buffers.size());
      s.unread -= length;
      IAudioRecorderListener* listener = s.listener;
      if (listener != nullptr) {
        lock.unlock();
        listener->recorderCallback(
            static_cast<unsigned char>(index), steadyNow - age,
            std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>(
                wallNow - age));
        lock.lock();
        // Re-created or going away meanwhile: what was unread is gone.
        if (s.generation != generation || s.destroying) return 0;
      }
    }
    if (pending == 0) return 0;
  }
}

void CustomRecorder::announce(int eventType, bool withInstance) {
  RecorderEvent event;
  event.__set_eventType(static_cast<RecorderEventType::type>(eventType));
  if (withInstance) event.__set_instance(static_cast<int64_t>(reinterpret_cast<intptr_t>(this)));
  if (impl_->messenger != nullptr) {
    impl_->messenger->send(name_, ThriftParamsFactory::createThriftParams(event));
  }
}

}  // namespace tembrolexinsdk
