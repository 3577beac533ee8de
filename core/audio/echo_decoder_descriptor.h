// EchoDecoderDescriptor: one decoder that a codeword-decoding processor
// runs: the decoding core's configuration text, the code-word ranges it
// reports with the engine each range goes to, and whether decoded words are
// withheld (reported as 0).
//
// Immutable after construction; any thread may read a shared descriptor.
#ifndef TL_CORE_AUDIO_ECHO_DECODER_DESCRIPTOR_H_
#define TL_CORE_AUDIO_ECHO_DECODER_DESCRIPTOR_H_

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace tembrolexinsdk {

// The code words low..high (both inclusive) go to the engine `engineRef`.
struct CodewordRange {
  int64_t low;
  int64_t high;
  std::string engineRef;

  bool operator==(const CodewordRange&) const = default;
};

class EchoDecoderDescriptor {
 public:
  // `name` is the decoding core's configuration text.
  EchoDecoderDescriptor(std::string name, std::vector<CodewordRange> ranges, bool transform);

  const std::set<std::string>& getEngineRefs() const { return engineRefs_; }
  const std::string& getName() const { return name_; }
  const std::vector<CodewordRange>& getCWRanges() const { return ranges_; }
  bool doTransformCodewords() const { return transform_; }

  // The engines of every range that holds `codeword`; empty when none does.
  std::set<std::string> codewordInRange(int64_t codeword) const;
  // Whether `engineRef` is among the engines of a range holding `codeword`.
  bool codewordInRangeOf(int64_t codeword, const std::string& engineRef) const;
  // 0 when the transform flag is set (the value is withheld), else
  // `codeword` unchanged.
  int64_t transformCodeword(int64_t codeword) const { return transform_ ? 0 : codeword; }

 private:
  std::set<std::string> engineRefs_;
  std::string name_;
  std::vector<CodewordRange> ranges_;
  bool transform_;
};

}  // namespace tembrolexinsdk

#endif  // TL_CORE_AUDIO_ECHO_DECODER_DESCRIPTOR_H_
