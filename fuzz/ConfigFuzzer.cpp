// libFuzzer target: FPRateAlgorithm::Builder::readConfig on arbitrary bytes, then create.
#include "support/FuzzTargets.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  calyx::fuzz::silenceLogger();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  calyx::fuzz::runConfig(data, size);
  return 0;
}
