#include "core/runtime/message_transformer.h"

#include <map>
#include <vector>

#include "core/runtime/configuration_parameter.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/message_factory.h"

namespace tembrolexinsdk {

DecodingConfidence::type MessageTransformer::convertConfidence(int32_t level) {
  if (level >= -1 && level <= 3) return static_cast<DecodingConfidence::type>(level + 1);
  return DecodingConfidence::Invalid;
}

std::unique_ptr<ThriftParams> MessageTransformer::transform(const std::string& name,
                                                            const IProcessorEventParams* params) {
  if (params == nullptr) return nullptr;
  if (const auto* p = dynamic_cast<const CodewordEventParams*>(params)) return transform(name, p);
  if (const auto* p = dynamic_cast<const AMEvent*>(params)) return transform(p);
  if (const auto* p = dynamic_cast<const CheckedFilePreparedEventParams*>(params)) {
    return messagetransforms::transform(p);
  }
  if (const auto* p = dynamic_cast<const ConfigurationMap*>(params)) {
    return messagetransforms::transform(p);
  }
  if (const auto* p = dynamic_cast<const ThriftParams*>(params)) {
    return std::make_unique<ThriftParams>(*p);
  }
  return nullptr;
}

std::unique_ptr<ThriftParams> MessageTransformer::transform(const IProcessorStatusParams* params) {
  if (params == nullptr) return nullptr;
  if (const auto* p = dynamic_cast<const GenericStatusParams*>(params)) {
    return messagetransforms::transform(p);
  }
  if (const auto* p = dynamic_cast<const AudioProcessorIdleStatusParams*>(params)) {
    return messagetransforms::transform(p);
  }
  return nullptr;
}

std::unique_ptr<ThriftParams> MessageTransformer::transform(const std::string& name,
                                                            const CodewordEventParams* p) {
  if (p == nullptr) return nullptr;
  CodewordSignal s;
  s.__set_sender(name);
  s.__set_syncState(convertConfidence(p->syncState));
  s.__set_meanVolume(p->meanVolume);
  s.__set_meanSignalStrength(p->meanSignalStrength);
  s.__set_currentVolume(p->currentVolume);
  s.__set_currentSignalStrength(p->currentSignalStrength);
  s.__set_sigConfidence(convertConfidence(p->sigConfidence));
  s.__set_msgConfidence(convertConfidence(p->msgConfidence));
  s.__set_bitSlicePosSig(p->bitSlicePosSig);
  s.__set_bitSlicePosMsg(p->bitSlicePosMsg);
  s.__set_nFecErrors(p->nFecErrors);
  s.__set_msgSignalStrength95pc(p->msgSignalStrength95pc);
  s.__set_msgVolume(p->msgVolume);
  s.__set_msg(p->msg);
  s.__set_msgScheme(p->msgScheme);
  s.__set_sigScheme(p->sigScheme);
  s.__set_engineRef(p->engineRef);
  s.__set_offset(p->offset);
  s.__set_codewordDuration(p->codewordDuration);
  s.__set_steadyTimeStamp(p->steadyTimeStamp);
  s.__set_systemTimeStamp(p->systemTimeStamp);
  return ThriftParamsFactory::createThriftParams(s);
}

std::unique_ptr<ThriftParams> MessageTransformer::transform(const AMEvent* p) {
  if (p == nullptr) return nullptr;
  AMSignal s;
  s.__set_amId(p->amId);
  s.__set_dbEntryName(p->dbEntryName);
  s.__set_timeStamp(p->timeStamp);
  s.__set_offset(p->offset);
  s.__set_duration(p->duration);
  s.__set_ber(p->ber);
  return ThriftParamsFactory::createThriftParams(s);
}

namespace messagetransforms {

std::unique_ptr<ThriftParams> transform(const CheckedFilePreparedEventParams* p) {
  if (p == nullptr) return nullptr;
  std::map<std::string, std::string> paths;
  for (const auto& [path, check] : p->getCheckedFilePaths()) {
    // emplace keeps the value of the first listing of a path.
    paths.emplace(path, std::string(check.begin(), check.end()));
  }
  CheckedFilePreparedEventSignal s;
  s.__set_mPathsToPreparedFilesWithChecks(paths);
  return ThriftParamsFactory::createThriftParams(s);
}

std::unique_ptr<ThriftParams> transform(const ConfigurationMap* p) {
  if (p == nullptr) return nullptr;
  std::map<std::string, ConfigParam> config;
  for (const auto& [key, value] : *p) {
    ConfigParam param;
    if (const auto* v = dynamic_cast<const ConfigurationParameter<bool>*>(value)) {
      param.__set_type(ConfigParamType::ConfigParam_Bool);
      param.__set_boolValue(v->value);
    } else if (const auto* v = dynamic_cast<const ConfigurationParameter<int>*>(value)) {
      param.__set_type(ConfigParamType::ConfigParam_Int);
      param.__set_intValue(v->value);
    } else if (const auto* v = dynamic_cast<const ConfigurationParameter<double>*>(value)) {
      param.__set_type(ConfigParamType::ConfigParam_Double);
      param.__set_doubleValue(v->value);
    } else if (const auto* v = dynamic_cast<const ConfigurationParameter<long long>*>(value)) {
      param.__set_type(ConfigParamType::ConfigParam_LongLong);
      param.__set_longlongValue(v->value);
    } else if (const auto* v = dynamic_cast<const ConfigurationParameter<std::string>*>(value)) {
      param.__set_type(ConfigParamType::ConfigParam_String);
      param.__set_stringValue(v->value);
    } else if (const auto* v = dynamic_cast<const OtherKindConfigurationParameter*>(value)) {
      param.__set_type(ConfigParamType::ConfigParam_OtherKind);
      param.__set_stringValue(v->description);
    } else {
      logWithLogger<LogLevel::Error>(nullptr, "Can't establish type of ", key);
    }
    config.emplace(key, param);
  }
  ConfigurationMapSignal s;
  s.__set_config(config);
  s.__set_target(ConfigTarget::Target_Platform);
  return ThriftParamsFactory::createThriftParams(s);
}

std::unique_ptr<ThriftParams> transform(const GenericStatusParams* p) {
  if (p == nullptr) return nullptr;
  ProcessorStatusSignal s;
  s.__set_status(ProcessorStatus::NoUpdate);
  s.__set_statusDescription(p->GetDescription());
  s.__set_statusStrings(p->getStatuses());
  return ThriftParamsFactory::createThriftParams(s);
}

std::unique_ptr<ThriftParams> transform(const AudioProcessorIdleStatusParams* p) {
  if (p == nullptr) return nullptr;
  ProcessorStatusSignal s;
  s.__set_status(ProcessorStatus::Idle);
  s.__set_statusDescription(p->GetDescription());
  return ThriftParamsFactory::createThriftParams(s);
}

}  // namespace messagetransforms

}  // namespace tembrolexinsdk
