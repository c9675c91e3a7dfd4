// The iteration steps: rate entry, first guess, normalisation, the residual and ratio
// corrections (with their beam limit, their sharing among an element's lines and their
// guards against divisions by 0), and the per-beam normalisation. Predictions are checked
// against R c ε(E) written out on xraylib (1e-12 relative); fractions to 1e-12 relative.
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
using testing::linePrediction;

constexpr double kRel = 1e-12;

using testing::line;

// 40 kV beam 0 with Fe, Cr and Ni K lines; 15 kV beam 1 with Fe and Ca KA.
std::unique_ptr<FPRateAlgorithm> twoBeamEngine() {
  FPRateAlgorithm::Builder builder = testing::handheldBuilder();
  Beam main(40.0f);
  main.addLine(line("Cr", 0)).addLine(line("Fe", 0)).addLine(line("Fe", 1)).addLine(line("Ni", 0));
  Beam light(15.0f);
  light.addLine(line("Ca", 0)).addLine(line("Fe", 0));
  builder.addBeam(main).addBeam(light);
  return testing::buildEngine(builder);
}

using testing::fractionOf;

// Sets a composition and lets every model compute its rates for it.
void setComposition(FPRateAlgorithm& engine, const testing::Parts& parts) {
  testing::setComposition(engine, parts);
  for (Sherman& model : engine.shermans) model.computeRates();
}

FPRateAlgorithm::AnalysisLine& lineOf(FPRateAlgorithm& engine, unsigned int beam, const XRFLine& l) {
  FPRateAlgorithm::AnalysisLine* found = engine.findLine(beam, l);
  EXPECT_NE(found, nullptr);
  return *found;
}

const std::vector<std::pair<const char*, double>> kSteel = {{"Cr", 0.18}, {"Fe", 0.70}, {"Ni", 0.10}, {"Ca", 0.02}};

TEST(IterationTest, RateMapperMatchesTheLinesOfItsBeamAndEntersRatesAsArrays) {
  std::unique_ptr<FPRateAlgorithm> engine = twoBeamEngine();
  engine->setAllLinesNotInUse();
  // Ni KA is not on beam 1: its position maps to -1 and its array entries are never read.
  FPRateAlgorithm::RateMapper mapper(*engine, 1, {line("Ni", 0), line("Fe", 0)});
  const int feOnBeam1 = static_cast<int>(engine->findLine(1, line("Fe", 0)) - engine->analysisLines.data());
  EXPECT_EQ(mapper.indices(), (std::vector<int>{-1, feOnBeam1}));
  for (const FPRateAlgorithm::AnalysisLine& l : engine->analysisLines)
    EXPECT_EQ(l.inUse, &l == &engine->analysisLines[feOnBeam1]);

  float rates[] = {std::numeric_limits<float>::quiet_NaN(), 0.1f};
  mapper.setRates(7.5f, rates, static_cast<float*>(nullptr));
  EXPECT_EQ(engine->leRates, (std::vector<double>{0.0, 7.5}));
  EXPECT_EQ(engine->analysisLines[feOnBeam1].measuredRate, static_cast<double>(0.1f));
  EXPECT_EQ(engine->analysisLines[feOnBeam1].measuredUncertainty, 0.0);

  double doubleRates[] = {std::numeric_limits<double>::quiet_NaN(), 1234.5};
  double uncertainties[] = {std::numeric_limits<double>::quiet_NaN(), 12.5};
  mapper.setRates(3.25, doubleRates, uncertainties);
  EXPECT_EQ(engine->leRates[1], 3.25);
  EXPECT_EQ(engine->analysisLines[feOnBeam1].measuredRate, 1234.5);
  EXPECT_EQ(engine->analysisLines[feOnBeam1].measuredUncertainty, 12.5);
  for (const FPRateAlgorithm::AnalysisLine& l : engine->analysisLines)
    if (&l != &engine->analysisLines[feOnBeam1]) {
      EXPECT_EQ(l.measuredRate, 0.0);
    }
}

