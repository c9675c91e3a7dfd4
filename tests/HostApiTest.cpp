// Slips a host application makes with the C++ API (null pointers, non-finite numbers, too
// few standards, a resized chemistry, metadata the MCA format cannot carry): each ends in a
// status, a warning or a refusal, never in a crash, a sanitizer report or a wrong number with
// status 0. Also the boundary cases that mutation testing found unguarded.
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "calyx/CSVWriter.h"
#include "calyx/Calibration.h"
#include "calyx/FPRateAlgorithm.h"
#include "calyx/Filter.h"
#include "calyx/MCAFile.h"
#include "calyx/OptimizationProblem.h"
#include "calyx/Spectrum.h"
#include "support/HandheldEngine.h"
#include "support/Files.h"
#include "support/LogCapture.h"
#include "support/ScratchDir.h"

namespace calyx {
namespace {

using testing::LogCapture;
using testing::line;
using spdlog::level::err;
using spdlog::level::warn;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

using Scratch = testing::ScratchDir;
using testing::readFile;

// A 40 kV beam with Fe and Ni KA and oxygen estimated from scatter.
std::unique_ptr<FPRateAlgorithm> oxideEngine() {
  FPRateAlgorithm::Builder builder = testing::handheldBuilder();
  FPRateAlgorithm::Builder::Beam beam(40.0f);
  beam.addLine(line("Fe", 0)).addLine(line("Ni", 0)).addLEelement(Element("O")).setLEEnergyKeV(20.0);
  builder.addBeam(beam);
  return testing::buildEngine(builder);
}

using testing::compound;

FPRateAlgorithm::Standard standard(const char* name, const Compound& c, double feRate, double leRate) {
  FPRateAlgorithm::Standard s;
  s.setName(name);
  s.compound = c;
  s.rates[FPRateAlgorithm::LineKey(0, line("Fe", 0))] = feRate;
  s.leRate = leRate;
  return s;
}

// Two standards that scatter differently: a light-element fit is defined.
FPRateAlgorithm::Standard ore() { return standard("ore", compound({{"Fe", 0.3}, {"O", 0.7}}), 3000.0, 900.0); }
FPRateAlgorithm::Standard steel() { return standard("steel", compound({{"Fe", 0.9}, {"Ni", 0.1}}), 8000.0, 300.0); }

// Calibrates a fresh engine (light-element factor 1.3, offset 25 beforehand) on the standards.
std::unique_ptr<FPRateAlgorithm> calibrated(const std::vector<FPRateAlgorithm::Standard>& standards,
                                            const Scratch& scratch) {
  std::unique_ptr<FPRateAlgorithm> engine = oxideEngine();
  engine->setLECalibrationFactor(0, 1.3);
  engine->setLECalibrationOffset(0, 25.0);
  FPRateAlgorithm::Calibration cal(*engine);
  cal.setDebugFilePath(scratch.path("debug.csv"));
  for (const FPRateAlgorithm::Standard& s : standards) cal.addStandard(s);
  cal.computeCalibrationFactors();
  return engine;
}

// ---- Calibration ------------------------------------------------------------------------

TEST(HostApiTest, StandardsWhoseScatterCannotBePredictedSitOutTheLightElementFit) {
  Scratch scratch;
  const std::unique_ptr<FPRateAlgorithm> reference = calibrated({ore(), steel()}, scratch);
  ASSERT_NE(reference->leCalibrationFactors[0], 1.3);
  struct Row {
    const char* name;
    FPRateAlgorithm::Standard bad;
  };
  const Row rows[] = {
      {"empty composition", standard("empty", Compound(), 100.0, 500.0)},
      {"all fractions 0", standard("zeros", compound({{"Fe", 0.0}, {"Ni", 0.0}}), 100.0, 500.0)},
      {"symbols in capitals (Z = 0)", standard("caps", compound({{"FE", 0.5}, {"NI", 0.5}}), 100.0,
                                               500.0)},
      {"a fraction not a number", standard("nan", compound({{"Fe", kNaN}, {"O", 0.5}}), 100.0, 500.0)},
      {"a negative fraction", standard("negative", compound({{"Fe", -0.2}, {"O", 1.2}}), 100.0, 500.0)},
      {"an infinite scatter rate", standard("inf", compound({{"Fe", 0.5}, {"O", 0.5}}), 100.0, kInf)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LogCapture log;
    const std::unique_ptr<FPRateAlgorithm> engine = calibrated({ore(), row.bad, steel()}, scratch);
    EXPECT_TRUE(log.contains(std::string(row.bad.name()) + ": left out of the light-element fit", warn));
    EXPECT_EQ(engine->leCalibrationFactors[0], reference->leCalibrationFactors[0]);
    EXPECT_EQ(engine->leCalibrationOffsets[0], reference->leCalibrationOffsets[0]);
  }
}

TEST(HostApiTest, AnUndefinedLightElementFitKeepsTheFactorAndOffset) {
  Scratch scratch;
  struct Row {
    const char* name;
    std::vector<FPRateAlgorithm::Standard> standards;
    const char* count;
  };
  FPRateAlgorithm::Standard oreAgain = ore();
  oreAgain.leRate = 1200.0;
  const Row rows[] = {
      {"no standards", {}, "0 usable standards"},
      {"one standard", {ore()}, "1 usable standards"},
      {"standards that scatter alike", {ore(), oreAgain}, "2 usable standards"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    LogCapture log;
    const std::unique_ptr<FPRateAlgorithm> engine = calibrated(row.standards, scratch);
    EXPECT_TRUE(log.contains(std::string("light-element calibration not fitted: ") + row.count, warn));
    EXPECT_EQ(engine->leCalibrationFactors[0], 1.3);
    EXPECT_EQ(engine->leCalibrationOffsets[0], 25.0);
  }
}

TEST(HostApiTest, AnInfiniteLineRateOfAStandardSitsOutItsLinesFit) {
  Scratch scratch;
  FPRateAlgorithm::Standard blank = standard("blank", compound({{"Fe", 0.5}, {"O", 0.5}}), kInf, 600.0);
  const std::unique_ptr<FPRateAlgorithm> reference = calibrated({ore(), steel()}, scratch);
  LogCapture log;
  const std::unique_ptr<FPRateAlgorithm> engine = calibrated({ore(), blank, steel()}, scratch);
  EXPECT_TRUE(log.contains("blank: measured rate inf of Fe[6.4 KeV] is not finite", warn));
  const XRFLine fe = line("Fe", 0);
  EXPECT_EQ(engine->findLine(0, fe)->calibrationFactor, reference->findLine(0, fe)->calibrationFactor);
}

TEST(HostApiTest, ACalibrationFileIsNeverWrittenWithANonFiniteValue) {
  Scratch scratch;
  const std::string path = scratch.path("cal.json");
  std::ofstream(path) << "previous calibration";
  struct Row {
    const char* name;
    void (*spoil)(FPRateAlgorithm&);
    const char* message;
  };
  const Row rows[] = {
      {"line factor", [](FPRateAlgorithm& e) { e.analysisLines[1].calibrationFactor = kNaN; },
       "line [Ni:7.47] has the calibration factor nan"},
      {"light-element factor", [](FPRateAlgorithm& e) { e.leCalibrationFactors[0] = kInf; },
       "light-element factor inf"},
      {"light-element offset", [](FPRateAlgorithm& e) { e.leCalibrationOffsets[0] = -kInf; },
       "light-element offset -inf"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::unique_ptr<FPRateAlgorithm> engine = oxideEngine();
    row.spoil(*engine);
    LogCapture log;
    EXPECT_EQ(engine->writeCalibrationFile(path.c_str()), 1);
    EXPECT_TRUE(log.contains(row.message, err));
    EXPECT_EQ(readFile(path), "previous calibration");
  }
}

// ---- Null pointers --------------------------------------------------------------------------

TEST(HostApiTest, NullPathsAndNamesAreRefusedWithAMessage) {
  Scratch scratch;
  LogCapture log;
  {
    CSVWriter csv(nullptr);
    csv.writeLine({"a", "b"});
  }
  EXPECT_TRUE(log.contains("CSV writer without a path (null)", err));

  MCAFile mca;
  EXPECT_EQ(MCAFile::load(nullptr, mca), 1);
  EXPECT_TRUE(log.contains("cannot load MCA file: the path is null", err));
  mca.setSpectrum(LinearSpectrum<double>(0.0, 0.01, std::vector<double>{1, 2}));
  EXPECT_EQ(mca.write(nullptr), 1);
  EXPECT_TRUE(log.contains("cannot write MCA file: the path is null", err));

  std::unique_ptr<FPRateAlgorithm> engine = oxideEngine();
  FPRateAlgorithm::Calibration cal(*engine);
  cal.setDebugFilePath(scratch.path("debug.csv"));
  cal.setDebugFilePath(nullptr);
  EXPECT_EQ(cal.debugFilePath(), scratch.path("debug.csv"));
  EXPECT_TRUE(log.contains("debug CSV path is null", err));

  Compound kept = Compound::createPure(26);
  EXPECT_FALSE(Compound::fromFormula(nullptr, kept));
  EXPECT_EQ(kept.size(), 1u);
  EXPECT_TRUE(log.contains("cannot parse a chemical formula: it is null", err));
}

TEST(HostApiTest, ANullSpectrumPartIsRefusedWhereTheJoinIsMade) {
  std::shared_ptr<SpectrumBase<double>> part =
      std::make_shared<LinearSpectrum<double>>(0.0, 1.0, std::vector<double>{1, 2, 3});
  std::shared_ptr<SpectrumBase<double>> none;
  LogCapture log;
  EXPECT_EQ(spectrumConcat(none, part), nullptr);
  EXPECT_EQ(spectrumConcat(part, none), nullptr);
  EXPECT_EQ(log.count("cannot join spectra"), 2);
  ConcatSpectrum direct(part, none);
  EXPECT_EQ(direct.size(), 3u);
  EXPECT_EQ(direct.valueAt(2), 3.0);
  EXPECT_TRUE(log.contains("the second part is null", err));
}

TEST(HostApiTest, ANullRatesArrayTakesTheMappedLinesOutOfTheMeasurement) {
  std::unique_ptr<FPRateAlgorithm> engine = oxideEngine();
  engine->setAllLinesNotInUse();
  FPRateAlgorithm::RateMapper mapper(*engine, 0, {line("Fe", 0), line("Cu", 0)});
  LogCapture log;
  mapper.setRates(700.0, static_cast<double*>(nullptr), static_cast<double*>(nullptr));
  EXPECT_TRUE(log.contains("rates array is null", err));
  EXPECT_FALSE(engine->findLine(0, line("Fe", 0))->inUse);
  EXPECT_EQ(engine->leRates[0], 700.0);
}

TEST(HostApiTest, AChemistryResizedAfterTheBuildIsRefusedByEveryStep) {
  Scratch scratch;
  std::unique_ptr<FPRateAlgorithm> engine = oxideEngine();
  engine->setLERate(0, 500.0);
  FPRateAlgorithm::RateMapper mapper(*engine, 0, {line("Fe", 0)});
  double rate = 1000.0;
  mapper.setRates(500.0, &rate, static_cast<double*>(nullptr));
  // The lines point into the arrays; growing them moves them elsewhere.
  engine->chemistry->fractions.resize(engine->chemistry->fractions.size() + 100, 0.0);
  engine->chemistry->uncertainties.resize(engine->chemistry->uncertainties.size() + 100, 0.0);
  LogCapture log;
  engine->doInitialGuess(0);
  engine->process(0);
  EXPECT_EQ(engine->shermans[0].computeRates(), 1);
  FPRateAlgorithm::Calibration cal(*engine);
  cal.setDebugFilePath(scratch.path("debug.csv"));
  cal.addStandard(ore());
  cal.computeCalibrationFactors();
  for (const char* step : {"initial guess refused", "light-element correction refused", "line correction refused",
                           "calibration refused", "rates not computed"})
    EXPECT_TRUE(log.contains(step, err)) << step;
}

// ---- Measured rates -----------------------------------------------------------------------------

TEST(HostApiTest, AScatterRateThatIsNoMeasurementSitsOutTheLightElementStep) {
  for (double rate : {-5000.0, -1e9, 0.0, kNaN, kInf}) {
    SCOPED_TRACE(rate);
    std::unique_ptr<FPRateAlgorithm> engine = oxideEngine();
    engine->chemistry->setCompound(compound({{"Fe", 0.3}, {"Ni", 0.1}, {"O", 0.6}}));
    const std::vector<double> before = engine->chemistry->fractions;
    engine->setLERate(0, rate);
    LogCapture log;
    engine->adjustLEChemByResidual(0);
    EXPECT_TRUE(log.contains("is not a finite number above 0", warn));
    EXPECT_EQ(engine->chemistry->fractions, before);
  }
}

TEST(HostApiTest, ANegativeOrNaNLineRateSitsOutThePassWithAWarning) {
  for (double rate : {kNaN, -5.0}) {
    SCOPED_TRACE(rate);
    std::unique_ptr<FPRateAlgorithm> engine = oxideEngine();
    engine->chemistry->setCompound(compound({{"Fe", 0.3}, {"Ni", 0.1}, {"O", 0.6}}));
    engine->shermans[0].computeRates();
    engine->setAllLinesNotInUse();
    FPRateAlgorithm::RateMapper mapper(*engine, 0, {line("Fe", 0)});
    mapper.setRates(500.0, &rate, static_cast<double*>(nullptr));
    LogCapture log;
    engine->adjustChemByResidual(0);
    EXPECT_TRUE(log.contains("line [Fe:6.40] not corrected in this pass", warn));
    EXPECT_EQ(engine->chemistry->fractions[engine->chemistry->getIndex(Element("Fe"))], 0.3);
  }
}

TEST(HostApiTest, FractionsMustBeNumbersAndBadUncertaintiesCountAsUnknown) {
  std::unique_ptr<FPRateAlgorithm> engine = oxideEngine();
  Sherman::Chemistry& chemistry = *engine->chemistry;
  const int fe = chemistry.getIndex(Element("Fe"));
  EXPECT_TRUE(chemistry.set(Element("Fe"), 0.4, 0.01));
  EXPECT_FALSE(chemistry.set(Element("Fe"), kNaN, 0.01));
  EXPECT_EQ(chemistry.fractions[fe], 0.4);
  for (double u : {-0.01, kNaN, kInf}) {
    SCOPED_TRACE(u);
    LogCapture log;
    EXPECT_TRUE(chemistry.set(Element("Fe"), 0.5, u));
    EXPECT_EQ(chemistry.uncertainties[fe], 0.0);
    EXPECT_TRUE(log.contains("taken as unknown (0)", warn));

    FPRateAlgorithm::RateMapper mapper(*engine, 0, {line("Fe", 0)});
    double rate = 1000.0;
    double uncertainty = u;
    mapper.setRates(500.0, &rate, &uncertainty);
    EXPECT_EQ(engine->findLine(0, line("Fe", 0))->measuredUncertainty, 0.0);
    EXPECT_EQ(log.count("taken as unknown (0)"), 2);
  }
}

// ---- MCA file ---------------------------------------------------------------------------------

TEST(HostApiTest, MetadataTheMcaFormatCannotCarryIsRefusedAndNothingIsWritten) {
  Scratch scratch;
  const std::string path = scratch.path("s.mca");
  struct Row {
    std::string key, value;
    const char* reason;
  };
  const Row rows[] = {
      {"Note", "first\n\nsecond", "the value holds a line break"},
      {"Note", "ends\r", "the value holds a line break"},
      {"Two\nlines", "v", "the key holds a line break"},
      {"a=b", "v", "the key holds \"=\""},
      {" Sample", "v", "the key has white space at an end"},
      {"Sample", "v\t", "the value has white space at an end"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key + "=" + row.value);
    std::ofstream(path) << "previous spectrum";
    MCAFile mca;
    mca.setSpectrum(LinearSpectrum<double>(0.0, 0.01, std::vector<double>{1, 2}));
    mca.setMetadata(row.key, row.value);
    LogCapture log;
    EXPECT_EQ(mca.write(path), 1);
    EXPECT_TRUE(log.contains(row.reason, err));
    EXPECT_EQ(readFile(path), "previous spectrum");
  }
  // What the format carries comes back unchanged, "=" inside a value included.
  MCAFile mca;
  mca.setSpectrum(LinearSpectrum<double>(0.0, 0.01, std::vector<double>{1, 2}));
  mca.setMetadata("Sample", "a = b");
  ASSERT_EQ(mca.write(path), 0);
  MCAFile back;
  ASSERT_EQ(MCAFile::load(path, back), 0);
  EXPECT_EQ(back.getMetadata().at("Sample"), "a = b");
}

// ---- Functions outside their domain -----------------------------------------------------------

TEST(HostApiTest, FunctionsReturnWhatTheirHeadersSayOrRefuse) {
  // The assigned Compton energy lies above E while the shifted wavelength stays positive
  // (E below hc / (λc (1 - cos 128°)) = 316.2 keV); beyond, there is none.
  EXPECT_GT(comptonScatterEnergy(300.0), 300.0);
  EXPECT_TRUE(std::isnan(comptonScatterEnergy(400.0)));
  EXPECT_TRUE(std::isnan(comptonScatterEnergy(Angle::createFromDegrees(90.0), 600.0)));
  EXPECT_TRUE(std::isnan(comptonScatterEnergy(-19.0)));

  // H to Li have no L shell in xraylib (jump ratio 0): no L line, sensitivity 0.
  for (const char* symbol : {"H", "He", "Li"})
    for (int code : {2, 3}) EXPECT_EQ(lineSensitivity(line(symbol, code)), 0.0) << symbol << code;

  struct Straight : OptimizationProblem::Model {
    int calls = 0;
    unsigned int parameterCount() override { return 2; }
    void setParameters(const Eigen::VectorXf&) override { ++calls; }
    float value(float) override { return 0.0f; }
    void gradient(float x, Eigen::VectorXf& g) override { g << 1.0f, x; }
  };
  auto model = std::make_shared<Straight>();
  OptimizationProblem problem(model, 2);
  problem.currentPoint() = Eigen::VectorXf::Zero(3);
  LogCapture log;
  EXPECT_EQ(problem.solve(1, {0.0f, 1.0f}, {1.0f, 2.0f}), 1);
  EXPECT_TRUE(log.contains("start point has 3 entries, the model has 2 parameters", err));
  EXPECT_EQ(model->calls, 0);
  EXPECT_EQ(problem.currentPoint().size(), 3);
}

// ---- Boundaries that mutations of the code survived -------------------------------------------

TEST(HostApiTest, TheLineStepFloorsAFractionAtOneHundredMillionth) {
  std::unique_ptr<FPRateAlgorithm> engine = oxideEngine();
  engine->chemistry->setCompound(compound({{"Fe", 1e-3}, {"Ni", 0.3}, {"O", 0.699}}));
  engine->shermans[0].computeRates();
  engine->setAllLinesNotInUse();
  FPRateAlgorithm::RateMapper mapper(*engine, 0, {line("Fe", 0)});
  double rate = 1e-7 * testing::linePrediction(*engine, *engine->findLine(0, line("Fe", 0)));
  mapper.setRates(500.0, &rate, static_cast<double*>(nullptr));
  engine->adjustChemByResidual(0);
  // f m / p would be 1e-10.
  EXPECT_EQ(engine->chemistry->fractions[engine->chemistry->getIndex(Element("Fe"))], 1e-8);
}

TEST(HostApiTest, AnExcitationEndingExactlyOnTheEdgeExcitesTheLines) {
  const double edge = line("Fe", 0).edgeEnergyKeV();
  for (double top : {edge, std::nextafter(edge, 0.0)}) {
    auto excitation = std::make_shared<DiscreteSpectrum<double>>(1u);
    excitation->setEnergyAt(0, top);
    excitation->setValueAt(0, 1.0);
    auto chemistry = std::make_shared<Sherman::Chemistry>(std::set<Element>{Element("Fe")});
    Sherman::Builder builder(chemistry, excitation);
    builder.addAllLinesFromElement(Element("Fe"), false);
    Sherman model;
    ASSERT_EQ(builder.create(model), 0);
    int kLines = 0;  // KA and KB (codes 0 and 1); the L lines lie far below either energy
    for (const Sherman::Line& l : model.lines) kLines += l.line.line() <= 1 ? 1 : 0;
    EXPECT_EQ(kLines, top == edge ? 2 : 0) << top;
  }
}

TEST(HostApiTest, AnMcaCountLineMayStartWithBlanks) {
  Scratch scratch;
  const std::string path = scratch.path("blanks.mca");
  std::ofstream(path) << "Energy scale offset = 0\nEnergy scale slope = 10\n\n 3\n1\n2\n3\n";
  MCAFile mca;
  ASSERT_EQ(MCAFile::load(path, mca), 0);
  EXPECT_EQ(mca.getSpectrum()->size(), 3u);
}

}  // namespace
}  // namespace calyx
