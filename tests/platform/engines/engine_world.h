// EngineWorld: what an engine test connects engines to -- a decoder over a
// recording bus (so everything engines send, directly or through the
// decoder's configure, is recorded in order), a dispatcher on a fake clock
// whose main queue is bound to the test thread, and helpers to read the
// recorded messages back as platform message objects.
#ifndef TL_TESTS_PLATFORM_ENGINES_ENGINE_WORLD_H_
#define TL_TESTS_PLATFORM_ENGINES_ENGINE_WORLD_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/api/tl_decoder.h"
#include "platform/messages/message_envelope.h"
#include "platform/runtime/platform_environment.h"
#include "platform/runtime/thrift_converter.h"
#include "tests/support/fake_clock.h"
#include "tests/support/recording_messenger.h"
#include "tests/support/temp_dir.h"

namespace tltest {

class EngineWorld {
 public:
  // `testHost` makes delayed main-queue blocks wait in the shared block
  // queue (TLBlockQueue::sharedBlockQueue()) for the test.
  explicit EngineWorld(bool testHost = false)
      : dispatcher_(tembrolexinplatform::Dispatcher::Options{&clock_,
                                                             tembrolexinplatform::TimerMode::kManual,
                                                             1, testHost}) {
    tembrolexinplatform::PlatformEnvironment env;
    env.documentsFolder = dir_.file("Documents");
    env.bundleIdentifier = "com.example.app";
    env.keyStoreFolder = dir_.file("keys");
    env.userDefaultsFile = dir_.file("defaults.json");
    env.resourceFolder = dir_.path();
    tembrolexinplatform::PlatformEnvironment::install(env);
    dispatcher_.mainQueue()->bindToCurrentThread();
    tembrolexinplatform::TLDecoder::Options options;
    options.bus = &bus_;
    options.coreBridge = {};
    options.dispatcher = &dispatcher_;
    options.ntpPort = 1;
    decoder_ = tembrolexinplatform::TLDecoder::create(options);
    startUpMessages_ = bus_.sentCount();
  }
  // Delayed main-queue blocks left in the shared block queue would run
  // against a later test's objects.
  ~EngineWorld() { tembrolexinplatform::TLBlockQueue::sharedBlockQueue().removeAll(); }

  tembrolexinplatform::Messenger& messenger() { return decoder_->messenger(); }
  std::shared_ptr<tembrolexinplatform::Messenger> sharedMessenger() {
    return decoder_->sharedMessenger();
  }
  std::shared_ptr<tembrolexinplatform::TLDecoder> decoder() { return decoder_; }
  tembrolexinplatform::Dispatcher& dispatcher() { return dispatcher_; }
  FakeClock& clock() { return clock_; }
  RecordingMessenger& bus() { return bus_; }
  const TempDir& dir() const { return dir_; }

  // What was sent so far no longer counts below.
  void markStart() { startUpMessages_ = bus_.sentCount(); }
  // The messages of type T sent after the decoder's start-up by `sender`,
  // in sending order.
  template <typename T>
  std::vector<T> sent(const std::string& sender) const {
    std::vector<T> out;
    const auto all = bus_.sent();
    for (std::size_t i = startUpMessages_; i < all.size(); ++i) {
      const auto& params = *all[i].params;
      if (all[i].senderName != sender) continue;
      const auto& data = params.getData();
      tembrolexinplatform::MessageEnvelope envelope(
          params.getMsgType(), std::string(reinterpret_cast<const char*>(data.data()), data.size()));
      if (auto message = envelope.newMessageOfType<T>()) out.push_back(std::move(*message));
    }
    return out;
  }
  // The bytes of every message `sender` sent after start-up, in order.
  std::vector<std::string> bytesSent(const std::string& sender) const {
    std::vector<std::string> out;
    const auto all = bus_.sent();
    for (std::size_t i = startUpMessages_; i < all.size(); ++i) {
      if (all[i].senderName != sender) continue;
      const auto& data = all[i].params->getData();
      out.emplace_back(reinterpret_cast<const char*>(data.data()), data.size());
    }
    return out;
  }
  // "<sender>:<type id>" of every message sent after start-up, in order.
  std::vector<std::string> sendOrder() const {
    std::vector<std::string> out;
    const auto all = bus_.sent();
    for (std::size_t i = startUpMessages_; i < all.size(); ++i) {
      out.push_back(all[i].senderName + ":" + std::to_string(all[i].params->getMsgType()));
    }
    return out;
  }
  // The configurations sent through the decoder after start-up.
  std::vector<tembrolexinplatform::ConfigDictionary> configurations() const {
    std::vector<tembrolexinplatform::ConfigDictionary> out;
    for (const auto& map : sent<tembrolexinplatform::ConfigurationMapSignal>("SDKPrivateObjcpp")) {
      out.push_back(tembrolexinplatform::ThriftConverter::convertWithConfigurationMapSignal(map));
    }
    return out;
  }

 private:
  TempDir dir_;
  FakeClock clock_;
  tembrolexinplatform::Dispatcher dispatcher_;
  RecordingMessenger bus_;
  std::shared_ptr<tembrolexinplatform::TLDecoder> decoder_;
  std::size_t startUpMessages_ = 0;
};

}  // namespace tltest

#endif  // TL_TESTS_PLATFORM_ENGINES_ENGINE_WORLD_H_
