// ManualCaptureSource: a capture source for tests. Nothing is captured by
// itself: the test hands buffers in with deliver(), which calls the sink on
// the test's own thread while the source is started. Every control call is
// recorded by name, and each one's status can be set beforehand.
//
// Thread safety: every operation may be called from any thread; the sink
// runs without the source's mutex held.
#ifndef TL_CORE_AUDIO_MANUAL_CAPTURE_SOURCE_H_
#define TL_CORE_AUDIO_MANUAL_CAPTURE_SOURCE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/audio/capture_source.h"
#include "core/runtime/checked_mutex.h"

namespace tembrolexinsdk {

class ManualCaptureSource final : public ICaptureSource {
 public:
  ManualCaptureSource() = default;

  std::string describe() const override { return "manual"; }
  unsigned short availableRates() override;
  int open(int rateHz, unsigned frames, unsigned bufferCount, ICaptureSink* sink) override;
  int start() override;
  int pause() override;
  int stop() override;
  int flush() override;
  int requeue() override;
  void close() override;

  // The status that the named call ("open", "start", "pause", "stop",
  // "flush", "requeue") answers from now on; 0 by default. A call that
  // answers non-zero changes nothing.
  void setStatus(const std::string& call, int status);
  // The rates mask to answer; 16 (16 kHz) by default. A set `thrower` runs
  // instead (to throw).
  void setRates(unsigned short rates, std::function<void()> thrower = nullptr);
  // What heldBySink answers; false by default (a real-time device).
  void setHeldBySink(bool held) { heldBySink_.store(held); }
  bool heldBySink() const override { return heldBySink_.load(); }

  // Hands one buffer to the sink when the source is open and started; false
  // (and nothing delivered) otherwise.
  bool deliver(const int16_t* samples, std::size_t count, const CaptureStamp& stamp);
  bool deliver(const std::vector<int16_t>& samples, const CaptureStamp& stamp) {
    return deliver(samples.data(), samples.size(), stamp);
  }

  // Control calls so far, oldest first ("open 16000 2048 5", "start", ...).
  std::vector<std::string> calls() const;
  bool isOpen() const;
  bool isStarted() const;

 private:
  int answer(const std::string& call);

  mutable tembrolexin::Mutex mutex_;
  std::map<std::string, int> statuses_;
  unsigned short rates_ = 16;
  std::function<void()> thrower_;
  std::vector<std::string> calls_;
  ICaptureSink* sink_ = nullptr;
  bool open_ = false;
  bool started_ = false;
  std::atomic<bool> heldBySink_{false};
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_MANUAL_CAPTURE_SOURCE_H_
