// The engine's builder: the JSON configuration (the example files and every failure with its
// message, level and status), the line selection of a beam, and the layout of the engine.
#include <xraylib.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "calyx/FPRateAlgorithm.h"
#include "support/Json.h"
#include "support/HandheldEngine.h"
#include "support/LogCapture.h"
#include "support/ScratchDir.h"

namespace calyx {
namespace {

using Beam = FPRateAlgorithm::Builder::Beam;
using testing::LogCapture;

const char* const kPrefix = "[src/FPRateAlgorithm/Builder.cpp:";

std::string document(const std::string& rest) { return "{" + testing::handheldHardwareJson() + rest + "}"; }

using testing::parseJson;

// Writes a file in a scratch directory of its own, removed with the object.
class TempFile {
 public:
  explicit TempFile(const std::string& text) : path_(dir_.path("config.json")) { std::ofstream(path_) << text; }
  const char* path() const { return path_.c_str(); }

 private:
  testing::ScratchDir dir_;
  std::string path_;
};

// The messages at one level, each with its source prefix checked and removed.
std::vector<std::string> messagesAt(const LogCapture& log, spdlog::level::level_enum level) {
  std::vector<std::string> out;
  for (const auto& m : log.messages()) {
    if (m.level != level) continue;
    EXPECT_EQ(m.text.rfind(kPrefix, 0), 0u) << m.text;
    out.push_back(m.text.substr(m.text.find("] ") + 2));
  }
  return out;
}

// JsonCpp's own error text for a document, as the reader must quote it.
std::string parserErrors(std::istream& in) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  Json::Value root;
  std::string errors;
  EXPECT_FALSE(Json::parseFromStream(builder, in, &root, &errors));
  return errors;
}

std::string examplePath(const char* name) { return std::string(CALYX_EXAMPLES_DIR) + "/config/" + name; }

double degrees(float value) { return static_cast<double>(value) * 0.017453292519943295; }

TEST(BuilderTest, ReadsTheHandheldAlloyExample) {
  FPRateAlgorithm::Builder builder;
  ASSERT_EQ(builder.readConfig(examplePath("handheld-alloy.json").c_str()), 0);

  EXPECT_EQ(builder.detector.Z, 14);
  EXPECT_EQ(builder.detector.thickness, 450.0);
  EXPECT_EQ(builder.detector.windowZ, 4);
  EXPECT_EQ(builder.detector.windowThickness, 12.5);
  EXPECT_EQ(builder.detector.measuredFWHM, 140.0);
  EXPECT_EQ(builder.tube.anodeZ, 45);
  EXPECT_EQ(builder.tube.windowThickness, 100.0);
  EXPECT_DOUBLE_EQ(builder.tube.takeoffAngle.radians(), degrees(22.0f));
  EXPECT_DOUBLE_EQ(builder.takeOffAngle.radians(), degrees(45.0f));
  EXPECT_DOUBLE_EQ(builder.incidenceAngle.radians(), degrees(60.0f));

  ASSERT_EQ(builder.beams.size(), 2u);
  const Beam& main = builder.beams[0];
  EXPECT_EQ(main.tubeKeV, 40.0f);
  ASSERT_EQ(main.filters.size(), 1u);
  EXPECT_DOUBLE_EQ(main.filters[0].getThickness(), 0.01);
  EXPECT_DOUBLE_EQ(main.filters[0].getDensity(), static_cast<double>(2.7f));
  // Ti to Cu by "allLines": their K lines only (their L lines lie below 1 keV); ten explicit.
  EXPECT_EQ(main.lines.size(), 8u * 2u + 10u);
  EXPECT_EQ(main.lines.count(XRFLine::create(Element("Fe"), 1)), 1u);
  EXPECT_EQ(main.lines.count(XRFLine::create(Element("W"), 2)), 1u);
  EXPECT_EQ(main.lines.count(XRFLine::create(Element("Cu"), 2)), 0u);
  EXPECT_TRUE(main.leElements.empty());

  const Beam& light = builder.beams[1];
  EXPECT_EQ(light.tubeKeV, 15.0f);
  EXPECT_TRUE(light.filters.empty());
  for (const char* symbol : {"Mg", "Al", "Si", "P", "S"})
    EXPECT_EQ(light.lines.count(XRFLine::create(Element(symbol), 0)), 1u) << symbol;

  std::unique_ptr<FPRateAlgorithm> engine = testing::buildEngine(builder);
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->shermans.size(), 2u);
  EXPECT_EQ(engine->analysisLines.size(), main.lines.size() + light.lines.size());
}

