#include "core/audio/echo_decoder_descriptor.h"

#include <utility>

namespace tembrolexinsdk {

EchoDecoderDescriptor::EchoDecoderDescriptor(std::string name, std::vector<CodewordRange> ranges,
                                             bool transform)
    : name_(std::move(name)), ranges_(std::move(ranges)), transform_(transform) {
  for (const CodewordRange& range : ranges_) engineRefs_.insert(range.engineRef);
}

std::set<std::string> EchoDecoderDescriptor::codewordInRange(int64_t codeword) const {
  std::set<std::string> refs;
  for (const CodewordRange& range : ranges_) {
    if (range.low <= codeword && codeword <= range.high) refs.insert(range.engineRef);
  }
  return refs;
}

bool EchoDecoderDescriptor::codewordInRangeOf(int64_t codeword,
                                              const std::string& engineRef) const {
  for (const CodewordRange& range : ranges_) {
    if (range.engineRef == engineRef && range.low <= codeword && codeword <= range.high) {
      return true;
    }
  }
  return false;
}

}  // namespace tembrolexinsdk
