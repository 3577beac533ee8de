#include "core/control/sdk_private.h"

#include <stdexcept>
#include <utility>
#include <vector>

#include "core/control/processor_handles.h"
#include "core/runtime/control_messages.h"
#include "core/runtime/log_helpers.h"
#include "core/runtime/message_factory.h"

namespace tembrolexinsdk {

namespace {
constexpr int kBridgeTypes[] = {35, 30, 36};
}

void AudioDecoderListenerPrivate::onProcessorEvent(std::string senderName,
                                                   const IProcessorEventParams* params) {
  if (params == nullptr || StartStopDecodingMsg::Cast(params) != nullptr) return;
  logWithLogger<LogLevel::Warning>(nullptr, "Unhandled processor event occurred. Sender = ",
                                   senderName, " Param = ", params->GetParamsDescription());
}

SDKListenerPrivate::SDKListenerPrivate(IMessenger* messenger)
    : adapter_(*this), messenger_(messenger) {}

void SDKListenerPrivate::sendStatus(SDKStatus::type status, const int* sampleRate) {
  SDKStatusSignal signal;
  signal.__set_status(status);
  if (sampleRate != nullptr) signal.__set_sampleRate(*sampleRate);
  messenger_->send(senderName_, ThriftParamsFactory::createThriftParams(signal));
}

void SDKListenerPrivate::onInitialisationComplete() { sendStatus(SDKStatus::Initialised, nullptr); }
void SDKListenerPrivate::onStartListening() { sendStatus(SDKStatus::StartListening, nullptr); }
void SDKListenerPrivate::onStopListening() { sendStatus(SDKStatus::StopListening, nullptr); }
void SDKListenerPrivate::onNTPRequired() { sendStatus(SDKStatus::NTPRequired, nullptr); }

void SDKListenerPrivate::onAudioSupport(unsigned short rates) {
  const int mask = rates;
  sendStatus(SDKStatus::AudioSupportUpdate, &mask);
}

void SDKListenerPrivate::onFailed(const FailureParams& failure) {
  FailureSignal signal;
  signal.__set_descriptionString(failure.GetDescription());
  messenger_->send(senderName_, ThriftParamsFactory::createThriftParams(signal));
}

SDKPrivate::SDKPrivate(IMessenger* messenger) : SDKPrivate(messenger, AudioDecoder::getInstance()) {}

SDKPrivate::SDKPrivate(IMessenger* messenger, AudioDecoder* decoder)
    : messenger_(messenger), decoder_(decoder), listener_(messenger) {
  for (int type : kBridgeTypes) messenger_->registerListener(type, this);
}

SDKPrivate::~SDKPrivate() {
  for (int type : kBridgeTypes) messenger_->unregisterListener(type, this);
  decoder_->unRegisterDecoderListener(listener_.adapter());
}

void SDKPrivate::onReceive(const std::string&, const ThriftParams& params) {
  std::unique_ptr<InstructionSignal> instruction;
  std::unique_ptr<InitData> init;
  std::unique_ptr<ConfigurationMapSignal> config;
  try {
    switch (params.getMsgType()) {
      case 36: instruction = ThriftParamsFactory::readThriftParams<InstructionSignal>(params); break;
      case 35: init = ThriftParamsFactory::readThriftParams<InitData>(params); break;
      case 30: config = ThriftParamsFactory::readThriftParams<ConfigurationMapSignal>(params); break;
      default: return;
    }
  } catch (const std::exception& e) {
    logWithLogger<LogLevel::Warning>(nullptr, "SDKPrivate: unreadable message of type ",
                                     params.getMsgType(), ": ", e.what());
    return;
  }
  if (instruction) handleInstructionSignal(std::move(instruction));
  if (init) initialise(std::move(init));
  if (config) configure(std::move(config));
}

void SDKPrivate::configure(std::unique_ptr<ConfigurationMapSignal> signal) {
  decoder_->configure(std::move(signal));
}

void SDKPrivate::initialise(std::unique_ptr<InitData> data) {
  if (!data) return;
  decoder_->registerDecoderListener(listener_.adapter());
  if (data->__isset.sampleRates) {
    decoder_->setAvailableSampleRates(static_cast<unsigned short>(data->sampleRates));
  }
  if (data->__isset.filePath) decoder_->setFilePath(data->filePath);
  if (data->__isset.processorPlugins || data->__isset.audioProcessorPlugins) {
    // Sets iterate in ascending handle order.
    std::vector<std::unique_ptr<IProcessor>> processors;
    for (int64_t handle : data->processorPlugins) {
      if (auto p = processorhandles::take(handle)) {
        processors.push_back(std::move(p));
      } else {
        logWithLogger<LogLevel::Warning>(nullptr, "Unknown processor handle skipped: ", handle);
      }
    }
    std::vector<std::unique_ptr<IAudioProcessor>> audioProcessors;
    for (int64_t handle : data->audioProcessorPlugins) {
      if (auto p = processorhandles::takeAudio(handle)) {
        audioProcessors.push_back(std::move(p));
      } else {
        logWithLogger<LogLevel::Warning>(nullptr, "Unknown audio processor handle skipped: ",
                                         handle);
      }
    }
    decoder_->setPlugins(std::move(processors), std::move(audioProcessors));
  }
  if (data->__isset.externalFilePath) decoder_->setExternalFilePath(data->externalFilePath);
  if (data->__isset.packageName && data->__isset.udId) {
    decoder_->setIdentity(data->packageName, data->udId);
  }
  if (data->__isset.deviceId) decoder_->setDeviceId(data->deviceId);
}

void SDKPrivate::handleInstructionSignal(std::unique_ptr<InstructionSignal> signal) {
  if (!signal) return;
  switch (signal->instruction) {
    case SdkInstruction::SdkInstruction_prepareData: decoder_->prepareData(); return;
    case SdkInstruction::SdkInstruction_stop: decoder_->stopDecoding(); return;
    case SdkInstruction::SdkInstruction_start:
      decoder_->startDecoding(signal->__isset.shouldRecordToFile && signal->shouldRecordToFile);
      return;
    default: throw std::runtime_error("Instruction not handled");
  }
}

}  // namespace tembrolexinsdk
