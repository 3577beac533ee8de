#include "tests/support/peak_memory.h"

#include <fstream>
#include <sstream>
#include <string>

namespace tltest {
namespace {

// A "Vm...:  N kB" line of /proc/self/status in bytes; 0 when absent.
uint64_t statusBytes(const std::string& key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, key.size(), key) != 0) continue;
    std::istringstream fields(line.substr(key.size()));
    uint64_t kib = 0;
    fields >> kib;
    return kib * 1024;
  }
  return 0;
}

}  // namespace

PeakMemory::PeakMemory() {
  std::ofstream reset("/proc/self/clear_refs");
  reset << "5";
  reset.close();
  baseline_ = statusBytes("VmRSS:");
  available_ = !reset.fail() && baseline_ > 0 && statusBytes("VmHWM:") > 0;
}

uint64_t PeakMemory::growthBytes() const {
  const uint64_t peak = statusBytes("VmHWM:");
  return peak > baseline_ ? peak - baseline_ : 0;
}

}  // namespace tltest