TEST(BuilderTest, ReadsTheHandheldOxideExampleWithOxygenOnBothBeams) {
  FPRateAlgorithm::Builder builder;
  ASSERT_EQ(builder.readConfig(examplePath("handheld-oxide.json").c_str()), 0);
  ASSERT_EQ(builder.beams.size(), 2u);
  for (const Beam& beam : builder.beams) {
    EXPECT_EQ(beam.leElements, std::set<Element>{Element("O")});
    EXPECT_EQ(beam.leEnergyKeV, 20.0);
  }
  EXPECT_EQ(builder.detector.thickness, 500.0);
  EXPECT_EQ(builder.tube.windowThickness, 75.0);

  std::unique_ptr<FPRateAlgorithm> engine = testing::buildEngine(builder);
  ASSERT_NE(engine, nullptr);
  EXPECT_TRUE(engine->chemistry->hasElement(Element("O")));
  EXPECT_EQ(engine->leElements[1], std::set<Element>{Element("O")});
}

TEST(BuilderTest, ReportsProgressInOrderWhileReading) {
  LogCapture log;
  FPRateAlgorithm::Builder builder;
  ASSERT_EQ(builder.readConfig(parseJson(document(R"(, "beams": [{"tubeKeV": 40}])"))), 0);
  const std::vector<std::string> expected = {
      "Inside readConfig(Json::Value&)", "readConfig 1", "readConfig 2", "readConfig 3", "readBeam",
      "Inside readBeam", "readBeam 1", "readBeam 2", "readBeam 3", "readBeam 4", "readBeam 5",
      "readBeam 6", "readBeam 7", "readConfig 4"};
  EXPECT_EQ(messagesAt(log, spdlog::level::info), expected);
  EXPECT_TRUE(messagesAt(log, spdlog::level::err).empty());
}

struct FailureRow {
  const char* name;
  std::string text;
  int status;
  std::vector<std::string> errors;  // in order
  std::size_t beamsKept;
  bool detectorRead;
  bool tubeRead;
};

TEST(BuilderTest, EachConfigurationFailureGivesItsMessageAndStatus) {
  const std::vector<FailureRow> rows = {
      {"no detector", R"({"tube": {"anodeZ": 45}, "beams": []})", 1,
       {"no 'detector' element found", "error loading"}, 0, false, false},
      {"no tube", R"({"detector": {"Z": 14}, "beams": []})", 1,
       {"no 'tube' element found", "error loading"}, 0, true, false},
      {"no beams", document(""), 1, {"no 'beams' element found", "error loading"}, 0, true, true},
      {"beam entry not an object", document(R"(, "beams": [{"tubeKeV": 40}, 5, {"tubeKeV": 15}])"), 1,
       {"error loading"}, 1, true, true},
      {"unknown symbol in allLines", document(R"(, "beams": [{"tubeKeV": 40, "allLines": ["Fe", "Xx"]}])"), 1,
       {"error reading symbol: Xx", "error loading"}, 0, true, true},
      {"unknown line name", document(R"(, "beams": [{"tubeKeV": 40, "lines": [["Pb", -90], ["Pb", "La"]]}])"), 1,
       {"unknown line symbol: La", "error loading"}, 0, true, true},
      {"unknown symbol in lines", document(R"(, "beams": [{"tubeKeV": 40, "lines": [["Qq", "KA"]]}])"), 1,
       {"error reading symbol: Qq", "error loading"}, 0, true, true},
      {"unknown symbol in LEElements",
       document(R"(, "beams": [{"tubeKeV": 40, "LEElements": ["O", "Oo"], "LEEnergyKeV": 20}])"), 1,
       {"error reading symbol: Oo", "error loading"}, 0, true, true},
      {"filter formula that does not parse",
       document(R"(, "beams": [{"tubeKeV": 40, "filters": [{"compound": "Al2Xq", "thickness": 100}]}])"), 1,
       {"cannot parse filter formula: Al2Xq", "error loading"}, 0, true, true},
      {"a document that is no object", "[1, 2]", 1, {"no 'detector' element found", "error loading"}, 0, false,
       false},
  };
  for (const FailureRow& row : rows) {
    SCOPED_TRACE(row.name);
    TempFile file(row.text);
    FPRateAlgorithm::Builder builder;
    LogCapture log;
    EXPECT_EQ(builder.readConfig(file.path()), row.status);
    EXPECT_EQ(messagesAt(log, spdlog::level::err), row.errors);
    EXPECT_EQ(builder.beams.size(), row.beamsKept);
    EXPECT_EQ(builder.detector.Z, row.detectorRead ? 14 : 0);
    EXPECT_EQ(builder.tube.anodeZ, row.tubeRead ? 45 : 0);
  }
}

