#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <set>
#include <vector>

#include "calyx/Sherman.h"
#include "support/LogCapture.h"
#include "support/ShermanReference.h"

namespace calyx {
namespace {

using testing::LogCapture;
using testing::referenceSensitivity;

constexpr double kRelTol = 1e-12;  // our formula on xraylib data

std::shared_ptr<SpectrumBase<double>> discrete(const std::vector<double>& energies) {
  auto s = std::make_shared<DiscreteSpectrum<double>>(static_cast<unsigned int>(energies.size()));
  for (unsigned int i = 0; i < energies.size(); ++i) {
    s->setEnergyAt(i, energies[i]);
    s->setValueAt(i, 1.0);
  }
  return s;
}

std::shared_ptr<Sherman::Chemistry> chemistryOf(std::set<Element> elements) {
  return std::make_shared<Sherman::Chemistry>(elements);
}

struct SensitivityCase {
  const char* symbol;
  int code;
  int shell;  // the vacancy's shell, as xraylib names it
};

TEST(LineSensitivityTest, MatchesRadiativeRateJumpRatioAndCascadedYield) {
  const SensitivityCase cases[] = {
      {"Fe", KA_LINE, K_SHELL},    {"Cu", KA_LINE, K_SHELL},    {"Mo", KA_LINE, K_SHELL},
      {"Fe", KB_LINE, K_SHELL},    {"Zn", KB_LINE, K_SHELL},    {"Al", KB_LINE, K_SHELL},
      {"Fe", KL3_LINE, K_SHELL},   {"Fe", KM3_LINE, K_SHELL},   {"Pb", LA_LINE, L3_SHELL},
      {"Pb", L3M5_LINE, L3_SHELL}, {"Ba", L3M4_LINE, L3_SHELL}, {"Pb", LB_LINE, L2_SHELL},
      {"W", LB_LINE, L2_SHELL},    {"Pb", L2M4_LINE, L2_SHELL}, {"Pb", L1M3_LINE, L1_SHELL},
      {"Pb", M5N7_LINE, M5_SHELL}, {"U", M5N6_LINE, M5_SHELL},  {"Pb", M4N6_LINE, M4_SHELL},
      {"Pb", M3N5_LINE, M3_SHELL},
  };
  for (const SensitivityCase& c : cases) {
    const Element element(c.symbol);
    const XRFLine line = XRFLine::create(element, c.code);
    ASSERT_EQ(line.shell(), c.shell) << c.symbol << " " << c.code;
    const double expected = referenceSensitivity(element.atomicNumber(), c.code, c.shell);
    ASSERT_GT(expected, 0.0) << c.symbol << " " << c.code;
    EXPECT_NEAR(lineSensitivity(line), expected, kRelTol * expected) << c.symbol << " " << c.code;
  }
}

TEST(LineSensitivityTest, L3LineCountsVacanciesMovedInFromL1AndL2) {
  const int Z = 82;
  const XRFLine line = XRFLine::create(Element(Z), L3M5_LINE);
  auto w = [Z](int s) { return FluorYield(Z, s, nullptr); };
  auto f = [Z](int t) { return CosKronTransProb(Z, t, nullptr); };
  const double R = RadRate(Z, L3M5_LINE, nullptr);
  const double J = JumpFactor(Z, L3_SHELL, nullptr);
  const double W = w(L3_SHELL) + w(L2_SHELL) * f(FL23_TRANS) +
                   w(L1_SHELL) * (f(FL12_TRANS) * f(FL23_TRANS) + f(FL13_TRANS));
  ASSERT_GT(W, w(L3_SHELL));  // the cascade matters for lead
  const double expected = R * (1.0 - 1.0 / J) * W;
  EXPECT_NEAR(lineSensitivity(line), expected, kRelTol * expected);
}

TEST(LineSensitivityTest, M5LineCountsTheWholeMShellCascade) {
  const int Z = 92;
  const XRFLine line = XRFLine::create(Element(Z), M5N7_LINE);
  auto w = [Z](int s) { return FluorYield(Z, s, nullptr); };
  auto f = [Z](int t) { return CosKronTransProb(Z, t, nullptr); };
  const double W =
      w(M5_SHELL) + w(M4_SHELL) * f(FM45_TRANS) +
      w(M3_SHELL) * (f(FM34_TRANS) * f(FM45_TRANS) + f(FM24_TRANS)) +
      w(M2_SHELL) * (f(FM23_TRANS) * f(FM34_TRANS) * f(FM45_TRANS) +
                     f(FM24_TRANS) * f(FM45_TRANS) + f(FM23_TRANS) * f(FM35_TRANS) +
                     f(FM25_TRANS)) +
      w(M1_SHELL) * (f(FM12_TRANS) * f(FM23_TRANS) * f(FM34_TRANS) * f(FM45_TRANS) +
                     f(FM12_TRANS) * f(FM23_TRANS) * f(FM35_TRANS) +
                     f(FM12_TRANS) * f(FM24_TRANS) * f(FM45_TRANS) +
                     f(FM13_TRANS) * f(FM34_TRANS) * f(FM45_TRANS) + f(FM12_TRANS) * f(FM25_TRANS) +
                     f(FM13_TRANS) * f(FM35_TRANS) + f(FM14_TRANS) * f(FM45_TRANS) +
                     f(FM15_TRANS));
  ASSERT_GT(W, w(M5_SHELL));
  const double expected =
      RadRate(Z, M5N7_LINE, nullptr) * (1.0 - 1.0 / JumpFactor(Z, M5_SHELL, nullptr)) * W;
  EXPECT_NEAR(lineSensitivity(line), expected, kRelTol * expected);
}

TEST(LineSensitivityTest, KBIsZeroWhereKAHoldsNoneOrAllOfTheRadiativeRate) {
  int elementsWithAllKA = 0;
  for (int Z = 1; Z <= 30; ++Z) {
    const double ka = RadRate(Z, KA_LINE, nullptr);
    const double sensitivity = lineSensitivity(XRFLine::create(Element(Z), KB_LINE));
    if (ka == 1.0 || ka == 0.0) {
      elementsWithAllKA += ka == 1.0 ? 1 : 0;
      EXPECT_EQ(sensitivity, 0.0) << "Z=" << Z;
    } else {
      const double expected = (1.0 - ka) * (1.0 - 1.0 / JumpFactor(Z, K_SHELL, nullptr)) *
                              FluorYield(Z, K_SHELL, nullptr);
      EXPECT_NEAR(sensitivity, expected, kRelTol * expected) << "Z=" << Z;
    }
  }
  EXPECT_GT(elementsWithAllKA, 0);  // the data do have the case (light elements)
}

TEST(ShermanBuilderTest, ARepeatedLineIsAddedOnce) {
  Sherman model;
  Sherman::Builder builder(chemistryOf({Element("Fe")}), discrete({10.0}));
  builder.addXRFLine(XRFLine::create(Element("Fe"), KA_LINE))
      .addXRFLine(XRFLine::create(Element("Fe"), KA_LINE));
  ASSERT_EQ(builder.create(model), 0);
  EXPECT_EQ(model.lines.size(), 1u);
}

TEST(ShermanBuilderTest, LinesThatCannotBeModelledAreSkippedWithAWarning) {
  struct Case {
    Element element;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {Element("Cu"), KA_LINE, "cannot add line: [Cu:8.04]"},  // not in the chemistry
      {Element("Fe"), KB2_LINE, "cannot add line: [Fe:0.00]"},  // iron has no such line
      {Element(0), KA_LINE, "cannot add line: [Z=0:0.00]"},     // no symbol to print
  };
  for (const Case& c : cases) {
    LogCapture log;
    Sherman model;
    Sherman::Builder builder(chemistryOf({Element("Fe")}), discrete({10.0}));
    builder.addXRFLine(XRFLine::create(c.element, c.code));
    EXPECT_TRUE(log.contains(c.message, spdlog::level::warn)) << c.message;
    ASSERT_EQ(builder.create(model), 0);
    EXPECT_TRUE(model.lines.empty()) << c.message;
  }
}

TEST(ShermanBuilderTest, CreateWithoutSpectrumFailsAndLeavesTheTargetAsItWas) {
  auto chem = chemistryOf({Element("Fe")});
  Sherman model;
  Sherman::Builder good(chem, discrete({10.0, 20.0}));
  good.addXRFLine(XRFLine::create(Element("Fe"), KA_LINE));
  ASSERT_EQ(good.create(model), 0);

  LogCapture log;
  Sherman::Builder missing(chem, nullptr);
  missing.addXRFLine(XRFLine::create(Element("Fe"), KB_LINE));
  EXPECT_EQ(missing.create(model), 1);
  EXPECT_TRUE(log.contains("missing excitation spectrum", spdlog::level::err));
  EXPECT_EQ(model.lines.size(), 1u);
  EXPECT_EQ(model.binCount(), 2u);
  EXPECT_EQ(model.photoTable().size(), 2u);
  EXPECT_NE(model.excitationSpectrum(), nullptr);
}

TEST(ShermanBuilderTest, CreateOrdersLinesByElementAndPointsThemIntoTheChemistry) {
  auto chem = chemistryOf({Element("Fe"), Element("Ni"), Element("Zn")});
  auto spectrum = discrete({30.0, 12.0, 25.5});
  Sherman model;
  Sherman::Builder builder(chem, spectrum);
  builder.takeOffAngle(Angle::createFromDegrees(30.0)).incidenceAngle(Angle::createFromDegrees(60.0));
  builder.addXRFLine(XRFLine::create(Element("Zn"), KA_LINE))
      .addXRFLine(XRFLine::create(Element("Fe"), KB_LINE))
      .addXRFLine(XRFLine::create(Element("Fe"), KA_LINE));
  ASSERT_EQ(builder.create(model), 0);

  ASSERT_EQ(model.lines.size(), 3u);
  EXPECT_EQ(model.lines[0].line, XRFLine::create(Element("Fe"), KA_LINE));
  EXPECT_EQ(model.lines[1].line, XRFLine::create(Element("Fe"), KB_LINE));
  EXPECT_EQ(model.lines[2].line, XRFLine::create(Element("Zn"), KA_LINE));
  EXPECT_EQ(&model.lines[0].fraction, &chem->fractions[0]);
  EXPECT_EQ(&model.lines[1].uncertainty, &chem->uncertainties[0]);
  EXPECT_EQ(&model.lines[2].fraction, &chem->fractions[2]);
  for (const Sherman::Line& line : model.lines) {
    EXPECT_EQ(line.rate, 0.0);
    const int Z = line.line.element().atomicNumber();
    const double expected = referenceSensitivity(Z, line.line.line(), K_SHELL);
    EXPECT_NEAR(line.sensitivity, expected, kRelTol * expected);
  }
  EXPECT_EQ(model.chemistry, chem);
  EXPECT_EQ(model.excitationSpectrum(), spectrum.get());
  EXPECT_DOUBLE_EQ(model.takeOffAngle().getDegrees(), 30.0);
  EXPECT_DOUBLE_EQ(model.incidenceAngle().getDegrees(), 60.0);
  EXPECT_EQ(model.binCount(), 3u);
  EXPECT_EQ(model.lineAttenuation().size(), 3u);
  EXPECT_EQ(model.binAttenuation().size(), 3u);
}

TEST(ShermanBuilderTest, AnglesDefaultTo45Degrees) {
  Sherman model;
  Sherman::Builder builder(chemistryOf({Element("Fe")}), discrete({10.0}));
  ASSERT_EQ(builder.create(model), 0);
  EXPECT_DOUBLE_EQ(model.takeOffAngle().getDegrees(), 45.0);
  EXPECT_DOUBLE_EQ(model.incidenceAngle().getDegrees(), 45.0);
}

TEST(ShermanBuilderTest, PhotoTableHoldsPhotoabsorptionOfEachLineElementAtEachPoint) {
  const std::vector<double> energies = {40.0, 5.5, 17.25, 9.0};  // unsorted on purpose
  auto chem = chemistryOf({Element("Ca"), Element("Cu"), Element("Sn")});
  Sherman model;
  Sherman::Builder builder(chem, discrete(energies));
  builder.addXRFLine(XRFLine::create(Element("Sn"), LA_LINE))
      .addXRFLine(XRFLine::create(Element("Ca"), KA_LINE))
      .addXRFLine(XRFLine::create(Element("Cu"), KB_LINE));
  ASSERT_EQ(builder.create(model), 0);
  ASSERT_EQ(model.binCount(), 4u);
  ASSERT_EQ(model.photoTable().size(), 12u);
  const int rowZ[] = {20, 29, 50};
  for (unsigned int l = 0; l < 3; ++l)
    for (unsigned int j = 0; j < 4; ++j)
      EXPECT_EQ(model.photoTable()[l * model.binCount() + j], CS_Photo(rowZ[l], energies[j], nullptr))
          << "row " << l << " column " << j;
}

TEST(ShermanBuilderTest, SubshellSumReplacesPhotoabsorptionAndAttenuationForZ19To56Only) {
  const std::vector<double> energies = {3.0, 12.0, 30.0};
  auto chem = chemistryOf({Element("Mg"), Element("K"), Element("Cu"), Element("Ba"), Element("Pb")});
  Sherman model;
  Sherman::Builder builder(chem, discrete(energies));
  builder.photoabsorption(Sherman::Photoabsorption::SubshellSum)
      .addXRFLine(XRFLine::create(Element("Mg"), KA_LINE))
      .addXRFLine(XRFLine::create(Element("K"), KA_LINE))
      .addXRFLine(XRFLine::create(Element("Cu"), KA_LINE))
      .addXRFLine(XRFLine::create(Element("Ba"), LA_LINE))
      .addXRFLine(XRFLine::create(Element("Pb"), LA_LINE));
  ASSERT_EQ(builder.create(model), 0);
  const struct {
    int Z;
    bool sum;
  } rows[] = {{12, false}, {19, true}, {29, true}, {56, true}, {82, false}};
  for (unsigned int l = 0; l < 5; ++l)
    for (unsigned int j = 0; j < 3; ++j) {
      const int Z = rows[l].Z;
      const double E = energies[j];
      EXPECT_EQ(model.photoTable()[l * model.binCount() + j],
                rows[l].sum ? CS_Photo_Total(Z, E, nullptr) : CS_Photo(Z, E, nullptr))
          << "Z " << Z << " at " << E;
    }
  // μ of a pure element at each line: the subshell sum plus scattering for Cu, CS_Total for Pb.
  for (const auto& [symbol, sum] : {std::pair<const char*, bool>{"Cu", true}, {"Pb", false}}) {
    chem->setCompound(Compound());
    chem->set(Element(symbol), 1.0, 0.0);
    model.computeRates();
    const int Z = Element(symbol).atomicNumber();
    for (unsigned int l = 0; l < 5; ++l) {
      const double E = model.lines[l].line.lineEnergyKeV();
      const double mu = sum ? CS_Photo_Total(Z, E, nullptr) + CS_Rayl(Z, E, nullptr) + CS_Compt(Z, E, nullptr)
                            : CS_Total(Z, E, nullptr);
      EXPECT_NEAR(model.lineAttenuation()[l], mu, 1e-12 * mu) << symbol << " at " << E;
    }
  }
}

// The lines addAllLinesFromElement should pick, worked out from xraylib directly.
std::set<int> excitableCodes(int Z, const std::vector<int>& codes, double maxEnergyKeV) {
  std::set<int> result;
  for (int code : codes) {
    const int shell = testing::referenceShell(code);
    const double lineE = LineEnergy(Z, code, nullptr);
    const double edgeE = EdgeEnergy(Z, shell, nullptr);
    if (lineE > 0.0 && referenceSensitivity(Z, code, shell) > 0.0 && lineE <= maxEnergyKeV &&
        edgeE <= maxEnergyKeV)
      result.insert(code);
  }
  return result;
}

std::set<int> codesOf(const Sherman& model) {
  std::set<int> codes;
  for (const Sherman::Line& line : model.lines) codes.insert(line.line.line());
  return codes;
}

TEST(ShermanBuilderTest, AddAllLinesTakesOnlyLinesTheHighestExcitationEnergyReaches) {
  struct Case {
    std::vector<double> energies;  // the highest is not the last point
    bool individual;
    std::vector<int> codes;
  };
  const Case cases[] = {
      {{1.0, 5.0, 3.0}, false, {KA_LINE, KB_LINE, LA_LINE, LB_LINE}},
      {{7.0, 7.2, 1.0}, false, {KA_LINE, KB_LINE, LA_LINE, LB_LINE}},
      {{2.0, 10.0, 5.0}, true,
       {KL3_LINE, KL2_LINE, KL1_LINE, KM3_LINE, KN3_LINE, KM2_LINE, L3M5_LINE, L3M4_LINE,
        L2M4_LINE, L3N5_LINE, L2N4_LINE}},
  };
  const Element iron("Fe");
  for (const Case& c : cases) {
    Sherman model;
    Sherman::Builder builder(chemistryOf({iron}), discrete(c.energies));
    builder.addAllLinesFromElement(iron, c.individual);
    ASSERT_EQ(builder.create(model), 0);
    double maxE = 0.0;
    for (double e : c.energies) maxE = std::max(maxE, e);
    EXPECT_EQ(codesOf(model), excitableCodes(26, c.codes, maxE)) << "Emax " << maxE;
  }
}

TEST(ShermanBuilderTest, AddAllGroupLinesOfIronUpTo5KeVGivesTheLLinesOnly) {
  const Element iron("Fe");
  Sherman model;
  Sherman::Builder builder(chemistryOf({iron}), discrete({1.0, 5.0, 3.0}));
  builder.addAllLinesFromElement(iron, false);
  ASSERT_EQ(builder.create(model), 0);
  const std::set<int> codes = codesOf(model);
  EXPECT_EQ(codes.count(KA_LINE), 0u);
  EXPECT_EQ(codes.count(KB_LINE), 0u);
  EXPECT_EQ(codes.count(LA_LINE), 1u);  // valid with a positive sensitivity in xraylib 4.0
}

TEST(ShermanBuilderTest, AddAllLinesOfAnElementOutsideTheChemistryWarnsPerLine) {
  LogCapture log;
  Sherman model;
  Sherman::Builder builder(chemistryOf({Element("Fe")}), discrete({30.0}));
  builder.addAllLinesFromElement(Element("Cu"), false);
  const std::set<int> excitable = excitableCodes(29, {KA_LINE, KB_LINE, LA_LINE, LB_LINE}, 30.0);
  ASSERT_FALSE(excitable.empty());
  EXPECT_EQ(log.count("cannot add line: [Cu:"), static_cast<int>(excitable.size()));
  ASSERT_EQ(builder.create(model), 0);
  EXPECT_TRUE(model.lines.empty());
}

TEST(ShermanBuilderTest, AddAllLinesWithoutSpectrumAddsNothing) {
  LogCapture log;
  Sherman::Builder builder(chemistryOf({Element("Fe")}), nullptr);
  builder.addAllLinesFromElement(Element("Fe"), false);
  EXPECT_TRUE(log.contains("missing excitation spectrum", spdlog::level::warn));
}

TEST(ShermanBuilderTest, CopyOfABuiltModelOwnsItsTablesAndOutlivesTheSource) {
  auto chem = chemistryOf({Element("Fe"), Element("Ni")});
  chem->set(Element("Fe"), 0.6, 0.0);
  chem->set(Element("Ni"), 0.4, 0.0);
  auto source = std::make_unique<Sherman>();
  Sherman::Builder builder(chem, discrete({10.0, 20.0}));
  builder.addXRFLine(XRFLine::create(Element("Fe"), KA_LINE))
      .addXRFLine(XRFLine::create(Element("Ni"), KA_LINE));
  ASSERT_EQ(builder.create(*source), 0);
  source->computeRates();
  const std::vector<double> table = source->photoTable();
  const double feRate = source->lines[0].rate;

  Sherman copy(*source);
  EXPECT_NE(copy.photoTable().data(), source->photoTable().data());
  EXPECT_EQ(copy.chemistry, source->chemistry);
  source.reset();
  EXPECT_EQ(copy.photoTable(), table);
  copy.computeRates();
  EXPECT_EQ(copy.lines[0].rate, feRate);
}

}  // namespace
}  // namespace calyx