TEST(IterationTest, FindLineLooksOnlyInTheGivenBeam) {
  std::unique_ptr<FPRateAlgorithm> engine = twoBeamEngine();
  EXPECT_EQ(engine->findLine(0, line("Ca", 0)), nullptr);
  ASSERT_NE(engine->findLine(1, line("Ca", 0)), nullptr);
  EXPECT_EQ(engine->findLine(1, line("Ca", 0))->beam, 1u);
  EXPECT_EQ(engine->findLine(0, line("Fe", 0))->beam, 0u);
  EXPECT_EQ(engine->findLine(0, line("Cu", 0)), nullptr);
}

TEST(IterationTest, InitialGuessGivesTheBalanceToTheLightElementsOfBeamZero) {
  FPRateAlgorithm::Builder builder = testing::handheldBuilder();
  Beam beam(40.0f);
  beam.addLine(line("Fe", 0)).addLine(line("Cu", 0)).addElement(Element("Zn"));
  beam.addLEelement(Element("C")).addLEelement(Element("O")).setLEEnergyKeV(20.0);
  builder.addBeam(beam);
  std::unique_ptr<FPRateAlgorithm> engine = testing::buildEngine(builder);

  lineOf(*engine, 0, line("Fe", 0)).measuredRate = 600.0;
  lineOf(*engine, 0, line("Fe", 0)).initialGuessFactor = 2000.0;  // 0.3
  lineOf(*engine, 0, line("Cu", 0)).measuredRate = 50.0;
  lineOf(*engine, 0, line("Cu", 0)).initialGuessFactor = 250.0;  // 0.2
  LogCapture log;
  engine->doInitialGuess(0);

  // Zn and the two light elements start at the floor 1e-10 and count in the sum.
  const double sum = 600.0 / 2000.0 + 50.0 / 250.0 + 3e-10;
  EXPECT_DOUBLE_EQ(fractionOf(*engine, "Fe"), 0.3);
  EXPECT_DOUBLE_EQ(fractionOf(*engine, "Cu"), 0.2);
  EXPECT_EQ(fractionOf(*engine, "Zn"), 1e-10);
  EXPECT_NEAR(fractionOf(*engine, "C"), (1.0 - sum) / 2.0, 1e-15);
  EXPECT_NEAR(fractionOf(*engine, "O"), (1.0 - sum) / 2.0, 1e-15);
  EXPECT_LT(fractionOf(*engine, "O"), 0.25);
  EXPECT_TRUE(log.contains("init chem: Fe 0.300000", spdlog::level::info));
  EXPECT_TRUE(log.contains("init chem: O 0.250000", spdlog::level::info));
}

TEST(IterationTest, InitialGuessAboveOneIsScaledDownAndLeavesTheLightElementsNothing) {
  FPRateAlgorithm::Builder builder = testing::handheldBuilder();
  Beam beam(40.0f);
  beam.addLine(line("Fe", 0)).addLine(line("Cu", 0)).addLEelement(Element("O")).setLEEnergyKeV(20.0);
  builder.addBeam(beam);
  std::unique_ptr<FPRateAlgorithm> engine = testing::buildEngine(builder);
  lineOf(*engine, 0, line("Fe", 0)).measuredRate = 3000.0;
  lineOf(*engine, 0, line("Cu", 0)).measuredRate = 1000.0;
  engine->doInitialGuess(0);
  const double sum = 4000.0 + 1e-10;
  EXPECT_DOUBLE_EQ(fractionOf(*engine, "Fe"), 3000.0 / sum);
  EXPECT_DOUBLE_EQ(fractionOf(*engine, "Cu"), 1000.0 / sum);
  EXPECT_EQ(fractionOf(*engine, "O"), 0.0);
}

