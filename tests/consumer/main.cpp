// A host program: builds an engine from a configuration file, predicts the rates of a
// known alloy with the engine's own model, quantifies them, and checks the composition.
#include <calyx/calyx.h>
#include <spdlog/spdlog.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

const char* kConfig = R"({
  "detector": {"Z": 14, "thickness": 450, "windowZ": 4, "windowThickness": 12.5,
               "measuredFWHMEnergy": 5900, "measuredFWHM": 140},
  "tube": {"anodeZ": 45, "anodeThickness": 1, "windowZ": 4, "windowThickness": 100, "takeoffAngle": 20},
  "beams": [{"tubeKeV": 40, "lines": [["Cr", "KA"], ["Fe", "KA"], ["Ni", "KA"]]}]
})";

}  // namespace

int main(int argc, char** argv) {
  using namespace calyx;
  if (std::string(versionString()) != CALYX_VERSION_STRING) return 3;
  getLogger()->set_level(spdlog::level::warn);
  const std::string path = std::string(argc > 1 ? argv[1] : ".") + "/consumer-config.json";
  std::ofstream(path) << kConfig;

  FPRateAlgorithm::Builder builder;
  std::unique_ptr<FPRateAlgorithm> engine;
  if (builder.readConfig(path.c_str()) != 0 || builder.create(engine) != 0) return 4;

  Compound truth;
  truth.set(ElementChemistry(Element("Cr"), 0.18, 0.0));
  truth.set(ElementChemistry(Element("Fe"), 0.72, 0.0));
  truth.set(ElementChemistry(Element("Ni"), 0.10, 0.0));
  engine->chemistry->setCompound(truth);
  for (Sherman& model : engine->shermans) model.computeRates();
  std::vector<XRFLine> lines;
  std::vector<double> rates;
  for (const auto& line : engine->analysisLines) {
    lines.push_back(line.line);
    rates.push_back(*line.theoreticalRate * engine->detector.getDetectorEfficiencyFactor(line.line.lineEnergyKeV()));
  }
  engine->setAllLinesNotInUse();
  FPRateAlgorithm::RateMapper mapper(*engine, 0, lines);
  mapper.setRates<double>(0.0, rates.data(), nullptr);
  engine->doInitialGuess(0);
  for (int pass = 0; pass < 100; ++pass) engine->process(0);

  const Compound result = engine->getCompound();
  int status = 0;
  for (const ElementChemistry& e : truth) {
    const double got = result.find(e.element)->fraction;
    std::printf("%s %.6f (true %.6f)\n", e.element.symbol(), got, e.fraction);
    if (!(std::fabs(got - e.fraction) < 1e-4)) status = 1;
  }
  return status;
}