TEST(BuilderTest, AFileThatIsMissingOrNotJsonQuotesTheParser) {
  {
    TempFile file("{ \"detector\": ");
    std::istringstream same("{ \"detector\": ");
    LogCapture log;
    FPRateAlgorithm::Builder builder;
    EXPECT_EQ(builder.readConfig(file.path()), 1);
    EXPECT_EQ(messagesAt(log, spdlog::level::err), std::vector<std::string>{"e: " + parserErrors(same)});
    EXPECT_FALSE(log.contains("About to call"));
  }
  {
    std::istringstream empty("");
    LogCapture log;
    FPRateAlgorithm::Builder builder;
    EXPECT_EQ(builder.readConfig("/nonexistent/calyx/config.json"), 1);
    EXPECT_EQ(messagesAt(log, spdlog::level::err), std::vector<std::string>{"e: " + parserErrors(empty)});
  }
}

TEST(BuilderTest, LinesTakeNamesOrIntegerCodesAndAnUnknownNameFailsTheBeam) {
  std::unique_ptr<Beam> beam;
  ASSERT_EQ(Beam::readBeam(parseJson(R"({"tubeKeV": 40, "lines": [["Pb", -90], ["Pb", "LB"]]})"), beam), 0);
  const std::set<XRFLine> expected = {XRFLine::create(Element("Pb"), -90), XRFLine::create(Element("Pb"), 3)};
  EXPECT_EQ(beam->lines, expected);
  // Skipped, the line would be silently missing from the analysis.
  EXPECT_EQ(Beam::readBeam(parseJson(R"({"tubeKeV": 40, "lines": [["Pb", "La"], ["Pb", "LB"]]})"), beam), 1);
}

TEST(BuilderTest, AnIntegerLineCodeWithoutAShellThrowsOutOfRange) {
  std::unique_ptr<Beam> beam;
  EXPECT_THROW(Beam::readBeam(parseJson(R"({"tubeKeV": 40, "lines": [["Fe", 7]]})"), beam), std::out_of_range);
}

TEST(BuilderTest, ListsMayBeObjectsReadInTheOrderOfTheirMemberNames) {
  FPRateAlgorithm::Builder builder;
  ASSERT_EQ(builder.readConfig(parseJson(document(R"(, "beams": {"b": {"tubeKeV": 15}, "a": {"tubeKeV": 40,
      "allLines": {"x": "Fe"}}})"))),
            0);
  ASSERT_EQ(builder.beams.size(), 2u);
  EXPECT_EQ(builder.beams[0].tubeKeV, 40.0f);
  EXPECT_EQ(builder.beams[0].lines.count(XRFLine::create(Element("Fe"), 0)), 1u);
  EXPECT_EQ(builder.beams[1].tubeKeV, 15.0f);
}

TEST(BuilderTest, GeometryIsReadOnlyWhenBothAnglesArePresent) {
  FPRateAlgorithm::Builder one;
  ASSERT_EQ(one.readConfig(parseJson(document(R"(, "takeoffAngle": 30, "beams": [])"))), 0);
  EXPECT_DOUBLE_EQ(one.takeOffAngle.getDegrees(), 45.0);
  EXPECT_DOUBLE_EQ(one.incidenceAngle.getDegrees(), 45.0);

  FPRateAlgorithm::Builder both;
  ASSERT_EQ(both.readConfig(parseJson(document(R"(, "takeoffAngle": 30, "incodenceAngle": 70.5, "beams": [])"))), 0);
  EXPECT_DOUBLE_EQ(both.takeOffAngle.radians(), degrees(30.0f));
  EXPECT_DOUBLE_EQ(both.incidenceAngle.radians(), degrees(70.5f));
}

