#include "core/audio/default_descriptors.h"

#include <json/json.h>

#include <cstdint>
#include <memory>

#include "core/engines/heartbeat_engine.h"

namespace tembrolexinsdk {

namespace {

// The layouts' ranges: VorselT words (19-bit station, 21-bit counter),
// EVENT2 words (0x3e000000 | 14-bit track << 11 | 11-bit offset) and the
// heartbeat engine's accepted range.
constexpr int64_t kVorselTLow = 0;
constexpr int64_t kVorselTHigh = (int64_t{1} << 40) - 1;
constexpr int64_t kEvent2Low = 0x3e000000;
constexpr int64_t kEvent2High = 0x3fffffff;

std::shared_ptr<const EchoDecoderDescriptor> make(const char* scheme,
                                                  std::vector<CodewordRange> ranges) {
  const char* text = defaultSchemeText(scheme);
  return std::make_shared<EchoDecoderDescriptor>(text != nullptr ? text : "", std::move(ranges),
                                                 false);
}

}  // namespace

DecoderDescriptorList defaultDecoderDescriptors(const std::string& processorName) {
  if (processorName == "tembrolexin_VorselT") {
    return {make("scheme_t1_vt", {{kVorselTLow, kVorselTHigh, "ANALYTICS"}})};
  }
  if (processorName == "tembrolexin_VorselTW") {
    return {make("scheme_t2_vtw", {{kVorselTLow, kVorselTHigh, "ANALYTICS"}})};
  }
  if (processorName == "tembrolexin_EchoMod") {
    return {make("scheme_t3_ch8", {{kEvent2Low, kEvent2High, "EVENT2"}})};
  }
  if (processorName == "tembrolexin_DB") {
    return {make("scheme_t4_cs4",
                 {{HeartbeatEngine::cycleMin, HeartbeatEngine::cycleMax - 1, "HEARTBEAT"}})};
  }
  return {};
}

bool parseDecoderDescriptors(const std::string& json, DecoderDescriptorList& out) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  if (!reader->parse(json.data(), json.data() + json.size(), &root, &errors) || !root.isArray()) {
    return false;
  }
  DecoderDescriptorList list;
  for (const Json::Value& element : root) {
    if (!element.isObject() || !element["config"].isString()) return false;
    std::vector<CodewordRange> ranges;
    const Json::Value& jsonRanges = element["ranges"];
    if (!jsonRanges.isNull() && !jsonRanges.isArray()) return false;
    for (const Json::Value& range : jsonRanges) {
      if (!range.isObject() || !range["low"].isInt64() || !range["high"].isInt64() ||
          !range["engine"].isString()) {
        return false;
      }
      ranges.push_back(
          {range["low"].asInt64(), range["high"].asInt64(), range["engine"].asString()});
    }
    const Json::Value& transform = element["transform"];
    if (!transform.isNull() && !transform.isBool()) return false;
    list.push_back(std::make_shared<EchoDecoderDescriptor>(
        element["config"].asString(), std::move(ranges), transform.asBool()));
  }
  out = std::move(list);
  return true;
}

}  // namespace tembrolexinsdk
