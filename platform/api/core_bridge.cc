// The core's side of the platform: its bus bridge, its app-fed recorder and
// its decoder, and the registry that carries app-supplied processors.
#include <stdexcept>

#include "core/audio/custom_recorder.h"
#include "core/control/audio_decoder.h"
#include "core/control/processor_handles.h"
#include "core/control/sdk_private.h"
#include "platform/api/sdk_private_objcpp.h"
#include "platform/api/tl_decoder.h"
#include "platform/api/tl_recorder.h"

namespace tembrolexinplatform {

CoreBridgeFactory defaultCoreBridge() {
  return [](tembrolexinsdk::IMessenger* bus) -> std::shared_ptr<void> {
    return std::make_shared<tembrolexinsdk::SDKPrivate>(bus);
  };
}

RecorderCore RecorderCore::standard() {
  using tembrolexinsdk::CustomRecorder;
  RecorderCore core;
  core.make = [](int32_t rateHz) -> std::unique_ptr<tembrolexinsdk::IAudioRecorder> {
    return std::make_unique<CustomRecorder>(rateHz);
  };
  core.provideSamples = [](tembrolexinsdk::IAudioRecorder& r, const int16_t* samples,
                           int32_t count) {
    return static_cast<CustomRecorder&>(r).provideSamples(samples, count);
  };
  core.maximumBufferSize = [](tembrolexinsdk::IAudioRecorder& r) {
    return static_cast<int32_t>(static_cast<CustomRecorder&>(r).getMaximumBufferSize());
  };
  // The recorder announces its end with its address as instance.
  core.instanceId = [](const tembrolexinsdk::IAudioRecorder& r) {
    return static_cast<int64_t>(reinterpret_cast<intptr_t>(&r));
  };
  core.install = [](std::unique_ptr<tembrolexinsdk::IAudioRecorder> r) {
    tembrolexinsdk::AudioDecoder::getInstance()->useCustomRecorder(std::move(r));
  };
  return core;
}

void TLDecoder::initWithPlugins(std::vector<TLPlugin> plugins) {
  const auto self = weak_from_this().lock();  // whole until this returns
  namespace handles = tembrolexinsdk::processorhandles;
  std::vector<int64_t> processors, audioProcessors;
  for (TLPlugin& plugin : plugins) {
    // The core takes each processor back by its registry key; a number is
    // never read as an address.
    if (plugin.audioProcessor) audioProcessors.push_back(handles::parkAudio(std::move(plugin.audioProcessor)));
    if (plugin.processor) processors.push_back(handles::park(std::move(plugin.processor)));
  }
  bridge_->initialise(InitDataBuilder()
                          .setProcessorPlugins(processors)
                          .setAudioProcessorPlugins(audioProcessors)
                          .build());
}

}  // namespace tembrolexinplatform
