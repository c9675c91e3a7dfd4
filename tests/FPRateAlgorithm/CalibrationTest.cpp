#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "calyx/Calibration.h"
#include "calyx/FPRateAlgorithm.h"
#include "calyx/Filter.h"
#include "support/Files.h"
#include "support/HandheldEngine.h"
#include "support/Json.h"
#include "support/LogCapture.h"
#include "support/ScratchDir.h"

namespace calyx {
namespace {

// A handheld-like set-up: Rh tube, SDD, a 40 kV beam for Fe to Zn and Pb L, a 25 kV beam
// sharing Fe KA. The light elements are listed on beam 0 (whose scatter rate estimates them)
// and on the last beam (whose pass corrects them).
const char* kConfig = R"({
  "detector": {"Z": 14, "thickness": 450, "windowZ": 4, "windowThickness": 12.5,
               "measuredFWHMEnergy": 5900, "measuredFWHM": 140},
  "tube": {"anodeZ": 45, "anodeThickness": 1, "windowZ": 4, "windowThickness": 100, "takeoffAngle": 20},
  "takeoffAngle": 45, "incodenceAngle": 45,
  "beams": [
    {"tubeKeV": 40, "filters": [{"compound": "Al", "thickness": 100, "density": 2.7}],
     "lines": [["Fe", "KA"], ["Ni", "KA"], ["Cu", "KA"], ["Zn", "KA"], ["Pb", "LA"]],
     "LEElements": ["C", "O"], "LEEnergyKeV": 0},
    {"tubeKeV": 25, "lines": [["Fe", "KA"]], "LEElements": ["C", "O"], "LEEnergyKeV": 0}
  ]
})";

std::unique_ptr<FPRateAlgorithm> makeEngine(const char* config = kConfig) {
  FPRateAlgorithm::Builder builder;
  EXPECT_EQ(builder.readConfig(testing::parseJson(config)), 0);
  std::unique_ptr<FPRateAlgorithm> engine;
  EXPECT_EQ(builder.create(engine), 0);
  return engine;
}

using testing::compound;

// The calibration's own prediction for a line of a standard, written out: theoretical rate
// times detector efficiency at the line energy, rounded to single precision.
struct Predictions {
  std::map<FPRateAlgorithm::LineKey, double> lines;
  double scatter = 0.0;
};

Predictions predict(FPRateAlgorithm& engine, const Compound& c) {
  Predictions p;
  engine.chemistry->setCompound(c);
  for (Sherman& s : engine.shermans) s.computeRates();
  for (const auto& line : engine.analysisLines)
    p.lines[line.key()] = static_cast<float>(*line.theoreticalRate *
                                             engine.detector.getDetectorEfficiencyFactor(line.line.lineEnergyKeV()));
  const Sherman& m0 = engine.shermans[0];
  const double e = comptonScatterEnergy(
      Angle::createFromRadian(m0.takeOffAngle().radians() + m0.incidenceAngle().radians()), 19.0);
  p.scatter = static_cast<float>(m0.excitationSpectrum()->valueAt(19) * comptonScatterCoefficient(c, e) *
                                 engine.detector.getDetectorEfficiencyFactor(e));
  return p;
}

using testing::tempPath;

using testing::readFile;

class CalibrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = makeEngine();
    csvPath = tempPath("debug.csv");
  }
  void TearDown() override { std::remove(csvPath.c_str()); }

  FPRateAlgorithm::Calibration calibration() {
    FPRateAlgorithm::Calibration c(*engine);
    c.setDebugFilePath(csvPath);
    return c;
  }

  std::unique_ptr<FPRateAlgorithm> engine;
  std::string csvPath;
};

