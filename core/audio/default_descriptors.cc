#include "core/audio/default_descriptors.h"

#include <json/json.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "core/engines/heartbeat_engine.h"
#include "core/runtime/json_text.h"
#include "core/runtime/logger.h"

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

bool parseDecoderDescriptors(const std::string& json, DecoderDescriptorList& out,
                             std::string* problem) {
  const auto refuse = [problem](std::string why) {
    if (problem != nullptr) *problem = std::move(why);
    return false;
  };
  Json::Value root;
  try {
    JsonTextError first;
    if (!parseWholeJsonText(json, root, /*collectComments=*/true, &first)) {
      return refuse(describeJsonTextError(first));
    }
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    return refuse(std::string("not JSON: ") + e.what());  // nested beyond the reader's limit
  }
  if (!root.isArray()) return refuse("not a list");
  DecoderDescriptorList list;
  // Counted from 1 in what the app reads.
  Json::ArrayIndex index = 0;
  for (const Json::Value& element : root) {
    const std::string which = "descriptor " + std::to_string(++index);
    if (!element.isObject()) return refuse(which + " is not an object");
    if (!element.isMember("config")) return refuse(which + " has no \"config\"");
    if (!element["config"].isString()) return refuse("\"config\" of " + which + " is not a text");
    // The decoding core takes the text up to its first NUL: it would open
    // another file than the one named.
    const std::string config = element["config"].asString();
    if (config.find('\0') != std::string::npos) {
      return refuse("\"config\" of " + which + " holds a NUL byte: \"" +
                    StringChecker::escapeBytes(config) + "\"");
    }
    std::vector<CodewordRange> ranges;
    const Json::Value& jsonRanges = element["ranges"];
    if (!jsonRanges.isNull() && !jsonRanges.isArray()) {
      return refuse("\"ranges\" of " + which + " is not a list");
    }
    Json::ArrayIndex rangeIndex = 0;
    for (const Json::Value& range : jsonRanges) {
      ++rangeIndex;
      if (!range.isObject() || !range["low"].isInt64() || !range["high"].isInt64() ||
          !range["engine"].isString()) {
        return refuse("range " + std::to_string(rangeIndex) + " of " + which +
                      " is not {\"low\": integer, \"high\": integer, \"engine\": text}");
      }
      ranges.push_back(
          {range["low"].asInt64(), range["high"].asInt64(), range["engine"].asString()});
    }
    const Json::Value& transform = element["transform"];
    if (!transform.isNull() && !transform.isBool()) {
      return refuse("\"transform\" of " + which + " is not true or false");
    }
    list.push_back(
        std::make_shared<EchoDecoderDescriptor>(config, std::move(ranges), transform.asBool()));
  }
  out = std::move(list);
  return true;
}

}  // namespace tembrolexinsdk
