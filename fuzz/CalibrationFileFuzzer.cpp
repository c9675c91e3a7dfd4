// libFuzzer target: FPRateAlgorithm::readCalibrationFile on arbitrary bytes, into an engine
// built from the example oxide configuration.
#include "support/FuzzTargets.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  calyx::fuzz::silenceLogger();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  calyx::fuzz::runCalibrationFile(data, size, CALYX_EXAMPLES_DIR "/config/handheld-oxide.json");
  return 0;
}