TEST(IterationTest, InitialGuessIgnoresLinesLeftOutOfTheMeasurementAndUnusableRates) {
  std::unique_ptr<FPRateAlgorithm> engine = twoBeamEngine();
  // An earlier sample left rates on every line; this one measures Cr and Ni only.
  for (FPRateAlgorithm::AnalysisLine& l : engine->analysisLines) l.measuredRate = 0.4;
  engine->setAllLinesNotInUse();
  FPRateAlgorithm::RateMapper mapper(*engine, 0, {line("Cr", 0), line("Ni", 0)});
  double rates[] = {0.25, std::numeric_limits<double>::infinity()};
  mapper.setRates(0.0, rates, static_cast<double*>(nullptr));
  engine->doInitialGuess(0);
  EXPECT_EQ(fractionOf(*engine, "Cr"), 0.25);
  EXPECT_EQ(fractionOf(*engine, "Ni"), 1e-10);
  EXPECT_EQ(fractionOf(*engine, "Fe"), 1e-10);
  EXPECT_EQ(fractionOf(*engine, "Ca"), 1e-10);
}

// A measurement's result does not depend on the one before: an element that had a line in
// use earlier (and so an uncertainty) but none now must not carry that uncertainty over.
TEST(IterationTest, TwoMeasurementsInSequenceEndAsTheSecondAlone) {
  auto measure = [](FPRateAlgorithm& engine, const std::vector<XRFLine>& lines, std::vector<double> rates,
                    std::vector<double> uncertainties) {
    engine.setAllLinesNotInUse();
    FPRateAlgorithm::RateMapper mapper(engine, 0, lines);
    mapper.setRates(0.0, rates.data(), uncertainties.data());
    engine.doInitialGuess(0);
    for (int pass = 0; pass < 5; ++pass) engine.process(1);
    return engine.getCompound();
  };
  const std::vector<XRFLine> both = {line("Cr", 0), line("Fe", 0)}, feOnly = {line("Fe", 0)};
  std::unique_ptr<FPRateAlgorithm> sequence = twoBeamEngine();
  measure(*sequence, both, {0.2, 0.6}, {0.01, 0.02});
  const Compound second = measure(*sequence, feOnly, {0.5}, {0.03});
  std::unique_ptr<FPRateAlgorithm> alone = twoBeamEngine();
  const Compound expected = measure(*alone, feOnly, {0.5}, {0.03});
  ASSERT_EQ(second.size(), expected.size());
  for (const ElementChemistry& e : expected) {
    const ElementChemistry* s = second.find(e.element);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->fraction, e.fraction) << printableSymbol(e.element);
    EXPECT_EQ(s->uncertainty, e.uncertainty) << printableSymbol(e.element);
  }
}

TEST(IterationTest, NormalizationRaisesTinyFractionsAndScalesUncertaintiesAlike) {
  FPRateAlgorithm::Builder builder = testing::handheldBuilder();
  Beam beam(40.0f);
  beam.addLine(line("Cr", 0)).addLine(line("Fe", 0)).addLine(line("Ni", 0));
  builder.addBeam(beam);
  std::unique_ptr<FPRateAlgorithm> engine = testing::buildEngine(builder);
  engine->chemistry->fractions = {0.0, 0.5, 0.5};
  engine->chemistry->uncertainties = {0.0, 0.01, 0.02};
  engine->normalizeAllChem();
  const double sum = 1.0 + 1e-8;
  EXPECT_NEAR(engine->chemistry->fractions[0], 1e-8 / sum, 1e-8 * kRel);
  EXPECT_NEAR(engine->chemistry->fractions[1], 0.5 / sum, kRel);
  EXPECT_NEAR(engine->chemistry->uncertainties[2], 0.02 / sum, kRel);
}

