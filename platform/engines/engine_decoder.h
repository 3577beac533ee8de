// IEngineDecoder: what an engine needs of the decoder that connected it --
// the configuration keys it sends to the core, and the device id and
// network-time settings the ANALYTICS engine passes on. The decoder facade
// implements it and hands itself to each engine it connects
// (TLEngine::setDecoder), so engines never depend on the facade.
//
// NTPReceiver: the app's role for network-time results, which the decoder
// fans out and the ANALYTICS engine registers on the app's behalf.
//
// Thread safety: implementations take every call from any thread.
#ifndef TL_PLATFORM_ENGINES_ENGINE_DECODER_H_
#define TL_PLATFORM_ENGINES_ENGINE_DECODER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/sntp_client.h"
#include "platform/runtime/thrift_converter.h"

namespace tembrolexinplatform {

// Receives every network-time result; none after both servers failed.
// Called on the global concurrent queue.
class NTPReceiver {
 public:
  virtual ~NTPReceiver() = default;
  virtual void onNTPUpdate(const std::optional<NTPResult>& result) = 0;
};

class IEngineDecoder {
 public:
  virtual ~IEngineDecoder() = default;

  // One ConfigurationMapSignal with `configuration` for the core.
  virtual void configure(const ConfigDictionary& configuration) = 0;

  virtual void setDeviceId(int32_t deviceId) = 0;
  virtual void prepareData() = 0;
  virtual void updateNTP() = 0;
  virtual void registerNTPReceiver(std::shared_ptr<NTPReceiver> receiver) = 0;
  virtual void unRegisterNTPReceiver(const std::shared_ptr<NTPReceiver>& receiver) = 0;
  // Index 0 the primary server, index 1 the fallback.
  virtual void setNTPServers(std::vector<std::string> servers) = 0;
};

}  // namespace tembrolexinplatform

#endif  // TL_PLATFORM_ENGINES_ENGINE_DECODER_H_
