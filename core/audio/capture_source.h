// ICaptureSource: where the platform recorder's samples come from.
//
// A source captures 16-bit signed mono samples in host byte order at one
// rate and hands each filled buffer to its sink on a capture thread of its
// own (the manual source: on the thread that feeds it). Each operation
// answers a status, 0 for success; sources report their own codes (ALSA's
// negative error numbers, for example) and the recorder only logs them.
//
// Sources here: ManualCaptureSource (tests feed it), FileCaptureSource
// (a recording or silence, paced by a Clock) and AlsaCaptureSource (a
// capture device). capture_source_factory.h picks one.
//
// Thread safety: the control operations (open, start, pause, stop, flush,
// close, availableRates) come from one thread at a time, any thread. pause,
// stop and close return only when no sink call runs any more, except when
// called from inside the sink call itself (then they return at once and the
// current call is the last). The sink must outlive the source's open state.
#ifndef TL_CORE_AUDIO_CAPTURE_SOURCE_H_
#define TL_CORE_AUDIO_CAPTURE_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace tembrolexinsdk {

// When a buffer's first sample was captured, on the host clock: the steady
// clock of the recorder's Clock, in nanoseconds since its epoch.
struct CaptureStamp {
  bool hostTimeValid = false;
  int64_t hostTime = 0;
};

class ICaptureSink {
 public:
  virtual ~ICaptureSink() = default;
  // One filled buffer; `samples` is valid for the duration of the call only.
  virtual void onCapture(const int16_t* samples, std::size_t count, const CaptureStamp& stamp) = 0;
};

class ICaptureSource {
 public:
  static constexpr int kOk = 0;
  // The status of a start refused because another user of the audio
  // hardware has priority (the four characters "!pri").
  static constexpr int kInsufficientPriority = 561017449;
  // The status of a start refused because the device is not there (-ENODEV).
  static constexpr int kNoDevice = -19;

  virtual ~ICaptureSource() = default;

  // What the source reads from, for log lines ("alsa:default", "file:x.wav").
  virtual std::string describe() const = 0;
  // The SampleRate mask the source can capture at. May throw
  // std::runtime_error (a device that cannot be asked).
  virtual unsigned short availableRates() = 0;
  // Prepares capture of `frames` samples per buffer at `rateHz`, with room
  // for `bufferCount` buffers in flight, delivering to `sink`. A source that
  // is open already is closed first.
  virtual int open(int rateHz, unsigned frames, unsigned bufferCount, ICaptureSink* sink) = 0;
  virtual int start() = 0;
  // Halts delivery; a later start goes on.
  virtual int pause() = 0;
  // Halts delivery and drops what was captured but not delivered.
  virtual int stop() = 0;
  // Drops what was captured but not delivered (after a stop).
  virtual int flush() = 0;
  // The sink is done with the buffer it was just given; called from inside
  // onCapture. Sources that do not lend their buffers answer 0.
  virtual int requeue() { return kOk; }
  // Whether the source's thread may be held by its sink: it makes the next
  // buffer only once the sink has returned and loses nothing meanwhile (a
  // file played as fast as it is decoded). A recorder then waits for room
  // instead of dropping audio. A device that captures in real time answers
  // false.
  virtual bool heldBySink() const { return false; }
  // Stops and releases the device; the source may be opened again.
  virtual void close() = 0;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_CAPTURE_SOURCE_H_
