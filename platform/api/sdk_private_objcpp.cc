#include "platform/api/sdk_private_objcpp.h"

#include <set>

#include "platform/runtime/tl_logger.h"

namespace tembrolexinplatform {

InitDataBuilder& InitDataBuilder::setSampleRates(uint16_t rates) {
  data_.__set_sampleRates(rates);
  return *this;
}
InitDataBuilder& InitDataBuilder::setDeviceId(int32_t deviceId) {
  data_.__set_deviceId(deviceId);
  return *this;
}
InitDataBuilder& InitDataBuilder::setFilePath(const std::string& path) {
  data_.__set_filePath(path);
  return *this;
}
InitDataBuilder& InitDataBuilder::setLibraryPath(const std::string& path) {
  data_.__set_libraryPath(path);
  return *this;
}
InitDataBuilder& InitDataBuilder::setExternalFilePath(const std::string& path) {
  data_.__set_externalFilePath(path);
  return *this;
}
InitDataBuilder& InitDataBuilder::setUdId(const std::string& udid) {
  data_.__set_udId(udid);
  return *this;
}
InitDataBuilder& InitDataBuilder::setPackageName(const std::string& name) {
  data_.__set_packageName(name);
  return *this;
}
InitDataBuilder& InitDataBuilder::setProcessorPlugins(const std::vector<int64_t>& handles) {
  data_.__set_processorPlugins(std::set<int64_t>(handles.begin(), handles.end()));
  return *this;
}
InitDataBuilder& InitDataBuilder::setAudioProcessorPlugins(const std::vector<int64_t>& handles) {
  data_.__set_audioProcessorPlugins(std::set<int64_t>(handles.begin(), handles.end()));
  return *this;
}

SDKPrivateObjcpp::SDKPrivateObjcpp(TLDecoderCallbacks& decoder, tembrolexinsdk::IMessenger* bus,
                                   const CoreBridgeFactory& coreBridge)
    : messenger_(std::make_shared<Messenger>(bus)) {
  TLLogger::sharedLogger().setMessenger(messenger_);
  if (coreBridge) sdkPrivate_ = coreBridge(bus);
  listenerPrivate_ = std::make_unique<SDKListenerPrivate>(*messenger_, decoder);
}

SDKPrivateObjcpp::~SDKPrivateObjcpp() {
  listenerPrivate_.reset();
  sdkPrivate_.reset();
  TLLogger::sharedLogger().releaseMessenger(messenger_.get());
}

void SDKPrivateObjcpp::initialise(const BuiltInitData& data) {
  messenger_->sendMessage(data.getData(), tag_);
}

void SDKPrivateObjcpp::sendInstruction(int32_t instruction, std::optional<bool> recordToFile) {
  InstructionSignal signal;
  signal.__set_instruction(instruction);
  if (recordToFile) signal.__set_shouldRecordToFile(*recordToFile);
  messenger_->sendMessage(signal, tag_);
}

void SDKPrivateObjcpp::startAndRecordToFile(bool recordToFile) { sendInstruction(0, recordToFile); }
void SDKPrivateObjcpp::stop() { sendInstruction(1, std::nullopt); }
void SDKPrivateObjcpp::prepareData() { sendInstruction(2, std::nullopt); }

void SDKPrivateObjcpp::configureWithMap(const ConfigDictionary& map) {
  messenger_->sendMessage(ThriftConverter::convertWithDictionary(map), tag_);
}

void SDKPrivateObjcpp::updateGPSInfo(double longitude, double latitude) {
  GPSInfoSignal signal;
  signal.__set_longitude(longitude);
  signal.__set_latitude(latitude);
  messenger_->sendMessage(signal, tag_);
}

void SDKPrivateObjcpp::updateGSMInfo(const std::string& countryCode, const std::string& network,
                                     int64_t lac, int64_t cid) {
  GSMInfoSignal signal;
  signal.__set_countryCode(countryCode);
  signal.__set_network(network);
  signal.__set_LAC(lac);
  signal.__set_CId(cid);
  messenger_->sendMessage(signal, tag_);
}

void SDKPrivateObjcpp::updateNTP(const NTPResult* result) {
  NTPInfoSignal signal;
  if (result != nullptr) {
    signal.__set_inElapsedRealTime(result->timeReference());
    signal.__set_inTransmitTimestamp(result->transmitTime());
    signal.__set_inRoundTripDelay(result->roundTripTime());
    signal.__set_inDrift(result->clockOffset());
    signal.__set_upTimeMillis(result->upTimeMillis());
    signal.__set_rawNTP(result->rawNTPInfo());
  }
  messenger_->sendMessage(signal, tag_);
}

}  // namespace tembrolexinplatform
