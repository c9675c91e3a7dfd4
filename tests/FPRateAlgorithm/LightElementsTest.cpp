// The light-element balance: the balance to 1, the scatter corrections (residual and
// ratio) against the scatter prediction written out on xraylib (1e-12 relative), the damped
// correction with its clamp, and the guards against divisions by zero.
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "calyx/FPRateAlgorithm.h"
#include "support/HandheldEngine.h"
#include "support/LogCapture.h"

namespace calyx {
namespace {

using Beam = FPRateAlgorithm::Builder::Beam;
using testing::LogCapture;
using testing::scatterPrediction;

constexpr double kRel = 1e-12;

using testing::line;

// Beam 0 at 40 kV (Si, Fe; light elements `first`), beam 1 at 15 kV (Si; light elements
// `last`). A 15 kV beam 0 instead when `lowBeamZero`.
std::unique_ptr<FPRateAlgorithm> oxideEngine(const std::set<Element>& first, const std::set<Element>& last,
                                             bool lowBeamZero = false) {
  FPRateAlgorithm::Builder builder = testing::handheldBuilder();
  Beam main(lowBeamZero ? 15.0f : 40.0f);
  main.addLine(line("Si", 0)).addLine(line("Fe", 0)).setLEEnergyKeV(20.0);
  for (const Element& e : first) main.addLEelement(e);
  Beam light(15.0f);
  light.addLine(line("Si", 0)).setLEEnergyKeV(20.0);
  for (const Element& e : last) light.addLEelement(e);
  builder.addBeam(main).addBeam(light);
  return testing::buildEngine(builder);
}

using testing::fractionOf;
using testing::setComposition;

const std::set<Element> kOxygen = {Element("O")};
const std::set<Element> kCarbonOxygen = {Element("C"), Element("O")};
const std::vector<std::pair<const char*, double>> kRock = {{"C", 0.05}, {"O", 0.45}, {"Si", 0.30}, {"Fe", 0.20}};

TEST(LightElementsTest, BalanceSharesTheRestToOneAmongTheLightElementsOfBeamZero) {
  std::unique_ptr<FPRateAlgorithm> engine = oxideEngine(kCarbonOxygen, {});
  setComposition(*engine, {{"C", 0.3}, {"Si", 0.7}, {"Fe", 0.5}});
  engine->setLEAsBalance();  // the others add to 1.2: nothing changes
  EXPECT_EQ(fractionOf(*engine, "C"), 0.3);
  EXPECT_EQ(fractionOf(*engine, "O"), 0.0);

  setComposition(*engine, {{"C", 0.3}, {"Si", 0.6}, {"Fe", 0.2}});
  engine->chemistry->set(Element("C"), 0.3, 0.02);
  engine->setLEAsBalance();  // others add to 0.8
  EXPECT_NEAR(fractionOf(*engine, "C"), 0.1, kRel);
  EXPECT_NEAR(fractionOf(*engine, "O"), 0.1, kRel);
  EXPECT_EQ(engine->chemistry->uncertainties[0], 0.0);
}

TEST(LightElementsTest, ResidualStepLeavesTheCompositionWhenScatterMatchesThePrediction) {
  std::unique_ptr<FPRateAlgorithm> engine = oxideEngine(kOxygen, kOxygen);
  setComposition(*engine, kRock);
  engine->setLECalibrationFactor(0, 1.3);
  engine->setLECalibrationOffset(0, 25.0);
  engine->setLERate(0, scatterPrediction(*engine));
  LogCapture log;
  engine->adjustLEChemByResidual(0);
  EXPECT_NEAR(fractionOf(*engine, "O"), 0.45, 0.45 * kRel);
  EXPECT_EQ(fractionOf(*engine, "Si"), 0.30);
  EXPECT_TRUE(log.contains("LE p:", spdlog::level::info));
  EXPECT_TRUE(log.contains("******* compound After LE ******", spdlog::level::info));
}

TEST(LightElementsTest, ResidualStepScalesTheLightElementsByMeasuredOverPredictedScatter) {
  std::unique_ptr<FPRateAlgorithm> engine = oxideEngine(kOxygen, kOxygen);
  setComposition(*engine, kRock);
  engine->setLERate(0, 1.2 * scatterPrediction(*engine));
  engine->adjustLEChemByResidual(0);
  // One light element: f + f (M - P) / P.
  EXPECT_NEAR(fractionOf(*engine, "O"), 0.45 * 1.2, 0.54 * kRel);
  EXPECT_EQ(fractionOf(*engine, "Si"), 0.30);
}

TEST(LightElementsTest, ResidualStepMovesTheLightElementsOfTheLastBeamFromBeamZerosSum) {
  // Beam 0 has O, beam 1 has C and O: the sum S is O's, the change is shared by C and O,
  // each in proportion to its own fraction and halved.
  std::unique_ptr<FPRateAlgorithm> engine = oxideEngine(kOxygen, kCarbonOxygen);
  setComposition(*engine, kRock);
  const double p = scatterPrediction(*engine);
  engine->setLERate(0, 1.2 * p);
  engine->setLERate(1, 1e9);  // never read
  engine->adjustLEChemByResidual(1);
  const double delta = (1.2 * p - p) * (0.45 / p);
  EXPECT_NEAR(fractionOf(*engine, "O"), 0.45 + 0.5 * (0.45 * (delta / 0.45)), kRel);
  EXPECT_NEAR(fractionOf(*engine, "C"), 0.05 + 0.5 * (0.05 * (delta / 0.45)), kRel);

  // Beyond the last beam (or -1) reads as the last beam.
  setComposition(*engine, kRock);
  engine->adjustLEChemByResidual(-1);
  EXPECT_NEAR(fractionOf(*engine, "C"), 0.05 + 0.5 * (0.05 * (delta / 0.45)), kRel);
}

TEST(LightElementsTest, ResidualStepUsesAFixedGainWhileTheLightElementsAreAbsent) {
  std::unique_ptr<FPRateAlgorithm> engine = oxideEngine(kOxygen, kOxygen);
  setComposition(*engine, {{"O", 5e-9}, {"Si", 0.6}, {"Fe", 0.4}});
  const double p = scatterPrediction(*engine);
  engine->setLERate(0, p + 10.0);
  engine->adjustLEChemByResidual(0);
  // S / P would give 5e-9 (1 + 10 / P); the fixed gain gives S + 10 x 0.000431818...
  EXPECT_NEAR(fractionOf(*engine, "O"), 5e-9 + 10.0 * 0.0004318181818181818, 1e-12);
}

TEST(LightElementsTest, FixedGainAlsoStartsSeveralLightElementsFromTheNormalisationFloor) {
  // Two light elements raised to the 1e-8 floor by normalisation add to about 2e-8: still
  // "absent", so they get the fixed gain (each half of the change) rather than S / P,
  // which would leave them at the floor for hundreds of passes.
  std::unique_ptr<FPRateAlgorithm> engine = oxideEngine(kCarbonOxygen, kCarbonOxygen);
  setComposition(*engine, {{"Si", 0.6}, {"Fe", 0.4}});
  engine->normalizeAllChem();
  const double c0 = fractionOf(*engine, "C"), o0 = fractionOf(*engine, "O");
  ASSERT_NEAR(c0, 1e-8, 1e-15);
  const double p = scatterPrediction(*engine);
  engine->setLERate(0, p + 10.0);
  engine->adjustLEChemByResidual(0);
  const double delta = 10.0 * 0.0004318181818181818;
  EXPECT_NEAR(fractionOf(*engine, "C"), c0 + 0.5 * c0 * (delta / (c0 + o0)), 1e-12);
  EXPECT_NEAR(fractionOf(*engine, "O"), o0 + 0.5 * o0 * (delta / (c0 + o0)), 1e-12);
  EXPECT_GT(fractionOf(*engine, "O"), 1e-3);
}

TEST(LightElementsTest, ResidualStepIsSkippedWithAWarningWhereItWouldDivideByZero) {
  struct Row {
    const char* name;
    std::set<Element> first, last;
    std::vector<std::pair<const char*, double>> composition;
    double factor;
    double measured;
    const char* warning;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Row> rows = {
      {"light elements of beam 0 at 0", kOxygen, kOxygen, {{"Si", 0.6}, {"Fe", 0.4}}, 1.0, 100.0, "beam 0's sum 0"},
      {"beam 0 without light elements", {}, kOxygen, kRock, 1.0, 100.0, "beam 0's sum 0"},
      {"last beam without light elements", kOxygen, {}, kRock, 1.0, 100.0, "beam 1 has 0 light elements"},
      {"prediction 0", kOxygen, kOxygen, kRock, 0.0, 100.0, "scatter predicted 0"},
      {"prediction not a number", kOxygen, kOxygen, kRock, nan, 100.0, "scatter predicted nan"},
      {"measured rate not a number", kOxygen, kOxygen, kRock, 1.0, nan, "measured nan"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::unique_ptr<FPRateAlgorithm> engine = oxideEngine(row.first, row.last);
    setComposition(*engine, row.composition);
    const std::vector<double> before = engine->chemistry->fractions;
    engine->setLECalibrationFactor(0, row.factor);
    engine->setLERate(0, row.measured);
    LogCapture log;
    engine->adjustLEChemByResidual(1);
    EXPECT_TRUE(log.contains(row.warning, spdlog::level::warn));
    EXPECT_EQ(engine->chemistry->fractions, before);
  }
}

TEST(LightElementsTest, ABeamZeroBelowTwentyKeVHasNoScatterModel) {
  // With light elements it is refused: below 20 kV the excitation's point 19 is a tube line
  // (an Rh L line at 18 to 20 kV), which the scatter model once took for the 20 keV point.
  FPRateAlgorithm::Builder builder = testing::handheldBuilder();
  Beam low(19.0f);
  low.addLine(line("Fe", 0)).addLEelement(Element("O")).setLEEnergyKeV(20.0);
  builder.addBeam(low);
  std::unique_ptr<FPRateAlgorithm> refused;
  LogCapture refusal;
  EXPECT_EQ(builder.create(refused), 1);
  EXPECT_TRUE(refusal.contains("beam 0 at 19 kV cannot model the light elements' scatter", spdlog::level::err));

  // Without them the engine builds, and neither scatter step nor the Compton rate reads a line.
  std::unique_ptr<FPRateAlgorithm> engine = oxideEngine({}, {}, true);
  ASSERT_GT(engine->shermans[0].excitationSpectrum()->size(), 0u);
  EXPECT_FALSE(engine->hasScatterModel());
  EXPECT_TRUE(std::isnan(engine->scatterModelRate(engine->getCompound())));
  setComposition(*engine, {{"Si", 0.6}, {"Fe", 0.4}});
  LogCapture log;
  engine->adjustLEChemByRatio();
  EXPECT_TRUE(log.contains("light elements not corrected: beam 0's continuum stops below 20 keV", spdlog::level::warn));

  // The Compton rate is the continuum at 21 keV, which a 15 kV beam lacks.
  EXPECT_EQ(engine->getComptonRateForBeam(1), 0.0);
  EXPECT_TRUE(log.contains("beam 1's continuum stops below 21 keV", spdlog::level::warn));
  std::unique_ptr<FPRateAlgorithm> high = oxideEngine(kOxygen, kOxygen);
  EXPECT_EQ(high->getComptonRateForBeam(0), high->shermans[0].excitationSpectrum()->valueAt(20));
  EXPECT_TRUE(high->hasScatterModel());

  // A 20.5 kV beam: 21 keV lies beyond its continuum, though its point 20 exists (Rh KA at
  // 20.2 keV follows the continuum).
  FPRateAlgorithm::Builder near = testing::handheldBuilder();
  Beam beam(20.5f);
  beam.addLine(line("Fe", 0));
  near.addBeam(beam);
  std::unique_ptr<FPRateAlgorithm> nearEngine = testing::buildEngine(near);
  ASSERT_GT(nearEngine->shermans[0].excitationSpectrum()->size(), 20u);
  EXPECT_EQ(nearEngine->getComptonRateForBeam(0), 0.0);
}

TEST(LightElementsTest, TheScatterPredictionIsTheResidualStepsAndTheCalibrationsOne) {
  std::unique_ptr<FPRateAlgorithm> engine = oxideEngine(kOxygen, kOxygen);
  setComposition(*engine, kRock);
  engine->setLECalibrationFactor(0, 1.3);
  engine->setLECalibrationOffset(0, 250.0);
  const double predicted = engine->predictedScatterRate(engine->getCompound());
  EXPECT_NEAR(predicted, scatterPrediction(*engine), kRel * predicted);
  EXPECT_EQ(predicted, engine->scatterModelRate(engine->getCompound()) * 1.3 + 250.0);

  // A pass whose light-element step cannot work says so.
  engine->setLERate(0, std::nan(""));
  engine->process(1);
  EXPECT_TRUE(engine->lastPass().lightElementsSkipped);
}

// The ratio step's prediction: the excitation at point 19 and the Compton share at that
// point's scattered energy, times beam 0's factor (no efficiency, no offset).
double ratioPrediction(const FPRateAlgorithm& engine) {
  const Sherman& model = engine.shermans[0];
  const double angle = model.takeOffAngle().radians() + model.incidenceAngle().radians();
  const double energy = testing::comptonEnergy(angle, model.excitationSpectrum()->energyAt(19));
  return model.excitationSpectrum()->valueAt(19) * testing::comptonShare(engine, energy) *
         engine.leCalibrationFactors[0];
}

TEST(LightElementsTest, RatioStepMovesTheLightElementsTotalByAtMostFivePercent) {
  struct Row {
    double measuredOverPredicted;
    double total;  // expected light-element sum
  };
  const double s = 0.5;
  const Row rows[] = {{1.0, s}, {1.5, s + 0.05 * std::tanh(0.5)}, {1e6, s + 0.05}, {0.0, s - 0.05 * std::tanh(1.0)}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.measuredOverPredicted);
    std::unique_ptr<FPRateAlgorithm> engine = oxideEngine(kCarbonOxygen, {});
    setComposition(*engine, kRock);
    engine->setLECalibrationFactor(0, 0.8);
    engine->setLECalibrationOffset(0, 1e6);  // not part of this prediction
    engine->setLERate(0, row.measuredOverPredicted * ratioPrediction(*engine));
    engine->adjustLEChemByRatio();
    // Unequal light elements come out equal.
    EXPECT_NEAR(fractionOf(*engine, "C"), row.total / 2, kRel);
    EXPECT_NEAR(fractionOf(*engine, "O"), row.total / 2, kRel);
    EXPECT_EQ(fractionOf(*engine, "Si"), 0.30);
  }
}

TEST(LightElementsTest, RatioStepFloorsTheTotalAndSkipsAZeroPrediction) {
  std::unique_ptr<FPRateAlgorithm> engine = oxideEngine(kOxygen, {});
  setComposition(*engine, {{"O", 0.01}, {"Si", 0.6}, {"Fe", 0.39}});
  engine->setLERate(0, 0.0);
  engine->adjustLEChemByRatio();
  EXPECT_EQ(fractionOf(*engine, "O"), 1e-10);

  engine->setLECalibrationFactor(0, 0.0);
  LogCapture log;
  engine->adjustLEChemByRatio();
  EXPECT_TRUE(log.contains("scatter predicted 0", spdlog::level::warn));
  EXPECT_EQ(fractionOf(*engine, "O"), 1e-10);
}

TEST(LightElementsTest, DampedCorrectionIsHeldBetweenTheFloorAndOne) {
  struct Row {
    const char* name;
    double measured, predicted, base;
    double factor;  // expected multiplier of the light elements
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Row rows[] = {
      {"measured as predicted, base 1", 200.0, 200.0, 1.0, 1.0},
      {"base 2 is held at 1", 200.0, 200.0, 2.0, 1.0},
      {"base 0.5", 300.0, 200.0, 0.5, 0.5 + 0.05 * std::tanh(0.5)},
      {"negative base is held at the floor", 200.0, 200.0, -1.0, 1e-10},
      {"prediction not a number changes nothing", 200.0, nan, 0.5, 1.0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::unique_ptr<FPRateAlgorithm> engine = oxideEngine(kOxygen, kCarbonOxygen);
    setComposition(*engine, kRock);
    engine->setLERate(1, row.measured);
    engine->adjustLEChem(1, row.predicted, row.base);
    EXPECT_NEAR(fractionOf(*engine, "C"), 0.05 * row.factor, 0.05 * kRel);
    EXPECT_NEAR(fractionOf(*engine, "O"), 0.45 * row.factor, 0.45 * kRel);
    EXPECT_EQ(fractionOf(*engine, "Si"), 0.30);
  }
}

TEST(LightElementsTest, DampedCorrectionWithoutAMeasuredRateWarnsAndChangesNothing) {
  std::unique_ptr<FPRateAlgorithm> engine = oxideEngine(kOxygen, kOxygen);
  setComposition(*engine, kRock);
  engine->setLERate(0, 500.0);
  LogCapture log;
  engine->adjustLEChem(1, 200.0, 0.5);
  EXPECT_EQ(log.count("no LE Measured rate set for beam 1"), 1);
  EXPECT_EQ(fractionOf(*engine, "O"), 0.45);
}

}  // namespace
}  // namespace calyx
