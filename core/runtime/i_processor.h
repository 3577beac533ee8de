// Processor interfaces: the decoder plug-ins that turn audio (or nothing at
// all) into events for their listener.
//
// A processor is driven by one controller thread at a time; the audio
// operations (ProcessBuffer) run on the thread that the controller chooses.
// Exceptions thrown by these operations reach the caller.
//
// Every processor is constructed through IProcessor's constructor, which checks
// that the headers it was compiled against match the library it runs with.
#ifndef TL_CORE_RUNTIME_I_PROCESSOR_H_
#define TL_CORE_RUNTIME_I_PROCESSOR_H_

#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/runtime/decoder_bindings.h"
#include "core/runtime/i_configuration_parameter.h"
#include "core/runtime/i_named_object.h"
#include "core/runtime/i_processor_params.h"
#include "core/runtime/sample_rate.h"

namespace tembrolexinsdk {

class IProcessorListener;
struct NTPInfo;

class IProcessor : public INamedObject {
 public:
  ~IProcessor() override = default;

  const std::string& GetName() const override = 0;
  virtual const std::string& GetVersion() const = 0;
  // `ntp` is null when no network time is known. The listener is not owned
  // and outlives the processor.
  virtual void Initialise(IProcessorListener* listener, int sampleRateHz, const NTPInfo* ntp) = 0;
  virtual void Configure(const ConfigurationParameters* configuration, const NTPInfo* ntp) = 0;
  virtual void SetFilePath(const std::string& path) = 0;
  virtual void SetDeviceId(int deviceId) { (void)deviceId; }

 protected:
  // Throws std::runtime_error when `headerVersion` (by default the version of
  // the headers this processor was compiled with) is not the library's
  // DecoderBindings::internalVersion.
  explicit IProcessor(const char* headerVersion = TL_DECODER_BINDINGS_HEADER_VERSION) {
    if (headerVersion == nullptr ||
        std::strcmp(headerVersion, DecoderBindings::internalVersion) != 0) {
      throw std::runtime_error(
          "The headers do not match the binary being used for the DecoderBindings library.");
    }
  }
};

class IAudioProcessor : public IProcessor {
 public:
  ~IAudioProcessor() override = default;

  // `samples` holds `sampleCount` 16-bit samples captured at `captureTime`;
  // valid only for the call.
  virtual void ProcessBuffer(const short* samples, int sampleCount,
                             std::chrono::steady_clock::time_point captureTime) = 0;
  virtual void Start() = 0;
  virtual void Stop() = 0;
  // An event for the caller to own (or null when there is nothing to report).
  virtual IProcessorEventParams* PrepareData(const NTPInfo* ntp) = 0;
  // The rate this processor works best with; 8000 Hz unless overridden.
  virtual SampleRate GetPreferredSampleRate() { return SampleRate_8000; }

 protected:
  explicit IAudioProcessor(const char* headerVersion = TL_DECODER_BINDINGS_HEADER_VERSION)
      : IProcessor(headerVersion) {}
};

// An audio processor that can make independent instances of itself (the
// hybrid processor makes its private audio-match processor so).
class ICreateableAudioProcessor {
 public:
  virtual ~ICreateableAudioProcessor() = default;
  // A new, independent processor owned by the caller.
  virtual std::unique_ptr<IAudioProcessor> createAudioProcessor() = 0;
};

// A processor that combines other audio processors (not owned; they outlive
// this one).
class IHybridAudioProcessor {
 public:
  virtual ~IHybridAudioProcessor() = default;
  virtual void combineWith(const std::vector<IAudioProcessor*>& processors) = 0;
};

// A processor whose long work on its controller's thread (a start-up pass
// inside SetFilePath, say) can be cut short. Its controller asks for the stop
// when it is being destroyed, before it waits for its thread; the processor
// then ends what it is doing promptly, leaving nothing half-done on disk, and
// starts nothing new: it is destroyed next.
class IStoppableProcessor {
 public:
  virtual ~IStoppableProcessor() = default;
  // Any thread; returns at once and may be called more than once.
  virtual void requestStop() = 0;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_PROCESSOR_H_