TEST(IterationTest, ResidualStepScalesTheFractionByMeasuredOverPredicted) {
  std::unique_ptr<FPRateAlgorithm> engine = twoBeamEngine();
  setComposition(*engine, kSteel);
  engine->setAllLinesNotInUse();
  FPRateAlgorithm::AnalysisLine& cr = lineOf(*engine, 0, line("Cr", 0));
  cr.inUse = true;
  cr.calibrationFactor = 0.7;
  const double p = linePrediction(*engine, cr);
  cr.measuredRate = 2.0 * p;
  cr.measuredUncertainty = 0.05 * p;

  engine->adjustChemByResidual(0);
  EXPECT_NEAR(fractionOf(*engine, "Cr"), 0.36, 0.36 * kRel);
  EXPECT_NEAR(*cr.uncertainty, 0.36 * 0.025, 0.36 * kRel);
  EXPECT_EQ(fractionOf(*engine, "Fe"), 0.70);
  EXPECT_EQ(fractionOf(*engine, "Ni"), 0.10);
}

TEST(IterationTest, ADetectorChangedBetweenPassesIsUsedInTheNextPrediction) {
  std::unique_ptr<FPRateAlgorithm> engine = twoBeamEngine();
  engine->setAllLinesNotInUse();
  FPRateAlgorithm::AnalysisLine& cr = lineOf(*engine, 0, line("Cr", 0));
  cr.inUse = true;
  // Each step sees measured = 2 x the prediction of the detector in place at that step.
  for (double crystalMicrometres : {500.0, 500.0, 40.0}) {
    for (double windowMicrometres : {12.5, 60.0}) {
      engine->detector.thickness = crystalMicrometres;
      engine->detector.windowThickness = windowMicrometres;
      setComposition(*engine, kSteel);
      cr.measuredRate = 2.0 * linePrediction(*engine, cr);
      engine->adjustChemByResidual(0);
      EXPECT_NEAR(fractionOf(*engine, "Cr"), 0.36, 0.36 * kRel) << crystalMicrometres << " " << windowMicrometres;
      setComposition(*engine, kSteel);
      engine->adjustChemByRatio();
      EXPECT_NEAR(fractionOf(*engine, "Cr"), 0.36, 0.36 * kRel) << crystalMicrometres << " " << windowMicrometres;
    }
  }
}

TEST(IterationTest, NegativeRatesAreSkippedByTheResidualStepButNotByTheRatioStep) {
  std::unique_ptr<FPRateAlgorithm> engine = twoBeamEngine();
  setComposition(*engine, kSteel);
  engine->setAllLinesNotInUse();
  FPRateAlgorithm::AnalysisLine& ni = lineOf(*engine, 0, line("Ni", 0));
  ni.inUse = true;
  ni.measuredRate = -5.0;
  engine->adjustChemByResidual(1);
  EXPECT_EQ(fractionOf(*engine, "Ni"), 0.10);
  engine->adjustChemByRatio();
  EXPECT_EQ(fractionOf(*engine, "Ni"), 1e-10);
}

TEST(IterationTest, RatioStepScalesTheFractionOfEveryBeam) {
  std::unique_ptr<FPRateAlgorithm> engine = twoBeamEngine();
  setComposition(*engine, kSteel);
  engine->setAllLinesNotInUse();
  FPRateAlgorithm::AnalysisLine& ca = lineOf(*engine, 1, line("Ca", 0));
  ca.inUse = true;
  ca.measuredRate = 0.5 * linePrediction(*engine, ca);
  ca.measuredUncertainty = ca.measuredRate / 10;
  engine->adjustChemByRatio();
  EXPECT_NEAR(fractionOf(*engine, "Ca"), 0.01, 0.01 * kRel);
  EXPECT_NEAR(*ca.uncertainty, 0.001, 0.001 * kRel);
}

