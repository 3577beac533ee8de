#include "platform/runtime/thrift_converter.h"

#include <locale>
#include <optional>
#include <sstream>
#include <string_view>
#include <type_traits>

#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

namespace {

// The typed ConfigParam of a value, or none for a kind the core cannot take.
std::optional<ConfigParam> toParam(const ConfigValue& value) {
  ConfigParam p;
  return std::visit(
      [&p](const auto& v) -> std::optional<ConfigParam> {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::string>) {
          p.__set_stringValue(v);
          p.__set_type(ConfigParamType::ConfigParam_String);
        } else if constexpr (std::is_same_v<V, bool>) {
          p.__set_boolValue(v);
          p.__set_type(ConfigParamType::ConfigParam_Bool);
        } else if constexpr (std::is_same_v<V, signed char>) {
          p.__set_boolValue(v != 0);  // a char number counts as a boolean
          p.__set_type(ConfigParamType::ConfigParam_Bool);
        } else if constexpr (std::is_same_v<V, int32_t>) {
          p.__set_intValue(v);
          p.__set_type(ConfigParamType::ConfigParam_Int);
        } else if constexpr (std::is_same_v<V, double>) {
          p.__set_doubleValue(v);
          p.__set_type(ConfigParamType::ConfigParam_Double);
        } else if constexpr (std::is_same_v<V, int64_t>) {
          p.__set_longlongValue(v);
          p.__set_type(ConfigParamType::ConfigParam_LongLong);
        } else {
          return std::nullopt;
        }
        return p;
      },
      value);
}

bool endsWith(const std::string& text, std::string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The keys whose rules take a text and hear a value of another kind as a
// mistake naming the key and the kind. Other keys would read such a value
// as a missing one, so it is not sent to them.
bool hearsOtherKinds(const std::string& key) {
  return key == "AudioDecoder_plugins" || key == "AudioDecoder_engines" ||
         endsWith(key, "_DecoderDescriptors") || endsWith(key, "_CandidateStations");
}

// A decimal number as the decoder writes one: six significant digits,
// whatever the process's locale.
std::string decimalText(double v) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << v;
  return out.str();
}

}  // namespace

std::string ThriftConverter::describeOtherKind(const ConfigValue& value) {
  if (const auto* f = std::get_if<float>(&value)) return "a float: " + decimalText(*f);
  if (const auto* h = std::get_if<int16_t>(&value)) return "a short: " + std::to_string(*h);
  if (const auto* u = std::get_if<uint64_t>(&value)) {
    return "an unsigned 64-bit number: " + std::to_string(*u);
  }
  if (const auto* other = std::get_if<UnsupportedConfigValue>(&value)) {
    return other->kind.empty() ? "a value of another kind"
                               : "a value of kind \"" + other->kind + "\"";
  }
  return std::string();
}

ConfigurationMapSignal ThriftConverter::convertWithDictionary(const ConfigDictionary& dictionary) {
  std::map<std::string, ConfigParam> config;
  for (const auto& [key, value] : dictionary) {
    std::optional<ConfigParam> param = toParam(value);
    if (!param) {
      TLLogger::errorInMethod("+[ThriftConverter convertWithDictionary:]", __LINE__,
                              "Failed to determine the type of a configuration parameter");
      if (!hearsOtherKinds(key)) continue;
      // The key's rule names it: the start fails, the list is unreadable or
      // the stations are absent, rather than the default running unheard.
      param.emplace();
      param->__set_stringValue(describeOtherKind(value));
      param->__set_type(ConfigParamType::ConfigParam_OtherKind);
    }
    config[key] = std::move(*param);
  }
  ConfigurationMapSignal signal;
  signal.__set_target(ConfigTarget::Target_Cpp);
  signal.__set_config(std::move(config));
  return signal;
}

ConfigDictionary ThriftConverter::convertWithConfigurationMapSignal(const ConfigurationMapSignal& signal) {
  ConfigDictionary out;
  if (!signal.__isset.config) return out;
  for (const auto& [key, p] : signal.config) {
    if (!p.__isset.type) continue;
    const auto& is = p.__isset;
    switch (p.type) {
      case ConfigParamType::ConfigParam_Bool:
        if (is.boolValue) out.emplace(key, p.boolValue);
        break;
      case ConfigParamType::ConfigParam_Int:
        if (is.intValue) out.emplace(key, p.intValue);
        break;
      case ConfigParamType::ConfigParam_Double:
        if (is.doubleValue) out.emplace(key, p.doubleValue);
        break;
      case ConfigParamType::ConfigParam_LongLong:
        if (is.longlongValue) out.emplace(key, static_cast<int64_t>(p.longlongValue));
        break;
      case ConfigParamType::ConfigParam_String:
        if (is.stringValue) out.emplace(key, p.stringValue);
        break;
      default:
        break;
    }
  }
  return out;
}

}  // namespace tembrolexinplatform
