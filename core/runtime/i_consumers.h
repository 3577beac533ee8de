// Optional capabilities of processors and engines. A controller discovers
// them by casting a processor (or engine) to one of these interfaces and
// calls them from its own thread.
#ifndef TL_CORE_RUNTIME_I_CONSUMERS_H_
#define TL_CORE_RUNTIME_I_CONSUMERS_H_

#include <string>

#include "core/runtime/i_processor.h"
#include "core/runtime/i_processor_params.h"

namespace tembrolexinsdk {

class GPSInfo;
class GSMInfo;
class IProcessorListener;
struct NTPInfo;
class RawNTPInfo;

// Receives network time. isNTPRequired: whether the processor needs network
// time before it is initialised and configured; a controller also stops the
// running processor around a reconfiguration when it answers true.
class INTPConsumer {
 public:
  virtual ~INTPConsumer() = default;
  // `ntp` is valid only for the call.
  virtual void updateNTPInfo(const NTPInfo* ntp) = 0;
  virtual bool isNTPRequired() { return true; }
};

// For plug-in processors that want the raw network-time reply instead of
// NTPInfo; used by a controller in place of the matching IProcessor and
// INTPConsumer operations. Arguments are valid only for the call.
class IRawNTPConsumer {
 public:
  virtual ~IRawNTPConsumer() = default;
  virtual void InitialiseWithRawNTP(IProcessorListener* listener, int sampleRateHz,
                                    const RawNTPInfo* ntp) = 0;
  virtual void ConfigureWithRawNTP(const ConfigurationParameters* configuration,
                                   const RawNTPInfo* ntp) = 0;
  // An event for the caller to own, or null.
  virtual IProcessorEventParams* PrepareDataWithRawNTP(const RawNTPInfo* ntp) = 0;
  virtual void updateRawNTPInfo(const RawNTPInfo* ntp) = 0;
};

class IGPSConsumer {
 public:
  virtual ~IGPSConsumer() = default;
  // The latest position; valid only for the call.
  virtual void updateGPSInfo(const GPSInfo* info) = 0;
};

class IGSMConsumer {
 public:
  virtual ~IGSMConsumer() = default;
  // The latest mobile-network information; valid only for the call.
  virtual void updateGSMInfo(const GSMInfo* info) = 0;
};

class IIdentityConsumer {
 public:
  virtual ~IIdentityConsumer() = default;
  virtual void SetIdentityInfo(const std::string& first, const std::string& second) = 0;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_CONSUMERS_H_
