#include "schema/gps_info.h"

#include "schema/tembrolexin_types.h"

namespace tembrolexinsdk {

GPSInfo::GPSInfo(double lon, double lat) : longitude(lon), latitude(lat) {}

GPSInfo gpsInfoFromSignal(const GPSInfoSignal& signal) {
  return GPSInfo(signal.longitude, signal.latitude);
}

}  // namespace tembrolexinsdk
