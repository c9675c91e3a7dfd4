// Replays every input the fuzz targets once found faulty (tests/data/fuzz-regressions/TARGET,
// one file each) through the same harness as the fuzzers (tests/support/FuzzTargets.h), so
// that a fault that comes back fails here, in every build, without clang. In the sanitizer build
// the replay is checked by ASan and UBSan as well.
#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/FuzzTargets.h"
#include "support/LogCapture.h"

namespace calyx {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<fs::path> keptInputs(const std::string& target) {
  std::vector<fs::path> inputs;
  const fs::path dir = fs::path(CALYX_TEST_DATA_DIR) / "fuzz-regressions" / target;
  if (fs::is_directory(dir))
    for (const auto& entry : fs::directory_iterator(dir))
      if (entry.is_regular_file()) inputs.push_back(entry.path());
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

// The harness silences the logger; the other tests of this process keep theirs.
class SilencedLogger : testing::LoggerState {
 public:
  SilencedLogger() { fuzz::silenceLogger(); }
};

TEST(FuzzRegressionTest, EveryKeptInputPassesItsReaderWithOnlyTheAllowedExceptions) {
  struct Target {
    const char* name;
    void (*run)(const std::uint8_t*, std::size_t);
  } targets[] = {
      {"McaFile", fuzz::runMcaFile},
      {"SpectrumFile", fuzz::runSpectrumFile},
      {"Config", fuzz::runConfig},
      {"CalibrationFile",
       [](const std::uint8_t* data, std::size_t size) {
         fuzz::runCalibrationFile(data, size, CALYX_EXAMPLES_DIR "/config/handheld-oxide.json");
       }},
  };
  SilencedLogger silenced;
  std::size_t replayed = 0;
  for (const Target& target : targets) {
    for (const fs::path& input : keptInputs(target.name)) {
      const std::vector<std::uint8_t> bytes = readBytes(input);
      try {
        target.run(bytes.data(), bytes.size());
      } catch (const std::exception& e) {
        ADD_FAILURE() << target.name << " " << input.filename() << ": " << e.what();
      } catch (...) {
        ADD_FAILURE() << target.name << " " << input.filename() << ": a non-standard exception";
      }
      ++replayed;
    }
  }
  // The kept inputs live in the source tree: none found means the replay checked nothing.
  EXPECT_GT(replayed, 0u);
}

}  // namespace
}  // namespace calyx