TEST(BuilderTest, ASecondReadOverwritesTheHardwareAndAppendsBeams) {
  FPRateAlgorithm::Builder builder;
  ASSERT_EQ(builder.readConfig(parseJson(document(R"(, "beams": [{"tubeKeV": 40}])"))), 0);
  ASSERT_EQ(builder.readConfig(parseJson(R"({"detector": {"Z": 32}, "tube": {"anodeZ": 47}, "beams": [{"tubeKeV": 15}]})")),
            0);
  EXPECT_EQ(builder.detector.Z, 32);
  EXPECT_EQ(builder.tube.anodeZ, 47);
  ASSERT_EQ(builder.beams.size(), 2u);
  EXPECT_EQ(builder.beams[1].tubeKeV, 15.0f);
}

TEST(BuilderTest, AllLinesKeepsTheLinesTheVoltageExcitesAboveOneKeV) {
  // Iron at 5 kV: the K edge (7.1 keV) lies above the voltage and the L lines below 1 keV.
  Beam low(5.0f);
  low.addAllLinesFromElement(Element("Fe"), false);
  EXPECT_TRUE(low.lines.empty());

  // Lead at 12 kV: LA (10.55 keV, L3 edge 13.0 keV) is not excited, nor is anything else.
  Beam lead(12.0f);
  lead.addAllLinesFromElement(Element("Pb"), false);
  EXPECT_TRUE(lead.lines.empty());

  // Each group and individual line of tin at 40 kV against the tests written out.
  for (bool individual : {false, true}) {
    Beam beam(40.0f);
    beam.addAllLinesFromElement(Element("Sn"), individual);
    std::set<XRFLine> expected;
    for (int code : individual ? individualLines : groupLines) {
      const double energy = LineEnergy(50, code, nullptr);
      const double edge = EdgeEnergy(50, lineToShell.at(code), nullptr);
      const XRFLine line = XRFLine::create(Element("Sn"), code);
      if (energy > 1.0 && energy <= 40.0 && edge <= 40.0 && lineSensitivity(line) > 0) expected.insert(line);
    }
    EXPECT_EQ(beam.lines, expected);
    EXPECT_FALSE(expected.empty());
  }
}

TEST(BuilderTest, LightElementsWithoutTheirEnergyReadButDoNotBuild) {
  FPRateAlgorithm::Builder builder = testing::handheldBuilder();
  ASSERT_EQ(builder.readConfig(parseJson(document(R"(, "beams": [{"tubeKeV": 40, "LEElements": ["C"]}])"))), 0);
  EXPECT_EQ(builder.beams[0].leEnergyKeV, -1.0);

  FPRateAlgorithm::Builder empty = testing::handheldBuilder();
  std::unique_ptr<FPRateAlgorithm> previous = testing::buildEngine(empty);
  FPRateAlgorithm* held = previous.get();
  LogCapture log;
  EXPECT_EQ(builder.create(previous), 1);
  EXPECT_EQ(messagesAt(log, spdlog::level::err), std::vector<std::string>{"LE Energy not set"});
  EXPECT_EQ(previous.get(), held);
}

TEST(BuilderTest, AVoltageBeyondTheAtomicDataIsRefusedByCreate) {
  // Found by fuzzing: 1e38 kV asked for an excitation grid of 1e38 points. A voltage of
  // 1e39 reads as infinity through single precision.
  struct Case {
    const char* beams;
    int status;
  } cases[] = {{R"([{"tubeKeV": 800, "lines": [["Fe", "KA"]]}])", 0},
               {R"([{"tubeKeV": 801, "lines": [["Fe", "KA"]]}])", 1},
               {R"([{"tubeKeV": 40}, {"tubeKeV": 1001}])", 1},
               {R"([{"tubeKeV": 1e38}])", 1},
               {R"([{"tubeKeV": 1e39}])", 1}};
  for (const Case& c : cases) {
    FPRateAlgorithm::Builder builder;
    ASSERT_EQ(builder.readConfig(parseJson(document(std::string(R"(, "beams": )") + c.beams))), 0) << c.beams;
    std::unique_ptr<FPRateAlgorithm> engine;
    LogCapture log;
    EXPECT_EQ(builder.create(engine), c.status) << c.beams;
    EXPECT_EQ(engine == nullptr, c.status != 0) << c.beams;
    const std::vector<std::string> errors = messagesAt(log, spdlog::level::err);
    if (c.status != 0) {
      ASSERT_EQ(errors.size(), 1u) << c.beams;
      EXPECT_NE(errors[0].find("tube voltage of beam " + std::to_string(builder.beams.size() - 1) + " out of range"),
                std::string::npos)
          << errors[0];
    }
  }
  FPRateAlgorithm::Builder builder = testing::handheldBuilder();
  builder.addBeam(FPRateAlgorithm::Builder::Beam(std::nanf("")));
  std::unique_ptr<FPRateAlgorithm> engine;
  EXPECT_EQ(builder.create(engine), 1);
}

