#include "platform/engines/engine_decoder.h"

#include <mutex>

namespace tembrolexinplatform {

namespace {

struct SharedSource {
  std::mutex mutex;
  std::function<std::shared_ptr<IEngineDecoder>()> source;
};

SharedSource& sharedSource() {
  static SharedSource* s = new SharedSource();  // used by engines during exit
  return *s;
}

}  // namespace

void IEngineDecoder::setSharedDecoderSource(
    std::function<std::shared_ptr<IEngineDecoder>()> source) {
  SharedSource& s = sharedSource();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.source = std::move(source);
}

std::shared_ptr<IEngineDecoder> IEngineDecoder::sharedDecoder() {
  std::function<std::shared_ptr<IEngineDecoder>()> source;
  {
    SharedSource& s = sharedSource();
    std::lock_guard<std::mutex> lock(s.mutex);
    source = s.source;
  }
  return source ? source() : nullptr;
}

}  // namespace tembrolexinplatform
