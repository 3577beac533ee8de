#include "core/runtime/core_exceptions.h"

namespace tembrolexinsdk {

SampleRateConversionException::SampleRateConversionException(SampleRate from, SampleRate to)
    : message_("Cannot convert from " + SampleRateToString(from) + " to " +
               SampleRateToString(to)) {}

SampleRateConversionException::SampleRateConversionException(unsigned short fromRates,
                                                             unsigned short toRates)
    : message_("Cannot convert from " + SampleRatesToString(fromRates) + " to " +
               SampleRatesToString(toRates)) {}

}  // namespace tembrolexinsdk
