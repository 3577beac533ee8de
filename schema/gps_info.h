// GPSInfo: a device position as the decoder hands it to its processor
// controllers (as std::shared_ptr<const GPSInfo>).
//
// Plain value; not thread-safe for writing, safe to share once const.

#ifndef TL_SCHEMA_GPS_INFO_H_
#define TL_SCHEMA_GPS_INFO_H_

namespace tembrolexinsdk {

class GPSInfoSignal;

class GPSInfo {
 public:
  // Longitude first, latitude second, as the app gives them.
  GPSInfo(double lon, double lat);

  double longitude;
  double latitude;
};

// The position a GPSInfoSignal carries.
GPSInfo gpsInfoFromSignal(const GPSInfoSignal& signal);

}  // namespace tembrolexinsdk

#endif  // TL_SCHEMA_GPS_INFO_H_
