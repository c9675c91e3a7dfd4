// The opt-in accuracy options through the configuration, and the robust solver: round trips
// (rates from the engine's own model for a known composition, quantified again) under a
// monochromatic beam, a user table, a fine integrated grid with Ebel's tube and the
// subshell-sum data; the solver's answer for rates of any scale; and the configurations
// the readers refuse.
#include <xraylib.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "calyx/FPRateAlgorithm.h"
#include "support/Json.h"
#include "support/HandheldEngine.h"

namespace calyx {
namespace {

constexpr double kRecovery = 1e-4;  // absolute mass fraction

using testing::parseJson;

std::string configText(const std::string& beams, const std::string& tubeExtra = "", const std::string& top = "") {
  return "{" + testing::handheldHardwareJson(tubeExtra) + R"(, "takeoffAngle": 45, "incodenceAngle": 60,)" + top +
         "\"beams\": [" + beams + "]}";
}

std::unique_ptr<FPRateAlgorithm> engineFrom(const std::string& text) {
  FPRateAlgorithm::Builder builder;
  EXPECT_EQ(builder.readConfig(parseJson(text)), 0) << text;
  return testing::buildEngine(builder);
}

// The scatter prediction of the residual step, the excitation's 20 keV point found by energy.
double scatterPrediction(const FPRateAlgorithm& engine) {
  const Sherman& model = engine.shermans[0];
  const SpectrumBase<double>& x = *model.excitationSpectrum();
  unsigned int point = 0;
  for (unsigned int i = 0; i < x.size(); ++i)
    if (std::fabs(x.energyAt(i) - 20.0) < 1e-6) point = i;
  EXPECT_NEAR(x.energyAt(point), 20.0, 1e-6);
  const double angle = model.takeOffAngle().radians() + model.incidenceAngle().radians();
  const double energy = testing::comptonEnergy(angle, 19.0);
  return x.valueAt(point) * testing::comptonShare(engine, energy) * testing::detectorEfficiency(engine.detector, energy) *
             engine.leCalibrationFactors[0] +
         engine.leCalibrationOffsets[0];
}

// Measures `truth` with the engine's own model (every line, and beam 0's scatter) times
// `scale`, then starts the quantification from the first guess.
void measure(FPRateAlgorithm& engine, const Compound& truth, double scale) {
  engine.chemistry->setCompound(truth);
  for (Sherman& model : engine.shermans) model.computeRates();
  const double scatter = engine.leElements[0].empty() ? 0.0 : scatterPrediction(engine) * scale;
  engine.setAllLinesNotInUse();
  for (unsigned int beam = 0; beam < engine.shermans.size(); ++beam) {
    std::vector<XRFLine> lines;
    std::vector<double> rates;
    for (const FPRateAlgorithm::AnalysisLine& l : engine.analysisLines) {
      const double rate = testing::linePrediction(engine, l) * scale;
      if (l.beam != beam || !(rate > 0.0)) continue;
      lines.push_back(l.line);
      rates.push_back(rate);
    }
    FPRateAlgorithm::RateMapper mapper(engine, beam, lines);
    mapper.setRates(scatter, rates.data(), static_cast<double*>(nullptr));
  }
  engine.doInitialGuess(0);
}

int passes(FPRateAlgorithm& engine, int lastBeam) {
  for (int pass = 1; pass <= 500; ++pass) {
    const std::vector<double> before = engine.chemistry->fractions;
    engine.process(lastBeam);
    double change = 0.0;
    for (std::size_t i = 0; i < before.size(); ++i)
      change = std::max(change, std::fabs(engine.chemistry->fractions[i] - before[i]));
    if (change < 1e-12) return pass;
  }
  return -1;
}

void expectRecovered(const FPRateAlgorithm& engine, const Compound& truth, double tolerance = kRecovery) {
  double sum = 0.0;
  for (double f : engine.chemistry->fractions) sum += f;
  for (const ElementChemistry& e : truth) {
    const int index = engine.chemistry->getIndex(e.element);
    ASSERT_GE(index, 0) << printableSymbol(e.element);
    EXPECT_NEAR(engine.chemistry->fractions[index] / sum, e.fraction, tolerance) << printableSymbol(e.element);
  }
}

using testing::compound;

const Compound kSteel = compound({{"Cr", 0.18}, {"Mn", 0.015}, {"Fe", 0.695}, {"Ni", 0.09}, {"Cu", 0.02}});
// A basalt: oxygen from scatter.
const Compound kRock = compound({{"O", 0.446}, {"Na", 0.024}, {"Mg", 0.045}, {"Al", 0.075}, {"Si", 0.235},
                                 {"K", 0.012}, {"Ca", 0.07}, {"Ti", 0.012}, {"Fe", 0.081}});
const char* kRockBeams = R"(
  {"tubeKeV": 40, "filters": [{"compound": "Al", "thickness": 100, "density": 2.7}],
   "allLines": ["K", "Ca", "Ti", "Fe"], "LEElements": ["O"], "LEEnergyKeV": 20 %OPTIONS%},
  {"tubeKeV": 15, "allLines": ["Na", "Mg", "Al", "Si"], "LEElements": ["O"], "LEEnergyKeV": 20 %OPTIONS%})";

std::string rockBeams(const std::string& options) {
  std::string text = kRockBeams;
  for (std::size_t at; (at = text.find("%OPTIONS%")) != std::string::npos;) text.replace(at, 9, options);
  return text;
}

TEST(AccuracyOptionsTest, MonochromaticBeamAndUserTableRoundTrip) {
  testing::LogLevelGuard quiet(spdlog::level::err);
  // 16 keV excites every K edge of the steel (Cu: 8.98 keV); the table is a coarse tube
  // spectrum with its lines. Both behind the beam's Al filter.
  const std::string mono = R"({"tubeKeV": 40, "filters": [{"compound": "Al", "thickness": 100, "density": 2.7}],
       "allLines": ["Cr", "Mn", "Fe", "Ni", "Cu"], "excitation": {"monochromaticKeV": 16}})";
  const std::string table = R"({"tubeKeV": 40, "filters": [{"compound": "Al", "thickness": 100, "density": 2.7}],
       "allLines": ["Cr", "Mn", "Fe", "Ni", "Cu"],
       "excitation": {"energies": [6, 9, 12, 15, 18, 20.2, 22.7, 25, 30, 35],
                      "intensities": [2, 3, 3.5, 3.4, 3, 40, 8, 2.2, 1.3, 0.5]}})";
  for (const std::string& beam : {mono, table}) {
    std::unique_ptr<FPRateAlgorithm> engine = engineFrom(configText(beam));
    ASSERT_NE(engine, nullptr);
    const SpectrumBase<double>& x = *engine->shermans[0].excitationSpectrum();
    // The filter applies: the first point is the table's value times the Al transmission
    // (the configuration's thickness and density are read as floats).
    const double E = x.energyAt(0);
    const double al = std::exp(-2.7 * 100e-4 * CS_Total(13, E, nullptr));
    EXPECT_NEAR(x.valueAt(0), (beam == mono ? 1.0 : 2.0) * al, 1e-7 * x.valueAt(0));
    measure(*engine, kSteel, 1.0);
    EXPECT_GT(passes(*engine, 0), 0);
    expectRecovered(*engine, kSteel);
  }
}

