// IBufferedAudioProcessor: an audio processor that takes its configuration
// without network time and wants the wall-clock time of each buffer as well.
// A controller uses these operations in place of Initialise, Configure and
// ProcessBuffer. Arguments are valid only for the call.
#ifndef TL_CORE_RUNTIME_I_BUFFERED_AUDIO_PROCESSOR_H_
#define TL_CORE_RUNTIME_I_BUFFERED_AUDIO_PROCESSOR_H_

#include <chrono>

#include "core/runtime/i_configuration_parameter.h"
#include "core/runtime/i_processor.h"

namespace tembrolexinsdk {

class IBufferedAudioProcessor : public IAudioProcessor {
 public:
  using SystemTime =
      std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

  ~IBufferedAudioProcessor() override = default;
  virtual void InitialiseBuffered(IProcessorListener* listener, int sampleRateHz) = 0;
  virtual void ConfigureBuffered(const ConfigurationParameters* configuration) = 0;
  // `samples` holds `sampleCount` samples captured at `captureTime` (steady
  // clock) and `systemTime` (wall clock).
  virtual void ProcessBufferWithTimes(const short* samples, int sampleCount,
                                      std::chrono::steady_clock::time_point captureTime,
                                      SystemTime systemTime) = 0;

 protected:
  explicit IBufferedAudioProcessor(const char* headerVersion = TL_DECODER_BINDINGS_HEADER_VERSION)
      : IAudioProcessor(headerVersion) {}
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_BUFFERED_AUDIO_PROCESSOR_H_
