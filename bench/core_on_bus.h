// Starts decoding on a core that an app drives over the bus: the
// configuration map, the init data (48 kHz, the given private folder) and
// the start instruction, as the platform sends them; then waits until the
// core says it listens and its decoders are built.
#ifndef TL_BENCH_CORE_ON_BUS_H_
#define TL_BENCH_CORE_ON_BUS_H_

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "core/runtime/message_factory.h"
#include "core/runtime/messenger.h"
#include "core/runtime/sample_rate.h"
#include "schema/tembrolexin_types.h"

namespace tlbench {

template <typename T>
void sendAsPlatform(tembrolexinsdk::IMessenger& bus, const T& message) {
  bus.send("Platform", tembrolexinsdk::ThriftParamsFactory::createThriftParams(message));
}

// `listening` is set by the caller's bus listener on the listening status.
inline void startDecodingOnBus(tembrolexinsdk::IMessenger& bus, const std::string& folder,
                               const std::atomic<bool>& listening) {
  using namespace tembrolexinsdk;
  ConfigurationMapSignal map;
  map.target = ConfigTarget::Target_Cpp;
  sendAsPlatform(bus, map);
  InitData init;
  init.__set_sampleRates(SampleRate_48000);
  init.__set_deviceId(1);
  init.__set_filePath(folder);
  init.__set_packageName("bench.app");
  init.__set_udId("bench-device");
  sendAsPlatform(bus, init);
  InstructionSignal start;
  start.instruction = SdkInstruction::SdkInstruction_start;
  sendAsPlatform(bus, start);
  for (int i = 0; i < 1000 && !listening.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // decoders built
}

}  // namespace tlbench

#endif  // TL_BENCH_CORE_ON_BUS_H_
