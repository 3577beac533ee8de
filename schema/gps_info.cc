#include "schema/gps_info.h"

#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

GPSInfo::GPSInfo(double longitude, double latitude)
    : longitude(longitude), latitude(latitude) {}

GPSInfo gpsInfoFromSignal(const GPSInfoSignal& signal) {
  return GPSInfo(signal.longitude, signal.latitude);
}

}  // namespace tembrolexinsdk