TEST_F(CalibrationTest, RecoversKnownLineFactorsAndScatterRelationThenQuantifiesAnUnknown) {
  const XRFLine feKA = XRFLine::create(Element("Fe"), 0);
  const std::map<std::string, double> factorOf = {{"Fe", 1.7}, {"Ni", 0.6}, {"Cu", 1.2}, {"Zn", 0.9}, {"Pb", 1.4}};
  const double leSlope = 0.8, leOffset = 1500.0;
  const std::vector<Compound> standards = {
      compound({{"Fe", 0.70}, {"Ni", 0.10}, {"Cu", 0.05}, {"Zn", 0.05}, {"Pb", 0.02}, {"C", 0.03}, {"O", 0.05}}),
      compound({{"Fe", 0.20}, {"Ni", 0.30}, {"Cu", 0.30}, {"Zn", 0.10}, {"Pb", 0.05}, {"O", 0.05}}),
      compound({{"Fe", 0.05}, {"Ni", 0.05}, {"Cu", 0.60}, {"Zn", 0.25}, {"Pb", 0.03}, {"C", 0.02}}),
      compound({{"Fe", 0.40}, {"Ni", 0.20}, {"Cu", 0.10}, {"Zn", 0.20}, {"Pb", 0.01}, {"O", 0.09}}),
  };

  FPRateAlgorithm::Calibration cal = calibration();
  for (std::size_t i = 0; i < standards.size(); ++i) {
    const Predictions p = predict(*engine, standards[i]);
    FPRateAlgorithm::Standard s;
    s.setName(("S" + std::to_string(i)).c_str());
    s.compound = standards[i];
    for (const auto& entry : p.lines)
      s.rates[entry.first] = factorOf.at(entry.first.line.element().symbol()) * entry.second;
    s.leRate = leSlope * p.scatter + leOffset;
    cal.addStandard(s);
  }
  cal.computeCalibrationFactors();

  for (const auto& line : engine->analysisLines) {
    EXPECT_NEAR(line.calibrationFactor / factorOf.at(line.line.element().symbol()), 1.0, 1e-6)
        << line.line.element().symbol() << " beam " << line.beam;
    EXPECT_TRUE(line.inUse);
  }
  EXPECT_NEAR(engine->leCalibrationFactors[0] / leSlope, 1.0, 1e-5);
  EXPECT_NEAR(engine->leCalibrationOffsets[0] / leOffset, 1.0, 1e-4);
  ASSERT_NE(engine->findLine(1, feKA), nullptr);
  EXPECT_NEAR(engine->findLine(1, feKA)->calibrationFactor, 1.7, 1.7e-6);

  // An unknown measured through the same instrument factors comes back.
  const Compound unknown = compound({{"Fe", 0.5}, {"Ni", 0.15}, {"Cu", 0.15}, {"Zn", 0.1}, {"Pb", 0.02},
                                     {"C", 0.03}, {"O", 0.05}});
  const Predictions truth = predict(*engine, unknown);
  engine->setAllLinesNotInUse();
  for (unsigned int beam = 0; beam < engine->shermans.size(); ++beam) {
    std::vector<XRFLine> lines;
    std::vector<double> rates;
    for (const auto& entry : truth.lines)
      if (entry.first.beam == beam) {
        lines.push_back(entry.first.line);
        rates.push_back(factorOf.at(entry.first.line.element().symbol()) * entry.second);
      }
    FPRateAlgorithm::RateMapper mapper(*engine, beam, lines);
    mapper.setRates<double>(leSlope * truth.scatter + leOffset, rates.data(), nullptr);
  }
  engine->doInitialGuess(0);
  for (int pass = 0; pass < 200; ++pass) engine->process(static_cast<int>(engine->shermans.size()) - 1);
  const Compound result = engine->getCompound();
  for (const char* symbol : {"Fe", "Ni", "Cu", "Zn", "Pb"})
    EXPECT_NEAR(result.find(Element(symbol))->fraction, unknown.find(Element(symbol))->fraction, 2e-4) << symbol;
}

TEST_F(CalibrationTest, FactorWeightsEachStandardsRatioByItsSquaredFraction) {
  // wf = 0.1 with m/p = 1 and wf = 0.3 with m/p = 2: (0.01 x 1 + 0.09 x 2) / 0.1 = 1.9.
  const XRFLine niKA = XRFLine::create(Element("Ni"), 0);
  const FPRateAlgorithm::LineKey key(0, niKA);
  FPRateAlgorithm::Calibration cal = calibration();
  const double ratios[] = {1.0, 2.0};
  const double fractions[] = {0.1, 0.3};
  for (int i = 0; i < 2; ++i) {
    const Compound c = compound({{"Ni", fractions[i]}, {"Fe", 1.0 - fractions[i]}});
    FPRateAlgorithm::Standard s;
    s.compound = c;
    s.rates[key] = ratios[i] * predict(*engine, c).lines.at(key);
    cal.addStandard(s);
  }
  cal.computeCalibrationFactors();
  const double wf1 = static_cast<float>(0.1), wf3 = static_cast<float>(0.3);
  EXPECT_NEAR(engine->findLine(0, niKA)->calibrationFactor, (wf1 * wf1 * 1 + wf3 * wf3 * 2) / (wf1 * wf1 + wf3 * wf3),
              1e-6);
}