TEST(BuilderTest, AtTheHighestVoltageEveryRateIsFinite) {
  // 801 to 1000 kV once gave not-a-number rates: xraylib's attenuation ends at 800 keV.
  FPRateAlgorithm::Builder builder = testing::handheldBuilder();
  Beam beam(800.0f);
  beam.addLine(testing::line("Fe", 0)).addLine(testing::line("Pb", 0)).addLEelement(Element("O")).setLEEnergyKeV(20);
  builder.addBeam(beam);
  std::unique_ptr<FPRateAlgorithm> engine = testing::buildEngine(builder);
  ASSERT_NE(engine, nullptr);
  Compound sample;
  sample.set(ElementChemistry(Element("Fe"), 0.5, 0.0));
  sample.set(ElementChemistry(Element("Pb"), 0.2, 0.0));
  sample.set(ElementChemistry(Element("O"), 0.3, 0.0));
  engine->chemistry->setCompound(sample);
  engine->shermans[0].computeRates();
  for (const Sherman::Line& line : engine->shermans[0].lines) {
    EXPECT_TRUE(std::isfinite(line.rate) && line.rate > 0) << line.rate;
  }

  // The same model over a grid one point beyond the data: its tables say what is missing.
  auto chemistry = std::make_shared<Sherman::Chemistry>(std::set<Element>{Element("Fe")});
  std::shared_ptr<SpectrumBase<double>> beyond = std::make_shared<LinearSpectrum<double>>(799.0, 801.0, 1.0);
  for (unsigned int j = 0; j < beyond->size(); ++j) beyond->setValueAt(j, 1.0);
  Sherman model;
  ASSERT_EQ(Sherman::Builder(chemistry, beyond).addXRFLine(testing::line("Fe", 0)).create(model), 0);
  EXPECT_EQ(model.dataFault(), "no attenuation coefficient of Fe at 801 keV");
}

