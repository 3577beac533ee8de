// ProcessorHandles: the process-wide registry through which the platform
// layer hands app-supplied processors to the core. The platform layer parks
// each processor here and sends its 64-bit handle in InitData; the decoder
// takes the processor back by handle. A number is never turned into a
// pointer: a handle that is unknown (never given, or already taken) gives
// null.
//
// Ownership: the registry owns a parked processor until it is taken; taking
// hands ownership to the caller. Handles start at 1 and are never reused.
//
// Thread safety: every operation may be called from any thread.
#ifndef TL_CORE_CONTROL_PROCESSOR_HANDLES_H_
#define TL_CORE_CONTROL_PROCESSOR_HANDLES_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/runtime/i_processor.h"

namespace tembrolexinsdk {
namespace processorhandles {

// Parks the processor and returns its handle; 0 for null.
int64_t park(std::unique_ptr<IProcessor> processor);
int64_t parkAudio(std::unique_ptr<IAudioProcessor> processor);
// The processor parked under `handle` (of the same kind), or null.
std::unique_ptr<IProcessor> take(int64_t handle);
std::unique_ptr<IAudioProcessor> takeAudio(int64_t handle);
// How many processors are parked.
std::size_t parked();

}  // namespace processorhandles
}  // namespace tembrolexinsdk

#endif  // TL_CORE_CONTROL_PROCESSOR_HANDLES_H_