TEST(IterationTest, ProcessCorrectsOnlyBeamsUpToLastBeamWhileEveryModelComputes) {
  for (int lastBeam : {0, 1, -1}) {
    SCOPED_TRACE(lastBeam);
    std::unique_ptr<FPRateAlgorithm> engine = twoBeamEngine();
    setComposition(*engine, kSteel);
    engine->setAllLinesNotInUse();
    FPRateAlgorithm::AnalysisLine& cr = lineOf(*engine, 0, line("Cr", 0));
    FPRateAlgorithm::AnalysisLine& ca = lineOf(*engine, 1, line("Ca", 0));
    cr.inUse = ca.inUse = true;
    cr.measuredRate = 1.5 * linePrediction(*engine, cr);
    ca.measuredRate = 3.0 * linePrediction(*engine, ca);
    engine->shermans[1].lines[0].rate = 0.0;  // recomputed by process whatever lastBeam is

    engine->process(lastBeam);
    EXPECT_GT(*ca.theoreticalRate, 0.0);
    EXPECT_NEAR(fractionOf(*engine, "Cr"), 0.27, 0.27 * kRel);
    EXPECT_NEAR(fractionOf(*engine, "Ca"), lastBeam == 0 ? 0.02 : 0.06, 0.06 * kRel);
    EXPECT_NEAR(fractionOf(*engine, "Fe"), 0.70, kRel);
  }
}

