// One input of each fuzz target, shared by the libFuzzer entry points (fuzz/*Fuzzer.cpp) and
// by the unit test that replays the kept crashing inputs (tests/FuzzRegressionTest.cpp).
//
// A target feeds the bytes to a reader as a file and lets through only what a reader may
// throw at its caller (docs/bad-input.md): JsonCpp's conversion error on a value of the
// wrong type (Json::LogicError) and the standard map's out-of-range error of an unknown line
// code. Anything else escapes, JsonCpp's Json::RuntimeError (nesting too deep) included, and
// the fuzzer or the test reports it.
#ifndef CALYX_TESTS_SUPPORT_FUZZTARGETS_H
#define CALYX_TESTS_SUPPORT_FUZZTARGETS_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include <json/json.h>
#include <spdlog/spdlog.h>

#include "calyx/FPRateAlgorithm.h"
#include "calyx/Logger.h"
#include "calyx/MCAFile.h"
#include "calyx/SpectrumFit.h"

namespace calyx {
namespace fuzz {

/// A file of this process that holds the current input; removed when the process ends.
class ScratchFile {
 public:
  explicit ScratchFile(const char* name) {
    // In memory where the system offers it: a disk file costs more than most inputs.
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || *dir == '\0') dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    path_ = std::string(dir) + "/calyx-fuzz-" + name + "-" + std::to_string(::getpid());
  }
  ~ScratchFile() { std::remove(path_.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const char* write(const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path_.c_str();
  }

 private:
  std::string path_;
};

/// The library's exceptions that may reach a caller. An out-of-range error is let through
/// only when it is the line table's ("map::at"); a vector's or a string's would be a fault.
template <typename Body>
void allowingReaderExceptions(Body body) {
  try {
    body();
  } catch (const Json::LogicError&) {
  } catch (const std::out_of_range& e) {
    if (std::strcmp(e.what(), "map::at") != 0) throw;
  }
}

/// MCAFile::load on arbitrary bytes, into a fresh object and into one that already holds
/// an energy scale (so that the values path is reached even without a header). Loading
/// lets nothing through.
/// The spectrum readers (PMCA, EMSA/MAS, two-column text, and the MCA file by path): a
/// spectrum read must be usable, every value finite and not negative, its scale positive.
inline void runSpectrumFile(const std::uint8_t* data, std::size_t size) {
  static ScratchFile file("spectrum");
  const std::string path = file.write(data, size);
  MeasuredSpectrum spectrum;
  if (readSpectrumFile(path, spectrum) == 0) {
    if (!spectrum.spectrum || !(spectrum.spectrum->getStepSize() > 0)) std::abort();
    for (unsigned int i = 0; i < spectrum.spectrum->size(); ++i)
      if (!(spectrum.spectrum->valueAt(i) >= 0) || !std::isfinite(spectrum.spectrum->valueAt(i))) std::abort();
  }
}

inline void runMcaFile(const std::uint8_t* data, std::size_t size) {
  static ScratchFile file("mca");
  const std::string path = file.write(data, size);
  MCAFile fresh;
  MCAFile::load(path, fresh);
  MCAFile scaled;
  scaled.setMetadata("Energy scale offset", "0");
  scaled.setMetadata("Energy scale slope", "10");
  if (MCAFile::load(path, scaled) == 0) {
    // What was read must be usable: every value and energy can be asked for.
    const auto spectrum = scaled.getSpectrum();
    double sum = 0.0;
    for (unsigned int i = 0; i < spectrum->size(); ++i) sum += spectrum->valueAt(i) + spectrum->energyAt(i);
    (void)sum;
  }
  (void)scaled.getLivetime();
}

/// Builder::readConfig on arbitrary bytes; when that succeeds, create.
inline void runConfig(const std::uint8_t* data, std::size_t size) {
  static ScratchFile file("config");
  const char* path = file.write(data, size);
  allowingReaderExceptions([&] {
    FPRateAlgorithm::Builder builder;
    if (builder.readConfig(path) != 0) return;
    std::unique_ptr<FPRateAlgorithm> engine;
    builder.create(engine);
  });
}

/// readCalibrationFile on arbitrary bytes, into an engine built once from the example oxide
/// configuration (two beams, light elements); the engine's calibration is put back after
/// each input so that every input meets the same engine.
inline void runCalibrationFile(const std::uint8_t* data, std::size_t size, const std::string& configPath) {
  struct Saved {
    std::vector<double> factors, guesses, leFactors, leOffsets;
  };
  static std::unique_ptr<FPRateAlgorithm> engine;
  static Saved saved;
  if (!engine) {
    FPRateAlgorithm::Builder builder;
    if (builder.readConfig(configPath.c_str()) != 0 || builder.create(engine) != 0)
      throw std::runtime_error("cannot build the engine from " + configPath);
    for (const auto& line : engine->analysisLines) {
      saved.factors.push_back(line.calibrationFactor);
      saved.guesses.push_back(line.initialGuessFactor);
    }
    saved.leFactors = engine->leCalibrationFactors;
    saved.leOffsets = engine->leCalibrationOffsets;
  }
  static ScratchFile file("calibration");
  const char* path = file.write(data, size);
  allowingReaderExceptions([&] { engine->readCalibrationFile(path); });
  for (std::size_t i = 0; i < engine->analysisLines.size(); ++i) {
    engine->analysisLines[i].calibrationFactor = saved.factors[i];
    engine->analysisLines[i].initialGuessFactor = saved.guesses[i];
  }
  engine->leCalibrationFactors = saved.leFactors;
  engine->leCalibrationOffsets = saved.leOffsets;
}

/// Every message is still formatted (the level lets all through) but written nowhere, so
/// that a fault in building a message is found without flooding the output.
inline void silenceLogger() {
  getLogger()->sinks().clear();
  getLogger()->set_level(spdlog::level::trace);
}

}  // namespace fuzz
}  // namespace calyx

#endif  // CALYX_TESTS_SUPPORT_FUZZTARGETS_H
