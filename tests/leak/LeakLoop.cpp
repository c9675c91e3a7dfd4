// A host's long session through the shared library: engines built from a configuration
// file, 1000 quantifications and 100 calibrations (each written to and read back from a
// calibration file), MCA files written and read. The live heap after a warm-up and at the
// end must be the same; run under valgrind (ctest label 'leak') nothing may be lost either.
//
//   calyx_leak_loop [QUANTIFICATIONS [CALIBRATIONS]]   (defaults 1000 and 100)
//
// A small set-up keeps it quick under valgrind: one 40 kV beam, three lines, oxygen from
// scatter.
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "calyx/calyx.h"

namespace {

using calyx::Compound;
using calyx::Element;
using calyx::ElementChemistry;
using calyx::FPRateAlgorithm;

const char* kConfig = R"({
  "detector": {"Z": 14, "thickness": 450, "windowZ": 4, "windowThickness": 12.5,
               "measuredFWHMEnergy": 5900, "measuredFWHM": 140},
  "tube": {"anodeZ": 45, "windowZ": 4, "windowThickness": 100, "takeoffAngle": 22},
  "takeoffAngle": 45, "incodenceAngle": 60,
  "beams": [{"tubeKeV": 40, "filters": [{"compound": "Al", "thickness": 100, "density": 2.7}],
             "lines": [["Fe", "KA"], ["Ni", "KA"], ["Cu", "KA"]],
             "LEElements": ["O"], "LEEnergyKeV": 20}]
})";

constexpr int kEngineBuilds = 10;
constexpr int kPassesPerQuantification = 4;
// The allocator may keep a few blocks of its own between the two readings.
constexpr long kAllowedGrowthBytes = 16 * 1024;

// Bytes in live heap blocks, all arenas (OpenMP's workers allocate in their own).
long liveHeapBytes() { return static_cast<long>(mallinfo2().uordblks); }

Compound composition(double fe, double ni, double cu) {
  Compound c;
  c.set(ElementChemistry(Element("Fe"), fe, 0.0));
  c.set(ElementChemistry(Element("Ni"), ni, 0.0));
  c.set(ElementChemistry(Element("Cu"), cu, 0.0));
  c.set(ElementChemistry(Element("O"), 1.0 - fe - ni - cu, 0.0));
  return c;
}

struct Measurement {
  std::vector<calyx::XRFLine> lines;
  std::vector<double> rates;
  double scatter = 0.0;
};

// What the engine's model predicts for `c`: line rates, and a scatter rate in proportion.
Measurement measure(FPRateAlgorithm& engine, const Compound& c) {
  engine.chemistry->setCompound(c);
  for (calyx::Sherman& model : engine.shermans) model.computeRates();
  Measurement m;
  for (const auto& line : engine.analysisLines) {
    m.lines.push_back(line.line);
    m.rates.push_back(*line.theoreticalRate * engine.detector.getDetectorEfficiencyFactor(line.line.lineEnergyKeV()));
  }
  m.scatter = 1000.0 * c.find(Element("O"))->fraction;
  return m;
}

std::unique_ptr<FPRateAlgorithm> buildEngine(const std::string& configPath) {
  FPRateAlgorithm::Builder builder;
  std::unique_ptr<FPRateAlgorithm> engine;
  if (builder.readConfig(configPath.c_str()) != 0 || builder.create(engine) != 0) {
    std::fprintf(stderr, "cannot build the engine\n");
    std::exit(2);
  }
  return engine;
}

void quantify(FPRateAlgorithm& engine, Measurement& m) {
  engine.setAllLinesNotInUse();
  FPRateAlgorithm::RateMapper mapper(engine, 0, m.lines);
  mapper.setRates<double>(m.scatter, m.rates.data(), nullptr);
  engine.doInitialGuess(0);
  for (int pass = 0; pass < kPassesPerQuantification; ++pass) engine.process(0);
  const Compound result = engine.getCompound();
  if (result.empty()) std::exit(2);
}

void calibrate(FPRateAlgorithm& engine, const std::string& scratch) {
  FPRateAlgorithm::Calibration calibration(engine);
  calibration.setDebugFilePath(scratch + ".csv");
  // Oxygen differs between the standards, so that the light-element fit has a slope (a
  // factor of 0 is refused when the calibration file is read back).
  const Compound standards[] = {composition(0.6, 0.2, 0.1), composition(0.2, 0.5, 0.2), composition(0.1, 0.1, 0.6)};
  for (const Compound& c : standards) {
    const Measurement m = measure(engine, c);
    FPRateAlgorithm::Standard s;
    s.setName("standard");
    s.compound = c;
    for (std::size_t i = 0; i < m.lines.size(); ++i) s.rates[FPRateAlgorithm::LineKey(0, m.lines[i])] = 1.1 * m.rates[i];
    s.leRate = m.scatter;
    calibration.addStandard(s);
  }
  calibration.computeCalibrationFactors();
  if (engine.writeCalibrationFile((scratch + ".cal.json").c_str()) != 0 ||
      engine.readCalibrationFile((scratch + ".cal.json").c_str()) != 0) {
    std::fprintf(stderr, "calibration file round trip failed\n");
    std::exit(2);
  }
}

void mcaRoundTrip(const std::string& scratch) {
  calyx::MCAFile file;
  file.setMetadata("Livetime", "30.5");
  file.setSpectrum(calyx::LinearSpectrum<double>(0.0, 0.01, std::vector<double>(512, 7.0)));
  file.write(scratch + ".mca");
  calyx::MCAFile back;
  if (calyx::MCAFile::load(scratch + ".mca", back) != 0) std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  const int quantifications = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int calibrations = argc > 2 ? std::atoi(argv[2]) : 100;
  calyx::getLogger()->set_level(spdlog::level::warn);

  const char* tmp = std::getenv("TMPDIR");
  const std::string scratch =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/calyx-leak-" + std::to_string(::getpid());
  const std::string configPath = scratch + ".json";
  std::ofstream(configPath) << kConfig;

  std::unique_ptr<FPRateAlgorithm> engine = buildEngine(configPath);
  Measurement sample = measure(*engine, composition(0.5, 0.2, 0.2));

  // Warm-up: one of each, so that what is made once (OpenMP's thread pool, the stream
  // buffers of the C++ library) is in place before the first reading.
  quantify(*engine, sample);
  calibrate(*engine, scratch);
  mcaRoundTrip(scratch);
  buildEngine(configPath);
  const long before = liveHeapBytes();

  for (int i = 0; i < kEngineBuilds; ++i) engine = buildEngine(configPath);
  sample = measure(*engine, composition(0.5, 0.2, 0.2));
  for (int i = 0; i < quantifications; ++i) quantify(*engine, sample);
  for (int i = 0; i < calibrations; ++i) {
    calibrate(*engine, scratch);
    mcaRoundTrip(scratch);
  }
  engine.reset();
  sample = Measurement();
  const long after = liveHeapBytes();

  for (const char* suffix : {".json", ".csv", ".cal.json", ".mca"}) std::remove((scratch + suffix).c_str());
  std::printf("%d engine builds, %d quantifications, %d calibrations: live heap %ld bytes before, %ld after\n",
              kEngineBuilds, quantifications, calibrations, before, after);
  if (after - before > kAllowedGrowthBytes) {
    std::printf("the live heap grew by %ld bytes\n", after - before);
    return 1;
  }
  return 0;
}
