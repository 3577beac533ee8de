// Choosing the platform recorder's capture source.
//
// By default the recorder captures from ALSA's "default" device; when no
// capture device opens it captures silence and says so with a Warning. The
// environment variable TL_AUDIO_SOURCE overrides the choice (for the demo
// and for debugging in the field):
//
//   alsa:DEVICE            an ALSA capture device ("alsa:hw:1", "alsa:null")
//   file:PATH              a recording played in real time, then silence
//   file+loop:PATH         ... started over at its end
//   file+fast:PATH         ... as fast as the decoder takes it
//   file+loop+fast:PATH    both
//   silence                silence in real time
//
// Thread safety: the functions may be called from any thread.
#ifndef TL_CORE_AUDIO_CAPTURE_SOURCE_FACTORY_H_
#define TL_CORE_AUDIO_CAPTURE_SOURCE_FACTORY_H_

#include <memory>
#include <optional>
#include <string>

#include "core/audio/capture_source.h"
#include "core/audio/file_capture_source.h"
#include "core/runtime/clock.h"

namespace tembrolexinsdk {

inline constexpr char kCaptureSourceVariable[] = "TL_AUDIO_SOURCE";

struct CaptureSourceSpec {
  enum class Kind { Alsa, File, Silence };
  Kind kind = Kind::Silence;
  std::string target;  // device name or path
  FileCaptureSource::Options fileOptions;
};

// The desc of a TL_AUDIO_SOURCE text; nullopt when it is not one of the forms
// above (an empty device or path included).
std::optional<CaptureSourceSpec> parseCaptureSourceSpec(const std::string& text);

// The source of `desc`. A file that cannot be read makes a source that
// answers every rate and opens, but whose start fails with
// ICaptureSource::kNoDevice, describe() naming the file and the reason (as
// a device that does not open: the decoder never listens to nothing, and
// reports that failure once).
//
// Lines about the source go out under the sender "CaptureSource".
std::unique_ptr<ICaptureSource> makeCaptureSource(const CaptureSourceSpec& desc,
                                                  const Clock& clock = Clock::real());

// The ALSA device `device`, which may be missing: while it does not open
// (decided each time it is asked for its rates or opened; a Warning names
// the reason), it answers every rate and opens as nothing, and a start
// fails with ICaptureSource::kNoDevice, describe() telling why.
std::unique_ptr<ICaptureSource> makeDefaultDeviceSource(const std::string& device,
                                                        const Clock& clock = Clock::real());

// The platform recorder's source: `overrideText` (the value of
// TL_AUDIO_SOURCE; null when unset) when it is valid, else the "default" ALSA
// device (makeDefaultDeviceSource). An invalid override is logged at Warning
// and ignored.
std::unique_ptr<ICaptureSource> createPlatformCaptureSource(const char* overrideText,
                                                            const Clock& clock = Clock::real());

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_CAPTURE_SOURCE_FACTORY_H_