TEST(BuilderTest, CreateRefusesHardwareAndGeometryThePhysicsCannotUse) {
  using Edit = void (*)(FPRateAlgorithm::Builder&);
  struct Case {
    const char* message;  // a part of the one error
    Edit edit;
  };
  const Case cases[] = {
      {"takeoffAngle out of range: 0 degrees", [](FPRateAlgorithm::Builder& b) { b.takeOffAngle = Angle(); }},
      {"takeoffAngle out of range: -10 degrees",
       [](FPRateAlgorithm::Builder& b) { b.takeOffAngle = Angle::createFromDegrees(-10); }},
      {"incodenceAngle out of range: nan degrees",
       [](FPRateAlgorithm::Builder& b) { b.incidenceAngle = Angle::createFromDegrees(std::nan("")); }},
      {"incodenceAngle out of range: 91 degrees",
       [](FPRateAlgorithm::Builder& b) { b.incidenceAngle = Angle::createFromDegrees(91); }},
      {"tube takeoffAngle out of range: 0 degrees", [](FPRateAlgorithm::Builder& b) { b.tube.takeoffAngle = Angle(); }},
      {"detector thickness out of range: 0 um", [](FPRateAlgorithm::Builder& b) { b.detector.thickness = 0; }},
      {"detector thickness out of range: inf um",
       [](FPRateAlgorithm::Builder& b) { b.detector.thickness = HUGE_VAL; }},
      {"detector Z out of range: 0", [](FPRateAlgorithm::Builder& b) { b.detector.Z = 0; }},
      {"detector Z out of range: 200", [](FPRateAlgorithm::Builder& b) { b.detector.Z = 200; }},
      {"tube anodeZ out of range: 2147483647", [](FPRateAlgorithm::Builder& b) { b.tube.anodeZ = 2147483647; }},
      {"tube anodeZ out of range: -45", [](FPRateAlgorithm::Builder& b) { b.tube.anodeZ = -45; }},
      {"detector window out of range: windowZ 4, windowThickness -1 um",
       [](FPRateAlgorithm::Builder& b) { b.detector.windowThickness = -1; }},
      {"tube window out of range: windowZ 0, windowThickness 100 um",
       [](FPRateAlgorithm::Builder& b) { b.tube.windowZ = 0; }},
      {"no photon reaches the detector: its efficiency at 8.04",
       [](FPRateAlgorithm::Builder& b) { b.detector.windowThickness = 1e30; }},
      {"no photon reaches the detector", [](FPRateAlgorithm::Builder& b) { b.detector.thickness = 1e-30; }},
      {"beam 0 at 40 kV: no photon reaches the sample",
       [](FPRateAlgorithm::Builder& b) { b.tube.windowThickness = 1e30; }},
      {"beam 0 at 40 kV cannot be modelled: no attenuation coefficient of",  // an element without data
       [](FPRateAlgorithm::Builder& b) { b.beams[0].addElement(Element(200)); }},
      {"beam 0 at 18 kV cannot model the light elements' scatter",
       [](FPRateAlgorithm::Builder& b) { b.beams[0].tubeKeV = 18; }},
      {"beam 0 at 20 kV cannot model the light elements' scatter",
       [](FPRateAlgorithm::Builder& b) { b.beams[0].tubeKeV = 20; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    FPRateAlgorithm::Builder builder = testing::handheldBuilder();
    Beam main(40.0f);
    main.addLine(testing::line("Cu", 0)).addLine(testing::line("Ca", 0));
    Beam light(15.0f);
    light.addLine(testing::line("Si", 0)).addLEelement(Element("O")).setLEEnergyKeV(20);
    builder.addBeam(main).addBeam(light);
    {
      std::unique_ptr<FPRateAlgorithm> valid;
      ASSERT_EQ(builder.create(valid), 0);
    }
    c.edit(builder);
    std::unique_ptr<FPRateAlgorithm> engine;
    LogCapture log;
    EXPECT_EQ(builder.create(engine), 1);
    EXPECT_EQ(engine, nullptr);
    const std::vector<std::string> errors = messagesAt(log, spdlog::level::err);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].find(c.message), 0u) << errors[0];
  }
  // The edges that stay physical: right angles, a window of nothing, 21 kV under the light elements.
  FPRateAlgorithm::Builder edge = testing::handheldBuilder();
  edge.geometry(Angle::createFromDegrees(90.0f), Angle::createFromDegrees(90.0f));
  edge.detector.windowZ = 0;
  edge.detector.windowThickness = 0;
  Beam beam(21.0f);
  beam.addLine(testing::line("Cu", 0)).addLEelement(Element("O")).setLEEnergyKeV(20);
  edge.addBeam(beam);
  std::unique_ptr<FPRateAlgorithm> engine;
  EXPECT_EQ(edge.create(engine), 0);
}

TEST(BuilderTest, AnEmptyBeamListBuildsAnEngineWithoutBeamsThatProcessesNothing) {
  FPRateAlgorithm::Builder builder;
  ASSERT_EQ(builder.readConfig(parseJson(document(R"(, "beams": [])"))), 0);
  std::unique_ptr<FPRateAlgorithm> engine = testing::buildEngine(builder);
  ASSERT_NE(engine, nullptr);
  EXPECT_TRUE(engine->shermans.empty());
  EXPECT_TRUE(engine->chemistry->elements.empty());
  engine->doInitialGuess(0);
  engine->process(0);
  engine->setLEAsBalance();
  EXPECT_TRUE(engine->getCompound().empty());
}

TEST(BuilderTest, TheEngineMovesWithItsPointersButIsNotCopied) {
  // A copy's analysis lines would still point into the original's models and chemistry.
  static_assert(!std::is_copy_constructible<FPRateAlgorithm>::value, "the engine must not be copied");
  static_assert(!std::is_copy_assignable<FPRateAlgorithm>::value, "the engine must not be copied");
  FPRateAlgorithm::Builder builder = testing::handheldBuilder();
  Beam beam(40.0f);
  beam.addLine(testing::line("Fe", 0)).addLine(testing::line("Ni", 0));
  builder.addBeam(beam);
  std::unique_ptr<FPRateAlgorithm> engine = testing::buildEngine(builder);
  const double* fraction = engine->analysisLines[0].fraction;
  const double* rate = engine->analysisLines[0].theoreticalRate;
  FPRateAlgorithm moved(std::move(*engine));
  engine.reset();
  EXPECT_EQ(moved.analysisLines[0].fraction, fraction);
  EXPECT_EQ(fraction, &moved.chemistry->fractions[moved.chemistry->getIndex(Element("Fe"))]);
  EXPECT_EQ(rate, &moved.shermans[0].lines[0].rate);
  for (auto& line : moved.analysisLines) line.measuredRate = 1000.0;
  moved.doInitialGuess(0);
  moved.process(0);
  EXPECT_EQ(moved.lastPass().corrected, 2u);
}