TEST(AccuracyOptionsTest, FineGridEbelTubeAndSubshellSumRoundTripWithOxygenFromScatter) {
  testing::LogLevelGuard quiet(spdlog::level::err);
  std::unique_ptr<FPRateAlgorithm> engine =
      engineFrom(configText(rockBeams(R"(, "excitationStepKeV": 0.1)"), R"(, "model": "ebel")",
                            R"("photoabsorption": "subshellSum",)"));
  // 0.1 keV steps up to the voltage (the grid's float count may drop the last), then the lines.
  EXPECT_NEAR(engine->shermans[0].excitationSpectrum()->energyAt(199), 20.0, 1e-9);
  measure(*engine, kRock, 1.0);
  EXPECT_GT(passes(*engine, 1), 0);
  expectRecovered(*engine, kRock);
}

TEST(AccuracyOptionsTest, RobustSolverReachesTheSameCompositionForRatesOfAnyScale) {
  testing::LogLevelGuard quiet(spdlog::level::err);
  std::unique_ptr<FPRateAlgorithm> engine = engineFrom(configText(rockBeams("")));
  // The passes' own fixed point at scale 1.
  measure(*engine, kRock, 1.0);
  ASSERT_GT(passes(*engine, 1), 0);
  engine->normalizeAllChem();
  const std::vector<double> reference = engine->chemistry->fractions;
  for (double scale : {0.01, 1.0, 100.0}) {
    measure(*engine, kRock, scale);
    const FPRateAlgorithm::SolveResult result = engine->solve(1, 300, 1e-12);
    EXPECT_TRUE(result.converged) << scale;
    ::testing::Test::RecordProperty("passesAtScale" + std::to_string(scale), result.passes);
    double sum = 0.0;
    for (double f : engine->chemistry->fractions) sum += f;
    EXPECT_NEAR(sum, 1.0, 1e-12);
    for (std::size_t i = 0; i < reference.size(); ++i)
      EXPECT_NEAR(engine->chemistry->fractions[i], reference[i], 1e-9)
          << printableSymbol(engine->chemistry->elements[i]) << " at scale " << scale;
  }
}

TEST(AccuracyOptionsTest, ReadersRefuseOptionsTheyCannotUse) {
  const std::string beam = R"({"tubeKeV": 40, "allLines": ["Fe"] %X%})";
  auto with = [&beam](const std::string& extra) {
    std::string b = beam;
    b.replace(b.find("%X%"), 3, extra);
    return b;
  };
  const std::vector<std::string> refused = {
      configText(with(R"(, "excitationStepKeV": 0)")),
      configText(with(R"(, "excitationStepKeV": 0.001)")),
      configText(with(R"(, "excitationStepKeV": "fine")")),
      configText(with(R"(, "excitation": {"monochromaticKeV": 0})")),
      configText(with(R"(, "excitation": {"energies": [10, 9], "intensities": [1, 1]})")),
      configText(with(R"(, "excitation": {"energies": [10, 12], "intensities": [1]})")),
      configText(with(R"(, "excitation": {"energies": [10], "intensities": [-1]})")),
      configText(with(R"(, "excitation": {"energies": [10], "intensities": [0]})")),
      configText(with(R"(, "excitation": [16])")),
      configText(with(""), R"(, "model": "kramers")"),
      configText(with(""), R"(, "model": "ebel", "electronIncidence": 0)"),
      configText(with(""), "", R"("photoabsorption": "partial",)"),
  };
  for (const std::string& text : refused) {
    FPRateAlgorithm::Builder builder;
    EXPECT_NE(builder.readConfig(parseJson(text)), 0) << text;
  }
}

}  // namespace
}  // namespace calyx