TEST_F(CalibrationTest, LinesWithoutUsablePointsKeepTheirFactor) {
  const XRFLine cuKA = XRFLine::create(Element("Cu"), 0), znKA = XRFLine::create(Element("Zn"), 0);
  engine->findLine(0, cuKA)->calibrationFactor = 3.5;
  engine->findLine(0, znKA)->calibrationFactor = 4.5;
  FPRateAlgorithm::Calibration cal = calibration();
  FPRateAlgorithm::Standard s;
  s.setName("no copper");
  s.compound = compound({{"Fe", 0.6}, {"Zn", 0.4}});  // Cu measured but absent: no point
  s.rates[FPRateAlgorithm::LineKey(0, cuKA)] = 1000.0;
  s.rates[FPRateAlgorithm::LineKey(0, znKA)] = -5.0;  // a negative rate is unusable
  cal.addStandard(s);
  testing::LogCapture capture;
  cal.computeCalibrationFactors();
  EXPECT_EQ(engine->findLine(0, cuKA)->calibrationFactor, 3.5);
  EXPECT_EQ(engine->findLine(0, znKA)->calibrationFactor, 4.5);
  EXPECT_EQ(capture.count("No useable calibration points"), 2);

  const std::string csv = readFile(csvPath);
  EXPECT_NE(csv.find("Cu [8.04"), std::string::npos);
  EXPECT_NE(csv.find("Standard,Wt. Frac.,Predicted Rate,Measured Rate,Weighted Measured Rate\n"
                     "Zn ["),
            std::string::npos);  // the Cu block ends after its header row
  EXPECT_NE(csv.find("LE Calibration\nStandard,Predicted Rate,Measured Rate\nno copper,"), std::string::npos);
}

TEST_F(CalibrationTest, CalibrationSetOrdersSharedLinesByBeamAndMarksThemInUse) {
  const XRFLine feKA = XRFLine::create(Element("Fe"), 0);
  engine->setAllLinesNotInUse();
  FPRateAlgorithm::Calibration cal(*engine);
  FPRateAlgorithm::Standard s;
  s.rates[FPRateAlgorithm::LineKey(1, feKA)] = 1.0;
  s.rates[FPRateAlgorithm::LineKey(0, feKA)] = 1.0;
  cal.addStandard(s);
  cal.addStandard(s);
  FPRateAlgorithm::Calibration::LineSet lines([](const FPRateAlgorithm::AnalysisLine* a,
                                                 const FPRateAlgorithm::AnalysisLine* b) { return *a < *b; });
  std::set<Element> elements;
  cal.computeCalibrationSet(lines, elements);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ((*lines.begin())->beam, 0u);
  EXPECT_EQ((*lines.rbegin())->beam, 1u);
  EXPECT_EQ(elements, std::set<Element>{Element("Fe")});
  for (const auto& line : engine->analysisLines) EXPECT_EQ(line.inUse, line.line == feKA) << line.beam;
}

TEST_F(CalibrationTest, NoStandardsKeepTheLightElementCalibration) {
  FPRateAlgorithm::Calibration cal = calibration();
  engine->setLECalibrationFactor(0, 1.3);
  engine->setLECalibrationOffset(0, 25.0);
  testing::LogCapture capture;
  cal.computeCalibrationFactors();
  EXPECT_TRUE(capture.contains("Empty data set!"));
  EXPECT_TRUE(capture.contains("light-element calibration not fitted: 0 usable standards", spdlog::level::warn));
  EXPECT_EQ(engine->leCalibrationFactors[0], 1.3);
  EXPECT_EQ(engine->leCalibrationOffsets[0], 25.0);
}

TEST_F(CalibrationTest, BeamCompoundFillsTheRestWithBeamZeroLightElements) {
  FPRateAlgorithm::Calibration cal(*engine);
  const Compound partial = compound({{"Fe", 0.5}, {"Cu", 0.3}, {"O", 0.7}});
  // O is already present: the light-element share replaces it.
  Compound c = cal.createBeamCompound(compound({{"Fe", 0.5}, {"Cu", 0.3}}), {});
  ASSERT_EQ(c.size(), 4u);
  EXPECT_NEAR(c.find(Element("C"))->fraction, 0.1, 1e-15);
  EXPECT_NEAR(c.find(Element("O"))->fraction, 0.1, 1e-15);
  Compound full = cal.createBeamCompound(partial, {});
  EXPECT_EQ(full.size(), 3u);
  EXPECT_EQ(full.find(Element("O"))->fraction, 0.7);
}

// ---- Calibration file ----------------------------------------------------------------

class CalibrationFileTest : public CalibrationTest {
 protected:
  std::string write(const std::string& name, const std::string& text) {
    const std::string path = tempPath(name);
    std::ofstream(path) << text;
    paths.push_back(path);
    return path;
  }
  void TearDown() override {
    for (const auto& p : paths) std::remove(p.c_str());
    CalibrationTest::TearDown();
  }
  std::vector<std::string> paths;
};