TEST(BuilderTest, CreateLaysOutOneCompositionAndTheLinesOfEveryBeam) {
  FPRateAlgorithm::Builder builder = testing::handheldBuilder();
  builder.geometry(Angle::createFromDegrees(50), Angle::createFromDegrees(65));
  Beam main(40.0f);
  main.addLine(XRFLine::create(Element("Fe"), 0)).addLine(XRFLine::create(Element("Zn"), 0));
  main.addLine(XRFLine::create(Element("C"), 2));  // carbon has no L line: never modelled
  main.addElement(Element("Cu"));
  Beam light(15.0f);
  light.addLine(XRFLine::create(Element("Fe"), 0)).addLEelement(Element("O")).setLEEnergyKeV(0.0);
  builder.addBeam(main).addBeam(light);

  std::unique_ptr<FPRateAlgorithm> engine;
  LogCapture log;
  ASSERT_EQ(builder.create(engine), 0);
  EXPECT_TRUE(log.contains("cannot add line", spdlog::level::warn));

  const std::vector<Element> elements = {Element("C"), Element("O"), Element("Fe"), Element("Cu"), Element("Zn")};
  EXPECT_EQ(engine->chemistry->elements, elements);
  EXPECT_EQ(engine->leRates, (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(engine->leCalibrationFactors, (std::vector<double>{1.0, 1.0}));
  EXPECT_EQ(engine->leCalibrationOffsets, (std::vector<double>{0.0, 0.0}));
  EXPECT_TRUE(engine->leElements[0].empty());
  EXPECT_EQ(engine->leElements[1], std::set<Element>{Element("O")});
  EXPECT_EQ(engine->detector.windowThickness, 12.5);

  // Beam 0: Fe then Zn (set order); beam 1: Fe again, on the same fraction.
  ASSERT_EQ(engine->analysisLines.size(), 3u);
  const std::vector<std::pair<unsigned int, const char*>> layout = {{0, "Fe"}, {0, "Zn"}, {1, "Fe"}};
  for (std::size_t i = 0; i < layout.size(); ++i) {
    const FPRateAlgorithm::AnalysisLine& line = engine->analysisLines[i];
    EXPECT_EQ(line.beam, layout[i].first);
    EXPECT_EQ(line.line.element(), Element(layout[i].second));
    const int index = engine->chemistry->getIndex(line.line.element());
    EXPECT_EQ(line.fraction, &engine->chemistry->fractions[index]);
    EXPECT_EQ(line.uncertainty, &engine->chemistry->uncertainties[index]);
    EXPECT_EQ(line.measuredRate, 0.0);
    EXPECT_EQ(line.calibrationFactor, 1.0);
    EXPECT_EQ(line.initialGuessFactor, 1.0);
    EXPECT_TRUE(line.inUse);
  }
  EXPECT_EQ(engine->analysisLines[2].theoreticalRate, &engine->shermans[1].lines[0].rate);

  // Each model: the beam's spectrum on a 1 keV grid up to its voltage, the builder's angles.
  for (unsigned int b = 0; b < 2; ++b) {
    const Sherman& model = engine->shermans[b];
    EXPECT_EQ(model.chemistry, engine->chemistry);
    EXPECT_NEAR(model.excitationSpectrum()->energyAt(0), 1.0, 1e-6);
    EXPECT_NEAR(model.excitationSpectrum()->energyAt(9), 10.0, 1e-6);
    EXPECT_DOUBLE_EQ(model.takeOffAngle().getDegrees(), 50.0);
    EXPECT_DOUBLE_EQ(model.incidenceAngle().getDegrees(), 65.0);
  }
  EXPECT_NEAR(engine->shermans[0].excitationSpectrum()->energyAt(39), 40.0, 1e-6);
  EXPECT_NEAR(engine->shermans[1].excitationSpectrum()->energyAt(14), 15.0, 1e-6);
}

}  // namespace
}  // namespace calyx
