// libFuzzer target: the spectrum readers on arbitrary bytes.
#include "support/FuzzTargets.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  calyx::fuzz::silenceLogger();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  calyx::fuzz::runSpectrumFile(data, size);
  return 0;
}
