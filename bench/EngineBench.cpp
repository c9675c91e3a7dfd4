// Benchmarks of the quantification engine:
//   quantify       a whole quantification of two beams and 25 elements, from the first guess
//                  until the composition stops changing, logger at warn;
//   ratesPerPass   the rate computation alone of one pass (both beams' models), so that the
//                  time outside it is quantify / passes - ratesPerPass;
//   createEngine   FPRateAlgorithm::Builder::create from an example configuration.
#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "calyx/FPRateAlgorithm.h"
#include "calyx/Filter.h"
#include "calyx/Logger.h"
#include "support/HardwareFixtures.h"

namespace calyx {
namespace {

using Beam = FPRateAlgorithm::Builder::Beam;

constexpr double kSettled = 1e-12;  // largest change of a fraction in the last pass
constexpr int kPassLimit = 300;

using testing::rhodiumTube;
using testing::siliconDriftDetector;

// A main beam for Ti to Pb and a light beam for Mg to Ca, oxygen from scatter: 25 elements.
std::unique_ptr<FPRateAlgorithm> twoBeamEngine() {
  FPRateAlgorithm::Builder builder;
  builder.detectorHardware(siliconDriftDetector()).tubeHardware(rhodiumTube());
  builder.geometry(Angle::createFromDegrees(45.0), Angle::createFromDegrees(60.0));
  Beam main(40.0f);
  main.tubeFilters({Filter::create(Element("Al"), 100.0, 2.7)});
  // K lines up to tin, L lines of tungsten and lead, as an analyser reports them.
  for (const char* symbol : {"Ti", "V", "Cr", "Mn", "Fe", "Co", "Ni", "Cu", "Zn", "Sr", "Zr", "Nb",
                             "Mo", "Ag", "Sn"})
    main.addLine(XRFLine::create(Element(symbol), 0)).addLine(XRFLine::create(Element(symbol), 1));
  for (const char* symbol : {"W", "Pb"})
    main.addLine(XRFLine::create(Element(symbol), 2)).addLine(XRFLine::create(Element(symbol), 3));
  main.addLEelement(Element("O")).setLEEnergyKeV(20.0);
  Beam light(15.0f);
  light.addLine(XRFLine::create(Element("Mg"), 0));  // magnesium has no K-beta in xraylib
  for (const char* symbol : {"Al", "Si", "P", "S", "K", "Ca"})
    light.addLine(XRFLine::create(Element(symbol), 0)).addLine(XRFLine::create(Element(symbol), 1));
  light.addLEelement(Element("O")).setLEEnergyKeV(20.0);
  builder.addBeam(main).addBeam(light);
  std::unique_ptr<FPRateAlgorithm> engine;
  if (builder.create(engine) != 0 || engine->chemistry->elements.size() != 25) std::abort();
  return engine;
}

// An ore-like sample: oxygen, the rock formers, and a few percent of metals.
Compound truth(const Sherman::Chemistry& chemistry) {
  Compound c;
  for (const Element& e : chemistry.elements) {
    const int Z = e.atomicNumber();
    double f = Z == 8 ? 0.40 : Z <= 20 ? 0.05 : 0.006 + 0.0005 * (Z % 5);
    c.set(ElementChemistry(e, f, 0.0));
  }
  double sum = 0.0;
  for (const ElementChemistry& e : c) sum += e.fraction;
  Compound normalised;
  for (const ElementChemistry& e : c) normalised.set(ElementChemistry(e.element, e.fraction / sum, 0.0));
  return normalised;
}

// The measured rates of the truth: the engine's own prediction of each line, and the residual
// light-element step's scatter prediction.
struct Measurement {
  std::vector<std::vector<XRFLine>> lines;
  std::vector<std::vector<double>> rates;
  double scatter = 0.0;
};

Measurement measure(FPRateAlgorithm& engine, const Compound& sample) {
  engine.chemistry->setCompound(sample);
  for (Sherman& model : engine.shermans) model.computeRates();
  Measurement m;
  m.lines.resize(engine.shermans.size());
  m.rates.resize(engine.shermans.size());
  for (const FPRateAlgorithm::AnalysisLine& l : engine.analysisLines) {
    m.lines[l.beam].push_back(l.line);
    m.rates[l.beam].push_back(*l.theoreticalRate * l.calibrationFactor *
                              engine.detector.getDetectorEfficiencyFactor(l.line.lineEnergyKeV()));
  }
  const Sherman& model = engine.shermans[0];
  const double energy = comptonScatterEnergy(
      Angle::createFromRadian(model.takeOffAngle().radians() + model.incidenceAngle().radians()), 19.0);
  m.scatter = model.excitationSpectrum()->valueAt(19) * comptonScatterCoefficient(sample, energy) *
                  engine.detector.getDetectorEfficiencyFactor(energy) * engine.leCalibrationFactors[0] +
              engine.leCalibrationOffsets[0];
  return m;
}

// One quantification as a host runs it; returns the number of passes. Not inlined, so that
// a profiler can single it out.
__attribute__((noinline)) int quantifyOnce(FPRateAlgorithm& engine, Measurement& m) {
  engine.setAllLinesNotInUse();
  for (unsigned int beam = 0; beam < m.lines.size(); ++beam) {
    FPRateAlgorithm::RateMapper mapper(engine, beam, m.lines[beam]);
    mapper.setRates<double>(m.scatter, m.rates[beam].data(), nullptr);
  }
  engine.doInitialGuess(0);
  std::vector<double> before;
  int passes = 0;
  double change = 1.0;
  while (passes < kPassLimit && change > kSettled) {
    before = engine.chemistry->fractions;
    engine.process(1);
    ++passes;
    change = 0.0;
    for (std::size_t i = 0; i < before.size(); ++i)
      change = std::max(change, std::fabs(engine.chemistry->fractions[i] - before[i]));
  }
  return passes;
}

void quantify(benchmark::State& state) {
  getLogger()->set_level(spdlog::level::warn);
  auto engine = twoBeamEngine();
  const Compound sample = truth(*engine->chemistry);
  Measurement m = measure(*engine, sample);
  int passes = 0;
  for (auto _ : state) passes = quantifyOnce(*engine, m);
  double worst = 0.0;
  for (const ElementChemistry& e : sample)
    worst = std::max(worst, std::fabs(engine->chemistry->fractions[engine->chemistry->getIndex(e.element)] - e.fraction));
  state.counters["passes"] = passes;
  state.counters["lines"] = static_cast<double>(engine->analysisLines.size());
  state.counters["error"] = worst;
}

void ratesPerPass(benchmark::State& state) {
  getLogger()->set_level(spdlog::level::warn);
  auto engine = twoBeamEngine();
  const Compound sample = truth(*engine->chemistry);
  engine->chemistry->setCompound(sample);
  for (auto _ : state)
    for (Sherman& model : engine->shermans) model.computeRates();
}

void createEngine(benchmark::State& state) {
  getLogger()->set_level(spdlog::level::warn);
  FPRateAlgorithm::Builder builder;
  const std::string path = std::string(CALYX_EXAMPLES_DIR) + "/config/handheld-alloy.json";
  if (builder.readConfig(path.c_str()) != 0) std::abort();
  for (auto _ : state) {
    std::unique_ptr<FPRateAlgorithm> engine;
    if (builder.create(engine) != 0) std::abort();
    benchmark::DoNotOptimize(engine.get());
  }
}

BENCHMARK(quantify)->Unit(benchmark::kMillisecond);
BENCHMARK(ratesPerPass)->Unit(benchmark::kMicrosecond);
BENCHMARK(createEngine)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace calyx
