// IPowerDetectorStatusConsumer: receives the state of the power detector that
// the platform reports (PowerDetectorMsg), from a controller's thread.
#ifndef TL_CORE_RUNTIME_I_POWER_DETECTOR_STATUS_CONSUMER_H_
#define TL_CORE_RUNTIME_I_POWER_DETECTOR_STATUS_CONSUMER_H_

#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

// Off, stand-by, on, unknown: the schema's enum, so values outside the table
// pass through unchanged.
using PowerDetectorStatus = PowerDetectorMsgStatus::type;

class IPowerDetectorStatusConsumer {
 public:
  virtual ~IPowerDetectorStatusConsumer() = default;
  virtual void UpdatePowerDetectorStatus(PowerDetectorStatus status) { (void)status; }
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_RUNTIME_I_POWER_DETECTOR_STATUS_CONSUMER_H_