TEST_F(CalibrationFileTest, WriteThenReadRestoresEveryFactor) {
  double f = 0.5;
  for (auto& line : engine->analysisLines) {
    line.calibrationFactor = (f += 0.25);
    line.initialGuessFactor = 3.0;
  }
  engine->setLECalibrationFactor(0, 0.75);
  engine->setLECalibrationOffset(1, -12.5);
  const std::string path = tempPath("cal.json");
  paths.push_back(path);
  ASSERT_EQ(engine->writeCalibrationFile(path.c_str()), 0);

  const Json::Value root = testing::readJsonFile(path);
  ASSERT_EQ(root["lines"].size(), engine->analysisLines.size());
  EXPECT_EQ(root["lines"][0][0].asInt(), 0);
  EXPECT_EQ(root["lines"][0][1].asString(), "Fe");
  EXPECT_EQ(root["lines"][0][2].asString(), "KA");
  EXPECT_EQ(root["lines"][0].size(), 4u);
  EXPECT_EQ(root["LEFactors"].size(), 2u);
  EXPECT_EQ(root["LEOffsets"][1].asDouble(), -12.5);

  auto fresh = makeEngine();
  ASSERT_EQ(fresh->readCalibrationFile(path.c_str()), 0);
  for (std::size_t i = 0; i < fresh->analysisLines.size(); ++i) {
    EXPECT_EQ(fresh->analysisLines[i].calibrationFactor, engine->analysisLines[i].calibrationFactor);
    EXPECT_EQ(fresh->analysisLines[i].initialGuessFactor, 1.0);
  }
  EXPECT_EQ(fresh->leCalibrationFactors, engine->leCalibrationFactors);
  EXPECT_EQ(fresh->leCalibrationOffsets, engine->leCalibrationOffsets);
}

TEST_F(CalibrationFileTest, EntriesSetFactorsByTheirLength) {
  const std::string path = write("entries.json", R"({"lines": [
      [0, "Fe", "KA", 1.5, 2.5],
      [0, "Ni", 0, 1.25],
      [0, "Zn", "Ka", 9],
      [0, "Pb", -90, 7],
      [5, "Fe", "KA", 8],
      [0, "Zn"]
  ], "LEFactors": [2, 3, 4]})");
  engine->findLine(0, XRFLine::create(Element("Ni"), 0))->initialGuessFactor = 6.0;
  testing::LogCapture capture;
  ASSERT_EQ(engine->readCalibrationFile(path.c_str()), 0);
  const auto* fe = engine->findLine(0, XRFLine::create(Element("Fe"), 0));
  EXPECT_EQ(fe->calibrationFactor, 1.5);
  EXPECT_EQ(fe->initialGuessFactor, 2.5);
  const auto* ni = engine->findLine(0, XRFLine::create(Element("Ni"), 0));
  EXPECT_EQ(ni->calibrationFactor, 1.25);
  EXPECT_EQ(ni->initialGuessFactor, 1.0);
  EXPECT_EQ(engine->findLine(0, XRFLine::create(Element("Zn"), 0))->calibrationFactor, 1.0);
  EXPECT_TRUE(capture.contains("unknown line symbol: Ka", spdlog::level::err));
  EXPECT_TRUE(capture.contains("unknown line symbol: ", spdlog::level::err));
  EXPECT_TRUE(capture.contains("line not found: [Pb :-90]", spdlog::level::warn));
  EXPECT_TRUE(capture.contains("line not found: [Fe :0]", spdlog::level::warn));
  EXPECT_EQ(engine->leCalibrationFactors, (std::vector<double>{2, 3}));  // the surplus 4 is ignored
  EXPECT_TRUE(capture.contains("ignoring LE calibration factor 2", spdlog::level::warn));
}

TEST_F(CalibrationFileTest, RejectedFilesChangeNothing) {
  const std::string noLines = write("nolines.json", R"({"LEFactors": [9, 9]})");
  const std::string broken = write("broken.json", R"({"lines": [[0, "Fe", "KA", 2)");
  testing::LogCapture capture;
  EXPECT_EQ(engine->readCalibrationFile(noLines.c_str()), 1);
  EXPECT_TRUE(capture.contains("no 'lines' element found", spdlog::level::err));
  EXPECT_EQ(engine->readCalibrationFile(broken.c_str()), 1);
  EXPECT_EQ(engine->readCalibrationFile(tempPath("missing.json").c_str()), 1);
  EXPECT_TRUE(capture.contains("e: ", spdlog::level::err));
  EXPECT_EQ(engine->leCalibrationFactors, (std::vector<double>{1, 1}));
  for (const auto& line : engine->analysisLines) EXPECT_EQ(line.calibrationFactor, 1.0);

  const std::string nullLines = write("null.json", R"({"lines": null, "LEOffsets": [0.5]})");
  EXPECT_EQ(engine->readCalibrationFile(nullLines.c_str()), 0);
  EXPECT_EQ(engine->leCalibrationOffsets[0], 0.5);
}