TEST(IterationTest, ThePassReportCountsTheLinesCorrectedAndSkipped) {
  struct Row {
    const char* name;
    double niRate;      // x prediction
    double factor;      // every line's calibration factor
    double otherRates;  // the other in-use lines, x prediction
    int lastBeam;
    unsigned int corrected, skipped;
    bool finite;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Row rows[] = {
      {"every line corrected", 1.2, 1.0, 1.1, 1, 4, 0, true},
      {"a zero rate sits out", 0.0, 1.0, 1.1, 1, 3, 1, true},
      {"a negative rate sits out", -1.0, 1.0, 1.1, 1, 3, 1, true},
      {"beam 1 not counted with lastBeam 0", 1.2, 1.0, 1.1, 0, 2, 0, true},
      {"no prediction anywhere", 1.2, 0.0, 1.1, 1, 0, 4, true},
      {"a prediction so small the fraction runs away", 1.2, 1e-320, 1.1, 1, 4, 0, false},
      {"an infinite rate", inf, 1.0, 1.1, 1, 3, 1, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::unique_ptr<FPRateAlgorithm> engine = twoBeamEngine();
    setComposition(*engine, kSteel);
    engine->setAllLinesNotInUse();
    // In use: Cr, Ni on beam 0; Ca, Fe on beam 1.
    for (FPRateAlgorithm::AnalysisLine& l : engine->analysisLines) {
      l.inUse = l.line.line() == 0 && !(l.beam == 0 && l.line.element() == Element("Fe"));
      const bool ni = l.line.element() == Element("Ni");
      l.measuredRate = (ni ? row.niRate : row.otherRates) * linePrediction(*engine, l);
      l.calibrationFactor = row.factor;
    }
    engine->process(row.lastBeam);
    const FPRateAlgorithm::PassReport& pass = engine->lastPass();
    EXPECT_EQ(pass.corrected, row.corrected);
    EXPECT_EQ(pass.skipped, row.skipped);
    EXPECT_EQ(pass.finite, row.finite);
    EXPECT_FALSE(pass.lightElementsSkipped);  // no light elements here
  }
}

TEST(IterationTest, AnElementMeasuredOnSeveralLinesMovesAsFarAsOnOne) {
  // Ka and Kb of Fe on beam 0 and Fe Ka on beam 1, each measuring 1 % above the prediction:
  // applied in turn at full strength they would raise Fe by 1.01^3; shared, by about 1 %.
  const double ratio = 1.01;
  for (int lastBeam : {0, 1}) {
    SCOPED_TRACE(lastBeam);
    for (bool residual : {true, false}) {
      std::unique_ptr<FPRateAlgorithm> engine = twoBeamEngine();
      setComposition(*engine, kSteel);
      for (FPRateAlgorithm::AnalysisLine& l : engine->analysisLines) {
        l.inUse = l.line.element() == Element("Fe");
        l.measuredRate = ratio * linePrediction(*engine, l);
      }
      if (residual)
        engine->adjustChemByResidual(lastBeam);
      else
        engine->adjustChemByRatio();
      const double k = residual && lastBeam == 0 ? 2.0 : 3.0;
      EXPECT_NEAR(fractionOf(*engine, "Fe"), 0.70 * std::pow(1.0 + (ratio - 1.0) / k, k), 0.70 * kRel);
      EXPECT_NEAR(fractionOf(*engine, "Fe") / 0.70, ratio, 1e-4);
    }
  }
}

TEST(IterationTest, ALineWithoutAUsableRateOrPredictionSitsOutThePassWithAWarning) {
  struct Row {
    const char* name;
    double measured;        // x prediction
    double calibration;
  };
  const Row rows[] = {{"zero measured rate", 0.0, 1.0},
                      {"infinite measured rate", std::numeric_limits<double>::infinity(), 1.0},
                      {"zero prediction", 1.0, 0.0},
                      {"prediction not a number", 1.0, std::numeric_limits<double>::quiet_NaN()},
                      {"infinite prediction", 1.0, std::numeric_limits<double>::infinity()}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (bool residual : {true, false}) {
      std::unique_ptr<FPRateAlgorithm> engine = twoBeamEngine();
      setComposition(*engine, kSteel);
      engine->setAllLinesNotInUse();
      FPRateAlgorithm::AnalysisLine& ni = lineOf(*engine, 0, line("Ni", 0));
      FPRateAlgorithm::AnalysisLine& cr = lineOf(*engine, 0, line("Cr", 0));
      ni.inUse = cr.inUse = true;
      ni.measuredRate = row.measured * linePrediction(*engine, ni);
      ni.calibrationFactor = row.calibration;
      cr.measuredRate = 2.0 * linePrediction(*engine, cr);
      LogCapture log;
      if (residual)
        engine->adjustChemByResidual(0);
      else
        engine->adjustChemByRatio();
      EXPECT_TRUE(log.contains("beam 0 line [Ni:", spdlog::level::warn));
      EXPECT_EQ(log.count("not corrected in this pass"), 1);
      EXPECT_EQ(fractionOf(*engine, "Ni"), 0.10);
      EXPECT_EQ(*ni.uncertainty, 0.0);
      EXPECT_NEAR(fractionOf(*engine, "Cr"), 0.36, 0.36 * kRel);
      for (double f : engine->chemistry->fractions) EXPECT_TRUE(std::isfinite(f));
    }
  }
}

TEST(IterationTest, BeamNormalizationKeepsTheOtherElementsFixed) {
  FPRateAlgorithm::Builder builder = testing::handheldBuilder();
  Beam main(40.0f);
  main.addLine(line("Fe", 0)).addLine(line("Ni", 0));
  Beam light(15.0f);
  light.addLine(line("Si", 0)).addLEelement(Element("O")).setLEEnergyKeV(20.0);
  builder.addBeam(main).addBeam(light);
  std::unique_ptr<FPRateAlgorithm> engine = testing::buildEngine(builder);
  setComposition(*engine, {{"O", 0.3}, {"Si", 0.3}, {"Fe", 0.4}, {"Ni", 0.2}});

  engine->normalizeBeamChem(1);
  // O and Si share 1 - (0.4 + 0.2) in their proportion.
  EXPECT_NEAR(fractionOf(*engine, "O"), 0.2, kRel);
  EXPECT_NEAR(fractionOf(*engine, "Si"), 0.2, kRel);
  EXPECT_EQ(fractionOf(*engine, "Fe"), 0.4);
  EXPECT_EQ(fractionOf(*engine, "Ni"), 0.2);

  // With beam 1's elements at 0 no scaling helps: nothing changes, with a warning.
  setComposition(*engine, {{"Fe", 0.4}, {"Ni", 0.2}});
  LogCapture log;
  engine->normalizeBeamChem(1);
  EXPECT_TRUE(log.contains("beam 1 not normalised", spdlog::level::warn));
  EXPECT_EQ(fractionOf(*engine, "O"), 0.0);
  EXPECT_EQ(fractionOf(*engine, "Si"), 0.0);
}

}  // namespace
}  // namespace calyx
