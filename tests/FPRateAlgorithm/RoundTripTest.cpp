// Round trips through the whole engine: the measured rates are what the engine's own model
// predicts for a known composition (R c ε(E) per line, the residual step's scatter
// prediction for the light elements), and doInitialGuess plus process, repeated until the
// composition stops changing, must recover that composition to 1e-4 absolute mass fraction.
// Each case records the passes it needed ("passes" in the test report).
#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "calyx/FPRateAlgorithm.h"
#include "support/HandheldEngine.h"

namespace calyx {
namespace {

using Beam = FPRateAlgorithm::Builder::Beam;

constexpr double kRecovery = 1e-4;    // absolute mass fraction
constexpr double kSettled = 1e-12;    // largest change of a fraction in the last pass
constexpr int kPassLimit = 300;

// Mass fractions of a mixture given as formula and weight (normalised to 1).
Compound mixture(const std::vector<std::pair<const char*, double>>& parts) {
  std::map<int, double> byElement;
  double total = 0.0;
  for (const auto& part : parts) {
    Compound c;
    EXPECT_TRUE(Compound::fromFormula(part.first, c)) << part.first;
    for (const ElementChemistry& e : c) byElement[e.element.atomicNumber()] += part.second * e.fraction;
    total += part.second;
  }
  Compound out;
  for (const auto& e : byElement) out.set(ElementChemistry(Element(e.first), e.second / total, 0.0));
  return out;
}

std::unique_ptr<FPRateAlgorithm> engineFromExample(const char* name) {
  FPRateAlgorithm::Builder builder;
  EXPECT_EQ(builder.readConfig((std::string(CALYX_EXAMPLES_DIR) + "/config/" + name).c_str()), 0);
  return testing::buildEngine(builder);
}

struct Outcome {
  int passes = 0;
  double lastChange = 0.0;
};

// Measures `truth` with the engine's own model, then quantifies it again.
Outcome roundTrip(FPRateAlgorithm& engine, const Compound& truth, int lastBeam) {
  testing::LogLevelGuard quiet(spdlog::level::warn);
  Sherman::Chemistry& chemistry = *engine.chemistry;
  for (const Element& e : chemistry.elements) EXPECT_NE(truth.find(e), nullptr) << printableSymbol(e);
  chemistry.setCompound(truth);
  for (Sherman& model : engine.shermans) model.computeRates();
  const double scatter = testing::scatterPrediction(engine);

  // The caller's side: the measured lines of each beam as arrays, through a RateMapper.
  engine.setAllLinesNotInUse();
  for (unsigned int beam = 0; beam < engine.shermans.size(); ++beam) {
    std::vector<XRFLine> lines;
    std::vector<double> rates;
    for (const FPRateAlgorithm::AnalysisLine& l : engine.analysisLines) {
      if (l.beam != beam) continue;
      lines.push_back(l.line);
      rates.push_back(testing::linePrediction(engine, l));
    }
    std::vector<double> uncertainties(rates.size());
    std::transform(rates.begin(), rates.end(), uncertainties.begin(), [](double r) { return std::sqrt(r); });
    FPRateAlgorithm::RateMapper mapper(engine, beam, lines);
    mapper.setRates(scatter, rates.data(), uncertainties.data());
  }

  engine.doInitialGuess(0);
  Outcome outcome;
  outcome.lastChange = 1.0;
  while (outcome.passes < kPassLimit && outcome.lastChange > kSettled) {
    const std::vector<double> before = chemistry.fractions;
    engine.process(lastBeam);
    ++outcome.passes;
    outcome.lastChange = 0.0;
    for (std::size_t i = 0; i < before.size(); ++i)
      outcome.lastChange = std::max(outcome.lastChange, std::fabs(chemistry.fractions[i] - before[i]));
  }
  return outcome;
}

// Records the passes and the largest error under `label` in the test report.
void expectRecovered(const FPRateAlgorithm& engine, const Compound& truth, const Outcome& outcome,
                     const std::string& label = "") {
  EXPECT_LE(outcome.lastChange, kSettled) << "not settled after " << outcome.passes << " passes";
  double worst = 0.0;
  for (const ElementChemistry& e : truth) {
    const int index = engine.chemistry->getIndex(e.element);
    ASSERT_GE(index, 0) << printableSymbol(e.element);
    EXPECT_NEAR(engine.chemistry->fractions[index], e.fraction, kRecovery) << printableSymbol(e.element);
    worst = std::max(worst, std::fabs(engine.chemistry->fractions[index] - e.fraction));
  }
  ::testing::Test::RecordProperty("passes" + label, outcome.passes);
  ::testing::Test::RecordProperty("worstError" + label, fmt::format("{:.3g}", worst));
}

TEST(RoundTripTest, RecoversAStainlessSteelFromTheAlloyExampleOnKaAndKbOverTwoBeams) {
  std::unique_ptr<FPRateAlgorithm> engine = engineFromExample("handheld-alloy.json");
  // AISI 316 with the tramp elements an alloy analyser reports.
  Compound steel;
  const std::vector<std::pair<const char*, double>> minor = {
      {"Cr", 0.17},    {"Ni", 0.12},     {"Mo", 0.025},    {"Mn", 0.015},    {"Si", 0.005},   {"Cu", 0.003},
      {"Co", 0.002},   {"V", 0.001},     {"Ti", 0.001},    {"Nb", 0.0005},   {"W", 0.0005},   {"P", 0.0003},
      {"S", 0.0002},   {"Al", 0.0002},   {"Zn", 0.0001},   {"Pb", 0.0001},   {"Mg", 0.0001}};
  double sum = 0.0;
  for (const auto& e : minor) {
    steel.set(ElementChemistry(Element(e.first), e.second, 0.0));
    sum += e.second;
  }
  steel.set(ElementChemistry(Element("Fe"), 1.0 - sum, 0.0));

  const Outcome outcome = roundTrip(*engine, steel, 1);
  expectRecovered(*engine, steel, outcome);
}

TEST(RoundTripTest, RecoversALeadedBrassWithLeadOnItsLaLine) {
  FPRateAlgorithm::Builder builder = testing::handheldBuilder();
  Beam beam(40.0f);
  beam.tubeFilters({Filter::create(Element("Al"), 100.0, 2.7)});
  for (const char* symbol : {"Fe", "Cu", "Zn", "Sn"}) beam.addLine(XRFLine::create(Element(symbol), 0));
  beam.addLine(XRFLine::create(Element("Pb"), 2));
  builder.addBeam(beam);
  std::unique_ptr<FPRateAlgorithm> engine = testing::buildEngine(builder);

  Compound brass;
  for (const auto& e : std::vector<std::pair<const char*, double>>{
           {"Cu", 0.58}, {"Zn", 0.385}, {"Pb", 0.025}, {"Sn", 0.007}, {"Fe", 0.003}})
    brass.set(ElementChemistry(Element(e.first), e.second, 0.0));

  const Outcome outcome = roundTrip(*engine, brass, 0);
  expectRecovered(*engine, brass, outcome);
}

TEST(RoundTripTest, RecoversARockWithOxygenFromScatterOverTheOxideExample) {
  std::unique_ptr<FPRateAlgorithm> engine = engineFromExample("handheld-oxide.json");
  // A granodiorite: major oxides in percent, trace elements in ppm (x 1e-4 percent).
  const Compound rock = mixture({{"SiO2", 66.0},   {"Al2O3", 15.5}, {"Fe2O3", 4.5}, {"CaO", 3.8},
                                 {"MgO", 1.8},     {"K2O", 3.0},    {"TiO2", 0.55}, {"MnO", 0.08},
                                 {"P2O5", 0.15},   {"SO3", 0.05},   {"Cr", 0.009},  {"Ni", 0.004},
                                 {"Cu", 0.003},    {"Zn", 0.007},   {"Rb", 0.012},  {"Sr", 0.045},
                                 {"Zr", 0.018},    {"Pb", 0.002}});

  const Outcome outcome = roundTrip(*engine, rock, 1);
  expectRecovered(*engine, rock, outcome);
  const int oxygen = engine->chemistry->getIndex(Element("O"));
  ::testing::Test::RecordProperty("oxygen", fmt::format("{:.9f}", engine->chemistry->fractions[oxygen]));
  ::testing::Test::RecordProperty("oxygenTrue", fmt::format("{:.9f}", rock.find(Element("O"))->fraction));
}

TEST(RoundTripTest, ConvergesWithTwoLinesPerElementAndOneLineInTwoBeams) {
  // Ka and Kb of every element at 40 kV, and Cr, Mn and Fe Ka again at 15 kV: up to three
  // lines correct one fraction in a pass.
  FPRateAlgorithm::Builder builder = testing::handheldBuilder();
  Beam main(40.0f);
  main.tubeFilters({Filter::create(Element("Al"), 100.0, 2.7)});
  for (const char* symbol : {"Cr", "Mn", "Fe", "Ni", "Mo"})
    main.addLine(XRFLine::create(Element(symbol), 0)).addLine(XRFLine::create(Element(symbol), 1));
  Beam light(15.0f);
  for (const char* symbol : {"Cr", "Mn", "Fe"}) light.addLine(XRFLine::create(Element(symbol), 0));
  builder.addBeam(main).addBeam(light);
  std::unique_ptr<FPRateAlgorithm> engine = testing::buildEngine(builder);

  Compound steel;
  for (const auto& e : std::vector<std::pair<const char*, double>>{
           {"Cr", 0.18}, {"Mn", 0.015}, {"Fe", 0.70}, {"Ni", 0.09}, {"Mo", 0.015}})
    steel.set(ElementChemistry(Element(e.first), e.second, 0.0));

  for (int lastBeam : {0, 1}) {
    SCOPED_TRACE(lastBeam);
    const Outcome outcome = roundTrip(*engine, steel, lastBeam);
    expectRecovered(*engine, steel, outcome, "LastBeam" + std::to_string(lastBeam));
  }
}

}  // namespace
}  // namespace calyx