TEST_F(CalibrationFileTest, FailedWriteLeavesThePreviousFileIntact) {
  const std::string path = write("keep.json", "previous calibration");
  engine->analysisLines[0].calibrationFactor = 2.0;
  testing::LogCapture capture;
  EXPECT_EQ(engine->writeCalibrationFile("/nonexistent-dir/cal.json"), 1);
  EXPECT_TRUE(capture.contains("cannot write calibration file", spdlog::level::err));
  // A directory in the target's place: the rename fails, the temporary file is removed.
  const std::string dir = tempPath("dir.json");
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  EXPECT_EQ(engine->writeCalibrationFile(dir.c_str()), 1);
  ::rmdir(dir.c_str());
  EXPECT_EQ(readFile(path), "previous calibration");
  EXPECT_EQ(engine->writeCalibrationFile(path.c_str()), 0);
  EXPECT_NE(readFile(path).find("\"LEFactors\""), std::string::npos);
}

TEST_F(CalibrationFileTest, ValuesOutOfRangeRefuseTheWholeFile) {
  // Each file holds a good entry first: nothing of it may be applied.
  const struct {
    const char* rest;
    const char* error;
  } cases[] = {
      {R"([0, "Cu", "KA"]])", "lines[1] (Cu KA, beam 0) out of range: factor 0, guess factor 1"},
      {R"([0, "Cu", "KA", -1]])", "lines[1] (Cu KA, beam 0) out of range: factor -1"},
      {R"([0, "Cu", "KA", 1.2, 0]])", "guess factor 0"},
      {R"([0, "Cu", "KA", 1e31]])", "factor 1e+31"},
      {R"(], "LEFactors": [0])", "LEFactors[0] out of range: 0"},
      {R"(], "LEFactors": [1, -2])", "LEFactors[1] out of range: -2"},
      {R"(], "LEOffsets": [-1e31])", "LEOffsets[0] out of range: -1e+31"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rest);
    const std::string path =
        write("range.json", std::string(R"({"LEOffsets": [5], "lines": [[0, "Fe", "KA", 1.5], )") + c.rest + "}");
    testing::LogCapture capture;
    EXPECT_EQ(engine->readCalibrationFile(path.c_str()), 1);
    EXPECT_TRUE(capture.contains(c.error, spdlog::level::err));
    for (const auto& line : engine->analysisLines) EXPECT_EQ(line.calibrationFactor, 1.0);
    EXPECT_EQ(engine->leCalibrationFactors, (std::vector<double>{1, 1}));
    EXPECT_EQ(engine->leCalibrationOffsets, (std::vector<double>{0, 0}));
  }
}

TEST_F(CalibrationFileTest, NestingBeyondTheParsersLimitAndNullPathsAreRefused) {
  const std::string deep = write("deep.json", std::string(1001, '['));
  testing::LogCapture capture;
  EXPECT_EQ(engine->readCalibrationFile(deep.c_str()), 1);
  EXPECT_TRUE(capture.contains("e: not valid JSON: ", spdlog::level::err));
  FPRateAlgorithm::Builder builder;
  EXPECT_EQ(builder.readConfig(deep.c_str()), 1);
  EXPECT_EQ(engine->readCalibrationFile(nullptr), 1);
  EXPECT_EQ(engine->writeCalibrationFile(nullptr), 1);
  EXPECT_EQ(capture.count("no path given"), 2);
}

TEST_F(CalibrationFileTest, WrongTypesReachTheCallerAsJsonErrors) {
  const std::string path = write("types.json", R"({"lines": [[0, "Fe", "KA", 1.5], ["zero", "Ni", "KA", 2]]})");
  EXPECT_THROW(engine->readCalibrationFile(path.c_str()), Json::LogicError);
  // Every entry is read before any is applied.
  EXPECT_EQ(engine->findLine(0, XRFLine::create(Element("Fe"), 0))->calibrationFactor, 1.0);
  const std::string code = write("code.json", R"({"lines": [[0, "Fe", 7, 1.5]]})");
  EXPECT_THROW(engine->readCalibrationFile(code.c_str()), std::out_of_range);
}

}  // namespace
}  // namespace calyx
