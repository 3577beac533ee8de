// PeakMemory: how far the process's resident memory rose above where it was
// when the object was made. The constructor resets the kernel's peak
// (writing "5" to /proc/self/clear_refs), so the peak that follows belongs to
// what the test does from then on; other threads of the process count too.
//
//   tltest::PeakMemory peak;
//   if (!peak.available()) GTEST_SKIP() << "no peak RSS on this kernel";
//   ... work ...
//   EXPECT_LT(peak.growthBytes(), 64u << 20);
//
// Not thread-safe; one at a time per process.
#ifndef TL_TESTS_SUPPORT_PEAK_MEMORY_H_
#define TL_TESTS_SUPPORT_PEAK_MEMORY_H_

#include <cstdint>

namespace tltest {

class PeakMemory {
 public:
  PeakMemory();
  // False when the peak could not be reset or read.
  bool available() const { return available_; }
  // Peak resident size since construction minus the resident size then.
  uint64_t growthBytes() const;
  // A bound of `bytes` as it shows under a sanitizer, whose shadow memory
  // and quarantine take several times what the program itself holds.
  static constexpr uint64_t allowing(uint64_t bytes) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return bytes * 4;
#else
    return bytes;
#endif
  }

 private:
  bool available_ = false;
  uint64_t baseline_ = 0;
};

}  // namespace tltest

#endif  // TL_TESTS_SUPPORT_PEAK_MEMORY_H_
